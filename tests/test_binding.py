"""Argument binding of the Cache methods and the conversion of key values to slot indexes."""

import ctypes
import re
import warnings
from decimal import Decimal

import pytest

from conftest import Key, tb_entries

MOD = "umbo_ui.fast.umbocache.umbocache"
PICKLING = {"Cache.__setstate_cython__", "__pyx_unpickle_Cache"}  # named in "(tree fragment)"
METHODS = [
    "clear",
    "clear_selected",
    "get",
    "set",
    "get_or_set_val",
    "get_or_exec",
    "copy",
    "__deepcopy__",
    "__reduce_cython__",
    "__setstate_cython__",
]
K = Key(0)


class Watched:
    """A key that counts the reads of its value."""

    reads = 0

    @property
    def value(self):
        self.reads += 1
        return 0


class Via:
    """A key value that converts to an integer only through __int__."""

    def __init__(self, result):
        self.result = result

    def __int__(self):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


StrSub = type("StrSub", (str,), {})
OddHash = type("OddHash", (str,), {"__hash__": lambda self: 7})  # equal to a name, hashed apart from it
Raising = type("Raising", (str,), {"__hash__": str.__hash__, "__eq__": lambda self, other: 1 / 0})
IntSub = type("IntSub", (int,), {})
IndexOnly = type("IndexOnly", (), {"__index__": lambda self: 1})


# (call, message, traceback entry the method adds: "" for none)
ARG_ERRORS = [
    ("cache.get()", "get() takes exactly 1 positional argument (0 given)", "Cache.get"),
    ("cache.get(K, K)", "get() takes exactly 1 positional argument (2 given)", "Cache.get"),
    ("cache.get(K, K, type=K)", "get() takes exactly 1 positional argument (2 given)", "Cache.get"),
    ("cache.get(K, type=K)", "get() got multiple values for keyword argument 'type'", "Cache.get"),
    ("cache.get(key=K)", "get() got an unexpected keyword argument 'key'", "Cache.get"),
    ("cache.set(K)", "set() takes exactly 2 positional arguments (1 given)", "Cache.set"),
    ("cache.set(type=K)", "set() takes exactly 2 positional arguments (1 given)", "Cache.set"),
    ("cache.set(value=1)", "set() takes exactly 2 positional arguments (0 given)", "Cache.set"),
    ("cache.set(K, 1, 2, x=1)", "set() takes exactly 2 positional arguments (3 given)", "Cache.set"),
    (
        "cache.get_or_set_val(K)",
        "get_or_set_val() takes exactly 2 positional arguments (1 given)",
        "Cache.get_or_set_val",
    ),
    ("cache.get_or_exec(None)", "get_or_exec() takes exactly 2 positional arguments (1 given)", "Cache.get_or_exec"),
    (
        "cache.clear_selected(1, 2, 3)",
        "clear_selected() takes at most 2 positional arguments (3 given)",
        "Cache.clear_selected",
    ),
    (
        "cache.clear_selected(None, blacklist=None)",
        "clear_selected() got multiple values for keyword argument 'blacklist'",
        "Cache.clear_selected",
    ),
    ("cache.__deepcopy__()", "__deepcopy__() takes exactly 1 positional argument (0 given)", "Cache.__deepcopy__"),
    (
        "cache.__setstate__()",
        "__setstate_cython__() takes exactly 1 positional argument (0 given)",
        "Cache.__setstate_cython__",
    ),
    (
        "mod.__pyx_unpickle_Cache(1)",
        "__pyx_unpickle_Cache() takes exactly 3 positional arguments (1 given)",
        "__pyx_unpickle_Cache",
    ),
    ("cache.clear(1)", "clear() takes exactly 0 positional arguments (1 given)", ""),
    ("cache.clear(x=1)", "clear() got an unexpected keyword argument 'x'", ""),
    ("cache.copy(b=1, a=2)", "copy() got an unexpected keyword argument 'b'", ""),
    ("cache.__reduce_cython__(self=1)", "__reduce_cython__() got an unexpected keyword argument 'self'", ""),
    ("cache.__reduce__(1)", "__reduce_cython__() takes exactly 0 positional arguments (1 given)", ""),
    ("mod.Cache(1)", "__init__() takes exactly 0 positional arguments (1 given)", ""),
    ("mod.Cache(1, x=1)", "__init__() takes exactly 0 positional arguments (1 given)", ""),
    ("mod.Cache(x=1)", "__init__() got an unexpected keyword argument 'x'", ""),
    ("cache.__init__(type=K)", "__init__() got an unexpected keyword argument 'type'", ""),
]


@pytest.mark.parametrize("call, message, entry", ARG_ERRORS, ids=[row[0] for row in ARG_ERRORS])
def test_argument_errors_quote_the_bare_method_name(mod, cache, call, message, entry):
    with pytest.raises(TypeError) as info:
        eval(call, {"mod": mod, "cache": cache, "K": K})
    assert str(info.value) == message
    file = "(tree fragment)" if entry in PICKLING else "src/umbo_ui/fast/umbocache/umbocache"
    assert [e for e in tb_entries(info.value) if e[1] != "<string>"] == ([(f"{MOD}.{entry}", file)] if entry else [])


@pytest.mark.parametrize("make", [lambda s: "".join(list(s)), StrSub, OddHash], ids=["runtime", "subclass", "odd-hash"])
def test_keyword_names_equal_to_a_parameter_bind(cache, make):
    stored = object()
    assert cache.set(**{make("value"): stored, make("type"): Key(4)}) is None
    assert cache.get(**{make("type"): Key(4)}) is stored
    with pytest.raises(TypeError, match=r"^get\(\) got multiple values for keyword argument 'type'$"):
        cache.get(Key(4), **{make("type"): Key(4)})


def test_keyword_name_comparison_errors_propagate(cache):
    with pytest.raises(ZeroDivisionError):
        cache.get(**{Raising("type"): K})


@pytest.mark.parametrize("name", [1, b"type"])
def test_keyword_names_must_be_strings(cache, name):
    # Python refuses such names at the call site, so the vector-call API hands them over.
    call = ctypes.PyDLL(None).PyObject_VectorcallMethod
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    with pytest.raises(TypeError) as info:
        call("get", (ctypes.py_object * 2)(cache, K), 1, (name,))
    assert str(info.value) == "get() keywords must be strings"
    assert tb_entries(info.value)[-1][0] == f"{MOD}.Cache.get"


@pytest.mark.parametrize("kwargs", [{}, {"self": None}])
@pytest.mark.parametrize("name", METHODS)
def test_class_calls_without_an_instance_need_an_argument(Cache, name, kwargs):
    with pytest.raises(TypeError) as info:
        getattr(Cache, name)(**kwargs)
    assert str(info.value) == f"{name}() needs an argument"


CLASS_CALLS = {
    "clear": lambda k: (),
    "clear_selected": lambda k: ([k], [k]),
    "get": lambda k: (k,),
    "set": lambda k: (k, 1),
    "get_or_set_val": lambda k: (k, 1),
    "get_or_exec": lambda k: (k, int),
    "copy": lambda k: (),
    "__reduce_cython__": lambda k: (),
    "__setstate_cython__": lambda k: (([None] * 32,),),
}


@pytest.mark.parametrize("impostor", [object(), [None] * 32, Key(0)], ids=["object", "list", "key"])
@pytest.mark.parametrize("name", CLASS_CALLS)
def test_class_calls_refuse_an_instance_that_is_not_a_cache(Cache, name, impostor):
    key = Watched()
    with pytest.raises(TypeError):
        getattr(Cache, name)(impostor, *CLASS_CALLS[name](key))
    assert key.reads == 0


