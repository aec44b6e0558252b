"""PyFlat end to end: construction, insertion, bulk creation and exact search."""

import math
import random
import struct
import time

import pytest

import tamsel
from conftest import SANITIZED_BUILD, run_json, stored_vectors

PyFlat = tamsel.PyFlat

INF = math.inf
NAN = math.nan
K_MAX = 2**32 - 1


# A straightforward model of the index: the same sequential sums in Python
# floats (IEEE 754 doubles), ranked by value with -0.0 == 0.0 and NaN last,
# equal values by the smaller id.

def divide(numerator, denominator):
    if denominator == 0.0:
        if numerator == 0.0 or math.isnan(numerator):
            return NAN
        return math.copysign(INF, numerator) * math.copysign(1.0, denominator)
    return numerator / denominator


def euclidean(a, b):
    total = 0.0
    for x, y in zip(a, b):
        difference = x - y
        total += difference * difference
    return math.sqrt(total)


def dot(a, b):
    total = 0.0
    for x, y in zip(a, b):
        total += x * y
    return total


def cosine(a, b):
    norm_a = 0.0
    for x in a:
        norm_a += x * x
    norm_b = 0.0
    for y in b:
        norm_b += y * y
    return divide(dot(a, b), math.sqrt(norm_a) * math.sqrt(norm_b))


METRICS = {"euclidean": euclidean, "inner_product": dot, "cosine": cosine}


def reference_search(metric, vectors, query, k):
    scored = [(METRICS[metric](query, vector), i) for i, vector in enumerate(vectors)]
    scored.sort(key=lambda pair: (math.isnan(pair[0]), 0.0 if math.isnan(pair[0]) else pair[0], pair[1]))
    return [(i, value) for value, i in scored[: max(k, 1)]]


def same_float(x, y):
    if math.isnan(x) or math.isnan(y):
        return math.isnan(x) and math.isnan(y)
    return struct.pack("<d", x) == struct.pack("<d", y)


def assert_same_results(actual, expected):
    assert type(actual) is list
    assert [i for i, _ in actual] == [i for i, _ in expected], (actual, expected)
    for (_, got), (_, want) in zip(actual, expected):
        assert same_float(got, want), (actual, expected)


def build(vectors, metric=None, dim=None):
    index = PyFlat(len(vectors[0]) if dim is None else dim, metric)
    for vector in vectors:
        index.insert(vector)
    return index


# ----------------------------------------------------------- metric names

PROBE_VECTORS = [[1.0, 0.0], [-1.0, 0.0], [0.0, 2.0], [2.0, 0.0], [3.0, 3.0]]
PROBE_QUERY = [1.0, 0.0]


class Text(str):
    pass


@pytest.mark.parametrize(
    "args, metric",
    [
        ((), "euclidean"),
        ((None,), "euclidean"),
        (("cosine",), "cosine"),
        ((Text("cosine"),), "cosine"),
        (("inner_product",), "inner_product"),
        ((Text("inner_product"),), "inner_product"),
        (("euclidean",), "euclidean"),
        (("euclid",), "euclidean"),
        (("angular",), "euclidean"),
        (("",), "euclidean"),
        (("Cosine",), "euclidean"),
        (("COSINE",), "euclidean"),
        (("cosine ",), "euclidean"),
        ((" cosine",), "euclidean"),
        (("cosine\0",), "euclidean"),
        (("cosin",), "euclidean"),
        (("inner-product",), "euclidean"),
        (("Inner_product",), "euclidean"),
        (("inner_product\n",), "euclidean"),
        (("dot",), "euclidean"),
        (("l2",), "euclidean"),
        (("cosine\u00e9",), "euclidean"),
    ],
)
def test_metric_is_chosen_by_exact_name(args, metric):
    for index in (PyFlat(2, *args), PyFlat(2, metric=args[0]) if args else PyFlat(dim=2)):
        for vector in PROBE_VECTORS:
            index.insert(vector)
        assert_same_results(index.search(PROBE_QUERY, k=10), reference_search(metric, PROBE_VECTORS, PROBE_QUERY, 10))


# --------------------------------------------------------------- insert

def test_insert_appends_with_consecutive_ids():
    index = PyFlat(2, "inner_product")
    assert index.insert([1.0, 2.0]) is None
    assert index.insert([1, 2]) is None  # integers become floats
    assert index.insert((-3.5, 0.25)) is None
    assert stored_vectors(index, 2) == [[1.0, 2.0], [1.0, 2.0], [-3.5, 0.25]]


