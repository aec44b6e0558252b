"""PyHNSW from Python: construction, insert, create and search, metadata and
filters, and the errors each step raises."""

import math
import time
from decimal import Decimal

import numpy as np
import pytest

import tamsel

PyHNSW = tamsel.PyHNSW
MAX_U32 = 2**32 - 1


def everything(index, dim):
    """Every stored vector, where every node can be reached (a one-layer
    index with the default ef_construction, fewer than 50 nodes)."""
    return sorted(v for _, v in index.search([0.0] * dim, MAX_U32))


def filter_index(values, schema=("x",), prune=False):
    """One node per value, node i at [i], the value under the schema's first
    name. With one layer and fewer than 50 nodes a filtered query finds every
    passing node."""
    index = PyHNSW(1, layers=1, metric="euclidean", schema=list(schema), prune=prune)
    for i, value in enumerate(values):
        index.insert([float(i)], [(schema[0], value)])
    return index


def found(index, flt, k=MAX_U32):
    """The nodes (by their position, see filter_index) a filtered query returns."""
    return [int(v[0]) for _, v in index.search([-1.0], k, flt)]


# -- construction --------------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs",
    [{}, {"metric": None}, {"metric": "Euclidean"}, {"metric": "EUCLIDEAN"}, {"metric": "euclidean "},
     {"metric": " angular"}, {"metric": "angular\x00"}, {"metric": "Inner_product"}, {"metric": "cosine"},
     {"metric": ""}, {"metric": "inner-product"}, {"metric": "nope", "schema": ["a"], "layers": 2}],
)
def test_unknown_or_missing_metric_is_refused(kwargs):
    with pytest.raises(ValueError) as info:
        PyHNSW(3, **kwargs)
    assert type(info.value) is ValueError and str(info.value) == "Unsupported metric"


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"schema": "abc"}, TypeError, "argument 'schema': Can't extract `str` to `Vec`"),
        ({"schema": ["a", 1], "metric": "bad"}, TypeError, "argument 'schema': 'int' object cannot be converted to 'PyString'"),
        ({"schema": {"a"}}, TypeError, "argument 'schema': 'set' object cannot be converted to 'Sequence'"),
        ({"metric": 1, "schema": "abc"}, TypeError, "argument 'metric': 'int' object cannot be converted to 'PyString'"),
        ({"metric": b"euclidean"}, TypeError, "argument 'metric': 'bytes' object cannot be converted to 'PyString'"),
        ({"layers": 2**32, "metric": 7}, OverflowError, "out of range integral type conversion attempted"),
        ({"m": 1.5, "ef_construction": -1}, TypeError, "argument 'm': 'float' object cannot be interpreted as an integer"),
        ({"ef_construction": "1"}, TypeError, "argument 'ef_construction': 'str' object cannot be interpreted as an integer"),
        ({"ef_search": -1, "schema": "abc"}, OverflowError, None),
        ({"metric": "\ud800"}, UnicodeEncodeError, None),
        ({"schema": ["ok", "\udfff"]}, UnicodeEncodeError, None),
    ],
)
def test_conversion_failures_come_before_the_metric_check(kwargs, error, message):
    with pytest.raises(error) as info:
        PyHNSW(3, **kwargs)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
    else:
        assert not str(info.value).startswith("argument")


@pytest.mark.parametrize(
    "kwargs",
    [{"layers": 0}, {"layers": 1, "metric": "angular"}, {"layers": None}, {"m": 0, "metric": "inner_product"},
     {"ef_construction": 0}, {"ef_search": 0}, {"schema": []}, {"schema": ["a", "a"]}, {"schema": ("a", "b")},
     {"schema": None}, {"ef_search": MAX_U32}, {"layers": True, "m": MAX_U32}, {"dim": 0}],
)
def test_unchecked_parameters_are_accepted(kwargs):
    kwargs = {"dim": 3, "metric": "euclidean", **kwargs}
    index = PyHNSW(**kwargs)
    assert type(index) is PyHNSW
    assert index.search([1.0, 2.0, 3.0], 5) == []


def test_huge_layer_count_constructs_promptly():
    started = time.perf_counter()
    index = PyHNSW(3, layers=MAX_U32, metric="euclidean")
    assert index.search([0.0, 0.0, 0.0], MAX_U32) == []
    assert time.perf_counter() - started < 2.0


def test_method_documentation():
    assert PyHNSW.insert.__text_signature__ == "($self, vector, metadata=None)"
    assert PyHNSW.insert.__doc__ == (
        "Insert a vector into the index.\n\nThe vector is expected as a list of floats.\n"
        "Optionally, metadata can be provided as a list of tuples, e.g.:\n`[(\"color\", \"blue\"), (\"size\", 42)]`"
    )
    assert PyHNSW.search.__text_signature__ == "($self, query, k=None, filter=None)"
    assert PyHNSW.search.__doc__ == "Search for the k nearest neighbors.\n\nReturns a list of tuples `(distance, vector)`."
    assert PyHNSW.create.__text_signature__ == "($self, vectors, metadata=None)"
    assert PyHNSW.create.__doc__ is None
    assert [name for name in vars(PyHNSW) if not name.startswith("_")] == ["insert", "search", "create", "save", "load", "search_many"]


