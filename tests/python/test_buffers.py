"""Float vectors given as buffers (numpy arrays, array.array, memoryview) convert exactly as
iterating them item by item would: same stored bits, same scores, same errors."""

import array
import ctypes
import struct
import warnings

import numpy as np
import pytest

from tarnwick import VectorStorage

# float32 bit patterns iteration must carry through: signed zeros, subnormals, the largest
# finite value, infinities, a quiet NaN with a payload and a signalling one.
F32_BITS = [0x00000000, 0x80000000, 0x00000001, 0x807FFFFF, 0x7F7FFFFF, 0x7F800000, 0xFF800000,
            0x7FC12345, 0x7F800001, 0xFF812345, 0x3DCCCCCD, 0x3F800000]
F32 = np.array(F32_BITS, dtype=np.uint32).view(np.float32)
# float64 values whose rounding to float32 is delicate: ties to even, overflow, underflow,
# and a signalling NaN.
F64 = np.array([1 + 2**-24, 1 + 3 * 2**-24, -(1 + 2**-24), 3.4028235677973366e38, 3.4028235677973362e38,
                1e39, -1e39, 1e-46, 2**-149 * 0.5, 2**-149 * 0.75, 0.1, -0.0, np.inf,
                struct.unpack("<d", struct.pack("<Q", 0x7FF0000000000001))[0]], dtype=np.float64)


class Reversed(np.ndarray):
    """An array subclass that iterates backwards: its buffer is not what iteration yields."""

    def __iter__(self):
        return iter(self.tolist()[::-1])


def forms(values):
    """Buffer-backed ways to pass the same vector, each with a name."""
    with np.errstate(all="ignore"):  # overflow to infinity is part of what is tested
        f32, f64, f16 = values.astype(np.float32), values.astype(np.float64), values.astype(np.float16)
    spread = np.repeat(f64, 2)
    return {
        "numpy float32": f32,
        "numpy float64": f64,
        "numpy float32 reversed view": f32[::-1][::-1],
        "numpy float32 every other item": np.repeat(f32, 2)[::2],
        "numpy float64 backwards": f64[::-1],
        "numpy float32 big-endian": f32.astype(">f4"),
        "numpy float16": f16,
        "numpy int64": np.arange(-3, 4),
        "numpy row of 2-D": np.stack([f32, f32])[1],
        "numpy subclass": f32.view(Reversed),
        "array f": array.array("f", f32.tobytes()),
        "array d": array.array("d", f64.tobytes()),
        "array i": array.array("i", [1, -2, 3]),
        "memoryview f": memoryview(array.array("f", f32.tobytes())),
        "memoryview cast to d": memoryview(f64.tobytes()).cast("d"),
        "memoryview strided": memoryview(spread.astype(np.float64))[1::2],
        "ctypes float array": (ctypes.c_float * len(f32))(*f32.tolist()),
        "bytes": bytes([1, 2, 250]),
    }


def iterated(vector):
    """What converting item by item yields: the reference the buffer route must match."""
    return [float(item) for item in vector]


def outcome(call):
    """A call's result, or its exception's type, text and notes; scores as raw bits."""
    try:
        result = call()
    except Exception as error:  # noqa: BLE001 - the error itself is the outcome compared
        return type(error), str(error), getattr(error, "__notes__", None)
    pack = lambda answer: [(i, struct.pack("<d", score)) for i, score in answer]
    return [pack(a) for a in result] if result and isinstance(result[0], list) else pack(result)


def stored_bytes(tmp_path, name, vector):
    """The snapshot's one point entry, vector bits included (the graph's levels are random)."""
    store = VectorStorage()
    store.upsert(7, vector, None)
    path = tmp_path / name
    store.save(str(path))
    # count, key, id, length (all one byte here), the floats, the payload byte
    return path.read_bytes()[:5 + 4 * len(vector)]


ALL_FORMS = [(values_name, form_name) for values_name in ("f32", "f64") for form_name in forms(F32)]


@pytest.mark.parametrize("values_name, form_name", ALL_FORMS)
def test_stored_bits_match_item_by_item_conversion(tmp_path, values_name, form_name):
    vector = forms(F32 if values_name == "f32" else F64)[form_name]
    assert stored_bytes(tmp_path, "buffer", vector) == stored_bytes(tmp_path, "items", iterated(vector))


@pytest.mark.parametrize("form_name", forms(F32))
@pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
def test_scores_match_item_by_item_conversion(form_name, metric):
    rng = np.random.default_rng(5)
    store = VectorStorage()
    for i, row in enumerate(rng.normal(size=(40, 3)).tolist()):
        store.upsert(i, row, None)
    query = forms(np.array([0.25, -1.5, 3.0]))[form_name]
    assert outcome(lambda: store.search(query, 10, metric)) == \
        outcome(lambda: store.search(iterated(query), 10, metric))


def test_a_subclass_with_its_own_iteration_is_iterated():
    store = VectorStorage()
    store.upsert(1, [1.0, 0.0, 0.0], None)
    backwards = np.array([1.0, 2.0, 3.0], dtype=np.float32).view(Reversed)
    assert store.search(backwards, 1, "dot") == [(1, 3.0)]


@pytest.mark.parametrize("vector", [
    np.ones((2, 3), dtype=np.float32),
    np.ones((3, 1), dtype=np.float64),
    np.array(1.0, dtype=np.float32),
    memoryview(np.ones((3, 1), dtype=np.float32)),
    np.ma.masked_array([1.0, 2.0, 3.0], mask=[False, True, False], dtype=np.float32),
], ids=["2-D", "column", "0-D", "2-D memoryview", "masked"])
def test_other_shapes_keep_the_item_by_item_outcome(vector):
    store = VectorStorage()
    store.upsert(1, [1.0, 1.0, 1.0], None)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # numpy warns when a masked item becomes a float
        got = outcome(lambda: store.search(vector, 1, "dot"))
        try:
            reference = iterated(vector)
        except Exception as error:  # noqa: BLE001 - the iteration's own error is expected back
            assert got == (type(error), str(error), ["while processing 'query_vector'"])
        else:
            assert got == outcome(lambda: store.search(reference, 1, "dot"))


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_batch_of_array_rows_matches_nested_lists(dtype):
    rng = np.random.default_rng(9)
    points = rng.normal(size=(600, 8))
    store = VectorStorage()
    for i, row in enumerate(points.tolist()):
        store.upsert(i, row, None)
    queries = rng.normal(size=(30, 8)).astype(dtype)
    expected = outcome(lambda: store.batch_search([iterated(q) for q in queries], 5, "cosine"))
    assert outcome(lambda: store.batch_search(queries, 5, "cosine")) == expected
    assert outcome(lambda: store.batch_search(list(queries[:, ::-1][:, ::-1]), 5, "cosine")) == expected
