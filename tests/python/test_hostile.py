"""Hostile arguments: every method, given arbitrary Python objects, either works or raises a
clean exception, and a call that fails leaves the store byte for byte as it was."""

import array
import os
import pathlib
import sys
import tempfile

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from tarnwick import VectorStorage
from snapshot_bytes import FloatSub, IntSub, StrSub

# Hostile arguments make the interpreter and numpy warn (complex cast to real, __float__
# returning a float subclass); the warnings are expected, the outcomes are what is tested.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore::numpy.exceptions.ComplexWarning")


class Hostile(Exception):
    """Raised by the test's own objects from their special methods."""


# UnicodeEncodeError is a ValueError. MemoryError is left out on purpose: nothing here is
# large enough to exhaust memory, so one would mean that a lying length was trusted.
CLEAN_ERRORS = (TypeError, OverflowError, ValueError, RuntimeError, OSError)
EMPTY_STORE = bytes([0x00, 0x10, 0x40, 0x20, 0x00, 0x00, 0x00])
STORE_POINTS = 600  # above the exact-scan threshold, so searches walk the graph

# The special methods below return `outcome`, or raise it when it is an exception.
def behave(outcome):
    if isinstance(outcome, BaseException):
        raise outcome
    return outcome


class Index:
    def __init__(self, outcome):
        self.outcome = outcome

    def __index__(self):
        return behave(self.outcome)


class FloatLike:
    def __init__(self, outcome):
        self.outcome = outcome

    def __float__(self):
        return behave(self.outcome)


class FakeSequence:
    """Item access over `items` (IndexError ends it), with a chosen __len__; the item at
    `fail_at` raises instead."""

    def __init__(self, items, length, fail_at):
        self.items, self.length, self.fail_at = items, length, fail_at

    def __len__(self):
        return behave(self.length)

    def __getitem__(self, i):
        if i == self.fail_at:
            raise Hostile(f"item {i}")
        return self.items[i]


class GrowingSequence(FakeSequence):
    """Claims `length` items but yields twice as many as it holds: it grows while read."""

    def __getitem__(self, i):
        if i >= 2 * len(self.items):
            raise IndexError(i)
        return self.items[i % len(self.items)]


class BadIter(FakeSequence):
    """A sequence whose __iter__ raises or returns something that is not an iterator."""

    def __iter__(self):
        return behave(self.length)


class Resizer:
    """An item that, when converted to a float, empties or extends the list that holds it."""

    def __init__(self, grow):
        self.grow, self.owner = grow, None

    def __float__(self):
        if self.owner is not None:
            if self.grow and len(self.owner) < 64:
                self.owner.extend([1.0, self])
            else:
                self.owner.clear()
        return 1.0


class ShrinkingList(list):
    """A list subclass whose own iterator removes items as it goes."""

    def __iter__(self):
        while self:
            yield self.pop()


def resizing_list(items, grow):
    """An exact list holding Resizer items that point back at it."""
    resizer = Resizer(grow)
    owner = [*items, resizer, *items]
    resizer.owner = owner
    return owner


HUGE = {"vector": [0.5] * 1_000_000, "batch": [[0.25] * 8] * 2_000}
SURROGATES = st.characters(categories=["Cs"])
TEXT = st.text(st.one_of(st.characters(), SURROGATES), max_size=12)
EDGE_INTS = [0, 1, -1, 2**31, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64 - 1, 2**64, 10**100, -(10**100)]
METRICS = ["cosine", "COSINE", "Dot", "dot_product", "L2", "euclidean", "cos", " cosine", "", "COSİNE", "ＣＯＳＩＮＥ"]
# The objects' own exceptions, fresh each time (a shared instance would pile up tracebacks).
OWN_ERRORS = (Hostile, ZeroDivisionError, KeyError)
RAISED = st.sampled_from([*OWN_ERRORS, TypeError, ValueError]).map(lambda kind: kind("raised by the argument"))
ALLOWED = CLEAN_ERRORS + OWN_ERRORS
OUTCOMES = st.one_of(
    RAISED, st.integers(), st.sampled_from(EDGE_INTS), st.floats(), st.builds(IntSub, st.integers(-9, 9)),
    st.builds(FloatSub, st.floats()), st.none(), TEXT, st.just(sys.maxsize), st.just(-1), st.just(2**70),
)
NUMPY_ARRAYS = [
    np.arange(6).astype(dtype) for dtype in ["f4", "f8", ">f4", ">f8", "f2", "i1", "u8", "i8", "?", "c8", "O", "U3", "M8[s]"]
] + [
    np.arange(12, dtype="f4")[::3], np.arange(12, dtype="f8").reshape(3, 4), np.arange(12, dtype="f4").reshape(3, 4)[:, 1],
    np.float32(2.5) * np.ones(()), np.zeros(0, dtype="f4"), np.array([2**53 + 1, -(2**63), 2**63 - 1], dtype="i8"),
    np.array([np.nan, np.inf, -0.0, 1e39, 5e-324], dtype="f8"), np.zeros(3, dtype=[("a", "f4"), ("b", "i2")]),
]
BUFFERS = NUMPY_ARRAYS + [
    array.array("d", [1.5, -0.0, float("nan")]), array.array("f", [1e38, 3.0]), array.array("q", [2**62 + 1]),
    array.array("B", b"\x00\xff"), memoryview(b"\x00\x01\x02\x03\x04\x05\x06\x07").cast("f"),
    memoryview(bytes(16)).cast("d", [2]), memoryview(bytes(16)).cast("B", [4, 4]), memoryview(b"abc"),
    b"\x01\xff", bytearray(b"\x07"),
]


