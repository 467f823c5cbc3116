"""save and load: the bytes on disk, their failures, and what a loaded store does."""

import math
import os
import resource
import signal
import struct

import numpy as np
import pytest

from tarnwick import VectorStorage
from snapshot_bytes import DECODE_FAILED, WRITE_FAILED
from snapshot_format import LAYERS, Node, Point, Snapshot, encode

EMPTY_STORE = bytes([0x00, 0x10, 0x40, 0x20, 0x00, 0x00, 0x00])
WORKED_EXAMPLE = (
    bytes([0x01, 0x07, 0x07, 0x02]) + struct.pack("<ff", 1.0, 0.5) + bytes([0x01, 0x01, 0x09]) + b"tenant_id"
    + bytes([0x00, 0x02]) + b"t1" + bytes([0x10, 0x40, 0x20, 0x01, 0x07, 0x00, 0x01, 0x07, 0x07]) + bytes(16)
)


def filled(count, dimension=8, seed=0):
    rng = np.random.default_rng(seed)
    store = VectorStorage()
    for i in range(count):
        store.upsert(i, rng.standard_normal(dimension).tolist(), {"tenant_id": "ab"[i % 2]})
    return store


def saved(store, path):
    store.save(str(path))
    return path.read_bytes()


def raised_message(call):
    with pytest.raises(OSError) as raised:
        call()
    error = raised.value
    assert type(error) is OSError
    assert (error.errno, error.filename) == (None, None)
    assert len(error.args) == 1
    return error.args[0]


def test_new_store_and_loading_it(tmp_path):
    assert saved(VectorStorage(), tmp_path / "new") == EMPTY_STORE
    store = filled(20)
    assert store.load(str(tmp_path / "new")) is None
    assert store.search([1.0] * 8, 5, "cosine") == []
    assert saved(store, tmp_path / "again") == EMPTY_STORE


def test_worked_example_loads_and_saves_the_same_bytes(tmp_path):
    (tmp_path / "example").write_bytes(WORKED_EXAMPLE)
    store = VectorStorage()
    store.load(str(tmp_path / "example"))
    assert store.search([1.0, 0.5], 3, "dot", tenant_id="t1") == [(7, 1.25)]
    assert saved(store, tmp_path / "out") == WORKED_EXAMPLE


@pytest.mark.parametrize("target, count, message", [
    ("directory", 0, "Failed to create snapshot file: Is a directory (os error 21)"),
    ("/dev/full", 0, WRITE_FAILED + "No space left on device (os error 28)"),
    ("/dev/full", 300, WRITE_FAILED + "No space left on device (os error 28)"),  # beyond the 8 KiB buffer
])
def test_save_failures(tmp_path, target, count, message):
    path = str(tmp_path) if target == "directory" else target
    assert raised_message(lambda: filled(count).save(path)) == message


def test_save_that_cannot_finish_keeps_the_previous_file(tmp_path):
    path = tmp_path / "store.snap"
    before = saved(filled(2), path)
    large = filled(300, dimension=32)
    # A file size limit stops the write midway, as a full disk would.
    previous_handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096, hard))
    try:
        message = raised_message(lambda: large.save(str(path)))
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        signal.signal(signal.SIGXFSZ, previous_handler)
    assert message == WRITE_FAILED + "File too large (os error 27)"
    assert path.read_bytes() == before
    assert os.listdir(tmp_path) == ["store.snap"]


@pytest.mark.parametrize("content, reason", [
    (b"", "Hit the end of buffer, expected more data"),
    (WORKED_EXAMPLE[:40], "Hit the end of buffer, expected more data"),
    (WORKED_EXAMPLE[:24] + b"\x04" + WORKED_EXAMPLE[25:], "Serde Deserialization Error"),
    (WORKED_EXAMPLE[:12] + b"\x02" + WORKED_EXAMPLE[13:], "Found an Option discriminant that wasn't 0 or 1"),
    (WORKED_EXAMPLE[:15] + b"\xff" + WORKED_EXAMPLE[16:], "Tried to parse invalid utf-8"),
    (bytes([0x00]) + b"\xff" * 10 + bytes(5), "Found a varint that didn't terminate. Is the usize too big for this platform?"),
])
def test_failed_load_changes_nothing(tmp_path, content, reason):
    store = filled(30)
    before = saved(store, tmp_path / "before")
    (tmp_path / "bad").write_bytes(content)
    assert raised_message(lambda: store.load(str(tmp_path / "bad"))) == DECODE_FAILED + reason
    assert saved(store, tmp_path / "after") == before


def test_loaded_store_answers_like_the_saved_one(tmp_path):
    original = filled(1200, dimension=16, seed=1)
    data = saved(original, tmp_path / "store")
    copy = filled(40, seed=2)
    copy.load(str(tmp_path / "store"))
    assert saved(copy, tmp_path / "copy") == data
    queries = np.random.default_rng(3).standard_normal((20, 16)).tolist()
    for metric in ("cosine", "dot", "l2"):
        for tenant in (None, "a"):
            assert copy.batch_search(queries, 10, metric, tenant) == original.batch_search(queries, 10, metric, tenant)


def chain_snapshot(ef_search):
    """500 points without nodes, and a graph that is one chain of 28 nodes going the long way
    round the circle: from 90 degrees (the entry point) to 0 degrees (the nearest to [1, 0])."""
    points = [Point(i, i, (0.0, -1.0)) for i in range(500)]
    chain = [1000 + i for i in range(28)]
    for i, key in enumerate(chain):
        angle = math.radians(90 + 10 * i)
        points.append(Point(key, key, (math.cos(angle), math.sin(angle))))
    nodes = [Node(key, key, [chain[i + 1:i + 2]] + [[] for _ in range(LAYERS - 1)])
             for i, key in enumerate(chain)]
    return encode(Snapshot(points, ef_search=ef_search, entry_point=chain[0], nodes=nodes))


@pytest.mark.parametrize("ef_search, nearest", [(1, 1000), (100, 1027)])
def test_loaded_graph_parameters_are_used(tmp_path, ef_search, nearest):
    data = chain_snapshot(ef_search)
    (tmp_path / "chain").write_bytes(data)
    store = VectorStorage()
    store.load(str(tmp_path / "chain"))
    # A result list of one stops at the entry point; one of 100 walks the whole chain.
    assert [found[0] for found in store.search([1.0, 0.0], 1, "cosine")] == [nearest]
    assert saved(store, tmp_path / "out") == data