@pytest.mark.parametrize("vector", [[], [1.0], [1.0, 2.0, 3.0]])
def test_insert_refuses_other_lengths(vector):
    index = build([[5.0, 5.0]], "inner_product")
    with pytest.raises(ValueError) as info:
        index.insert(vector)
    assert info.value.args == (f"Expected vector of length 2, got {len(vector)}",)
    assert stored_vectors(index, 2) == [[5.0, 5.0]]


def test_conversion_errors_come_before_length_errors():
    index = build([[5.0, 5.0]])
    with pytest.raises(TypeError, match=r"^argument 'vector': "):
        index.insert(["x"])
    with pytest.raises(TypeError, match=r"^argument 'vectors': "):
        index.create([[1.0], [1.0, "x"]])
    with pytest.raises(TypeError, match=r"^argument 'vectors': Can't extract `str` to `Vec`$"):
        index.create([[1.0, 2.0, 3.0], "ab"])
    with pytest.raises(TypeError, match=r"^argument 'query': "):
        index.search(["x"])
    assert index.search([0.0, 0.0], k=10) == [(0, math.sqrt(50.0))]


# --------------------------------------------------------------- search

def test_search_of_an_empty_index():
    with pytest.raises(ValueError) as info:
        PyFlat(2).search([0.0, 0.0])
    assert info.value.args == ("Search error: EmptyIndex",)


@pytest.mark.parametrize("filled", [False, True])
@pytest.mark.parametrize("query", [[], [0.0], [0.0, 0.0, 0.0]])
def test_search_refuses_other_query_lengths(filled, query):
    # On an empty index too: the length is checked before the contents.
    index = build([[1.0, 1.0]]) if filled else PyFlat(2)
    with pytest.raises(ValueError) as info:
        index.search(query, k=3)
    assert info.value.args == (f"Expected query of length 2, got {len(query)}",)


def test_search_converts_query_then_k_then_checks_length():
    index = PyFlat(2)
    with pytest.raises(TypeError, match=r"^argument 'query': "):
        index.search(["x"], k=-1)
    with pytest.raises(OverflowError):
        index.search([0.0], k=-1)
    with pytest.raises(TypeError, match=r"^argument 'k': "):
        index.search([0.0], k="2")
    with pytest.raises(OverflowError):
        index.search([0.0, 0.0], k=2**32)


def test_search_example():
    index = build([[0.0, 0.0], [3.0, 4.0], [1.0, 0.0]])
    query = [0.0, 0.0]
    assert index.search(query, k=2) == [(0, 0.0), (2, 1.0)]
    assert index.search(query) == [(0, 0.0)]
    assert index.search(query, k=0) == [(0, 0.0)]
    assert index.search(query, k=10) == [(0, 0.0), (2, 1.0), (1, 5.0)]


@pytest.mark.parametrize("k, count", [(None, 1), (0, 1), (1, 1), (2, 2), (4, 4), (5, 5), (6, 5), (K_MAX, 5)])
def test_result_length_is_max_k_1_capped_by_size(k, count):
    vectors = [[float(i), 0.0] for i in (4, 2, 0, 3, 1)]
    index = build(vectors)
    expected = reference_search("euclidean", vectors, [0.0, 0.0], count)
    assert index.search([0.0, 0.0], k) == expected
    assert [i for i, _ in index.search([0.0, 0.0], k)] == [2, 4, 1, 3, 0][:count]


def test_results_are_fresh_plain_objects():
    index = build([[1.0, 0.0], [0.0, 1.0], [2.0, 2.0]])
    first = index.search([0.0, 0.0], k=3)
    second = index.search([0.0, 0.0], k=3)
    assert first == second
    assert first is not second
    assert all(a is not b for a, b in zip(first, second))
    for pair in first:
        assert type(pair) is tuple and len(pair) == 2
        assert type(pair[0]) is int and type(pair[1]) is float
    first.clear()
    assert index.search([0.0, 0.0], k=3) == second


def test_huge_k_on_a_small_index_is_cheap():
    vectors = [[float(i % 7), float(i % 3)] for i in range(200)]
    index = build(vectors)
    start = time.perf_counter()
    for _ in range(20):
        result = index.search([1.0, 1.0], K_MAX)
    assert time.perf_counter() - start < 2.0
    assert result == reference_search("euclidean", vectors, [1.0, 1.0], K_MAX)


