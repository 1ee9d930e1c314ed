"""Cache objects: lifecycle, keyed and attribute access, fill-on-miss, selective clearing."""

import abc
import enum
import gc
import operator
import traceback
import weakref

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import umbo_ui.fast.umbocache.umbocache as umbocache

import reference
from conftest import Key, tb_entries

PREFIX, SOURCE = "umbo_ui.fast.umbocache.umbocache.Cache.", "src/umbo_ui/fast/umbocache/umbocache"
NOT_SUBSCRIPTABLE = "^'NoneType' object is not subscriptable$"
KEY_MSG = "^The key for cache access must be of type CacheType$"
MEMBERS = list(umbocache.CacheType.__members__.items())
MEMBER_SLOTS = frozenset(member.value for _, member in MEMBERS)
M0, M1, M2 = sorted(MEMBER_SLOTS)[:3]
N0, N1 = sorted(set(range(32)) - MEMBER_SLOTS)[:2]  # slots that belong to no member


def arr(c):
    """The live slot list of a cache, taken from its pickle state."""
    reduced = c.__reduce__()
    return (reduced[2] if len(reduced) == 3 else reduced[1][2])[0]


def filled(Cache):
    c, objs = Cache(), [object() for _ in range(32)]
    for i, obj in enumerate(objs):
        c.set(Key(i), obj)
    return c, objs


def emptied(c, objs):
    """Indexes of the emptied slots; every other slot must still hold its own object."""
    now = [c.get(Key(i)) for i in range(32)]
    assert all(now[i] is None or now[i] is objs[i] for i in range(32))
    return {i for i in range(32) if now[i] is None}


def test_fresh_lists_on_construction_and_init_while_clear_empties_in_place(Cache):
    a, (b, objs) = Cache(), filled(Cache)
    assert type(arr(a)) is list and arr(a) == [None] * 32 and arr(a) is not arr(b)
    old = arr(b)
    assert b.__init__() is None and arr(b) == [None] * 32 and arr(b) is not old
    assert len(old) == 32 and all(x is y for x, y in zip(old, objs))
    b.set(Key(3), "x")
    lst = arr(b)
    assert b.clear() is None and b.clear() is None and arr(b) is lst and lst == [None] * 32


@pytest.mark.parametrize(
    "op",
    [
        lambda c: c.get(Key(0)),
        lambda c: c.set(Key(0), 1),
        lambda c: c.clear(),
        lambda c: c[MEMBERS[0][1]],
        lambda c: getattr(c, MEMBERS[0][0]),
        lambda c: c.get_or_set_val(Key(0), 1),
        lambda c: c.get_or_exec(Key(0), object),
        lambda c: c.clear_selected(),
        lambda c: c.clear_selected(None, [Key(3)]),
    ],
)
def test_uninitialised_cache_refuses_slot_operations_until_init(Cache, op):
    class Lazy(Cache):
        def __init__(self):
            pass

    for c in Cache.__new__(Cache, 1, 2, x=3), Lazy():
        assert arr(c) is None
        with pytest.raises(TypeError, match=NOT_SUBSCRIPTABLE):
            op(c)
        with pytest.raises(AttributeError):
            c.nonexistent
        Cache.__init__(c)
        op(c)
        assert type(arr(c)) is list and len(arr(c)) == 32


@pytest.mark.parametrize(
    "blacklist, whitelist, error",
    [
        ([Key(0)], [MEMBERS[0][1], object()], AttributeError),
        ([MEMBERS[0][1], Key("x")], None, TypeError),
        (None, [Key(1), Key(2**40)], OverflowError),
    ],
)
def test_an_uninitialised_cache_reads_both_lists_before_its_slots(Cache, blacklist, whitelist, error):
    """The lists are read in full first, so their own errors come before the missing slot list's."""
    with pytest.raises(error) as caught:
        Cache.__new__(Cache).clear_selected(blacklist, whitelist)
    assert str(caught.value) != "'NoneType' object is not subscriptable"


