"""Timing the native cache against a pure-Python one, in one run.

    python -m umbo_ui.fast.umbocache.benchmark [--quick] [--json FILE]

Each operation is timed for the native ``Cache`` and for the pure-Python
reference cache (what a user would write instead), with a ``CacheType``
member as key and with a plain object whose ``value`` is an instance
attribute.  Every operation also has Python-level work that any
implementation must do (reading the key's ``value``, looking a member name
up, listing the members for the default ``clear_selected()``); that work is
timed on its own in the same run, and an operation's *own cost* is its time
minus that work.  The table shows the median time per operation, its
spread (interquartile range), the own cost, and the ratio of the native own
cost to the reference's.
"""

import argparse
import json
import pickle
import platform
import statistics
import sys
import sysconfig
import timeit

from umbo_ui.core.enums import CacheType
from umbo_ui.fast.umbocache.reference import Cache as ReferenceCache
from umbo_ui.fast.umbocache.umbocache import Cache as NativeCache

IMPLEMENTATIONS = {"native": NativeCache, "reference": ReferenceCache}


class PlainKey:
    """A key that is not a member: its ``value`` is an instance attribute."""

    def __init__(self, value):
        self.value = value


def _never_filled():
    return None


def _namespace(cache_cls, key_kind):
    key = CacheType.THEME if key_kind == "member" else PlainKey(CacheType.THEME.value)
    filled = cache_cls()
    filled.set(key, "dark")
    return {
        "Cache": cache_cls,
        "CacheType": CacheType,
        "pickle": pickle,
        "k": key,
        "empty": cache_cls(),
        "filled": filled,
        "func": _never_filled,
        "blacklist": [CacheType.THEME],
        "whitelist": [CacheType.LAYOUT, CacheType.MEASURE, CacheType.STYLE],
    }


# name, statement, key kinds, the work it includes (a key of WORK)
OPERATIONS = [
    ("get", "filled.get(k)", ("member", "plain"), "key"),
    ("set", "filled.set(k, 'dark')", ("member", "plain"), "key"),
    ("subscription", "filled[k]", ("member",), "key"),
    ("attribute", "filled.THEME", ("member",), "member name"),
    ("get_or_set_val hit", "filled.get_or_set_val(k, 1)", ("member", "plain"), "key"),
    ("get_or_set_val miss", "empty.get_or_set_val(k, None)", ("member", "plain"), "key"),
    ("get_or_exec hit", "filled.get_or_exec(k, func)", ("member", "plain"), "key"),
    ("get_or_exec miss", "empty.get_or_exec(k, func)", ("member", "plain"), "key and func"),
    ("clear", "empty.clear()", ("member",), None),
    ("clear_selected()", "filled.clear_selected()", ("member",), "all members"),
    ("clear_selected(lists)", "filled.clear_selected(blacklist, whitelist)", ("member",), "list values"),
    ("copy()", "filled.copy()", ("member",), None),
    ("construction", "Cache()", ("member",), None),
    ("pickle round trip", "pickle.loads(pickle.dumps(filled))", ("member",), None),
]

# The Python-level work of an operation, timed on its own.
WORK = {
    "key": "k.value",
    "key and func": "k.value; func()",
    "member name": "'THEME' in CacheType.__members__; CacheType['THEME'].value",
    "all members": "[m.value for m in list(CacheType.__members__.values())]",
    "list values": "[x.value for x in blacklist]; [x.value for x in whitelist]",
}


def time_statement(stmt, namespace, repeat, min_seconds):
    """Median and interquartile range, in ns per execution, after a warm-up."""
    timer = timeit.Timer(stmt, globals=namespace)
    number, _ = timer.autorange()
    number = max(1, int(number * min_seconds / 0.2))
    timer.timeit(number)  # warm-up
    samples = [timer.timeit(number) / number * 1e9 for _ in range(repeat)]
    quartiles = statistics.quantiles(samples, n=4) if len(samples) > 1 else [samples[0]] * 3
    return statistics.median(samples), quartiles[2] - quartiles[0]


def run(quick=False, operations=None):
    repeat, min_seconds = (5, 0.02) if quick else (15, 0.1)
    rows = []
    for name, stmt, key_kinds, work in OPERATIONS:
        if operations and name not in operations:
            continue
        for key_kind in key_kinds:
            row = {"operation": name, "key": key_kind, "work": work}
            if work:
                ns = _namespace(NativeCache, key_kind)
                row["work_ns"], _ = time_statement(WORK[work], ns, repeat, min_seconds)
            else:
                row["work_ns"] = 0.0
            for impl, cache_cls in IMPLEMENTATIONS.items():
                ns = _namespace(cache_cls, key_kind)
                median, spread = time_statement(stmt, ns, repeat, min_seconds)
                row[impl] = {"median_ns": median, "spread_ns": spread, "own_ns": median - row["work_ns"]}
            reference_own = row["reference"]["own_ns"]
            row["ratio"] = row["native"]["own_ns"] / reference_own if reference_own > 0 else None
            rows.append(row)
    return rows


def host_description():
    build = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "GIL"
    return f"CPython {platform.python_version()} ({build} build), {platform.machine()}"


def format_table(rows):
    header = (f"{'operation':24} {'key':6} {'native ns':>10} {'±':>5} {'reference ns':>12} {'±':>5} "
              f"{'work ns':>8} {'own: native':>11} {'reference':>9} {'ratio':>6}")
    lines = [host_description(), header, "-" * len(header)]
    for row in rows:
        native, reference = row["native"], row["reference"]
        ratio = f"{row['ratio']:.2f}" if row["ratio"] is not None else "-"
        lines.append(
            f"{row['operation']:24} {row['key']:6} {native['median_ns']:10.1f} {native['spread_ns']:5.1f} "
            f"{reference['median_ns']:12.1f} {reference['spread_ns']:5.1f} {row['work_ns']:8.1f} "
            f"{native['own_ns']:11.1f} {reference['own_ns']:9.1f} {ratio:>6}"
        )
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer, shorter runs")
    parser.add_argument("--json", metavar="FILE", help="also write the results as JSON")
    parser.add_argument("operations", nargs="*", help="only these operations (default: all)")
    args = parser.parse_args(argv)
    rows = run(quick=args.quick, operations=args.operations)
    print(format_table(rows))
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump({"host": host_description(), "python": sys.version, "rows": rows}, f, indent=1)


if __name__ == "__main__":
    main()
