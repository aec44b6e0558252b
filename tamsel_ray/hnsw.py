"""ShardedHNSW: graph indexes on Ray actors, queried together."""

from __future__ import annotations

import functools
import operator
from typing import Any, Self

import tamsel

from tamsel_ray import _convert
from tamsel_ray._sharded import Sharded, distance_key, split

# PyHNSW's ef_search when none is given: the most results one search returns.
_DEFAULT_EF_SEARCH = 50

# Parameters PyHNSW reads as unsigned 32-bit integers.
_INTEGER_PARAMS = ("layers", "m", "ef_construction", "ef_search")


def _rank(result: tuple[float, list[float]]) -> tuple[bool, float]:
    return distance_key(result[0])


def _plain(params: dict[str, Any]) -> dict[str, Any]:
    """The keywords PyHNSW accepted, as plain values that pickle and go into
    a JSON manifest: None is left out (it means the default)."""
    out: dict[str, Any] = {}
    for name, value in params.items():
        if value is None:
            continue
        if name == "metric":
            value = _convert.text(value)
        elif name == "schema":
            value = [_convert.text(s) for s in value]
        elif name in _INTEGER_PARAMS or (not isinstance(value, (bool, float, str)) and hasattr(type(value), "__index__")):
            value = value if isinstance(value, bool) else int(operator.index(value))
        out[name] = value
    return out


class ShardedHNSW(Sharded):
    """Approximate index over several shards, each a Ray actor owning one
    ``PyHNSW`` built with the keywords given here (``metric`` is required, as
    for ``PyHNSW``; every other keyword is passed on unchanged).

    A search asks every shard for its best ``k`` with the same filter and
    merges them by the metric value, NaN last. As with ``PyHNSW`` a search
    returns at most ``ef_search`` results and ``(distance, vector)`` tuples.
    Vectors go to the shard that holds fewest; ``create`` cuts a batch into
    one piece per shard (with its metadata) and the shards build in parallel,
    so a build on n shards takes about 1/n of the time on n free cores.

    Bad arguments raise the same exceptions, with the same messages, as
    ``PyHNSW`` does, before any shard is changed; errors that only the graph
    itself finds (``Search error: AttributeNotFound``, ``InvalidEF``) come
    from the shards, as they come from the single index. If a shard's actor
    dies, every later call raises ``ShardLostError``; ``load`` recovers the
    index from its last ``save``.
    """

    _KIND = "hnsw"

    def __init__(self, dim: Any, shards: int = 2, *, actor_options: dict[str, Any] | None = None,
                 **keywords: Any) -> None:
        tamsel.PyHNSW(dim, **keywords)  # the single-machine errors
        self._setup(int(operator.index(dim)), _plain(keywords))
        self._start(shards, actor_options)

    def _setup(self, dim: int, params: dict[str, Any]) -> None:
        self._dim = dim
        self._params = params
        self._schema: list[str] = list(params.get("schema") or [])
        self._ef_search = params.get("ef_search", _DEFAULT_EF_SEARCH)
        # Checks arguments: searching an empty graph returns [] after every
        # check the class makes itself.
        self._probe = tamsel.PyHNSW(dim, **params)
        # Checks what is inserted: with no layers a vector is stored without
        # being linked, so a check of a whole batch costs a copy of it.
        self._blank = functools.partial(tamsel.PyHNSW, dim, **{**params, "layers": 0})

    @classmethod
    def _restore(cls, dim: int, params: dict[str, Any]) -> Self:
        self = cls.__new__(cls)
        self._setup(dim, params)
        return self

    def _metadata(self, pairs: Any) -> Any:
        return _convert.metadata(pairs, self._schema)

    def insert(self, vector: Any, metadata: Any = None) -> None:
        """Inserts a vector, with one value per schema attribute when
        ``metadata`` is given, into the shard that holds fewest."""
        self._blank().insert(vector, metadata)
        values = _convert.vector(vector)
        record = self._metadata(metadata)
        with self._shards.lock:
            target = min(range(self.shards), key=lambda i: (self._sizes[i], i))
            args: list[tuple[Any, ...] | None] = [None] * self.shards
            args[target] = (values, 0, record)
            self._sizes[target] = self._shards.call("insert", args)[target]

    def create(self, vectors: Any, metadata: Any = None) -> None:
        """Inserts a non-empty batch of vectors, with one metadata list per
        vector when ``metadata`` is given, cut into one piece per shard that
        the shards build in parallel."""
        self._blank().create(vectors, metadata)
        batch = _convert.matrix(vectors, self._dim)
        records = None if metadata is None else [self._metadata(m) for m in metadata]
        with self._shards.lock:
            counts = split(len(batch), self._sizes)
            args: list[tuple[Any, ...] | None] = []
            start = 0
            for count in counts:
                piece = None if records is None else records[start:start + count]
                args.append((batch[start:start + count], 0, piece) if count else None)
                start += count
            sizes = self._shards.call("create", args)
            for number, a in enumerate(args):
                if a is not None:
                    self._sizes[number] = sizes[number]

    def search(self, query: Any, k: Any = None, filter: Any = None) -> list[tuple[float, list[float]]]:
        """Up to ``k`` (default 1, and 0 counts as 1; never more than
        ``ef_search``) vectors as ``(distance, vector)`` tuples, smallest
        metric value first, from every shard; with ``filter=(name, value)``
        only vectors whose metadata value equals ``value``."""
        self._probe.search(query, k, filter)
        q = _convert.vector(query)
        limit = _convert.count(k)
        lists = self._shards.call_all("search", q, limit, _convert.filter_pair(filter))
        return self._merge(lists, _rank, min(limit, self._ef_search))

    def search_many(self, queries: Any, k: Any = None, filter: Any = None) -> list[list[tuple[float, list[float]]]]:
        """``[self.search(q, k, filter) for q in queries]``, with one call per
        shard for the whole batch."""
        self._probe.search_many(queries, k, filter)
        batch = _convert.vectors(queries)
        if not len(batch):
            self._shards.call_all("ping")
            return []
        limit = _convert.count(k)
        per_shard = self._shards.call_all("search_many", batch, limit, _convert.filter_pair(filter))
        cap = min(limit, self._ef_search)
        return [self._merge(lists, _rank, cap) for lists in zip(*per_shard)]
