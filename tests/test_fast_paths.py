"""Keys and member names read without running Python code give exactly what
running that code gives: each operation, with keys of the shapes that take the
direct reads and keys that defeat each of their guards, against the generic
path (a key that reads `value` through Python code) or a Python model."""

import enum
import gc
import pathlib
import subprocess
import sys
import traceback

import pytest

from conftest import MODULE, Key


class SlotKey:
    __slots__ = ("value",)

    def __init__(self, value):
        self.value = value


class Twin:
    """Reads `value` through Python code, so the cache takes its generic path."""

    __slots__ = ("key",)

    def __init__(self, key):
        self.key = key

    @property
    def value(self):
        return self.key.value


class Stock(enum.Enum):
    A = 3
    FLOAT = 2.5
    FAR = 40
    HUGE = 2**70
    TEXT = "3"


class ValueOverridden(enum.Enum):
    A = 3

    @property
    def value(self):
        return self._value_ + 1


class ValueAttributeShadowed(enum.Enum):
    A = 3


ValueAttributeShadowed._value_ = property(lambda self: 6)


class OwnLookup(enum.Enum):
    A = 3

    def __getattribute__(self, name):
        return 9 if name == "value" else super().__getattribute__(name)


class OverridingMeta(type(enum.Enum)):
    @property
    def __members__(cls):
        return {"A": cls.B, "C": cls.B}

    def __getitem__(cls, name):
        return cls._member_map_["B"] if name == "C" else super().__getitem__(name)


class WithOwnMeta(enum.Enum, metaclass=OverridingMeta):
    A = 3
    B = 11


class MembersOnlyMeta(type(enum.Enum)):
    @property
    def __members__(cls):
        return {"C": cls.B}


class WithMembersOnlyMeta(enum.Enum, metaclass=MembersOnlyMeta):
    A = 3
    B = 11


KEYS = {
    "member": Stock.A,
    "member-float": Stock.FLOAT,
    "member-out-of-range": Stock.FAR,
    "member-huge": Stock.HUGE,
    "member-text": Stock.TEXT,
    "slots": SlotKey(7),
    "slots-empty": SlotKey.__new__(SlotKey),
    "slots-float": SlotKey(4.5),
    "dict": Key(8),
    "value-overridden": ValueOverridden.A,
    "value-attribute-shadowed": ValueAttributeShadowed.A,
    "own-lookup": OwnLookup.A,
}

OPERATIONS = {
    "get": lambda c, k: c.get(k),
    "set": lambda c, k: (c.set(k, "new"), c.__reduce__()[2][0])[1],
    "get_or_set_val": lambda c, k: c.get_or_set_val(k, "new"),
    "get_or_exec": lambda c, k: c.get_or_exec(k, lambda: "made"),
    "clear_selected-whitelist": lambda c, k: (c.clear_selected(None, [k]), c.__reduce__()[2][0])[1],
    "clear_selected-blacklist": lambda c, k: (c.clear_selected([k]), c.__reduce__()[2][0])[1],
}


def module_entries(exc):
    return [f.name for f in traceback.extract_tb(exc.__traceback__) if f.name.startswith(MODULE)]


def outcome(call):
    try:
        return ("ok", call())
    except Exception as exc:
        return ("raised", type(exc), str(exc), module_entries(exc))


def filled(Cache):
    cache = Cache()
    cache.__setstate__(([f"slot {i}" for i in range(32)],))
    return cache


@pytest.mark.parametrize("key", KEYS.values(), ids=list(KEYS))
@pytest.mark.parametrize("op", OPERATIONS.values(), ids=list(OPERATIONS))
def test_each_operation_matches_the_generic_path(Cache, op, key):
    direct = outcome(lambda: op(filled(Cache), key))
    assert direct == outcome(lambda: op(filled(Cache), Twin(key)))
    assert direct == outcome(lambda: op(filled(Cache), key))  # and again, from what was kept


