"""The garbage collector and re-entrant code running inside cache operations.

Cycles through slot values and through the attribute dictionaries of
subclasses must be collected.  Code that runs in the middle of an operation (a
finaliser of a slot value that the operation releases, a key's ``value``
property, the function of ``get_or_exec``) may run the collector and change
the cache; the native cache must then end in the same state, with the same
errors, as the pure-Python reference that runs the same scenario.
"""

import copy
import gc
import pickle
import random
import weakref

import pytest

from umbo_ui.fast.umbocache.umbocache import Cache, CacheType

from conftest import CACHE_ACTIONS, Key, Sub
from reference import Cache as RefCache


class Holder:
    pass


# ---------------------------------------------------------------- cycles


def _copy_holds(c, obj):
    c.set(Key(5), obj)
    obj.copy = c.copy()


def _shares_list(c, obj):
    c.set(Key(5), obj)
    obj.twin = copy.copy(c)


def _unpickled_holds(c, obj):
    obj.twin = pickle.loads(pickle.dumps(c))
    obj.twin.set(Key(5), obj)


STORES = {
    "set": lambda c, obj: c.set(Key(5), obj),
    "get_or_set_val": lambda c, obj: c.get_or_set_val(Key(5), obj),
    "get_or_exec": lambda c, obj: c.get_or_exec(Key(5), lambda: obj),
    "setstate": lambda c, obj: c.__setstate__(([obj] * 32,)),
    "setstate-long-list": lambda c, obj: c.__setstate__(([None] * 40 + [obj],)),
    "copy": _copy_holds,
    "shared-list": _shares_list,
    "unpickled": _unpickled_holds,
}


@pytest.mark.parametrize("cls", [Cache, Sub])
@pytest.mark.parametrize("store", STORES.values(), ids=list(STORES))
def test_cycle_through_a_slot_value_is_collected(cls, store):
    cache = cls()
    holder = Holder()
    holder.cache = cache
    store(cache, holder)
    alive = weakref.ref(holder)
    del cache, holder
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize(
    "make",
    [
        lambda: Sub(),
        lambda: Sub.__new__(Sub),
        lambda: pickle.loads(pickle.dumps(Sub())),
        lambda: Cache.__new__(Sub, 1, x=2),
    ],
    ids=["initialised", "uninitialised", "unpickled", "allocated-with-arguments"],
)
@pytest.mark.parametrize(
    "link",
    [
        lambda s: setattr(s, "me", s),
        lambda s: setattr(s, "holder", Holder()) or setattr(s.holder, "back", s),
        lambda s: s.__init__() or s.set(Key(1), s),
        lambda s: s.__setstate__(([s], {"me": s})),
        lambda s: s.__setstate__((None, {"me": [s]})),
    ],
    ids=["dict-self", "dict-holder", "slot-self", "restored-list-and-dict", "restored-dict"],
)
def test_cycle_through_a_subclass_instance_is_collected(make, link):
    inst = make()
    link(inst)
    alive = weakref.ref(inst)
    del inst
    gc.collect()
    assert alive() is None


def test_collected_cycle_does_not_disturb_surviving_caches():
    survivor = Cache()
    keep = Holder()
    survivor.set(Key(3), keep)
    for _ in range(50):
        a, b = Cache(), Sub()
        a.set(Key(1), b)
        b.set(Key(2), a)
        b.other = survivor
        b.set(Key(3), survivor.get(Key(3)))
    del a, b
    gc.collect()
    assert survivor.get(Key(3)) is keep
    assert [survivor.get(Key(i)) for i in range(32) if i != 3] == [None] * 31


# ---------------------------------------------------------------- re-entrancy


def collect_young_garbage():
    """Make a few unreachable cycles of caches and run the collector over them."""
    make_garbage(Cache, 2)
    gc.collect(0)


class Tripwire:
    """Runs the collector, then an action, when it is released."""

    def __init__(self, tag, action, log):
        self.tag, self.action, self.log = tag, action, log

    def __del__(self):
        self.log.append(self.tag)
        collect_young_garbage()
        try:
            self.action()
        except Exception as exc:
            self.log.append((type(exc).__name__, str(exc)))


def make_garbage(cls, count=5):
    """Unreachable cycles of caches, so that a nested collection has caches to clear."""
    for _ in range(count):
        a, b = cls(), cls()
        a.set(Key(0), b)
        b.set(Key(0), a)
        b.set(Key(1), [a, b])


