"""search and batch_search as Python sees them, and the OSError of save and load."""

import threading

import numpy as np
import pytest

from tarnwick import VectorStorage

SEARCH_UNKNOWN = ("Unsupported metric option. Choose from: 'cosine', 'dot_product' ('dot'), "
                  "or 'euclidean' ('l2').")
BATCH_UNKNOWN = ("Unsupported metric option assigned. Choose from: 'cosine', 'dot_product', "
                 "or 'euclidean'.")


@pytest.fixture
def triangle():
    store = VectorStorage()
    store.upsert(1, [1.0, 0.0], None)
    store.upsert(2, [0.0, 1.0], {"tenant_id": ""})
    store.upsert(3, [1.0, 1.0], {"tenant_id": "a"})
    return store


def test_exact_route_results(triangle):
    assert triangle.search([1.0, 0.0], 2, "cosine") == [(1, 1.0), (3, 0.7071067690849304)]
    assert triangle.search([1.0, 0.0], 2, "euclidean") == [(1, 0.0), (3, 1.0)]
    result = triangle.search([3.0, 1.0], 3, "dot")
    assert result == [(3, 4.0), (1, 3.0), (2, 1.0)]
    assert all(type(i) is int and type(score) is float for i, score in result)


@pytest.mark.parametrize("name, canonical", [
    ("COSINE", "cosine"), ("Cosine", "cosine"),
    ("Dot", "dot_product"), ("DOT_PRODUCT", "dot_product"), ("dot", "dot_product"),
    ("L2", "euclidean"), ("EuClIdEaN", "euclidean"), ("l2", "euclidean"),
])
def test_metric_names_are_lower_cased(triangle, name, canonical):
    expected = triangle.search([3.0, 1.0], 3, canonical)
    assert triangle.search([3.0, 1.0], 3, name) == expected
    assert triangle.batch_search([[3.0, 1.0]], 3, name) == [expected]


@pytest.mark.parametrize("name", ["cos", " cosine", "cosine ", "", "manhattan", "dot-product",
                                  "\u0130", "\uff43osine"])
def test_unknown_metric_names(triangle, name):
    for call, message in ((lambda: triangle.search([1.0, 0.0], 3, name), SEARCH_UNKNOWN),
                          (lambda: triangle.batch_search([[1.0, 0.0]], 3, name), BATCH_UNKNOWN),
                          (lambda: triangle.batch_search([], 3, name), BATCH_UNKNOWN)):
        with pytest.raises(ValueError) as raised:
            call()
        assert str(raised.value) == message
        assert not hasattr(raised.value, "__notes__")


def test_tenant_filter(triangle):
    assert triangle.search([1.0, 1.0], 5, "l2", tenant_id="") == [(2, 1.0)]
    assert triangle.search([1.0, 1.0], 5, "l2", "a") == [(3, 0.0)]
    assert triangle.search([1.0, 1.0], 5, "l2", "A") == []
    assert triangle.search([1.0, 1.0], 5, "l2", None) == triangle.search([1.0, 1.0], 5, "l2")
    assert len(triangle.search([1.0, 1.0], 5, "l2")) == 3


def test_limits(triangle):
    assert triangle.search([1.0, 0.0], 0, "cosine") == []
    assert len(triangle.search([1.0, 0.0], 2**64 - 1, "l2")) == 3
    assert triangle.batch_search([[1.0, 0.0]], 2**64 - 1, "dot")[0][0] == (1, 1.0)


def test_empty_store_and_empty_batch():
    store = VectorStorage()
    assert store.search([1.0], 10, "cosine") == []
    assert store.batch_search([[1.0], [1.0]], 10, "cosine") == [[], []]
    assert store.batch_search([], 10, "cosine") == []
    assert store.batch_search((), 10, "cosine") == []


def test_identifiers_above_two_to_the_63():
    store = VectorStorage()
    for identifier in (2**63, 2**64 - 1):
        store.upsert(identifier, [1.0], None)
    assert sorted(i for i, _ in store.search([1.0], 5, "dot")) == [2**63, 2**64 - 1]


@pytest.mark.parametrize("count", [60, 700])  # the exact scan, and the graph route
def test_batch_answers_like_single_searches(count):
    rng = np.random.default_rng(count)
    store = VectorStorage()
    for i in range(count):
        store.upsert(i, rng.standard_normal(8).tolist(), {"tenant_id": "ab"[i % 2]})
    queries = rng.standard_normal((25, 8)).tolist()
    for metric in ("cosine", "dot", "l2"):
        for tenant in (None, "a"):
            expected = [store.search(q, 7, metric, tenant) for q in queries]
            assert store.batch_search(queries, 7, metric, tenant) == expected
            assert store.batch_search(tuple(queries), 7, metric, tenant_id=tenant) == expected


def os_error_cases(tmp_path):
    return [
        (lambda s: s.load(str(tmp_path / "missing")),
         "Failed to open snapshot file: No such file or directory (os error 2)"),
        (lambda s: s.load(str(tmp_path)), "Failed to read snapshot file bytes: Is a directory (os error 21)"),
        (lambda s: s.save(str(tmp_path / "missing" / "x")),
         "Failed to create snapshot file: No such file or directory (os error 2)"),
        (lambda s: s.save(str(tmp_path) + "/a\0b"),
         "Failed to create snapshot file: file name contained an unexpected NUL byte"),
        (lambda s: s.load(str(tmp_path) + "/a\0b"),
         "Failed to open snapshot file: file name contained an unexpected NUL byte"),
    ]


def test_save_and_load_raise_plain_os_errors(tmp_path, triangle):
    for call, message in os_error_cases(tmp_path):
        with pytest.raises(OSError) as raised:
            call(triangle)
        error = raised.value
        assert type(error) is OSError
        assert error.args == (message,)
        assert (error.errno, error.filename) == (None, None)
    assert len(triangle.search([1.0, 0.0], 5, "l2")) == 3


def test_save_then_load_into_another_store(tmp_path, triangle):
    path = str(tmp_path / "triangle.snap")
    assert triangle.save(path) is None
    copy = VectorStorage()
    copy.upsert(9, [5.0, 5.0], None)
    assert copy.load(path=path) is None
    assert copy.search([1.0, 0.0], 5, "cosine") == triangle.search([1.0, 0.0], 5, "cosine")


def test_batches_from_several_threads_share_the_pool():
    rng = np.random.default_rng(7)
    store = VectorStorage()
    for i in range(300):
        store.upsert(i, rng.standard_normal(4).tolist(), None)
    queries = rng.standard_normal((40, 4)).tolist()
    expected = store.batch_search(queries, 5, "l2")
    answers = []

    def ask():
        answers.extend(store.batch_search(queries, 5, "l2") == expected for _ in range(10))

    threads = [threading.Thread(target=ask) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert answers == [True] * 40