def test_subscription_matches_get(Cache, mod, monkeypatch):
    for key in (Stock.A, Stock.FLOAT, ValueOverridden.A, ValueAttributeShadowed.A, OwnLookup.A):
        monkeypatch.setattr(mod, "CacheType", type(key))
        assert filled(Cache)[key] == filled(Cache).get(Twin(key))


# ---------------------------------------------------------------- changes after the first use


def _fresh_enum():
    return enum.Enum("Fresh", {"A": 3, "B": 5})


def _set_value(E):
    E.A._value_ = 5


def _replace_member_dict(E):
    E.A.__dict__ = dict(E.A.__dict__, _value_=5)


def _override_value(E):
    E.value = property(lambda self: 5)


def _shadow_value_attribute(E):
    E._value_ = property(lambda self: 5)


CHANGES = {
    "member-value-set": _set_value,
    "member-dict-replaced": _replace_member_dict,
    "type-gets-value": _override_value,
    "type-gets-_value_": _shadow_value_attribute,
}


@pytest.mark.parametrize("change", CHANGES.values(), ids=list(CHANGES))
def test_a_change_after_the_first_use_is_seen(Cache, change):
    E = _fresh_enum()
    cache = filled(Cache)
    for _ in range(3):
        assert cache.get(E.A) == "slot 3"
    change(E)
    assert cache.get(E.A) == "slot 5" == cache.get(Twin(E.A))
    assert (cache.clear_selected(None, [E.A]), cache.get(Key(5)), cache.get(Key(3))) == (None, None, "slot 3")


class Changing:
    """A blacklist key whose `value` makes `change` to enum `E`, then names slot 11."""

    def __init__(self, change, E):
        self.change, self.E = change, E

    @property
    def value(self):
        self.change(self.E)
        return 11


@pytest.mark.parametrize("change", CHANGES.values(), ids=list(CHANGES))
def test_every_member_is_read_after_the_blacklist(Cache, mod, monkeypatch, change):
    """clear_selected(blacklist) reads the members' values after the
    blacklist's, as Python code does: a member the blacklist moved from slot 3
    to slot 5 empties slot 5 only."""
    E = _fresh_enum()
    monkeypatch.setattr(mod, "CacheType", E)
    cache = filled(Cache)
    cache.clear_selected([Changing(change, E)])
    slots = cache.__reduce__()[2][0]
    assert (slots[3], slots[5], slots[11]) == ("slot 3", None, "slot 11")


saved_members_getter = vars(type(enum.Enum))["__members__"].fget


@pytest.fixture
def patched_enum_machinery():
    """Changes to the enum module's own objects, undone afterwards."""
    value_property = vars(enum.Enum)["value"]
    members_property = vars(type(enum.Enum))["__members__"]
    get = vars(type(value_property))["__get__"]
    saved = value_property.fget, get, get.__code__, enum.MappingProxyType
    yield value_property, members_property
    value_property.fget, get.__code__, enum.MappingProxyType = saved[0], saved[2], saved[3]
    if vars(type(value_property))["__get__"] is not get:
        type(value_property).__get__ = get
    for cls in type(value_property).__mro__[:-1]:
        for name in ("__getattribute__", "__getattr__"):
            if name in vars(cls):
                delattr(cls, name)
    members_property.__init__(saved_members_getter)
    value_property.__dict__ = {k: v for k, v in vars(value_property).items() if type(k) is str}


def _fget_through_getattribute(cls):
    """Gives `cls` a __getattribute__ under which a property's `fget` is another getter."""

    def __getattribute__(self, name):
        return (lambda member: 5) if name == "fget" else object.__getattribute__(self, name)

    cls.__getattribute__ = __getattribute__


