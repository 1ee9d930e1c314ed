"""What the benchmarks run: the operations, and the cache a user would write instead.

Both the instruction counts (instructions.py) and the timings (run.py) run
every operation on the native ``Cache`` and on two plain Python classes, the
baselines a user would write without the module:

- ``PlainCache``, the faithful one: method for method what the native cache
  does, written straight: ``__slots__``, ``self.cache_arr[key.value]`` in
  each method, member names looked up through ``CacheType.__members__`` at
  each access, ``clear()`` one slot at a time, default pickling.
- ``IdiomaticCache``, the idiomatic one: the same class with the two methods
  a user who tunes it writes differently, member names through a
  name-to-index dict built once and ``clear()`` as one slice assignment.
  Only the operations in ``IDIOMATIC`` differ, so only they are run on it.

Neither implements the native cache's error rules, so a ratio below 1 is a
real saving.
"""

import pickle
import platform
import sysconfig

from umbo_ui.core.enums import CacheType
from umbo_ui.fast.umbocache.umbocache import Cache


class PlainCache:
    __slots__ = ("cache_arr",)

    def __init__(self):
        self.cache_arr = [None] * 32

    def get(self, type):
        return self.cache_arr[type.value]

    def set(self, type, value):
        self.cache_arr[type.value] = value

    def __getitem__(self, key):
        if not isinstance(key, CacheType):
            raise TypeError("The key for cache access must be of type CacheType")
        return self.cache_arr[key.value]

    def __getattr__(self, name):
        if name in CacheType.__members__:
            return self.cache_arr[CacheType[name].value]
        raise AttributeError(name)

    def get_or_set_val(self, type, value):
        arr, idx = self.cache_arr, type.value
        if arr[idx] is None:
            arr[idx] = value
        return arr[idx]

    def get_or_exec(self, type, func):
        arr, idx = self.cache_arr, type.value
        if arr[idx] is None:
            arr[idx] = func()
        return arr[idx]

    def clear(self):
        arr = self.cache_arr
        for i in range(len(arr)):
            arr[i] = None

    def clear_selected(self, blacklist=None, whitelist=None):
        keep = {key.value for key in blacklist} if blacklist else set()
        chosen = {key.value for key in (whitelist or CacheType.__members__.values())}
        for i in chosen - keep:
            self.cache_arr[i] = None

    def copy(self):
        new = PlainCache.__new__(PlainCache)
        new.cache_arr = list(self.cache_arr)
        return new

    def __deepcopy__(self, memo):
        return self.copy()


# A member's name to its slot, built once when the class is defined.
_SLOT_OF_NAME = {name: member.value for name, member in CacheType.__members__.items()}


class IdiomaticCache(PlainCache):
    __slots__ = ()

    def __getattr__(self, name):
        try:
            return self.cache_arr[_SLOT_OF_NAME[name]]
        except KeyError:
            raise AttributeError(name) from None

    def clear(self):
        self.cache_arr[:] = [None] * 32


IMPLEMENTATIONS = {"native": Cache, "plain": PlainCache, "idiomatic": IdiomaticCache}
# The operations IdiomaticCache writes differently from PlainCache.
IDIOMATIC = ("cache.NAME", "clear()")


def baselines(operation):
    """The plain classes an operation is compared with: the faithful one, and the idiomatic one where it differs."""
    return ("plain", "idiomatic") if operation in IDIOMATIC else ("plain",)


class PlainKey:
    """A key that is not a member: an object with a `value` slot."""

    __slots__ = ("value",)

    def __init__(self, value):
        self.value = value


def _never_filled():
    return None


def namespace(impl, key_kind):
    """The globals an operation's statement runs in."""
    cls = IMPLEMENTATIONS[impl]
    key = CacheType.THEME if key_kind == "member" else PlainKey(CacheType.THEME.value)
    filled = cls()
    filled.set(key, "dark")
    members = list(CacheType)
    return {
        "Cache": cls,
        "pickle": pickle,
        "k": key,
        "empty": cls(),
        "filled": filled,
        "func": _never_filled,
        "blacklist": members[:3],
        "whitelist": members[3:11],
    }


# name, statement, key kinds
OPERATIONS = [
    ("get", "filled.get(k)", ("member", "plain")),
    ("set", "filled.set(k, 'dark')", ("member", "plain")),
    ("cache[key]", "filled[k]", ("member",)),
    ("cache.NAME", "filled.THEME", ("member",)),
    ("get_or_set_val hit", "filled.get_or_set_val(k, 1)", ("member", "plain")),
    ("get_or_exec hit", "filled.get_or_exec(k, func)", ("member", "plain")),
    ("get_or_exec miss", "empty.get_or_exec(k, func)", ("member", "plain")),
    ("clear_selected()", "filled.clear_selected()", ("member",)),
    ("clear_selected(3, 8)", "filled.clear_selected(blacklist, whitelist)", ("member",)),
    ("pickle round trip", "pickle.loads(pickle.dumps(filled, 5))", ("member",)),
    ("clear()", "empty.clear()", ("member",)),
    ("copy()", "filled.copy()", ("member",)),
    ("Cache()", "Cache()", ("member",)),
]


def cases(only=()):
    """(operation, statement, key kind) of every row, or of the named operations only."""
    for name, stmt, key_kinds in OPERATIONS:
        if not only or name in only:
            for key_kind in key_kinds:
                yield name, stmt, key_kind


def print_header(title, width):
    """The title line and column heads of a results table."""
    print(host_description(), "-", title)
    header = f"{'operation':22} {'key':6} {'native':>{width}} {'plain':>{width}} {'ratio':>6}"
    print(header)
    print("-" * len(header))


def host():
    """A short name of this interpreter, such as "3.12" or "3.15t"."""
    major, minor, _ = platform.python_version_tuple()
    return f"{major}.{minor}" + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")


def build():
    """ "GIL", "free-threaded", with ", debug" for a debug build."""
    build = "free-threaded" if sysconfig.get_config_var("Py_GIL_DISABLED") else "GIL"
    return build + (", debug" if sysconfig.get_config_var("Py_DEBUG") else "")


def host_description():
    return f"CPython {platform.python_version()} ({build()} build), {platform.machine()}"
