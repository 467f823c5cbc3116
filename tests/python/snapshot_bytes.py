"""Shared pieces of the Python tests: snapshot byte building and argument subclasses."""

WRITE_FAILED = "Failed to write serialized bytes to disk: "
DECODE_FAILED = "Postcard binary deserialization pipeline failure (possible corruption): "


def varint(n):
    """The shortest unsigned LEB128 form of n."""
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


class StrSub(str):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass
