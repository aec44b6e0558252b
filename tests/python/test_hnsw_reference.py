"""PyHNSW against a plain Python model of the graph index.

With one layer every node sits on layer 0, so the graph depends on nothing
but the insertion order: the model below builds the same graph and must give
exactly the same (distance, vector) lists, bit for bit. The metric functions
are plain sequential sums, like the module's, and Python floats are IEEE
doubles. A recall check against the exact index covers the default, layered
configuration.
"""

import heapq
import math
import os
import random
import time

import pytest

import tamsel

PyHNSW = tamsel.PyHNSW
PyFlat = tamsel.PyFlat


# -- metrics and the order they are ranked in --------------------------------


def ieee_divide(x, y):
    if y == 0.0:
        if x == 0.0 or math.isnan(x):
            return math.nan
        return math.copysign(math.inf, x) * math.copysign(1.0, y)
    return x / y


def euclidean(a, b):
    total = 0.0
    for x, y in zip(a, b):
        diff = x - y
        total += diff * diff
    return math.sqrt(total)


def inner_product(a, b):
    total = 0.0
    for x, y in zip(a, b):
        total += x * y
    return total


def squared_norm(a):
    total = 0.0
    for x in a:
        total += x * x
    return total


def angular(a, b):
    # The norms cover each vector whole, the product only the common prefix.
    return ieee_divide(inner_product(a, b), math.sqrt(squared_norm(a)) * math.sqrt(squared_norm(b)))


METRICS = {"euclidean": euclidean, "angular": angular, "inner_product": inner_product}


def rank(d):
    """Sort key of a distance: by value, NaN after every number."""
    return (1, 0.0) if math.isnan(d) else (0, d)


def same_float(x, y):
    if math.isnan(x) or math.isnan(y):
        return math.isnan(x) and math.isnan(y)
    return x == y and math.copysign(1.0, x) == math.copysign(1.0, y)


# -- metadata as the filter sees it ------------------------------------------


def kind_of(value):
    """The variant a plain Python value is stored as."""
    if isinstance(value, str):
        return "text"
    if isinstance(value, int) and -(2**63) <= value < 2**63:
        return "integer"
    return "float"


def value_matches(stored, wanted):
    return kind_of(stored) == kind_of(wanted) and (
        float(stored) == float(wanted) if kind_of(stored) == "float" else stored == wanted
    )


# -- the model ---------------------------------------------------------------


class Model:
    """One-layer graph index: node 0 is the fixed entry, rows are never
    pruned, back-links go to the end of each found node's row."""

    def __init__(self, metric, ef_construction, ef_search, schema=None):
        self.metric = METRICS[metric]
        self.ef_construction = ef_construction
        self.ef_search = ef_search
        self.schema = schema
        self.vectors = []
        self.records = []  # a dict per node, or None for a node without metadata
        self.rows = []

    def passes(self, node, attribute, wanted):
        record = self.records[node]
        return record is not None and value_matches(record[attribute], wanted)

    def layer_search(self, entry, query, ef, flt=None):
        d0 = self.metric(query, self.vectors[entry])
        results = [(d0, entry)]
        visited = {entry}
        candidates = [(rank(d0), entry, d0)]
        while candidates:
            key, node, _ = heapq.heappop(candidates)
            farthest = results[-1][0]
            if not math.isnan(farthest) and key > rank(farthest):
                break
            for neighbor in self.rows[node]:
                # (Every node is on layer 0, so no level test ever skips one.)
                if flt is not None and not self.passes(neighbor, *flt):
                    continue
                d = self.metric(query, self.vectors[neighbor])
                if neighbor in visited:
                    continue
                visited.add(neighbor)
                if len(results) < ef or rank(d) < rank(results[-1][0]):
                    heapq.heappush(candidates, (rank(d), neighbor, d))
                    results.insert(self.position(results, d), (d, neighbor))
                    if len(results) > ef:
                        results.pop()
        return results

    @staticmethod
    def position(results, d):
        # A tie goes directly before the last pair of equal distance.
        equal = [i for i, (e, _) in enumerate(results) if rank(e) == rank(d)]
        if equal:
            return equal[-1]
        return sum(1 for e, _ in results if rank(e) < rank(d))

    def insert(self, vector, record=None):
        node = len(self.vectors)
        self.vectors.append([float(x) for x in vector])
        self.records.append(record)
        if node == 0:
            self.rows.append([])
            return
        found = self.layer_search(0, self.vectors[node], self.ef_construction)
        for _, neighbor in found:
            self.rows[neighbor].append(node)
        self.rows.append([neighbor for _, neighbor in found])

    def search(self, query, k, flt=None):
        if not self.vectors:
            return []
        out = []
        for d, node in self.layer_search(0, [float(x) for x in query], self.ef_search, flt):
            if flt is not None and not self.passes(node, *flt):
                continue
            out.append((d, self.vectors[node]))
            if len(out) >= max(k, 1):
                break
        return out


def assert_same_results(got, want):
    assert len(got) == len(want), (got, want)
    for (gd, gv), (wd, wv) in zip(got, want):
        assert type(gd) is float and type(gv) is list
        assert same_float(gd, wd), (got, want)
        assert len(gv) == len(wv) and all(same_float(x, y) for x, y in zip(gv, wv)), (got, want)


# -- data --------------------------------------------------------------------

SCHEMA = ["tag", "grp"]


CREATED = 40  # nodes put in by the first create, all with metadata


def make_records(n, rng):
    """Metadata for n nodes: past the first create, every seventh node has
    none; grp is mostly an int, sometimes a float of the same value, so kinds
    must not mix."""
    records = []
    for i in range(n):
        if i >= CREATED and i % 7 == 3:
            records.append(None)
            continue
        grp = i % 3
        if i % 5 == 0:
            grp = float(grp)
        records.append({"tag": rng.choice("ab"), "grp": grp})
    return records


def random_data(rng):
    dim = 5
    return [[rng.gauss(0.0, 1.0) for _ in range(dim)] for _ in range(160)], dim


def tied_data(rng):
    # Few distinct small-integer points: many repeated vectors and many equal
    # distances, zero vectors included (NaN under "angular").
    dim = 3
    return [[rng.randint(-1, 2) for _ in range(dim)] for _ in range(160)], dim


def clustered_data(rng):
    dim = 4
    centres = [[rng.randint(-8, 8) for _ in range(dim)] for _ in range(5)]
    data = []
    for _ in range(150):
        c = rng.choice(centres)
        data.append([x + rng.choice((-1, 0, 0, 1)) * 0.5 for x in c])
    # A few vectors whose distances are NaN, and one far away.
    data[40] = [math.nan, 1.0, 2.0, 3.0]
    data[90] = [math.inf, 0.0, 0.0, 0.0]
    data.append([100.0] * dim)
    return data, dim


DATASETS = {"random": random_data, "tied": tied_data, "clustered": clustered_data}


def queries_for(data, dim, rng):
    qs = [list(data[i]) for i in rng.sample(range(len(data)), 6)]
    qs += [[rng.uniform(-3, 3) for _ in range(dim)] for _ in range(6)]
    qs += [[0.0] * dim, [0.0] * (dim - 1), [1.0] * (dim + 2), []]
    return qs


FILTERS = [None, ("grp", 0), ("grp", 1), ("grp", 1.0), ("grp", True), ("tag", "a"), ("tag", "nope")]


def build_both(data, records, metric, ef_construction, ef_search, **extra):
    """The module's index and the model, with the nodes given in three ways:
    one create with metadata, single inserts (some without metadata), and a
    create without metadata."""
    index = PyHNSW(len(data[0]), layers=1, ef_construction=ef_construction, ef_search=ef_search,
                   metric=metric, schema=SCHEMA, **extra)
    model = Model(metric, 200 if ef_construction is None else ef_construction,
                  50 if ef_search is None else ef_search, SCHEMA)
    n = len(data)
    first = range(CREATED)
    index.create([data[i] for i in first], [list(records[i].items()) for i in first])
    for i in first:
        model.insert(data[i], records[i])
    for i in range(CREATED, n - 10):
        if records[i] is None:
            index.insert(data[i])
        else:
            index.insert(data[i], list(records[i].items()))
        model.insert(data[i], records[i])
    index.create(data[n - 10:])
    for i in range(n - 10, n):
        model.insert(data[i])
    return index, model


@pytest.mark.parametrize("ef_construction", [1, 3, 12])
@pytest.mark.parametrize("metric", ["euclidean", "angular", "inner_product"])
@pytest.mark.parametrize("dataset", sorted(DATASETS))
def test_single_layer_index_matches_model(dataset, metric, ef_construction):
    rng = random.Random(f"{dataset}-{metric}-{ef_construction}")
    data, dim = DATASETS[dataset](rng)
    records = make_records(len(data), rng)
    queries = queries_for(data, dim, rng)
    index, model = build_both(data, records, metric, ef_construction, 1)
    for ef_search in (1, 4, 20):
        if ef_search != 1:
            index, _ = build_both(data, records, metric, ef_construction, ef_search)
        model.ef_search = ef_search
        for query in queries:
            for flt in FILTERS:
                for k in (0, 1, 3, 25):
                    want = model.search(query, k, flt)
                    got = index.search(query, k, flt)
                    assert_same_results(got, want)


@pytest.mark.parametrize("m", [None, 0, 1])
@pytest.mark.parametrize("metric", ["euclidean", "angular", "inner_product"])
def test_default_beams_and_m_bounding_nothing(metric, m):
    # Without ef_construction and ef_search the beams are 200 and 50; m is
    # stored but limits no neighbour list.
    rng = random.Random(metric)
    data = [[rng.randint(-2, 2) for _ in range(3)] for _ in range(70)]
    records = make_records(len(data), rng)
    index, model = build_both(data, records, metric, None, None, m=m)
    for query in queries_for(data, 3, rng):
        for flt in (None, ("grp", 2), ("tag", "b")):
            for k in (1, 60, 2**32 - 1):
                assert_same_results(index.search(query, k, flt), model.search(query, k, flt))


