"""The snapshot format in plain Python: the one reader and writer of the tests and benchmarks.

It is written from the README's description alone, never from the store's code, so that the
tests that build or read snapshot bytes with it check the store against an independent
account. The benchmarks import it by path (it needs nothing but the standard library).
"""

import struct
from dataclasses import dataclass, field

LAYERS = 16


class Text(str):
    """A payload string stored as text (variant 1); a plain str is stored as a keyword (0)."""


@dataclass
class Point:
    key: int
    id: int
    vector: tuple[float, ...] | bytes  # float values, or their little-endian float32 bytes
    payload: dict | None = None


@dataclass
class Node:
    key: int
    id: int
    links: list[list[int]]  # one neighbour list per layer, LAYERS of them


@dataclass
class Snapshot:
    points: list[Point] = field(default_factory=list)
    m: int = 16
    ef_construction: int = 64
    ef_search: int = 32
    entry_point: int | None = None
    max_level: int = 0
    nodes: list[Node] = field(default_factory=list)


# Writing

def varint(n):
    """The shortest unsigned LEB128 form of n."""
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def text(value):
    data = value.encode()
    return varint(len(data)) + data


def payload_value(value):
    if isinstance(value, bool) or isinstance(value, int):
        return varint(2) + varint(value << 1 if value >= 0 else (-value << 1) - 1)
    if isinstance(value, float):
        return varint(3) + struct.pack("<d", value)
    return varint(1 if isinstance(value, Text) else 0) + text(value)


def payload(entries):
    if entries is None:
        return b"\x00"
    return b"\x01" + varint(len(entries)) + b"".join(
        text(key) + payload_value(value) for key, value in entries.items())


def point(entry):
    if isinstance(entry.vector, bytes):
        vector = varint(len(entry.vector) // 4) + entry.vector
    else:
        vector = varint(len(entry.vector)) + struct.pack(f"<{len(entry.vector)}f", *entry.vector)
    return varint(entry.key) + varint(entry.id) + vector + payload(entry.payload)


def node(entry):
    assert len(entry.links) == LAYERS, "a node has a neighbour list for every layer"
    return varint(entry.key) + varint(entry.id) + b"".join(
        varint(len(links)) + b"".join(map(varint, links)) for links in entry.links)


def encode(snapshot):
    entry = b"\x00" if snapshot.entry_point is None else b"\x01" + varint(snapshot.entry_point)
    return b"".join([
        varint(len(snapshot.points)), *map(point, snapshot.points),
        varint(snapshot.m), varint(snapshot.ef_construction), varint(snapshot.ef_search),
        entry, varint(snapshot.max_level),
        varint(len(snapshot.nodes)), *map(node, snapshot.nodes)])


# Reading

class Reader:
    """Reads a snapshot's fields in file order; `at` is the offset of the next one."""

    def __init__(self, data):
        self.data = data
        self.at = 0

    def take(self, count):
        chunk = self.data[self.at:self.at + count]
        if len(chunk) != count:
            raise ValueError("snapshot cut short")
        self.at += count
        return chunk

    def byte(self):
        return self.take(1)[0]

    def varint(self):
        value = shift = 0
        while True:
            byte = self.byte()
            value |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                return value

    def text(self):
        return self.take(self.varint()).decode()

    def payload_value(self):
        variant = self.varint()
        if variant == 0:
            return self.text()
        if variant == 1:
            return Text(self.text())
        if variant == 2:
            zigzag = self.varint()
            return (zigzag >> 1) ^ -(zigzag & 1)
        return struct.unpack("<d", self.take(8))[0]

    def payload(self):
        if not self.byte():
            return None
        return {self.text(): self.payload_value() for _ in range(self.varint())}

    def point(self):
        key, point_id, length = self.varint(), self.varint(), self.varint()
        vector = struct.unpack(f"<{length}f", self.take(4 * length))
        return Point(key, point_id, vector, self.payload())

    def node(self):
        key, node_id = self.varint(), self.varint()
        return Node(key, node_id, [[self.varint() for _ in range(self.varint())] for _ in range(LAYERS)])


def decode(data):
    """The Snapshot that `data` holds; ValueError when it is cut short or has bytes left over."""
    reader = Reader(data)
    snapshot = Snapshot(points=[reader.point() for _ in range(reader.varint())])
    snapshot.m, snapshot.ef_construction, snapshot.ef_search = (reader.varint() for _ in range(3))
    snapshot.entry_point = reader.varint() if reader.byte() else None
    snapshot.max_level = reader.varint()
    snapshot.nodes = [reader.node() for _ in range(reader.varint())]
    if reader.at != len(data):
        raise ValueError("bytes after the node table")
    return snapshot