# -- results -------------------------------------------------------------------


@pytest.mark.parametrize(
    "metric, stored, query, expected",
    [
        ("euclidean", [[3, 4], [0, 0], [-6, 8], [1, 0]], [0, 0],
         [(0.0, [0.0, 0.0]), (1.0, [1.0, 0.0]), (5.0, [3.0, 4.0]), (10.0, [-6.0, 8.0])]),
        # Similarities are ranked as they are: the least similar first.
        ("angular", [[0, 1], [1, 0], [3, 4], [-1, 0]], [1, 0],
         [(-1.0, [-1.0, 0.0]), (0.0, [0.0, 1.0]), (0.6, [3.0, 4.0]), (1.0, [1.0, 0.0])]),
        ("inner_product", [[2, 0], [0, 5], [-3, 0], [1, 0]], [1, 0],
         [(-3.0, [-3.0, 0.0]), (0.0, [0.0, 5.0]), (1.0, [1.0, 0.0]), (2.0, [2.0, 0.0])]),
    ],
)
@pytest.mark.parametrize("layers", [1, 5])
def test_results_are_ranked_by_ascending_metric_value(metric, stored, query, expected, layers):
    index = PyHNSW(2, layers=layers, metric=metric)
    index.create(stored)
    results = index.search(query, 10)
    assert all(type(r) is tuple and type(r[0]) is float and type(r[1]) is list for r in results)
    assert results == expected


def test_undefined_cosine_ranks_last():
    index = PyHNSW(2, layers=1, metric="angular")
    index.create([[0, 0], [1, 1], [0, 0], [-2, 0]])
    results = index.search([1, 0], 10)
    assert [v for _, v in results] == [[-2.0, 0.0], [1.0, 1.0], [0.0, 0.0], [0.0, 0.0]]
    assert results[0][0] == -1.0 and math.isnan(results[2][0]) and math.isnan(results[3][0])
    assert all(math.isnan(d) for d, _ in index.search([0, 0], 10))


def test_result_vectors_are_fresh_copies():
    index = PyHNSW(3, layers=1, metric="euclidean")
    first = [1, 2.5, True]
    index.insert(first)
    index.insert(bytes([4, 5, 6]))
    index.insert([1, 2.5, True])
    first[0] = 99.0  # the index keeps its own copy
    a = index.search([0, 0, 0], 3)
    assert a == [(math.sqrt(1 + 6.25 + 1), [1.0, 2.5, 1.0])] * 2 + [(math.sqrt(16 + 25 + 36), [4.0, 5.0, 6.0])]
    assert all(type(x) is float for _, v in a for x in v)
    assert a[0][1] is not a[1][1]
    a[0][1][0] = -7.0
    a[0][1].append(3.0)
    b = index.search([0, 0, 0], 3)
    assert b == [(math.sqrt(8.25), [1.0, 2.5, 1.0])] * 2 + [(math.sqrt(77), [4.0, 5.0, 6.0])]
    assert all(x is not y for (_, x), (_, y) in zip(a, b))


@pytest.mark.parametrize("values", [[-0.0, 1e-310, -1.0, math.inf], [math.nan, -math.inf, 2.0**-1074, 1e308]])
def test_stored_values_come_back_exactly(values):
    index = PyHNSW(4, metric="inner_product")
    index.insert(values)
    [(_, vector)] = index.search([0.0, 0.0, 0.0, 0.0])
    assert all(math.isnan(x) and math.isnan(y) or x == y and math.copysign(1, x) == math.copysign(1, y)
               for x, y in zip(vector, values))


@pytest.mark.parametrize(
    "args, kwargs, count",
    [((), {}, 1), ((None,), {}, 1), ((0,), {}, 1), ((3,), {}, 3), ((), {"k": 7}, 7), ((True,), {}, 1),
     ((), {"k": np.uint8(4)}, 4), ((MAX_U32,), {}, 12), ((20,), {}, 12)],
)
def test_k_bounds_the_result_count(args, kwargs, count):
    # k = 0 still gives the first pair; k is capped by ef_search (12 here).
    index = PyHNSW(2, layers=1, ef_search=12, metric="euclidean")
    index.create([[i, 0] for i in range(30)])
    started = time.perf_counter()
    results = index.search([0.75, 0], *args, **kwargs)
    assert time.perf_counter() - started < 1.0
    assert [v for _, v in results] == [[float(i), 0.0] for i in sorted(range(30), key=lambda i: abs(i - 0.75))][:count]


