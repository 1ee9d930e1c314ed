"""Copies of a cache and its pickle state protocol."""

import builtins
import copy
import copyreg
import multiprocessing
import pickle
import sys

import pytest

import umbo_ui.fast.umbocache.umbocache as umbocache
from umbo_ui.core.enums import CacheType

from conftest import NOT_SUBSCRIPTABLE, Key, ListSub, TupleSub, dumps_by_reduce_ex, tb_entries

M = "umbo_ui.fast.umbocache.umbocache"
SRC = "src/umbo_ui/fast/umbocache/umbocache"
TREE = "(tree fragment)"
Cache = umbocache.Cache
unpickle = umbocache.__pyx_unpickle_Cache
WRITTEN = 0xBD51CB4
ACCEPTED = (WRITTEN, 0xE95C4D5, 0xC883660)


class Widget(Cache):
    """A Python subclass whose instances carry an attribute dictionary."""

    __module__ = "test_copy_pickle"  # the name stored pickles refer to


sys.modules.setdefault("test_copy_pickle", sys.modules[__name__])


class NoTruth:
    def __bool__(self):
        raise ZeroDivisionError


def slot_list(c):
    """The live slot list (or None), as the reduction hands it out."""
    r = c.__reduce__()
    return (r[2] if len(r) == 3 else r[1][2])[0]


def build(cls, values, attrs=None):
    """A `cls` whose slots hold `values` (index -> value); None means never initialised."""
    c = cls.__new__(cls) if values is None else cls()
    for index, value in (values or {}).items():
        c.set(Key(index), value)
    if attrs:
        c.__dict__.update(attrs)
    return c


def expected_slots(values):
    return None if values is None else [values.get(i) for i in range(32)]


def entries(exc):
    """The module's traceback entries, without this file's own frames."""
    return [entry for entry in tb_entries(exc) if entry[1] != __file__]


VALUES = {0: 7, 2: "style", 5: (1, "two", 3.5), 9: [1, [2]], 21: {"k": "v", "n": None}, 30: -(2**40)}
WIDGET_ATTRS = {"title": "main", "size": (3, 4)}

