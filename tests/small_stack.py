"""Recursion through every cache operation, by plain Python code, on a thread
with a small stack; run by test_hostile.py in a process of its own.

    python small_stack.py STACK_KIB

Runs every operation once, then each recursion.  Prints each scenario's name and how it ended (the name of the exception,
or "returned"); a crash leaves the names of the scenarios before it.
"""

import copy
import pickle
import sys
import threading

from umbo_ui.fast.umbocache import umbocache as mod
from umbo_ui.fast.umbocache.umbocache import Cache, CacheType

KEY = CacheType.MEASURE
UNPICKLE = getattr(mod, "__pyx_unpickle_Cache")


class Reading:
    """A key whose `value` runs `op` on a new cache with another such key."""

    op = None

    @property
    def value(self):
        type(self).op(Cache(), type(self)())
        return 3


def reading(op):
    return type("Key", (Reading,), {"op": staticmethod(op)})


class Converting:
    """A `value` whose conversion to an int reads a new cache with it again."""

    def __init__(self):
        self.value = self

    def __int__(self):
        Cache().get(Converting())
        return 3


class Truthy:
    """A list argument whose truth test calls clear_selected with another."""

    def __bool__(self):
        Cache().clear_selected(Truthy())
        return True


class Name(str):
    """A keyword name that is compared by value, calling the cache again."""

    def __eq__(self, other):
        Cache().get(**{Name("type"): KEY})
        return str.__eq__(self, other)

    __hash__ = str.__hash__


class InstanceCheck(type):
    def __instancecheck__(cls, instance):
        Cache()[instance]
        return True


class Members:
    @property
    def __members__(self):
        Cache().THEME
        return {}


class CopiesItself(Cache):
    def copy(self):
        return copy.deepcopy(CopiesItself())


class PicklesItself(Cache):
    @property
    def __dict__(self):
        pickle.dumps(PicklesItself())
        return {"x": 1}


class RestoresItself(Cache):
    __slots__ = ("a",)

    def __setattr__(self, name, value):
        RestoresItself().__setstate__(([None] * 32, None, {"a": 1}))


class Checksum:
    def __int__(self):
        UNPICKLE(Cache, Checksum(), None)
        return 0


def get_or_exec():
    return Cache().get_or_exec(KEY, get_or_exec)


def with_cache_type(cache_type, call):
    def run():
        mod.CacheType = cache_type
        try:
            call()
        finally:
            mod.CacheType = CacheType

    return run


SubscriptKey = reading(lambda c, k: c[k])

SCENARIOS = {
    "get_or_exec-func": get_or_exec,
    "get-value": lambda: Cache().get(reading(Cache.get)()),
    "set-value": lambda: Cache().set(reading(lambda c, k: c.set(k, 1))(), 1),
    "get_or_set_val-value": lambda: Cache().get_or_set_val(reading(lambda c, k: c.get_or_set_val(k, 1))(), 1),
    "get_or_exec-value": lambda: Cache().get_or_exec(reading(lambda c, k: c.get_or_exec(k, int))(), int),
    "clear_selected-value": lambda: Cache().clear_selected(None, [reading(lambda c, k: c.clear_selected(None, [k]))()]),
    "clear_selected-truth": lambda: Cache().clear_selected(Truthy()),
    "get-__int__": lambda: Cache().get(Converting()),
    "keyword-name": lambda: Cache().get(**{Name("type"): KEY}),
    "subscript-value": with_cache_type(SubscriptKey, lambda: Cache()[SubscriptKey()]),
    "subscript-isinstance": with_cache_type(InstanceCheck("T", (), {}), lambda: Cache()[object()]),
    "attribute-members": with_cache_type(Members(), lambda: Cache().THEME),
    "deepcopy": lambda: copy.deepcopy(CopiesItself()),
    "pickle": lambda: pickle.dumps(PicklesItself()),
    "setstate": lambda: RestoresItself().__setstate__(([None] * 32, None, {"a": 1})),
    "unpickle-checksum": lambda: UNPICKLE(Cache, Checksum(), None),
}


def operations():
    """Each operation of the hostile harness once, on a cache of its own."""
    from test_hostile import OPERATIONS

    def once(op):
        cache = Cache()
        cache.__setstate__(([f"value {i}" for i in range(32)],))
        return lambda: op(cache)

    return {f"once-{name}": once(op) for name, op in OPERATIONS.items()}


def run_all():
    for name, scenario in {**operations(), **SCENARIOS}.items():
        try:
            scenario()
            ended = "returned"
        except Exception as exc:
            ended = type(exc).__name__
        print(name, ended, flush=True)


if __name__ == "__main__":
    threading.stack_size(int(sys.argv[1]) * 1024)
    thread = threading.Thread(target=run_all)
    thread.start()
    thread.join()
