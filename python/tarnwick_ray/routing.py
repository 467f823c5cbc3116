"""Which shard holds a point: a fixed 64-bit hash of its id, modulo the shard count."""

import operator
from collections.abc import Iterable
from typing import SupportsIndex

# Recorded in every manifest: a directory saved under another hash cannot be loaded, since its
# points would sit on shards that the store never asks about them.
HASH_NAME = "splitmix64-mod"

_MASK = (1 << 64) - 1
ID_LIMIT = 1 << 64


def splitmix64(value: int) -> int:
    """The SplitMix64 finaliser of a 64-bit value: a fixed bijection of 0 .. 2**64 - 1 that
    spreads consecutive ids evenly. Unlike Python's hash() it is the same in every process,
    release and machine."""
    value = ((value ^ (value >> 30)) * 0xBF58476D1CE4E5B9) & _MASK
    value = ((value ^ (value >> 27)) * 0x94D049BB133111EB) & _MASK
    return value ^ (value >> 31)


def point_id_value(point_id: object, parameter: str = "point_id", item: str = "") -> int:
    """The id as an int from 0 to 2**64 - 1: TypeError for a non-integer, OverflowError
    outside that range, each with the note naming the parameter (as the store does)."""
    try:
        value = operator.index(point_id)  # type: ignore[arg-type]
        if not 0 <= value < ID_LIMIT:
            raise OverflowError(f"point id {value} is outside 0 .. 2**64 - 1")
    except (TypeError, OverflowError) as error:
        error.add_note(f"while processing '{parameter}'{item}")
        raise
    return value


def shard_of(point_id: SupportsIndex, shards: int) -> int:
    """The shard, 0 to `shards` - 1, that holds the point `point_id`."""
    return splitmix64(point_id_value(point_id)) % shards


def point_id_values(point_ids: Iterable[object]) -> list[int]:
    """The ids as ints; a bad one raises with the note naming its index."""
    values = []
    for item, point_id in enumerate(point_ids):
        values.append(point_id_value(point_id, "point_ids", f" item {item}"))
    return values


def split_by_shard(point_ids: Iterable[int], shards: int) -> list[list[int]]:
    """For each shard, the positions in `point_ids` of the ids it holds, in their order."""
    positions: list[list[int]] = [[] for _ in range(shards)]
    for position, point_id in enumerate(point_ids):
        positions[splitmix64(point_id) % shards].append(position)
    return positions