# Pickles as deployed caches stored them: protocol, checksum, class, slot values, attributes.
FIXTURES = {
    "A0_EMPTY": (0, WRITTEN, Cache, {}, None),
    "A2_EMPTY": (2, WRITTEN, Cache, {}, None),
    "A5_EMPTY": (5, WRITTEN, Cache, {}, None),
    "A0_VALUES_C88": (0, 0xC883660, Cache, VALUES, None),
    "A2_VALUES": (2, WRITTEN, Cache, VALUES, None),
    "A2_VALUES_E95": (2, 0xE95C4D5, Cache, VALUES, None),
    "A5_VALUES": (5, WRITTEN, Cache, VALUES, None),
    "B0_NONE_C88": (0, 0xC883660, Cache, None, None),
    "B2_NONE": (2, WRITTEN, Cache, None, None),
    "B5_NONE_E95": (5, 0xE95C4D5, Cache, None, None),
    "W2_ATTRS": (2, WRITTEN, Widget, {3: "theme"}, WIDGET_ATTRS),
    "W5_ATTRS_E95": (5, 0xE95C4D5, Widget, {3: "theme"}, WIDGET_ATTRS),
    "W0_NOATTRS": (0, WRITTEN, Widget, {3: "theme"}, None),
    "WB2_NONE": (2, WRITTEN, Widget, None, None),
}
STORED = {
    "A0_EMPTY": b"cumbo_ui.fast.umbocache.umbocache\n__pyx_unpickle_Cache\np0\n(cumbo_ui.fast.umbocache.umbocache\nCache\np1\nI198515892\nNtp2\nRp3\n((lp4\nNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNatp5\nb.",
    "A2_EMPTY": b"\x80\x02cumbo_ui.fast.umbocache.umbocache\n__pyx_unpickle_Cache\nq\x00cumbo_ui.fast.umbocache.umbocache\nCache\nq\x01J\xb4\x1c\xd5\x0bN\x87q\x02Rq\x03]q\x04(NNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNe\x85q\x05b.",
    "A5_EMPTY": b"\x80\x05\x95z\x00\x00\x00\x00\x00\x00\x00\x8c umbo_ui.fast.umbocache.umbocache\x94\x8c\x14__pyx_unpickle_Cache\x94\x93\x94h\x00\x8c\x05Cache\x94\x93\x94J\xb4\x1c\xd5\x0bN\x87\x94R\x94]\x94(NNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNNe\x85\x94b.",
    "A0_VALUES_C88": b"cumbo_ui.fast.umbocache.umbocache\n__pyx_unpickle_Cache\np0\n(cumbo_ui.fast.umbocache.umbocache\nCache\np1\nI210253408\nNtp2\nRp3\n((lp4\nI7\naNaVstyle\np5\naNaNa(I1\nVtwo\np6\nF3.5\ntp7\naNaNaNa(lp8\nI1\na(lp9\nI2\naaaNaNaNaNaNaNaNaNaNaNaNa(dp10\nVk\np11\nVv\np12\nsVn\np13\nNsaNaNaNaNaNaNaNaNaL-1099511627776L\naNatp14\nb.",
    "A2_VALUES": b"\x80\x02cumbo_ui.fast.umbocache.umbocache\n__pyx_unpickle_Cache\nq\x00cumbo_ui.fast.umbocache.umbocache\nCache\nq\x01J\xb4\x1c\xd5\x0bN\x87q\x02Rq\x03]q\x04(K\x07NX\x05\x00\x00\x00styleq\x05NNK\x01X\x03\x00\x00\x00twoq\x06G@\x0c\x00\x00\x00\x00\x00\x00\x87q\x07NNN]q\x08(K\x01]q\tK\x02aeNNNNNNNNNNN}q\n(X\x01\x00\x00\x00kq\x0bX\x01\x00\x00\x00vq\x0cX\x01\x00\x00\x00nq\rNuNNNNNNNN\x8a\x06\x00\x00\x00\x00\x00\xffNe\x85q\x0eb.",
    "A2_VALUES_E95": b"\x80\x02cumbo_ui.fast.umbocache.umbocache\n__pyx_unpickle_Cache\nq\x00cumbo_ui.fast.umbocache.umbocache\nCache\nq\x01J\xd5\xc4\x95\x0eN\x87q\x02Rq\x03]q\x04(K\x07NX\x05\x00\x00\x00styleq\x05NNK\x01X\x03\x00\x00\x00twoq\x06G@\x0c\x00\x00\x00\x00\x00\x00\x87q\x07NNN]q\x08(K\x01]q\tK\x02aeNNNNNNNNNNN}q\n(X\x01\x00\x00\x00kq\x0bX\x01\x00\x00\x00vq\x0cX\x01\x00\x00\x00nq\rNuNNNNNNNN\x8a\x06\x00\x00\x00\x00\x00\xffNe\x85q\x0eb.",
    "A5_VALUES": b"\x80\x05\x95\xb5\x00\x00\x00\x00\x00\x00\x00\x8c umbo_ui.fast.umbocache.umbocache\x94\x8c\x14__pyx_unpickle_Cache\x94\x93\x94h\x00\x8c\x05Cache\x94\x93\x94J\xb4\x1c\xd5\x0bN\x87\x94R\x94]\x94(K\x07N\x8c\x05style\x94NNK\x01\x8c\x03two\x94G@\x0c\x00\x00\x00\x00\x00\x00\x87\x94NNN]\x94(K\x01]\x94K\x02aeNNNNNNNNNNN}\x94(\x8c\x01k\x94\x8c\x01v\x94\x8c\x01n\x94NuNNNNNNNN\x8a\x06\x00\x00\x00\x00\x00\xffNe\x85\x94b.",
    "B0_NONE_C88": b"cumbo_ui.fast.umbocache.umbocache\n__pyx_unpickle_Cache\np0\n(cumbo_ui.fast.umbocache.umbocache\nCache\np1\nI210253408\n(Ntp2\ntp3\nRp4\n.",
    "B2_NONE": b"\x80\x02cumbo_ui.fast.umbocache.umbocache\n__pyx_unpickle_Cache\nq\x00cumbo_ui.fast.umbocache.umbocache\nCache\nq\x01J\xb4\x1c\xd5\x0bN\x85q\x02\x87q\x03Rq\x04.",
    "B5_NONE_E95": b"\x80\x05\x95U\x00\x00\x00\x00\x00\x00\x00\x8c umbo_ui.fast.umbocache.umbocache\x94\x8c\x14__pyx_unpickle_Cache\x94\x93\x94h\x00\x8c\x05Cache\x94\x93\x94J\xd5\xc4\x95\x0eN\x85\x94\x87\x94R\x94.",
    "W2_ATTRS": b"\x80\x02cumbo_ui.fast.umbocache.umbocache\n__pyx_unpickle_Cache\nq\x00ctest_copy_pickle\nWidget\nq\x01J\xb4\x1c\xd5\x0bN\x87q\x02Rq\x03]q\x04(NNNX\x05\x00\x00\x00themeq\x05NNNNNNNNNNNNNNNNNNNNNNNNNNNNe}q\x06(X\x05\x00\x00\x00titleq\x07X\x04\x00\x00\x00mainq\x08X\x04\x00\x00\x00sizeq\tK\x03K\x04\x86q\nu\x86q\x0bb.",
    "W5_ATTRS_E95": b"\x80\x05\x95\xb3\x00\x00\x00\x00\x00\x00\x00\x8c umbo_ui.fast.umbocache.umbocache\x94\x8c\x14__pyx_unpickle_Cache\x94\x93\x94\x8c\x10test_copy_pickle\x94\x8c\x06Widget\x94\x93\x94J\xd5\xc4\x95\x0eN\x87\x94R\x94]\x94(NNN\x8c\x05theme\x94NNNNNNNNNNNNNNNNNNNNNNNNNNNNe}\x94(\x8c\x05title\x94\x8c\x04main\x94\x8c\x04size\x94K\x03K\x04\x86\x94u\x86\x94b.",
    "W0_NOATTRS": b"cumbo_ui.fast.umbocache.umbocache\n__pyx_unpickle_Cache\np0\n(ctest_copy_pickle\nWidget\np1\nI198515892\nNtp2\nRp3\n((lp4\nNaNaNaVtheme\np5\naNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNaNatp6\nb.",
    "WB2_NONE": b"\x80\x02cumbo_ui.fast.umbocache.umbocache\n__pyx_unpickle_Cache\nq\x00ctest_copy_pickle\nWidget\nq\x01J\xb4\x1c\xd5\x0bN\x85q\x02\x87q\x03Rq\x04.",
}