@pytest.mark.parametrize(
    "change",
    [
        lambda prop, _: setattr(prop, "fget", lambda self: 5),
        lambda prop, _: setattr(type(prop), "__get__", lambda self, inst, owner=None: 5),
        lambda prop, _: setattr(vars(type(prop))["__get__"], "__code__", (lambda self, inst, owner=None: 5).__code__),
        lambda prop, _: _fget_through_getattribute(type(prop)),
        lambda prop, _: _fget_through_getattribute(type(prop).__mro__[-2]),
    ],
    ids=["getter-replaced", "property-type-changed", "get-code-replaced", "getattribute", "base-getattribute"],
)
def test_a_change_to_the_value_property_is_seen(Cache, patched_enum_machinery, change):
    E = _fresh_enum()
    cache = filled(Cache)
    assert cache.get(E.A) == "slot 3"
    change(*patched_enum_machinery)
    assert cache.get(E.A) == "slot 5" == cache.get(Twin(E.A))


PATCHED_BEFORE_IMPORT = {
    "value-getter": "vars(enum.Enum)['value'].fget = lambda self: 5",
    "property-get": "type(vars(enum.Enum)['value']).__get__ = lambda self, inst, owner=None: 5",
    "get-code": "vars(type(vars(enum.Enum)['value']))['__get__'].__code__ = (lambda s, i, o=None: 5).__code__",
    "members": "vars(type(enum.Enum))['__members__'].__init__(lambda cls: {'MEASURE': cls.MEASURE})",
    "getitem": "type(enum.Enum).__getitem__ = lambda cls, name: cls._member_map_['MEASURE']",
    # the same, compiled as if in enum's own file and namespace
    "disguised-getter": "vars(enum.Enum)['value'].fget = in_enum('def _v(self): return self._value_ + 1')",
    "disguised-getitem": "type(enum.Enum).__getitem__ = in_enum('def _g(cls, name): return cls._member_map_[\"MEASURE\"]')",
    "name-under-value": "type.__setattr__(enum.Enum, 'value', enum.Enum.__dict__['name'])",
}

COMPARE_WITH_PLAIN_CLASS = """
import enum, sys

def in_enum(source):
    space = vars(enum)
    exec(compile(source, enum.__file__, "exec"), space)
    return space[source[4:6]]

exec(sys.argv[1])
sys.path.insert(0, sys.argv[2])
from umbo_ui.fast.umbocache.umbocache import Cache
from umbo_ui.core.enums import CacheType
import reference

def run(Cache):
    cache = Cache()
    cache.__setstate__(([f"slot {i}" for i in range(32)],))
    ops = [
        lambda: cache.get(CacheType.THEME),
        lambda: cache[CacheType.THEME],
        lambda: cache.THEME,
        lambda: (cache.clear_selected(), cache.__reduce__()[2][0])[1],
    ]
    for op in ops:
        try:
            yield op()
        except Exception as exc:
            yield type(exc)

assert list(run(Cache)) == list(run(reference.Cache)), (list(run(Cache)), list(run(reference.Cache)))
"""


@pytest.mark.parametrize("patch", PATCHED_BEFORE_IMPORT.values(), ids=list(PATCHED_BEFORE_IMPORT))
def test_enum_patched_before_the_import_is_honoured(patch):
    """What the direct reads rely on is the standard library's own, not
    whatever was there when the module was imported."""
    tests = pathlib.Path(__file__).parent
    proc = subprocess.run([sys.executable, "-c", COMPARE_WITH_PLAIN_CLASS, patch, str(tests)], capture_output=True)
    assert proc.returncode == 0, proc.stderr.decode()[-3000:]


class Meddler:
    """A dict key of the same hash as the str `name` that equals nothing; each
    comparison with it runs the next of its actions first."""

    def __init__(self, name):
        self.hash, self.actions = hash(name), []

    def __hash__(self):
        return self.hash

    def __eq__(self, other):
        if self.actions:
            self.actions.pop(0)()
        return False


def meddle_first(mapping, name, *actions):
    """Puts a Meddler first in `mapping`, so that a lookup of `name` meets it."""
    items, meddler = dict(mapping), Meddler(name)
    mapping.clear()
    mapping[meddler] = None
    mapping.update(items)
    meddler.actions = list(actions)