def test_class_calls_accept_caches_and_subclass_instances(Cache):
    class SubCache(Cache):
        pass

    for target in (Cache(), SubCache()):
        stored = object()
        assert Cache.set(target, Key(3), stored) is None
        assert Cache.get(target, type=Key(3)) is stored is target.get(Key(3))

    class Other:  # __deepcopy__ only asks its argument for a copy
        def copy(self):
            return "copied"

    assert Cache.__deepcopy__(Other(), {}) == "copied"


@pytest.mark.parametrize(
    "call, message",
    [
        ("cache.get(None)", "Argument 'type' must not be None"),
        ("cache.get_or_exec(None, None)", "Argument 'type' must not be None"),
        ("cache.get_or_exec(func=None, type=None)", "Argument 'type' must not be None"),
        ("cache.get_or_exec(None, int)", "Argument 'type' must not be None"),
        ("cache.get_or_exec(key, None)", "Argument 'func' must not be None"),
        ("cache.__getattr__(5)", "Argument 'type' has incorrect type (expected str, got int)"),
        ("cache.__getattr__(StrSub('LAYOUT'))", "Argument 'type' has incorrect type (expected str, got StrSub)"),
    ],
)
def test_declared_checks_fail_before_the_key_is_read(cache, call, message):
    key = Watched()
    with pytest.raises(TypeError) as info:
        eval(call, {"cache": cache, "key": key, "StrSub": StrSub})
    assert str(info.value) == message
    assert [e for e in tb_entries(info.value) if e[1] != "<string>"] == []
    assert key.reads == 0


def test_getattr_lets_none_pass_its_type_check(cache):
    with pytest.raises(AttributeError):
        cache.__getattr__(None)


@pytest.mark.parametrize(
    "value, slot",
    [
        (True, 1),
        (3.9, 3),
        (-0.7, 0),
        (Decimal("31.5"), 31),
        (IntSub(7), 7),
        (Via(5), 5),
    ],
)
def test_key_values_convert_to_their_slot(cache, value, slot):
    stored = object()
    cache.set(Key(value), stored)
    assert cache.get(Key(slot)) is stored and cache.get(Key(value)) is stored


TOO_LARGE = "value too large to convert to int"


@pytest.mark.parametrize(
    "value, exc, message",
    [
        (-1, IndexError, None),
        (32, IndexError, None),
        (2**31 - 1, IndexError, None),
        (-(2**31), IndexError, None),
        (2**31, OverflowError, TOO_LARGE),
        (-(2**31) - 1, OverflowError, TOO_LARGE),
        (2**60 - 1, OverflowError, TOO_LARGE),
        (Via(2**31), OverflowError, TOO_LARGE),
        (-(2**70), OverflowError, None),
        ("3", TypeError, "an integer is required"),
        (object(), TypeError, "an integer is required"),
        (IndexOnly(), TypeError, "an integer is required"),
        (Via("7"), TypeError, "__int__ returned non-int (type str)"),
        (Via(2.0), TypeError, "__int__ returned non-int (type float)"),
        (Via(ValueError("from __int__")), ValueError, "from __int__"),
    ],
)
@pytest.mark.parametrize("op", ["get", "set"])
def test_unusable_key_values_are_refused(cache, op, value, exc, message):
    with pytest.raises(exc) as info:
        getattr(cache, op)(Key(value), *(["stored"] if op == "set" else []))
    if message is not None:
        assert str(info.value) == message
    assert [cache.get(Key(slot)) for slot in range(32)] == [None] * 32


@pytest.mark.parametrize("result, slot", [(IntSub(6), 6), (True, 1)])
def test_int_subclass_from_int_is_deprecated(cache, result, slot):
    message = (
        f"__int__ returned non-int (type {type(result).__name__}).  The ability to return an instance "
        "of a strict subclass of int is deprecated, and may be removed in a future version of Python."
    )
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        cache.set(Key(Via(result)), "first")
    assert [(w.category, str(w.message), w.filename) for w in caught] == [(DeprecationWarning, message, __file__)]
    assert cache.get(Key(slot)) == "first"
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning, match=re.escape(message)):
            cache.set(Key(Via(result)), "second")
    assert cache.get(Key(slot)) == "first"