@pytest.mark.parametrize("k", [None, 0, 1, 2, MAX_U32])
def test_single_node_is_returned_for_any_k(k):
    index = PyHNSW(2, metric="angular")
    index.insert([3.0, 4.0])
    assert index.search([1.0, 0.0], k) == [(0.6, [3.0, 4.0])]


def test_default_search_beam_is_fifty():
    index = PyHNSW(2, metric="euclidean")
    index.create([[i, -i] for i in range(80)])
    assert len(index.search([0, 0], 1000)) == 50


@pytest.mark.parametrize("kwargs", [{}, {"ef_construction": 200}, {"ef_construction": 200, "m": 1}])
def test_default_construction_beam_is_two_hundred(kwargs):
    # Nodes 1..200 lie at 1..200 and each links to every node before it.
    # Node 201, at 1000, has 201 nodes before it: a beam of 200 keeps all but
    # node 0 (at -1000), so node 1 gets a back-link and node 0 none. Filters
    # make those two links visible: a filtered walk moves through passing
    # nodes only (node 0, the entry, is always expanded).
    index = PyHNSW(1, layers=1, metric="euclidean", schema=["a", "b"], **kwargs)
    index.insert([-1000.0], [("a", 0), ("b", 0)])
    index.create([[float(x)] for x in range(1, 201)], [[("a", int(x == 1)), ("b", 0)] for x in range(1, 201)])
    index.insert([1000.0], [("a", 1), ("b", 1)])
    assert index.search([1000.0], 10, ("a", 1)) == [(0.0, [1000.0]), (999.0, [1.0])]
    assert index.search([1000.0], 10, ("b", 1)) == []


# -- vector lengths ------------------------------------------------------------


@pytest.mark.parametrize("vector", [[1.0, 2.0], [1.0, 2.0, 3.0, 4.0], [], range(5)])
def test_insert_of_wrong_length_stores_nothing(vector):
    index = PyHNSW(3, layers=1, metric="euclidean")
    index.insert([1, 1, 1])
    for call in (lambda: index.insert(vector), lambda: index.insert(vector, metadata=None)):
        with pytest.raises(ValueError) as info:
            call()
        assert type(info.value) is ValueError
        assert str(info.value) == f"Expected vector of length 3, got {len(vector)}"
    assert everything(index, 3) == [[1.0, 1.0, 1.0]]


@pytest.mark.parametrize("schema", [None, ["a"]])
def test_create_checks_every_length_before_storing(schema):
    index = PyHNSW(3, layers=1, metric="euclidean", schema=schema)
    vectors = [[1, 2, 3], [4, 5, 6], [1, 2], [1]]
    with pytest.raises(ValueError, match=r"^Expected vector of length 3, got 2$"):
        index.create(vectors)
    if schema:
        with pytest.raises(ValueError, match=r"^Expected vector of length 3, got 2$"):
            index.create(vectors, [[("a", 1)]] * 4)
    assert index.search([0, 0, 0], 10) == []


def test_length_is_checked_after_the_arguments_are_converted():
    index = PyHNSW(3, metric="euclidean")
    with pytest.raises(TypeError, match=r"^argument 'metadata': Can't extract `str` to `Vec`$"):
        index.insert([1.0], "color")
    with pytest.raises(TypeError, match=r"^argument 'metadata': 'int' object cannot be converted to 'Sequence'$"):
        index.create([[1.0]], 5)


@pytest.mark.parametrize(
    "metric, query, expected",
    [
        ("euclidean", [0.0, 0.0], 5.0),  # compared over the common prefix
        ("euclidean", [0.0, 0.0, 0.0, 7.0], 13.0),
        ("euclidean", [], 0.0),
        ("inner_product", [1.0], 3.0),
        ("inner_product", [1.0, 1.0, 1.0, 100.0], 19.0),
        # The query's extra components still count in its norm.
        ("angular", [1.0, 0.0, 0.0, 1.0], 3.0 / (math.sqrt(2.0) * 13.0)),
        ("angular", [0.0, 1.0], 4.0 / 13.0),
        ("angular", [], math.nan),
    ],
)
def test_queries_of_other_lengths(metric, query, expected):
    index = PyHNSW(3, metric=metric)
    index.insert([3.0, 4.0, 12.0])
    [(distance, vector)] = index.search(query, 5)
    assert distance == expected or math.isnan(distance) and math.isnan(expected)
    assert vector == [3.0, 4.0, 12.0]


