"""Per-store graph parameters and dimension, per-call search options, look-ups and repr."""

import re

import numpy as np
import pytest

import snapshot_format

from tarnwick import VectorStorage

MAX = 2**20
V = [1.0]


def f(name):
    return f"VectorStorage.{name}()"


@pytest.fixture(scope="module")
def large():
    """A store on the graph route, with payloads of every kind and points without one."""
    rng = np.random.default_rng(7)
    vectors = rng.standard_normal((800, 8)).astype(np.float32)
    store = VectorStorage()
    for point_id, vector in enumerate(vectors):
        payload = None if point_id % 5 == 0 else {
            "tenant_id": f"t{point_id % 3}", "rank": point_id, "weight": point_id / 4,
            "note": "x" * 70}
        store.upsert(point_id, vector, payload)
    return store, vectors


def payload_of(point_id):
    if point_id % 5 == 0:
        return None
    return {"tenant_id": f"t{point_id % 3}", "rank": point_id, "weight": point_id / 4, "note": "x" * 70}


@pytest.mark.parametrize("kwargs, values", [
    ({}, (16, 64, 32, None)),
    ({"m": 2, "ef_construction": 1, "ef_search": 1, "dim": 1}, (2, 1, 1, 1)),
    ({"m": 256, "ef_construction": MAX, "ef_search": MAX, "dim": MAX}, (256, MAX, MAX, MAX)),
    ({"m": True, "ef_search": np.uint16(7), "dim": None}, None),  # bool is an int below 2
])
def test_constructor_parameters(kwargs, values):
    if values is None:
        with pytest.raises(ValueError, match="^m must be between 2 and 256, got 1$"):
            VectorStorage(**kwargs)
        return
    store = VectorStorage(**kwargs)
    assert (store.m, store.ef_construction, store.ef_search, store.dim) == values


@pytest.mark.parametrize("kwargs, error, message", [
    ({"m": 1}, ValueError, "m must be between 2 and 256, got 1"),
    ({"m": 257}, ValueError, "m must be between 2 and 256, got 257"),
    ({"ef_construction": 0}, ValueError, "ef_construction must be between 1 and 1048576, got 0"),
    ({"ef_search": MAX + 1}, ValueError, "ef_search must be between 1 and 1048576, got 1048577"),
    ({"dim": 0}, ValueError, "dim must be between 1 and 1048576, got 0"),
    ({"m": -1}, OverflowError, None),
    ({"ef_search": 2**64}, OverflowError, None),
    ({"dim": 2.0}, TypeError, None),
    ({"m": "16"}, TypeError, None),
])
def test_constructor_range_and_conversion_errors(kwargs, error, message):
    with pytest.raises(error) as raised:
        VectorStorage(**kwargs)
    if message is not None:
        assert str(raised.value) == message
        assert not hasattr(raised.value, "__notes__")
    else:
        assert raised.value.__notes__ == [f"while processing '{next(iter(kwargs))}'"]


@pytest.mark.parametrize("args, kwargs, message", [
    ((1,), {}, f"{f('__new__')} takes 0 positional arguments but 1 was given"),
    ((16, 64), {}, f"{f('__new__')} takes 0 positional arguments but 2 were given"),
    ((), {"x": 1}, f"{f('__new__')} got an unexpected keyword argument 'x'"),
    ((), {"M": 1}, f"{f('__new__')} got an unexpected keyword argument 'M'"),
    ((V, 3, "cosine", None, 5), {}, f"{f('search')} takes from 3 to 4 positional arguments but 5 were given"),
    ((V, 3, "cosine", None, None, False), {}, f"{f('search')} takes from 3 to 4 positional arguments but 6 were given"),
    ((V, 3, "cosine"), {"ef": 3}, f"{f('search')} got an unexpected keyword argument 'ef'"),
    ((V, 3, "cosine"), {"payload": True}, f"{f('search')} got an unexpected keyword argument 'payload'"),
    ((V,), {"ef_search": 3}, f"{f('search')} missing 2 required positional arguments: 'limit' and 'metric'"),
    ((), {}, f"{f('get')} missing 1 required positional argument: 'point_id'"),
    ((1, 2), {}, f"{f('get')} takes 1 positional arguments but 2 were given"),
    ((1,), {"point_id": 1}, f"{f('get')} got multiple values for argument 'point_id'"),
])
def test_binding_messages(args, kwargs, message):
    if message.startswith(f("__new__")):
        call = VectorStorage
    else:
        call = getattr(VectorStorage(), message.split(".")[1].split("(")[0])
    with pytest.raises(TypeError) as raised:
        call(*args, **kwargs)
    assert str(raised.value) == message


