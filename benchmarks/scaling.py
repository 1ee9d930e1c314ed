"""Cache operations from 1, 2 and 4 threads.

    python benchmarks/scaling.py [seconds]

Meant for a free-threaded CPython with the module built with
UMBOCACHE_FREE_THREADING=ON, where threads run in parallel; elsewhere it
shows what the GIL allows.  Each thread runs a read-heavy mix (get,
get_or_exec, get, get, set) over 32 keys, first on a cache of its own and
then on one cache that all threads share; the table gives operations per
second in all threads together.
"""

import sys
import threading
import time

from umbo_ui.fast.umbocache.umbocache import Cache


class Key:
    def __init__(self, value):
        self.value = value


def worker(stop, counts, n, shared):
    cache = shared if shared is not None else Cache()
    keys = [Key(v) for v in range(32)]  # made in the thread that uses them
    make = tuple
    done = 0
    while not stop.is_set():
        for key in keys:
            cache.get(key)
            cache.get_or_exec(key, make)
            cache.get(key)
            cache.get(key)
            cache.set(key, None)
        done += 5 * len(keys)
    counts[n] = done


def run(threads, seconds, shared):
    stop = threading.Event()
    counts = [0] * threads
    workers = [threading.Thread(target=worker, args=(stop, counts, n, shared)) for n in range(threads)]
    for t in workers:
        t.start()
    time.sleep(seconds)
    stop.set()
    for t in workers:
        t.join()
    return sum(counts) / seconds


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 2.0
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    print(f"CPython {sys.version.split()[0]}, GIL {'on' if gil else 'off'}")
    for label, shared in (("a cache per thread", None), ("one shared cache", Cache())):
        base = None
        for threads in (1, 2, 4):
            rate = run(threads, seconds, shared)
            base = base or rate
            print(f"{label:20} {threads} thread(s): {rate / 1e6:6.2f} M operations/s  (x{rate / base:.2f})")


if __name__ == "__main__":
    main()