def test_huge_k_and_size_hints_need_no_memory_in_proportion():
    # Memory is capped in a child process: by the sanitizer's own allocation
    # limit in the sanitized build (whose shadow memory rules out an address
    # space limit), by an address space limit otherwise.
    result, _ = run_json(
        """
        import json, os, resource, sys
        import tamsel
        index = tamsel.PyFlat(2)
        for i in range(1000):
            index.insert([float(i), 0.0])

        class Claims(list):
            def __len__(self):
                return sys.maxsize // 16

        if not os.environ.get("ASAN_OPTIONS"):
            limit = 1 << 30
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        found = index.search([0.0, 0.0], 2**32 - 1)
        index.insert(Claims([1.0, 2.0]))
        index.create(Claims([Claims([3.0, 4.0])]))
        print(json.dumps({"count": len(found), "first": found[0], "last": found[-1],
                          "tail": index.search([3.0, 4.0], k=2)}))
        """,
        env={"ASAN_OPTIONS": "detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=256"}
        if SANITIZED_BUILD
        else None,
    )
    assert result == {"count": 1000, "first": [0, 0.0], "last": [999, 999.0],
                      "tail": [[1001, 0.0], [1000, math.sqrt(8.0)]]}


# ----------------------------------------------------------------- order

def test_ties_rank_by_smaller_id():
    index = build([[1.0, 1.0], [0.0, 0.0], [1.0, 1.0], [0.0, 0.0]])
    assert index.search([0.0, 0.0], k=4) == [(1, 0.0), (3, 0.0), (0, math.sqrt(2.0)), (2, math.sqrt(2.0))]
    assert index.search([1.0, 1.0], k=4) == [(0, 0.0), (2, 0.0), (1, math.sqrt(2.0)), (3, math.sqrt(2.0))]


def test_nan_ranks_after_every_number():
    vectors = [[NAN, 0.0], [INF, 0.0], [1.0, 0.0], [NAN, 1.0], [-INF, 0.0], [0.0, 0.0]]
    index = build(vectors, "inner_product")
    result = index.search([1.0, 0.0], k=10)
    assert [i for i, _ in result] == [4, 5, 2, 1, 0, 3]
    assert [v for _, v in result[:4]] == [-INF, 0.0, 1.0, INF]
    assert all(math.isnan(v) for _, v in result[4:])


def test_cosine_of_zero_query_lists_ids_in_order():
    index = build([[3.0, 1.0], [-1.0, 0.0], [0.0, 0.0], [2.0, 5.0]], "cosine")
    result = index.search([0.0, 0.0], k=10)
    assert [i for i, _ in result] == [0, 1, 2, 3]
    assert all(math.isnan(v) for _, v in result)


def test_cosine_and_inner_product_put_least_alike_first():
    assert build([[1.0, 0.0], [-1.0, 0.0]], "inner_product").search([1.0, 0.0], k=2) == [(1, -1.0), (0, 1.0)]
    index = build([[1.0, 0.0], [0.0, 1.0], [-1.0, 0.0]], "cosine")
    assert index.search([1.0, 0.0], k=3) == [(2, -1.0), (1, 0.0), (0, 1.0)]


def test_negative_zero_ties_with_zero():
    # The second vector's cosine with the query underflows to -0.0.
    index = build([[0.0, 1.0], [-5e-324, 4.0], [0.0, 3.0]], "cosine")
    result = index.search([1.0, 0.0], k=3)
    assert [i for i, _ in result] == [0, 1, 2]
    assert [math.copysign(1.0, v) for _, v in result] == [1.0, -1.0, 1.0]
    assert all(v == 0.0 for _, v in result)


# ---------------------------------------------------------------- create

def test_create_appends_in_list_order():
    index = build([[9.0, 9.0]], "inner_product")
    assert index.create([[1.0, 2.0], (3, 4), range(5, 7)]) is None
    assert index.create(([8.0, 8.0],)) is None
    assert stored_vectors(index, 2) == [[9.0, 9.0], [1.0, 2.0], [3.0, 4.0], [5.0, 6.0], [8.0, 8.0]]