def test_properties_are_read_only():
    store = VectorStorage()
    for name in ("m", "ef_construction", "ef_search", "dim"):
        with pytest.raises(AttributeError):
            setattr(store, name, 3)


def test_load_takes_the_files_parameters_and_keeps_dim(tmp_path):
    source = VectorStorage(m=5, ef_construction=9, ef_search=11, dim=2)
    source.upsert(1, [1.0, 2.0], None)
    path = str(tmp_path / "s")
    source.save(path)
    target = VectorStorage(m=40, dim=2)
    target.load(path)
    assert (target.m, target.ef_construction, target.ef_search, target.dim) == (5, 9, 11, 2)
    free = VectorStorage()
    free.load(path)
    assert free.dim is None and free.m == 5


def test_load_refuses_vectors_of_another_length(tmp_path):
    source = VectorStorage()
    source.upsert(1, [1.0, 2.0], None)
    source.upsert(2, [1.0, 2.0, 3.0], None)
    path = str(tmp_path / "s")
    source.save(path)
    target = VectorStorage(m=7, dim=2)
    target.upsert(9, [0.5, 0.5], None)
    with pytest.raises(OSError) as raised:
        target.load(path)
    assert str(raised.value) == ("Postcard binary deserialization pipeline failure (possible "
                                 "corruption): a stored vector has 3 floats, the store expects 2")
    assert type(raised.value) is OSError
    assert (len(target), target.m, target.get(9)) == (1, 7, ([0.5, 0.5], None))


@pytest.mark.parametrize("call, notes", [
    (lambda s: s.upsert(5, [1.0, 2.0, 3.0], None), None),
    (lambda s: s.upsert(5, [], None), None),
    (lambda s: s.search([1.0], 3, "cosine"), None),
    (lambda s: s.batch_search([[1.0, 2.0], [1.0, 2.0, 3.0]], 3, "cosine"),
     ["while processing 'query_vectors' item 1"]),
    (lambda s: s.upsert_many([5, 6], [[1.0, 2.0], [1.0]]), ["while processing 'vectors' item 1"]),
])
def test_dim_refuses_other_lengths_and_changes_nothing(call, notes):
    store = VectorStorage(dim=2)
    store.upsert(1, [1.0, 0.0], None)
    with pytest.raises(ValueError) as raised:
        call(store)
    assert re.fullmatch(r"expected a vector of 2 floats, got [0-9]+", str(raised.value))
    assert getattr(raised.value, "__notes__", None) == notes
    assert len(store) == 1 and 5 not in store


def test_dim_default_keeps_mixed_lengths():
    store = VectorStorage()
    store.upsert(1, [1.0], None)
    store.upsert(2, [1.0, 2.0], None)
    assert len(store) == 2 and store.dim is None


@pytest.mark.parametrize("point_id", [0, 2**64 - 1, 12345])
def test_len_contains_get(point_id):
    store = VectorStorage()
    assert len(store) == 0 and point_id not in store and store.get(point_id) is None
    store.upsert(point_id, [0.1, 2.0], {"tenant_id": "a", "n": -3, "x": 1.5, "t": "é" * 40})
    store.upsert(7, [1.0], None)
    assert len(store) == 2 and point_id in store
    vector, payload = store.get(point_id=point_id)
    assert vector == [float(np.float32(0.1)), 2.0]
    assert payload == {"tenant_id": "a", "n": -3, "x": 1.5, "t": "é" * 40}
    assert store.get(7) == ([1.0], None)
    store.upsert(point_id, [3.0], None)  # a replacement does not count twice
    assert len(store) == 2 and store.get(point_id) == ([3.0], None)


@pytest.mark.parametrize("key, error", [(-1, OverflowError), (2**64, OverflowError), ("1", TypeError), (1.0, TypeError)])
def test_contains_and_get_convert_like_point_id(key, error):
    store = VectorStorage()
    for call in (lambda: key in store, lambda: store.get(key)):
        with pytest.raises(error) as raised:
            call()
        assert raised.value.__notes__ == ["while processing 'point_id'"]


@pytest.mark.parametrize("method", ["search", "batch_search"])
@pytest.mark.parametrize("value, error, message", [
    (0, ValueError, "ef_search must be between 1 and 1048576, got 0"),
    (MAX + 1, ValueError, "ef_search must be between 1 and 1048576, got 1048577"),
    (-1, OverflowError, None),
    ("8", TypeError, None),
])
def test_ef_search_per_call_errors(method, value, error, message):
    store = VectorStorage()
    query = [1.0] if method == "search" else [[1.0]]
    with pytest.raises(error) as raised:
        getattr(store, method)(query, 3, "cosine", ef_search=value)
    if message:
        assert str(raised.value) == message
    else:
        assert raised.value.__notes__ == ["while processing 'ef_search'"]


