"""Random operation sequences on the native Cache and on the pure-Python reference.

Every step runs the same operation on a native cache and on its reference twin
and requires the same result, or the same exception type and message.  After
every step all live caches must hold the same slot contents, and the same
caches must share a slot list on both sides.  Keys, values, functions and
states are described by small recipes and built once per side, so that objects
that act on "their" cache (a key whose ``value`` re-initialises the cache, a
function that empties the slot list) act on the right one.
"""

import copy
import pickle
from decimal import Decimal

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import (
    Bundle,
    RuleBasedStateMachine,
    initialize,
    invariant,
    multiple,
    precondition,
    rule,
)

from umbo_ui.fast.umbocache import umbocache as native
from umbo_ui.fast.umbocache.umbocache import Cache, CacheType

import reference as reference_cache
from conftest import CACHE_ACTIONS as ACTIONS
from conftest import IntLike, Key, ListSub, RaisingKey, RefSub, StrSub, TupleSub
from conftest import Sub as NativeSub
from reference import Cache as RefCache

pytestmark = pytest.mark.filterwarnings("ignore:__int__ returned non-int:DeprecationWarning")

MEMBERS = list(CacheType)
NATIVE_UNPICKLE = getattr(native, "__pyx_unpickle_Cache")
REF_UNPICKLE = reference_cache.__pyx_unpickle_Cache
OWN_OVERFLOW = "value too large to convert to int"


class Marker:
    def __init__(self, name):
        self.name = name

    def __eq__(self, other):
        return type(other) is Marker and other.name == self.name

    __hash__ = object.__hash__

    def __repr__(self):
        return f"Marker({self.name!r})"


class IntSub(int):
    pass


# Slot values, shared by both sides so that results can be compared by identity.
VALUES = (None, 0, False, "", [], "text", 7, 2.5, (1, "x"), Marker("a"), Marker("b"))
SHARED_CACHE = Cache()

# Key values just outside the slot range or the 32-bit range, and values that convert.
EDGE_VALUES = [-(2**31), 2**31 - 1, 2**31, -(2**31) - 1, 2**60 - 1, -(2**60 - 1), 2**60, -(2**60), 2**64, 2**70]
KEY_VALUES = [
    2.5,
    31.9,
    2147483648.0,
    1e20,
    float("inf"),
    float("nan"),
    True,
    False,
    "3",
    None,
    Decimal("3.7"),
    IntSub(4),
    IntLike(5),
    IntLike("3"),
    IntLike(ArithmeticError),
    IntLike(2**40),
    IntLike(True),
]


class MischiefKey:
    """A key whose ``value`` acts on a cache before naming its slot."""

    def __init__(self, cache, action, idx):
        self.cache, self.action, self.idx = cache, action, idx

    @property
    def value(self):
        ACTIONS[self.action](self.cache)
        return self.idx


# ---------------------------------------------------------------- recipes

