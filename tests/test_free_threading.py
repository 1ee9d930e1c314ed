"""Several threads on shared caches with the GIL off.

Runs only where the import left the GIL off: a free-threaded CPython with
the module built with UMBOCACHE_FREE_THREADING=ON.  Each operation on one
cache must be atomic with respect to the others on the same cache, except
where Python code runs in its middle.
"""

import copy
import gc
import os
import pickle
import random
import sys
import threading
import time

import pytest

import umbo_ui.fast.umbocache.umbocache as mod

from conftest import BUILT_WITHOUT_GIL, FREE_THREADED_HOST, Key

# Where the module was built with the option on a free-threaded host, these
# run whatever the lock's state: an import that turned it on fails the first.
pytestmark = [
    pytest.mark.skipif(not FREE_THREADED_HOST, reason="needs a free-threaded CPython"),
    pytest.mark.skipif(not BUILT_WITHOUT_GIL, reason="needs the free-threading build of the module"),
    pytest.mark.skipif(os.environ.get("PYTHON_GIL") == "1", reason="PYTHON_GIL=1 keeps the lock on"),
]

SECONDS = 2.0
THREADS = 4
# How long each writer/reader pair runs; scripts/run-tsan-tests gives it longer.
PAIR_SECONDS = float(os.environ.get("UMBOCACHE_PAIR_SECONDS", "0.2"))
# Set by scripts/run-tsan-tests: the stress test then keeps what it stores
# alive, as the pairs always do.  The host's lock-free list reads try a
# reference on an item that may have been freed meanwhile, which
# ThreadSanitizer reports against the memory's next owner (an unpickled
# cache, say); it sees racy slot reads themselves without freed values.
UNDER_TSAN = os.environ.get("UMBOCACHE_TSAN") == "1"


class Tagged:
    """A fresh object per store, freed when its slot is overwritten: a racy
    read of a slot would meet freed memory (a crash, or another type)."""

    __slots__ = ("n",)
    kept = []  # every one made, under ThreadSanitizer

    def __init__(self, n):
        self.n = n
        if UNDER_TSAN:
            Tagged.kept.append(self)

    def __reduce__(self):
        return Tagged, (self.n,)


KEYS = [Key(i) for i in range(32)]
VALUES = [f"value-{i}" for i in range(64)]  # objects that stay alive


