"""Every operation, and every way it can fail, repeated many times, leaks nothing.

Each case runs an operation a few times to warm up interpreter caches, then
ROUNDS more times, and requires the number of allocated memory blocks and the
reference counts of every object the operation touches (keys, values,
functions, caches, slot lists, the type and the reconstructor) to end where
they started.  A leak of one object per call shows up as ROUNDS blocks.  On a
debug build of the host the interpreter's total of references
(sys.gettotalrefcount(), what refleak hunters count) must end there too: it
also sees a reference leaked on an object nobody tracks, and a module whose
reference counting the debug build can't see.
"""

import array
import copy
import functools
import gc
import pickle
import sys
import traceback

import pytest

from umbo_ui.fast.umbocache import umbocache as mod
from umbo_ui.fast.umbocache.umbocache import Cache, CacheType

from conftest import CHECKSUM, IntLike, Key, RaisingKey, StrSub, Sub

ROUNDS = 200
WARMUP = 20
UNPICKLE = getattr(mod, "__pyx_unpickle_Cache")
THEME, LAYOUT = CacheType.THEME, CacheType.LAYOUT


class Value:
    pass


class Scene:
    """The objects the operations work on, all tracked for reference counts."""

    def __init__(self):
        self.v = Value()
        self.f = lambda: self.v
        self.c = Cache()
        self.c.set(THEME, self.v)
        self.c.set(Key(14), self.v)
        self.arr = self.c.__reduce__()[2][0]
        self.scratch = Cache()
        self.uninit = Cache.__new__(Cache)
        self.short = Cache()
        self.short.__setstate__(([None] * 3,))
        self.sub = Sub()
        self.sub.attr = self.v
        self.lst = [None] * 32
        self.lst3 = [None] * 3
        self.state = {"a": 1}
        self.bl = [THEME, Key(14), THEME]
        self.wl = [LAYOUT, THEME, Key(14), Key(40), Key(-1), Key(2**31 - 1)]
        self.keys = {
            "plain": Key(3),
            "float": Key(2.5),
            "str": Key("3"),
            "big": Key(2**40),
            "huge": Key(2**70),
            "neg": Key(-1),
            "out": Key(32),
            "intlike": Key(IntLike(3)),
            "int_raises": Key(IntLike(KeyError)),
            "non_int": Key(IntLike("3")),
            "raising": RaisingKey(),
            "none_value": Key(None),
        }
        self.bad_keys = ["str", "big", "huge", "neg", "out", "int_raises", "non_int", "raising", "none_value"]

    def tracked(self):
        return [
            self.v,
            self.f,
            self.c,
            self.arr,
            self.scratch,
            self.uninit,
            self.short,
            self.sub,
            self.lst,
            self.lst3,
            self.state,
            self.bl,
            self.wl,
            THEME,
            LAYOUT,
            Cache,
            Sub,
            UNPICKLE,
            *self.keys.values(),
        ]


def raising():
    raise ValueError("boom")


def reset_then(t, key, op):
    t.c.set(key, None)
    return op()


def with_traceback(op):
    """Run a failing operation and walk and format its traceback."""
    try:
        op()
    except Exception as exc:
        traceback.extract_tb(exc.__traceback__)
        "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
        raise


def key_cases():
    """The key-taking operations with every kind of bad key."""
    cases = []
    for name in Scene().bad_keys:
        cases += [
            (f"get-{name}", Exception, lambda t, n=name: t.c.get(t.keys[n])),
            (f"set-{name}", Exception, lambda t, n=name: t.c.set(t.keys[n], t.v)),
            (f"get_or_set_val-{name}", Exception, lambda t, n=name: t.c.get_or_set_val(t.keys[n], t.v)),
            (f"get_or_exec-{name}", Exception, lambda t, n=name: t.c.get_or_exec(t.keys[n], t.f)),
            (f"clear_selected-{name}", Exception, lambda t, n=name: t.c.clear_selected([t.keys[n]])),
        ]
    return cases