@pytest.mark.parametrize("metric, distance", [("euclidean", 0.0), ("inner_product", 0.0), ("angular", math.nan)])
def test_zero_dimension_counts_its_nodes(metric, distance):
    index = PyHNSW(0, layers=1, metric=metric)
    index.insert([])
    index.create([[], ()])
    with pytest.raises(ValueError, match=r"^Expected vector of length 0, got 1$"):
        index.insert([1.0])
    with pytest.raises(ValueError, match=r"^Expected vector of length 0, got 2$"):
        index.create([[], [1.0, 2.0]])
    for query in ([], [1.0, 2.0]):
        results = index.search(query, 10)
        assert len(results) == 3
        assert all(v == [] and (d == distance or math.isnan(d) and math.isnan(distance)) for d, v in results)


# -- insert, create, search: their failures --------------------------------------

NO_SCHEMA = "No schema provided in HNSW instance; cannot use metadata"


@pytest.mark.parametrize(
    "schema, args, kwargs, error, message",
    [
        (None, ("abc",), {}, TypeError, "argument 'vector': Can't extract `str` to `Vec`"),
        (None, ("abc", "x"), {}, TypeError, "argument 'vector': Can't extract `str` to `Vec`"),
        (None, ({1: 2.0},), {}, TypeError, "argument 'vector': 'dict' object cannot be converted to 'Sequence'"),
        (None, ([1, "x", 3],), {}, TypeError, "argument 'vector': must be real number, not str"),
        (None, ([1, 2, 3], "color"), {}, TypeError, "argument 'metadata': Can't extract `str` to `Vec`"),
        (["color"], ([1, 2, 3],), {"metadata": "color"}, TypeError, "argument 'metadata': Can't extract `str` to `Vec`"),
        (["color"], ([1, 2, 3], [["color", "red"]]), {}, TypeError, "argument 'metadata': 'list' object cannot be converted to 'PyTuple'"),
        (None, ([1, 2, 3], [("color", "red", 1)]), {}, ValueError, "expected tuple of length 2, but got tuple of length 3"),
        (None, ([1, 2, 3], [(1, "red")]), {}, TypeError, "argument 'metadata': 'int' object cannot be converted to 'PyString'"),
        (None, ([1, 2, 3], {"color": "red"}), {}, TypeError, "argument 'metadata': 'dict' object cannot be converted to 'Sequence'"),
        (None, ([1, 2, 3], []), {}, ValueError, NO_SCHEMA),
        (None, ([1, 2, 3], [("color", None)]), {}, ValueError, NO_SCHEMA),
        (["color"], ([1, 2, 3], []), {}, ValueError, "Missing metadata for attribute 'color'"),
        (["color", "size"], ([1, 2, 3], [("size", 1.5)]), {}, ValueError, "Missing metadata for attribute 'color'"),
        (["color", "size"], ([1, 2, 3], [("color", None), ("size", 1.5)]), {}, ValueError, "Unsupported metadata type for attribute 'color'"),
        (["a", "b", "c"], ([1, 2, 3], [("a", 1), ("b", [])]), {}, ValueError, "Unsupported metadata type for attribute 'b'"),
        (["a", "b", "c"], ([1, 2, 3], [("a", 1), ("b", 2)]), {}, ValueError, "Missing metadata for attribute 'c'"),
        (["a", "b"], ([1, 2, 3], [("b", None)]), {}, ValueError, "Missing metadata for attribute 'a'"),
        (["it's", "größe\x00x"], ([1, 2, 3], [("it's", 1)]), {}, ValueError, "Missing metadata for attribute 'größe\x00x'"),
        (["Color"], ([1, 2, 3], [("color", 1)]), {}, ValueError, "Missing metadata for attribute 'Color'"),
        (None, (), {}, TypeError, "PyHNSW.insert() missing 1 required positional argument: 'vector'"),
        (None, ([1, 2, 3], None, 3), {}, TypeError, "PyHNSW.insert() takes from 1 to 2 positional arguments but 3 were given"),
        (None, ([1, 2, 3],), {"meta": 1}, TypeError, "PyHNSW.insert() got an unexpected keyword argument 'meta'"),
    ],
)
def test_insert_failures_leave_the_index_unchanged(schema, args, kwargs, error, message):
    index = PyHNSW(3, layers=1, metric="euclidean", schema=schema)
    index.insert([9, 9, 9])
    with pytest.raises(error) as info:
        index.insert(*args, **kwargs)
    assert type(info.value) is error and str(info.value) == message
    assert everything(index, 3) == [[9.0, 9.0, 9.0]]


