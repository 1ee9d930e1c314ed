"""A short tour of the cache: ``python -m umbo_ui.fast.umbocache``."""

import pickle

from umbo_ui.fast.umbocache.umbocache import Cache, CacheType


def main() -> None:
    cache = Cache()
    calls = []

    def measure():
        calls.append(1)
        return (640, 480)

    first = cache.get_or_exec(CacheType.MEASURE, measure)
    again = cache.get_or_exec(CacheType.MEASURE, measure)
    print(f"measured {first}, asked twice, computed {len(calls)} time(s)")

    cache.set(CacheType.THEME, "dark")
    print(f"cache.THEME = {cache.THEME!r}, cache[CacheType.THEME] = {cache[CacheType.THEME]!r}")

    restored = pickle.loads(pickle.dumps(cache))
    print(f"after a pickle round trip: MEASURE = {restored.MEASURE}, THEME = {restored.THEME!r}")

    cache.clear_selected(blacklist=[CacheType.THEME])
    print(f"clear_selected(blacklist=[THEME]): MEASURE = {cache.MEASURE}, THEME = {cache.THEME!r}")
    assert again is first

    print("\nTimings against the pure-Python reference cache (quick run; the full")
    print("suite is `python benchmarks/run.py`):\n")
    from umbo_ui.fast.umbocache import benchmark

    short = ["get", "subscription", "attribute", "get_or_exec hit", "clear_selected()", "copy()"]
    print(benchmark.format_table(benchmark.run(quick=True, operations=short)))


if __name__ == "__main__":
    main()
