"""PyHNSW(..., prune=True): recall against the exact index, the filtered
query's planner, and the keyword itself."""

import numpy as np
import pytest

import tamsel

PyFlat = tamsel.PyFlat
PyHNSW = tamsel.PyHNSW

FLAT_METRIC = {"euclidean": None, "angular": "cosine", "inner_product": "inner_product"}


def dataset(kind, n, dim, seed):
    rng = np.random.default_rng(seed)
    if kind == "uniform":
        return rng.uniform(-1.0, 1.0, (n, dim))
    centres = rng.uniform(-1.0, 1.0, (20, dim))
    return centres[rng.integers(0, 20, n)] + rng.normal(0.0, 0.08, (n, dim))


def exact(flat, query, k, passing=None):
    """(distance, id) of the k nearest, ties by the smaller id, over the
    passing ids when given."""
    pairs = [(d, i) for i, d in flat.search(query.tolist(), 2**32 - 1)]
    if passing is not None:
        pairs = [(d, i) for d, i in pairs if i in passing]
    return sorted(pairs)[:k]


@pytest.fixture(scope="module")
def built():
    cache = {}

    def build(kind, metric):
        if (kind, metric) not in cache:
            data = dataset(kind, 3040, 16, seed=len(kind) + len(metric))
            data, queries = data[:3000], data[3000:]
            groups = np.arange(3000) % 1000  # value v passes 3 nodes
            index = PyHNSW(16, m=12, ef_construction=100, ef_search=64, metric=metric,
                           schema=["g", "half"], prune=True)
            index.create(data, [[("g", int(g)), ("half", i % 2)] for i, g in enumerate(groups)])
            flat = PyFlat(16, FLAT_METRIC[metric])
            flat.create(data)
            cache[kind, metric] = (data, queries, groups, index, flat)
        return cache[kind, metric]

    return build


def ids_of(results, data):
    where = {tuple(v): i for i, v in enumerate(data.tolist())}
    return [where[tuple(v)] for _, v in results]


@pytest.mark.parametrize("metric", ["euclidean", "angular", "inner_product"])
@pytest.mark.parametrize("kind", ["clustered", "uniform"])
def test_recall_against_the_exact_index(built, kind, metric):
    data, queries, _, index, flat = built(kind, metric)
    hits = 0
    for query in queries:
        results = index.search(query.tolist(), 10)
        assert len(results) == 10
        truth = exact(flat, query, 10)
        found = ids_of(results, data)
        # Every distance is the metric's value, bit for bit.
        flat_distance = dict((i, d) for d, i in exact(flat, query, len(data)))
        assert [d for d, _ in results] == [flat_distance[i] for i in found]
        assert [d for d, _ in results] == sorted(d for d, _ in results)
        hits += len(set(found) & {i for _, i in truth})
    # The similarity metrics rank the least similar first: a search for
    # the negated query on links between similar vectors, which the
    # inner product (no metric at all) serves worst.
    assert hits / (10 * len(queries)) >= {"euclidean": 0.97, "angular": 0.85, "inner_product": 0.4}[metric]


@pytest.mark.parametrize("k", [0, 1, 10, 200])
def test_filtered_queries_by_exact_scan_and_by_walk(built, k):
    data, queries, groups, index, flat = built("clustered", "euclidean")
    for query in queries[:10]:
        # Three nodes pass: the planner scans them, so the answer is exact.
        value = int(groups[int(abs(query[0]) * 997) % 1000])
        passing = {i for i in range(len(data)) if groups[i] == value}
        results = index.search(query.tolist(), k, ("g", value))
        truth = exact(flat, query, max(k, 1), passing)
        assert [(d, i) for (d, _), i in zip(results, ids_of(results, data))] == truth
        # Half pass: the walk, min(k, passing) passing nodes, nearly exact.
        results = index.search(query.tolist(), k, ("half", 1))
        assert len(results) == max(k, 1)
        found = ids_of(results, data)
        assert all(i % 2 == 1 for i in found)
        truth = exact(flat, query, max(k, 1), set(range(1, len(data), 2)))
        assert len(set(found) & {i for _, i in truth}) >= 0.9 * len(truth)
    assert index.search(queries[0].tolist(), 5, ("g", -1)) == []


@pytest.mark.parametrize("prune", [True, 1, "yes"])
def test_prune_takes_a_truth_value_and_keeps_every_node(prune):
    index = PyHNSW(2, layers=3, m=2, metric="euclidean", prune=prune)
    index.create([[float(i), float(i % 7)] for i in range(300)])
    assert len(index.search([0.0, 0.0], 1000)) == 300


class Untruthful:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


def test_prune_conversion_failure_names_the_argument():
    with pytest.raises(ZeroDivisionError) as info:
        PyHNSW(2, metric="euclidean", prune=Untruthful())
    assert str(info.value) == "no truth"


@pytest.mark.parametrize("metric", ["euclidean", "angular"])
def test_pruned_index_round_trips_bit_for_bit(tmp_path, metric):
    import pickle

    data = dataset("clustered", 600, 8, seed=4)
    index = PyHNSW(8, layers=4, m=4, ef_construction=40, ef_search=20, metric=metric, schema=["g"], prune=True)
    index.create(data[:500], [[("g", i % 50)] for i in range(500)])
    index.insert(data[500].tolist())  # a node without a record
    path = tmp_path / "pruned.tamsel"
    index.save(path)
    for copy in (PyHNSW.load(path), pickle.loads(pickle.dumps(index))):
        for query in data[501:530].tolist():
            for flt in (None, ("g", 7), ("g", 1000)):
                assert copy.search(query, 15, flt) == index.search(query, 15, flt)
        again = tmp_path / "again.tamsel"
        copy.save(again)
        assert again.read_bytes() == path.read_bytes()
        copy.insert(data[531].tolist(), [("g", 7)])
        assert data[531].tolist() in [v for _, v in copy.search(data[0].tolist(), 100, ("g", 7))]
    # The described graph still saves as mode 0; the pruned one as mode 1.
    assert int.from_bytes(path.read_bytes()[56:60], "little") == 1
    plain = PyHNSW(8, metric=metric)
    plain.insert(data[0].tolist())
    plain.save(path)
    assert int.from_bytes(path.read_bytes()[56:60], "little") == 0
