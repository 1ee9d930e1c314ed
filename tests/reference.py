"""Pure-Python ``Cache``: the behaviour of the native cache written the plain way.

The tests drive it side by side with ``umbo_ui.fast.umbocache.umbocache.Cache``
as their oracle (the benchmarks compare against the simpler class a user
would write, in ``benchmarks/workload.py``).  It keeps the same 32 slots in a
list, fills, clears, copies and pickles them the same way, and raises the same exceptions with the same
messages for every failure of the cache's own checks.

Differences that are left to Python on purpose:

* argument-count and keyword errors come from Python's own binding, with
  Python's wording (same exception type, other text);
* a method called through the class with a first argument that is not a
  ``Cache`` is not refused (plain functions don't check ``self``);
* the slot list is a visible attribute ``cache_arr``;
* the type name in messages is ``Cache``, not the extension's dotted name.
"""

import warnings

from umbo_ui.core.enums import CacheType

__all__ = ["Cache", "CacheType", "CHECKSUM", "__pyx_unpickle_Cache"]

SLOTS = 32
CHECKSUM = 0xBD51CB4
_ACCEPTED_CHECKSUMS = (0xBD51CB4, 0xE95C4D5, 0xC883660)

_NONE_SLOTS = "'NoneType' object is not subscriptable"
_BAD_KEY = "The key for cache access must be of type CacheType"
_EMPTY_STATE = "empty Cache state: expected (cache_arr,) or (cache_arr, __dict__)"
_HEAPTYPE = 1 << 9
# The module built to run without the GIL empties slots in one pass and
# releases their values afterwards; whoever tests such a build sets this.
ATOMIC_CLEARS = False


def _type_name(obj):
    """The name the interpreter prints for ``type(obj)`` (its ``tp_name``)."""
    t = type(obj)
    if t.__flags__ & _HEAPTYPE or t.__module__ == "builtins":
        return t.__name__
    return f"{t.__module__}.{t.__name__}"


def _to_int(value):
    """An exact ``int`` from an ``int`` subclass or through the type's ``__int__``."""
    if issubclass(type(value), int):
        return int.__int__(value)
    convert = getattr(type(value), "__int__", None)
    if convert is None:
        raise TypeError("an integer is required")
    result = convert(value)
    if type(result) is int:
        return result
    if not issubclass(type(result), int):
        raise TypeError(f"__int__ returned non-int (type {_type_name(result)})")
    warnings.warn(
        f"__int__ returned non-int (type {_type_name(result)}).  The ability to return "
        "an instance of a strict subclass of int is deprecated, and may be removed in "
        "a future version of Python.",
        DeprecationWarning,
        stacklevel=2,
    )
    return int.__int__(result)


def _as_int32(value):
    if type(value) is not int:
        value = _to_int(value)
    if -0x80000000 <= value <= 0x7FFFFFFF:
        return value
    if -(1 << 60) < value < (1 << 60):
        raise OverflowError("value too large to convert to int")
    raise OverflowError("Python int too large to convert to C int")


def _as_int64(value):
    if type(value) is not int:
        value = _to_int(value)
    if -(1 << 63) <= value < (1 << 63):
        return value
    raise OverflowError("int too big to convert")


def _index_of(key):
    """The slot index `key` names: its ``value``, converted unless an int already."""
    idx = key.value
    return idx if idx.__class__ is int else _as_int32(idx)


def _read(arr, idx):
    """Slot ``idx`` of ``arr``, or the error the native read raises."""
    if arr is not None and 0 <= idx < len(arr):
        return arr[idx]
    _bad_read(arr, idx)


def _bad_read(arr, idx):
    """Raise the error of a slot read at ``idx`` that the fast path refused."""
    _as_int32(idx)
    if arr is None:
        raise TypeError(_NONE_SLOTS)
    raise IndexError(f"cache slot index {idx} out of range (the slot list holds {len(arr)} entries)")