def test_with_payload_truth_value_errors_carry_the_note():
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError("no truth")
    with pytest.raises(ZeroDivisionError) as raised:
        VectorStorage().search([1.0], 3, "cosine", with_payload=Bad())
    assert raised.value.__notes__ == ["while processing 'with_payload'"]


def test_ef_search_none_is_todays_answer_and_width_matters(large):
    store, vectors = large
    queries = vectors[:50] + 0.01
    plain = store.batch_search(queries, 10, "cosine")
    assert store.batch_search(queries, 10, "cosine", ef_search=None) == plain
    assert [store.search(q, 10, "cosine", ef_search=None) for q in queries] == plain
    # The store's own width given explicitly is the same search.
    assert store.batch_search(queries, 10, "cosine", ef_search=store.ef_search) == plain
    narrow = store.batch_search(queries, 10, "cosine", ef_search=1)
    wide = store.batch_search(queries, 10, "cosine", ef_search=400)
    assert [store.search(q, 10, "cosine", ef_search=400) for q in queries] == wide
    exact = [set(np.argsort(-(vectors @ q) / np.linalg.norm(vectors, axis=1))[:10]) for q in queries]
    recall = lambda answers: sum(len(e & {i for i, _ in a}) for e, a in zip(exact, answers))
    assert recall(narrow) <= recall(plain) <= recall(wide)
    assert all(len(a) == 10 for a in narrow)


@pytest.mark.parametrize("tenant", [None, "t1"])
@pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
def test_with_payload_on_the_graph_route(large, metric, tenant):
    store, vectors = large
    queries = vectors[100:110] + 0.05
    plain = store.batch_search(queries, 12, metric, tenant)
    with_payload = store.batch_search(queries, 12, metric, tenant, with_payload=True)
    assert [[(i, s) for i, s, _ in a] for a in with_payload] == plain
    assert all(p == payload_of(i) for a in with_payload for i, _, p in a)
    assert all(type(p["rank"]) is int and type(p["weight"]) is float
               for a in with_payload for _, _, p in a if p is not None)
    single = [store.search(q, 12, metric, tenant, with_payload=1) for q in queries]
    assert single == with_payload
    assert store.search(queries[0], 12, metric, tenant, with_payload=0) == plain[0]


def test_with_payload_on_the_exact_route():
    store = VectorStorage()
    store.upsert(1, [1.0, 0.0], {"tenant_id": "k", "i": 2**63 - 1, "f": -0.0})
    store.upsert(2, [0.9, 0.1], None)
    store.upsert(3, [0.0, 1.0], {"t": "y" * 65, "empty": ""})
    store.upsert(4, [0.5, 0.5], {})
    answer = store.search([1.0, 0.0], 10, "cosine", with_payload=True)
    assert [(i, p) for i, _, p in answer] == [
        (1, {"tenant_id": "k", "i": 2**63 - 1, "f": -0.0}), (2, None), (4, {}),
        (3, {"t": "y" * 65, "empty": ""})]
    assert [(i, s) for i, s, _ in answer] == store.search([1.0, 0.0], 10, "cosine")
    assert store.batch_search([[1.0, 0.0]], 1, "l2", "k", with_payload=True) == [
        [(1, 0.0, {"tenant_id": "k", "i": 2**63 - 1, "f": -0.0})]]
    assert store.batch_search([], 1, "l2", with_payload=True) == []


def test_payloads_follow_the_scored_point_not_its_reported_id(tmp_path):
    """A snapshot may give a point an id that is another point's key: each answer entry still
    carries the payload of the point that was scored."""
    path = tmp_path / "swapped.snapshot"
    path.write_bytes(snapshot_format.encode(snapshot_format.Snapshot(points=[
        snapshot_format.Point(1, 2, (1.0, 0.0), {"name": "one"}),
        snapshot_format.Point(2, 1, (0.0, 1.0), {"name": "two"})])))
    store = VectorStorage()
    store.load(str(path))
    assert store.search([1.0, 0.1], 2, "cosine", with_payload=True) == [
        (2, pytest.approx(0.9950372), {"name": "one"}), (1, pytest.approx(0.0995037), {"name": "two"})]


@pytest.mark.parametrize("kwargs, points, text", [
    ({}, 0, "<tarnwick.VectorStorage points=0 dim=None m=16 ef_search=32>"),
    ({"dim": 3, "m": 8, "ef_search": 100}, 2, "<tarnwick.VectorStorage points=2 dim=3 m=8 ef_search=100>"),
])
def test_repr(kwargs, points, text):
    store = VectorStorage(**kwargs)
    for point_id in range(points):
        store.upsert(point_id, [1.0, 2.0, 3.0], None)
    assert repr(store) == text