@pytest.mark.parametrize("where", ["member", "property"])
def test_code_run_by_a_value_lookup_is_seen_by_later_members(Cache, mod, monkeypatch, patched_enum_machinery, where):
    """clear_selected() reads each member's value as Python code would, even
    where a lookup in a dictionary runs code that changes the next member's."""
    E = enum.Enum("Fresh", {"A": 3, "B": 11})
    monkeypatch.setattr(mod, "CacheType", E)
    value_property, _ = patched_enum_machinery

    def every_value_is_5():
        value_property.fget = lambda member: 5

    if where == "member":  # A reads 3, then B reads 5
        meddle_first(vars(E.A), "_value_", every_value_is_5)
    else:  # both read 5
        meddle_first(vars(value_property), "fget", every_value_is_5)
    cache = filled(Cache)
    cache.clear_selected()
    slots = cache.__reduce__()[2][0]
    emptied = {3, 5} if where == "member" else {5}
    assert [i for i in (3, 5, 11) if slots[i] is None] == sorted(emptied)


def test_code_run_by_a_member_lookup_is_seen_by_the_next(Cache, mod, monkeypatch):
    """cache.NAME looks the name up twice, as `NAME in CacheType.__members__`
    and `CacheType[NAME]` do, where a lookup may run code between them."""
    E = enum.Enum("Fresh", {"A": 3, "B": 11})
    monkeypatch.setattr(mod, "CacheType", E)
    meddle_first(E._member_map_, "A", lambda: None, lambda: E._member_map_.__setitem__("A", E.B))
    assert filled(Cache).A == "slot 11"


# ---------------------------------------------------------------- member names


def expected_attribute(cache_type, name, slots):
    if name not in cache_type.__members__:
        return ("raised", AttributeError, (name,))
    return attribute_outcome(lambda: slots[cache_type[name].value])


def expected_clear_selected(cache_type, slots):
    emptied = {m.value for m in list(cache_type.__members__.values())}
    return [None if i in emptied else v for i, v in enumerate(slots)]


def attribute_outcome(call):
    try:
        return ("ok", call())
    except Exception as exc:
        return ("raised", type(exc), exc.args)


MEMBER_SOURCES = {
    "stock": lambda: enum.Enum("Fresh", {"A": 3, "B": 11}),
    "own-metaclass": lambda: WithOwnMeta,
    "own-members": lambda: WithMembersOnlyMeta,
    "members-changed": lambda: _members_grown(),
}


def _members_grown():
    E = enum.Enum("Grown", {"A": 3, "B": 11})
    E._member_map_["C"] = E.B
    return E


@pytest.mark.parametrize("source", MEMBER_SOURCES.values(), ids=list(MEMBER_SOURCES))
def test_member_names_follow_the_class_bound_to_cachetype(Cache, mod, monkeypatch, source):
    cache = filled(Cache)
    slots = cache.__reduce__()[2][0][:]
    for cache_type in (mod.CacheType, source(), mod.CacheType):  # CacheType rebound, and back
        monkeypatch.setattr(mod, "CacheType", cache_type)
        for name in ("A", "B", "C", "THEME", "__dict__"):
            assert attribute_outcome(lambda: getattr(cache, name)) == expected_attribute(cache_type, name, slots)
        fresh = filled(Cache)
        fresh.clear_selected()
        assert fresh.__reduce__()[2][0] == expected_clear_selected(cache_type, slots)


def test_a_change_to_the_members_property_is_seen(Cache, mod, monkeypatch, patched_enum_machinery):
    E = enum.Enum("Fresh", {"A": 3, "B": 11})
    monkeypatch.setattr(mod, "CacheType", E)
    cache = filled(Cache)
    assert cache.A == "slot 3"
    _, members_property = patched_enum_machinery
    members_property.__init__(lambda cls: {"B": cls.B})
    with pytest.raises(AttributeError):
        cache.A
    assert cache.B == "slot 11"
    members_property.__init__(saved_members_getter)
    enum.MappingProxyType = lambda mapping: {"B": mapping["B"]}
    with pytest.raises(AttributeError):
        cache.A