def _bad_store(arr, idx):
    """Raise the error of a slot store at ``idx`` that the fast path refused."""
    _as_int32(idx)
    if arr is None:
        raise TypeError(_NONE_SLOTS)
    raise IndexError("list assignment index out of range")


def _slot_indexes(keys):
    """The slot indexes 0..31 that the keys of a list name."""
    named = set()
    for key in keys:
        idx = key.value
        if type(idx) is not int or not -0x80000000 <= idx <= 0x7FFFFFFF:
            idx = _as_int32(idx)
        if 0 <= idx < SLOTS:
            named.add(idx)
    return named


def _set_state(inst, state):
    if not state:
        raise ValueError(_EMPTY_STATE)
    arr = state[0]
    if arr is not None and type(arr) is not list:
        raise TypeError(f"Expected list, got {_type_name(arr)}")
    inst.cache_arr = arr
    if len(state) > 1 and state[1]:
        extra = state[1]
        try:
            attrs = object.__getattribute__(inst, "__dict__")
        except AttributeError:
            raise AttributeError("This object has no __dict__") from None
        if type(attrs) is not dict or isinstance(extra, dict):
            attrs.update(extra)
        else:
            # A plain dict takes only a mapping here, not a sequence of pairs.
            for name in extra.keys():
                attrs[name] = extra[name]


def __pyx_unpickle_Cache(__pyx_type, __pyx_checksum, __pyx_state):
    """Rebuild a pickled ``Cache`` (the reconstructor that ``__reduce__`` names)."""
    checksum = _as_int64(__pyx_checksum)
    if __pyx_state is not None and type(__pyx_state) is not tuple:
        raise TypeError(f"Argument '__pyx_state' has incorrect type (expected tuple, got {_type_name(__pyx_state)})")
    if checksum not in _ACCEPTED_CHECKSUMS:
        from pickle import PickleError

        raise PickleError(
            "Incompatible checksums (0x%x vs (0xbd51cb4, 0xe95c4d5, 0xc883660) = (cache_arr))" % (checksum & 0xFFFFFFFF)
        )
    if not isinstance(__pyx_type, type):
        raise TypeError(f"Cache.__new__(X): X is not a type object ({_type_name(__pyx_type)})")
    if not issubclass(__pyx_type, Cache):
        raise TypeError(f"Cache.__new__({__pyx_type.__name__}): {__pyx_type.__name__} is not a subtype of Cache")
    inst = Cache.__new__(__pyx_type)
    if __pyx_state is not None:
        _set_state(inst, __pyx_state)
    return inst


_reconstruct = __pyx_unpickle_Cache


def _setstate(self, __pyx_state):
    if __pyx_state is None:
        raise TypeError("cannot pass None into a C function argument that is declared 'not None'")
    if type(__pyx_state) is not tuple:
        raise TypeError(f"Expected tuple, got {_type_name(__pyx_state)}")
    _set_state(self, __pyx_state)


_setstate.__name__ = "__setstate__"
_setstate.__qualname__ = "Cache.__setstate__"


