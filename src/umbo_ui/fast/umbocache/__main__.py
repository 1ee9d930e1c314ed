"""A short tour of the cache: ``python -m umbo_ui.fast.umbocache``.

Timings live in the repository's ``benchmarks/`` directory, not here.
"""

import argparse
import pickle

from umbo_ui.fast.umbocache.umbocache import Cache, CacheType


def main(argv: list[str] | None = None) -> None:
    # --help says what the command does; the tour itself takes no arguments.
    argparse.ArgumentParser(
        prog="python -m umbo_ui.fast.umbocache",
        description="Runs a short tour of the native 32-slot cache: fills, reads, pickles, copies and "
        "clears a Cache keyed by CacheType members, printing what each step returns.",
    ).parse_args(argv)
    cache = Cache()
    print(f"A Cache has 32 slots; each of the {len(CacheType)} CacheType members names one. None means empty.")
    calls = []

    def measure():
        calls.append(1)
        return (640, 480)

    first = cache.get_or_exec(CacheType.MEASURE, measure)
    again = cache.get_or_exec(CacheType.MEASURE, measure)
    assert again is first
    print(f"get_or_exec(MEASURE, measure) twice -> {first}, measure() ran {len(calls)} time")

    cache.set(CacheType.THEME, "dark")
    print(
        f"set(THEME, 'dark') -> get(THEME) = {cache.get(CacheType.THEME)!r}, "
        f"cache[CacheType.THEME] = {cache[CacheType.THEME]!r}, cache.THEME = {cache.THEME!r}"
    )

    kept = cache.get_or_set_val(CacheType.THEME, "light")
    print(f"get_or_set_val(THEME, 'light') -> {kept!r} (the slot was already filled)")

    restored = pickle.loads(pickle.dumps(cache))
    print(f"pickle round trip -> MEASURE = {restored.MEASURE}, THEME = {restored.THEME!r}")

    copied = cache.copy()
    cache.clear_selected(blacklist=[CacheType.THEME])
    print(f"clear_selected(blacklist=[THEME]) -> MEASURE = {cache.MEASURE}, THEME = {cache.THEME!r}")
    print(f"a copy taken before keeps its own slots -> MEASURE = {copied.MEASURE}")

    cache.clear()
    print(f"clear() -> THEME = {cache.THEME!r}")

    try:
        cache.get(None)
    except TypeError as exc:
        print(f"get(None) -> TypeError: {exc}")


if __name__ == "__main__":
    main()