@pytest.mark.parametrize(
    "schema, args, error, message",
    [
        (None, ([],), ValueError, "Create error: EmptyVectors"),
        (["a"], ([],), ValueError, "Create error: EmptyVectors"),
        (["a"], ([], []), ValueError, "Create error: EmptyVectors"),
        ([], ([], []), ValueError, "Create error: EmptyVectors"),
        (None, ([], []), ValueError, NO_SCHEMA),
        (None, ([[1, 2, 3]], [[]]), ValueError, NO_SCHEMA),
        (None, ([[1, 2, 3], [4, 5, 6]], [[("a", 1)]]), ValueError, "Length of metadata list must match number of vectors"),
        (["a"], ([[1, 2, 3]], [[("a", 1)], [("a", 2)]]), ValueError, "Length of metadata list must match number of vectors"),
        (["a"], ([[1, 2, 3], [4, 5, 6], [7, 8, 9]], [[("a", 1)], [("a", 2)], [("a", None)]]), ValueError,
         "Unsupported metadata type for attribute 'a'"),
        (["a", "b"], ([[1, 2, 3], [4, 5, 6]], [[("a", 1), ("b", 2)], [("b", 2)]]), ValueError, "Missing metadata for attribute 'a'"),
        (None, ("ab",), TypeError, "argument 'vectors': Can't extract `str` to `Vec`"),
        (None, (["ab"],), TypeError, "argument 'vectors': Can't extract `str` to `Vec`"),
        (None, ([[1, 2, 3], None],), TypeError, "argument 'vectors': 'NoneType' object cannot be converted to 'Sequence'"),
        (["a"], ([[1, 2, 3]], "a"), TypeError, "argument 'metadata': Can't extract `str` to `Vec`"),
        (["a"], ([[1, 2, 3]], ["a"]), TypeError, "argument 'metadata': Can't extract `str` to `Vec`"),
        (["a"], ([[1, 2, 3]], [[["a", 1]]]), TypeError, "argument 'metadata': 'list' object cannot be converted to 'PyTuple'"),
        (None, ([[1, 2, 3]], [[("a",)]]), ValueError, "expected tuple of length 2, but got tuple of length 1"),
        (None, (), TypeError, "PyHNSW.create() missing 1 required positional argument: 'vectors'"),
    ],
)
def test_create_failures_leave_the_index_unchanged(schema, args, error, message):
    index = PyHNSW(3, layers=1, metric="euclidean", schema=schema)
    index.insert([9, 9, 9])
    with pytest.raises(error) as info:
        index.create(*args)
    assert type(info.value) is error and str(info.value) == message
    assert everything(index, 3) == [[9.0, 9.0, 9.0]]


def test_create_without_metadata_on_an_index_with_a_schema():
    index = PyHNSW(2, layers=1, metric="euclidean", schema=["a"])
    index.create([[1, 1], [2, 2]])
    index.create([[3, 3]], None)
    assert everything(index, 2) == [[1.0, 1.0], [2.0, 2.0], [3.0, 3.0]]
    assert index.search([0, 0], 5, ("a", 1)) == []


def test_zero_construction_beam_stores_failed_nodes_unlinked():
    # The first node needs no search; every later insertion fails in its
    # first layer search, after its values were stored.
    index = PyHNSW(2, ef_construction=0, metric="euclidean", schema=["a"])
    index.insert([1, 1], [("a", 1)])
    for vector in ([2, 2], [3, 3], [0, 0]):
        with pytest.raises(ValueError) as info:
            index.insert(vector, [("a", 1)])
        assert str(info.value) == "Insert error: InvalidEF"
    with pytest.raises(ValueError) as info:
        index.create([[4, 4], [5, 5]])
    assert str(info.value) == "Create error: InvalidEF"
    assert info.value.__notes__ == ["0 of 2 vectors were stored before the failure"]
    assert index.search([0, 0], 10) == [(math.sqrt(2), [1.0, 1.0])]
    assert index.search([0, 0], 10, ("a", 1)) == [(math.sqrt(2), [1.0, 1.0])]


@pytest.mark.parametrize("with_metadata", [False, True])
def test_create_keeps_what_it_stored_before_failing(with_metadata):
    index = PyHNSW(2, ef_construction=0, metric="inner_product", schema=["a"])
    metadata = [[("a", i)] for i in range(3)] if with_metadata else None
    with pytest.raises(ValueError) as info:
        index.create([[1, 2], [3, 4], [5, 6]], metadata)
    assert type(info.value) is ValueError and str(info.value) == "Create error: InvalidEF"
    assert info.value.__notes__ == ["1 of 3 vectors were stored before the failure"]
    assert index.search([1, 1], 10) == [(3.0, [1.0, 2.0])]