@pytest.mark.parametrize("empty", [[], (), range(0)])
def test_create_with_no_vectors(empty):
    index = build([[1.0, 1.0]], "inner_product")
    with pytest.raises(ValueError) as info:
        index.create(empty)
    assert info.value.args == ("Create error: EmptyVectors",)
    assert stored_vectors(index, 2) == [[1.0, 1.0]]
    with pytest.raises(ValueError) as info:
        PyFlat(2).create([])
    assert info.value.args == ("Create error: EmptyVectors",)


@pytest.mark.parametrize(
    "vectors, message",
    [
        ([[1.0, 2.0], [3.0, 4.0], [5.0, 6.0, 7.0], [8.0, 9.0]], "Vector length 3 does not match index dimension 2"),
        ([[1.0, 2.0], [3.0], [5.0, 6.0, 7.0]], "Vector length 1 does not match index dimension 2"),
        ([[1.0, 2.0], []], "Vector length 0 does not match index dimension 2"),
        ([[1.0, 2.0, 3.0, 4.0]], "Vector length 4 does not match index dimension 2"),
    ],
)
def test_create_checks_every_length_before_storing(vectors, message):
    index = build([[7.0, 7.0]], "inner_product")
    with pytest.raises(ValueError) as info:
        index.create(vectors)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)
    assert stored_vectors(index, 2) == [[7.0, 7.0]]
    index.create([[1.0, 1.0]])
    assert stored_vectors(index, 2) == [[7.0, 7.0], [1.0, 1.0]]

    fresh = PyFlat(2)
    with pytest.raises(ValueError):
        fresh.create(vectors)
    with pytest.raises(ValueError) as info:
        fresh.search([0.0, 0.0])
    assert info.value.args == ("Search error: EmptyIndex",)


# ------------------------------------------------------------ dimension 0

def test_dimension_zero():
    index = PyFlat(0, "cosine")
    for _ in range(3):
        assert index.insert([]) is None
    assert index.create([[], ()]) is None
    for k in (None, 0, 5):
        with pytest.raises(ValueError) as info:
            index.search([], k)
        assert info.value.args == ("Search error: EmptyIndex",)
    with pytest.raises(ValueError) as info:
        index.insert([1.0])
    assert info.value.args == ("Expected vector of length 0, got 1",)
    with pytest.raises(ValueError) as info:
        index.search([1.0])
    assert info.value.args == ("Expected query of length 0, got 1",)
    with pytest.raises(ValueError) as info:
        index.create([[], [1.0]])
    assert info.value.args == ("Vector length 1 does not match index dimension 0",)
    with pytest.raises(ValueError) as info:
        index.create([])
    assert info.value.args == ("Create error: EmptyVectors",)


# ------------------------------------------------------- against the model

SPECIAL = [1e-300, 5e-324, 1e200, -1e200, 1e308, -1e308, INF, -INF, NAN]
SMALL = [0.0, -0.0, 1.0, -1.0, 2.0, -2.0, 0.5, 3.0, -0.25]


def random_component(rng):
    roll = rng.random()
    if roll < 0.06:
        return rng.choice(SPECIAL)
    if roll < 0.5:
        return rng.choice(SMALL)  # exact values, so that ties occur
    return rng.uniform(-10.0, 10.0)  # inexact products expose any change of rounding


def random_vector(rng, dim):
    return [random_component(rng) for _ in range(dim)]


@pytest.mark.parametrize("metric", ["euclidean", "inner_product", "cosine"])
@pytest.mark.parametrize("seed", range(12))
def test_agrees_with_model_bit_for_bit(metric, seed):
    rng = random.Random(seed * 31 + len(metric))
    dim = rng.randint(1, 6)
    count = rng.randint(1, 40)
    vectors = []
    for _ in range(count):
        if vectors and rng.random() < 0.25:
            vectors.append(list(rng.choice(vectors)))  # repeated vector
        else:
            vectors.append(random_vector(rng, dim))
    index = PyFlat(dim, metric)
    split = rng.randint(0, count)
    if split:
        index.create(vectors[:split])
    for vector in vectors[split:]:
        index.insert(vector)
    for _ in range(8):
        query = list(rng.choice(vectors)) if rng.random() < 0.3 else random_vector(rng, dim)
        for k in {0, 1, 2, rng.randint(0, count + 2), count - 1, count, count + 3, K_MAX}:
            assert_same_results(index.search(query, k), reference_search(metric, vectors, query, k))
