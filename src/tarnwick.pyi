"""The module definition mapping the high-performance native routines into Python runtimes."""

from collections.abc import Buffer, Callable, Sequence
from typing import Any, Literal, Self, SupportsFloat, SupportsIndex, TypeAlias, final, overload

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

# A stored payload as searches and get() return it: Keyword and Text values as str, Integer as
# int, Float as float; None for a point stored without one.
_StoredPayload: TypeAlias = dict[str, str | int | float] | None

# One search answer with payloads: (point id, score, payload) triples, best first.
_AnswerWithPayload: TypeAlias = list[tuple[int, float, _StoredPayload]]

# Private, for the benchmarks: the calling thread's graph-walk neighbours turned away by a bound
# and decided with their exact distance since the last call, which resets both.
def _bound_decisions() -> tuple[int, int]: ...

@final
class VectorStorage:
    """A high-performance vector storage and search engine exposed directly to Python runtimes."""

    def __new__(
        cls,
        *,
        m: SupportsIndex = 16,
        ef_construction: SupportsIndex = 64,
        ef_search: SupportsIndex = 32,
        dim: SupportsIndex | None = None,
    ) -> Self:
        """A new, empty store.

        `m` (2 to 256) caps the links per node and layer (twice as many on the bottom layer),
        `ef_construction` (1 to 2**20) is the beam width while inserting and `ef_search`
        (1 to 2**20) that of a graph search; each raises ValueError outside its range. `dim`
        (1 to 2**20), when given, is the only vector length the store takes: `upsert`, the
        searches and `load` refuse any other. By default any length is taken, mixed lengths
        included.
        """

    @property
    def m(self) -> int:
        """Links per node and layer: the constructor's value, or the loaded snapshot's."""

    @property
    def ef_construction(self) -> int:
        """Beam width while inserting: the constructor's value, or the loaded snapshot's."""

    @property
    def ef_search(self) -> int:
        """Default beam width of a graph search: the constructor's value, or the loaded
        snapshot's."""

    @property
    def dim(self) -> int | None:
        """The one vector length the store takes, or None when any length is taken. A load
        keeps it."""

    def __len__(self) -> int:
        """The number of points stored."""

    def __contains__(self, point_id: object, /) -> bool:
        """Whether a point is stored under `point_id`, an int from 0 to 2**64 - 1
        (OverflowError outside that range, TypeError for a non-integer)."""

    def get(self, point_id: SupportsIndex) -> tuple[list[float], _StoredPayload] | None:
        """The (vector, payload) stored under `point_id`, or None when there is no such
        point. The vector's floats are the stored float32 values."""

    def upsert_many(
        self,
        point_ids: Sequence[SupportsIndex] | Buffer,
        vectors: _Vectors,
        payloads: Sequence[_Payload] | None = None,
        *,
        progress: Callable[[int, int], object] | None = None,
    ) -> None:
        """Stores many points as upsert does, one per id (of repeated ids the later wins),
        linking their graph nodes in parallel on the worker pool.

        Every item is converted and checked before the store changes; a bad item fails the
        whole call with a note naming its index. `progress(done, total)`, if given, is called
        on the calling thread at most ten times a second and once at the end, so tqdm's
        `update` fits it. Once the store is being changed the call runs to its end: an
        exception from `progress`, or a KeyboardInterrupt, is raised after every point is in
        place.
        """

    def delete(self, point_id: SupportsIndex) -> bool:
        """Removes the point stored under `point_id` and its graph node, repairing the graph
        at once. Returns True when a point was removed, False when there was none."""

    def delete_many(self, point_ids: Sequence[SupportsIndex] | Buffer) -> int:
        """Removes the points stored under `point_ids` (a sequence or 1-D integer array),
        repairing each affected neighbour list once. Returns how many were removed."""

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

    @overload
    def search(
        self,
        query_vector: _Vector,
        limit: SupportsIndex,
        metric: str,
        tenant_id: str | None = None,
        *,
        ef_search: SupportsIndex | None = None,
        with_payload: Literal[False] = False,
    ) -> _Answer: ...
    @overload
    def search(
        self,
        query_vector: _Vector,
        limit: SupportsIndex,
        metric: str,
        tenant_id: str | None = None,
        *,
        ef_search: SupportsIndex | None = None,
        with_payload: Literal[True],
    ) -> _AnswerWithPayload: ...
    @overload
    def search(
        self,
        query_vector: _Vector,
        limit: SupportsIndex,
        metric: str,
        tenant_id: str | None = None,
        *,
        ef_search: SupportsIndex | None = None,
        with_payload: object = False,
    ) -> _Answer | _AnswerWithPayload:
        """At most `limit` (id, score) pairs, best first.

        `metric` (any letter case): "cosine", "dot_product" or "dot" (higher is better),
        "euclidean" or "l2" (the distance; lower is better). Raises ValueError for any
        other name.

        `ef_search` (1 to 2**20) sets the beam width of a graph search for this call alone
        (None: the store's `ef_search`); a wider beam finds more of the true neighbours at
        more cost. With `with_payload` true (by its truth value) each entry is
        (id, score, payload). With `dim` set, a query of another length raises ValueError.
        """

    @overload
    def batch_search(
        self,
        query_vectors: _Vectors,
        limit: SupportsIndex,
        metric: str,
        tenant_id: str | None = None,
        *,
        ef_search: SupportsIndex | None = None,
        with_payload: Literal[False] = False,
    ) -> list[_Answer]: ...
    @overload
    def batch_search(
        self,
        query_vectors: _Vectors,
        limit: SupportsIndex,
        metric: str,
        tenant_id: str | None = None,
        *,
        ef_search: SupportsIndex | None = None,
        with_payload: Literal[True],
    ) -> list[_AnswerWithPayload]: ...
    @overload
    def batch_search(
        self,
        query_vectors: _Vectors,
        limit: SupportsIndex,
        metric: str,
        tenant_id: str | None = None,
        *,
        ef_search: SupportsIndex | None = None,
        with_payload: object = False,
    ) -> list[_Answer] | list[_AnswerWithPayload]:
        """One `search` answer per query vector, in order, computed on worker threads.

        `ef_search` and `with_payload` as for `search`. With `dim` set, a query of another
        length fails the whole call before any search runs. Ctrl-C (KeyboardInterrupt)
        stops a long batch within a fraction of a second.
        """

    def __repr__(self) -> str:
        """<tarnwick.VectorStorage points=... dim=... m=... ef_search=...>"""

    def save(self, path: str) -> None:
        """Writes the whole store to a snapshot file; raises OSError on failure."""

    def load(self, path: str) -> None:
        """Replaces the whole store with a snapshot file; raises OSError on failure and
        then leaves the store unchanged."""