# --- copy() and __deepcopy__ ---------------------------------------------

MEMO = {"k": [1]}
COPIERS = {
    "copy": lambda c: c.copy(),
    "deepcopy-dict": lambda c: c.__deepcopy__(MEMO),
    "deepcopy-None": lambda c: c.__deepcopy__(None),
    "deepcopy-int": lambda c: c.__deepcopy__(5),
    "deepcopy-keyword": lambda c: c.__deepcopy__(memo={}),
    "copy.deepcopy": copy.deepcopy,
}


@pytest.mark.parametrize("copier", COPIERS.values(), ids=COPIERS.keys())
@pytest.mark.parametrize("cls", [Cache, Widget])
def test_copy_is_a_plain_cache_sharing_slot_values(cls, copier):
    shared = [1, 2]
    a = build(cls, {0: shared, 7: "image"}, {"title": "t"} if cls is Widget else None)
    b = copier(a)
    assert type(b) is Cache and b is not a and getattr(b, "__dict__", None) is None
    assert slot_list(b) is not slot_list(a)
    assert all(x is y for x, y in zip(slot_list(b), slot_list(a), strict=True))
    b.set(CacheType.LAYOUT, "other")
    b.set(CacheType.MEASURE, "new")
    assert a.get(CacheType.LAYOUT) is shared and a.get(CacheType.MEASURE) is None
    assert MEMO == {"k": [1]}


