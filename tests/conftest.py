"""Shared fixtures for the umbocache tests."""

import os
import sysconfig
import traceback

import pytest

from umbo_ui.fast.umbocache import reference

MODULE = "umbo_ui.fast.umbocache.umbocache"
FREE_THREADED_HOST = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# Set by whoever built the module with UMBOCACHE_FREE_THREADING=ON.
BUILT_WITHOUT_GIL = os.environ.get("UMBOCACHE_FREE_THREADING") == "1"
# Such a build on a free-threaded host empties slots in one pass and releases
# their values afterwards, where the default empties them one by one.
ATOMIC_CLEARS = reference.ATOMIC_CLEARS = FREE_THREADED_HOST and BUILT_WITHOUT_GIL


@pytest.fixture(scope="session")
def mod():
    import umbo_ui.fast.umbocache.umbocache as module

    return module


@pytest.fixture(scope="session")
def CacheType(mod):
    return mod.CacheType


@pytest.fixture(scope="session")
def Cache(mod):
    return mod.Cache


@pytest.fixture
def cache(Cache):
    return Cache()


class Key:
    """A key that is not a CacheType member: any object with a `value`."""

    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"Key({self.value!r})"


class StrSub(str):
    """A str subclass: names of this type take the slower, general paths."""


class IntLike:
    """Converts through ``__int__`` only: to `result`, or raising it if it is an exception type."""

    def __init__(self, result):
        self.result = result

    def __int__(self):
        if isinstance(self.result, type):
            raise self.result("bad int")
        return self.result


def tb_entries(exc):
    """(function name, file name) of every traceback entry after the test's own frame."""
    return [(f.name, f.filename) for f in traceback.extract_tb(exc.__traceback__)[1:]]


def tb_names(exc):
    """The function names of the module's traceback entries, outermost first."""
    return [name for name, _ in tb_entries(exc)]
