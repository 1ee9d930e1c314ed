"""Wall-clock timings, native cache against the plain Python class.

    python benchmarks/run.py [--quick] [operation ...]

Times every operation of workload.OPERATIONS for the native ``Cache``, for
``PlainCache`` and, where it differs, for ``IdiomaticCache`` (median of
several runs and its interquartile range, in ns per operation), prints the
table and writes results-<host>.json beside this file.  On a shared or virtual machine the
timings wander by tens of percent; instructions.py counts instructions,
which don't.
"""

import argparse
import json
import pathlib
import statistics
import timeit

import workload


def time_statement(stmt, namespace, repeat, min_seconds):
    """Median and interquartile range, in ns per execution, after a warm-up."""
    timer = timeit.Timer(stmt, globals=namespace)
    number, _ = timer.autorange()
    number = max(1, int(number * min_seconds / 0.2))
    timer.timeit(number)
    samples = [timer.timeit(number) / number * 1e9 for _ in range(repeat)]
    quartiles = statistics.quantiles(samples, n=4) if len(samples) > 1 else [samples[0]] * 3
    return statistics.median(samples), quartiles[2] - quartiles[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer, shorter runs")
    parser.add_argument("operations", nargs="*", help="only these operations (default: all)")
    args = parser.parse_args()
    repeat, min_seconds = (5, 0.02) if args.quick else (15, 0.1)
    workload.print_header("ns per operation (median ± interquartile range)", 14)
    rows = []
    for name, stmt, key_kind in workload.cases(args.operations):
        row = {"operation": name, "key": key_kind}
        for impl in ("native", *workload.baselines(name)):
            median, spread = time_statement(stmt, workload.namespace(impl, key_kind), repeat, min_seconds)
            row[impl] = {"median_ns": round(median, 1), "spread_ns": round(spread, 1)}
        row["ratio"] = round(row["native"]["median_ns"] / row["plain"]["median_ns"], 3)
        if "idiomatic" in row:
            row["idiomatic_ratio"] = round(row["native"]["median_ns"] / row["idiomatic"]["median_ns"], 3)
        rows.append(row)
        native, plain = row["native"], row["plain"]
        print(
            f"{name:22} {key_kind:6} {native['median_ns']:8.1f} ±{native['spread_ns']:5.1f}"
            f" {plain['median_ns']:8.1f} ±{plain['spread_ns']:5.1f} {row['ratio']:6.2f}",
            flush=True,
        )
    out = pathlib.Path(__file__).with_name(f"results-{workload.host()}.json")
    out.write_text(json.dumps({"host": workload.host_description(), "rows": rows}, indent=1) + "\n")
    print(f"\nwrote {out.name}")


if __name__ == "__main__":
    main()
