"""Many calls, many threads: references, memory and results stay steady."""
import os
import sys
import threading

import numpy as np
import pytest

from rasterloom import annotate_scanlines

from conftest import meander, needs_proc

SANITIZED = os.environ.get("RASTERLOOM_SANITIZED") == "1"


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def each_outcome(x, y, short, other):
    annotate_scanlines(x, y)
    try:
        annotate_scanlines(x, short)
    except ValueError:
        pass
    try:
        annotate_scanlines(x, other)
    except TypeError:
        pass
    try:
        annotate_scanlines(x[::2], y[::2])
    except ValueError:
        pass


@needs_proc
def test_thousands_of_calls_leak_neither_references_nor_memory():
    x, y, _ = meander(20, 50, 3)
    short, other = y[:-1].copy(), y.astype(np.float32)
    objects = (x, y, short, other)
    for _ in range(200):  # warm up allocator caches and the pool
        each_outcome(x, y, short, other)
    refs = [sys.getrefcount(o) for o in objects]
    rss = resident_bytes()
    for _ in range(5000):
        each_outcome(x, y, short, other)
    assert [sys.getrefcount(o) for o in objects] == refs
    if not SANITIZED:
        # 20000 calls; a leak of even one label array per call (4 KB) would
        # show as 80 MB.
        assert resident_bytes() - rss < 8 * 2**20


def test_calls_from_eight_threads_at_once_are_all_correct():
    paths = [meander(6 + k, 10 + 3 * k, 1 + k % 3, dtype=np.float32 if k % 2 else np.float64)
             for k in range(8)]
    expected = [annotate_scanlines(x, y) for x, y, _ in paths]
    failures = []
    barrier = threading.Barrier(8)

    def worker(k):
        x, y, _ = paths[k]
        barrier.wait()
        for _ in range(300):
            if not np.array_equal(annotate_scanlines(x, y), expected[k]):
                failures.append(k)
                return

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    assert all(e.max() >= 1 for e in expected)


@pytest.mark.skipif(SANITIZED, reason="large inputs are slow under the sanitizers")
def test_large_calls_from_threads_share_the_pool():
    x, y, _ = meander(700, 1000, 3)
    assert len(x) > 500000
    expected = annotate_scanlines(x, y)
    results = [None] * 4

    def worker(k):
        results[k] = annotate_scanlines(x, y)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(np.array_equal(r, expected) for r in results)


def test_a_call_after_each_kind_of_failure_works():
    x, y, _ = meander(7, 12, 2)
    expected = annotate_scanlines(x, y)
    for bad in [(x, y[:-1]), (x, y.astype(np.float32)), (x[::-1], y[::-1]), (x, "y")]:
        with pytest.raises((TypeError, ValueError)):
            annotate_scanlines(*bad)
        assert np.array_equal(annotate_scanlines(x, y), expected)