CASES = [
    # keyed access
    ("get-hit", None, lambda t: t.c.get(THEME)),
    ("get-miss", None, lambda t: t.c.get(LAYOUT)),
    ("get-plain-key", None, lambda t: t.c.get(t.keys["plain"])),
    ("get-converted-keys", None, lambda t: (t.c.get(t.keys["float"]), t.c.get(t.keys["intlike"]))),
    ("get-none", TypeError, lambda t: t.c.get(None)),
    ("get-no-value", AttributeError, lambda t: t.c.get(3)),
    ("get-uninit", TypeError, lambda t: t.uninit.get(THEME)),
    ("get-short", IndexError, lambda t: t.short.get(THEME)),
    ("set-same", None, lambda t: t.c.set(THEME, t.v)),
    ("set-replace", None, lambda t: t.scratch.set(THEME, Value())),
    ("set-none-key", AttributeError, lambda t: t.c.set(None, t.v)),
    ("set-uninit", TypeError, lambda t: t.uninit.set(THEME, t.v)),
    ("set-short", IndexError, lambda t: t.short.set(THEME, t.v)),
    ("clear", None, lambda t: (t.scratch.set(THEME, t.v), t.scratch.clear())),
    ("clear-uninit", TypeError, lambda t: t.uninit.clear()),
    ("clear-short", IndexError, lambda t: t.short.clear()),
    ("subscript-hit", None, lambda t: t.c[THEME]),
    ("subscript-miss", None, lambda t: t.c[LAYOUT]),
    ("subscript-not-member", TypeError, lambda t: t.c[t.keys["plain"]]),
    ("subscript-int", TypeError, lambda t: t.c[3]),
    ("subscript-uninit", TypeError, lambda t: t.uninit[THEME]),
    ("subscript-short", IndexError, lambda t: t.short[THEME]),
    ("iterate", TypeError, lambda t: list(t.c)),
    ("contains", TypeError, lambda t: t.v in t.c),
    # attribute access
    ("attr-member", None, lambda t: t.c.THEME),
    ("attr-method", None, lambda t: t.c.get),
    ("attr-missing", AttributeError, lambda t: t.c.nonexistent),
    ("attr-missing-default", None, lambda t: getattr(t.c, "nonexistent", None)),
    ("attr-dict-probe", None, lambda t: getattr(t.c, "__dict__", None)),
    ("attr-hasattr", None, lambda t: hasattr(t.c, "LAYOUT")),
    ("attr-str-subclass", TypeError, lambda t: getattr(t.c, StrSub("nonexistent"), None)),
    ("attr-direct", None, lambda t: t.c.__getattr__("THEME")),
    ("attr-direct-int", TypeError, lambda t: t.c.__getattr__(5)),
    ("attr-direct-none", AttributeError, lambda t: t.c.__getattr__(None)),
    ("attr-uninit", TypeError, lambda t: t.uninit.THEME),
    ("attr-short", IndexError, lambda t: t.short.THEME),
    ("attr-subclass-dict", None, lambda t: t.sub.attr),
    ("attr-set-missing", AttributeError, lambda t: setattr(t.c, "x", t.v)),
    # fill on miss
    ("get_or_set_val-hit", None, lambda t: t.c.get_or_set_val(THEME, 1)),
    ("get_or_set_val-miss", None, lambda t: reset_then(t, LAYOUT, lambda: t.c.get_or_set_val(LAYOUT, t.v))),
    ("get_or_set_val-none", None, lambda t: t.c.get_or_set_val(LAYOUT, None)),
    ("get_or_set_val-uninit", TypeError, lambda t: t.uninit.get_or_set_val(THEME, t.v)),
    ("get_or_exec-hit", None, lambda t: t.c.get_or_exec(THEME, t.f)),
    ("get_or_exec-miss", None, lambda t: reset_then(t, LAYOUT, lambda: t.c.get_or_exec(LAYOUT, t.f))),
    ("get_or_exec-new-object", None, lambda t: reset_then(t, LAYOUT, lambda: t.c.get_or_exec(LAYOUT, Value))),
    ("get_or_exec-returns-none", None, lambda t: t.c.get_or_exec(LAYOUT, lambda: None)),
    ("get_or_exec-raises", ValueError, lambda t: t.c.get_or_exec(LAYOUT, raising)),
    ("get_or_exec-not-callable", TypeError, lambda t: t.c.get_or_exec(LAYOUT, t.v)),
    ("get_or_exec-func-none", TypeError, lambda t: t.c.get_or_exec(LAYOUT, None)),
    ("get_or_exec-type-none", TypeError, lambda t: t.c.get_or_exec(None, t.f)),
    ("get_or_exec-builtin", None, lambda t: reset_then(t, LAYOUT, lambda: t.c.get_or_exec(LAYOUT, list))),
    ("get_or_exec-uninit", TypeError, lambda t: t.uninit.get_or_exec(THEME, t.f)),
    (
        "get_or_exec-drops-list",
        TypeError,
        lambda t: (t.scratch.__init__(), t.scratch.get_or_exec(THEME, lambda: t.scratch.__setstate__((None,)))),
    ),
    (
        "get_or_exec-shrinks-list",
        IndexError,
        lambda t: (t.scratch.__init__(), t.scratch.get_or_exec(THEME, lambda: t.scratch.__setstate__((t.lst3,)))),
    ),
    # selective clearing
    ("clear_selected-default", None, lambda t: t.scratch.clear_selected()),
    ("clear_selected-lists", None, lambda t: t.c.clear_selected(t.bl, t.wl)),
    ("clear_selected-keywords", None, lambda t: t.c.clear_selected(whitelist=t.wl, blacklist=t.bl)),
    ("clear_selected-blacklist-only", None, lambda t: (t.c.clear_selected(t.bl), t.c.set(LAYOUT, t.v))),
    ("clear_selected-empty", None, lambda t: t.c.clear_selected([], [])),
    ("clear_selected-tuple", TypeError, lambda t: t.c.clear_selected((THEME,))),
    ("clear_selected-true", TypeError, lambda t: t.c.clear_selected(None, True)),
    ("clear_selected-no-value", AttributeError, lambda t: t.c.clear_selected([THEME, 3])),
    ("clear_selected-uninit", TypeError, lambda t: t.uninit.clear_selected(None, [THEME])),
    ("clear_selected-short", IndexError, lambda t: t.short.clear_selected()),
    # copies
    ("copy", None, lambda t: t.c.copy()),
    ("copy-subclass", None, lambda t: t.sub.copy()),
    ("copy-uninit", TypeError, lambda t: t.uninit.copy()),
    ("deepcopy-method", None, lambda t: t.c.__deepcopy__({})),
    ("deepcopy-keyword", None, lambda t: t.c.__deepcopy__(memo=None)),
    ("copy.copy", None, lambda t: copy.copy(t.c)),
    ("copy.copy-subclass", None, lambda t: copy.copy(t.sub)),
    ("copy.deepcopy", None, lambda t: copy.deepcopy(t.c)),
    # pickling
    ("reduce", None, lambda t: t.c.__reduce__()),
    ("reduce-cython", None, lambda t: t.c.__reduce_cython__()),
    ("reduce-uninit", None, lambda t: t.uninit.__reduce__()),
    ("reduce-subclass", None, lambda t: t.sub.__reduce__()),
    ("pickle", None, lambda t: pickle.loads(pickle.dumps(t.c))),
    ("pickle-protocol-0", None, lambda t: pickle.loads(pickle.dumps(t.c, 0))),
    ("pickle-subclass", None, lambda t: pickle.loads(pickle.dumps(t.sub))),
    ("pickle-uninit", None, lambda t: pickle.loads(pickle.dumps(t.uninit))),
    ("setstate", None, lambda t: t.scratch.__setstate__((t.lst,))),
    ("setstate-keyword", None, lambda t: t.scratch.__setstate__(__pyx_state=(t.lst, {}))),
    ("setstate-cython", None, lambda t: t.scratch.__setstate_cython__((t.lst,))),
    ("setstate-none-list", None, lambda t: t.scratch.__setstate__((None,))),
    ("setstate-dict-no-dict", AttributeError, lambda t: t.scratch.__setstate__((t.lst, t.state))),
    ("setstate-subclass-dict", None, lambda t: t.sub.__setstate__((t.lst, t.state))),
    ("setstate-empty", ValueError, lambda t: t.scratch.__setstate__(())),
    ("setstate-none", TypeError, lambda t: t.scratch.__setstate__(None)),
    ("setstate-list", TypeError, lambda t: t.scratch.__setstate__(t.lst)),
    ("setstate-tuple-member", TypeError, lambda t: t.scratch.__setstate__(((None,),))),
    ("unpickle", None, lambda t: UNPICKLE(Cache, CHECKSUM, None)),
    ("unpickle-state", None, lambda t: UNPICKLE(Cache, CHECKSUM, (t.lst,))),
    ("unpickle-keywords", None, lambda t: UNPICKLE(__pyx_state=(t.lst,), __pyx_checksum=0xE95C4D5, __pyx_type=Cache)),
    ("unpickle-subclass", None, lambda t: UNPICKLE(Sub, 0xC883660, (t.lst, t.state))),
    ("unpickle-checksum", pickle.PickleError, lambda t: UNPICKLE(Cache, 1, None)),
    ("unpickle-huge-checksum", OverflowError, lambda t: UNPICKLE(Cache, 2**70, None)),
    ("unpickle-str-checksum", TypeError, lambda t: UNPICKLE(Cache, "x", None)),
    ("unpickle-list-state", TypeError, lambda t: UNPICKLE(Cache, CHECKSUM, t.lst)),
    ("unpickle-empty-state", ValueError, lambda t: UNPICKLE(Cache, CHECKSUM, ())),
    ("unpickle-bad-member", TypeError, lambda t: UNPICKLE(Cache, CHECKSUM, ((),))),
    ("unpickle-dict-no-dict", AttributeError, lambda t: UNPICKLE(Cache, CHECKSUM, (t.lst, t.state))),
    ("unpickle-not-a-subtype", TypeError, lambda t: UNPICKLE(int, CHECKSUM, None)),
    ("unpickle-arg-count", TypeError, lambda t: UNPICKLE(Cache, CHECKSUM)),
    # construction
    ("new", None, lambda t: Cache()),
    ("new-subclass", None, lambda t: Sub()),
    ("new-positional", TypeError, lambda t: Cache(1)),
    ("new-keyword", TypeError, lambda t: Cache(x=1)),
    ("new-both", TypeError, lambda t: Cache(1, x=1)),
    ("new-keyword-dict", TypeError, lambda t: Cache(**{"x": 1, "y": 2})),
    ("new-subclass-keyword", TypeError, lambda t: Sub(x=1)),
    ("__new__", None, lambda t: Cache.__new__(Cache)),
    ("__new__-arguments", None, lambda t: Cache.__new__(Cache, 1, 2, x=3)),
    ("__new__-many-arguments", None, lambda t: Cache.__new__(Cache, *range(6), **{f"k{i}": t.v for i in range(10)})),
    ("__new__-subclass", None, lambda t: Cache.__new__(Sub, x=t.v)),
    ("__new__-not-a-subtype", TypeError, lambda t: Cache.__new__(int)),
    ("__init__", None, lambda t: Cache.__init__(t.scratch)),
    ("__init__-empty-kwargs", None, lambda t: Cache.__init__(t.scratch, **{})),
    ("__init__-kwargs", TypeError, lambda t: Cache.__init__(t.scratch, **{"x": t.v})),
    ("__init__-many-kwargs", TypeError, lambda t: Cache.__init__(t.scratch, **{f"k{i}": t.v for i in range(10)})),
    ("__init__-positional", TypeError, lambda t: t.scratch.__init__(t.v)),
    # argument binding, bound and through the class
    ("bind-keyword", None, lambda t: t.c.get(type=THEME)),
    ("bind-keywords-reversed", None, lambda t: t.c.set(value=t.v, type=THEME)),
    ("bind-runtime-keyword", None, lambda t: t.c.get(**{"".join(["ty", "pe"]): THEME})),
    ("bind-str-subclass-keyword", None, lambda t: t.c.get(**{StrSub("type"): THEME})),
    ("bind-too-few", TypeError, lambda t: t.c.get()),
    ("bind-too-many", TypeError, lambda t: t.c.get(THEME, THEME)),
    ("bind-duplicate", TypeError, lambda t: t.c.get(THEME, type=THEME)),
    ("bind-duplicate-str-subclass", TypeError, lambda t: t.c.get(THEME, **{StrSub("type"): THEME})),
    ("bind-unexpected", TypeError, lambda t: t.c.get(key=THEME)),
    ("bind-unexpected-many", TypeError, lambda t: t.c.get_or_exec(THEME, t.f, x=t.v, y=t.v)),
    ("bind-missing-after-keyword", TypeError, lambda t: t.c.set(value=t.v)),
    ("bind-no-arguments-allowed", TypeError, lambda t: t.c.clear(t.v)),
    ("bind-no-keywords-allowed", TypeError, lambda t: t.c.copy(x=t.v)),
    ("bind-at-most", TypeError, lambda t: t.c.clear_selected(t.bl, t.wl, t.v)),
    ("bind-deepcopy-missing", TypeError, lambda t: t.c.__deepcopy__()),
    ("class-call", None, lambda t: Cache.get(t.c, THEME)),
    ("class-call-keyword", None, lambda t: Cache.set(t.c, value=t.v, type=THEME)),
    ("class-call-no-instance", TypeError, lambda t: Cache.get()),
    ("class-call-foreign", TypeError, lambda t: Cache.get(t.v, THEME)),
    ("class-call-foreign-none", TypeError, lambda t: Cache.clear(None)),
    ("class-call-foreign-setstate", TypeError, lambda t: Cache.__setstate__(t.v, (t.lst,))),
    ("class-call-foreign-copy", TypeError, lambda t: Cache.copy(t.lst)),
    ("class-call-deepcopy-foreign", AttributeError, lambda t: Cache.__deepcopy__(t.v, {})),
    ("class-call-subclass-instance", None, lambda t: Cache.get_or_exec(t.sub, THEME, t.f)),
    ("class-call-too-few", TypeError, lambda t: Cache.get(t.c)),
    ("class-call-too-many", TypeError, lambda t: Cache.get(t.c, THEME, THEME)),
    ("class-call-duplicate", TypeError, lambda t: Cache.set(t.c, THEME, value=t.v, type=THEME)),
    ("class-call-unexpected", TypeError, lambda t: Cache.clear_selected(t.c, x=t.v)),
    ("class-call-getattr", None, lambda t: Cache.__getattr__(t.c, "THEME")),
    ("class-call-getattr-foreign", TypeError, lambda t: Cache.__getattr__(t.v, "THEME")),
    ("class-call-unpickle-keywords-wrong", TypeError, lambda t: UNPICKLE(Cache, CHECKSUM, state=None)),
    ("partial-bound", None, lambda t: functools.partial(t.c.get, THEME)()),
    ("partial-class", None, lambda t: functools.partial(Cache.get, t.c)(THEME)),
    ("partial-keyword", None, lambda t: functools.partial(t.c.get_or_exec, func=t.f)(THEME)),
    ("partial-set", None, lambda t: functools.partial(t.c.set, THEME)(t.v)),
    ("partial-error", TypeError, lambda t: functools.partial(t.c.get, THEME)(THEME)),
    ("partial-class-foreign", TypeError, lambda t: functools.partial(Cache.get, t.v)(THEME)),
    ("partial-unpickle", None, lambda t: functools.partial(UNPICKLE, Cache)(CHECKSUM, None)),
    # traceback entries of failing operations
    ("traceback-get", IndexError, lambda t: with_traceback(lambda: t.c.get(t.keys["out"]))),
    ("traceback-set", TypeError, lambda t: with_traceback(lambda: t.uninit.set(THEME, t.v))),
    ("traceback-clear", IndexError, lambda t: with_traceback(lambda: t.short.clear())),
    ("traceback-get_or_exec", ValueError, lambda t: with_traceback(lambda: t.c.get_or_exec(LAYOUT, raising))),
    ("traceback-clear_selected", AttributeError, lambda t: with_traceback(lambda: t.c.clear_selected([3]))),
    ("traceback-getattr", TypeError, lambda t: with_traceback(lambda: t.uninit.THEME)),
    ("traceback-copy", TypeError, lambda t: with_traceback(lambda: t.uninit.__deepcopy__({}))),
    ("traceback-setstate", TypeError, lambda t: with_traceback(lambda: t.scratch.__setstate__(((),)))),
    ("traceback-unpickle", ValueError, lambda t: with_traceback(lambda: UNPICKLE(Cache, CHECKSUM, ()))),
    ("traceback-binding", TypeError, lambda t: with_traceback(lambda: t.c.get(key=THEME))),
    ("traceback-init", TypeError, lambda t: with_traceback(lambda: Cache(1))),
] + key_cases()


