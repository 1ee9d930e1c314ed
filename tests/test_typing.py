"""The stub as users meet it: the snippets in tests/typing/ under ``mypy --strict``."""

import pathlib
import re

import pytest

SNIPPETS = sorted(pathlib.Path(__file__).with_name("typing").glob("*.py"))
MARKED = re.compile(r"# error: ([\w-]+)$")
REPORTED = re.compile(r"^[^:]+:(\d+): error: .*\[([\w-]+)\]$")


@pytest.mark.parametrize("snippet", SNIPPETS, ids=[p.stem for p in SNIPPETS])
def test_mypy_rejects_exactly_the_marked_lines(snippet, mypy_tool):
    lines = snippet.read_text().splitlines()
    expected = {(n, m[1]) for n, line in enumerate(lines, 1) if (m := MARKED.search(line))}
    proc = mypy_tool("mypy", "--strict", str(snippet))
    reported = {(int(m[1]), m[2]) for m in map(REPORTED.match, proc.stdout.splitlines()) if m}
    assert expected and proc.returncode in (0, 1), proc.stdout + proc.stderr
    assert sorted(reported) == sorted(expected), proc.stdout