def test_deepcopy_honours_an_overridden_copy():
    class Custom(Cache):
        def copy(self):
            return ("custom", self)

    c = Custom()
    assert c.__deepcopy__({}) == copy.deepcopy(c) == ("custom", c)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: c.copy(1), "copy() takes exactly 0 positional arguments (1 given)"),
        (lambda c: c.copy(x=1), "copy() got an unexpected keyword argument 'x'"),
        (lambda c: c.__deepcopy__(), "__deepcopy__() takes exactly 1 positional argument (0 given)"),
        (lambda c: c.__deepcopy__({}, {}), "__deepcopy__() takes exactly 1 positional argument (2 given)"),
        (lambda c: c.__deepcopy__(x={}), "__deepcopy__() got an unexpected keyword argument 'x'"),
        (lambda c: c.__deepcopy__({}, memo={}), "__deepcopy__() got multiple values for keyword argument 'memo'"),
        (lambda c: c.__reduce__(1), "__reduce_cython__() takes exactly 0 positional arguments (1 given)"),
        (lambda c: c.__reduce__(x=1), "__reduce_cython__() got an unexpected keyword argument 'x'"),
        (lambda c: c.__setstate__(), "__setstate_cython__() takes exactly 1 positional argument (0 given)"),
        (lambda c: c.__setstate__((None,), 1), "__setstate_cython__() takes exactly 1 positional argument (2 given)"),
        (lambda c: c.__setstate__(state=()), "__setstate_cython__() got an unexpected keyword argument 'state'"),
        (lambda c: unpickle(Cache, 1), "__pyx_unpickle_Cache() takes exactly 3 positional arguments (2 given)"),
        (
            lambda c: unpickle(Cache, 1, None, 1),
            "__pyx_unpickle_Cache() takes exactly 3 positional arguments (4 given)",
        ),
    ],
)
def test_argument_errors(cache, call, message):
    with pytest.raises(TypeError) as exc:
        call(cache)
    assert str(exc.value) == message


@pytest.mark.parametrize(
    "call, trace",
    [
        (lambda c: c.copy(), ["Cache.copy"]),
        (lambda c: c.__deepcopy__({}), ["Cache.__deepcopy__", "Cache.copy"]),
        (copy.deepcopy, None),
    ],
)
def test_copy_of_an_uninitialised_cache_fails(call, trace):
    with pytest.raises(TypeError, match=f"^{NOT_SUBSCRIPTABLE}$") as exc:
        call(Cache.__new__(Cache))
    if trace:
        assert entries(exc.value) == [(f"{M}.{name}", SRC) for name in trace]


@pytest.mark.parametrize("cls", [Cache, Widget])
def test_generic_shallow_copy_shares_the_slot_list(cls):
    a = build(cls, {4: "font"}, {"title": "t"} if cls is Widget else None)
    b = copy.copy(a)
    assert type(b) is cls and b is not a and slot_list(b) is slot_list(a)
    assert getattr(b, "__dict__", None) == getattr(a, "__dict__", None)
    a.set(CacheType.IMAGE, "seen by both")
    assert b.get(CacheType.IMAGE) == "seen by both"
    assert slot_list(copy.copy(Cache.__new__(Cache))) is None


class Slotted(Cache):
    """A subclass whose values live in __slots__ (one of them name-mangled)."""

    __slots__ = ("title", "__secret", "unset")
    __module__ = "test_copy_pickle"


class SlottedWithDict(Slotted):
    __slots__ = ("__dict__", "extra")
    __module__ = "test_copy_pickle"


@pytest.mark.parametrize("cls", [Slotted, SlottedWithDict])
@pytest.mark.parametrize(
    "copier",
    [copy.copy, lambda c: pickle.loads(pickle.dumps(c, 0)), lambda c: pickle.loads(pickle.dumps(c, 5))],
    ids=["copy.copy", "pickle0", "pickle5"],
)
def test_slot_values_of_a_subclass_are_kept(cls, copier):
    a = build(cls, {4: "font"})
    a.title, a._Slotted__secret = "t", ["s"]
    if cls is SlottedWithDict:
        a.extra, a.note = 1, 2
    b = copier(a)
    assert type(b) is cls and b.get(Key(4)) == "font"
    assert (b.title, b._Slotted__secret) == ("t", ["s"]) and not hasattr(b, "unset")
    if cls is SlottedWithDict:
        assert (b.extra, b.__dict__) == (1, {"note": 2})
    # Without values in its slots, such a subclass reduces as any other.
    assert build(cls, {}).__reduce__()[2] == ([None] * 32,)


def test_copy_and_reconstructor_use_the_module_own_type(monkeypatch, cache):
    monkeypatch.setattr(umbocache, "Cache", Widget)
    assert type(cache.copy()) is Cache and type(unpickle(Cache, WRITTEN, None)) is Cache
    assert cache.__reduce__()[1][0] is Cache


