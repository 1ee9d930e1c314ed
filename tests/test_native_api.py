"""The native API: umbocache.h and the Cython declarations, used by modules
built at test time with only get_include(): those of tests/native_consumers/,
and the README's examples, taken from the README as a reader copies them."""

import importlib.util
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import warnings
from pathlib import Path

import pytest

from conftest import MODULE, Key

SOURCES = Path(__file__).parent / "native_consumers"
README = Path(__file__).parents[1] / "README.md"
WARNINGS = ["-Wall", "-Wextra", "-Werror"]


def include_dir():
    from umbo_ui.fast.umbocache import get_include

    return get_include()


def compiler():
    cc = (os.environ.get("CC") or sysconfig.get_config_var("CC") or "cc").split()[0]
    if shutil.which(cc) is None:
        pytest.skip(f"no C/C++ compiler ({cc}) on this machine")
    return cc


def readme_snippets(language):
    """The code blocks in `language` of the README's section on the native API."""
    section = README.read_text(encoding="utf-8").split("\n## Native API", 1)[1].split("\n## ", 1)[0]
    return re.findall(rf"^```{language}\n(.*?)^```$", section, re.M | re.S)


def build(tmp, source, extension):
    """Builds `extension` (setuptools `Extension(...)` source text) in `tmp`
    from `source`: a file of native_consumers/, or (name, text)."""
    compiler()
    pytest.importorskip("setuptools", reason="building the consumers needs setuptools")
    if isinstance(source, tuple):
        source, text = source
        (tmp / source).write_text(text)
    else:
        shutil.copy(SOURCES / source, tmp)
    script = (
        "from setuptools import setup, Extension\n"
        "try:\n    from Cython.Build import cythonize\nexcept ImportError:\n    pass\n"
        f"setup(name='consumer', ext_modules={extension})\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", script, "build_ext", "--inplace", "--build-temp", "build"],
        cwd=tmp,
        capture_output=True,
        text=True,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    name = Path(source).stem
    path = next(tmp.glob(f"{name}.*.so"), None) or next(tmp.glob(f"{name}*.pyd"))
    found = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(found)
    with warnings.catch_warnings():
        # Cython warns when the declared record is smaller than the type's.
        warnings.filterwarnings("error", message=".*size changed")
        found.loader.exec_module(module)
    return module


@pytest.fixture(scope="session")
def header_consumer(tmp_path_factory):
    inc = include_dir()
    flags = ["-std=c++17", *WARNINGS]
    return build(
        tmp_path_factory.mktemp("header"),
        "header_consumer.cpp",
        f"[Extension('header_consumer', ['header_consumer.cpp'], include_dirs=[{inc!r}],"
        f" language='c++', extra_compile_args={flags!r})]",
    )


def build_cython(tmp, source):
    cython = pytest.importorskip("Cython", reason="the Cython consumer needs Cython")
    inc = include_dir()
    name = Path(source if isinstance(source, str) else source[0]).stem
    try:
        return build(tmp, source, f"cythonize([Extension({name!r}, ['{name}.pyx'])], include_path=[{inc!r}])")
    except ImportError as exc:
        # Cython writes code for the C API of released CPythons; a
        # pre-release interpreter may lack a function it calls.
        if sys.version_info.releaselevel == "final" or "undefined symbol" not in str(exc):
            raise
        pytest.skip(f"Cython {cython.__version__} needs C API that this pre-release CPython lacks: {exc}")


@pytest.fixture(scope="session")
def cython_consumer(tmp_path_factory):
    return build_cython(tmp_path_factory.mktemp("cython"), "cython_consumer.pyx")


@pytest.fixture(scope="session", params=["C", "C++", "Cython"])
def readme_example(request, tmp_path_factory):
    """The README's example module in one language, built as the README says."""
    tmp = tmp_path_factory.mktemp("readme")
    if request.param == "Cython":
        [text] = readme_snippets("cython")
        return build_cython(tmp, ("measure.pyx", text))
    [text] = readme_snippets("c")
    suffix, std, language = (".c", "-std=c11", "c") if request.param == "C" else (".cpp", "-std=c++17", "c++")
    return build(
        tmp,
        ("measure" + suffix, text),
        f"[Extension('measure', ['measure{suffix}'], include_dirs=[{include_dir()!r}], language={language!r},"
        f" extra_compile_args={[std, *WARNINGS]!r})]",
    )