def test_model_places_ties_before_the_last_equal_pair():
    # Checks the model itself on the worked example: 1, 2, 2 then another 2.
    results = [(1.0, 0), (2.0, 1), (2.0, 2)]
    assert Model.position(results, 2.0) == 2
    assert Model.position(results, 1.5) == 1
    assert Model.position(results, math.nan) == 3
    assert Model.position([(math.nan, 0), (math.nan, 1)], math.nan) == 1


# -- the layered index -------------------------------------------------------


@pytest.mark.parametrize("layers", [2, 5])
@pytest.mark.parametrize("metric", ["euclidean", "angular", "inner_product"])
def test_layered_results_are_consistent(metric, layers):
    # Levels are random here, so only what holds for every graph is checked:
    # each pair's distance is the metric against its own (stored) vector,
    # the list is ranked, holds distinct nodes, passes the filter, and is no
    # longer than k (at least one) or ef_search.
    rng = random.Random(layers)
    dim = 6
    data = [[rng.gauss(0, 1) for _ in range(dim)] for _ in range(300)]
    grp = {tuple(v): i % 4 for i, v in enumerate(data)}
    index = PyHNSW(dim, layers=layers, ef_construction=16, ef_search=12, metric=metric, schema=["grp"])
    index.create(data, [[("grp", i % 4)] for i in range(len(data))])
    fn = METRICS[metric]
    for _ in range(20):
        query = [rng.gauss(0, 1) for _ in range(dim)]
        for k, flt in ((0, None), (5, None), (40, None), (8, ("grp", 2))):
            got = index.search(query, k, flt)
            assert len(got) <= min(max(k, 1), 12)
            if flt is None:
                assert len(got) == min(max(k, 1), 12)
            keys = [tuple(v) for _, v in got]
            assert len(set(keys)) == len(keys) and all(key in grp for key in keys)
            assert all(same_float(d, fn(query, v)) for d, v in got)
            assert [rank(d) for d, _ in got] == sorted(rank(d) for d, _ in got)
            if flt:
                assert all(grp[key] == 2 for key in keys)


def test_recall_against_exact_index():
    rng = random.Random(7)
    dim = 12
    # The sanitized build is several times slower; it checks memory, not
    # quality, so it builds a smaller index.
    n = 800 if os.environ.get("TAMSEL_TEST_BUILD") == "sanitize" else 2000
    centres = [[rng.uniform(-10, 10) for _ in range(dim)] for _ in range(20)]
    data = [[c + rng.gauss(0, 1.5) for c in rng.choice(centres)] for _ in range(n)]
    queries = [[c + rng.gauss(0, 1.5) for c in rng.choice(centres)] for _ in range(100)]
    started = time.perf_counter()
    index = PyHNSW(dim, metric="euclidean")
    index.create(data)
    built = time.perf_counter() - started
    exact = PyFlat(dim)
    exact.create(data)
    position = {tuple(v): i for i, v in enumerate(data)}
    hits = 0
    for query in queries:
        truth = {i for i, _ in exact.search(query, 10)}
        found = index.search(query, 10)
        assert len(found) == 10
        hits += len(truth & {position[tuple(v)] for _, v in found})
    recall = hits / (10 * len(queries))
    print(f"\nHNSW recall@10 on {len(data)} clustered points (dim {dim}, defaults): "
          f"{recall:.3f}; create took {built:.2f} s")
    assert recall >= 0.9


FLAT_METRIC = {"euclidean": "euclidean", "angular": "cosine", "inner_product": "inner_product"}


@pytest.mark.parametrize(
    "metric, odd_rows",
    [
        ("euclidean", "100 with NaN first"),
        ("angular", "100 with NaN first"),
        ("inner_product", "100 with NaN first"),
        ("angular", "zero node 0"),  # its cosine with any query is NaN
    ],
)
def test_nan_distances_do_not_shut_numbers_out(metric, odd_rows):
    # A full result list ending in NaN must still admit every number, which
    # ranks before it: otherwise a NaN met early blocks the whole search.
    rng = random.Random(11)
    dim = 16
    if odd_rows == "zero node 0":
        odd = [[0.0] * dim]
    else:
        odd = [[math.nan] + [rng.gauss(0, 1) for _ in range(dim - 1)] for _ in range(100)]
    data = odd + [[rng.gauss(0, 1) for _ in range(dim)] for _ in range(1000)]
    index = PyHNSW(dim, metric=metric)
    index.create(data)
    exact = PyFlat(dim, metric=FLAT_METRIC[metric])
    exact.create(data)
    position = {tuple(v): i for i, v in enumerate(data) if not any(map(math.isnan, v))}
    hits = 0
    queries = [[rng.gauss(0, 1) for _ in range(dim)] for _ in range(50)]
    for query in queries:
        truth = {i for i, _ in exact.search(query, 10)}
        hits += len(truth & {position.get(tuple(v)) for _, v in index.search(query, 10)})
    assert hits / (10 * len(queries)) >= 0.9