def run_threads(worker, count=THREADS, seconds=SECONDS):
    stop = time.monotonic() + seconds
    errors = []

    def guarded(n):
        try:
            rng = random.Random(n)
            while time.monotonic() < stop:
                worker(n, rng)
        except BaseException as exc:  # reported below, in the main thread
            errors.append(exc)

    threads = [threading.Thread(target=guarded, args=(n,)) for n in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors


def check_slots(cache):
    for key in KEYS:
        try:
            value = cache.get(key)
        except (IndexError, TypeError):  # a shorter list or None from __setstate__
            continue
        assert value is None or type(value) is Tagged


def test_the_import_left_the_gil_off():
    assert not sys._is_gil_enabled()


def test_every_operation_at_once_on_shared_caches():
    caches = [mod.Cache() for _ in range(2)]
    shared_list = [None] * 32
    for c in caches:
        c.__setstate__((shared_list,))  # two caches on one list
    caches.append(copy.copy(caches[0]))  # and a third through the copy protocol

    def worker(n, rng):
        c = rng.choice(caches)
        key = rng.choice(KEYS)
        op = rng.randrange(12)
        try:
            if op == 0:
                c.set(key, Tagged(n))
            elif op == 1:
                assert type(c.get(key)) in (Tagged, type(None))
            elif op == 2:
                assert type(c.get_or_set_val(key, Tagged(n))) is Tagged
            elif op == 3:
                assert type(c.get_or_exec(key, lambda: Tagged(n))) in (Tagged, type(None))
            elif op == 4:
                c.clear_selected(rng.sample(KEYS, 3), rng.sample(KEYS, 8))
            elif op == 5:
                c.clear()
            elif op == 6:
                check_slots(c.copy())
            elif op == 7:
                # The state holds the live slot list, which other threads keep
                # changing.  Protocol 0 makes the host's pickler walk it with a
                # list iterator, which is thread-safe; the host's batch path for
                # later protocols reads list items without a lock (CPython
                # 3.15.0a0), a race of its own that any shared list would hit.
                check_slots(pickle.loads(pickle.dumps(c, 0)))
            elif op == 8 and rng.random() < 0.3:
                c.__init__()
            elif op == 9 and rng.random() < 0.3:
                c.__setstate__((shared_list,))
            elif op == 10:
                shared_list[key.value] = Tagged(n)  # the list itself, from outside
            elif op == 11:
                check_slots(copy.deepcopy(c))
        except IndexError:
            pass  # a store into a list that another thread shortened

    gc.collect()
    blocks = sys.getallocatedblocks()
    run_threads(worker)
    for c in caches:
        check_slots(c)
    del c
    Tagged.kept.clear()
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 1000


def test_fills_of_distinct_slots_are_never_lost():
    """Threads fill slots of one cache, each its own slots, while others read
    it: every fill stays, whatever runs beside it."""
    cache = mod.Cache()
    rounds = [0] * THREADS

    def worker(n, rng):
        mine = KEYS[n * 8 : (n + 1) * 8]
        key = rng.choice(mine)
        value = VALUES[n * 8 + key.value % 8]
        if cache.get_or_exec(key, lambda: value) is not value:
            raise AssertionError("a fill was lost")
        assert cache.get(key) is value
        cache.clear_selected(whitelist=[key])  # empties only this thread's slot
        assert cache.get_or_set_val(key, value) is value
        cache.set(key, None)
        rounds[n] += 1

    run_threads(worker)
    assert all(rounds)


def test_get_or_set_val_fills_a_slot_exactly_once():
    """Racing fills of the same empty slot: exactly one value wins, and every
    caller gets that value back."""
    for _ in range(200):
        cache = mod.Cache()
        results = [None] * THREADS
        barrier = threading.Barrier(THREADS)

        def fill(n):
            barrier.wait()
            results[n] = cache.get_or_set_val(KEYS[0], VALUES[n])

        threads = [threading.Thread(target=fill, args=(n,)) for n in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        winner = cache.get(KEYS[0])
        assert winner in VALUES[:THREADS]
        assert all(r is winner for r in results)


def test_reads_never_see_the_slot_list_itself():
    """Subscription and attribute access on a cache whose slot list another
    thread keeps dropping and restoring return a slot's value or fail."""
    cache = mod.Cache()
    key = next(iter(mod.CacheType))
    name = key.name
    seen = []

    def worker(n, rng):
        if n == 0:
            cache.__setstate__((None,) if rng.random() < 0.5 else ([None] * 32,))
            return
        for read in (lambda: cache[key], lambda: getattr(cache, name)):
            try:
                value = read()
            except TypeError:
                continue  # no slot list at that moment
            if value is not None:
                seen.append(type(value))

    run_threads(worker)
    assert not seen


@pytest.mark.parametrize(
    "clear",
    [lambda c: c.clear(), lambda c: c.clear_selected(None, [KEYS[0], KEYS[31]])],
    ids=["clear", "clear_selected"],
)
def test_a_clear_is_one_step_for_every_observer(clear):
    """A writer fills slot 0, then slot 31, then publishes their generation;
    a clear empties both at once, so no copy can hold the published
    generation in slot 0 and an emptied slot 31."""
    cache = mod.Cache()
    published = [0]
    torn = []

    def worker(n, rng):
        if n == 0:
            generation = published[0] + 1
            cache.set(KEYS[0], generation)
            cache.set(KEYS[31], generation)
            published[0] = generation
        elif n == 1:
            clear(cache)
        else:
            seen = published[0]
            snapshot = cache.copy()
            if snapshot.get(KEYS[0]) == seen and snapshot.get(KEYS[31]) is None:
                torn.append(seen)

    run_threads(worker)
    assert not torn


MEMBER = next(iter(mod.CacheType))
# What one thread does to a cache while another reads it: each stores into
# the slot that the readers read, a fresh object each time.
WRITERS = {
    "clear": lambda c, v: (c.set(MEMBER, v), c.clear()),
    "clear_selected": lambda c, v: (c.set(MEMBER, v), c.clear_selected(None, [MEMBER])),
    "get_or_set_val": lambda c, v: (c.clear(), c.get_or_set_val(MEMBER, v)),
    "get_or_exec": lambda c, v: (c.clear(), c.get_or_exec(MEMBER, lambda: v)),
    "set": lambda c, v: c.set(MEMBER, v),
    "__init__": lambda c, v: (c.set(MEMBER, v), c.__init__()),
    "__setstate__": lambda c, v: c.__setstate__(([v] * 32,)),
}
# Each gives the objects it read from the slot.
READERS = {
    "get": lambda c: [c.get(MEMBER)],
    "cache[key]": lambda c: [c[MEMBER]],
    "cache.NAME": lambda c: [getattr(c, MEMBER.name)],
    "__reduce__": lambda c: c.__reduce__()[2][0],
    # protocol 0: the host's pickler walks the slot list with an iterator
    "pickle": lambda c: pickle.loads(pickle.dumps(c, 0)).__reduce__()[2][0],
    "copy": lambda c: [c.copy().get(MEMBER)],
    "slot list iteration": lambda c: list(iter(c.__reduce__()[2][0])),
}


@pytest.mark.parametrize("reader", READERS)
@pytest.mark.parametrize("writer", WRITERS)
def test_a_reader_beside_a_writer_sees_only_whole_values(writer, reader):
    """One thread writes a slot while another reads it without a lock: every
    read gives None or a whole Tagged (scripts/run-tsan-tests runs these
    pairs under ThreadSanitizer, which sees what this can't).  Each value is
    new, so that its making must be seen before it, and none is freed: the
    host's lock-free list read tries a reference on what may be freed memory,
    which ThreadSanitizer would report against the memory's next owner."""
    cache = mod.Cache()
    seen = set()
    kept = []

    def worker(n, rng):
        if n == 0:
            kept.append(Tagged(n))
            WRITERS[writer](cache, kept[-1])
        else:
            seen.update(type(v) for v in READERS[reader](cache))

    run_threads(worker, count=2, seconds=PAIR_SECONDS)
    assert seen <= {Tagged, type(None)}
