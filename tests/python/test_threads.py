"""Many Python threads on one store: every method at once, then a check of what it holds.

Each writer owns a range of identifiers and rewrites it in rounds; a point's vector and
payload both carry the round, so a stored point shows which write it came from. Saves
overwrite two files in turn while loads read them back, so a load that caught a half-written
file would fail or install a broken state. Every store call runs detached from the
interpreter, so the calls overlap with or without a GIL.
"""

import os
import random
import sys
import threading
import time

import numpy as np
import pytest

from tarnwick import VectorStorage
from snapshot_format import decode

SECONDS = float(os.environ.get("TARNWICK_STRESS_SECONDS", "2"))
WRITERS = 4
IDS_PER_WRITER = 150  # 600 points: the store crosses to the graph route while the threads run
DIMENSION = 6
METRICS = {"cosine": True, "dot": True, "l2": False}  # name: higher is better


def vector_for(point_id, version):
    """The vector of one write: the identifier and round, then values drawn from both."""
    rng = np.random.default_rng(point_id * 1000 + version)
    return [float(point_id), float(version)] + rng.standard_normal(DIMENSION - 2).tolist()


def payload_for(point_id, version):
    return {"tenant_id": f"w{point_id // IDS_PER_WRITER}", "version": version}


def read_snapshot(data):
    """The points ({key: (id, vector, payload)}) and the node keys of a complete snapshot."""
    snapshot = decode(data)
    points = {point.key: (point.id, point.vector, point.payload) for point in snapshot.points}
    return points, {node.key for node in snapshot.nodes}


def check_snapshot(data, last_round):
    """Every point is one write some writer made, whole, and has its graph node."""
    points, nodes = read_snapshot(data)
    assert nodes == set(points)
    for key, (point_id, vector, payload) in points.items():
        version = int(vector[1])
        assert key == point_id == int(vector[0]) < WRITERS * IDS_PER_WRITER
        assert version <= last_round[point_id]
        assert vector == tuple(np.float32(vector_for(point_id, version)).tolist())
        assert payload == payload_for(point_id, version)
    return points


def check_answer(answer, limit, metric, tenant):
    assert len(answer) <= limit
    ids = [point_id for point_id, _ in answer]
    assert len(set(ids)) == len(ids)
    assert all(0 <= point_id < WRITERS * IDS_PER_WRITER for point_id in ids)
    if tenant is not None:
        assert all(f"w{point_id // IDS_PER_WRITER}" == tenant for point_id in ids)
    scores = [score for _, score in answer]
    assert scores == sorted(scores, reverse=METRICS[metric])


@pytest.fixture
def fine_switching():
    """Hands the interpreter lock over often, so that calls interleave where there is one."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


def test_every_method_from_many_threads(tmp_path, fine_switching):
    store = VectorStorage()
    paths = [str(tmp_path / "a.snapshot"), str(tmp_path / "b.snapshot")]
    last_round = [0] * (WRITERS * IDS_PER_WRITER)
    counts = {"upsert": 0, "search": 0, "batch_search": 0, "save": 0, "load": 0}
    saved = threading.Event()
    errors = []
    deadline = time.monotonic() + SECONDS

    def running(work):
        def loop(seed):
            rng = random.Random(seed)
            try:
                while time.monotonic() < deadline:
                    work(rng)
            except BaseException as error:  # reported by the main thread
                errors.append(error)
        return loop

    def writer(first):
        def write(rng):
            version = last_round[first] + 1
            for point_id in range(first, first + IDS_PER_WRITER):
                last_round[point_id] = version  # before the write: a bound, never behind it
                store.upsert(point_id, vector_for(point_id, version), payload_for(point_id, version))
                counts["upsert"] += 1
        return write

    def searcher(rng):
        metric = rng.choice(list(METRICS))
        limit = rng.choice([1, 10, 100])
        tenant = rng.choice([None, "w1", "nobody"])
        query = vector_for(rng.randrange(len(last_round)), 0)
        check_answer(store.search(query, limit, metric, tenant_id=tenant), limit, metric, tenant)
        for answer in store.batch_search([query] * 4, limit, metric, tenant):
            check_answer(answer, limit, metric, tenant)
        counts["search"] += 1
        counts["batch_search"] += 1

    def saver(rng):
        store.save(paths[counts["save"] % 2])
        counts["save"] += 1
        saved.set()

    def loader(rng):
        if saved.wait(0.1):
            store.load(rng.choice([path for path in paths if os.path.exists(path)]))
            counts["load"] += 1

    works = [writer(w * IDS_PER_WRITER) for w in range(WRITERS)] + [searcher, searcher, saver, loader]
    threads = [threading.Thread(target=running(work), args=(seed,)) for seed, work in enumerate(works)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]
    assert all(counts.values()), counts

    final = tmp_path / "final.snapshot"
    store.save(str(final))
    points = check_snapshot(final.read_bytes(), last_round)
    for path in paths:
        with open(path, "rb") as file:
            check_snapshot(file.read(), last_round)
    copy = VectorStorage()
    copy.load(str(final))
    copy.save(str(tmp_path / "copy.snapshot"))
    assert read_snapshot((tmp_path / "copy.snapshot").read_bytes())[0] == points
