"""The errors a sharded store raises when its shards fail."""

from collections.abc import Sequence


class ShardUnavailableError(RuntimeError):
    """A shard's actor died or cannot be reached; `shard` is its index. The store stays
    unusable for calls that reach that shard until `load` brings it back."""

    def __init__(self, shard: int, shards: int, reason: str) -> None:
        super().__init__(
            f"shard {shard} of {shards} is unavailable ({reason}); "
            "load(directory) from the last save brings the store back")
        self.shard = shard


class PartialWriteError(RuntimeError):
    """A write split over several shards reached only some of them. `applied` holds the
    shards that stored their part, `failed` those that did not (or whose outcome is
    unknown), `errors` the error of each failed shard."""

    def __init__(self, method: str, applied: Sequence[int], failed: Sequence[int],
                 errors: Sequence[BaseException]) -> None:
        applied_text = f"shards {list(applied)}" if applied else "no shard"
        reasons = "; ".join(str(error) for error in errors)
        super().__init__(
            f"{method} was applied on {applied_text} and not on shards {list(failed)}: {reasons}")
        self.method = method
        self.applied = tuple(applied)
        self.failed = tuple(failed)
        self.errors = tuple(errors)
