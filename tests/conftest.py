"""Shared fixtures and helpers for the umbocache tests."""

import gc
import io
import json
import os
import pickle
import subprocess
import sys
import sysconfig
import traceback

import pytest

from umbo_ui.fast.umbocache.umbocache import Cache as _Cache

import reference

MODULE = "umbo_ui.fast.umbocache.umbocache"
CHECKSUM = 0xBD51CB4  # the layout checksum every pickle carries
NOT_SUBSCRIPTABLE = "'NoneType' object is not subscriptable"
FREE_THREADED_HOST = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
# Set by whoever built the module with UMBOCACHE_FREE_THREADING=ON.
BUILT_WITHOUT_GIL = os.environ.get("UMBOCACHE_FREE_THREADING") == "1"
# Such a build on a free-threaded host empties slots in one pass and releases
# their values afterwards, where the default empties them one by one.
ATOMIC_CLEARS = reference.ATOMIC_CLEARS = FREE_THREADED_HOST and BUILT_WITHOUT_GIL

# The free-threading build on a free-threaded host keeps the lock off for the
# whole session, unless PYTHON_GIL=1 asks for it: a module imported on the way
# (one the tests build, say) that turned it back on fails the run.
GIL_STAYS_OFF = FREE_THREADED_HOST and BUILT_WITHOUT_GIL and os.environ.get("PYTHON_GIL") != "1"


def pytest_sessionfinish(session, exitstatus):
    if GIL_STAYS_OFF and sys._is_gil_enabled():
        print("\nconftest: the GIL was turned on during the session", file=sys.stderr)
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


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


@pytest.fixture
def mypy_tool(tmp_path):
    """Runs ``python -m MODULE ARGS...`` for mypy or mypy.stubtest on this
    interpreter, outside the repository and with an empty configuration;
    skips the test where mypy isn't installed."""
    pytest.importorskip("mypy", reason="mypy is not installed")
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\n")

    def run(module, *args):
        flag = "--mypy-config-file" if module == "mypy.stubtest" else "--config-file"
        command = [sys.executable, "-m", module, *args, flag, str(config)]
        return subprocess.run(command, capture_output=True, text=True, cwd=tmp_path, timeout=300)

    return run


@pytest.fixture
def pyright_tool(tmp_path):
    """Runs pyright in strict mode on a file, against this interpreter's
    packages, outside the repository; answers the 1-based lines it flags
    (errors and warnings).  Skips the test where pyright isn't installed."""
    pytest.importorskip("pyright", reason="pyright is not installed")
    (tmp_path / "pyrightconfig.json").write_text('{"typeCheckingMode": "strict"}\n')

    def run(path):
        command = [sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", sys.executable]
        proc = subprocess.run(
            [*command, "--project", str(tmp_path), str(path)], capture_output=True, text=True, cwd=tmp_path, timeout=300
        )
        assert proc.returncode in (0, 1) and proc.stdout.startswith("{"), proc.stdout + proc.stderr
        found = json.loads(proc.stdout)["generalDiagnostics"]
        return {d["range"]["start"]["line"] + 1 for d in found if d["severity"] in ("error", "warning")}, proc.stdout

    return run


class Key:
    """A key that is not a CacheType member: any object with a `value`."""

    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"Key({self.value!r})"


class RaisingKey:
    """A key whose ``value`` raises."""

    @property
    def value(self):
        raise LookupError("no value today")


class Sub(_Cache):
    """A subclass with an instance dictionary."""


class RefSub(reference.Cache):
    """The reference twin of `Sub`."""


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


# What code that runs in the middle of an operation (a key's ``value``, a
# finaliser, a gc callback) may do to the cache the operation works on.
CACHE_ACTIONS = {
    "reinit": lambda c: c.__init__(),
    "drop-list": lambda c: c.__setstate__((None,)),
    "shrink-list": lambda c: c.__setstate__(([None] * 3,)),
    "clear": lambda c: c.clear(),
    "collect": lambda c: gc.collect(0),
}


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


def dumps_by_reduce_ex(obj, protocol):
    """What a pickler that ignores copyreg's dispatch table writes: the way through __reduce_ex__."""
    out = io.BytesIO()
    pickler = pickle.Pickler(out, protocol)
    pickler.dispatch_table = {}
    pickler.dump(obj)
    return out.getvalue()


def tb_entries(exc):
    """(function name, file name) of every traceback entry after the test's own frame."""
    return [(f.name, f.filename) for f in traceback.extract_tb(exc.__traceback__)[1:]]


def tb_names(exc):
    """The function names of the module's traceback entries, outermost first."""
    return [name for name, _ in tb_entries(exc)]