@pytest.fixture(params=["header", "cython"])
def api(request):
    return request.getfixturevalue(f"{request.param}_consumer")


def test_get_include_layout_and_light_package():
    inc = Path(include_dir())
    assert (inc / "umbocache.h").is_file()
    pxd = inc / "umbo_ui" / "fast" / "umbocache"
    assert (pxd / "umbocache.pxd").is_file()
    for level in (pxd, pxd.parent, pxd.parent.parent):
        assert (level / "__init__.pxd").is_file()
    code = (
        "import sys, umbo_ui.fast.umbocache as p; p.get_include();"
        f" print({MODULE!r} in sys.modules, 'umbo_ui.core.enums' in sys.modules)"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["False", "False"]


def test_header_compiles_as_c11(tmp_path):
    cc = compiler()
    cmd = [
        cc,
        "-std=c11",
        *WARNINGS,
        "-c",
        str(SOURCES / "header_c11.c"),
        "-I",
        include_dir(),
        "-I",
        sysconfig.get_paths()["include"],
        "-o",
        str(tmp_path / "c11.o"),
    ]
    done = subprocess.run(cmd, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def test_readme_finds_the_include_directory():
    [text] = readme_snippets("python")
    scope = {}
    exec(text, scope)
    assert Path(scope["umbo_ui"].fast.umbocache.get_include(), "umbocache.h").is_file()


def test_readme_example_works_as_described(readme_example, Cache, CacheType):
    measure = CacheType.MEASURE
    cache, held = readme_example.fresh("dark")
    assert type(cache) is Cache and held == "dark" and cache.get(measure) == "dark"
    assert readme_example.size(cache, lambda: pytest.fail("the slot is full")) == "dark"
    calls = []
    cache.clear()
    assert readme_example.size(cache, lambda: calls.append(1) or (30, 16)) == (30, 16)
    assert readme_example.size(cache, lambda: calls.append(1) or (0, 0)) == (30, 16) and calls == [1]
    with pytest.raises(TypeError):
        readme_example.size(object(), lambda: None)
    with pytest.raises(LookupError, match="measuring failed"):
        readme_example.size(Cache(), lambda: {}["measuring failed"])


def test_new_builds_ready_caches(api, Cache, CacheType):
    first, second = api.new(), api.new()
    assert type(first) is Cache
    assert api.slot_list(first) == [None] * 32
    assert api.slot_list(first) is not api.slot_list(second)
    assert all(first.get(k) is None for k in CacheType)


def test_instance_carries_the_imported_table(header_consumer, Cache):
    assert header_consumer.load() is Cache
    for cache in (Cache(), header_consumer.new(), Cache.__new__(Cache)):
        assert header_consumer.shares_table(cache)


def test_get_and_set_meet_the_python_methods(api, cache, CacheType):
    value, other = object(), object()
    assert api.set(cache, CacheType.THEME.value, value) is None
    assert cache.get(CacheType.THEME) is value
    assert api.slot_list(cache)[CacheType.THEME.value] is value
    cache.set(CacheType.LAYOUT, other)
    assert api.get(cache, CacheType.LAYOUT.value) is other
    assert api.get(cache, 14) is None  # a slot without a member
    api.set(cache, CacheType.THEME.value, None)
    assert cache.get(CacheType.THEME) is None


@pytest.mark.parametrize("held", [None, 0, "", "cached"])
def test_fill_on_miss(api, cache, CacheType, held):
    key = CacheType.MEASURE
    cache.set(key, held)
    made, calls = object(), []
    expect = made if held is None else held
    assert api.get_or_exec(cache, key.value, lambda: calls.append(1) or made) is expect
    assert calls == ([1] if held is None else [])
    assert api.get_or_set_val(cache, key.value, object()) is expect
    assert cache.get(key) is expect


def test_failing_function_leaves_the_slot_empty(api, cache):
    def boom():
        raise LookupError("boom")

    with pytest.raises(LookupError, match="boom"):
        api.get_or_exec(cache, 5, boom)
    assert api.get_or_exec(cache, 5, lambda: 7) == 7


def test_clear_and_clear_selected(api, cache, CacheType):
    for k in CacheType:
        cache.set(k, k.name)
    kept, reset = CacheType.THEME, CacheType.LAYOUT
    api.clear_selected(cache, [], [])
    assert all(cache.get(k) == k.name for k in CacheType)
    api.clear_selected(cache, [kept, Key(-1)], [kept, reset, reset, Key(40)])
    assert cache.get(reset) is None and cache.get(kept) == kept.name
    assert sum(cache.get(k) is None for k in CacheType) == 1
    assert api.clear(cache) is None
    assert api.slot_list(cache) == [None] * 32


def test_results_are_new_references(api, cache):
    value = object()
    api.set(cache, 9, value)
    before = sys.getrefcount(value)
    for _ in range(200):
        api.get(cache, 9)
        api.get_or_set_val(cache, 9, None)
        api.get_or_exec(cache, 9, object)
    assert sys.getrefcount(value) == before


NOT_SUBSCRIPTABLE = (TypeError, "'NoneType' object is not subscriptable")


@pytest.mark.parametrize(
    "call, uninitialised, error",
    [
        (lambda api, c: api.set(c, 32, "x"), False, (IndexError, "out of range")),
        (lambda api, c: api.set(c, -1, "x"), False, (IndexError, "out of range")),
        (lambda api, c: api.get(c, 32), False, (IndexError, "out of range")),
        (lambda api, c: api.get_or_set_val(c, -1, "x"), False, (IndexError, "out of range")),
        (lambda api, c: api.clear_selected(c, None, []), False, (TypeError, "not iterable")),
        (lambda api, c: api.clear_selected(c, [], [Key(1), object()]), False, (AttributeError, "value")),
        (lambda api, c: api.get(c, 0), True, NOT_SUBSCRIPTABLE),
        (lambda api, c: api.set(c, 0, "x"), True, NOT_SUBSCRIPTABLE),
        (lambda api, c: api.clear(c), True, NOT_SUBSCRIPTABLE),
        (lambda api, c: api.clear_selected(c, [], [Key(0)]), True, NOT_SUBSCRIPTABLE),
        (lambda api, c: api.get_or_set_val(c, 0, "x"), True, NOT_SUBSCRIPTABLE),
        (lambda api, c: api.get_or_exec(c, 0, object), True, NOT_SUBSCRIPTABLE),
    ],
)
def test_failures_reach_the_caller(api, Cache, call, uninitialised, error):
    cache = Cache.__new__(Cache) if uninitialised else Cache()
    if not uninitialised:
        cache.set(Key(1), "one")
    with pytest.raises(error[0], match=error[1]):
        call(api, cache)
    if not uninitialised:
        assert api.slot_list(cache) == [None, "one"] + [None] * 30


FOREIGN = "is not the module's own Cache type"


@pytest.mark.parametrize(
    "replacement, error",
    [
        (lambda Cache: 42, FOREIGN),
        (lambda Cache: type("Sub", (Cache,), {"__slots__": ()}), FOREIGN),
        # the record's size and a real table, but an unrelated class
        (lambda Cache: type("Cache", (), {"__slots__": ("a", "b"), "__pyx_vtable__": Cache.__pyx_vtable__}), FOREIGN),
        (lambda Cache: type("Wide", (Cache,), {"__slots__": ("extra",)}), FOREIGN),
    ],
)
def test_import_accepts_only_the_module_own_type(header_consumer, mod, Cache, monkeypatch, replacement, error):
    monkeypatch.setattr(mod, "Cache", replacement(Cache))
    with pytest.raises(ImportError, match=error):
        header_consumer.load()
    monkeypatch.undo()
    assert header_consumer.load() is Cache


def test_import_reports_a_missing_module(header_consumer, monkeypatch):
    monkeypatch.setitem(sys.modules, MODULE, None)
    with pytest.raises(ImportError):
        header_consumer.load()