@pytest.mark.parametrize(
    "kwargs, flt, message",
    [
        ({"layers": 0}, None, "Search error: InvalidLayer"),
        ({"ef_search": 0}, None, "Search error: InvalidEF"),
        ({"ef_search": 0, "layers": 1}, None, "Search error: InvalidEF"),
        # The beam is checked before the layer.
        ({"ef_search": 0, "layers": 0}, None, "Search error: InvalidEF"),
        ({"schema": []}, ("color", "blue"), "Search error: EmptySchema"),
        ({"schema": ["size"]}, ("color", "red"), "Search error: AttributeNotFound"),
        ({"schema": ["size"]}, ("Size", 1), "Search error: AttributeNotFound"),
        ({"schema": ["size"], "layers": 1}, ("size ", 1), "Search error: AttributeNotFound"),
        # The descent (beam 1) meets the filter before the bottom search
        # meets ef_search = 0; with a single layer there is no descent.
        ({"schema": ["a"], "ef_search": 0}, ("b", 1), "Search error: AttributeNotFound"),
        ({"schema": [], "ef_search": 0, "layers": 2}, ("b", 1), "Search error: EmptySchema"),
        ({"schema": ["a"], "ef_search": 0, "layers": 1}, ("b", 1), "Search error: InvalidEF"),
        ({"schema": ["a"], "layers": 0}, ("b", 1), "Search error: InvalidLayer"),
    ],
)
@pytest.mark.parametrize("prune", [False, True])
def test_search_errors_arise_once_the_index_holds_a_vector(kwargs, flt, message, prune):
    index = PyHNSW(2, metric="angular", prune=prune, **kwargs)
    for k in (None, 0, MAX_U32):
        assert index.search([1.0, 2.0], k, flt) == []
    index.insert([1.0, 2.0])
    index.create([[3.0, 4.0], [5.0, 6.0]])
    for k in (None, 0, MAX_U32):
        with pytest.raises(ValueError) as info:
            index.search([1.0, 2.0], k, flt)
        assert type(info.value) is ValueError and str(info.value) == message


NO_SCHEMA_FILTER = "No schema provided in HNSW instance; cannot use metadata filtering"


@pytest.mark.parametrize("filled", [False, True])
@pytest.mark.parametrize(
    "schema, args, kwargs, error, message",
    [
        (None, ([0, 0],), {"filter": ("a", 1)}, ValueError, NO_SCHEMA_FILTER),
        (None, ([0, 0], 1, ("a", None)), {}, ValueError, NO_SCHEMA_FILTER),
        (["a"], ([0, 0],), {"filter": ("a", None)}, ValueError, "Unsupported type for metadata filter"),
        (["a"], ([0, 0],), {"filter": ("zzz", [1])}, ValueError, "Unsupported type for metadata filter"),
        (["a"], ([0, 0],), {"filter": ("a", 10**400)}, ValueError, "Unsupported type for metadata filter"),
        (None, ([0, 0],), {"filter": ["a", 1]}, TypeError, "argument 'filter': 'list' object cannot be converted to 'PyTuple'"),
        (None, ([0, 0],), {"filter": ("a",)}, ValueError, "expected tuple of length 2, but got tuple of length 1"),
        (["a"], ([0, 0],), {"filter": (1, 1)}, TypeError, "argument 'filter': 'int' object cannot be converted to 'PyString'"),
        (["a"], ([0, 0],), {"filter": ("\ud800", 1)}, UnicodeEncodeError, None),
        (["a"], ([0, 0], -1), {}, OverflowError, None),
        (["a"], ([0, 0], 2**32), {}, OverflowError, "out of range integral type conversion attempted"),
        (["a"], ([0, 0], 2.0), {}, TypeError, "argument 'k': 'float' object cannot be interpreted as an integer"),
        # Conversion goes query, k, filter; the first failure ends the call.
        (None, ("ab", -1, ["a"]), {}, TypeError, "argument 'query': Can't extract `str` to `Vec`"),
        (None, ([0, 0], -1, ["a"]), {}, OverflowError, None),
        (["a"], ([0, "x"],), {}, TypeError, "argument 'query': must be real number, not str"),
        (None, (None,), {}, TypeError, "argument 'query': 'NoneType' object cannot be converted to 'Sequence'"),
        (None, (), {"k": 1}, TypeError, "PyHNSW.search() missing 1 required positional argument: 'query'"),
        (None, ([0, 0], 1, None, 1), {}, TypeError, "PyHNSW.search() takes from 1 to 3 positional arguments but 4 were given"),
        (None, ([0, 0], 1), {"k": 2}, TypeError, "PyHNSW.search() got multiple values for argument 'k'"),
    ],
)
@pytest.mark.parametrize("prune", [False, True])
def test_search_failures(schema, args, kwargs, error, message, filled, prune):
    index = PyHNSW(2, metric="euclidean", schema=schema, prune=prune)
    if filled:
        index.insert([1, 1])
    with pytest.raises(error) as info:
        index.search(*args, **kwargs)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message
    else:
        assert not str(info.value).startswith("argument")


def test_filter_attribute_is_not_checked_before_the_index_holds_a_vector():
    index = PyHNSW(2, metric="euclidean", schema=["a"])
    assert index.search([0, 0], 5, ("not in schema", 1)) == []
    assert PyHNSW(2, metric="euclidean", schema=[]).search([0, 0], 5, ("b", "x")) == []


# -- metadata values and filter equality ---------------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexFailsRealWorks:
    def __index__(self):
        raise ValueError("no index")

    def __float__(self):
        return 3.0


