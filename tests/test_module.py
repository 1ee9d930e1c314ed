"""Start-up of the umbocache extension: namespace, function objects and import paths."""

import ast
import builtins
import copyreg
import ctypes
import inspect
import os
import pickle
import shutil
import subprocess
import sys
import sysconfig
import textwrap
import types

import pytest

from conftest import BUILT_WITHOUT_GIL, FREE_THREADED_HOST, dumps_by_reduce_ex

NAME = "umbo_ui.fast.umbocache.umbocache"
GIL_WARNING = "The global interpreter lock"
SUBINTERPRETER_REFUSED = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process."
)
# (function, signature, further local names)
FUNCTIONS = [
    ("clear", "(self)", ()),
    ("clear_selected", "(self, blacklist=None, whitelist=None)", ()),
    ("get", "(self, type)", ()),
    ("set", "(self, type, value)", ()),
    ("get_or_set_val", "(self, type, value)", ()),
    ("get_or_exec", "(self, type, func)", ()),
    ("copy", "(self)", ("copy",)),
    ("__deepcopy__", "(self, memo)", ()),
    ("__reduce_cython__", "(self)", ("state", "_dict", "use_setstate")),
    ("__setstate_cython__", "(self, __pyx_state)", ()),
    ("__pyx_unpickle_Cache", "(__pyx_type, __pyx_checksum, __pyx_state)", ("__pyx_result",)),
]


