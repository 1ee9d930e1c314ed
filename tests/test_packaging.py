"""What the installed distribution carries: its own files only, version, licence, stubs, symbols."""

import importlib.metadata
import pathlib
import platform
import re
import shutil
import subprocess

import pytest

import umbo_ui.fast.umbocache as package
import umbo_ui.fast.umbocache.umbocache as extension

ALLOWLIST = pathlib.Path(__file__).with_name("stubtest-allowlist.txt")
CHANGELOG = pathlib.Path(__file__).parents[1] / "CHANGELOG.md"
DISTRIBUTION = "umbo-ui-umbocache"


def test_version_is_single_sourced():
    assert importlib.metadata.version(DISTRIBUTION) == package.__version__


def test_version_matches_the_changelog():
    """The newest heading is a dated release, which the version names, or the
    unreleased next version, of which main builds a development release."""
    release, when = re.search(r"^## (\S+) \((.+)\)$", CHANGELOG.read_text(encoding="utf-8"), re.M).groups()
    if when == "unreleased":
        assert re.fullmatch(re.escape(release) + r"\.dev\d+", package.__version__), (release, package.__version__)
    else:
        assert re.fullmatch(r"\d{4}-\d\d-\d\d", when) and package.__version__ == release


def test_the_distribution_owns_only_its_own_package():
    """umbo_ui and umbo_ui.fast belong to the whole package, not to us."""
    files = importlib.metadata.files(DISTRIBUTION)
    dist_info = {f.parts[0] for f in files if f.parts[0].endswith(".dist-info")}
    outside = [str(f) for f in files if f.parts[0] not in dist_info and f.parts[:3] != ("umbo_ui", "fast", "umbocache")]
    assert files and outside == []


def test_the_licence_ships_with_the_metadata():
    metadata = importlib.metadata.metadata(DISTRIBUTION)
    assert metadata["License-Expression"] == "MIT"
    assert metadata.get_all("License-File") == ["LICENSE"]
    assert any(f.name == "LICENSE" for f in importlib.metadata.files(DISTRIBUTION))


def test_the_metadata_names_no_development_tools():
    """Test and typing tools are dependency groups of the source tree, not extras users see."""
    metadata = importlib.metadata.metadata(DISTRIBUTION)
    assert metadata.get_all("Provides-Extra") is None and metadata.get_all("Requires-Dist") is None


def test_stubs_ship_beside_the_extension():
    here = pathlib.Path(package.__file__).parent
    assert (here / "umbocache.pyi").is_file() and (here / "py.typed").is_file()


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_only_the_module_entry_points_are_exported():
    """The initialiser and the flag an embedding host sets; no C++ internals."""
    out = subprocess.run(["nm", "-D", "--defined-only", extension.__file__], capture_output=True, text=True, check=True)
    symbols = (line.split() for line in out.stdout.splitlines())
    # (AddressSanitizer adds an ODR indicator per exported variable)
    exported = sorted(f[-1] for f in symbols if f[1] in "TDBRVW" and not f[-1].startswith("__odr_asan"))
    assert exported == ["PyInit_umbocache", "__pyx_module_is_main_umbo_ui__fast__umbocache__umbocache"]


@pytest.mark.skipif(shutil.which("objdump") is None, reason="needs objdump")
@pytest.mark.skipif(
    platform.libc_ver()[0] != "glibc" or platform.machine() not in ("x86_64", "aarch64"),
    reason="the glibc symbol versions are pinned on x86-64 and aarch64 only",
)
def test_the_extension_loads_on_glibc_2_17():
    """Wheels are manylinux2014: no glibc symbol the module binds may be newer."""
    out = subprocess.run(["objdump", "-T", extension.__file__], capture_output=True, text=True, check=True)
    versions = {tuple(map(int, v.split("."))) for v in re.findall(r"\bGLIBC_(\d+(?:\.\d+)+)", out.stdout)}
    assert versions and max(versions) <= (2, 17), sorted(versions)


@pytest.mark.skipif(shutil.which("readelf") is None, reason="needs readelf")
def test_the_extension_needs_no_cxx_runtime():
    """Every wheel needs the same libraries: libc's, never libstdc++ (a guarded
    static initialiser pulled it into the 3.10 build alone)."""
    out = subprocess.run(["readelf", "-d", extension.__file__], capture_output=True, text=True, check=True)
    needed = re.findall(r"\(NEEDED\).*\[(.+)\]", out.stdout)
    if any(name.startswith(("libasan", "libtsan")) for name in needed):
        pytest.skip("a sanitizer's runtime brings the C++ runtime with it")
    assert needed and not [n for n in needed if n.startswith(("libstdc++", "libgcc_s"))], needed


def test_stubs_match_the_runtime(mypy_tool):
    proc = mypy_tool("mypy.stubtest", "umbo_ui.fast.umbocache.umbocache", "--allowlist", str(ALLOWLIST))
    assert proc.returncode == 0, proc.stdout + proc.stderr