# --- reduction -------------------------------------------------------------


def test_protocol_names_are_installed(cache):
    assert {"__reduce__", "__reduce_cython__", "__setstate__", "__setstate_cython__"} <= set(vars(Cache))
    assert "__reduce_ex__" not in vars(Cache)
    # Picklers find the reduction of a plain Cache (only) in copyreg's table first.
    assert copyreg.dispatch_table.get(Cache) is vars(Cache)["__reduce__"] and Widget not in copyreg.dispatch_table
    assert (Cache.__reduce__.__name__, Cache.__setstate__.__name__) == ("__reduce_cython__", "__setstate_cython__")
    assert (unpickle.__module__, unpickle.__qualname__) == (M, "__pyx_unpickle_Cache")
    assert cache.__reduce__() == cache.__reduce_cython__() == cache.__reduce_ex__(2)
    cache.__setstate_cython__(([5],))
    assert slot_list(cache) == [5]


def test_reduce_of_a_new_cache_hands_out_the_live_list(cache):
    assert pickle.dumps(cache, 2) == STORED["A2_EMPTY"]
    r = cache.__reduce__()
    assert len(r) == 3 and r[0] is unpickle
    assert r[1] == (Cache, 198515892, None) and r[1][0] is Cache and type(r[1][1]) is int
    assert type(r[2]) is tuple and r[2] == ([None] * 32,)
    cache.set(CacheType.THEME, "dark")
    assert r[2][0][3] == "dark" and cache.__reduce__()[2][0] is r[2][0]


@pytest.mark.parametrize(
    "cls, values, attrs",
    [(Widget, {}, {"a": 1}), (Widget, {}, None), (Widget, None, {"a": 1}), (Widget, None, None), (Cache, None, None)],
)
def test_reduce_forms(cls, values, attrs):
    c = build(cls, values, attrs)
    state = (slot_list(c),) + ((c.__dict__,) if attrs else ())
    r = c.__reduce__()
    assert r[1][0] is cls
    if attrs or values is not None:
        assert r == (unpickle, (cls, WRITTEN, None), state)
        assert all(x is y for x, y in zip(r[2], state, strict=True))
    else:
        assert r == (unpickle, (cls, WRITTEN, (None,)))


def test_reduce_uses_the_current_reconstructor_binding(monkeypatch):
    stand_in = object()
    monkeypatch.setattr(umbocache, "__pyx_unpickle_Cache", stand_in)
    assert Cache().__reduce__()[0] is stand_in
    namespace = vars(umbocache)
    saved = dict(namespace)  # restored as it was, insertion order included
    try:
        del namespace["__pyx_unpickle_Cache"]
        with pytest.raises(NameError, match="^name '__pyx_unpickle_Cache' is not defined$"):
            Cache().__reduce__()
        monkeypatch.setattr(builtins, "__pyx_unpickle_Cache", stand_in, raising=False)
        assert Cache.__new__(Cache).__reduce__()[0] is stand_in
    finally:
        namespace.clear()
        namespace.update(saved)


class FailingMembers:
    @property
    def __members__(self):
        raise KeyError("members")


def test_reduce_fails_when_probing_the_attribute_dictionary_fails(monkeypatch):
    monkeypatch.setattr(umbocache, "CacheType", FailingMembers())
    with pytest.raises(KeyError) as exc:
        Cache().__reduce__()
    assert entries(exc.value)[0] == (f"{M}.Cache.__reduce_cython__", TREE)


# --- restore ---------------------------------------------------------------


@pytest.mark.parametrize(
    "state, error, message",
    [
        (None, TypeError, "cannot pass None into a C function argument that is declared 'not None'"),
        ([[1]], TypeError, "Expected tuple, got list"),
        (TupleSub(([1],)), TypeError, "Expected tuple, got TupleSub"),
        (((1,),), TypeError, "Expected list, got tuple"),
        ((ListSub([1]),), TypeError, "Expected list, got ListSub"),
        ((5, {}), TypeError, "Expected list, got int"),
        ((), ValueError, None),
    ],
)
def test_setstate_refusals_keep_the_slot_list(cache, state, error, message):
    before = slot_list(cache)
    with pytest.raises(error) as exc:
        cache.__setstate__(state)
    assert message is None or str(exc.value) == message
    trail = entries(exc.value)
    assert all(filename == TREE for _, filename in trail)
    if message and message.startswith("Expected list"):
        assert trail == [(f"{M}.Cache.__setstate_cython__", TREE), (f"{M}.__pyx_unpickle_Cache__set_state", TREE)]
    assert slot_list(cache) is before and before == [None] * 32


