"""Hostile callers: collections forced inside the module's own allocations,
code that changes the cache from a finaliser or a gc callback, and callables
that call back into the cache with no Python frame in between."""

import copy
import functools
import gc
import pickle

import pytest

from umbo_ui.fast.umbocache.umbocache import Cache, CacheType

from conftest import Key

STEPS = 12  # allocations after which the forced collection comes


class Saboteur:
    """Cyclic garbage whose finaliser runs `action` when a collection finds it."""

    def __init__(self, action):
        self.action, self.cycle = action, self

    def __del__(self):
        self.action()


@pytest.fixture(autouse=True, scope="module")
def young_heap():
    """What exists before these tests is left out of their collections (one
    full collection of the whole session's heap per step made the module the
    slowest of the suite); what a test makes, the Saboteur included, is not."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


def run_with_collection(allocations, action, trigger, operation, cache):
    """Runs `operation(cache)` with the collector due after `allocations` more
    tracked objects; the collection runs `action` from a finaliser or a gc
    callback.  Returns the result, or the TypeError or IndexError raised."""
    drained = [[] for _ in range(100)] + [tuple([i]) for i in range(100)]  # free lists empty
    old = gc.get_threshold()
    callback = taken = None
    gc.collect()
    if trigger == "finaliser":
        Saboteur(action)
    else:

        def callback(phase, info):
            if phase == "start":
                action()

        gc.callbacks.append(callback)
    try:
        gc.set_threshold(gc.get_count()[0] + allocations)
        taken = (cache,), (cache, cache), (cache, cache, cache)  # what that call gave back to the free lists
        return operation(cache)
    except (TypeError, IndexError) as exc:
        return exc
    finally:
        gc.set_threshold(*old)
        if callback:
            gc.callbacks.remove(callback)
        del drained, taken


def slot_list(cache):
    """The cache's live slot list (or None), without holding it any longer."""
    return cache.__reduce__()[2][0]


MUTATIONS = {  # what the code run by the collection does to the slot list
    "replace": lambda c: c.__setstate__(([f"new {i}" for i in range(32)],)),
    "reinit": lambda c: c.__init__(),
    "shrink": lambda c: slot_list(c).__delitem__(slice(3, None)),
    "empty": lambda c: slot_list(c).clear(),
    "none": lambda c: c.__setstate__((None,)),
}

OPERATIONS = {
    "get": lambda c: c.get(Key(5)),
    "set": lambda c: c.set(Key(5), "stored"),
    "subscript": lambda c: c[CacheType.THEME],
    "attribute": lambda c: c.THEME,
    "get_or_set_val": lambda c: c.get_or_set_val(Key(14), "stored"),
    "get_or_exec": lambda c: c.get_or_exec(Key(14), lambda: "made"),
    "clear": lambda c: c.clear(),
    "clear_selected": lambda c: c.clear_selected(),
    "clear_selected-lists": lambda c: c.clear_selected([Key(1)], [Key(i) for i in range(0, 32, 3)]),
    "copy": lambda c: c.copy(),
    "deepcopy": copy.deepcopy,
    "copy.copy": copy.copy,
    "reduce": lambda c: c.__reduce__(),
    "pickle": lambda c: pickle.loads(pickle.dumps(c)),
    "setstate": lambda c: c.__setstate__(([f"state {i}" for i in range(32)],)),
    "init": lambda c: c.__init__(),
    "construct": lambda c: Cache(),
}

# What an operation may meet once the list was dropped or shortened.
EXPECTED_ERRORS = {(TypeError, "'NoneType' object is not subscriptable"), (IndexError, None)}
# The lengths a slot list read during the operation may have: as it was, or
# as the mutation left it.
LENGTHS = {"replace": {32}, "reinit": {32}, "shrink": {32, 3}, "empty": {32, 0}, "none": {32, None}}


def read_slots(result):
    """The slot list that `result` exposes (a list, or None), or [result] for a slot read."""
    if isinstance(result, Cache):
        result = result.__reduce__()
    if isinstance(result, tuple):  # a reduction: its state's slot list
        return (result[2] if len(result) == 3 else result[1][2])[0]
    return result if isinstance(result, list) else [result]