def describe(value):
    if isinstance(value, Tripwire):
        return ("tripwire", value.tag)
    if isinstance(value, (Cache, RefCache)):
        return "a cache"
    return value


def snapshot(cache):
    reduced = cache.__reduce__()
    arr = reduced[2][0] if len(reduced) == 3 else reduced[1][2][0]
    return None if arr is None else [describe(v) for v in arr]


def outcome(fn):
    try:
        return ("ok", describe(fn()))
    except Exception as exc:
        return ("raised", type(exc), exc.args)


ACTIONS = {
    **{name: (lambda c, i, act=act: act(c)) for name, act in CACHE_ACTIONS.items()},
    "write-behind": lambda c, i: c.set(Key(i - 1), f"written by {i}"),
    "write-ahead": lambda c, i: c.set(Key(i + 1), f"written by {i}"),
    "write-own": lambda c, i: c.set(Key(i), f"written by {i}"),
    "copy": lambda c, i: c.set(Key(30), c.copy().get(Key(i - 1))),
    "reduce": lambda c, i: c.__reduce__(),
}
TRIPWIRE_SLOTS = (2, 5, 9, 31)

OPERATIONS = {
    "clear": lambda c: c.clear(),
    "clear_selected": lambda c: c.clear_selected(),
    "clear_selected-some": lambda c: c.clear_selected([Key(9)], [Key(i) for i in TRIPWIRE_SLOTS]),
    "set-none": lambda c: [c.set(Key(i), None) for i in TRIPWIRE_SLOTS],
    "set-replace": lambda c: [c.set(Key(i), f"new {i}") for i in TRIPWIRE_SLOTS],
    "reinit": lambda c: c.__init__(),
    "setstate": lambda c: c.__setstate__(([f"state {i}" for i in range(32)],)),
    "get_or_exec-overwrites": lambda c: c.get_or_exec(Key(0), lambda: c.__init__() or "result"),
}


def run_tripwire_scenario(cls, operation, action):
    cache = cls()
    log = []
    make_garbage(cls)
    for i in TRIPWIRE_SLOTS:
        cache.set(Key(i), Tripwire(i, lambda i=i: action(cache, i), log))
    result = outcome(lambda: operation(cache))
    state = snapshot(cache)
    cache.__init__()  # release whatever tripwires are left
    return result, state, log


@pytest.mark.parametrize("action", ACTIONS.values(), ids=list(ACTIONS))
@pytest.mark.parametrize("operation", OPERATIONS.values(), ids=list(OPERATIONS))
def test_finalisers_run_inside_operations(operation, action):
    native = run_tripwire_scenario(Cache, operation, action)
    reference = run_tripwire_scenario(RefCache, operation, action)
    assert native == reference


class CollectingKey:
    """A key whose ``value`` runs the collector and an action first."""

    def __init__(self, cache, idx, action):
        self.cache, self.idx, self.action = cache, idx, action

    @property
    def value(self):
        collect_young_garbage()
        ACTIONS[self.action](self.cache, self.idx)
        return self.idx


KEY_OPERATIONS = {
    "get": lambda c, k: c.get(k),
    "set": lambda c, k: c.set(k, "stored"),
    "get_or_set_val": lambda c, k: c.get_or_set_val(k, "stored"),
    "get_or_exec": lambda c, k: c.get_or_exec(k, lambda: "computed"),
    "clear_selected-blacklist": lambda c, k: c.clear_selected([k]),
    "clear_selected-whitelist": lambda c, k: c.clear_selected(None, [k, k]),
}


def run_key_scenario(cls, operation, action, idx):
    cache = cls()
    for i in range(0, 32, 3):
        cache.set(Key(i), f"value {i}")
    result = outcome(lambda: operation(cache, CollectingKey(cache, idx, action)))
    return result, snapshot(cache)


@pytest.mark.parametrize("idx", [3, 31])
@pytest.mark.parametrize("action", ["collect", "write-own", "reinit", "drop-list", "shrink-list", "clear"])
@pytest.mark.parametrize("operation", KEY_OPERATIONS.values(), ids=list(KEY_OPERATIONS))
def test_collector_inside_a_key_value(operation, action, idx):
    assert run_key_scenario(Cache, operation, action, idx) == run_key_scenario(RefCache, operation, action, idx)