class Boom:
    def __index__(self):
        raise RuntimeError("must not be converted")

    def __float__(self):
        raise RuntimeError("must not be converted")


class Text(str):
    pass


class Int(int):
    pass


# stored value, filter value, whether the filter matches
EQUALITY = [
    (42, 42, True), (42, 42.0, False), (42.0, 42, False), (42.0, 42.0, True), (42, 43, False),
    (True, 1, True), (1, True, True), (False, 0, True), (True, True, True), (0, False, True), (1, 1.0, False),
    ("blue", "blue", True), ("blue", "Blue", False), ("blue", "blue ", False), ("1", 1, False), (1, "1", False),
    ("", "", True), ("a\x00b", "a\x00b", True), ("a\x00b", "a", False), ("größe", "größe", True),
    (math.nan, math.nan, False), (0.0, -0.0, True), (-0.0, 0.0, True), (math.inf, math.inf, True),
    (2**70, float(2**70), True), (2**70, 2**70, True), (2**70, 1180591620717411303424.0, True),
    (2**63 - 1, 2**63 - 1, True), (2**63 - 1, float(2**63), False), (2**63, float(2**63), True),
    (-(2**63), -(2**63), True), (-(2**63), float(-(2**63)), False), (-(2**63) - 1, float(-(2**63)), True),
    (Index(7), 7, True), (Index(7), 7.0, False), (7, Index(7), True), (Index(2**64), float(2**64), True),
    (Real(2.5), 2.5, True), (Real(-1.0), -1.0, True), (-1.0, Real(-1.0), True), (Real(2.0), 2, False),
    (IndexFailsRealWorks(), 3.0, True), (IndexFailsRealWorks(), 3, False),
    (Text("x"), "x", True), ("x", Text("x"), True), (Int(5), 5, True), (5, Int(5), True),
    (np.int64(-3), -3, True), (np.int64(3), 3.0, False), (np.float64(0.5), 0.5, True), (np.float32(0.5), 0.5, True),
    (np.float64(1.0), 1, False), (Decimal("1.5"), 1.5, True),
]


@pytest.mark.parametrize("prune", [False, True])
@pytest.mark.parametrize("stored, wanted, matches", EQUALITY)
def test_filter_equality(stored, wanted, matches, prune):
    # Not the entry node, so the walk itself tests it.
    index = filter_index(["other", stored, 12345, -12345.5], prune=prune)
    assert found(index, ("x", wanted)) == ([1] if matches else [])


@pytest.mark.parametrize(
    "value",
    [None, [1], (1,), {}, {"a": 1}, 10**400, -(10**400), "\ud800", Text("\udc80"), object(), b"ab", 1j,
     Index(10**400), Boom(), bytearray(b"a")],
    ids=lambda value: type(value).__name__,
)
def test_unconvertible_values_are_refused(value):
    index = PyHNSW(1, layers=1, metric="euclidean", schema=["other", "x"])
    index.insert([5.0], [("x", 1), ("other", 2)])
    with pytest.raises(ValueError) as info:
        index.insert([1.0], [("other", 1), ("x", value)])
    assert type(info.value) is ValueError and str(info.value) == "Unsupported metadata type for attribute 'x'"
    with pytest.raises(ValueError) as info:
        index.create([[1.0], [2.0]], [[("other", 1), ("x", 1)], [("other", 1), ("x", value)]])
    assert type(info.value) is ValueError and str(info.value) == "Unsupported metadata type for attribute 'x'"
    with pytest.raises(ValueError) as info:
        index.search([0.0], 1, ("x", value))
    assert type(info.value) is ValueError and str(info.value) == "Unsupported type for metadata filter"
    assert [v for _, v in index.search([0.0], 10)] == [[5.0]]


def test_records_follow_the_schema_order():
    index = filter_index([], schema=("color", "size"))
    index.insert([0.0], [("size", 42), ("color", "blue"), ("shape", None)])
    index.insert([1.0], [("color", "red"), ("size", "blue")])
    index.insert([2.0], [("color", "blue"), ("color", "red"), ("size", 1), ("size", 42)])
    index.insert([3.0], [("unknown", Boom()), ("size", None), ("size", 42), ("color", [1]), ("color", "42")])
    assert found(index, ("color", "blue")) == [0]
    assert found(index, ("color", "red")) == [1, 2]
    assert found(index, ("size", 42)) == [0, 2, 3]
    assert found(index, ("size", "blue")) == [1]
    assert found(index, ("color", "42")) == [3]
    with pytest.raises(ValueError, match=r"^Search error: AttributeNotFound$"):
        found(index, ("shape", 1))