# Recipes are drawn from flat lists (one draw each, which keeps generation
# cheap); repetition sets the weights.  Most keys go to a few slots, so that
# operations meet each other's values.
HOT_SLOTS = [0, 1, 3, 14, 31]
HOT_KEYS = [("member", m) for m in MEMBERS if m.value in HOT_SLOTS] + [("key", i) for i in HOT_SLOTS]
GOOD_KEYS = [("member", m) for m in MEMBERS] + [("key", i) for i in range(32)]
OUTSIDE_KEYS = [("key", v) for v in [-1, 32] * 4 + EDGE_VALUES]
BAD_KEYS = [("odd", i) for i in range(len(KEY_VALUES))] + [("none",), ("novalue",), ("raising",)]
MISCHIEF_KEYS = [("mischief", a, i) for a in sorted(ACTIONS) for i in HOT_SLOTS + [-1, 32]]
good_keys = st.sampled_from(HOT_KEYS * 6 + GOOD_KEYS)
key_recipes = st.sampled_from(HOT_KEYS * 20 + GOOD_KEYS * 2 + OUTSIDE_KEYS * 5 + BAD_KEYS * 5 + MISCHIEF_KEYS * 3)
# Indexes into VALUES, with the false ones (0, False, "", []) drawn more often.
VALUE_CHOICES = list(range(len(VALUES))) + [1, 2, 3, 4]
value_recipes = st.sampled_from(VALUE_CHOICES)
func_recipes = st.sampled_from(
    [("ret", v) for v in VALUE_CHOICES] * 15
    + [("raise",), ("none",), ("notcallable",)] * 100
    + [("act", a, v) for a in sorted(ACTIONS) for v in VALUE_CHOICES] * 3
    + [(kind, v, w) for kind in ("fill", "nested") for v in VALUE_CHOICES for w in VALUE_CHOICES]
)
list_recipes = st.one_of(
    st.lists(key_recipes, max_size=6).map(lambda ks: ("list", tuple(ks))),
    st.lists(good_keys, min_size=1, max_size=4).map(lambda ks: ("list", tuple(ks))),
    st.sampled_from(
        [
            ("none",),
            ("emptylist",),
            ("false",),
            ("zero",),
            ("emptytuple",),
            ("true",),
            ("tuple",),
            ("set",),
            ("listsub",),
            ("cache",),
            ("absent",),
        ]
    ),
)
# A restored slot list: a short pattern of values repeated to the list's length.
member0_recipes = st.one_of(
    st.tuples(st.just("list"), st.just(32), st.lists(value_recipes, min_size=1, max_size=6)),
    st.tuples(st.just("list"), st.sampled_from([0, 1, 3, 31, 33, 40]), st.lists(value_recipes, min_size=1, max_size=6)),
    st.sampled_from([("none",), ("tuple",), ("listsub",)]),
)
extra_recipes = st.sampled_from(
    [(), ({},), ({"a": 1},), (False,), (0,), (None,), ([1],), (True,), ({}, "ignored"), ({"a": 2}, 0)]
)
state_recipes = st.one_of(
    st.tuples(st.just("tuple"), member0_recipes, extra_recipes),
    st.tuples(st.just("tuple"), member0_recipes, extra_recipes),
    st.sampled_from([("none",), ("emptytuple",), ("list",), ("tuplesub",)]),
)
checksums = st.sampled_from([0xBD51CB4, 0xE95C4D5, 0xC883660, 1, -1, 0, 2**63, 2**70, "x", 2.0, True])
modes = st.sampled_from(["bound", "class", "kw", "mixed"])
ATTR_NAMES = [m.name for m in MEMBERS] + [
    "nonexistent",
    "layout",
    "Layout",
    "LAYOUT_",
    "__dict__",
    "",
    "value",
    "__members__",
    "a",
]

PARAMS = {
    "get": ("type",),
    "set": ("type", "value"),
    "get_or_set_val": ("type", "value"),
    "get_or_exec": ("type", "func"),
    "clear_selected": ("blacklist", "whitelist"),
    "__deepcopy__": ("memo",),
    "__setstate__": ("__pyx_state",),
    "__setstate_cython__": ("__pyx_state",),
}


def build_key(recipe, cache):
    kind = recipe[0]
    if kind == "member":
        return recipe[1]
    if kind == "key":
        return Key(recipe[1])
    if kind == "odd":
        return Key(KEY_VALUES[recipe[1]])
    if kind == "none":
        return None
    if kind == "novalue":
        return 3
    if kind == "raising":
        return RaisingKey()
    return MischiefKey(cache, recipe[1], recipe[2])


def build_func(recipe, cache, key):
    kind = recipe[0]
    if kind == "ret":
        return lambda: VALUES[recipe[1]]
    if kind == "raise":

        def boom():
            raise ValueError("boom")

        return boom
    if kind == "none":
        return None
    if kind == "notcallable":
        return 5
    if kind == "act":

        def act():
            ACTIONS[recipe[1]](cache)
            return VALUES[recipe[2]]

        return act
    if kind == "fill":

        def fill():
            cache.set(key, VALUES[recipe[2]])
            return VALUES[recipe[1]]

        return fill

    def nested():
        cache.get_or_exec(key, lambda: VALUES[recipe[2]])
        return VALUES[recipe[1]]

    return nested


