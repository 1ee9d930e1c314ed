"""The stub as users meet it: the snippets in tests/typing/ under ``mypy --strict``
and pyright's strict mode (what VS Code users see through Pylance)."""

import pathlib
import re

import pytest

SNIPPETS = sorted(pathlib.Path(__file__).with_name("typing").glob("*.py"))
MARKED = re.compile(r"# (error|mypy only): ([\w-]+)$")
REPORTED = re.compile(r"^[^:]+:(\d+): error: .*\[([\w-]+)\]$")
by_snippet = pytest.mark.parametrize("snippet", SNIPPETS, ids=[p.stem for p in SNIPPETS])


def marked(snippet, markers=("error", "mypy only")):
    """(line, mypy error code) of every line the snippet marks as rejected by
    the given markers."""
    lines = snippet.read_text().splitlines()
    return {(n, m[2]) for n, line in enumerate(lines, 1) if (m := MARKED.search(line)) and m[1] in markers}


@by_snippet
def test_mypy_rejects_exactly_the_marked_lines(snippet, mypy_tool):
    expected = marked(snippet)
    proc = mypy_tool("mypy", "--strict", str(snippet))
    reported = {(int(m[1]), m[2]) for m in map(REPORTED.match, proc.stdout.splitlines()) if m}
    assert expected and proc.returncode in (0, 1), proc.stdout + proc.stderr
    assert sorted(reported) == sorted(expected), proc.stdout


@by_snippet
def test_pyright_rejects_exactly_the_marked_lines(snippet, pyright_tool):
    """The lines both reject (not those only mypy does); pyright names its rules
    differently, so only lines are compared."""
    expected = {n for n, _ in marked(snippet, ("error",))}
    flagged, report = pyright_tool(snippet)
    assert expected and sorted(flagged) == sorted(expected), report
