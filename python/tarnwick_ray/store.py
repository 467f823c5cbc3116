"""ShardedStore: the VectorStorage API over shards that are Ray actors."""

import operator
import os
from collections.abc import Callable, Sequence
from typing import Any, Literal, SupportsIndex, overload

import ray
import ray.exceptions
from tarnwick import VectorStorage

from .errors import PartialWriteError, ShardUnavailableError
from .manifest import FORMAT, MANIFEST_NAME, check_settings, read_manifest, shard_file_name, write_manifest
from .merge import higher_is_better, merge_answers
from .routing import HASH_NAME, point_id_value, point_id_values, shard_of, split_by_shard
from .shard import Shard

# Typed as Any: mypy sees an actor handle's methods as the plain methods, without .remote.
_ShardActor: Any = ray.remote(Shard)

_Payload = dict[str, Any] | None
_StoredPayload = dict[str, str | int | float] | None
_Answer = list[tuple[int, float]]
_AnswerWithPayload = list[tuple[int, float, _StoredPayload]]


class ShardedStore:
    """A vector store split over `shards` Ray actors, each owning one VectorStorage.

    It joins the Ray cluster that ray.init() names, or starts a local one when Ray is not
    initialised yet. A point lives on the shard picked by a fixed hash of its id
    (splitmix64 of the id, modulo the shard count), so every call about one id reaches one
    shard; searches ask every shard and merge their answers. The keyword arguments are those
    of VectorStorage and apply to every shard.
    """

    def __init__(self, shards: SupportsIndex, *, m: SupportsIndex = 16,
                 ef_construction: SupportsIndex = 64, ef_search: SupportsIndex = 32,
                 dim: SupportsIndex | None = None) -> None:
        count = operator.index(shards)
        if count < 1:
            raise ValueError(f"a sharded store needs at least one shard, not {count}")
        # A store built here checks the parameters with VectorStorage's own rules and messages
        # before any actor starts.
        local = VectorStorage(m=m, ef_construction=ef_construction, ef_search=ef_search, dim=dim)
        self._options: dict[str, Any] = {"m": local.m, "ef_construction": local.ef_construction,
                                         "ef_search": local.ef_search, "dim": local.dim}
        self._shards = count
        # Never written: the searches and upsert_many convert their arguments on it first, so
        # bad input raises here, with the module's own messages, before any shard is asked.
        self._probe = VectorStorage(dim=dim)
        if not ray.is_initialized():
            ray.init()
        self._actors: list[Any] = [_ShardActor.remote(self._options) for _ in range(count)]
        self._gather([actor.ping.remote() for actor in self._actors])

    @property
    def shards(self) -> int:
        """The number of shards."""
        return self._shards

    @property
    def m(self) -> int:
        return int(self._options["m"])

    @property
    def ef_construction(self) -> int:
        return int(self._options["ef_construction"])

    @property
    def ef_search(self) -> int:
        return int(self._options["ef_search"])

    @property
    def dim(self) -> int | None:
        dim = self._options["dim"]
        return None if dim is None else int(dim)

    @property
    def actors(self) -> tuple[Any, ...]:
        """The shards' Ray actor handles, in shard order."""
        return tuple(self._actors)

    def __repr__(self) -> str:
        return (f"<tarnwick_ray.ShardedStore shards={self._shards} dim={self.dim} m={self.m} "
                f"ef_search={self.ef_search}>")

    # Calls about one id.

    def upsert(self, point_id: SupportsIndex, vector: Any, payload: _Payload) -> None:
        """Stores the point on its shard, replacing any previous one (VectorStorage.upsert)."""
        shard = shard_of(point_id, self._shards)
        self._one(shard, self._actors[shard].upsert.remote(
            point_id_value(point_id), vector, payload))

    def delete(self, point_id: SupportsIndex) -> bool:
        """Removes the point; whether there was one."""
        shard = shard_of(point_id, self._shards)
        return bool(self._one(shard, self._actors[shard].delete.remote(point_id_value(point_id))))

    def get(self, point_id: SupportsIndex) -> tuple[list[float], _StoredPayload] | None:
        """The (vector, payload) stored under `point_id`, or None."""
        shard = shard_of(point_id, self._shards)
        answer: tuple[list[float], _StoredPayload] | None = self._one(
            shard, self._actors[shard].get.remote(point_id_value(point_id)))
        return answer

    def __contains__(self, point_id: object) -> bool:
        value = point_id_value(point_id)
        shard = shard_of(value, self._shards)
        return bool(self._one(shard, self._actors[shard].contains.remote(value)))

    def __len__(self) -> int:
        """The number of points on all shards."""
        return sum(self._gather([actor.size.remote() for actor in self._actors]))

    # Calls split per shard.

    def upsert_many(self, point_ids: Sequence[SupportsIndex], vectors: Any,
                    payloads: Sequence[_Payload] | None = None, *,
                    progress: Callable[[int, int], object] | None = None) -> None:
        """Stores many points: each shard gets its part, all shards at once.

        Every id, vector and payload is checked here first, so bad input raises before any
        shard changes. `progress(done, total)`, when given, is called in this process as each
        shard finishes, with the points stored so far. If a shard fails (its actor died, say),
        PartialWriteError says which shards stored their part and which did not.
        """
        ids = point_id_values(point_ids)
        if payloads is not None and (isinstance(payloads, str) or not isinstance(payloads, Sequence)):
            # VectorStorage.upsert_many's words for the same refusal.
            error = TypeError("Can't extract `str` to `Vec`" if isinstance(payloads, str) else
                              f"'{type(payloads).__name__}' object is not an instance of 'Sequence'")
            error.add_note("while processing 'payloads'")
            raise error
        for name, items in (("vectors", vectors), ("payloads", payloads)):
            if items is not None and len(items) != len(ids):
                raise ValueError(f"'point_ids' has {len(ids)} items but '{name}' has {len(items)}")
        self._check_points(vectors, payloads)
        calls = {}
        for shard, positions in enumerate(split_by_shard(ids, self._shards)):
            if positions:
                part = [payloads[p] for p in positions] if payloads is not None else None
                calls[shard] = (self._actors[shard].upsert_many.remote(
                    [ids[p] for p in positions], [vectors[p] for p in positions], part),
                    len(positions))
        self._write("upsert_many", calls, progress)

    def delete_many(self, point_ids: Sequence[SupportsIndex]) -> int:
        """Removes many points, each on its shard, all shards at once; how many there were."""
        ids = point_id_values(point_ids)
        calls = {shard: (self._actors[shard].delete_many.remote([ids[p] for p in positions]),
                         len(positions))
                 for shard, positions in enumerate(split_by_shard(ids, self._shards)) if positions}
        return sum(self._write("delete_many", calls, None))

    # Searches: every shard answers its best `limit`, the answers are merged.

    @overload
    def search(self, query_vector: Any, limit: SupportsIndex, metric: str,
               tenant_id: str | None = None, *, ef_search: SupportsIndex | None = None,
               with_payload: Literal[False] = False) -> _Answer: ...
    @overload
    def search(self, query_vector: Any, limit: SupportsIndex, metric: str,
               tenant_id: str | None = None, *, ef_search: SupportsIndex | None = None,
               with_payload: Literal[True]) -> _AnswerWithPayload: ...
    def search(self, query_vector: Any, limit: SupportsIndex, metric: str,
               tenant_id: str | None = None, *, ef_search: SupportsIndex | None = None,
               with_payload: object = False) -> _Answer | _AnswerWithPayload:
        """At most `limit` entries, best first, as VectorStorage.search answers them."""
        options = self._search_options(ef_search, with_payload)
        self._probe.search(query_vector, limit, metric, tenant_id, **options)
        answers = self._gather([actor.search.remote(query_vector, limit, metric, tenant_id, options)
                                for actor in self._actors])
        return merge_answers(answers, operator.index(limit), higher_is_better(metric))

    @overload
    def batch_search(self, query_vectors: Any, limit: SupportsIndex, metric: str,
                     tenant_id: str | None = None, *, ef_search: SupportsIndex | None = None,
                     with_payload: Literal[False] = False) -> list[_Answer]: ...
    @overload
    def batch_search(self, query_vectors: Any, limit: SupportsIndex, metric: str,
                     tenant_id: str | None = None, *, ef_search: SupportsIndex | None = None,
                     with_payload: Literal[True]) -> list[_AnswerWithPayload]: ...
    def batch_search(self, query_vectors: Any, limit: SupportsIndex, metric: str,
                     tenant_id: str | None = None, *, ef_search: SupportsIndex | None = None,
                     with_payload: object = False) -> list[_Answer] | list[_AnswerWithPayload]:
        """One `search` answer per query vector, in order; each shard runs the whole batch."""
        options = self._search_options(ef_search, with_payload)
        self._probe.batch_search(query_vectors, limit, metric, tenant_id, **options)
        # Put once, read by every shard, instead of one copy sent per shard.
        queries = ray.put(query_vectors)
        answers = self._gather([actor.batch_search.remote(queries, limit, metric, tenant_id, options)
                                for actor in self._actors])
        top = operator.index(limit)
        higher_first = higher_is_better(metric)
        return [merge_answers([shard_answers[query] for shard_answers in answers], top, higher_first)
                for query in range(len(answers[0]))]

    # Persistence.

    def save(self, directory: str) -> None:
        """Writes shard-{i}.snapshot for every shard into `directory` (created if missing),
        then, atomically, its manifest.json: the shard count, the hash, the parameters and
        each file's SHA-256.

        Every shard first writes its file under a temporary name; only when all have written
        do they rename them, and the manifest follows. A save that fails (a shard died, the
        disk is full) leaves the previous save in place.

        Each actor writes its file on its own node: on a cluster of several machines,
        `directory` must be on storage that every node and this process share.
        """
        directory = os.path.abspath(directory)
        os.makedirs(directory, exist_ok=True)
        names = [shard_file_name(shard) for shard in range(self._shards)]
        try:
            files = self._gather([actor.save.remote(directory, name)
                                  for actor, name in zip(self._actors, names)])
        except BaseException:
            self._settle([actor.discard_save.remote(directory, name)
                          for actor, name in zip(self._actors, names)])
            raise
        self._gather([actor.publish_save.remote(directory, name)
                      for actor, name in zip(self._actors, names)])
        write_manifest(directory, {"format": FORMAT, **self._settings(), "files": files})

    def load(self, directory: str) -> None:
        """Replaces every shard with the snapshots a `save` wrote, or none of them.

        The manifest must match this store (shard count, hash, parameters) and every file
        its SHA-256; otherwise ValueError or OSError, and the store is unchanged. Shards whose
        actor died are started anew first, so a load from the last save brings a store back.
        """
        directory = os.path.abspath(directory)
        manifest = read_manifest(directory)
        check_settings(manifest, self._settings(), os.path.join(directory, MANIFEST_NAME))
        self._revive()
        self._load([(os.path.join(directory, entry["file"]), entry["sha256"])
                    for entry in manifest["files"]])

    def load_snapshot(self, path: str) -> None:
        """Replaces a one-shard store with a single VectorStorage's snapshot file. The file's
        graph parameters must be this store's."""
        if self._shards != 1:
            raise ValueError("a single store's snapshot seeds only a one-shard store; "
                             f"this one has {self._shards} shards")
        self._revive()
        self._load([(os.path.abspath(path), None)])

    # Internals.

    def _settings(self) -> dict[str, Any]:
        return {"shards": self._shards, "hash": HASH_NAME, **self._options}

    @staticmethod
    def _search_options(ef_search: SupportsIndex | None, with_payload: object) -> dict[str, Any]:
        options: dict[str, Any] = {"with_payload": with_payload}
        if ef_search is not None:
            options["ef_search"] = ef_search
        return options

    def _check_points(self, vectors: Any, payloads: Sequence[_Payload] | None) -> None:
        """Raises what the shards would raise for a bad vector or payload, before any changes.

        Converting the vectors as queries of the empty probe store, and each payload as that of
        a point stored over and over in a scratch store, uses the module's own rules and
        messages.
        """
        if len(vectors):
            try:
                self._probe.batch_search(vectors, 0, "cosine")
            except Exception as error:
                # Name the bad item, as VectorStorage.upsert_many does.
                for item, vector in enumerate(vectors):
                    try:
                        self._probe.search(vector, 0, "cosine")
                    except Exception as item_error:
                        item_error.__notes__ = [f"while processing 'vectors' item {item}"]
                        raise item_error from None
                error.__notes__ = ["while processing 'vectors'"]
                raise
        if payloads is not None:
            scratch = VectorStorage()
            for item, payload in enumerate(payloads):
                try:
                    scratch.upsert(0, [], payload)
                except Exception as error:
                    error.__notes__ = [f"while processing 'payloads' item {item}"]
                    raise

    def _error(self, shard: int, error: ray.exceptions.RayError) -> BaseException:
        """What a failed call on a shard raises: the store's own exception when the shard's
        store raised one, otherwise ShardUnavailableError naming the shard."""
        if isinstance(error, ray.exceptions.RayTaskError) and isinstance(error.cause, Exception):
            return error.cause
        return ShardUnavailableError(shard, self._shards, type(error).__name__)

    def _one(self, shard: int, ref: ray.ObjectRef[Any]) -> Any:
        try:
            return ray.get(ref)
        except ray.exceptions.RayError as error:
            raise self._error(shard, error) from None

    def _gather(self, refs: list[ray.ObjectRef[Any]]) -> list[Any]:
        """One answer per shard, in shard order; the first failure, in shard order, raises."""
        return [self._one(shard, ref) for shard, ref in enumerate(refs)]

    def _write(self, method: str, calls: dict[int, tuple[ray.ObjectRef[Any], int]],
               progress: Callable[[int, int], object] | None) -> list[Any]:
        """Waits for every shard's part of a write, in the order they finish; PartialWriteError
        when any failed, naming the shards that applied their part and those that did not."""
        shard_of_ref = {ref: shard for shard, (ref, _) in calls.items()}
        results: dict[int, Any] = {}
        errors: dict[int, BaseException] = {}
        pending = list(shard_of_ref)
        total, done_points = sum(count for _, count in calls.values()), 0
        while pending:
            done, pending = ray.wait(pending, num_returns=1)
            shard = shard_of_ref[done[0]]
            try:
                results[shard] = ray.get(done[0])
            except ray.exceptions.RayError as error:
                errors[shard] = self._error(shard, error)
                continue
            done_points += calls[shard][1]
            if progress is not None:
                progress(done_points, total)
        if errors:
            failed = sorted(errors)
            raise PartialWriteError(method, sorted(results), failed,
                                    [errors[shard] for shard in failed])
        return [results[shard] for shard in sorted(results)]

    @staticmethod
    def _settle(refs: list[ray.ObjectRef[Any]]) -> None:
        """Waits for clean-up calls after a failure; a shard that fails them too is already
        reported by the failure being raised."""
        for ref in refs:
            try:
                ray.get(ref)
            except ray.exceptions.RayError:
                pass

    def _revive(self) -> None:
        """Starts a new, empty actor in place of every shard whose actor does not answer."""
        pings = [actor.ping.remote() for actor in self._actors]
        for shard, ping in enumerate(pings):
            try:
                ray.get(ping)
            except ray.exceptions.RayError:
                self._actors[shard] = _ShardActor.remote(self._options)

    def _load(self, files: list[tuple[str, str | None]]) -> None:
        """Two phases: every shard reads its file into a store kept aside; only when all have,
        and with the parameters of this store, does every shard swap it in."""
        prepared = [actor.prepare_load.remote(path, sha256)
                    for actor, (path, sha256) in zip(self._actors, files)]
        expected = (self.m, self.ef_construction, self.ef_search)
        try:
            for shard, parameters in enumerate(self._gather(prepared)):
                if tuple(parameters) != expected:
                    raise ValueError(
                        f"{files[shard][0]} holds a graph with m, ef_construction, ef_search "
                        f"{tuple(parameters)}; this store has {expected}")
        except BaseException:
            self._settle([actor.abort_load.remote() for actor in self._actors])
            raise
        self._gather([actor.commit_load.remote() for actor in self._actors])
