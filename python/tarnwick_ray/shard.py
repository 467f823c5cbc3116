"""One shard: a Ray actor that owns one VectorStorage and runs the store's calls on it."""

import hashlib
import os
from typing import Any

from tarnwick import VectorStorage


def file_digest(path: str) -> str:
    """The SHA-256 of a file, in hex: ties each shard's snapshot to the manifest of its save."""
    with open(path, "rb") as file:
        return hashlib.file_digest(file, "sha256").hexdigest()


def pending_name(name: str) -> str:
    """Where a save writes a shard's snapshot until every shard has written its own."""
    return f".{name}.pending"


class Shard:
    """The actor's class. Its methods run one at a time, in the order one caller sent them,
    so a search sent after an upsert sees it."""

    def __init__(self, options: dict[str, Any]) -> None:
        self._options = options
        self._store = VectorStorage(**options)
        # The store a load has read, held until every shard has read its own (two-phase load).
        self._staged: VectorStorage | None = None

    def ping(self) -> None:
        """Answers when the actor is alive."""

    def upsert(self, point_id: int, vector: Any, payload: Any) -> None:
        self._store.upsert(point_id, vector, payload)

    def upsert_many(self, point_ids: list[int], vectors: Any, payloads: Any) -> None:
        self._store.upsert_many(point_ids, vectors, payloads)

    def delete(self, point_id: int) -> bool:
        return bool(self._store.delete(point_id))

    def delete_many(self, point_ids: list[int]) -> int:
        return int(self._store.delete_many(point_ids))

    def get(self, point_id: int) -> Any:
        return self._store.get(point_id)

    def contains(self, point_id: int) -> bool:
        return point_id in self._store

    def size(self) -> int:
        return len(self._store)

    def search(self, query_vector: Any, limit: Any, metric: Any, tenant_id: Any,
               options: dict[str, Any]) -> Any:
        return self._store.search(query_vector, limit, metric, tenant_id, **options)

    def batch_search(self, query_vectors: Any, limit: Any, metric: Any, tenant_id: Any,
                     options: dict[str, Any]) -> Any:
        return self._store.batch_search(query_vectors, limit, metric, tenant_id, **options)

    def save(self, directory: str, name: str) -> dict[str, Any]:
        """Writes the snapshot beside its final name, on this actor's node, and says what the
        manifest records of it. publish_save gives it the final name."""
        os.makedirs(directory, exist_ok=True)
        path = os.path.join(directory, pending_name(name))
        self._store.save(path)
        return {"file": name, "points": len(self._store), "sha256": file_digest(path)}

    def publish_save(self, directory: str, name: str) -> None:
        os.replace(os.path.join(directory, pending_name(name)), os.path.join(directory, name))
        descriptor = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(descriptor)
        finally:
            os.close(descriptor)

    def discard_save(self, directory: str, name: str) -> None:
        try:
            os.unlink(os.path.join(directory, pending_name(name)))
        except FileNotFoundError:
            pass

    def prepare_load(self, path: str, sha256: str | None) -> tuple[int, int, int]:
        """Reads a snapshot into a new store, kept aside until commit_load; returns its graph
        parameters. With `sha256`, refuses a file that is not the one the manifest names."""
        self._staged = None
        if sha256 is not None and file_digest(path) != sha256:
            raise OSError(f"{path} is not the snapshot its manifest names (its SHA-256 "
                          "differs): a later save failed part way or the file was replaced")
        staged = VectorStorage(**self._options)
        staged.load(path)
        self._staged = staged
        return staged.m, staged.ef_construction, staged.ef_search

    def commit_load(self) -> None:
        if self._staged is None:
            raise RuntimeError("no load was prepared on this shard")
        self._store, self._staged = self._staged, None

    def abort_load(self) -> None:
        self._staged = None