def run(op, t, expected):
    try:
        op(t)
    except Exception as exc:
        if expected is None or not isinstance(exc, expected):
            raise
    else:
        assert expected is None or expected is Exception, f"expected {expected.__name__}"


def repeat(op, t):
    # A frame of its own: a traceback through the caller's frame would make
    # the interpreter build a frame object for it that outlives the loop.
    for _ in range(ROUNDS):
        try:
            op(t)
        except Exception:
            pass


# The interpreter's total of references: debug builds only.
total_refs = getattr(sys, "gettotalrefcount", lambda: 0)


def leftovers(op, t, tracked):
    """Blocks, references in total and reference counts that ROUNDS more calls
    leave behind."""
    # Counts go into arrays so that no int object holding one stays alive
    # between the two measurements.
    blocks = array.array("q", [0, 0, 0, 0])
    refs = array.array("q", [0] * len(tracked))
    gc.collect()
    for i, obj in enumerate(tracked):
        refs[i] = sys.getrefcount(obj)
    blocks[0] = sys.getallocatedblocks()
    blocks[2] = total_refs()
    repeat(op, t)
    gc.collect()
    blocks[3] = total_refs()
    blocks[1] = sys.getallocatedblocks()
    for i, obj in enumerate(tracked):
        refs[i] = sys.getrefcount(obj) - refs[i]
    return blocks[1] - blocks[0], blocks[3] - blocks[2], list(refs)


# Objects that the whole interpreter shares: their counts move with unrelated work.
SINGLETONS = [None, True, False, (), "type", 0, 1]


@pytest.mark.parametrize("name, expected, op", CASES, ids=[c[0] for c in CASES])
def test_repeated_operation_leaks_nothing(name, expected, op):
    """A leak of one object or one reference per call leaves at least ROUNDS behind
    in every pass.  The interpreter's own caches (line cache of traceback
    formatting, pickle's module lookups) move the block count by a few dozen at
    most and not in every pass, so a pass that leaves less than ROUNDS // 4
    blocks passes; the objects of the scene must end exactly where they started."""
    t = Scene()
    for _ in range(WARMUP):
        run(op, t, expected)
    own = t.tracked()
    passes = []
    # Whatever exists now is left out of the collections below, which keeps them fast.
    gc.collect()
    gc.freeze()
    try:
        # A leak leaves its ROUNDS in every pass; the interpreter's caches
        # (3.11's traceback formatting warms up over a thousand calls) settle.
        for _ in range(6):
            passes.append(leftovers(op, t, own + SINGLETONS))
            blocks, total, refs = passes[-1]
            if blocks == 0 and total == 0 and not any(refs):
                return
    finally:
        gc.unfreeze()
    blocks = min(p[0] for p in passes)
    assert blocks < ROUNDS // 4, f"{[p[0] for p in passes]} blocks left after {ROUNDS} calls"
    total = min(p[1] for p in passes)
    assert total < ROUNDS // 4, f"sys.gettotalrefcount() grew by {[p[1] for p in passes]} over {ROUNDS} calls"
    for i, obj in enumerate(own + SINGLETONS):
        left = min(p[2][i] for p in passes)
        limit = 1 if i < len(own) else ROUNDS // 4
        assert left < limit, f"{obj!r:.60}: reference count grew by {[p[2][i] for p in passes]}"