@pytest.mark.parametrize("trigger", ["finaliser", "gc-callback"])
@pytest.mark.parametrize("mutation", MUTATIONS)
@pytest.mark.parametrize("operation", OPERATIONS)
def test_collection_forced_inside_an_operation(operation, mutation, trigger):
    for step in range(STEPS):
        cache = Cache()
        cache.__setstate__(([f"value {i}" for i in range(32)],))
        fired = []

        def action():
            if not fired:
                fired.append(step)
                MUTATIONS[mutation](cache)

        result = run_with_collection(step, action, trigger, OPERATIONS[operation], cache)
        if isinstance(result, Exception):
            error = (type(result), str(result) if isinstance(result, TypeError) else None)
            assert error in EXPECTED_ERRORS, result
            continue
        # Whatever was read is a whole slot list or a slot value, never freed or torn memory.
        slots = read_slots(result)
        if slots is None or len(slots) != 1:
            assert (None if slots is None else len(slots)) in LENGTHS[mutation], (step, slots)
        assert all(v is None or type(v) is str for v in slots or ()), (step, slots)


# ---------------------------------------------------------------- recursion without Python frames


def _self_calling_get_or_exec(c):
    p = functools.partial(c.get_or_exec, CacheType.THEME, None)
    p.__setstate__((c.get_or_exec, (CacheType.THEME, p), {}, None))
    return p()


class SelfCopying(Cache):
    pass


def _self_calling_deepcopy(c):
    x = SelfCopying()
    x.copy = functools.partial(x.__deepcopy__, None)
    return x.__deepcopy__(None)


class PartialKey:
    """A key whose `value` reads the cache with this very key."""

    def __init__(self, cache):
        type(self).value = property(functools.partial(Cache.get, cache))


class PartialIntKey:
    def __init__(self, cache):
        self.value = self
        type(self).__int__ = staticmethod(functools.partial(Cache.get, cache, self))


class TruthBomb:
    def __init__(self, cache):
        type(self).__bool__ = staticmethod(functools.partial(Cache.clear_selected, cache, self))


RECURSIONS = {
    "get_or_exec-func": _self_calling_get_or_exec,
    "deepcopy-copy": _self_calling_deepcopy,
    "key-value": lambda c: c.get(PartialKey(c)),
    "key-__int__": lambda c: c.set(PartialIntKey(c), 1),
    "clear_selected-truth": lambda c: c.clear_selected(TruthBomb(c)),
}


@pytest.mark.parametrize("call", RECURSIONS.values(), ids=list(RECURSIONS))
def test_native_self_recursion_ends_in_recursion_error(call):
    cache = Cache()
    with pytest.raises(RecursionError):
        call(cache)
    assert cache.get(Key(3)) is None


def test_members_that_read_the_cache_end_in_recursion_error(mod, monkeypatch):
    cache = Cache()
    members = type("Members", (), {})
    members.__members__ = property(functools.partial(getattr, cache, "THEME"))
    monkeypatch.setattr(mod, "CacheType", members())
    with pytest.raises(RecursionError):
        cache.THEME


def test_a_global_found_through_the_builtins_that_reads_the_cache(mod, monkeypatch):
    """With CacheType gone from the module, its lookup reaches the builtins
    module, whose module-level __getattr__ subscripts the cache again."""
    import builtins

    cache = Cache()
    monkeypatch.delattr(mod, "CacheType")
    monkeypatch.setattr(builtins, "__getattr__", lambda name: None, raising=False)
    builtins.__getattr__ = functools.partial(Cache.__getitem__, cache)
    with pytest.raises(RecursionError):
        cache[CacheType.THEME]


class SelfCheckingChecksum:
    def __int__(self):
        raise AssertionError("replaced below")


def test_a_checksum_whose_conversion_unpickles_again(mod):
    unpickle = getattr(mod, "__pyx_unpickle_Cache")
    checksum = SelfCheckingChecksum()
    SelfCheckingChecksum.__int__ = staticmethod(functools.partial(unpickle, Cache, checksum, None))
    with pytest.raises(RecursionError):
        unpickle(Cache, checksum, None)
