"""Argument binding and conversion, shared by every VectorStorage method."""

import array
import math
import pathlib

import numpy as np
import pytest

from tarnwick import VectorStorage

V = [1.0, 0.0]


@pytest.fixture
def store():
    return VectorStorage()


def f(name):
    return f"VectorStorage.{name}()"


# (method, positional, keywords, message)
BINDING_CASES = [
    ("upsert", (), {}, f"{f('upsert')} missing 3 required positional arguments: 'point_id', 'vector', and 'payload'"),
    ("upsert", (1,), {}, f"{f('upsert')} missing 2 required positional arguments: 'vector' and 'payload'"),
    ("upsert", (1, V), {}, f"{f('upsert')} missing 1 required positional argument: 'payload'"),
    ("upsert", (1, V, None, 4), {}, f"{f('upsert')} takes 3 positional arguments but 4 were given"),
    ("upsert", (1, V, None), {"point_id": 1}, f"{f('upsert')} got multiple values for argument 'point_id'"),
    ("upsert", (1, V, None), {"bogus": 1}, f"{f('upsert')} got an unexpected keyword argument 'bogus'"),
    ("search", (), {}, f"{f('search')} missing 3 required positional arguments: 'query_vector', 'limit', and 'metric'"),
    ("search", ([1.0], 3), {}, f"{f('search')} missing 1 required positional argument: 'metric'"),
    ("search", ([1.0],), {"tenant_id": "a"}, f"{f('search')} missing 2 required positional arguments: 'limit' and 'metric'"),
    ("search", (V, 3, "cosine", None, 5), {}, f"{f('search')} takes from 3 to 4 positional arguments but 5 were given"),
    ("search", (V, 3, "cosine"), {"limit": 3}, f"{f('search')} got multiple values for argument 'limit'"),
    ("search", (V, 3, "cosine", None), {"tenant_id": None}, f"{f('search')} got multiple values for argument 'tenant_id'"),
    ("batch_search", (), {}, f"{f('batch_search')} missing 3 required positional arguments: 'query_vectors', 'limit', and 'metric'"),
    ("batch_search", ([V], 3, "l2", None, 5, 6), {}, f"{f('batch_search')} takes from 3 to 4 positional arguments but 6 were given"),
    ("batch_search", ([V], 3, "l2"), {"query_vector": [V]}, f"{f('batch_search')} got an unexpected keyword argument 'query_vector'"),
    ("save", (), {}, f"{f('save')} missing 1 required positional argument: 'path'"),
    ("save", ("a", "b"), {}, f"{f('save')} takes 1 positional arguments but 2 were given"),
    ("save", ("a",), {"path": "b"}, f"{f('save')} got multiple values for argument 'path'"),
    ("load", ("a", "b", "c"), {}, f"{f('load')} takes 1 positional arguments but 3 were given"),
    ("load", (), {"file": "a"}, f"{f('load')} got an unexpected keyword argument 'file'"),
    # Check order: too many positional first, then keywords in the order given, then missing.
    ("search", (V, 3, "cosine", None, 5), {"bogus": 1}, f"{f('search')} takes from 3 to 4 positional arguments but 5 were given"),
    ("search", (V,), {"bogus": 1, "query_vector": V}, f"{f('search')} got an unexpected keyword argument 'bogus'"),
    ("search", (V,), {"query_vector": V, "bogus": 1}, f"{f('search')} got multiple values for argument 'query_vector'"),
    ("search", (), {"bogus": 1}, f"{f('search')} got an unexpected keyword argument 'bogus'"),
]