KEEPS_ATTRIBUTES_INLINE = """
import enum, gc
from umbo_ui.fast.umbocache.umbocache import Cache
from umbo_ui.core.enums import CacheType

def has_dict(obj):
    return any(type(r) is dict for r in gc.get_referents(obj))

member, value_property = CacheType.THEME, vars(enum.Enum)["value"]
assert not has_dict(member) and not has_dict(value_property)
cache = Cache()
cache.get(member), cache.THEME, cache.clear_selected(), cache[member]
assert not has_dict(member) and not has_dict(value_property)
"""


@pytest.mark.skipif(
    not (3, 11) <= sys.version_info[:2] < (3, 13),
    reason="only 3.11 and 3.12 read attributes more slowly once an object's dictionary is made",
)
def test_keys_keep_their_attributes_in_themselves():
    """Making a member's (or the value property's) dictionary would slow every
    other read of its attributes on these hosts: the cache must not.  In a
    process of its own, as tests here make such dictionaries."""
    proc = subprocess.run([sys.executable, "-c", KEEPS_ATTRIBUTES_INLINE], capture_output=True)
    assert proc.returncode == 0, proc.stderr.decode()[-3000:]


def python_calls(fn):
    """The Python functions outside this file that `fn()` runs, by name.
    Collections are held off: finalisers of other tests' garbage are not `fn`'s."""
    calls = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_filename != __file__:
            calls.append(frame.f_code.co_name)

    gc.collect()
    gc.disable()
    sys.setprofile(profile)
    try:
        fn()
    finally:
        sys.setprofile(None)
        gc.enable()
    return calls


@pytest.mark.parametrize(
    "op",
    [
        lambda c, m: c.get(m.THEME),
        lambda c, m: c.set(m.THEME, 1),
        lambda c, m: c[m.THEME],
        lambda c, m: c.THEME,
        lambda c, m: c.get_or_exec(m.THEME, int),
        lambda c, m: c.clear_selected(),
        lambda c, m: c.clear_selected([m.THEME], [m.LAYOUT, m.THEME]),
    ],
    ids=["get", "set", "subscript", "attribute", "get_or_exec", "clear_selected()", "clear_selected(lists)"],
)
def test_enum_keys_and_names_run_no_python_code(Cache, CacheType, op):
    """The enum machinery's `value` and `__members__` are Python code: the
    direct reads must be what serves the stock enumeration."""
    cache = Cache()
    op(cache, CacheType)
    assert python_calls(lambda: op(cache, CacheType)) == []
    # What the direct reads stand for is visible to the same probe.
    assert python_calls(lambda: CacheType.THEME.value)
    assert python_calls(lambda: CacheType.__members__)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="older hosts bind methods on every call anyway")
def test_method_calls_build_no_bound_method(Cache, CacheType):
    """The type's attribute hook is the one the interpreter recognises, so a
    call like `cache.get(key)` is specialised to load the method directly."""
    import dis

    def attribute_loads(obj, key):
        def call(obj, key):
            return obj.get(key)

        for _ in range(100):
            call(obj, key)
        return [i.opname for i in dis.get_instructions(call, adaptive=True) if i.opname.startswith("LOAD_ATTR")]

    class Plain:
        def get(self, key):
            return key

    # 3.13's free-threaded build runs without the specialising interpreter.
    if attribute_loads(Plain(), 1) == ["LOAD_ATTR"]:
        pytest.skip("this host specialises no attribute load, not even a plain class's method")
    assert attribute_loads(Cache(), CacheType.THEME) == ["LOAD_ATTR_METHOD_NO_DICT"]