@pytest.mark.parametrize("extra", [(), ({},), (None,), (0,), (frozenset(),), ({}, "ignored", 3)])
@pytest.mark.parametrize("restored", [[1, "two"] + [None] * 30, None], ids=["list", "None"])
def test_setstate_installs_the_very_list(cache, restored, extra):
    assert cache.__setstate__(__pyx_state=(restored,) + extra) is None
    assert slot_list(cache) is restored


@pytest.mark.parametrize("member1, error", [({"a": 1}, AttributeError), (NoTruth(), ZeroDivisionError)])
def test_setstate_fails_after_installing_the_list(cache, member1, error):
    restored = [None] * 32
    with pytest.raises(error) as exc:
        cache.__setstate__((restored, member1))
    assert slot_list(cache) is restored
    assert entries(exc.value)[:2] == [
        (f"{M}.Cache.__setstate_cython__", TREE),
        (f"{M}.__pyx_unpickle_Cache__set_state", TREE),
    ]


def test_setstate_merges_attributes_of_a_subclass():
    w = build(Widget, {}, {"kept": 1, "a": 0})
    w.__setstate__(([None] * 32, {"a": 1, "b": 2}, "ignored"))
    assert w.__dict__ == {"kept": 1, "a": 1, "b": 2}


def test_operations_stay_within_a_restored_list_of_another_length():
    short = Cache.__new__(Cache)
    short.__setstate__(([1, 2, 3, 4, 5],))
    assert short.get(Key(4)) == 5 and short[CacheType.LAYOUT] == 1 and slot_list(short.copy()) == [1, 2, 3, 4, 5]
    for op in (
        lambda: short.get(Key(5)),
        lambda: short[CacheType.MIN_SIZE],
        lambda: short.MIN_SIZE,
        lambda: short.set(Key(5), "x"),
        short.clear,
    ):
        with pytest.raises(IndexError):
            op()
    assert slot_list(short) == [None] * 5
    long = Cache()
    long.__setstate__((list(range(40)),))
    assert slot_list(long.copy()) == list(range(40))
    long.clear()
    assert slot_list(long) == [None] * 32 + list(range(32, 40))


# --- reconstructor ---------------------------------------------------------


@pytest.mark.parametrize("checksum", ACCEPTED + (float(WRITTEN),))
@pytest.mark.parametrize("cls", [Cache, Widget])
def test_reconstructor_accepts_every_layout_checksum(cls, checksum):
    bare = unpickle(cls, checksum, None)
    assert type(bare) is cls and slot_list(bare) is None
    assert slot_list(unpickle(cls, checksum, (None,))) is None
    restored, attrs = [None] * 32, ({"title": "t"} if cls is Widget else {})
    full = unpickle(__pyx_type=cls, __pyx_checksum=checksum, __pyx_state=(restored, attrs))
    assert type(full) is cls and slot_list(full) is restored
    assert getattr(full, "__dict__", None) == (attrs if cls is Widget else None)


def incompatible(shown):
    return f"Incompatible checksums ({shown} vs (0xbd51cb4, 0xe95c4d5, 0xc883660) = (cache_arr))"


SET_STATE_TRACE = ["__pyx_unpickle_Cache", "__pyx_unpickle_Cache__set_state"]


