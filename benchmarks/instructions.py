"""Instructions per operation, counted by valgrind's callgrind.

    python benchmarks/instructions.py [operation ...]

Wall-clock timings on a shared or virtual machine wander; instruction
counts don't.  For every row of the benchmark table this runs the
statement N times under callgrind, subtracts a run with no iterations (the
interpreter's start-up), and divides by N: the native cache, the
pure-Python reference, and the Python-level work of the operation, each in
a fresh process with a fixed hash seed.  Needs valgrind.
"""

import os
import re
import subprocess
import sys
import tempfile

from umbo_ui.fast.umbocache import benchmark

ITERATIONS = 5000

WORKER = """
import sys, timeit
from umbo_ui.fast.umbocache import benchmark
impl, key_kind, stmt, n = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
ns = benchmark._namespace(benchmark.IMPLEMENTATIONS[impl], key_kind)
timer = timeit.Timer(stmt, globals=ns)
timer.timeit(50)  # the same warm-up in both runs, so that it cancels out
timer.timeit(n)
"""


def count(impl, key_kind, stmt, n):
    with tempfile.NamedTemporaryFile(suffix=".cg") as out:
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out.name}",
             sys.executable, "-c", WORKER, impl, key_kind, stmt, str(n)],
            check=True, capture_output=True, env={**os.environ, "PYTHONHASHSEED": "0"},
        )
        summary = open(out.name, encoding="utf-8").read()
    return int(re.search(r"^summary: (\d+)", summary, re.M).group(1))


def per_call(impl, key_kind, stmt):
    return (count(impl, key_kind, stmt, ITERATIONS) - count(impl, key_kind, stmt, 0)) / ITERATIONS


def main():
    only = set(sys.argv[1:])
    print(benchmark.host_description(), "- instructions per operation (callgrind)")
    header = f"{'operation':24} {'key':6} {'native':>8} {'reference':>9} {'work':>7} {'own: native':>11} {'reference':>9} {'ratio':>6}"
    print(header)
    print("-" * len(header))
    for name, stmt, key_kinds, work in benchmark.OPERATIONS:
        if only and name not in only:
            continue
        for key_kind in key_kinds:
            work_count = per_call("native", key_kind, benchmark.WORK[work]) if work else 0.0
            native = per_call("native", key_kind, stmt)
            reference = per_call("reference", key_kind, stmt)
            own_native, own_reference = native - work_count, reference - work_count
            ratio = f"{own_native / own_reference:.2f}" if own_reference > 0 else "-"
            print(f"{name:24} {key_kind:6} {native:8.0f} {reference:9.0f} {work_count:7.0f} "
                  f"{own_native:11.0f} {own_reference:9.0f} {ratio:>6}", flush=True)


if __name__ == "__main__":
    main()
