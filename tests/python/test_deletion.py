"""delete, delete_many and upsert_many: the store answers as a dict of its points would."""

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

from tarnwick import VectorStorage

NEW_STORE = bytes.fromhex("00104020000000")


def clustered(count, dim=8, seed=0):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((10, dim))
    return (centres[rng.integers(0, 10, count)] + 0.3 * rng.standard_normal((count, dim))).astype(np.float32)


def every_answer(store, query, tenant=None):
    """Every point of the store (or tenant), as (score, id) pairs in a fixed order."""
    return sorted(store.search(query, 10**6, "cosine", tenant_id=tenant), key=lambda pair: (pair[1], pair[0]))


def saved(store, tmp_path):
    path = tmp_path / "store.bin"
    store.save(str(path))
    return path.read_bytes()


point = st.tuples(st.integers(0, 40), st.integers(0, 2**32), st.sampled_from([None, "a", "b"]))
operation = st.one_of(
    st.tuples(st.just("upsert"), point),
    st.tuples(st.just("upsert_many"), st.lists(point, max_size=12)),
    st.tuples(st.just("delete"), st.integers(0, 40)),
    st.tuples(st.just("delete_many"), st.lists(st.integers(0, 45), max_size=8)),
)


@settings(max_examples=60, deadline=None)
@given(st.lists(operation, max_size=60))
def test_any_sequence_matches_a_dict(operations):
    store = VectorStorage()
    model = {}
    def made(point_id, seed, tenant):
        vector = np.random.default_rng(seed).standard_normal(4).astype(np.float32).tolist()
        return vector, None if tenant is None else {"tenant_id": tenant}

    for op in operations:
        if op[0] == "upsert":
            point_id, seed, tenant = op[1]
            model[point_id] = made(point_id, seed, tenant)
            store.upsert(point_id, *model[point_id])
        elif op[0] == "upsert_many":
            points = [(point_id, *made(point_id, seed, tenant)) for point_id, seed, tenant in op[1]]
            store.upsert_many([p[0] for p in points], [p[1] for p in points], [p[2] for p in points])
            model.update((p[0], (p[1], p[2])) for p in points)
        elif op[0] == "delete":
            assert store.delete(op[1]) == (model.pop(op[1], None) is not None)
        else:
            present = {point_id for point_id in op[1] if point_id in model}
            assert store.delete_many(op[1]) == len(present)
            for point_id in present:
                del model[point_id]
    assert len(store) == len(model)
    for point_id in range(46):
        assert (point_id in store) == (point_id in model)
        assert store.get(point_id) == model.get(point_id)
    rebuilt = VectorStorage()
    for point_id in sorted(model):
        rebuilt.upsert(point_id, *model[point_id])
    for tenant in (None, "a", "b"):
        assert every_answer(store, [0.5, -1.0, 2.0, 0.25], tenant) == every_answer(rebuilt, [0.5, -1.0, 2.0, 0.25], tenant)


@pytest.mark.parametrize("count", [1, 600])
def test_an_emptied_store_saves_as_a_new_one(tmp_path, count):
    store = VectorStorage()
    for point_id, vector in enumerate(clustered(count)):
        store.upsert(point_id, vector, {"tenant_id": "t"})
    assert store.delete_many(np.arange(count, dtype=np.int64)) == count
    assert len(store) == 0 and store.search([1.0] * 8, 5, "cosine") == []
    assert saved(store, tmp_path) == NEW_STORE
    assert store.delete(0) is False and store.delete_many([0, 1]) == 0


def test_store_parameters_survive_emptying(tmp_path):
    store = VectorStorage(m=8, ef_construction=40, ef_search=20)
    store.upsert(1, [1.0, 2.0], None)
    assert store.delete(1) is True
    assert saved(store, tmp_path) == bytes([0, 8, 40, 20, 0, 0, 0])


@pytest.mark.parametrize("m", [3, 4])
def test_deletes_of_a_sixteenth_leave_every_point_reachable(m):
    """Sparse graphs strand nodes that no search reaches; a large enough delete sweeps them back
    (with m 1 or 2, lists of two or four links cannot always take them)."""
    vectors = clustered(3000, dim=16)
    store = VectorStorage(m=m)
    for point_id, vector in enumerate(vectors):
        store.upsert(point_id, vector, None)
    assert len(store.search(vectors[0], 10**6, "cosine")) < 3000
    assert store.delete_many(list(range(0, 3000, 10))) == 300
    assert len(store.search(vectors[0], 10**6, "cosine")) == len(store) == 2700


def test_round_trip_after_deletes_answers_as_the_store_did(tmp_path):
    vectors = clustered(1500)
    store = VectorStorage()
    for point_id, vector in enumerate(vectors):
        store.upsert(point_id, vector, {"tenant_id": "even" if point_id % 2 == 0 else "odd"})
    for point_id in range(0, 1500, 3):
        assert store.delete(point_id) is True
    assert store.delete_many(list(range(1, 1500, 3))[:200]) == 200
    for point_id in range(1500, 1600):  # new points take the freed slots
        store.upsert(point_id, vectors[point_id - 1500] * 1.5, None)
    path = tmp_path / "store.bin"
    store.save(str(path))
    loaded = VectorStorage()
    loaded.load(str(path))
    assert saved(loaded, tmp_path) == path.read_bytes()
    removed = set(range(0, 1500, 3)) | set(list(range(1, 1500, 3))[:200])
    for query in clustered(30, seed=1):
        for tenant in (None, "even", "odd"):
            answer = store.search(query, 10, "cosine", tenant_id=tenant)
            assert answer == loaded.search(query, 10, "cosine", tenant_id=tenant)
            assert not removed & {point_id for point_id, _ in answer}
        assert store.get(0) is None and 0 not in store


@pytest.mark.parametrize("ids, error, note", [
    ([1, "x"], TypeError, "while processing 'point_ids' item 1"),
    ([1, 2, -1], OverflowError, "while processing 'point_ids' item 2"),
    (np.array([3, -4]), OverflowError, "while processing 'point_ids' item 1"),
    ("12", TypeError, "while processing 'point_ids'"),
    (5, TypeError, "while processing 'point_ids'"),
])
def test_a_bad_id_fails_the_whole_call(ids, error, note):
    store = VectorStorage()
    for point_id in range(5):
        store.upsert(point_id, [1.0, float(point_id)], None)
    with pytest.raises(error) as caught:
        store.delete_many(ids)
    assert caught.value.__notes__ == [note]
    assert len(store) == 5


@pytest.mark.parametrize("ids", [
    np.array([0, 2, 2], dtype=np.uint8), np.array([0, 2], dtype=np.int32), np.array([2, 0], dtype=np.uint64),
    np.array([0, 1, 2, 3], dtype=np.int16)[::2], (0, 2), range(0, 3, 2)])
def test_id_arrays_and_sequences(ids):
    store = VectorStorage()
    for point_id in range(4):
        store.upsert(point_id, [1.0, float(point_id)], None)
    assert store.delete_many(ids) == 2
    assert sorted(point_id for point_id in range(4) if point_id in store) == [1, 3]
