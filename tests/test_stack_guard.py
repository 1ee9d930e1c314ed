"""The stack guard on every kind of stack: small thread stacks, the main
thread's stack where glibc can't read its bounds, fibers' stacks above and
below the thread's own, and a process whose static TLS is used up.  Each runs
in a process of its own, as a crash ends it."""

import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

import pytest

import small_stack

SCRIPT = pathlib.Path(small_stack.__file__)
HELPERS = pathlib.Path(__file__).parent / "native_helpers"
# Recursion in Python code on these stacks ends in RecursionError on every
# host; 3.10's own frames need more than 256 KiB for that.
STACKS_KIB = [512] if sys.version_info < (3, 11) else [256, 512]
# A mount namespace of its own whose /proc is an empty tmpfs (made private
# first, so that nothing leaks out, even inside a chroot).
HIDE_PROC = [
    *("unshare", "--mount", "--propagation", "unchanged", "sh", "-c"),
    'mount --make-private /proc && mount -t tmpfs none /proc && exec "$@"',
    "-",
]


def compile_c(source, output, *flags):
    cc = (os.environ.get("CC") or sysconfig.get_config_var("CC") or "cc").split()[0]
    if shutil.which(cc) is None:
        pytest.skip(f"no C compiler ({cc}) on this machine")
    subprocess.run([cc, "-shared", "-fPIC", "-O1", *flags, str(source), "-o", str(output)], check=True)
    return output


@pytest.fixture(scope="module")
def foreign_stack_helper(tmp_path_factory):
    return compile_c(HELPERS / "foreign_stack.c", tmp_path_factory.mktemp("helper") / "foreign_stack.so")


def stack_limit(kib):
    """A preexec_fn that sets the soft stack limit to `kib` KiB."""
    return lambda: small_stack.set_stack_limit(kib * 1024)


def run_scenarios(*args, prefix=(), preexec_fn=None):
    proc = subprocess.run(
        [*prefix, sys.executable, str(SCRIPT), *args],
        capture_output=True,
        text=True,
        timeout=600,
        preexec_fn=preexec_fn,
    )
    ended = dict(line.partition(" ")[::2] for line in proc.stdout.splitlines())
    assert proc.returncode == 0, (proc.returncode, ended, proc.stderr[-3000:])
    return ended


def assert_guarded(ended):
    """Every operation returned, every recursion ended in RecursionError, and
    none of them was refused for where its stack is rather than how deep."""
    depth = int(ended.pop("depth"))
    once = dict.fromkeys([*small_stack.operations(), *small_stack.NEAR_THE_END], "returned")
    assert ended == {**once, **dict.fromkeys(small_stack.SCENARIOS, "RecursionError")}
    assert depth >= 8


@pytest.mark.parametrize("kib", STACKS_KIB)
def test_recursion_on_a_small_thread_stack(kib):
    assert_guarded(run_scenarios(str(kib)))


@pytest.mark.parametrize("where", ["main", "main-emfile", "main-lowered", "main-mapped-below"])
def test_recursion_on_a_small_main_stack(where):
    """512 KiB of main-thread stack, its bounds read by glibc from /proc or,
    with no file descriptor free for that at the first guarded call, without;
    or the stack limit lowered to that after a guarded call; or the stack
    cut short by a mapping below it (the kernel keeps a gap above that)."""
    ended = run_scenarios(where, preexec_fn=stack_limit(512) if where in ("main", "main-emfile") else None)
    if "no-mapping-placed" in ended:
        pytest.skip("no free range below the main thread's stack")
    assert_guarded(ended)