class Cache:
    """32 slots addressed by ``CacheType`` members; ``None`` marks an empty slot."""

    __slots__ = ("cache_arr",)

    def __init__(self):
        self.cache_arr = [None] * SLOTS

    # -- keyed access -------------------------------------------------------

    def get(self, type):
        if type is None:
            raise TypeError("Argument 'type' must not be None")
        idx = _index_of(type)  # first: the key's value may replace the slot list
        return _read(self.cache_arr, idx)

    def set(self, type, value):
        idx = _index_of(type)
        arr = self.cache_arr
        if arr is not None and 0 <= idx < len(arr):
            arr[idx] = value
            return
        _bad_store(arr, idx)

    def clear(self):
        self._empty(range(SLOTS))

    def _empty(self, indexes):
        if ATOMIC_CLEARS:
            # One pass over the list as it is; the values are released once
            # the pass is done, so finalisers see the whole clear.  With no
            # slot selected no list is read, as slot by slot.
            if not indexes:
                return
            arr = self.cache_arr
            if arr is None:
                raise TypeError(_NONE_SLOTS)
            released, past_end = [], False
            for i in indexes:
                past_end = i >= len(arr)
                if past_end:
                    break
                released.append(arr[i])
                arr[i] = None
            released.reverse()  # a list releases its items from the last one:
            del released  # this releases them in ascending order
            if past_end:
                raise IndexError("list assignment index out of range")
            return
        # The list is read anew for every slot and not held between stores:
        # a finaliser run by a store may replace it.
        for i in indexes:
            if self.cache_arr is None:
                raise TypeError(_NONE_SLOTS)
            self.cache_arr[i] = None

    def __getitem__(self, key):
        if not isinstance(key, CacheType):
            raise TypeError(_BAD_KEY)
        arr = self.cache_arr
        if arr is None:
            raise TypeError(_NONE_SLOTS)
        idx = _index_of(key)
        if 0 <= idx < len(arr):
            return arr[idx]
        _bad_read(arr, idx)

    def __getattr__(self, name, /):
        if name.__class__ is not str and name is not None:
            raise TypeError(f"Argument 'type' has incorrect type (expected str, got {_type_name(name)})")
        if name not in CacheType.__members__:
            if name == "cache_arr":
                # The slot of an instance that never ran __init__ reads as None.
                return None
            raise AttributeError(name)
        arr = self.cache_arr
        if arr is None:
            raise TypeError(_NONE_SLOTS)
        return _read(arr, _index_of(CacheType[name]))

    # -- fill on miss -------------------------------------------------------

    def get_or_set_val(self, type, value):
        idx = _index_of(type)
        arr = self.cache_arr
        current = _read(arr, idx)
        if current is not None:
            return current
        arr[idx] = value
        return value

    def get_or_exec(self, type, func):
        if type is None:
            raise TypeError("Argument 'type' must not be None")
        if func is None:
            raise TypeError("Argument 'func' must not be None")
        idx = _index_of(type)
        current = _read(self.cache_arr, idx)
        if current is not None:
            return current
        # func may replace or empty the slot list: hold no reference to it
        # meanwhile, and store into whatever list the cache holds afterwards.
        result = func()
        if self.cache_arr is None:
            raise TypeError(_NONE_SLOTS)
        self.cache_arr[idx] = result
        del result
        arr = self.cache_arr
        if arr is None or idx >= len(arr):
            _bad_read(arr, idx)
        return arr[idx]

    # -- selective clearing -------------------------------------------------

    def clear_selected(self, blacklist=None, whitelist=None):
        if not blacklist:
            blacklist = []
        if not whitelist:
            whitelist = list(CacheType.__members__.values())
        if type(blacklist) is not list:
            raise TypeError(f"Expected list, got {_type_name(blacklist)}")
        if type(whitelist) is not list:
            raise TypeError(f"Expected list, got {_type_name(whitelist)}")
        keep = _slot_indexes(blacklist)
        self._empty(sorted(_slot_indexes(whitelist) - keep))

    # -- copies and pickling ------------------------------------------------

    def copy(self):
        arr = self.cache_arr
        if arr is None:
            raise TypeError(_NONE_SLOTS)
        new = Cache.__new__(Cache)
        new.cache_arr = arr[:]
        return new

    def __deepcopy__(self, memo):
        return self.copy()

    def __reduce__(self):
        arr = self.cache_arr
        attrs = getattr(self, "__dict__", None)
        if attrs:
            return _reconstruct, (type(self), CHECKSUM, None), (arr, attrs)
        if arr is not None:
            return _reconstruct, (type(self), CHECKSUM, None), (arr,)
        return _reconstruct, (type(self), CHECKSUM, (arr,))

    __reduce_cython__ = __reduce__
    __setstate__ = __setstate_cython__ = _setstate