# Large values are reached through named functions, never st.just() or a bound method:
# Hypothesis writes a strategy's repr, values included, into messages that it keeps.
def huge(name):
    return HUGE[name]


def buffer(index):
    return BUFFERS[index]


def leaves():
    return st.one_of(
        st.none(), st.booleans(), st.integers(), st.sampled_from(EDGE_INTS), st.floats(), TEXT, st.binary(max_size=8),
        st.sampled_from(METRICS), st.builds(StrSub, TEXT), st.builds(IntSub, st.sampled_from(EDGE_INTS)),
        st.builds(FloatSub, st.floats()), st.builds(Index, OUTCOMES), st.builds(FloatLike, OUTCOMES),
        st.complex_numbers(), st.sampled_from([object(), int, Ellipsis, range(0, 40, 3), range(0)]),
        st.integers(0, len(BUFFERS) - 1).map(buffer), st.sampled_from(sorted(HUGE)).map(huge),
    )


def containers(children):
    items = st.lists(children, max_size=6)
    keys = st.one_of(TEXT, st.builds(StrSub, TEXT), st.integers(), st.none(), st.floats(), st.tuples(), st.binary(max_size=3))
    return st.one_of(
        items, items.map(tuple), items.map(ShrinkingList),
        st.dictionaries(keys, children, max_size=5), st.dictionaries(TEXT, children, max_size=5),
        st.builds(FakeSequence, items, OUTCOMES, st.integers(-1, 4)),
        st.builds(GrowingSequence, items.filter(len), OUTCOMES, st.just(None)),
        st.builds(BadIter, items, st.one_of(RAISED, st.integers(), st.none()), st.just(None)),
        st.builds(resizing_list, items, st.booleans()),
    )


HOSTILE = st.recursive(leaves(), containers, max_leaves=12)
FLOAT_LISTS = st.lists(st.floats(width=32), max_size=10)
VALID = {
    "point_id": st.integers(0, 2**64 - 1),
    "vector": FLOAT_LISTS,
    "query_vector": FLOAT_LISTS,
    "query_vectors": st.lists(st.one_of(FLOAT_LISTS, HOSTILE), max_size=4),
    "payload": st.one_of(st.none(), st.dictionaries(TEXT, st.one_of(TEXT, st.integers(), st.floats(), HOSTILE), max_size=4)),
    "limit": st.one_of(st.integers(0, 20), st.just(2**64 - 1)),
    "metric": st.sampled_from(METRICS),
    "tenant_id": st.one_of(st.none(), st.sampled_from(["a", "b", ""]), TEXT),
    "path": st.sampled_from(["good", "corrupt", "empty", "new", ".", "", "x" * 300, "a\0b"]),
}
PARAMETERS = {
    "upsert": ["point_id", "vector", "payload"],
    "search": ["query_vector", "limit", "metric", "tenant_id"],
    "batch_search": ["query_vectors", "limit", "metric", "tenant_id"],
    "save": ["path"],
    "load": ["path"],
}


def confined(value):
    """Keeps a path argument inside the working directory, whatever else it is."""
    if isinstance(value, str) and "/" in value:
        return type(value)(value.replace("/", "_"))
    return value


@st.composite
def calls(draw, method):
    """Arguments for one call: each parameter valid or hostile, bound in various ways."""
    names = PARAMETERS.get(method, [])
    values = [confined(draw(st.one_of(VALID[name], HOSTILE))) for name in names]
    shape = draw(st.sampled_from(["positional"] * 6 + ["keywords", "mixed", "missing", "extra", "unknown", "twice"]))
    if shape == "keywords":
        return (), dict(zip(names, values))
    if shape == "mixed":
        cut = draw(st.integers(0, len(names)))
        return tuple(values[:cut]), dict(zip(names[cut:], values[cut:]))
    if shape == "missing":
        return tuple(values[: draw(st.integers(0, max(len(names) - 1, 0)))]), {}
    if shape == "extra":
        return (*values, *draw(st.lists(HOSTILE, min_size=1, max_size=2))), {}
    if shape == "unknown":
        return tuple(values), {draw(TEXT): draw(HOSTILE)}
    if shape == "twice" and names:
        return tuple(values), {names[0]: values[0]}
    return tuple(values), {}