@pytest.mark.parametrize("atomic_model", [False, True], ids=["slot-by-slot", "one-pass"])
@pytest.mark.parametrize(
    "blacklist, whitelist",
    [(None, [Key(32), Key(-1)]), ([Key(5)], [Key(5)]), ([MEMBERS[0][1]], [MEMBERS[0][1], Key(99)])],
)
def test_an_uninitialised_cache_with_no_slot_selected_clears_nothing(
    Cache, monkeypatch, atomic_model, blacklist, whitelist
):
    """With nothing selected no slot list is read: None, in every build and in both clears of the model."""
    monkeypatch.setattr(reference, "ATOMIC_CLEARS", atomic_model)
    for c in Cache.__new__(Cache), reference.Cache.__new__(reference.Cache):
        assert c.clear_selected(blacklist, whitelist) is None
        assert arr(c) is None


def test_abstract_subclasses_are_refused_and_plain_caches_stay_closed(Cache):
    def make(*bases):
        return abc.ABCMeta("Shape", bases, {"area": abc.abstractmethod(lambda self: 0)})

    with pytest.raises(TypeError) as plain:
        make()()
    for create in (lambda cls: cls(), lambda cls: cls.__new__(cls)):
        with pytest.raises(TypeError) as err:
            create(make(Cache))
        assert str(err.value) == str(plain.value)
    cache = Cache()  # a plain cache has no dict, no weak references and no new attributes
    assert getattr(cache, "__dict__", None) is None and getattr(cache, "nonexistent", 7) == 7
    with pytest.raises(TypeError):
        weakref.ref(cache)
    with pytest.raises(AttributeError):
        cache.extra = 1


def test_slot_values_are_released_and_cycles_collected(Cache):
    c, held, replaced = Cache(), Key(None), Key(None)  # any weakly referable objects
    held.cache, refs = c, (weakref.ref(held), weakref.ref(replaced))
    c.set(Key(4), held), c.set(Key(9), replaced)
    del held, replaced
    c.set(Key(9), "new")
    assert refs[1]() is None and c.get(Key(9)) == "new"
    del c
    gc.collect()
    assert refs[0]() is None


def test_every_access_path_returns_the_stored_object(cache):
    for name, member in MEMBERS:
        assert cache.get(member) is None and cache[member] is None and hasattr(cache, name)
        obj = object()
        assert cache.set(member, obj) is None and cache.get(Key(member.value)) is obj
        assert cache.get(member) is obj and cache[member] is obj
        assert getattr(cache, name) is obj and cache.__getattr__(name) is obj
        cache.set(Key(member.value), None)
        assert getattr(cache, name) is None
    cache.set(Key(N0 + 0.7), "float key")
    assert cache.get(Key(N0)) == "float key"


class Name(str):
    pass


def boom():
    raise KeyError("boom")


@pytest.mark.parametrize(
    "call, exc, expect",
    [
        (lambda c: c[3], TypeError, KEY_MSG),
        (lambda c: c[Key(3)], TypeError, KEY_MSG),
        (lambda c: list(c), TypeError, KEY_MSG),
        (lambda c: None in c, TypeError, KEY_MSG),
        (lambda c: operator.setitem(c, MEMBERS[0][1], 1), TypeError, "item assignment"),
        (lambda c: operator.delitem(c, MEMBERS[0][1]), TypeError, "item deletion"),
        (lambda c: len(c), TypeError, "has no len"),
        (lambda c: c.get(3), AttributeError, "value"),
        (lambda c: c.get_or_set_val(None, 1), AttributeError, "value"),
        (lambda c: c.get(None), TypeError, "^Argument 'type' must not be None$"),
        (lambda c: c.get_or_exec(None, None), TypeError, "^Argument 'type' must not be None$"),
        (lambda c: c.get_or_exec(Key(0), None), TypeError, "^Argument 'func' must not be None$"),
        (lambda c: c.get(Key("2")), TypeError, "^an integer is required$"),
        (lambda c: c.set(Key(2**31), 1), OverflowError, "^value too large to convert to int$"),
        (lambda c: c.set(Key(32), 1), IndexError, "^list assignment index out of range$"),
        (lambda c: c.set(Key(-1), 1), IndexError, "^list assignment index out of range$"),
        (lambda c: c.get_or_exec(Key(0), boom), KeyError, ("boom",)),
        (lambda c: c.nonexistent, AttributeError, ("nonexistent",)),
        (lambda c: c.__getattr__(None), AttributeError, (None,)),
        (lambda c: c.__getattr__(5), TypeError, ("Argument 'type' has incorrect type (expected str, got int)",)),
        (
            lambda c: getattr(c, Name("nonexistent"), 7),
            TypeError,
            ("Argument 'type' has incorrect type (expected str, got Name)",),
        ),
    ],
)
def test_refused_keys_names_and_protocols_change_nothing(cache, call, exc, expect):
    with pytest.raises(exc) as err:
        call(cache)
    assert err.value.args == expect if isinstance(expect, tuple) else err.match(expect)
    assert arr(cache) == [None] * 32


