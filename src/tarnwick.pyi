"""The module definition mapping the high-performance native routines into Python runtimes."""

from collections.abc import Buffer, Sequence
from typing import Any, Self, SupportsFloat, SupportsIndex, TypeAlias, final

__all__ = ["VectorStorage"]

# One vector: any sequence except str (list, tuple, range, array) whose items float() accepts,
# each rounded to float32. Buffer is listed for numpy arrays, which are sequences at run time
# but not typed as such; one-dimensional float32/float64 buffers are copied without a Python
# call per item.
_Vector: TypeAlias = Sequence[SupportsFloat | SupportsIndex] | Buffer

# Several vectors: a sequence of vectors, or a two-dimensional array (one row per query).
_Vectors: TypeAlias = Sequence[_Vector] | Buffer

# A payload: None, or a dict (not another mapping) with str keys. Values that are str (a
# keyword up to 64 UTF-8 bytes, text above), int or bool (a signed 64-bit integer) or float are
# stored; values of any other type are skipped without an error. The values are typed Any
# because dict is invariant: dict[str, str] must be accepted as readily as dict[str, object].
_Payload: TypeAlias = dict[str, Any] | None

# One search answer: (point id, score) pairs, best first.
_Answer: TypeAlias = list[tuple[int, float]]

# Private, for the benchmarks: the calling thread's graph-walk neighbours turned away by a bound
# and decided with their exact distance since the last call, which resets both.
def _bound_decisions() -> tuple[int, int]: ...

@final
class VectorStorage:
    """A high-performance vector storage and search engine exposed directly to Python runtimes."""

    def __new__(cls) -> Self: ...
    def upsert(
        self,
        point_id: SupportsIndex,
        vector: _Vector,
        payload: _Payload,
    ) -> None:
        """Stores the point under `point_id` (0 to 2**64 - 1), replacing any previous one.

        `payload` is None (no payload) or a dict with str keys; its "tenant_id" string
        names the point's tenant.
        """

    def search(
        self,
        query_vector: _Vector,
        limit: SupportsIndex,
        metric: str,
        tenant_id: str | None = None,
    ) -> _Answer:
        """At most `limit` (id, score) pairs, best first.

        `metric` (any letter case): "cosine", "dot_product" or "dot" (higher is better),
        "euclidean" or "l2" (the distance; lower is better). Raises ValueError for any
        other name.
        """

    def batch_search(
        self,
        query_vectors: _Vectors,
        limit: SupportsIndex,
        metric: str,
        tenant_id: str | None = None,
    ) -> list[_Answer]:
        """One `search` answer per query vector, in order, computed on worker threads."""

    def save(self, path: str) -> None:
        """Writes the whole store to a snapshot file; raises OSError on failure."""

    def load(self, path: str) -> None:
        """Replaces the whole store with a snapshot file; raises OSError on failure and
        then leaves the store unchanged."""
