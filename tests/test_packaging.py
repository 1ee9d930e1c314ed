"""What the installed package carries beside the extension: version, stubs."""

import importlib.metadata
import pathlib
import subprocess
import sys

import pytest

import umbo_ui.fast.umbocache as package

ALLOWLIST = pathlib.Path(__file__).with_name("stubtest-allowlist.txt")


def test_version_is_single_sourced():
    assert importlib.metadata.version("umbo-ui-umbocache") == package.__version__


def test_stubs_ship_beside_the_extension():
    assert (pathlib.Path(package.__file__).parent / "umbocache.pyi").is_file()
    assert (pathlib.Path(package.__file__).parents[2] / "py.typed").is_file()


def test_stubs_match_the_runtime(tmp_path):
    pytest.importorskip("mypy.stubtest", reason="mypy is not installed")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "umbo_ui.fast.umbocache.umbocache", "--allowlist", str(ALLOWLIST),
         "--mypy-config-file", str(tmp_path / "none.ini")],
        capture_output=True, text=True, cwd=tmp_path, timeout=300,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
