"""Python code that runs in the middle of a cache operation and calls back into the same cache."""

import gc
import sys

import pytest

from conftest import ATOMIC_CLEARS, CACHE_ACTIONS, Key

SLOT = 5
OLD, MARK, VALUE, RESULT = (type(name, (), {})() for name in ("Old", "Mark", "Value", "Result"))
ACTIONS = {name: CACHE_ACTIONS[name] for name in ("clear", "reinit", "shrink-list")} | {
    "set": lambda c: c.set(Key(SLOT), MARK)
}


class Hook:
    """Runs an action on the cache whenever it is turned into the slot index."""

    def __init__(self, cache, action):
        self.cache, self.action = cache, action

    def __int__(self):
        self.action(self.cache)
        return SLOT

    value = property(__int__)


class Finalised(Hook):
    def __del__(self):
        self.action(self.cache)


class Members(dict):
    """Stands in for the key enumeration: `__members__` maps member names to keys."""

    @property
    def __members__(self):
        return self


def leak_free(scenario, rounds=300):
    """Run `scenario` many times; reference counts and allocated blocks must stay put."""
    tracked = (OLD, MARK, VALUE, RESULT, Key, Hook, Finalised, Members)
    for _ in range(30):
        scenario()
    gc.collect()
    counts, blocks = [sys.getrefcount(o) for o in tracked], sys.getallocatedblocks()
    for _ in range(rounds):
        scenario()
    gc.collect()
    assert [sys.getrefcount(o) for o in tracked] == counts
    assert sys.getallocatedblocks() - blocks < rounds // 10


def check(c, call, expected):
    """Run `call`; `expected` is what the slot then holds, or IndexError if the list shrank."""
    if expected is IndexError:
        with pytest.raises(IndexError):
            call()
        assert c.__reduce__()[2][0] == [None] * 3
        return None
    result = call()
    assert c.get(Key(SLOT)) is expected and len(c.__reduce__()[2][0]) == 32
    return result


KEY_OPS = {  # operation: (call, slot content after a nested clear or init, after a nested set)
    "get": (lambda c, k: c.get(k), None, MARK),
    "subscript": (lambda c, k: c[k], None, MARK),
    "attribute": (lambda c, k: c.HOOK, None, MARK),
    "get_or_set_val": (lambda c, k: c.get_or_set_val(k, VALUE), VALUE, MARK),
    "get_or_exec": (lambda c, k: c.get_or_exec(k, lambda: VALUE), VALUE, MARK),
    "set": (lambda c, k: c.set(k, VALUE), VALUE, VALUE),
    "clear_selected": (lambda c, k: c.clear_selected(None, [k]), None, None),
}


@pytest.mark.parametrize("action", ACTIONS)
@pytest.mark.parametrize("hook", ["value", "__int__"])
@pytest.mark.parametrize("op", KEY_OPS)
def test_key_whose_conversion_reenters(mod, Cache, monkeypatch, op, hook, action):
    call, after_reset, after_set = KEY_OPS[op]
    expected = {"shrink-list": IndexError, "set": after_set}.get(action, after_reset)
    monkeypatch.setattr(mod, "CacheType", mod.CacheType)  # restored afterwards

    def scenario():
        c = Cache()
        c.set(Key(SLOT), OLD)
        key = Hook(c, ACTIONS[action]) if hook == "value" else Key(Hook(c, ACTIONS[action]))
        mod.CacheType = Members(HOOK=key) if op == "attribute" else type(key)
        result = check(c, lambda: call(c, key), expected)
        returns = op not in ("set", "clear_selected") and expected is not IndexError
        assert result is (expected if returns else None)

    leak_free(scenario)


@pytest.mark.parametrize("action", ACTIONS)
def test_func_of_get_or_exec_that_reenters(Cache, action):
    expected = IndexError if action == "shrink-list" else RESULT

    def scenario():
        c = Cache()
        first = c.__reduce__()[2][0]

        def func():
            ACTIONS[action](c)
            return RESULT

        assert check(c, lambda: c.get_or_exec(Key(SLOT), func), expected) is (
            None if expected is IndexError else RESULT
        )
        assert first[SLOT] is (RESULT if action in ("clear", "set") else None)

    leak_free(scenario)


RELEASES = {  # operation: (call, slot after a nested clear or init, after a set, after a shrink)
    "set": (lambda c: c.set(Key(SLOT), VALUE), None, MARK, None),
    # One pass releases the values after it: the shrink comes once the clear is done.
    "clear": (lambda c: c.clear(), None, MARK, None if ATOMIC_CLEARS else IndexError),
    "clear_selected": (lambda c: c.clear_selected(None, [Key(SLOT)]), None, MARK, None),
}


@pytest.mark.parametrize("action", ACTIONS)
@pytest.mark.parametrize("op", RELEASES)
def test_finaliser_of_a_released_slot_value_that_reenters(Cache, op, action):
    call, after_reset, after_set, after_shrink = RELEASES[op]
    expected = {"shrink-list": after_shrink, "set": after_set}.get(action, after_reset)

    def scenario():
        c = Cache()
        c.set(Key(SLOT), Finalised(c, ACTIONS[action]))
        if action == "shrink-list" and expected is None:
            assert call(c) is None and c.__reduce__()[2][0] == [None] * 3
        else:
            assert check(c, lambda: call(c), expected) is None

    leak_free(scenario)


@pytest.mark.parametrize(
    "release_action, expected",
    [(lambda c: c.set(Key(SLOT), RESULT), RESULT), (CACHE_ACTIONS["clear"], None), (CACHE_ACTIONS["reinit"], None)],
    ids=["set", "clear", "reinit"],
)
def test_get_or_exec_reads_the_slot_after_its_own_releases(Cache, release_action, expected):
    """The store releases the occupant `func` left, whose finaliser replaces
    the result in the slot; releasing the result then runs its finaliser too.
    What get_or_exec returns is what the slot holds after both."""

    def scenario():
        c = Cache()

        def func():
            c.set(Key(SLOT), Finalised(c, ACTIONS["set"]))
            return Finalised(c, release_action)

        assert c.get_or_exec(Key(SLOT), func) is expected
        assert c.get(Key(SLOT)) is expected

    leak_free(scenario)
