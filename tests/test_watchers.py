"""What the module checks once and trusts until a watcher tells of a change
(3.12+): every change the direct reads depend on, made after the first calls
(once the checks have passed), shows in the next call as it does in the plain
class; the watchers are what make it show; and with no watcher free, or with
other libraries' watchers beside them, the answers stay the same."""

import enum
import pathlib
import subprocess
import sys
import threading

import pytest

import reference
from conftest import BUILT_WITHOUT_GIL, Key

PROPERTY = vars(enum.Enum)["value"]
MEMBERS = vars(type(enum.Enum))["__members__"]
METACLASS = type(enum.Enum)
# Where a watcher of the value property's dictionary hears of stores into it.
WATCHED_PROPERTY = sys.version_info >= (3, 14) or sys.version_info >= (3, 13, 1)


def plus_one(self):
    return self._value_ + 1


def rebound(*args):
    return reference.__pyx_unpickle_Cache(*args)


def battery(Cache, T):
    """The outcome of each keyed operation on a filled cache, and the slots after it."""

    def run(op):
        cache = Cache()
        cache.__setstate__(([f"slot {i}" for i in range(32)],))
        try:
            result = op(cache)
        except Exception as exc:
            return type(exc).__name__
        return result, [cache.get(Key(i)) for i in range(32)]

    ops = [
        lambda c: c.get(T.THEME),
        lambda c: c.set(T.THEME, "new"),
        lambda c: c[T.THEME],
        lambda c: c.THEME,
        lambda c: c.get_or_exec(T.THEME, int),
        lambda c: c.clear_selected(),
        lambda c: c.clear_selected([T.LAYOUT], [T.THEME, T.LAYOUT, Key(9)]),
        lambda c: c.__reduce__()[0].__name__,
    ]
    return [run(op) for op in ops]


def _rebind(mod, mp, name, value, plain_name=None):
    mp.setattr(mod, name, value)
    mp.setattr(reference, plain_name or name, value)


def _members_getter(mp, undo):
    saved = MEMBERS.fget
    MEMBERS.__init__(lambda cls: {"THEME": cls.LAYOUT})
    undo.append(lambda: MEMBERS.__init__(saved))


def _name_under_value(undo):
    type.__setattr__(enum.Enum, "value", vars(enum.Enum)["name"])  # enum's own `name` property
    undo.append(lambda: type.__setattr__(enum.Enum, "value", PROPERTY))


# Each makes one change (undone by the monkeypatch or by `undo`).
PATCHES = {
    "getter": lambda mod, mp, undo: mp.setattr(PROPERTY, "fget", plus_one),
    "getter-code": lambda mod, mp, undo: mp.setattr(PROPERTY.fget, "__code__", plus_one.__code__),
    "property-dict": lambda mod, mp, undo: mp.setattr(PROPERTY, "__dict__", {**vars(PROPERTY), "fget": plus_one}),
    "property-get": lambda mod, mp, undo: mp.setattr(type(PROPERTY), "__get__", lambda s, i, o=None: 5),
    "property-get-code": lambda mod, mp, undo: mp.setattr(
        vars(type(PROPERTY))["__get__"], "__code__", (lambda s, i, o=None: 5).__code__
    ),
    "property-base": lambda mod, mp, undo: mp.setattr(
        type(PROPERTY).__mro__[-2],
        "__getattribute__",
        lambda s, n: plus_one if n == "fget" else object.__getattribute__(s, n),
    ),
    "name-under-value": lambda mod, mp, undo: _name_under_value(undo),
    "members-getter": lambda mod, mp, undo: _members_getter(mp, undo),
    "mapping-proxy": lambda mod, mp, undo: mp.setattr(enum, "MappingProxyType", lambda m: {"LAYOUT": m["LAYOUT"]}),
    "getitem": lambda mod, mp, undo: mp.setattr(METACLASS, "__getitem__", lambda cls, name: cls._member_map_["LAYOUT"]),
    "member-map": lambda mod, mp, undo: mp.setitem(mod.CacheType._member_map_, "THEME", mod.CacheType.LAYOUT),
    "member-value": lambda mod, mp, undo: mp.setattr(mod.CacheType.THEME, "_value_", 5),
    "cachetype": lambda mod, mp, undo: _rebind(mod, mp, "CacheType", enum.Enum("Other", {"THEME": 9, "LAYOUT": 4})),
    "reconstructor": lambda mod, mp, undo: _rebind(mod, mp, "__pyx_unpickle_Cache", rebound, "_reconstruct"),
}


@pytest.mark.parametrize("patch", PATCHES.values(), ids=list(PATCHES))
def test_a_change_after_the_first_calls_is_seen(Cache, mod, monkeypatch, patch):
    T, undo = mod.CacheType, []
    for _ in range(2):  # the checks have passed and are kept
        assert battery(Cache, T) == battery(reference.Cache, T)
    try:
        patch(mod, monkeypatch, undo)
        assert battery(Cache, T) == battery(reference.Cache, T)
    finally:
        monkeypatch.undo()
        for step in undo:
            step()
    assert battery(Cache, T) == battery(reference.Cache, T)


@pytest.mark.parametrize("patch", ["getter", "mapping-proxy", "cachetype"])
def test_a_change_made_on_another_thread_is_seen(Cache, mod, monkeypatch, patch):
    """The watchers hear of a change on the thread that makes it, and every
    thread's next call sees it (without the GIL too)."""
    T = mod.CacheType
    battery(Cache, T)
    changer = threading.Thread(target=PATCHES[patch], args=(mod, monkeypatch, []))
    changer.start()
    changer.join()
    assert battery(Cache, T) == battery(reference.Cache, T)


WATCHING = r"""
import ctypes, enum, sys
sys.path.insert(0, sys.argv[1])
mode, places = sys.argv[2], sys.argv[3:]
api = ctypes.pythonapi
seen = []
callbacks = {
    "Dict": ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)(
        lambda *event: seen.append("dict") or 0),
    "Type": ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p)(lambda t: seen.append("type") or 0),
}

def add_all(kind, most=8):
    ids = []
    while len(ids) < most:
        try:
            ids.append(getattr(api, f"Py{kind}_AddWatcher")(callbacks[kind]))
        except RuntimeError:
            break
    return ids

def free_ids(kind):
    ids = add_all(kind)
    for i in ids:
        getattr(api, f"Py{kind}_ClearWatcher")(i)
    return set(ids)

PROPERTY = vars(enum.Enum)["value"]
others, shared = {}, mode == "shared"
if mode == "crowded":  # every slot taken before the import
    others = {kind: add_all(kind) for kind in ("Dict", "Type")}
if mode == "shared":  # other watchers on the same objects
    others = {kind: add_all(kind, 2) for kind in ("Dict", "Type")}
before = {kind: free_ids(kind) for kind in ("Dict", "Type")}
import umbo_ui.fast.umbocache.umbocache as mod
import reference, test_watchers as t
ours = {kind: before[kind] - free_ids(kind) for kind in ("Dict", "Type")}
if mode == "crowded":
    assert ours == {"Dict": set(), "Type": set()}, ours
    mode = "patches"
if mode == "shared":
    for kind, ids in others.items():
        for i in ids:
            for obj in (vars(mod), vars(enum), vars(PROPERTY), type(PROPERTY)):
                if (kind == "Type") == isinstance(obj, type):
                    getattr(api, f"Py{kind}_Watch")(i, ctypes.py_object(obj))
    mode = "patches"

class FakeMonkeypatch:
    def __init__(self):
        self.undo_steps = []
    def setattr(self, obj, name, value):
        old = getattr(obj, name)
        setattr(obj, name, value)
        self.undo_steps.append(lambda: setattr(obj, name, old))
    def setitem(self, mapping, key, value):
        old = mapping[key]
        mapping[key] = value
        self.undo_steps.append(lambda: mapping.__setitem__(key, old))
    def undo(self):
        while self.undo_steps:
            self.undo_steps.pop()()

if mode == "patches":
    for name, patch in t.PATCHES.items():
        t.test_a_change_after_the_first_calls_is_seen(mod.Cache, mod, FakeMonkeypatch(), patch)
    assert not shared or {"dict", "type"} <= set(seen), seen
    for kind, ids in others.items():  # (before their callbacks go)
        for i in ids:
            getattr(api, f"Py{kind}_ClearWatcher")(i)
else:  # the watchers stand for the checks: unwatched, a change goes unseen
    T = mod.CacheType
    unwatched = {
        "property-dict": (vars(PROPERTY), "getter", lambda c: c.get(T.THEME)),
        "property-type": (type(PROPERTY), "property-get", lambda c: c.get(T.THEME)),
        "enum-globals": (vars(enum), "mapping-proxy", lambda c: c.THEME),
        "namespace": (vars(mod), "cachetype", lambda c: c[T.THEME]),
    }
    def outcome(Cache, op):
        cache = Cache()
        cache.__setstate__(([f"slot {i}" for i in range(32)],))
        try:
            return op(cache)
        except Exception as exc:
            return type(exc)

    for place in places:
        watched, patch, op = unwatched[place]
        kind = "Type" if isinstance(watched, type) else "Dict"
        (our_id,) = ours[kind]
        checked = [outcome(mod.Cache, op) for _ in range(2)]
        getattr(api, f"Py{kind}_Unwatch")(our_id, ctypes.py_object(watched))
        mp = FakeMonkeypatch()
        t.PATCHES[patch](mod, mp, [])
        # what was checked before the change, where the plain class sees it
        assert outcome(mod.Cache, op) == checked[0] != outcome(reference.Cache, op), place
        mp.undo()
print("ok")
"""


def run_watching(mode, *places):
    tests = pathlib.Path(__file__).parent
    proc = subprocess.run([sys.executable, "-c", WATCHING, str(tests), mode, *places], capture_output=True, text=True)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stderr[-3000:]


PLACES = {
    "property-dict": WATCHED_PROPERTY,
    "property-type": WATCHED_PROPERTY,
    "enum-globals": True,
    "namespace": not BUILT_WITHOUT_GIL,  # (without the GIL each call looks the name up)
}


@pytest.mark.skipif(sys.version_info < (3, 12), reason="hosts before 3.12 have no watchers")
@pytest.mark.parametrize("place", PLACES)
def test_the_watchers_stand_for_the_checks(place):
    """Once a check has passed, a change its watcher isn't told of goes
    unseen: this fails if the module went back to checking at every call."""
    if not PLACES[place]:
        pytest.skip("this host checks it at every call")
    run_watching("unwatched", place)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="hosts before 3.12 have no watchers")
@pytest.mark.parametrize("mode", ["crowded", "shared"])
def test_other_watchers_change_nothing(mode):
    """Every watcher slot taken before the import (each call checks), or
    other libraries' watchers on the same objects (both hear of changes)."""
    run_watching(mode)