@pytest.mark.parametrize("method, args, kwargs, message", BINDING_CASES)
def test_binding_errors(store, method, args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        getattr(store, method)(*args, **kwargs)
    assert str(raised.value) == message
    assert not hasattr(raised.value, "__notes__")


def test_every_parameter_binds_by_keyword(store):
    assert store.upsert(point_id=1, vector=V, payload=None) is None
    assert store.search(query_vector=V, limit=3, metric="cosine", tenant_id=None) == [(1, 1.0)]
    assert store.batch_search(query_vectors=[V], limit=3, metric="cosine") == [[(1, 1.0)]]


class Generated:
    """A sequence that only supports item access, with a configurable __len__."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.items[index]


class FailingIteration(list):
    def __iter__(self):
        raise ZeroDivisionError("no iteration")


class NoteRefused(Exception):
    def add_note(self, note):
        raise RuntimeError("notes refused")


class BadFloat:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


# (call, exception type, message or None for the interpreter's own, parameter of the note)
CONVERSION_CASES = [
    (lambda s: s.search(V, -1, "cosine"), OverflowError, None, "limit"),
    (lambda s: s.search(V, 2**64, "cosine"), OverflowError, None, "limit"),
    (lambda s: s.search(V, 2.0, "cosine"), TypeError, None, "limit"),
    (lambda s: s.search(V, "3", "cosine"), TypeError, None, "limit"),
    (lambda s: s.search(V, -1, "bogus"), OverflowError, None, "limit"),
    (lambda s: s.search("abc", 1, "cosine"), TypeError, "Can't extract `str` to `Vec`", "query_vector"),
    (lambda s: s.search(5, 1, "cosine"), TypeError, "'int' object is not an instance of 'Sequence'", "query_vector"),
    (lambda s: s.search(None, 1, "cosine"), TypeError, "'None' is not an instance of 'Sequence'", "query_vector"),
    (lambda s: s.search((x for x in V), 1, "cosine"), TypeError, "'generator' object is not an instance of 'Sequence'", "query_vector"),
    (lambda s: s.search({0: 1.0}, 1, "cosine"), TypeError, "'dict' object is not an instance of 'Sequence'", "query_vector"),
    (lambda s: s.search({1.0}, 1, "cosine"), TypeError, "'set' object is not an instance of 'Sequence'", "query_vector"),
    (lambda s: s.search([1.0, "a"], 1, "cosine"), TypeError, None, "query_vector"),
    (lambda s: s.search((1.0, None), 1, "cosine"), TypeError, None, "query_vector"),
    (lambda s: s.search([BadFloat(ValueError("bad"))], 1, "cosine"), ValueError, "bad", "query_vector"),
    (lambda s: s.search(FailingIteration(), 1, "cosine"), ZeroDivisionError, "no iteration", "query_vector"),
    (lambda s: s.search(V, 1, 7), TypeError, "'int' object is not an instance of 'str'", "metric"),
    (lambda s: s.search(V, 1, b"cosine"), TypeError, "'bytes' object is not an instance of 'str'", "metric"),
    (lambda s: s.search(V, 1, "cos\ud800"), UnicodeEncodeError, None, "metric"),
    (lambda s: s.search(V, 1, "cosine", 5), TypeError, "'int' object is not an instance of 'str'", "tenant_id"),
    (lambda s: s.search(V, 1, "bogus", "\ud800"), UnicodeEncodeError, None, "tenant_id"),
    (lambda s: s.batch_search("ab", 1, "cosine"), TypeError, "Can't extract `str` to `Vec`", "query_vectors"),
    (lambda s: s.batch_search([[1.0], "ab"], 1, "cosine"), TypeError, "Can't extract `str` to `Vec`", "query_vectors"),
    (lambda s: s.batch_search([[1.0], 5], 1, "cosine"), TypeError, "'int' object is not an instance of 'Sequence'", "query_vectors"),
    (lambda s: s.batch_search(None, 1, "cosine"), TypeError, "'None' is not an instance of 'Sequence'", "query_vectors"),
    (lambda s: s.batch_search([V, [1.0, "a"]], 1, "bogus"), TypeError, None, "query_vectors"),
    (lambda s: s.batch_search([V], 1.5, "cosine"), TypeError, None, "limit"),
    (lambda s: s.upsert(-1, V, None), OverflowError, None, "point_id"),
    (lambda s: s.upsert(2**64, V, None), OverflowError, None, "point_id"),
    (lambda s: s.upsert(1.0, V, None), TypeError, None, "point_id"),
    (lambda s: s.upsert(1, "ab", None), TypeError, "Can't extract `str` to `Vec`", "vector"),
    (lambda s: s.upsert(1, {1.0}, None), TypeError, "'set' object is not an instance of 'Sequence'", "vector"),
    (lambda s: s.upsert(1, V, 5), TypeError, "'int' object is not an instance of 'dict'", "payload"),
    (lambda s: s.upsert(1, V, [("a", 1)]), TypeError, "'list' object is not an instance of 'dict'", "payload"),
    (lambda s: s.save(b"snapshot"), TypeError, "'bytes' object is not an instance of 'str'", "path"),
    (lambda s: s.load(pathlib.PurePosixPath("x")), TypeError, "'PurePosixPath' object is not an instance of 'str'", "path"),
    (lambda s: s.save("\udc80"), UnicodeEncodeError, None, "path"),
]


@pytest.mark.parametrize("call, error, message, parameter", CONVERSION_CASES)
def test_conversion_errors_carry_the_parameter_note(store, call, error, message, parameter):
    with pytest.raises(error) as raised:
        call(store)
    assert type(raised.value) is error
    if message is not None:
        assert str(raised.value) == message
    assert raised.value.__notes__ == [f"while processing '{parameter}'"]


def test_a_note_that_cannot_be_added_is_dropped(store):
    with pytest.raises(NoteRefused) as raised:
        store.search([BadFloat(NoteRefused("first"))], 1, "cosine")
    assert str(raised.value) == "first" and not hasattr(raised.value, "__notes__")


def test_a_failed_upsert_stores_nothing(store):
    for call in (lambda: store.upsert(-1, V, None), lambda: store.upsert(2, "ab", None)):
        with pytest.raises((OverflowError, TypeError)):
            call()
    assert store.search(V, 10, "dot") == []


@pytest.mark.parametrize("vector", [
    [1, 2, 3],
    (1.0, 2.0, 3.0),
    range(1, 4),
    array.array("f", [1, 2, 3]),
    np.array([1, 2, 3], dtype=np.float32),
    [np.float32(1), np.int64(2), 3.0],
    Generated([1.0, 2.0, 3.0], 3),
    Generated([1.0, 2.0, 3.0], TypeError("len refused")),
    Generated([1.0, 2.0, 3.0], 2**62),
])
def test_vector_forms_accepted(store, vector):
    store.upsert(True, vector, None)
    assert store.search([1.0, 2.0, 3.0], 5, "dot") == [(1, 14.0)]
    assert store.search(vector, 5, "dot") == [(1, 14.0)]


def test_elements_round_to_single_precision(store):
    store.upsert(1, [1.0], None)
    assert store.search([1e39], 1, "dot") == [(1, math.inf)]
    assert store.search([-1e39], 1, "l2") == [(1, math.inf)]
    assert store.search([0.1], 1, "dot") == [(1, 0.10000000149011612)]
    store.upsert(2, [], None)
    assert store.search((), 5, "dot") == [(2, -0.0)]
    assert store.search([], 5, "l2") == [(2, -0.0)]


def test_integers_by_index_protocol_and_bool(store):
    store.upsert(np.uint64(2**64 - 1), V, None)
    store.upsert(True, V, None)
    assert sorted(i for i, _ in store.search(V, 2**64 - 1, "dot")) == [1, 2**64 - 1]
    assert len(store.search(V, True, "dot")) == 1
    assert len(store.search(V, np.int8(1), "dot")) == 1