@pytest.fixture
def without_proc():
    probe = subprocess.run([*HIDE_PROC, "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        pytest.skip(f"no process runs here with /proc hidden: {probe.stderr.strip()[:200]}")
    return HIDE_PROC


@pytest.mark.parametrize("where", ["main", "main-lowered"])
def test_recursion_on_a_small_main_stack_without_proc(where, without_proc):
    assert_guarded(run_scenarios(where, prefix=without_proc, preexec_fn=stack_limit(512) if where == "main" else None))


@pytest.mark.parametrize("proc", ["/proc", "no /proc"])
def test_a_stack_limit_raised_after_a_guarded_call(proc, request):
    """A main thread that starts with 512 KiB of stack and raises its limit to
    64 MiB recurses as deep after a guarded call as with the limit raised
    before the import: as far as the new limit, the host's count of nested
    calls (3.12, 3.13) or from 3.14 on the host's own check allows, which
    keeps the bounds it read when the thread started."""
    prefix = request.getfixturevalue("without_proc") if proc == "no /proc" else ()
    before, after = (
        int(run_scenarios(f"raised-{when}", prefix=prefix, preexec_fn=stack_limit(512))["depth"])
        for when in ("before", "after")
    )
    # (the kernel moves the stack's top by up to a few KiB from run to run)
    assert abs(after - before) <= before // 20, (before, after)


@pytest.mark.skipif(
    hasattr(sys, "gettotalrefcount"),
    reason="CPython 3.15's debug build aborts on its own after Python code ran on a stack below the thread's "
    "(its deferred deallocation), without this module too",
)
@pytest.mark.parametrize("where", ["above", "below", "split", "interleaved"])
def test_recursion_on_a_fiber_stack(foreign_stack_helper, where):
    """A fiber's 512 KiB stack, which the guard can't vouch for: no call is
    refused for where the stack lies, and recursion stops before its end.
    Split in two 256 KiB stacks, the lower one's calls, begun inside a
    guarded call on the upper one or after two greenlets there ended theirs
    out of order, count from their own outermost; the greenlet still running
    a recursion when the other's call ended goes no deeper."""
    if where == "interleaved":
        # Looked for, not imported: the greenlet runs in the child, and its
        # import would turn the lock on here on a free-threaded host.
        if importlib.util.find_spec("greenlet") is None:
            pytest.skip("greenlet is not installed")
        if "libasan" in os.environ.get("LD_PRELOAD", ""):
            pytest.skip("greenlet copies stacks, whose redzones AddressSanitizer then reports")
    ended = run_scenarios(where, str(foreign_stack_helper))
    if "no-stack-placed" in ended:
        pytest.skip(f"no free range {where} the thread's stack")
    if where == "interleaved":
        assert ended.pop("interleaved-deeper", None) == "RecursionError", ended
    assert_guarded(ended)


FILLER = """
__attribute__((tls_model("initial-exec"))) __thread char filler[%d];
char *fill(void) { return filler; }
"""

LOAD_FILLERS = """
import ctypes, shutil, sys
*fillers, smallest = sys.argv[1:]
for path in fillers:
    try:
        ctypes.CDLL(path)
    except OSError:
        pass  # too large for what is left: a smaller one may fit
for copy in range(1000):  # copies of the smallest, until none fits
    path = shutil.copy(smallest, f"{smallest}.{copy}")
    try:
        ctypes.CDLL(path)
    except OSError as exc:
        assert "static TLS" in str(exc), exc
        break
else:
    sys.exit("the static TLS surplus could not be used up")
from umbo_ui.fast.umbocache.umbocache import Cache, CacheType
assert Cache().get_or_exec(CacheType.MEASURE, lambda: 7) == 7
"""


def test_the_import_needs_no_static_tls(tmp_path):
    """Once libraries loaded earlier have used up glibc's static TLS surplus,
    the module still imports."""
    fillers = []
    for size in [4096 >> k for k in range(10)]:  # 4096 down to 8 bytes
        source = tmp_path / f"filler{size}.c"
        source.write_text(FILLER % size)
        fillers.append(str(compile_c(source, tmp_path / f"filler{size}.so")))
    proc = subprocess.run([sys.executable, "-c", LOAD_FILLERS, *fillers], capture_output=True)
    assert proc.returncode == 0, proc.stderr.decode()[-3000:]
