"""search_many answers exactly what a loop of search does: the same lists,
tuples, floats and order, and the error of the first query that fails,
raised before any work."""

import math

import numpy as np
import pytest

import tamsel

DIM = 40  # past two abandoning checkpoints of the Euclidean kernels


def outcome(call):
    try:
        return ("value", repr(call()))
    except Exception as error:  # noqa: BLE001 - compared, not handled
        return ("error", type(error), str(error))


def make_data(rows, seed, shape="plain", queries=False):
    """Gaussian data, or data the Euclidean screens must not get wrong: far
    from the origin and close together (float products cancel), row
    magnitudes from float-subnormal to past float overflow, or a thin shell
    around the queries (near ties)."""
    rng = np.random.default_rng(seed)
    data = rng.standard_normal((rows, DIM))
    if shape == "far":
        data += 1e4
    elif shape == "mixed":
        data *= 10.0 ** rng.integers(-45, 40, (rows, 1))
    elif shape == "shell":
        radius = 1e-9 if queries else 1.0 + 3e-9 * rng.standard_normal((rows, 1))
        data *= radius / np.linalg.norm(data, axis=1, keepdims=True)
    data[5] = data[3]  # ties, broken by identifier
    data[7] = 0.0  # a NaN cosine
    data[11, 2] = math.nan
    return data


def flat(metric, shape="plain"):
    index = tamsel.PyFlat(DIM, metric)
    index.create(make_data(203, 1, shape))  # not a whole number of blocks
    return index


def hnsw(metric):
    index = tamsel.PyHNSW(DIM, ef_search=20, metric=metric, schema=["a"])
    data = make_data(150, 2)
    index.create(data[:100], [[("a", i % 3)] for i in range(100)])
    for row in data[100:]:
        index.insert(row.tolist())  # no record: passes no filter
    return index


INDEXES = {
    "flat-euclidean": lambda: flat("euclidean"),
    "flat-cosine": lambda: flat("cosine"),
    "flat-inner": lambda: flat("inner_product"),
    "flat-euclidean-far": lambda: flat("euclidean", "far"),
    "flat-euclidean-mixed": lambda: flat("euclidean", "mixed"),
    "flat-euclidean-shell": lambda: flat("euclidean", "shell"),
    "hnsw-euclidean": lambda: hnsw("euclidean"),
    "hnsw-angular": lambda: hnsw("angular"),
    "hnsw-inner": lambda: hnsw("inner_product"),
}

QUERIES = {
    "array": lambda q: q,
    "list": lambda q: q.tolist(),
    "tuple of arrays": lambda q: tuple(q),
    "ints": lambda q: [[int(x) for x in row] for row in np.nan_to_num(q * 3).round()],
}

KS = [None, 0, 1, 7, 10**6, True, np.int64(3)]


@pytest.mark.parametrize("kind", list(QUERIES))
@pytest.mark.parametrize("name", list(INDEXES))
def test_search_many_is_the_loop_of_search(name, kind):
    index = INDEXES[name]()
    shape = name.split("-")[2] if name.count("-") == 2 else "plain"
    queries = make_data(37, 3, shape, queries=True)  # several tiles, not whole ones
    queries[4] = make_data(203, 1, shape)[9]  # an exact hit
    queries = QUERIES[kind](queries)
    filters = [None, ("a", 1), ("a", 99)] if name.startswith("hnsw") else [None]
    for k in KS:
        for f in filters:
            options = {} if f is None else {"filter": f}
            if k is not None:
                options["k"] = k
            expected = outcome(lambda: [index.search(q, **options) for q in queries])
            assert outcome(lambda: index.search_many(queries, **options)) == expected


@pytest.mark.parametrize(
    "make, queries, options",
    [
        (lambda: tamsel.PyFlat(2), [[1.0, 2.0]], {}),  # EmptyIndex
        (lambda: tamsel.PyFlat(2), [[1.0, 2.0], [1.0]], {}),  # EmptyIndex before the bad length
        (lambda: tamsel.PyFlat(2), [[1.0], [1.0, 2.0]], {}),
        (lambda: tamsel.PyFlat(2, "cosine"), np.ones((0, 2)), {"k": 5}),  # nothing to search: []
        (lambda: tamsel.PyHNSW(2, metric="euclidean"), [[1.0, 2.0]], {"filter": ("a", 1)}),  # empty: no error at all
        (lambda: tamsel.PyHNSW(2, metric="euclidean", ef_search=0), [[1.0, 2.0]], {}),
        (lambda: tamsel.PyHNSW(2, metric="euclidean", layers=0), [[1.0, 2.0], [3.0]], {}),
        (lambda: tamsel.PyHNSW(2, metric="euclidean", schema=[]), [[1.0, 2.0]], {"filter": ("a", 1)}),
        (lambda: tamsel.PyHNSW(2, metric="euclidean", schema=["b"]), [[1.0, 2.0]], {"filter": ("a", 1)}),
        (lambda: tamsel.PyHNSW(2, metric="euclidean"), [[1.0, 2.0]], {"filter": ("a", 1)}),
        (lambda: tamsel.PyHNSW(2, metric="euclidean", schema=["a"]), [[1.0, 2.0]], {"filter": ("a", object())}),
        (lambda: tamsel.PyHNSW(2, metric="euclidean"), [[1.0, 2.0, 3.0], []], {"k": 2}),  # any query length
    ],
)
@pytest.mark.parametrize("stored", [False, True])
def test_search_many_fails_as_the_first_failing_search(make, queries, options, stored):
    index = make()
    if stored:
        index.insert([0.5, 0.25])
    expected = outcome(lambda: [index.search(q, **options) for q in queries])
    assert outcome(lambda: index.search_many(queries, **options)) == expected
