"""Store calls run detached from the interpreter: other Python threads make progress during
one long call, even on an interpreter with a GIL. Progress is counted, never timed; the
deadlines are watchdogs against hangs only.
"""

import threading
import time

import numpy as np
import pytest

from tarnwick import VectorStorage

WATCHDOG = 120.0


@pytest.fixture(scope="module")
def store():
    rng = np.random.default_rng(3)
    store = VectorStorage()
    for point_id, vector in enumerate(rng.standard_normal((3000, 32)).astype(np.float32)):
        store.upsert(point_id, vector, {"tenant_id": f"t{point_id % 4}"})
    return store


class Counter(threading.Thread):
    """Counts loop turns of pure Python work until stopped: with the GIL, it can only turn
    while no other thread holds the interpreter."""

    def __init__(self, work=None):
        super().__init__(daemon=True)
        self.count = 0
        self.stop = threading.Event()
        self.work = work
        self.error = None

    def run(self):
        try:
            while not self.stop.is_set():
                if self.work is not None:
                    self.work()
                self.count += 1
        except BaseException as error:  # reported by the test
            self.error = error

    def __enter__(self):
        self.start()
        while self.count == 0:  # running before the measured call starts
            time.sleep(0.001)
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.join(WATCHDOG)
        assert not self.is_alive()
        assert self.error is None, self.error


def progress_during(call, counter, tries=20):
    """Runs call() until the counter moved during one run of it; returns how often it did."""
    moved = 0
    for _ in range(tries):
        before = counter.count
        call()
        moved += counter.count > before
        if moved:
            break
    return moved


@pytest.mark.parametrize("operation", ["batch_search", "save", "load", "search"])
def test_python_threads_run_during_one_long_call(store, tmp_path, operation):
    path = str(tmp_path / "s")
    store.save(path)
    queries = np.random.default_rng(4).standard_normal((4000, 32)).astype(np.float32)
    other = VectorStorage()
    calls = {
        "batch_search": lambda: store.batch_search(queries, 10, "cosine"),
        "save": lambda: store.save(path),
        "load": lambda: other.load(path),
        "search": lambda: [store.search(q, 10, "cosine", ef_search=2000) for q in queries[:1]],
    }
    with Counter() as counter:
        assert progress_during(calls[operation], counter, tries=200)


def test_upsert_and_search_threads_both_progress():
    """One thread upserts while another searches: each completes calls while the other runs."""
    store = VectorStorage()
    rng = np.random.default_rng(5)
    vectors = rng.standard_normal((2000, 16)).astype(np.float32)
    for point_id in range(600):
        store.upsert(point_id, vectors[point_id], None)
    upserts = Counter()
    upserts.work = lambda: store.upsert(600 + upserts.count % 1400, vectors[upserts.count % 1400], None)
    searches = Counter(lambda: store.search(vectors[7], 5, "l2"))
    seen = []
    deadline = time.monotonic() + WATCHDOG
    with upserts, searches:
        # Sample both counts until each has moved many times between samples.
        last = (upserts.count, searches.count)
        while len(seen) < 50 and time.monotonic() < deadline:
            time.sleep(0.001)
            now = (upserts.count, searches.count)
            if now[0] > last[0] and now[1] > last[1]:
                seen.append(now)
            last = now
    assert len(seen) == 50
    assert len(store) > 600


def test_upsert_and_save_run_while_other_threads_search(tmp_path):
    store = VectorStorage()
    rng = np.random.default_rng(6)
    vectors = rng.standard_normal((4000, 32)).astype(np.float32)
    for point_id in range(3000):
        store.upsert(point_id, vectors[point_id], None)
    path = str(tmp_path / "s")
    upserts = Counter()
    upserts.work = lambda: store.upsert(3000 + upserts.count % 1000, vectors[upserts.count % 1000], None)
    readers = [Counter(lambda i=i: store.search(vectors[i], 5, "cosine")) for i in range(2)]
    saves_with_searches = 0
    saves = 0
    deadline = time.monotonic() + WATCHDOG
    with upserts, readers[0], readers[1]:
        while (saves_with_searches < 3 or saves < 5) and time.monotonic() < deadline:
            before = [reader.count for reader in readers]
            store.save(path)
            saves += 1
            saves_with_searches += any(r.count > b for r, b in zip(readers, before))
        upserts_seen = upserts.count
    assert saves_with_searches >= 3
    assert upserts_seen > 0 and all(reader.count > 0 for reader in readers)
    copy = VectorStorage()
    copy.load(path)
    assert len(copy) >= 3000
