"""One shard: a Ray actor process that owns one tamsel index.

The actor runs its calls one after another (Ray's default for an actor), so
the index inside sees the same serial use as in a single process. A flat shard
also keeps the global id of each of its vectors, in local order; ids only grow
as vectors arrive, so local order and global order agree and the local tie
rule (smaller id first) is the global one.
"""

from __future__ import annotations

import array
import os
import sys
from typing import Any

import tamsel

_FLAT = "flat"
_HNSW = "hnsw"


def _replace_atomically(path: str, data: bytes) -> None:
    """Writes `data` to `path` through a synced temporary file and a rename,
    then syncs the directory, so a crash leaves the old file or the new one."""
    tmp = f"{path}.tmp{os.getpid()}"
    with open(tmp, "wb") as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)
    try:
        fd = os.open(os.path.dirname(path) or ".", os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _read_ids(path: str) -> array.array[int]:
    ids = array.array("q")
    with open(path, "rb") as f:
        data = f.read()
    if len(data) % ids.itemsize:
        raise ValueError(f"{path}: truncated id file")
    ids.frombytes(data)
    if sys.byteorder != "little":
        ids.byteswap()
    return ids


class Shard:
    def __init__(self, kind: str, dim: int, params: dict[str, Any]) -> None:
        self.kind = kind
        self.ids: array.array[int] | None = array.array("q") if kind == _FLAT else None
        self.size = 0
        if kind == _FLAT:
            self.index: Any = tamsel.PyFlat(dim, params.get("metric"))
        else:
            self.index = tamsel.PyHNSW(dim, **params)

    def restore(self, files: dict[str, str], size: int) -> int:
        """Replaces the index with the one saved in `files`; `size` is the
        vector count the manifest records (a graph index cannot be asked)."""
        index: tamsel.PyFlat | tamsel.PyHNSW
        if self.kind == _FLAT:
            index = tamsel.PyFlat.load(files["index"])
            self.ids = _read_ids(files["ids"])
            self.size = len(self.ids)
        else:
            index = tamsel.PyHNSW.load(files["index"])
            self.size = size
        self.index = index
        return self.size

    def ping(self) -> int:
        return self.size

    def insert(self, vector: Any, first_id: int, metadata: Any = None) -> int:
        if self.kind == _FLAT:
            self.index.insert(vector)
            self.ids.append(first_id)  # type: ignore[union-attr]
        else:
            self.index.insert(vector, metadata)
        self.size += 1
        return self.size

    def create(self, vectors: Any, first_id: int, metadata: Any = None) -> int:
        if self.kind == _FLAT:
            self.index.create(vectors)
            self.ids.extend(range(first_id, first_id + len(vectors)))  # type: ignore[union-attr]
        else:
            self.index.create(vectors, metadata)
        self.size += len(vectors)
        return self.size

    def _flat_ids(self, results: list[tuple[int, float]]) -> list[tuple[int, float]]:
        ids = self.ids
        return [(ids[i], d) for i, d in results]  # type: ignore[index]

    def search(self, query: Any, k: int, filter: Any = None) -> list[Any]:
        if self.kind == _FLAT:
            # An empty shard of a non-empty index has nothing to offer.
            return self._flat_ids(self.index.search(query, k)) if self.size else []
        results: list[Any] = self.index.search(query, k, filter)
        return results

    def search_many(self, queries: Any, k: int, filter: Any = None) -> list[list[Any]]:
        if self.kind == _FLAT:
            if not self.size:
                return [[] for _ in range(len(queries))]
            return [self._flat_ids(r) for r in self.index.search_many(queries, k)]
        batches: list[list[Any]] = self.index.search_many(queries, k, filter)
        return batches

    def save(self, files: dict[str, str]) -> int:
        self.index.save(files["index"])
        if self.kind == _FLAT:
            ids = array.array("q", self.ids)  # type: ignore[arg-type]
            if sys.byteorder != "little":
                ids.byteswap()
            _replace_atomically(files["ids"], ids.tobytes())
        return self.size
