"""Ctrl-C (SIGINT) stops a long batch_search, save or load with KeyboardInterrupt, leaving
the store and the files as they were. Each test retries until the signal lands during the
call; nothing is timed.
"""

import os
import signal
import threading
import time

import numpy as np
import pytest

from snapshot_format import varint
from tarnwick import VectorStorage

pytestmark = pytest.mark.skipif(not hasattr(signal, "pthread_kill"), reason="needs pthread_kill")


@pytest.fixture(autouse=True)
def ctrl_c_raises():
    """Python leaves SIGINT ignored when it started ignored (a job run in the background by a
    shell without job control): give it the usual handler for these tests."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)

POINTS = 16_000  # keys 128 .. 16127: two-byte varints
DIM = 2048
DELAYS = [0.002, 0.01, 0.03, 0.06, 0.1, 0.2, 0.4, 0.8]


def interrupted_during(call, delay):
    """Sends SIGINT to the main thread `delay` seconds after call() starts. True when the
    KeyboardInterrupt came out of call() itself; False when call() returned first."""
    main = threading.main_thread().ident
    timer = threading.Timer(delay, lambda: signal.pthread_kill(main, signal.SIGINT))
    returned = False
    try:
        timer.start()
        call()
        returned = True
        timer.join()
        for _ in range(1000):  # the interrupt lands here when the call was faster
            time.sleep(0.01)
        raise AssertionError("SIGINT never arrived")
    except KeyboardInterrupt:
        pass
    finally:
        timer.cancel()
    return not returned


def big_snapshot(path, m):
    """A graph-less snapshot of POINTS vectors of DIM floats: large, quick to build."""
    keys = np.arange(128, 128 + POINTS, dtype=np.uint32)
    key_bytes = np.stack([(keys & 0x7F) | 0x80, keys >> 7], axis=1).astype(np.uint8)
    record = np.dtype([("key", "u1", 2), ("id", "u1", 2), ("len", "u1", 2),
                       ("vector", "<f4", DIM), ("payload", "u1")])
    records = np.zeros(POINTS, dtype=record)
    records["key"] = records["id"] = key_bytes
    records["len"] = np.frombuffer(varint(DIM), dtype=np.uint8)
    records["vector"] = np.random.default_rng(1).standard_normal((POINTS, DIM))
    with open(path, "wb") as file:
        file.write(varint(POINTS))
        file.write(records.tobytes())
        file.write(varint(m) + varint(64) + varint(32) + b"\x00" + varint(0) + varint(0))


def state(store):
    return (len(store), store.m, store.get(128), store.get(128 + POINTS - 1), store.get(5))


def test_batch_search_stops_on_ctrl_c():
    rng = np.random.default_rng(2)
    store = VectorStorage()
    for point_id, vector in enumerate(rng.standard_normal((1500, 16)).astype(np.float32)):
        store.upsert(point_id, vector, None)
    queries = rng.standard_normal((400_000, 16)).astype(np.float32)
    before = store.search(queries[0], 5, "cosine")
    assert any(interrupted_during(lambda: store.batch_search(queries, 5, "cosine", ef_search=64), d)
               for d in DELAYS)
    assert store.search(queries[0], 5, "cosine") == before
    assert store.batch_search(queries[:3], 5, "cosine")[0] == before  # the pool still serves


def test_load_stops_on_ctrl_c_and_changes_nothing(tmp_path):
    path = str(tmp_path / "big")
    big_snapshot(path, m=9)
    store = VectorStorage(m=5)
    store.upsert(5, [1.0, 2.0], {"k": 1})
    before = state(store)
    interrupted = 0
    for delay in DELAYS:
        if interrupted_during(lambda: store.load(path), delay):
            interrupted += 1
            assert state(store) == before
        else:  # the load finished first: it counts
            assert len(store) == POINTS and store.m == 9
            store = VectorStorage(m=5)
            store.upsert(5, [1.0, 2.0], {"k": 1})
        if interrupted:
            break
    assert interrupted
    assert sorted(os.listdir(tmp_path)) == ["big"]


def test_save_stops_on_ctrl_c_and_leaves_no_temporary_file(tmp_path):
    source = str(tmp_path / "big")
    big_snapshot(source, m=9)
    store = VectorStorage()
    store.load(source)
    target = tmp_path / "target"
    target.write_bytes(b"previous")
    interrupted = 0
    for delay in DELAYS:
        if interrupted_during(lambda: store.save(str(target)), delay):
            interrupted += 1
            assert target.read_bytes() == b"previous"
        else:
            target.write_bytes(b"previous")
        assert sorted(os.listdir(tmp_path)) == ["big", "target"]
        if interrupted:
            break
    assert interrupted
    assert len(store) == POINTS
