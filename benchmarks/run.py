"""Runs the whole benchmark suite and keeps its results.

    python benchmarks/run.py [--quick] [operation ...]

Prints the table and writes benchmarks/results-<python>-<build>.json.  The
timing harness and the list of operations live in
umbo_ui.fast.umbocache.benchmark, so that the installed package's demo can
print a short version of the same table.
"""

import pathlib
import platform
import sys
import sysconfig

from umbo_ui.fast.umbocache import benchmark


def main():
    build = "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
    out = pathlib.Path(__file__).with_name(f"results-{platform.python_version()}{build}.json")
    benchmark.main([*sys.argv[1:], "--json", str(out)])
    print(f"\nwrote {out}")


if __name__ == "__main__":
    main()