@pytest.fixture
def memory_dir(tmp_path):
    """A directory in memory when possible: every example saves twice, and a save syncs."""
    in_memory = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(dir=in_memory or tmp_path) as name:
        yield pathlib.Path(name)


@pytest.fixture
def workdir(memory_dir, monkeypatch):
    """The snapshot that every example's store starts from ("base"), and a working directory
    ("files") for the files that path arguments may name."""
    rng = np.random.default_rng(7)
    store = VectorStorage()
    for i in range(STORE_POINTS):
        payload = None if i % 5 == 0 else {"tenant_id": "ab"[i % 2], "n": i, "x": i / 3}
        store.upsert(i, rng.standard_normal(8).astype(np.float32).tolist(), payload)
    store.save(str(memory_dir / "base"))
    (memory_dir / "files").mkdir()
    monkeypatch.chdir(memory_dir / "files")
    return memory_dir


def reset_files(workdir):
    """The files a path argument may name: a good snapshot, a cut one, an empty one."""
    files = workdir / "files"
    for name in os.listdir(files):
        (files / name).unlink()
    (files / "good").write_bytes((workdir / "base").read_bytes())
    (files / "corrupt").write_bytes(b"\x01\x07\x07\x02\xff")
    (files / "empty").write_bytes(b"")


def saved_bytes(store, workdir):
    path = workdir / "compare"
    store.save(str(path))
    return path.read_bytes()


def leftover_temporaries(workdir):
    return [name for folder in (workdir, workdir / "files") for name in os.listdir(folder) if ".tmp-" in name]


def check_call(method, args, kwargs, workdir):
    reset_files(workdir)
    store = VectorStorage()
    store.load(str(workdir / "base"))
    before = saved_bytes(store, workdir)
    try:
        result = getattr(store, method)(*args, **kwargs)
    except ALLOWED:
        assert saved_bytes(store, workdir) == before
    else:
        if method == "search":
            assert all(type(i) is int and type(s) is float for i, s in result)
        if method == "batch_search":
            assert all(type(answer) is list for answer in result)
        if method in ("search", "batch_search", "save"):
            assert saved_bytes(store, workdir) == before
    assert leftover_temporaries(workdir) == []


EXAMPLES = [pytest.param(200, id="200"), pytest.param(1000, id="1000", marks=pytest.mark.slow)]
HYPOTHESIS = dict(deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@pytest.mark.parametrize("examples", EXAMPLES)
@pytest.mark.parametrize("method", list(PARAMETERS))
def test_method_survives_hostile_arguments(workdir, method, examples):
    @settings(max_examples=examples, **HYPOTHESIS)
    @given(call=calls(method))
    def run(call):
        check_call(method, *call, workdir)

    run()


@pytest.mark.parametrize("examples", EXAMPLES)
def test_constructor_survives_hostile_arguments(examples):
    @settings(max_examples=examples, **HYPOTHESIS)
    @given(args=st.lists(HOSTILE, max_size=2), kwargs=st.dictionaries(TEXT, HOSTILE, max_size=2))
    def run(args, kwargs):
        try:
            store = VectorStorage(*args, **kwargs)
        except TypeError:
            assert args or kwargs
        else:
            assert not args and not kwargs
            assert store.search([1.0], 5, "cosine") == []

    run()


def outcome_of_upsert(vector, folder):
    """The stored point's bytes (all but the random graph level), or the exception's type."""
    store = VectorStorage()
    try:
        store.upsert(1, vector, None)
    except ALLOWED as error:
        return type(error)
    data = saved_bytes(store, folder)
    return data[:-20] + data[-19:]  # the byte 20 from the end is the node's random level


@pytest.mark.parametrize("vector", BUFFERS, ids=lambda v: f"{type(v).__name__}-{getattr(v, 'dtype', '')}")
def test_buffers_convert_like_their_items(memory_dir, vector):
    """An array or other buffer gives the very vector that its items, one by one, give."""
    try:
        items = list(vector)
    except ALLOWED as error:
        items = type(error)
    by_items = items if isinstance(items, type) else outcome_of_upsert(items, memory_dir)
    assert outcome_of_upsert(vector, memory_dir) == by_items
