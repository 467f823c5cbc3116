"""Conversion of upsert's payload dictionary, observed through the bytes that save writes."""

import decimal
import struct
import sys
import threading

import pytest

from tarnwick import VectorStorage
from snapshot_bytes import FloatSub, IntSub, StrSub

# A store holding only point 1 with an empty vector starts with: one point, key 1, id 1,
# vector length 0. After the payload come the graph parameters and the single node.
POINT_HEAD = b"\x01\x01\x01\x00"
GRAPH_TAIL_LENGTH = 25


class DictSub(dict):
    pass


class TwinKey(str):
    """Equal text, yet a distinct dict key: two of them encode to the same bytes."""

    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other


def saved_payload(tmp_path, payload):
    store = VectorStorage()
    store.upsert(1, [], payload)
    path = tmp_path / "store.snap"
    store.save(str(path))
    data = path.read_bytes()
    assert data.startswith(POINT_HEAD)
    assert data[-GRAPH_TAIL_LENGTH:].startswith(b"\x10\x40\x20\x01\x01")
    return data[len(POINT_HEAD):-GRAPH_TAIL_LENGTH]


def one_entry(value_bytes):
    """A present payload with the single key 'k'."""
    return b"\x01\x01" + b"\x01k" + value_bytes


def text(tag, value):
    encoded = value.encode()
    return bytes([tag, len(encoded)]) + encoded


PAYLOAD_CASES = [
    (None, b"\x00"),
    ({}, b"\x01\x00"),
    ({"k": ""}, one_entry(text(0, ""))),
    ({"k": "a" * 64}, one_entry(text(0, "a" * 64))),
    ({"k": "a" * 65}, one_entry(text(1, "a" * 65))),
    ({"k": "\u00e9" * 32}, one_entry(text(0, "\u00e9" * 32))),
    ({"k": "\u00e9" * 33}, one_entry(text(1, "\u00e9" * 33))),
    ({"k": "\u20ac" * 22}, one_entry(text(1, "\u20ac" * 22))),
    ({"k": StrSub("x")}, one_entry(text(0, "x"))),
    ({StrSub("k"): "x"}, one_entry(text(0, "x"))),
    ({"k": True}, one_entry(b"\x02\x02")),
    ({"k": False}, one_entry(b"\x02\x00")),
    ({"k": -1}, one_entry(b"\x02\x01")),
    ({"k": IntSub(7)}, one_entry(b"\x02\x0e")),
    ({"k": -2**63}, one_entry(b"\x02" + b"\xff" * 9 + b"\x01")),
    ({"k": 1.5}, one_entry(b"\x03" + struct.pack("<d", 1.5))),
    ({"k": 2.0}, one_entry(b"\x03" + struct.pack("<d", 2.0))),
    ({"k": FloatSub(0.25)}, one_entry(b"\x03" + struct.pack("<d", 0.25))),
    ({"a": [1], "b": None, "c": b"x", "d": 1j, "e": decimal.Decimal(1), "f": {}}, b"\x01\x00"),
    ({TwinKey("k"): 1, TwinKey("k"): 2}, one_entry(b"\x02\x04")),
    (DictSub(k=3), one_entry(b"\x02\x06")),
]


@pytest.mark.parametrize("payload, encoded", PAYLOAD_CASES)
def test_payload_values(tmp_path, payload, encoded):
    assert saved_payload(tmp_path, payload) == encoded


# Errors inside the dictionary are raised as they are, without the argument note.
PAYLOAD_ERRORS = [
    ({"a": 1, 1: None}, TypeError, "'int' object is not an instance of 'str'"),
    ({None: 1}, TypeError, "'None' is not an instance of 'str'"),
    ({b"k": []}, TypeError, "'bytes' object is not an instance of 'str'"),
    ({"a": 2**63}, OverflowError, None),
    ({"a": -2**63 - 1}, OverflowError, None),
    ({"\ud800": 1}, UnicodeEncodeError, None),
    ({"a": "\udfff"}, UnicodeEncodeError, None),
]


@pytest.mark.parametrize("payload, error, message", PAYLOAD_ERRORS)
def test_payload_errors_leave_the_old_record(payload, error, message):
    store = VectorStorage()
    store.upsert(1, [1.0, 0.0], {"tenant_id": "a"})
    with pytest.raises(error) as raised:
        store.upsert(1, [0.0, 1.0], payload)
    if message is not None:
        assert str(raised.value) == message
    assert not hasattr(raised.value, "__notes__")
    assert store.search([1.0, 0.0], 5, "cosine", "a") == [(1, 1.0)]


def test_replacing_a_point_replaces_its_payload():
    store = VectorStorage()
    store.upsert(1, [1.0, 0.0], {"tenant_id": "a"})
    store.upsert(1, [0.0, 1.0], {"tenant_id": "b"})
    assert store.search([0.0, 1.0], 5, "cosine", "b") == [(1, 1.0)]
    assert store.search([0.0, 1.0], 5, "cosine", "a") == []
    store.upsert(1, [0.0, 1.0], None)
    assert store.search([0.0, 1.0], 5, "cosine", "b") == []
    assert store.search([0.0, 1.0], 5, "cosine") == [(1, 1.0)]


@pytest.mark.skipif(getattr(sys, "_is_gil_enabled", lambda: True)(),
                    reason="with the GIL no other thread can change the dict during a conversion")
def test_payload_changed_by_another_thread():
    store = VectorStorage()
    payload = {str(i): i for i in range(2000)}
    stop = threading.Event()

    def churn():
        while not stop.is_set():
            payload["extra"] = 1
            del payload["extra"]
            payload.pop("0", None)
            payload["0"] = 0

    thread = threading.Thread(target=churn)
    thread.start()
    messages = set()
    try:
        for _ in range(300):
            try:
                store.upsert(1, [], payload)
            except RuntimeError as error:
                messages.add(str(error))
    finally:
        stop.set()
        thread.join()
    assert messages <= {"dictionary changed size during iteration",
                        "dictionary keys changed during iteration"}