@pytest.mark.parametrize("index", [-1, -32, 32, 2**31 - 1, -(2**31)])
@pytest.mark.parametrize(
    "read",
    [
        lambda c, k: c.get(k),
        lambda c, k: c.get_or_set_val(k, "v"),
        lambda c, k: c.get_or_exec(k, pytest.fail),
    ],
    ids=["get", "get_or_set_val", "get_or_exec"],
)
def test_reads_outside_the_slot_list_raise_index_error(cache, read, index):
    with pytest.raises(IndexError):
        read(cache, Key(index))
    assert arr(cache) == [None] * 32


def test_restored_short_slot_list_bounds_every_operation(cache):
    objs = [object() for _ in range(5)]
    cache.__setstate__((list(objs),))
    lst, member = arr(cache), next(m for _, m in MEMBERS if m.value >= 5)
    assert cache.get(Key(4)) is objs[4]
    for op in (
        lambda: cache.get(Key(10)),
        lambda: cache[member],
        lambda: getattr(cache, member.name),
        lambda: cache.get_or_set_val(Key(5), 1),
        lambda: cache.get_or_exec(Key(5), pytest.fail),
        lambda: cache.set(Key(5), 1),
    ):
        with pytest.raises(IndexError):
            op()
    with pytest.raises(IndexError):  # the sweep stops at the first missing slot
        cache.clear_selected(None, [Key(0), Key(3), Key(7)])
    assert lst == [None, objs[1], objs[2], None, objs[4]]
    with pytest.raises(IndexError, match="list assignment index out of range"):
        cache.clear()
    assert arr(cache) is lst and lst == [None] * 5


@pytest.mark.parametrize(
    "call, names",
    [
        (lambda c: c.get(Key(32)), ["get", "c_get"]),
        (lambda c: c.set(Key(32), 1), ["set", "c_set"]),
        (lambda c: type(c).__new__(type(c)).clear(), ["clear", "c_clear"]),
        (lambda c: c[1], ["__getitem__"]),
        (lambda c: c.nonexistent, ["__getattr__"]),
        (lambda c: c.get_or_set_val(Key(-1), 1), ["get_or_set_val", "c_get_or_set_val"]),
        (lambda c: c.get_or_exec(Key(0), boom), ["get_or_exec", "c_get_or_exec", ("boom", __file__)]),
        (lambda c: c.clear_selected(None, [Key(1), 1]), ["clear_selected", "c_clear_selected"]),
    ],
)
def test_failures_name_the_failing_operations(cache, call, names):
    codes = []
    for _ in range(2):
        with pytest.raises(Exception) as err:
            call(cache)
        expected = [(PREFIX + n, SOURCE) if isinstance(n, str) else n for n in names]
        assert tb_entries(err.value)[1:] == expected
        codes.append([frame.f_code for frame, _ in traceback.walk_tb(err.value.__traceback__)][1:])
    # Each entry's code object is made once (the free-threaded 3.13 would
    # never free one made per failure).
    assert all(a is b for a, b in zip(*codes))


def test_cachetype_is_looked_up_at_every_call(mod, cache, monkeypatch):
    name, member = MEMBERS[0]
    cache.set(Key(N0), "spare")
    Fake = enum.Enum("Fake", {"get": M0, "EXTRA": N0})
    monkeypatch.setattr(mod, "CacheType", Fake)
    assert cache[Fake.EXTRA] == "spare" and cache.EXTRA == "spare"
    assert cache.get(Key(N0)) == "spare"  # the method wins over the member "get"
    with pytest.raises(TypeError, match=KEY_MSG):
        cache[member]
    with pytest.raises(AttributeError):
        getattr(cache, name)
    monkeypatch.delattr(mod, "CacheType")
    for call in (lambda: cache[member], lambda: getattr(cache, name), cache.clear_selected):
        with pytest.raises(NameError, match="^name 'CacheType' is not defined$"):
            call()
    cache.clear_selected(whitelist=[Key(N0)])
    assert cache.get(Key(N0)) is None


@pytest.mark.parametrize("held", [0, False, "", [], 0.0])
def test_falsy_slot_values_count_as_filled(cache, held):
    cache.set(Key(6), held)
    assert cache.get_or_set_val(Key(6), "other") is held
    assert cache.get_or_exec(Key(6), pytest.fail) is held and cache.get(Key(6)) is held


@pytest.mark.parametrize(
    "fill",
    [
        lambda c, k, v: c.get_or_set_val(k, v),
        lambda c, k, v: c.get_or_exec(k, lambda: v),
    ],
    ids=["get_or_set_val", "get_or_exec"],
)
def test_fill_stores_and_returns_the_very_object(cache, fill):
    obj = object()
    assert fill(cache, Key(N1), obj) is obj and cache.get(Key(N1)) is obj
    assert fill(cache, Key(N1), object()) is obj
    assert fill(cache, Key(M1), None) is None and cache.get(Key(M1)) is None
    assert fill(cache, Key(M1), "later") == "later"


class KeyList(list):
    pass


@pytest.mark.parametrize(
    "blacklist, whitelist, expected",
    [
        (None, None, MEMBER_SLOTS),
        ([], [], MEMBER_SLOTS),
        ((), set(), MEMBER_SLOTS),
        (False, KeyList(), MEMBER_SLOTS),
        ([Key(M1), Key(N0)], None, MEMBER_SLOTS - {M1}),
        (None, [Key(M1), Key(N0), Key(N1)], {M1, N0, N1}),
        ([Key(N0)], [Key(M1), Key(N0)], {M1}),
        ([Key(M0), Key(M0)], [Key(M0), Key(M2), Key(M2)], {M2}),
        ([Key(-1), Key(32)], None, MEMBER_SLOTS),
        (None, [Key(-1), Key(32), Key(2**31 - 1), Key(-(2**31)), Key(N1)], {N1}),
        (None, [MEMBERS[1][1], MEMBERS[2][1]], {MEMBERS[1][1].value, MEMBERS[2][1].value}),
        ((Key(1),), None, (TypeError, "^Expected list, got tuple$")),
        (None, {Key(1)}, (TypeError, "^Expected list, got set$")),
        (True, None, (TypeError, "^Expected list, got bool$")),
        (None, KeyList([Key(1)]), (TypeError, "^Expected list, got KeyList$")),
        ((Key(1),), True, (TypeError, "^Expected list, got tuple$")),
        (None, [Key(M0), Key(M1), object()], (AttributeError, "value")),
        ([Key("x")], [Key(M0)], (TypeError, "^an integer is required$")),
    ],
)
def test_clear_selected_resets_the_selected_slots_or_nothing(Cache, blacklist, whitelist, expected):
    c, objs = filled(Cache)
    if isinstance(expected, tuple):
        with pytest.raises(expected[0], match=expected[1]):
            c.clear_selected(blacklist, whitelist)
        expected = set()
    else:
        assert c.clear_selected(blacklist=blacklist, whitelist=whitelist) is None
    assert emptied(c, objs) == expected


INDEX = st.integers(-2, 33)
STEPS = st.one_of(
    st.tuples(st.sampled_from(["get", "set", "get_or_set_val", "get_or_exec"]), INDEX, st.none() | st.integers()),
    st.tuples(st.just("clear_selected"), st.lists(INDEX, max_size=4), st.lists(INDEX, max_size=4)),
)


@settings(max_examples=300, deadline=None)
@given(st.lists(STEPS, max_size=40))
def test_operations_follow_a_slot_model(Cache, steps):
    c, model = Cache(), [None] * 32
    for name, a, b in steps:
        if name == "clear_selected":
            chosen = {i for i in b if 0 <= i < 32} if b else MEMBER_SLOTS
            c.clear_selected([Key(i) for i in a], [Key(i) for i in b])
            model = [None if i in chosen - set(a) else v for i, v in enumerate(model)]
            continue
        value = None if b is None else [b]
        args = {"get": (Key(a),), "get_or_exec": (Key(a), lambda: value)}.get(name, (Key(a), value))
        if not 0 <= a < 32:
            with pytest.raises(IndexError):
                getattr(c, name)(*args)
            continue
        if name == "set" or (name != "get" and model[a] is None):
            model[a] = value
        assert getattr(c, name)(*args) is (None if name == "set" else model[a])
    assert len(arr(c)) == 32 and all(x is y for x, y in zip(arr(c), model))
