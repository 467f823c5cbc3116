"""Stores of 500 points or more answer through the graph: recall, result size, tenants."""

import numpy as np
import pytest

from tarnwick import VectorStorage

DIMENSION = 32
POINTS = 20_000
TENANTS = ["north", "south", "east", "west"]
SMALL_TENANT = "tiny"  # 300 points: answered by an exact scan of the tenant alone


def tenant_of(point_id):
    return SMALL_TENANT if point_id % 64 == 0 and point_id < 64 * 300 else TENANTS[point_id % 4]


@pytest.fixture(scope="module")
def clustered():
    rng = np.random.default_rng(11)
    centres = rng.standard_normal((50, DIMENSION))
    vectors = (centres[rng.integers(0, 50, POINTS)] + 0.4 * rng.standard_normal((POINTS, DIMENSION))).astype(np.float32)
    queries = (centres[rng.integers(0, 50, 200)] + 0.4 * rng.standard_normal((200, DIMENSION))).astype(np.float32)
    store = VectorStorage()
    for point_id, vector in enumerate(vectors.tolist()):
        store.upsert(point_id, vector, {"tenant_id": tenant_of(point_id)})
    return store, vectors, queries


def exact_top(vectors, query, limit, ids=None):
    ids = np.arange(len(vectors)) if ids is None else ids
    candidates = vectors[ids].astype(np.float64)
    cosine = candidates @ query / (np.linalg.norm(candidates, axis=1) * np.linalg.norm(query))
    return ids[np.argsort(-cosine, kind="stable")[:limit]].tolist()


def test_recall_at_10(clustered):
    store, vectors, queries = clustered
    found = sum(
        len({i for i, _ in store.search(q.tolist(), 10, "cosine")} & set(exact_top(vectors, q, 10)))
        for q in queries
    )
    assert found / (10 * len(queries)) >= 0.95


def test_stored_vectors_find_themselves(clustered):
    store, vectors, _ = clustered
    sample = range(0, POINTS, 97)
    hits = sum(store.search(vectors[i].tolist(), 1, "cosine")[0][0] == i for i in sample)
    assert hits / len(sample) >= 0.99


@pytest.mark.parametrize("limit", [0, 1, 33, 100, 1000])
@pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
def test_limit_beyond_ef_search_is_met(clustered, limit, metric):
    store, _, queries = clustered
    result = store.search(queries[0].tolist(), limit, metric)
    assert len(result) == limit
    scores = [score for _, score in result]
    assert scores == sorted(scores, reverse=metric != "l2")


@pytest.mark.parametrize("tenant", TENANTS)
def test_tenant_query_returns_the_tenants_nearest(clustered, tenant):
    store, vectors, queries = clustered
    members = np.array([i for i in range(POINTS) if tenant_of(i) == tenant])
    found = 0
    for q in queries[:50]:
        result = store.search(q.tolist(), 20, "cosine", tenant_id=tenant)
        assert len(result) == 20
        assert all(tenant_of(i) == tenant for i, _ in result)
        found += len({i for i, _ in result[:10]} & set(exact_top(vectors, q, 10, members)))
    assert found / 500 >= 0.9


def test_small_tenant_is_scanned_exactly(clustered):
    store, vectors, queries = clustered
    members = np.array([i for i in range(POINTS) if tenant_of(i) == SMALL_TENANT])
    for q in queries[:20]:
        result = store.search(q.tolist(), 1000, "cosine", tenant_id=SMALL_TENANT)
        assert len(result) == len(members)
        assert [i for i, _ in result[:10]] == exact_top(vectors, q, 10, members)