@pytest.mark.parametrize(
    "args, error, message, trace",
    [
        ((Cache, 1, None), pickle.PickleError, incompatible("0x1"), ["__pyx_unpickle_Cache"]),
        ((Cache, True, (None,)), pickle.PickleError, incompatible("0x1"), None),
        ((Cache, -1, None), pickle.PickleError, incompatible("0xffffffff"), None),
        ((Cache, (1 << 32) + WRITTEN, None), pickle.PickleError, incompatible("0xbd51cb4"), None),
        ((Cache, 1, [[None]]), TypeError, "Argument '__pyx_state' has incorrect type (expected tuple, got list)", None),
        (
            (Cache, WRITTEN, TupleSub(([],))),
            TypeError,
            "Argument '__pyx_state' has incorrect type (expected tuple, got TupleSub)",
            None,
        ),
        ((Cache, "1", None), TypeError, "an integer is required", None),
        ((Cache, 1 << 70, None), OverflowError, None, None),
        ((Cache, WRITTEN, ()), ValueError, None, None),
        ((Cache, WRITTEN, ((1,),)), TypeError, "Expected list, got tuple", SET_STATE_TRACE),
        ((Cache, WRITTEN, ([], {"a": 1})), AttributeError, None, SET_STATE_TRACE),
        ((int, WRITTEN, None), TypeError, None, None),
        ((TupleSub, WRITTEN, (None,)), TypeError, None, None),
        ((5, WRITTEN, None), TypeError, None, None),
    ],
)
def test_reconstructor_refusals(args, error, message, trace):
    with pytest.raises(error) as exc:
        unpickle(*args)
    assert type(exc.value) is error
    assert message is None or str(exc.value) == message
    if trace:
        assert entries(exc.value)[: len(trace)] == [(f"{M}.{name}", TREE) for name in trace]


# --- stored pickles and round trips ----------------------------------------


@pytest.mark.parametrize("name", FIXTURES)
def test_stored_pickle_loads_into_the_right_slots(name):
    _, _, cls, values, attrs = FIXTURES[name]
    loaded = pickle.loads(STORED[name])
    assert type(loaded) is cls and slot_list(loaded) == expected_slots(values)
    assert getattr(loaded, "__dict__", None) == (attrs or {} if cls is Widget else None)


DUMPS = {"pickle": pickle.dumps, "python-pickler": pickle._dumps, "by-reduce-ex": dumps_by_reduce_ex}


@pytest.mark.parametrize("dumps", DUMPS.values(), ids=DUMPS.keys())
@pytest.mark.parametrize("name", [name for name, fixture in FIXTURES.items() if fixture[1] == WRITTEN])
def test_pickling_reproduces_the_stored_bytes(name, dumps):
    protocol, _, cls, values, attrs = FIXTURES[name]
    assert dumps(build(cls, values, attrs), protocol) == STORED[name]
    assert pickle.dumps(pickle.loads(STORED[name]), protocol) == STORED[name]


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("sample", ["A2_VALUES", "W2_ATTRS", "W0_NOATTRS", "B2_NONE"])
def test_round_trip(sample, protocol):
    _, _, cls, values, attrs = FIXTURES[sample]
    original = build(cls, values, attrs)
    for back in (pickle.loads(pickle.dumps(original, protocol)), copy.copy(original)):
        assert type(back) is cls and back is not original
        assert slot_list(back) == expected_slots(values)
        assert getattr(back, "__dict__", None) == getattr(original, "__dict__", None)
    if values is not None:
        deep = copy.deepcopy(original)
        assert type(deep) is Cache and slot_list(deep) == expected_slots(values)


def _child_fill(conn):
    cache = pickle.loads(conn.recv_bytes())
    cache.set(CacheType.RENDER, ("from child", cache.get(CacheType.THEME)))
    conn.send(cache)
    conn.close()


@pytest.mark.parametrize("cls, attrs", [(Cache, None), (Widget, WIDGET_ATTRS)])
def test_pickle_travels_to_a_spawned_process_and_back(cls, attrs):
    ctx = multiprocessing.get_context("spawn")
    here, there = ctx.Pipe()
    original = build(cls, {3: "dark"}, attrs)
    proc = ctx.Process(target=_child_fill, args=(there,))
    proc.start()
    try:
        here.send_bytes(pickle.dumps(original, pickle.HIGHEST_PROTOCOL))
        assert here.poll(120), "no answer from the child process"
        back = here.recv()
    finally:
        proc.join(120)
    assert proc.exitcode == 0
    assert type(back) is cls and getattr(back, "__dict__", None) == attrs
    assert back.get(CacheType.RENDER) == ("from child", "dark")
    assert back.get(CacheType.THEME) == "dark" and original.get(CacheType.RENDER) is None
