"""tarnwick on a Ray cluster: ShardedStore spreads one collection over shards that are Ray
actors, each owning one tarnwick.VectorStorage, behind the same calls."""

from .errors import PartialWriteError, ShardUnavailableError
from .routing import HASH_NAME, shard_of, splitmix64
from .store import ShardedStore

__all__ = ["HASH_NAME", "PartialWriteError", "ShardUnavailableError", "ShardedStore",
           "shard_of", "splitmix64"]
