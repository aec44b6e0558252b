"""What the two sharded indexes share: the shards, splitting a batch, merging
ranked lists, and saving to and loading from a directory.

A save writes one index file per shard (plus, for a flat index, the shard's
global ids) under names that carry a fresh token, then the manifest, which
names those files, atomically; only then are the previous save's files
removed. A save cut short therefore leaves the previous manifest and every
file it names intact.
"""

from __future__ import annotations

import json
import math
import os
import secrets
from collections.abc import Iterable
from typing import Any, Self

from tamsel_ray._cluster import Shards
from tamsel_ray._shard import _replace_atomically

MANIFEST = "manifest.json"
_FORMAT = "tamsel_ray"
_VERSION = 1


def distance_key(d: float) -> tuple[bool, float]:
    """The distance order: by value (-0.0 equals +0.0), NaN after every number."""
    nan = math.isnan(d)
    return (nan, 0.0 if nan else d)


def split(total: int, sizes: list[int]) -> list[int]:
    """How many of `total` new vectors each shard takes: the batch is cut into
    near-equal pieces, the larger pieces to the shards holding fewest."""
    n = len(sizes)
    pieces = [total // n + (1 if i < total % n else 0) for i in range(n)]
    order = sorted(range(n), key=lambda i: (sizes[i], i))
    counts = [0] * n
    for piece, shard in zip(pieces, order):
        counts[shard] = piece
    return counts


def _plain_name(name: Any) -> str:
    if not isinstance(name, str) or not name or os.path.basename(name) != name or name in (".", ".."):
        raise ValueError(f"bad file name in the manifest: {name!r}")
    return name


class Sharded:
    """Base of ShardedFlat and ShardedHNSW."""

    _KIND: str  # the shard kind, "flat" or "hnsw"
    _shards: Shards
    _dim: int
    _params: dict[str, Any]
    _sizes: list[int]

    def _start(self, shards: Any, actor_options: dict[str, Any] | None) -> None:
        if isinstance(shards, bool) or not isinstance(shards, int):
            raise TypeError(f"shards must be an int, not {type(shards).__name__}")
        if shards < 1:
            raise ValueError(f"shards must be at least 1, got {shards}")
        self._shards = Shards(shards, self._KIND, self._dim, self._params, actor_options)
        self._sizes = self._shards.call_all("ping")

    @property
    def dim(self) -> int:
        """The dimension given at construction."""
        return self._dim

    @property
    def shards(self) -> int:
        """The number of shards."""
        return len(self._shards)

    @property
    def actors(self) -> list[Any]:
        """The shards' Ray actor handles, in shard order."""
        return list(self._shards.actors)

    @property
    def shard_sizes(self) -> list[int]:
        """How many vectors each shard holds, in shard order."""
        return list(self._sizes)

    def __repr__(self) -> str:
        params = ", ".join(f"{k}={v!r}" for k, v in self._params.items())
        return f"{type(self).__name__}({self._dim}, {params + ', ' if params else ''}shards={self.shards})"

    @staticmethod
    def _merge(lists: Iterable[list[Any]], key: Any, limit: int) -> list[Any]:
        merged = sorted((r for results in lists for r in results), key=key)
        return merged[:limit]

    # Saving and loading.

    def save(self, directory: str | os.PathLike[str]) -> None:
        """Stores every shard under `directory` (created if missing): a
        manifest and one index file per shard, each written by its shard. On a
        cluster of several nodes the directory must be one that every node
        sees at the same path (a shared file system). A save interrupted at
        any point leaves the previous save loadable."""
        root = os.path.abspath(os.fspath(directory))
        os.makedirs(root, exist_ok=True)
        manifest_path = os.path.join(root, MANIFEST)
        previous: list[str] = []
        try:
            with open(manifest_path, "rb") as f:
                old = json.loads(f.read())
            previous = [name for entry in old.get("shards", []) for name in entry.get("files", {}).values()]
        except (OSError, ValueError, AttributeError, TypeError):
            pass
        token = secrets.token_hex(8)
        entries = []
        for number in range(self.shards):
            files = {"index": f"shard-{number}-{token}.tamsel"}
            if self._KIND == "flat":
                files["ids"] = f"shard-{number}-{token}.ids"
            entries.append(files)
        with self._shards.lock:
            sizes = self._shards.call(
                "save", [({k: os.path.join(root, v) for k, v in files.items()},) for files in entries]
            )
            manifest = {
                "format": _FORMAT,
                "version": _VERSION,
                "class": type(self).__name__,
                "dim": self._dim,
                "params": self._params,
                "shards": [{"files": files, "size": size} for files, size in zip(entries, sizes)],
            }
            _replace_atomically(manifest_path, json.dumps(manifest, indent=1).encode())
        current = {name for files in entries for name in files.values()}
        for name in previous:
            if name not in current and os.path.basename(name) == name:
                try:
                    os.remove(os.path.join(root, name))
                except OSError:
                    pass

    @classmethod
    def load(cls, directory: str | os.PathLike[str], *, actor_options: dict[str, Any] | None = None) -> Self:
        """A new sharded index with the shards stored by `save`, each loaded by
        a new actor. Raises ValueError for a directory that holds another
        class's save or a manifest that is not one."""
        root = os.path.abspath(os.fspath(directory))
        with open(os.path.join(root, MANIFEST), "rb") as f:
            raw = f.read()
        try:
            manifest = json.loads(raw)
            if not isinstance(manifest, dict) or manifest.get("format") != _FORMAT:
                raise ValueError
            version = manifest["version"]
            kind = manifest["class"]
            dim = manifest["dim"]
            params = manifest["params"]
            entries = manifest["shards"]
        except (ValueError, KeyError):
            raise ValueError(f"{root}: not a sharded tamsel index (no valid {MANIFEST})") from None
        if not isinstance(version, int) or version > _VERSION:
            raise ValueError(f"{root}: written by a newer version (format {version})")
        if kind != cls.__name__:
            raise ValueError(f"{root} holds a {kind}, not a {cls.__name__}")
        if not isinstance(entries, list) or not entries or not isinstance(params, dict):
            raise ValueError(f"{root}: the manifest lists no shards")
        files_list: list[dict[str, str]] = []
        sizes: list[int] = []
        for entry in entries:
            files = entry.get("files") if isinstance(entry, dict) else None
            size = entry.get("size") if isinstance(entry, dict) else None
            needed = {"index", "ids"} if cls._KIND == "flat" else {"index"}
            if not isinstance(files, dict) or not needed <= files.keys() or not isinstance(size, int) or size < 0:
                raise ValueError(f"{root}: a shard entry of the manifest is malformed")
            files_list.append({k: os.path.join(root, _plain_name(v)) for k, v in files.items()})
            sizes.append(size)
        self = cls._restore(dim, params)
        self._start(len(files_list), actor_options)
        loaded = self._shards.call("restore", [(files, size) for files, size in zip(files_list, sizes)])
        if loaded != sizes:
            self._shards.kill()
            raise ValueError(f"{root}: the shard files hold {loaded} vectors, the manifest says {sizes}")
        self._sizes = loaded
        return self

    @classmethod
    def _restore(cls, dim: int, params: dict[str, Any]) -> Self:
        raise NotImplementedError
