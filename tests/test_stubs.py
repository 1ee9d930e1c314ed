"""The type stubs shipped beside the extension match what it defines."""

import pathlib
import subprocess
import sys

import pytest

ALLOWLIST = pathlib.Path(__file__).with_name("stubtest-allowlist.txt")


def test_stubs_match_the_runtime(tmp_path):
    pytest.importorskip("mypy.stubtest", reason="mypy is not installed")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "umbo_ui.fast.umbocache.umbocache", "--allowlist", str(ALLOWLIST),
         "--mypy-config-file", str(tmp_path / "none.ini")],
        capture_output=True, text=True, cwd=tmp_path, timeout=300,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
