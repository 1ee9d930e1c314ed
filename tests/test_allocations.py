"""Deterministic memory counts: calls keep nothing, instances stay small."""

import ctypes
import gc
import tracemalloc

import pytest

from conftest import Key


def _never():
    return None


# Each call leaves the cache as it found it, so repeating it can't grow
# anything that the call keeps; binding by position and by keyword both.
CALLS = [
    ("get", lambda c, k: c.get(k)),
    ("get by keyword", lambda c, k: c.get(type=k)),
    ("set", lambda c, k: c.set(k, None)),
    ("set by keyword", lambda c, k: c.set(value=None, type=k)),
    ("get_or_set_val", lambda c, k: c.get_or_set_val(k, None)),
    ("get_or_exec", lambda c, k: c.get_or_exec(k, _never)),
    ("get_or_exec by keyword", lambda c, k: c.get_or_exec(func=_never, type=k)),
    ("clear", lambda c, k: c.clear()),
    ("clear_selected", lambda c, k: c.clear_selected([k], [k])),
    ("clear_selected by keyword", lambda c, k: c.clear_selected(whitelist=[k])),
    ("subscription", lambda c, k: c[k]),
    ("attribute", lambda c, k: c.THEME),
    ("__init__", lambda c, k: c.__init__()),
    ("through the class", lambda c, k: type(c).get(c, k)),
]


@pytest.mark.parametrize("call", [c for _, c in CALLS], ids=[n for n, _ in CALLS])
def test_repeated_calls_keep_no_memory(Cache, CacheType, call):
    cache = Cache()
    key = CacheType.THEME if "THEME" in CacheType.__members__ else Key(3)
    for _ in range(200):  # warm-up: caches of the host fill here
        call(cache, key)
    gc.collect()
    tracemalloc.start()
    try:
        traced = []
        for rounds in (1000, 5000, 5000):
            for _ in range(rounds):
                call(cache, key)
            gc.collect()
            traced.append(tracemalloc.get_traced_memory()[0])
    finally:
        tracemalloc.stop()
    # Something kept per call grows in every round (by 80 kB or more); the
    # host may build a structure of its own once, so one of the two later
    # rounds must add nothing beyond the measurement's own few objects.
    growth = min(traced[1] - traced[0], traced[2] - traced[1])
    assert growth < 512


def test_an_instance_is_the_object_header_and_two_pointers(Cache):
    assert Cache.__basicsize__ == object.__basicsize__ + 2 * ctypes.sizeof(ctypes.c_void_p)
    assert Cache.__itemsize__ == 0