def test_unknown_and_replaced_values_are_never_converted():
    calls = []

    class Counted:
        def __index__(self):
            calls.append(1)
            return 1

    index = filter_index([], schema=("a",))
    index.insert([0.0], [("b", Counted()), ("a", Counted()), ("a", 5), ("c", Boom())])
    index.create([[1.0]], [[("a", None), ("a", 5), ("zz", Counted())]])
    assert calls == []
    assert found(index, ("a", 5)) == [0, 1]


def test_repeated_schema_names_keep_their_positions():
    # Each schema position holds a value, and a filter tests the first
    # position with its name.
    index = filter_index([], schema=("a", "b", "a", "c"))
    index.insert([0.0], [("a", 1), ("b", 2), ("c", 3)])
    index.insert([1.0], [("c", 1), ("b", 1), ("a", 2)])
    assert found(index, ("a", 1)) == [0]
    assert found(index, ("b", 2)) == [0]
    assert found(index, ("c", 3)) == [0]
    assert found(index, ("c", 1)) == [1]
    assert found(index, ("a", 2)) == [1]


def test_empty_schema_takes_any_metadata_but_no_filter():
    index = PyHNSW(1, layers=1, metric="euclidean", schema=[])
    index.insert([0.0], [])
    index.insert([1.0], [("x", None)])
    index.create([[2.0]], [[("y", Boom())]])
    assert [v for _, v in index.search([0.0], 10)] == [[0.0], [1.0], [2.0]]
    with pytest.raises(ValueError, match=r"^Search error: EmptySchema$"):
        index.search([0.0], 10, ("x", 1))


# -- filtered searches -----------------------------------------------------------


@pytest.mark.parametrize("prune", [False, True])
def test_nodes_without_metadata_fail_every_filter(prune):
    index = PyHNSW(1, layers=1, metric="euclidean", schema=["a", "b"], prune=prune)
    index.insert([0.0])  # node 0, the entry, without metadata
    index.insert([1.0], [("a", 1), ("b", "x")])
    index.create([[2.0], [3.0]])
    index.insert([4.0], [("a", 1), ("b", "y")])
    index.create([[5.0], [6.0]], [[("a", 2), ("b", "x")], [("a", 1), ("b", "x")]])
    index.insert([7.0], metadata=None)
    assert found(index, ("a", 1)) == [1, 4, 6]
    assert found(index, ("b", "x")) == [1, 5, 6]
    assert found(index, ("b", "y")) == [4]
    assert found(index, ("a", 2)) == [5]
    assert found(index, ("a", 1), k=2) == [1, 4]
    assert found(index, ("a", 3)) == []
    assert found(index, ("a", 1), k=0) == [1]
    assert len(index.search([-1.0], 100)) == 8


@pytest.mark.parametrize("layers", [1, 2, 5])
def test_filtered_results_only_hold_passing_nodes(layers):
    # The entry node (0) fails the filter and is nearest to the query: it
    # steers the walk but is never reported. Fewer than k may come back.
    index = PyHNSW(2, layers=layers, ef_construction=8, ef_search=10, metric="euclidean", schema=["g"])
    index.insert([0, 0], [("g", "entry")])
    index.create([[i, i] for i in range(1, 120)], [[("g", i % 4)] for i in range(1, 120)])
    for k in (0, 1, 5, 10, 50):
        results = index.search([0, 0], k, ("g", 3))
        assert 1 <= len(results) <= min(max(k, 1), 10)
        assert all(v[0] % 4 == 3 for _, v in results)
        assert [d for d, _ in results] == sorted(d for d, _ in results)
    assert index.search([0, 0], 5, ("g", "nobody")) == []
    assert index.search([0, 0], 5, ("g", "entry")) == [(0.0, [0.0, 0.0])]


# -- the borrow held across conversions ----------------------------------------


class Reentrant:
    """A metadata or filter value whose conversion calls back into the index."""

    def __init__(self, action):
        self.action = action
        self.outcome = None

    def __index__(self):
        try:
            self.outcome = self.action()
        except RuntimeError as error:
            self.outcome = error
        return 5


def test_conversions_run_under_the_borrow():
    index = PyHNSW(1, layers=1, metric="euclidean", schema=["a"])
    value = Reentrant(lambda: index.search([0.0]))
    index.insert([1.0], [("a", value)])
    assert type(value.outcome) is RuntimeError and str(value.outcome) == "Already mutably borrowed"
    value = Reentrant(lambda: index.search([0.0]))
    index.create([[2.0]], [[("a", value)]])
    assert str(value.outcome) == "Already mutably borrowed"
    value = Reentrant(lambda: index.insert([9.0]))
    assert found(index, ("a", value)) == [1, 2]
    assert type(value.outcome) is RuntimeError and str(value.outcome) == "Already borrowed"
    value = Reentrant(lambda: index.search([0.0], 5))
    assert found(index, ("a", value)) == [1, 2]
    assert value.outcome == [(1.0, [1.0]), (2.0, [2.0])]
