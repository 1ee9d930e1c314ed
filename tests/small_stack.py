"""Recursion through every cache operation, by plain Python code, on a stack
that is small or that the thread doesn't own; run by the tests in a process
of its own.

    python small_stack.py STACK_KIB           a thread with a stack of STACK_KIB
    python small_stack.py main                the main thread, as it is
    python small_stack.py main-emfile         the same, with no free file descriptor
                                              at the first guarded call
    python small_stack.py main-lowered        the main thread, its stack limit lowered
                                              to 512 KiB after a guarded call
    python small_stack.py main-mapped-below   the main thread, a mapping 1.5 MiB below
                                              its top
    python small_stack.py above|below HELPER  a thread's fiber: a 512 KiB stack above
                                              or below the thread's own (HELPER: the
                                              compiled native_helpers/foreign_stack.c)
    python small_stack.py split HELPER        a fiber on one half of such a stack,
                                              started from inside a guarded call on a
                                              fiber on the other half
    python small_stack.py interleaved HELPER  the same, but started after two greenlets
                                              on the other half interleaved their
                                              guarded calls (see interleave())
    python small_stack.py raised-before|raised-after
                                              only the depth, on the main thread, its
                                              stack limit raised to 64 MiB (and the
                                              recursion limit lifted) before the
                                              module's import or after a guarded call

Runs every operation once, then each recursion.  Prints each scenario's name
and how it ended (the name of the exception, or "returned"), then how deep
the recursion through get_or_exec went; a crash leaves the names of the
scenarios before it.
"""

import copy
import ctypes
import mmap
import os
import pickle
import resource
import sys
import threading


def set_stack_limit(size):
    resource.setrlimit(resource.RLIMIT_STACK, (size, resource.getrlimit(resource.RLIMIT_STACK)[1]))


def raise_limits():
    """64 MiB of stack limit, and the recursion limit out of the way."""
    set_stack_limit(64 << 20)
    sys.setrecursionlimit(10**6)


def map_below_the_stack():
    """Maps 1 MiB ending 1.5 MiB below the main thread's stack top, well
    within its limit: the stack now ends there, less the kernel's gap."""
    libc = ctypes.CDLL(None)
    libc.getauxval.restype = ctypes.c_ulong
    libc.mmap.restype = ctypes.c_void_p
    libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_long]
    top = libc.getauxval(31)  # AT_EXECFN, the program name, at the top of the stack
    start = (top - (5 << 19)) & ~(mmap.PAGESIZE - 1)
    flags = mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS | 0x100000  # MAP_FIXED_NOREPLACE
    if libc.mmap(start, 1 << 20, mmap.PROT_READ | mmap.PROT_WRITE, flags, -1, 0) != start:
        print("no-mapping-placed", flush=True)


# Run before the import, which may make guarded calls itself.
BEFORE_IMPORT = {"raised-before": raise_limits, "main-mapped-below": map_below_the_stack}
if __name__ == "__main__" and sys.argv[1] in BEFORE_IMPORT:
    BEFORE_IMPORT[sys.argv[1]]()

from umbo_ui.fast.umbocache import umbocache as mod  # noqa: E402
from umbo_ui.fast.umbocache.umbocache import Cache, CacheType  # noqa: E402

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


ONE_MEMBER_STATE = pickle.dumps(Cache())


def setstate_near_the_end():
    """Unpickles a cache (its state has one member) where the stack has just
    refused a recursion: restoring that state runs no code and must succeed."""

    def func():
        try:
            return Cache().get_or_exec(KEY, func)
        except RecursionError:
            return pickle.loads(ONE_MEMBER_STATE)

    func()


# Operations that must succeed however near the stack's end they are.
NEAR_THE_END = {"setstate-one-member": setstate_near_the_end}


def recursion_depth():
    """How many get_or_exec calls deep a plain function's recursion went."""
    depth = 0

    def func():
        nonlocal depth
        depth += 1
        return Cache().get_or_exec(KEY, func)

    try:
        func()
    except RecursionError:
        pass
    return depth


def run_all():
    for name, scenario in {**operations(), **SCENARIOS, **NEAR_THE_END}.items():
        try:
            scenario()
            ended = "returned"
        except Exception as exc:
            ended = type(exc).__name__
        print(name, ended, flush=True)
    print("depth", recursion_depth(), flush=True)


def without_file_descriptors(call):
    """Runs `call` with every file descriptor taken."""
    taken = []
    try:
        while True:
            taken.append(os.open(os.devnull, os.O_RDONLY))
    except OSError:
        call()
    finally:
        for fd in taken:
            os.close(fd)


def one_guarded_call():
    Cache().get_or_exec(KEY, lambda: 1)


def interleave():
    """Greenlets A and B, each inside get_or_exec's func, end their calls in
    the order they began them: A's call switches to B, whose recursion runs
    until refused; there B lets A's call end, then calls once more, as deep."""
    from greenlet import greenlet

    def deepest():
        try:
            return Cache().get_or_exec(KEY, deepest)
        except RecursionError:
            a.switch()  # A's call ends, A with it; back here when resumed
            try:
                Cache().get_or_exec(KEY, int)
                ended = "returned"
            except RecursionError:
                ended = "RecursionError"
            print("interleaved-deeper", ended, flush=True)
            return 0

    b = greenlet(deepest)
    a = greenlet(lambda: Cache().get_or_exec(KEY, b.switch))
    a.switch()
    b.switch()
    assert a.dead and b.dead


def on_foreign_stack(helper, where):
    lib = ctypes.CDLL(helper)
    lib.run_on_foreign_stack.argtypes = [ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_void_p]
    lib.run_on_lower_half.argtypes = [ctypes.c_void_p]
    callbacks = []  # (each kept until the run ends)

    def callback(fn):
        callbacks.append(ctypes.CFUNCTYPE(None)(fn))
        return ctypes.cast(callbacks[-1], ctypes.c_void_p)

    def on_lower_half():
        assert lib.run_on_lower_half(callback(run_all)) == 0

    first = {
        "split": lambda: Cache().get_or_exec(KEY, on_lower_half),
        "interleaved": lambda: (interleave(), on_lower_half()),
    }.get(where, run_all)
    if lib.run_on_foreign_stack(512 * 1024, where != "below", where in ("split", "interleaved"), callback(first)) < 0:
        print("no-stack-placed", flush=True)


if __name__ == "__main__":
    where = sys.argv[1]
    if where == "main":
        run_all()
    elif where == "main-emfile":
        without_file_descriptors(one_guarded_call)
        run_all()
    elif where == "main-mapped-below":
        run_all()
    elif where == "main-lowered":
        one_guarded_call()
        set_stack_limit(512 * 1024)
        run_all()
    elif where.startswith("raised-"):
        if where == "raised-after":
            one_guarded_call()
            raise_limits()
        print("depth", recursion_depth(), flush=True)
    else:
        if where.isdigit():
            threading.stack_size(int(where) * 1024)
            target = run_all
        else:
            target = lambda: on_foreign_stack(sys.argv[2], where)  # noqa: E731
        thread = threading.Thread(target=target)
        thread.start()
        thread.join()
