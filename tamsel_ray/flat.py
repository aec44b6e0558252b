"""ShardedFlat: an exact index whose vectors are spread over Ray actors."""

from __future__ import annotations

import functools
import operator
from typing import Any, Self

import tamsel

from tamsel_ray import _convert
from tamsel_ray._sharded import Sharded, distance_key, split


def _rank(result: tuple[int, float]) -> tuple[bool, float, int]:
    return (*distance_key(result[1]), result[0])


class ShardedFlat(Sharded):
    """Exact index over several shards, each a Ray actor owning one ``PyFlat``.

    It answers exactly as one ``PyFlat(dim, metric)`` holding the same vectors
    in the same order: ids count every vector in insertion order from 0,
    whichever shard holds it, and results are ranked by the metric value, NaN
    last, equal values by the smaller id. ``create`` cuts a batch into one
    piece per shard and the shards store them in parallel; a search asks
    every shard for its best ``k`` and merges them.

    Bad arguments raise the same exceptions, with the same messages, as
    ``PyFlat`` does, before any shard is changed. If a shard's actor dies,
    every later call raises ``ShardLostError``; ``load`` recovers the index
    from its last ``save``.

    ``actor_options`` are passed to Ray for each shard's actor (for example
    ``{"num_cpus": 1, "memory": 8 * 2**30}`` or a scheduling strategy; the
    shards are spread over the nodes by default).
    """

    _KIND = "flat"

    def __init__(self, dim: Any, metric: str | None = None, shards: int = 2, *,
                 actor_options: dict[str, Any] | None = None) -> None:
        tamsel.PyFlat(dim, metric)  # the single-machine errors for dim and metric
        self._setup(int(operator.index(dim)), None if metric is None else _convert.text(metric))
        self._start(shards, actor_options)

    def _setup(self, dim: int, metric: str | None) -> None:
        self._dim = dim
        self._params = {"metric": metric}
        self._blank = functools.partial(tamsel.PyFlat, dim, metric)
        self._probe_index: tamsel.PyFlat | None = None

    def _probe(self) -> tamsel.PyFlat:
        """An index of the same parameters holding one vector, whose searches
        check a search's arguments as the single index does once it holds
        vectors. Built on first need: only an index that holds a vector of
        this length can afford one."""
        if self._probe_index is None:
            probe = self._blank()
            probe.insert([0.0] * self._dim)
            self._probe_index = probe
        return self._probe_index

    @classmethod
    def _restore(cls, dim: int, params: dict[str, Any]) -> Self:
        metric = params.get("metric")
        tamsel.PyFlat(dim, metric)
        self = cls.__new__(cls)
        self._setup(dim, metric)
        return self

    @property
    def metric(self) -> str | None:
        """The metric name given, or None."""
        metric: str | None = self._params["metric"]
        return metric

    def insert(self, vector: Any) -> None:
        """Inserts a vector of length ``dim``; its id is the number of vectors
        stored before it. It goes to the shard that holds fewest."""
        self._blank().insert(vector)
        values = _convert.vector(vector)
        with self._shards.lock:
            if not self._dim:
                # A PyFlat of dimension 0 stores nothing.
                self._shards.call_all("ping")
                return
            target = min(range(self.shards), key=lambda i: (self._sizes[i], i))
            first = sum(self._sizes)
            args: list[tuple[Any, ...] | None] = [None] * self.shards
            args[target] = (values, first)
            self._sizes[target] = self._shards.call("insert", args)[target]

    def create(self, vectors: Any) -> None:
        """Inserts a non-empty batch of vectors in order, with consecutive
        ids, cut into one piece per shard that the shards store in parallel."""
        self._blank().create(vectors)
        batch = _convert.matrix(vectors, self._dim)
        with self._shards.lock:
            if not self._dim:
                self._shards.call_all("ping")
                return
            counts = split(len(batch), self._sizes)
            first = sum(self._sizes)
            args: list[tuple[Any, ...] | None] = []
            start = 0
            for count in counts:
                args.append((batch[start:start + count], first + start) if count else None)
                start += count
            sizes = self._shards.call("create", args)
            for number, a in enumerate(args):
                if a is not None:
                    self._sizes[number] = sizes[number]

    def search(self, query: Any, k: Any = None) -> list[tuple[int, float]]:
        """The ``k`` (default 1, and 0 counts as 1) best vectors as
        ``(id, distance)`` tuples, smallest metric value first, exactly as
        ``PyFlat.search`` ranks them."""
        if not sum(self._sizes):
            self._shards.call_all("ping")
            return self._blank().search(query, k)  # what an empty PyFlat does: EmptyIndex
        self._probe().search(query, k)
        q = _convert.vector(query)
        limit = _convert.count(k)
        lists = self._shards.call_all("search", q, limit)
        return self._merge(lists, _rank, limit)

    def search_many(self, queries: Any, k: Any = None) -> list[list[tuple[int, float]]]:
        """``[self.search(q, k) for q in queries]``, with one call per shard
        for the whole batch."""
        if not sum(self._sizes):
            self._shards.call_all("ping")
            return self._blank().search_many(queries, k)  # what an empty PyFlat does
        self._probe().search_many(queries, k)
        batch = _convert.matrix(queries, self._dim)
        if not len(batch):
            self._shards.call_all("ping")
            return []
        limit = _convert.count(k)
        per_shard = self._shards.call_all("search_many", batch, limit)
        return [self._merge(lists, _rank, limit) for lists in zip(*per_shard)]
