"""In-memory k-nearest-neighbour indexes over float64 vectors.

``PyHNSW`` is an approximate index over a layered proximity graph, with
metadata per vector and equality filters; ``PyFlat`` is an exact index that
scores every stored vector. Every ranking puts the smaller metric value
first, so under the similarity metrics ("angular", "inner_product",
"cosine") the least similar vectors come first.
"""

import os
from collections.abc import Callable, Iterator, Sequence
from typing import Any, Protocol, Self, SupportsFloat, SupportsIndex, TypeAlias, TypeVar, final

__all__ = ["PyFlat", "PyHNSW"]

_T_co = TypeVar("_T_co", covariant=True)

class _SequenceLike(Protocol[_T_co]):
    # Where the module expects a sequence it takes anything with item access
    # that iterates over the right elements: lists, tuples, ranges,
    # array.array, memoryviews, numpy arrays. A str is refused at run time.
    def __getitem__(self, index: int, /) -> Any: ...
    def __iter__(self) -> Iterator[_T_co]: ...

# A component: a float, or anything float() or an index conversion accepts
# (int, bool, numpy scalars).
_Number: TypeAlias = SupportsFloat | SupportsIndex

# One vector: a list of numbers or a one-dimensional array of them.
_Vector: TypeAlias = _SequenceLike[_Number]

# A batch of vectors: a list of vectors or a two-dimensional array.
_Vectors: TypeAlias = _SequenceLike[_Vector]

# The metadata of one vector: (attribute name, value) tuples. Values are
# str, int (bool included) or float; they are typed as object because a
# list literal that mixes str and int values is inferred as
# list[tuple[str, object]], and attributes outside the schema may carry
# anything, since they are ignored.
_Metadata: TypeAlias = Sequence[tuple[str, object]]

# A file path, as open() takes it.
_Path: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]

# An equality filter: (attribute name, value).
_Filter: TypeAlias = tuple[str, str | SupportsIndex | SupportsFloat]

@final
class PyFlat:
    """Exact index: scores the query against every stored vector.

    ``metric`` is "cosine" or "inner_product"; any other name, or None, gives
    the Euclidean distance. Vectors must have exactly ``dim`` components.
    """

    def __new__(cls, dim: SupportsIndex, metric: str | None = None) -> Self: ...
    def insert(self, vector: _Vector) -> None:
        """Insert a vector of length ``dim``; its id is the number of vectors
        stored before it."""

    def create(self, vectors: _Vectors) -> None:
        """Insert a non-empty batch of vectors in order. Every length is
        checked before any vector is stored; an interrupted call stores
        nothing."""

    def search(self, query: _Vector, k: SupportsIndex | None = None) -> list[tuple[int, float]]:
        """The ``k`` (default 1, and 0 counts as 1) best vectors as
        ``(id, distance)`` tuples, smallest metric value first."""

    def save(self, path: _Path) -> None:
        """Write the whole index to ``path``, atomically: a temporary file
        beside it is written, synced and renamed over it, so a crash or an
        interrupted save leaves the old file. OSError if it cannot be
        written."""

    @classmethod
    def load(cls, path: _Path) -> Self:
        """A new PyFlat read from a file that ``PyFlat.save`` wrote.
        ValueError for a file that is not one (another class, damaged,
        truncated, from a newer version); OSError if it cannot be read."""

    def __reduce__(self) -> tuple[Callable[[bytes], Self], tuple[bytes]]: ...

    def search_many(self, queries: _Vectors, k: SupportsIndex | None = None) -> list[list[tuple[int, float]]]:
        """``[self.search(q, k) for q in queries]``, computed on every usable
        core in one pass over the stored vectors per tile of queries: the
        same values in the same order. Errors are those of the first query
        that fails, raised before any searching; an interrupt discards the
        partial answers."""

@final
class PyHNSW:
    """Approximate index over a layered proximity graph.

    ``metric`` must be "euclidean", "angular" or "inner_product"; anything
    else, None included, raises ValueError("Unsupported metric"). ``schema``
    names the metadata attributes that vectors may carry and filters test.
    Defaults: ``layers`` 5, ``m`` 16, ``ef_construction`` 200, ``ef_search`` 50.

    ``prune`` (keyword only, default False) chooses how the graph is built.
    False keeps the described graph: one unpruned adjacency for all layers,
    entered at node 0, ``m`` bounding nothing. True builds a pruned graph:
    each layer keeps its own neighbour lists of at most ``m`` nodes (2·``m``
    on layer 0, ``m`` below 2 counting as 2) chosen by the diversity
    heuristic; levels are geometric, P(level >= j) = ``m``^-j, capped at
    ``layers`` - 1; searches enter at the first node that reached the
    highest level. Its bottom beam is max(``ef_search``, k), so a search
    returns k results whenever the index holds k vectors. A filtered search
    returns exactly min(max(k, 1), passing) passing vectors: it counts the
    passing nodes and scans them exactly when few pass, otherwise it walks
    the graph through failing nodes too, keeping only passing ones, and
    finishes with the exact scan if the walk found too few. Metadata,
    filters, conversions, messages and errors are the same in both modes.
    """

    def __new__(
        cls,
        dim: SupportsIndex,
        layers: SupportsIndex | None = None,
        m: SupportsIndex | None = None,
        ef_construction: SupportsIndex | None = None,
        ef_search: SupportsIndex | None = None,
        metric: str | None = None,
        schema: Sequence[str] | None = None,
        *,
        prune: bool = False,
    ) -> Self: ...
    def insert(self, vector: _Vector, metadata: _Metadata | None = None) -> None:
        """Insert a vector of length ``dim``, with one value per schema
        attribute when ``metadata`` is given, e.g.
        ``[("color", "blue"), ("size", 42)]``."""

    def create(self, vectors: _Vectors, metadata: Sequence[_Metadata] | None = None) -> None:
        """Insert a non-empty batch of vectors in order, with one metadata
        list per vector when ``metadata`` is given. When interrupted
        (KeyboardInterrupt) it stops between two insertions; the vectors
        inserted so far stay, and the exception's note says how many."""

    def search(
        self, query: _Vector, k: SupportsIndex | None = None, filter: _Filter | None = None
    ) -> list[tuple[float, list[float]]]:
        """Up to ``k`` (default 1, and 0 counts as 1; never more than
        ``ef_search`` unless the index was built with ``prune=True``) stored
        vectors as ``(distance, vector)`` tuples, smallest metric value
        first. With ``filter=(name, value)`` only vectors whose metadata
        value equals ``value`` are returned, possibly fewer than ``k``; with
        ``prune=True`` exactly min(k, number of passing vectors)."""

    def save(self, path: _Path) -> None:
        """Write the whole index to ``path``, atomically: a temporary file
        beside it is written, synced and renamed over it, so a crash or an
        interrupted save leaves the old file. OSError if it cannot be
        written."""

    @classmethod
    def load(cls, path: _Path) -> Self:
        """A new PyHNSW read from a file that ``PyHNSW.save`` wrote.
        ValueError for a file that is not one (another class, damaged,
        truncated, from a newer version); OSError if it cannot be read."""

    def __reduce__(self) -> tuple[Callable[[bytes], Self], tuple[bytes]]: ...

    def search_many(
        self, queries: _Vectors, k: SupportsIndex | None = None, filter: _Filter | None = None
    ) -> list[list[tuple[float, list[float]]]]:
        """``[self.search(q, k, filter) for q in queries]``, computed on every
        usable core: the same values in the same order. Errors are those of
        the first query that fails, raised before any searching; an
        interrupt discards the partial answers."""