def build_list(recipe, cache):
    kind = recipe[0]
    if kind == "list":
        return [build_key(k, cache) for k in recipe[1]]
    return {
        "none": None,
        "emptylist": [],
        "false": False,
        "zero": 0,
        "emptytuple": (),
        "true": True,
        "tuple": (CacheType.LAYOUT,),
        "set": {CacheType.LAYOUT},
        "listsub": ListSub([CacheType.LAYOUT]),
        "cache": SHARED_CACHE,
    }[kind]


def build_member0(recipe):
    if recipe[0] == "list":
        pattern = recipe[2]
        return [VALUES[pattern[i % len(pattern)]] for i in range(recipe[1])]
    return {"none": None, "tuple": (None,) * 32, "listsub": ListSub([None] * 32)}[recipe[0]]


def build_state(recipe):
    kind = recipe[0]
    if kind == "tuple":
        return (build_member0(recipe[1]),) + copy.deepcopy(recipe[2])
    return {"none": None, "emptytuple": (), "list": [None] * 32, "tuplesub": TupleSub(([None] * 32,))}[kind]


def call(cache, name, args, mode):
    """Call a method bound, through the class, by keyword, or half by keyword."""
    if mode == "class":
        return getattr(type(cache), name)(cache, *args)
    if mode in ("kw", "mixed") and name in PARAMS:
        split = 0 if mode == "kw" else 1
        return getattr(cache, name)(*args[:split], **dict(zip(PARAMS[name][split:], args[split:])))
    return getattr(cache, name)(*args)


# ---------------------------------------------------------------- comparison

VALUE_IDS = {id(v): i for i, v in enumerate(VALUES)}
SLOT_KEYS = [Key(i) for i in range(64)]


def canon(value):
    """Identity for the shared values, type and repr for unpickled copies."""
    i = VALUE_IDS.get(id(value))
    if i is not None and VALUES[i] is value:
        return ("value", i)
    if isinstance(value, (Cache, RefCache)):
        return ("cache", slot_contents(value))
    return ("copy", type(value).__qualname__, repr(value))


def outcome(fn):
    try:
        return ("ok", fn())
    except AssertionError:
        raise
    except Exception as exc:
        args = exc.args
        if type(exc) is OverflowError and args != (OWN_OVERFLOW,):
            args = ("<the interpreter's own overflow message>",)
        return ("raised", type(exc), args)


def agree(sub_out, ref_out, key=canon):
    assert sub_out[0] == ref_out[0], (sub_out, ref_out)
    if sub_out[0] == "ok":
        assert key(sub_out[1]) == key(ref_out[1]), (sub_out, ref_out)
    else:
        assert sub_out[1:] == ref_out[1:], (sub_out, ref_out)


def live_list(cache):
    """The slot list itself, as the pickle reduction hands it out."""
    reduced = cache.__reduce__()
    return reduced[2][0] if len(reduced) == 3 else reduced[1][2][0]


def slot_contents(cache, arr=None):
    """What ``get`` reads from every slot of the live slot list."""
    if arr is None:
        arr = live_list(cache)
        if arr is None:
            return None
    contents = []
    for i, key in zip(range(len(arr)), SLOT_KEYS):
        value = cache.get(key)
        assert value is arr[i]
        contents.append(canon(value))
    return contents


def reduce_shape(cache, reduced, reconstructor):
    assert reduced[0] is reconstructor
    args = reduced[1]
    assert args[0] is type(cache) and type(args[1]) is int and args[1] == 0xBD51CB4
    if len(reduced) == 3:
        assert args[2] is None
        state, form = reduced[2], "A"
    else:
        assert len(reduced) == 2
        state, form = args[2], "B"
    assert type(state) is tuple
    arr = state[0]
    extra = [sorted(s.items()) if isinstance(s, dict) else s for s in state[1:]]
    return form, None if arr is None else [canon(v) for v in arr], extra


# ---------------------------------------------------------------- the machine


