"""Shared pieces of the Python tests: the store's snapshot messages and argument subclasses.
Snapshot bytes are built and read with snapshot_format."""

WRITE_FAILED = "Failed to write serialized bytes to disk: "
DECODE_FAILED = "Postcard binary deserialization pipeline failure (possible corruption): "


class StrSub(str):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass
