"""The manifest of a saved sharded store: what load checks before it touches any shard."""

import json
import os
import secrets
from typing import Any

MANIFEST_NAME = "manifest.json"
FORMAT = "tarnwick-sharded-1"
# The store settings a manifest records and a load requires to be the store's own.
SETTINGS = ("shards", "hash", "m", "ef_construction", "ef_search", "dim")


def shard_file_name(shard: int) -> str:
    return f"shard-{shard}.snapshot"


def write_manifest(directory: str, manifest: dict[str, Any]) -> None:
    """Writes the manifest atomically: a temporary file beside it, forced to disk, renamed
    over it, then the directory synced, so a reader sees the old manifest or the new one."""
    path = os.path.join(directory, MANIFEST_NAME)
    temporary = os.path.join(directory, f".{MANIFEST_NAME}.tmp-{os.getpid()}-{secrets.token_hex(4)}")
    try:
        with open(temporary, "w", encoding="utf-8") as file:
            json.dump(manifest, file, indent=2)
            file.write("\n")
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
    descriptor = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def read_manifest(directory: str) -> dict[str, Any]:
    """The manifest in `directory`; OSError when it is missing, unreadable or malformed."""
    path = os.path.join(directory, MANIFEST_NAME)
    with open(path, encoding="utf-8") as file:
        try:
            manifest = json.load(file)
        except ValueError as error:
            raise OSError(f"{path} is not a sharded store's manifest: {error}") from None
    files = manifest.get("files") if isinstance(manifest, dict) else None
    if (not isinstance(manifest, dict) or manifest.get("format") != FORMAT
            or any(key not in manifest for key in SETTINGS) or not isinstance(files, list)
            or len(files) != manifest["shards"]
            or not all(isinstance(entry, dict) and entry.get("file") == shard_file_name(shard)
                       and isinstance(entry.get("sha256"), str)
                       for shard, entry in enumerate(files))):
        raise OSError(f"{path} is not a {FORMAT} manifest")
    return manifest


def check_settings(manifest: dict[str, Any], settings: dict[str, Any], path: str) -> None:
    """ValueError naming every setting in which the manifest differs from the store."""
    differences = [f"{key} {manifest[key]!r} (this store: {settings[key]!r})"
                   for key in SETTINGS if manifest[key] != settings[key]]
    if differences:
        raise ValueError(f"{path} was saved from another kind of store: "
                         + ", ".join(differences))
