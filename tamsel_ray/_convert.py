"""Arguments already accepted by a local tamsel index, made plain for shipping.

Every public method first hands its arguments to a small local index of the
same parameters, which raises exactly the errors the single-machine class
raises. Only then are the arguments read a second time here, into plain
floats, ints and strs (or float64 arrays) that pickle cheaply and convert on
the shard to the same values. The rules below follow the module's own
conversions for every input that the local index accepted; they never need to
produce an error message of their own.
"""

from __future__ import annotations

import operator
from collections.abc import Sequence
from typing import Any

import numpy as np

# Array kinds whose elements the module converts through __float__ or
# __index__ with the same rounding as a cast to float64.
_NUMERIC_KINDS = "fiub"

_INT64_MIN = -(2**63)
_INT64_MAX = 2**63 - 1


def number(x: Any) -> float:
    """One vector component, as the module's float conversion reads it."""
    if type(x) is float:
        return x
    if isinstance(x, float):
        # A float subclass gives its value without calling __float__.
        return float.__float__(x)
    return float(x)


def vector(values: Any) -> list[float]:
    """One vector, as a list: Ray ships a short list faster than an array."""
    if isinstance(values, np.ndarray) and values.ndim == 1 and values.dtype.kind in _NUMERIC_KINDS:
        plain: list[float] = values.astype(np.float64).tolist()
        return plain
    return [number(x) for x in values]


def matrix(rows: Any, dim: int) -> np.ndarray:
    """A batch of vectors of length `dim`, as a C-contiguous float64 array."""
    if isinstance(rows, np.ndarray) and rows.ndim == 2 and rows.dtype.kind in _NUMERIC_KINDS:
        return np.ascontiguousarray(rows, dtype=np.float64)
    out = [vector(row) for row in rows]
    if not out:
        return np.empty((0, dim), dtype=np.float64)
    return np.asarray(out, dtype=np.float64).reshape(len(out), dim)


def vectors(rows: Any) -> list[list[float]] | np.ndarray:
    """A batch of vectors whose lengths may differ (queries of a graph index,
    which compares over the common prefix)."""
    if isinstance(rows, np.ndarray) and rows.ndim == 2 and rows.dtype.kind in _NUMERIC_KINDS:
        return np.ascontiguousarray(rows, dtype=np.float64)
    return [vector(row) for row in rows]


def count(k: Any) -> int:
    """The number of results a search returns at most: k = 0 counts as 1."""
    if k is None:
        return 1
    return max(int(operator.index(k)), 1)


def text(s: str) -> str:
    """A str, or a str subclass reduced to its plain text."""
    return str.__str__(s)


def metadata_value(value: Any) -> str | int | float:
    """A metadata or filter value, by the first of text, integer, float that
    accepts it."""
    if isinstance(value, str):
        return text(value)
    if isinstance(value, int) or hasattr(type(value), "__index__"):
        try:
            i = int(operator.index(value))
        except Exception:
            i = None
        if i is not None and _INT64_MIN <= i <= _INT64_MAX:
            return i
    return number(value)


def metadata(pairs: Sequence[tuple[str, Any]] | None, schema: list[str]) -> list[tuple[str, Any]] | None:
    """The pairs of one vector reduced to one pair per schema attribute, in
    schema order: later pairs of a name win, and names outside the schema are
    dropped (the module never looks at their values)."""
    if pairs is None:
        return None
    by_name = {text(name): value for name, value in pairs}
    return [(name, metadata_value(by_name[name])) for name in schema]


def filter_pair(pair: tuple[str, Any] | None) -> tuple[str, str | int | float] | None:
    if pair is None:
        return None
    name, value = pair
    return (text(name), metadata_value(value))