class CacheModel(RuleBasedStateMachine):
    caches = Bundle("caches")

    def __init__(self):
        super().__init__()
        self.pairs = []

    def add(self, sub, ref):
        assert type(sub).__name__ == type(ref).__name__.replace("Ref", "")
        self.pairs.append((sub, ref))
        return sub, ref

    def both(self, pair, action, key=canon):
        sub_out = outcome(lambda: action(pair[0]))
        ref_out = outcome(lambda: action(pair[1]))
        agree(sub_out, ref_out, key)
        return sub_out, ref_out

    def new_pair(self, sub_out, ref_out):
        agree(sub_out, ref_out, key=lambda c: (type(c).__name__.replace("Ref", ""), slot_contents(c)))
        if sub_out[0] == "ok":
            return self.add(sub_out[1], ref_out[1])
        return multiple()

    # -- construction -----------------------------------------------------

    @initialize(target=caches, subclass=st.booleans())
    def fresh(self, subclass):
        return self.add(NativeSub(), RefSub()) if subclass else self.add(Cache(), RefCache())

    @precondition(lambda self: len(self.pairs) < 8)
    @rule(target=caches, how=st.sampled_from(["call", "new", "new_args", "subclass", "subclass_new"]))
    def construct(self, how):
        def make(cls, sub_cls):
            if how == "call":
                return cls()
            if how == "new":
                return cls.__new__(cls)
            if how == "new_args":
                return cls.__new__(cls, 1, 2, x=3)
            if how == "subclass":
                return sub_cls()
            return cls.__new__(sub_cls)

        return self.new_pair(outcome(lambda: make(Cache, NativeSub)), outcome(lambda: make(RefCache, RefSub)))

    @precondition(lambda self: len(self.pairs) < 8)
    @rule(
        target=caches,
        pair=caches,
        how=st.sampled_from(["copy", "class_copy", "deepcopy", "deepcopy_kw", "copy.copy", "copy.deepcopy"]),
    )
    def duplicate(self, pair, how):
        do = {
            "copy": lambda c: c.copy(),
            "class_copy": lambda c: type(c).copy(c),
            "deepcopy": lambda c: c.__deepcopy__({}),
            "deepcopy_kw": lambda c: c.__deepcopy__(memo=None),
            "copy.copy": copy.copy,
            "copy.deepcopy": copy.deepcopy,
        }[how]
        return self.new_pair(outcome(lambda: do(pair[0])), outcome(lambda: do(pair[1])))

    @precondition(lambda self: len(self.pairs) < 8)
    @rule(target=caches, pair=caches, protocol=st.integers(0, pickle.HIGHEST_PROTOCOL))
    def pickle_round_trip(self, pair, protocol):
        def trip(c):
            return pickle.loads(pickle.dumps(c, protocol))

        return self.new_pair(outcome(lambda: trip(pair[0])), outcome(lambda: trip(pair[1])))

    @precondition(lambda self: len(self.pairs) < 8)
    @rule(target=caches, checksum=checksums, state=state_recipes, subclass=st.booleans())
    def reconstruct(self, checksum, state, subclass):
        sub_out = outcome(lambda: NATIVE_UNPICKLE(NativeSub if subclass else Cache, checksum, build_state(state)))
        ref_out = outcome(lambda: REF_UNPICKLE(RefSub if subclass else RefCache, checksum, build_state(state)))
        return self.new_pair(sub_out, ref_out)

    # -- slot operations --------------------------------------------------

    @rule(pair=caches, key=key_recipes, how=modes | st.just("subscript"))
    def read(self, pair, key, how):
        if how == "subscript":
            self.both(pair, lambda c: c[build_key(key, c)])
        else:
            self.both(pair, lambda c: call(c, "get", (build_key(key, c),), how))

    @rule(pair=caches, key=key_recipes, value=value_recipes, mode=modes)
    def set(self, pair, key, value, mode):
        self.both(pair, lambda c: call(c, "set", (build_key(key, c), VALUES[value]), mode))

    @rule(
        pair=caches,
        name=st.sampled_from(ATTR_NAMES) | st.sampled_from(ATTR_NAMES).map(StrSub),
        how=st.sampled_from(["getattr", "hasattr", "direct"]),
    )
    def attribute(self, pair, name, how):
        if how == "getattr":
            self.both(pair, lambda c: getattr(c, name))
        elif how == "hasattr":
            self.both(pair, lambda c: hasattr(c, name))
        else:
            self.both(pair, lambda c: c.__getattr__(name))

    @rule(pair=caches, name=st.sampled_from(["a", "b", "LAYOUT"]), value=value_recipes)
    def set_attribute(self, pair, name, value):
        """Subclass instances keep attributes in their dictionary; plain caches refuse them
        (the host's message names the type, so only the type is compared for them)."""
        sub_out, ref_out = [outcome(lambda: setattr(c, name, VALUES[value])) for c in pair]
        if isinstance(pair[0], NativeSub):
            agree(sub_out, ref_out)
        else:
            assert sub_out[:2] == ref_out[:2] == ("raised", AttributeError), (sub_out, ref_out)

    @rule(pair=caches, arg=st.sampled_from([None, 5, b"LAYOUT", SHARED_CACHE]))
    def getattr_odd_argument(self, pair, arg):
        self.both(pair, lambda c: c.__getattr__(arg))

    @rule(pair=caches, mode=modes)
    def slot_list_edges(self, pair, mode):
        """Every key operation with the indexes around both ends of the slot list."""
        arr = live_list(pair[0])
        size = 32 if arr is None else len(arr)
        for idx in sorted({-1, 0, size - 1, size, 31, 32, -(2**31), 2**31 - 1, 2**31, 2**60}):
            self.both(pair, lambda c: call(c, "get", (Key(idx),), mode))
            self.both(pair, lambda c: call(c, "get_or_set_val", (Key(idx), None), mode))
            self.both(pair, lambda c: call(c, "get_or_exec", (Key(idx), lambda: None), mode))
            self.both(pair, lambda c: call(c, "set", (Key(idx), c.get(Key(idx)) if 0 <= idx < size else 1), mode))
        # The not-None checks come before the key's value is read.
        self.both(pair, lambda c: call(c, "get_or_exec", (RaisingKey(), None), mode))
        self.both(pair, lambda c: call(c, "get_or_exec", (None, None), mode))

    @rule(pair=caches, key=key_recipes, value=value_recipes, mode=modes)
    def get_or_set_val(self, pair, key, value, mode):
        self.both(pair, lambda c: call(c, "get_or_set_val", (build_key(key, c), VALUES[value]), mode))

    @rule(pair=caches, key=key_recipes, func=func_recipes, mode=modes)
    def get_or_exec(self, pair, key, func, mode):
        def do(c):
            k = build_key(key, c)
            return call(c, "get_or_exec", (k, build_func(func, c, k)), mode)

        self.both(pair, do)

    @rule(pair=caches, how=st.sampled_from(["bound", "class", "reinit"]))
    def empty_all(self, pair, how):
        if how == "reinit":
            self.both(pair, lambda c: c.__init__())
        else:
            self.both(pair, lambda c: call(c, "clear", (), how))

    @rule(pair=caches, blacklist=list_recipes, whitelist=list_recipes, mode=modes)
    def clear_selected(self, pair, blacklist, whitelist, mode):
        def do(c):
            bl, wl = build_list(blacklist, c), build_list(whitelist, c)
            if whitelist[0] == "absent":
                args = () if blacklist[0] == "absent" else (bl,)
            else:
                args = (bl, wl) if blacklist[0] != "absent" else None
            if args is None:
                return c.clear_selected(whitelist=wl)
            return call(c, "clear_selected", args, mode)

        self.both(pair, do)

    @rule(pair=caches, state=state_recipes, name=st.sampled_from(["__setstate__", "__setstate_cython__"]), mode=modes)
    def setstate(self, pair, state, name, mode):
        self.both(pair, lambda c: call(c, name, (build_state(state),), mode))

    @rule(pair=caches, name=st.sampled_from(["__reduce__", "__reduce_cython__"]))
    def reduce(self, pair, name):
        sub, ref = pair
        sub_out = outcome(lambda: reduce_shape(sub, getattr(sub, name)(), NATIVE_UNPICKLE))
        ref_out = outcome(lambda: reduce_shape(ref, getattr(ref, name)(), REF_UNPICKLE))
        agree(sub_out, ref_out, key=lambda r: r)

    @rule(pair=caches, how=st.sampled_from(["list", "in"]))
    def iterate(self, pair, how):
        self.both(pair, lambda c: list(c) if how == "list" else VALUES[0] in c, key=lambda r: r)

    @rule(
        pair=caches,
        bad=st.sampled_from(
            [
                ("get", (), {}),
                ("get", (CacheType.LAYOUT,) * 2, {}),
                ("get", (CacheType.LAYOUT,), {"type": CacheType.LAYOUT}),
                ("get", (), {"key": CacheType.LAYOUT}),
                ("set", (CacheType.LAYOUT,), {}),
                ("set", (), {"type": CacheType.LAYOUT}),
                ("set", (), {"value": 1}),
                ("clear", (1,), {}),
                ("clear", (), {"x": 1}),
                ("copy", (1,), {}),
                ("copy", (), {"x": 1}),
                ("__deepcopy__", (), {}),
                ("__deepcopy__", ({}, {}), {}),
                ("__reduce__", (1,), {}),
                ("clear_selected", (None, None, None), {}),
                ("clear_selected", (), {"greylist": []}),
                ("clear_selected", (None,), {"blacklist": None}),
                ("get_or_exec", (CacheType.LAYOUT,), {}),
                ("get_or_set_val", (CacheType.LAYOUT, 1, 2), {}),
                ("__setstate__", (), {}),
                ("__setstate__", ((None,),), {"x": 1}),
                ("__init__", (1,), {}),
                ("__init__", (), {"x": 1}),
                ("__getattr__", (), {}),
                ("__getattr__", ("a", "b"), {}),
                ("<new>", (1,), {}),
                ("<new>", (), {"x": 1}),
                ("<new>", (1,), {"x": 1}),
                ("<len>", (), {}),
                ("<setitem>", (), {}),
                ("<delitem>", (), {}),
            ]
        ),
    )
    def misuse(self, pair, bad):
        """Argument errors and protocols the type lacks.

        Python words its binding errors differently and the host names the
        type in the others, so only the exception type is compared.
        """
        name, args, kwargs = bad

        def do(c):
            if name == "<new>":
                return (Cache if isinstance(c, Cache) else RefCache)(*args, **kwargs)
            if name == "<len>":
                return len(c)
            if name == "<setitem>":
                c[CacheType.LAYOUT] = 1
            elif name == "<delitem>":
                del c[CacheType.LAYOUT]
            else:
                return getattr(c, name)(*args, **kwargs)

        sub_out, ref_out = outcome(lambda: do(pair[0])), outcome(lambda: do(pair[1]))
        assert sub_out[:2] == ref_out[:2] == ("raised", TypeError), (sub_out, ref_out)

    # -- after every step -------------------------------------------------

    @invariant()
    def same_contents_and_sharing(self):
        sub_lists, ref_lists = [], []
        for sub, ref in self.pairs:
            arr, ref_arr = live_list(sub), live_list(ref)
            assert arr is live_list(sub)
            assert arr is None or type(arr) is list
            assert (arr is None) == (ref_arr is None)
            if arr is not None:
                assert slot_contents(sub, arr) == slot_contents(ref, ref_arr)
            sub_lists.append(arr)
            ref_lists.append(ref_arr)
        for i in range(len(self.pairs)):
            for j in range(i + 1, len(self.pairs)):
                shared_sub = sub_lists[i] is not None and sub_lists[i] is sub_lists[j]
                shared_ref = ref_lists[i] is not None and ref_lists[i] is ref_lists[j]
                assert shared_sub == shared_ref, (i, j)

    @invariant()
    def same_attribute_dicts(self):
        for sub, ref in self.pairs:
            if isinstance(sub, NativeSub):
                assert sub.__dict__ == ref.__dict__


CacheModel.TestCase.settings = settings(
    max_examples=150,
    stateful_step_count=50,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
TestCacheModel = CacheModel.TestCase
