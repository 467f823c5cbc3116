"""upsert_many: one call stores what per-point upserts would, converted whole before any change."""

import io

import numpy as np
import pytest
from tqdm import tqdm

from tarnwick import VectorStorage


def vectors_of(count, dim=6, seed=0):
    return np.random.default_rng(seed).standard_normal((count, dim))


def contents(store, ids):
    return {point_id: store.get(point_id) for point_id in ids}


@pytest.mark.parametrize("make", [
    lambda v: v.astype(np.float32), lambda v: v, lambda v: np.asfortranarray(v), lambda v: v[:, ::1][::1],
    lambda v: v.tolist(), lambda v: tuple(v.astype(np.float32)), lambda v: np.repeat(v, 2, axis=1)[:, ::2]])
def test_matches_per_point_upserts(make):
    vectors = vectors_of(300)
    payloads = [None if i % 3 == 0 else {"tenant_id": f"t{i % 2}", "rank": i} for i in range(300)]
    bulk = VectorStorage()
    bulk.upsert_many(np.arange(300, dtype=np.uint32), make(vectors), payloads)
    single = VectorStorage()
    for point_id in range(300):
        single.upsert(point_id, vectors[point_id], payloads[point_id])
    assert len(bulk) == 300 and contents(bulk, range(300)) == contents(single, range(300))
    for tenant in (None, "t0", "t1"):
        assert bulk.search(vectors[7], 20, "cosine", tenant) == single.search(vectors[7], 20, "cosine", tenant)


def test_later_repeats_win_and_existing_points_are_replaced():
    store = VectorStorage()
    store.upsert(5, [1.0, 0.0], {"tenant_id": "old"})
    store.upsert_many([5, 6, 5], [[0.0, 1.0], [1.0, 1.0], [2.0, 1.0]], [None, {}, {"tenant_id": "new"}])
    assert len(store) == 2
    assert store.get(5) == ([2.0, 1.0], {"tenant_id": "new"}) and store.get(6) == ([1.0, 1.0], {})
    assert store.search([2.0, 1.0], 5, "cosine", tenant_id="old") == []


def test_a_large_build_finds_its_own_points():
    vectors = vectors_of(5000, dim=16, seed=1).astype(np.float32)
    store = VectorStorage()
    store.upsert_many(range(5000), vectors)
    hits = sum(store.search(vectors[i], 1, "cosine")[0][0] == i for i in range(0, 5000, 50))
    assert hits >= 98


@pytest.mark.parametrize("args, error, message, note", [
    (([1, 2], [[1.0]]), ValueError, "'point_ids' has 2 items but 'vectors' has 1", None),
    (([1], [[1.0]], [None, None]), ValueError, "'point_ids' has 1 items but 'payloads' has 2", None),
    (([1, -2], [[1.0], [2.0]]), OverflowError, None, "while processing 'point_ids' item 1"),
    (([1, 2], [[1.0], "ab"]), TypeError, None, "while processing 'vectors' item 1"),
    (([1, 2], [[1.0], [2.0]], [None, 3]), TypeError, None, "while processing 'payloads' item 1"),
    (([1, 2], [[1.0], [2.0]], [None, {1: 2}]), TypeError, None, "while processing 'payloads' item 1"),
    (([1], [[1.0]], "x"), TypeError, None, "while processing 'payloads'"),
    (([1], np.zeros((1, 1))), None, None, None),
])
def test_a_bad_item_fails_the_whole_call(args, error, message, note):
    store = VectorStorage()
    store.upsert(1, [9.0], None)
    if error is None:
        store.upsert_many(*args)
        assert store.get(1) == ([0.0], None)
        return
    with pytest.raises(error) as caught:
        store.upsert_many(*args)
    if message is not None:
        assert str(caught.value) == message
    if note is not None:
        assert note in caught.value.__notes__
    assert len(store) == 1 and store.get(1) == ([9.0], None)


def test_the_store_dimension_is_checked_per_item():
    store = VectorStorage(dim=2)
    with pytest.raises(ValueError) as caught:
        store.upsert_many([1, 2], [[1.0, 2.0], [1.0]])
    assert caught.value.__notes__ == ["while processing 'vectors' item 1"]
    assert len(store) == 0


def test_progress_counts_up_to_the_total_and_drives_tqdm():
    calls = []
    store = VectorStorage()
    store.upsert_many(np.arange(3000), vectors_of(3000), progress=lambda done, total: calls.append((done, total)))
    assert calls[-1] == (3000, 3000)
    assert [done for done, _ in calls] == sorted({done for done, _ in calls})
    with tqdm(total=10, file=io.StringIO()) as bar:
        store.upsert_many(range(5000, 5010), vectors_of(10), progress=lambda done, total: bar.update(done - bar.n))
        assert bar.n == 10


def test_an_error_from_progress_is_raised_once_every_point_is_in():
    def fail(done, total):
        raise RuntimeError("stop")

    store = VectorStorage()
    with pytest.raises(RuntimeError, match="stop"):
        store.upsert_many(range(2000), vectors_of(2000), progress=fail)
    assert len(store) == 2000
    with pytest.raises(TypeError):
        store.upsert_many([1], [[1.0]], progress=5)