def run_func_scenario(cls, action, filled):
    cache = cls()
    log = []
    if filled:
        cache.set(Key(6), Tripwire(6, lambda: ACTIONS[action](cache, 6), log))

    def func():
        collect_young_garbage()
        ACTIONS[action](cache, 7)
        # A value in the slot that the result will replace.
        cache.set(Key(7), Tripwire(7, lambda: ACTIONS[action](cache, 7), log))
        return "computed"

    result = outcome(lambda: cache.get_or_exec(Key(7), func))
    state = snapshot(cache)
    cache.__init__()
    return result, state, log


@pytest.mark.parametrize("filled", [False, True])
@pytest.mark.parametrize("action", ACTIONS)
def test_collector_inside_get_or_exec(action, filled):
    assert run_func_scenario(Cache, action, filled) == run_func_scenario(RefCache, action, filled)


def test_cache_collected_while_its_finalisers_use_it():
    log = []
    for cls in (Cache, Sub):
        for _ in range(5):
            cache = cls()
            for i in TRIPWIRE_SLOTS:
                cache.set(Key(i), Tripwire(i, lambda i=i, c=cache: (c.set(Key(i - 1), i), c.clear()), log))
            del cache
            gc.collect()
    assert sorted(set(t for t in log if isinstance(t, int))) == list(TRIPWIRE_SLOTS)
    assert not [t for t in log if not isinstance(t, int)]


def test_cache_resurrected_by_a_finaliser_stays_usable():
    saved = []
    log = []
    cache = Cache()
    cache.set(Key(1), Tripwire(1, lambda c=cache: saved.append(c), log))
    cache.set(Key(2), "kept")
    del cache
    gc.collect()
    (cache,) = saved
    assert cache.get(Key(2)) == "kept"
    cache.set(Key(1), None)  # the finaliser doesn't run twice
    cache.set(Key(3), "new")
    assert cache.get(Key(3)) == "new"
    assert log == [1]


# ---------------------------------------------------------------- constant collection


def random_step(rng, native, reference, pool):
    """One random operation on both sides; returns both outcomes."""
    key = Key(rng.choice([0, 1, 5, 31, 32, -1]))
    value = rng.choice(pool)
    op = rng.randrange(12)
    if op == 0:
        return [outcome(lambda: c.set(key, value)) for c in (native, reference)]
    if op == 1:
        return [outcome(lambda: c.get_or_set_val(key, value)) for c in (native, reference)]
    if op == 2:
        return [outcome(lambda: c.get_or_exec(key, lambda: [value])) for c in (native, reference)]
    if op == 3:
        return [outcome(lambda: c.clear_selected([Key(1)], [key, Key(5)])) for c in (native, reference)]
    if op == 4:
        return [outcome(lambda: c.clear()) for c in (native, reference)]
    if op == 5:
        return [outcome(lambda: c.__init__()) for c in (native, reference)]
    if op == 6:
        size = rng.choice([3, 32])
        return [outcome(lambda: c.__setstate__(([value] * size,))) for c in (native, reference)]
    if op == 7:
        copies = [native.copy(), reference.copy()]
        return [outcome(lambda: copies[0].get(key)), outcome(lambda: copies[1].get(key))]
    if op == 8:
        trips = [pickle.loads(pickle.dumps(c)) for c in (native, reference)]
        return [snapshot(t) for t in trips]
    if op == 9:
        return [outcome(lambda: c.get(key)) for c in (native, reference)]
    if op == 10:
        rings = [Holder(), Holder()]
        for ring, c in zip(rings, (native, reference)):
            ring.cache = c.copy()
        return [outcome(lambda: ring.cache.set(key, ring)) for ring in rings]
    return [outcome(lambda: getattr(c, "THEME")) for c in (native, reference)]


def test_operations_under_constant_collection():
    rng = random.Random(20240607)
    native, reference = Cache(), RefCache()
    pool = [None, 0, "text", (1, 2), 2.5, CacheType.LAYOUT]
    old = gc.get_threshold()
    gc.set_threshold(1, 1, 1)
    try:
        for step in range(400):
            sub_out, ref_out = random_step(rng, native, reference, pool)
            assert sub_out == ref_out, step
            assert snapshot(native) == snapshot(reference), step
    finally:
        gc.set_threshold(*old)
