"""Float64 arrays are copied in one step; every answer and error must be the
same as for the same values given as lists, and any object whose iteration
might differ from its buffer must be iterated."""

import array
import math
import struct

import numpy as np
import pytest

import tamsel

VALUES = [1.5, -0.0, 3.0, float("inf"), float("nan"), 2.5]


def same(a, b):
    """Equal results, NaN-aware, bit for bit for floats."""
    if isinstance(a, float) and isinstance(b, float):
        return struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b))
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def outcome(call):
    try:
        return ("ok", call())
    except Exception as error:  # noqa: BLE001 - the outcome is what is compared
        return (type(error), str(error))


def same_outcome(a, b):
    return a[0] == b[0] and (same(a[1], b[1]) if a[0] == "ok" else a[1] == b[1])


class DoublingArray(np.ndarray):
    """Iterates as twice its buffer: must never be read as a buffer."""

    def __iter__(self):
        return (2 * x for x in np.ndarray.__iter__(self))


def vector_forms(values):
    arr = np.array(values, dtype=np.float64)
    return {
        "ndarray": arr,
        "array.array": array.array("d", values),
        "memoryview": memoryview(array.array("d", values)),
        "float32": arr.astype(np.float32),
        "strided": np.repeat(arr, 2)[::2],
        "big-endian": arr.astype(">f8"),
        "two-dimensional": arr.reshape(1, -1),
        "zero-dimensional": np.array(values[0]),
        "subclass": arr.view(DoublingArray),
        "memoryview-of-bytes": memoryview(bytes(len(values))),
    }


def batch_forms(rows):
    arr = np.array(rows, dtype=np.float64)
    return {
        "ndarray": arr,
        "fortran": np.asfortranarray(arr),
        "float32": arr.astype(np.float32),
        "rows-of-arrays": list(arr),
        "one-dimensional": arr.ravel(),
        "three-dimensional": arr.reshape(1, *arr.shape),
        "empty-rows": np.zeros((3, 0)),
        "no-rows": np.zeros((0, arr.shape[1])),
        "memoryview-2d": memoryview(arr),
        "subclass": arr.view(DoublingArray),
    }


class PlainArray(np.ndarray):
    """Iterates exactly like ndarray, but is not one: it always takes the
    element-by-element path, which the one-step copy must agree with."""


def element_by_element(value):
    """The same values, in a form that is converted element by element."""
    if type(value) is np.ndarray:
        return value.view(PlainArray)
    if isinstance(value, array.array) or (isinstance(value, memoryview) and value.ndim == 1 and value.format == "d"):
        return list(value)
    return value


def make_indexes():
    flat = tamsel.PyFlat(6)
    hnsw = tamsel.PyHNSW(6, metric="euclidean", layers=1)
    for index in (flat, hnsw):
        index.create([[float(i + j) for j in range(6)] for i in range(5)])
    return flat, hnsw


@pytest.mark.parametrize("form", sorted(vector_forms(VALUES)))
@pytest.mark.parametrize("method", ["insert", "search"])
def test_vectors_behave_as_their_iteration(form, method):
    value = vector_forms(VALUES)[form]
    flat_a, hnsw_a = make_indexes()
    flat_b, hnsw_b = make_indexes()
    for a, b in [(flat_a, flat_b), (hnsw_a, hnsw_b)]:
        got = outcome(lambda: getattr(a, method)(value))
        want = outcome(lambda: getattr(b, method)(element_by_element(value)))
        assert same_outcome(got, want), (form, got, want)
        # Whatever was stored is what the list form stores.
        probe = [0.5] * 6
        assert same_outcome(outcome(lambda: a.search(probe, k=10)), outcome(lambda: b.search(probe, k=10)))


@pytest.mark.parametrize("form", sorted(batch_forms([[float(i * j) for j in range(4)] for i in range(7)])))
def test_batches_behave_as_their_iteration(form):
    rows = [[float(i * j) - 3.0 for j in range(4)] for i in range(7)]
    rows[2][1] = float("nan")
    value = batch_forms(rows)[form]
    for make in (lambda: tamsel.PyFlat(4), lambda: tamsel.PyHNSW(4, metric="euclidean", layers=1)):
        a, b = make(), make()
        got = outcome(lambda: a.create(value))
        want = outcome(lambda: b.create(element_by_element(value)))
        assert same_outcome(got, want), (form, got, want)
        probe = [1.0, 0.0, -1.0, 2.0]
        assert same_outcome(outcome(lambda: a.search(probe, k=20)), outcome(lambda: b.search(probe, k=20)))


def test_subclass_iteration_is_honoured():
    index = tamsel.PyFlat(3, "inner_product")
    index.insert(np.array([1.0, 2.0, 3.0]).view(DoublingArray))
    assert index.search([1.0, 0.0, 0.0]) == [(0, 2.0)]


def test_array_changed_by_metadata_conversion_keeps_the_values_it_had():
    vectors = np.arange(6, dtype=np.float64).reshape(2, 3)

    class Meddling:
        def __index__(self):
            vectors[:] = 100.0
            return 1

    index = tamsel.PyHNSW(3, metric="euclidean", schema=["a"], layers=1)
    index.create(vectors, metadata=[[("a", Meddling())], [("a", 2)]])
    stored = sorted(vector for _, vector in index.search([0.0, 0.0, 0.0], k=5))
    assert stored == [[0.0, 1.0, 2.0], [3.0, 4.0, 5.0]]


@pytest.mark.parametrize("metric", ["euclidean", "cosine", "inner_product"])
def test_flat_answers_alike_from_arrays_and_lists(metric):
    rng = np.random.default_rng(8)
    data = rng.integers(-3, 4, size=(300, 9)).astype(np.float64)
    data[rng.integers(0, 300, 5), rng.integers(0, 9, 5)] = np.nan
    from_array, from_lists = tamsel.PyFlat(9, metric), tamsel.PyFlat(9, metric)
    from_array.create(data)
    from_lists.create(data.tolist())
    for query in rng.integers(-3, 4, size=(20, 9)).astype(np.float64):
        assert same(from_array.search(query, k=25), from_lists.search(query.tolist(), k=25))
