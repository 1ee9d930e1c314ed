"""Instructions per operation, native cache against the plain Python classes.

    python benchmarks/instructions.py [operation ...]

Wall-clock timings on a shared or virtual machine wander; instruction
counts don't.  For every operation of workload.OPERATIONS this runs its
statement N times under valgrind's callgrind, subtracts a run with no
iterations (the interpreter's start-up), and divides by N, for the native
``Cache``, for ``PlainCache`` and, where it differs, for ``IdiomaticCache``
(workload.py), each in a fresh process with a fixed hash seed.  Prints the
table and writes results/instructions-<host>.json, from which chart.py
draws the chart and the table of benchmarks/README.md, with the date, the
commit measured (git's HEAD, or UMBOCACHE_COMMIT where git can't tell, as
in the Debian root of scripts/debian-root) and the interpreter's version
and build.  Needs valgrind.
"""

import datetime
import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile

import workload

ITERATIONS = 5000
HERE = pathlib.Path(__file__).resolve().parent

WORKER = """
import sys, timeit
sys.path.insert(0, sys.argv[1])
import workload
impl, key_kind, stmt, n = sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
timer = timeit.Timer(stmt, globals=workload.namespace(impl, key_kind))
timer.timeit(50)  # the same warm-up in both runs, so that it cancels out
timer.timeit(n)
"""


def count(impl, key_kind, stmt, n):
    with tempfile.NamedTemporaryFile(suffix=".cg") as out:
        subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                f"--callgrind-out-file={out.name}",
                sys.executable,
                "-c",
                WORKER,
                str(HERE),
                impl,
                key_kind,
                stmt,
                str(n),
            ],
            check=True,
            capture_output=True,
            env={**os.environ, "PYTHONHASHSEED": "0"},
        )
        summary = pathlib.Path(out.name).read_text(encoding="utf-8")
    return int(re.search(r"^summary: (\d+)", summary, re.M).group(1))


def per_call(impl, key_kind, stmt):
    return (count(impl, key_kind, stmt, ITERATIONS) - count(impl, key_kind, stmt, 0)) / ITERATIONS


def commit():
    """The checkout's commit, with "+changes" when its sources differ from it."""
    git = ["git", "-C", str(HERE.parent)]
    try:
        head = subprocess.run([*git, "rev-parse", "HEAD"], capture_output=True, text=True, check=True).stdout.strip()
        changed = subprocess.run([*git, "status", "--porcelain", "--", "src", "CMakeLists.txt"], capture_output=True)
    except (OSError, subprocess.CalledProcessError):
        return os.environ.get("UMBOCACHE_COMMIT", "unknown")
    return head + ("+changes" if changed.stdout.strip() else "")


def main():
    only = set(sys.argv[1:])
    workload.print_header("instructions per operation (callgrind)", 8)
    rows = []
    for name, stmt, key_kind in workload.cases(only):
        native = per_call("native", key_kind, stmt)
        row = {"operation": name, "key": key_kind, "native": round(native)}
        for baseline in workload.baselines(name):
            plain = per_call(baseline, key_kind, stmt)
            # (the faithful class's keys are "plain" and "ratio", as in earlier results)
            row[baseline] = round(plain)
            row["ratio" if baseline == "plain" else f"{baseline}_ratio"] = round(native / plain, 3)
            label = name if baseline == "plain" else f"  {baseline} class"
            print(f"{label:22} {key_kind:6} {native:8.0f} {plain:8.0f} {native / plain:6.2f}", flush=True)
        rows.append(row)
    if not only:
        out = HERE / "results" / f"instructions-{workload.host()}.json"
        out.parent.mkdir(exist_ok=True)
        record = {
            "host": workload.host_description(),
            "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d"),
            "commit": commit(),
            "version": sys.version.split()[0],
            "build": workload.build(),
            "rows": rows,
        }
        out.write_text(json.dumps(record, indent=1) + "\n")
        print(f"\nwrote {out.relative_to(HERE.parent)}")


if __name__ == "__main__":
    main()