def run(code, *flags):
    """Run code in a fresh interpreter; return the literal it prints last (None if it prints nothing)."""
    proc = subprocess.run(
        [sys.executable, *flags, "-c", f"NAME = {NAME!r}\n" + textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    return ast.literal_eval(proc.stdout.splitlines()[-1]) if proc.stdout.strip() else None


def test_namespace(mod, Cache):
    import umbo_ui.core.enums as enums

    names = ["__builtins__", "Cache", "CacheType", "__pyx_unpickle_Cache", "__test__"]
    # Insertion order is seen in a fresh process: other tests rebind CacheType.
    assert run(f"import {NAME} as m; print([n for n in vars(m) if n in {names!r}])") == names
    assert mod.__builtins__ is builtins and mod.Cache is Cache and mod.CacheType is enums.CacheType
    assert type(mod.__test__) is dict and mod.__test__ == {}
    assert mod.__doc__ is None and not hasattr(mod, "__path__")
    spec = mod.__spec__
    assert (mod.__file__, mod.__loader__, mod.__package__) == (spec.origin, spec.loader, "umbo_ui.fast.umbocache")


@pytest.mark.parametrize("name, signature, further", FUNCTIONS, ids=[row[0] for row in FUNCTIONS])
def test_function_objects(mod, Cache, cache, name, signature, further):
    is_method = name != "__pyx_unpickle_Cache"
    fn = vars(Cache)[name] if is_method else vars(mod)[name]
    assert (fn.__name__, fn.__qualname__) == (name, "Cache." + name if is_method else name)
    assert fn.__module__ == NAME and fn.__globals__ is vars(mod) and fn.__doc__ is None
    assert fn.__defaults__ == ((None, None) if name == "clear_selected" else None)
    params = tuple(p.split("=")[0] for p in signature[1:-1].split(", "))
    code, flags = fn.__code__, inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    assert code.co_varnames == params + further and code.co_flags & flags == flags
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (len(params), 0, 0)
    assert str(inspect.signature(fn)) == signature
    if is_method:  # plain on the class, bound on an instance
        bound = getattr(cache, name)
        assert getattr(Cache, name) is fn and isinstance(bound, types.MethodType)
        assert bound.__self__ is cache and bound.__func__ is fn
        assert str(inspect.signature(bound)) == signature.replace("self, ", "").replace("self", "")


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("name", ["get", "__pyx_unpickle_Cache"])
def test_function_objects_pickle_by_reference(mod, Cache, name, protocol):
    """Found in copyreg's dispatch table first, with the bytes the way through __reduce_ex__ gives."""
    fn = vars(mod)[name] if name == "__pyx_unpickle_Cache" else vars(Cache)[name]
    assert copyreg.dispatch_table.get(type(fn)) is vars(type(fn))["__reduce__"]
    assert pickle.dumps(fn, protocol) == dumps_by_reduce_ex(fn, protocol)
    assert pickle.loads(pickle.dumps(fn, protocol)) is fn


def test_type_dictionary(Cache):
    assert isinstance(vars(Cache)["__getattr__"], types.MethodDescriptorType)
    capsule = vars(Cache)["__pyx_vtable__"]
    assert type(capsule).__name__ == "PyCapsule" and Cache.__pyx_vtable__ is capsule
    is_valid = ctypes.PyDLL(None).PyCapsule_IsValid
    is_valid.argtypes = [ctypes.py_object, ctypes.c_char_p]
    assert is_valid(capsule, None) == 1  # a capsule without a name


def test_import_is_silent_when_the_host_version_matches():
    # A free-threaded host announces that the module turns its lock on; that
    # warning is the host's, not the version warning.
    ignore_gil = ("-W", f"ignore:{GIL_WARNING}:RuntimeWarning") if FREE_THREADED_HOST else ()
    assert run(f"import {NAME}", "-W", "error", *ignore_gil) is None


@pytest.mark.skipif(not FREE_THREADED_HOST, reason="needs a free-threaded CPython")
@pytest.mark.parametrize("forced", [None, "1"])
def test_gil_on_a_free_threaded_host(forced):
    """By default the module needs the GIL, so importing it turns the lock on;
    built with the free-threading option it leaves the lock off."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    if forced:
        env["PYTHON_GIL"] = forced
    code = f"""
        import sys, warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import {NAME}
        print(sys._is_gil_enabled(), any("{GIL_WARNING}" in str(w.message) for w in caught))
    """
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env, timeout=120
    )
    assert proc.returncode == 0, proc.stderr
    gil_on, warned = proc.stdout.split()
    if forced:
        assert (gil_on, warned) == ("True", "False")
    elif BUILT_WITHOUT_GIL:
        assert (gil_on, warned) == ("False", "False")
    else:
        assert (gil_on, warned) == ("True", "True")


def test_reimport_yields_the_same_module_and_type():
    assert (
        run("""
        import importlib, sys
        first = importlib.import_module(NAME)
        Cache, test = first.Cache, first.__test__
        del sys.modules[NAME]
        second = importlib.import_module(NAME)
        print((second is first, sys.modules[NAME] is first, second.Cache is Cache, second.__test__ is test,
               importlib.reload(first) is first, first.Cache is Cache))
    """)
        == (True,) * 6
    )


@pytest.mark.parametrize("main_first", [True, False], ids=["main-first", "sub-first"])
def test_only_the_first_interpreter_may_load_the_module(tmp_path, main_first):
    if not hasattr(pytest.importorskip("_testcapi"), "run_in_subinterp"):
        pytest.skip("this host cannot start a second interpreter from Python")
    out = str(tmp_path / "sub.txt")
    attempt = "try:\n    __import__(NAME); result = 'ok'\nexcept ImportError as exc:\n    result = str(exc)\n"
    sub = f"NAME = {NAME!r}\n{attempt}open({out!r}, 'w').write(result)\n"
    assert run(f"""
        import _testcapi
        def in_sub():
            _testcapi.run_in_subinterp({sub!r})
            return open({out!r}).read()
        def in_main():
            exec({attempt!r}, globals())
            return result
        print([in_main(), in_sub()] if {main_first} else [in_sub(), in_main()])
    """) == ["ok", SUBINTERPRETER_REFUSED]


EXIT_SCRIPT = """
import enum, sys
from umbo_ui.fast.umbocache.umbocache import Cache, CacheType
out = open(sys.argv[1], "w")  # buffered: written out when finalised
out.write("written")
class SlotKey:
    __slots__ = ("value",)
    def __init__(self, value):
        self.value = value
class DictKey:
    def __init__(self, value):
        self.value = value
Colour = enum.Enum("Colour", {"RED": 3})
cache = Cache()
"""


@pytest.mark.parametrize(
    "use",
    ["cache.get(SlotKey(1))", "cache.get(DictKey(2))", "cache.get(Colour.RED)", "cache.THEME; cache.clear_selected()"],
)
def test_nothing_the_script_made_outlives_it(tmp_path, use):
    """Keys and key types are read, never kept: the script's module is
    finalised at exit as it would be without the cache, so its file is flushed."""
    out = tmp_path / "out.txt"
    subprocess.run([sys.executable, "-c", EXIT_SCRIPT + use, str(out)], check=True, timeout=120)
    assert out.read_text() == "written"


EMBEDDING = r"""
#include <Python.h>
#include <stdio.h>

int main(void) {
    for (int round = 0; round < 2; ++round) {
        Py_Initialize();
        PyRun_SimpleString(
            "import os, site\n"
            "for d in os.environ['SITE_DIRS'].split(os.pathsep): site.addsitedir(d)\n"
            "try:\n"
            "    from umbo_ui.fast.umbocache.umbocache import Cache, CacheType\n"
            "    print(Cache().get_or_set_val(CacheType.THEME, 'used'))\n"
            "except ImportError as exc:\n"
            "    print(exc)\n");
        fflush(stdout);
        if (Py_FinalizeEx() < 0) return 1;
    }
    return 0;
}
"""


def test_a_new_interpreter_after_finalisation_is_refused(tmp_path):
    """Py_Initialize, Py_FinalizeEx and Py_Initialize again in one process: the
    module's state died with the first interpreter, so the second import fails
    cleanly instead of handing out a module that finalisation emptied."""
    compiler = shutil.which(sysconfig.get_config_var("CC").split()[0]) or shutil.which("cc")
    if not compiler:
        pytest.skip("needs a C compiler")
    var = sysconfig.get_config_var
    program, source = tmp_path / "embed", tmp_path / "embed.c"
    source.write_text(EMBEDDING)
    libdirs = [var("LIBPL"), var("LIBDIR")]
    link = [f"-L{d}" for d in libdirs] + [f"-Wl,-rpath,{var('LIBDIR')}", f"-lpython{var('LDVERSION')}"]
    link += (var("LIBS") + " " + var("SYSLIBS") + " " + var("LINKFORSHARED")).split()
    subprocess.run([compiler, str(source), "-o", str(program), f"-I{sysconfig.get_path('include')}", *link], check=True)
    site_dirs = os.pathsep.join(sysconfig.get_paths()[k] for k in ("purelib", "platlib"))
    env = dict(os.environ, PYTHONHOME=sys.base_prefix, SITE_DIRS=site_dirs)
    proc = subprocess.run([str(program)], capture_output=True, text=True, env=env, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["used", SUBINTERPRETER_REFUSED]


PREAMBLE = """
    import importlib, sys, traceback, types
    import umbo_ui.core
    sentinel, reads = object(), []
    class Enums(types.ModuleType):
        def __getattribute__(self, name):
            reads.append(name)
            return super().__getattribute__(name)
    fake = sys.modules["umbo_ui.core.enums"] = Enums("umbo_ui.core.enums")
"""


@pytest.mark.parametrize(
    "setup, expected, imports",
    [
        ("fake.CacheType = sentinel", "sentinel", False),
        ("fake.__name__ = 'elsewhere'; sys.modules['elsewhere.CacheType'] = sentinel", "sentinel", True),
    ],
    ids=["attribute", "registry-entry"],
)
def test_cache_type_binding(setup, expected, imports):
    binds, reads = run(
        PREAMBLE
        + textwrap.indent(textwrap.dedent(setup), "    ")
        + f"""
    reads.clear()
    module = importlib.import_module(NAME)
    print((module.CacheType is {expected}, reads))
    """
    )
    assert binds
    # An import with a from-list through the import system always asks the module for __path__;
    # a CacheType found on the registered module is taken without one.
    assert ("__path__" in reads) == imports


@pytest.mark.parametrize(
    "setup, error",
    [
        ("pass", "ImportError: cannot import name CacheType"),
        (
            "sys.modules['umbo_ui.core.enums'] = None",
            "ModuleNotFoundError: import of umbo_ui.core.enums halted; None in sys.modules",
        ),
    ],
    ids=["no-cache-type", "enums-unimportable"],
)
def test_failed_start_up_leaves_nothing_behind(setup, error):
    assert run(
        PREAMBLE
        + f"""
    {setup}
    try:
        importlib.import_module(NAME)
    except Exception as exc:
        failure = (f"{{type(exc).__name__}}: {{exc}}", traceback.extract_tb(exc.__traceback__)[-1].name)
    left_over = NAME in sys.modules
    del sys.modules["umbo_ui.core.enums"]
    module = importlib.import_module(NAME)
    import umbo_ui.core.enums as enums
    print((failure, left_over, module.CacheType is enums.CacheType, module.Cache.get.__globals__ is vars(module),
           module.Cache().get(next(iter(enums.CacheType))), module.__test__))
    """
    ) == ((error, "init " + NAME), False, True, True, None, {})


@pytest.mark.parametrize(
    "table, outcome",
    [("types.MappingProxyType({})", ("imported", True)), ("Interrupting()", "KeyboardInterrupt")],
    ids=["read-only", "interrupting"],
)
def test_a_dispatch_table_that_refuses_the_reduction(table, outcome):
    # Pickling then takes the way through __reduce_ex__; only a non-Exception fails the import.
    result = run(
        f"""
    import copy, copyreg, importlib, pickle, types
    class Interrupting(dict):
        def __setitem__(self, key, value):
            raise KeyboardInterrupt
    copyreg.dispatch_table = {table}
    try:
        module = importlib.import_module(NAME)
    except KeyboardInterrupt:
        print("'KeyboardInterrupt'")
    else:
        c = module.Cache()
        print(("imported", type(pickle.loads(pickle.dumps(c))) is type(copy.copy(c)) is module.Cache))
    """
    )
    assert result == outcome


@pytest.mark.parametrize("occupied", [True, False], ids=["entry-kept", "entry-added"])
def test_loading_under_another_name_registers_the_full_name_only_when_free(occupied):
    assert run(f"""
        import importlib.util, sys, types
        origin = importlib.util.find_spec(NAME).origin
        placeholder = sys.modules[NAME] = types.ModuleType(NAME)
        if not {occupied}:
            del sys.modules[NAME]
        spec = importlib.util.spec_from_file_location("umbocache", origin)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        print((sys.modules[NAME] is (placeholder if {occupied} else module), module.__name__,
               module.__file__ == origin, module.__package__, module.Cache.__name__))
    """) == (True, "umbocache", True, "", "Cache")


@pytest.mark.parametrize(
    "args, code, out, err",
    [
        ([], 0, "A Cache has 32 slots", ""),
        (["--help"], 0, "usage: python -m umbo_ui.fast.umbocache", ""),
        (["-h"], 0, "Runs a short tour", ""),
        (["--bogus"], 2, "", "unrecognized arguments: --bogus"),
        (["extra"], 2, "", "usage: python -m umbo_ui.fast.umbocache"),
    ],
    ids=["tour", "help", "h", "unknown-option", "stray-argument"],
)
def test_the_demo_command_line(tmp_path, args, code, out, err):
    proc = subprocess.run(
        [sys.executable, "-m", "umbo_ui.fast.umbocache", *args], capture_output=True, text=True, cwd=tmp_path
    )
    assert proc.returncode == code, proc.stderr
    assert out in proc.stdout and err in proc.stderr
    assert ("A Cache has" in proc.stdout) == (args == [])  # --help and errors don't run the tour
