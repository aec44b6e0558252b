"""How calls bind their arguments and how argument values are converted."""

import math
import operator

import pytest

import tamsel
from conftest import stored_vectors

PyFlat = tamsel.PyFlat
PyHNSW = tamsel.PyHNSW

OUT_OF_RANGE = "out of range integral type conversion attempted"


def filled(dim=2, metric=None):
    index = PyFlat(dim, metric)
    index.insert([0.0] * dim)
    return index


def interpreter_error(convert, value):
    """The exception the interpreter itself raises for `value`."""
    with pytest.raises(Exception) as info:
        convert(value)
    return info.value


# ---------------------------------------------------------------- binding

CALLS = {
    "PyHNSW.__new__": lambda *a, **kw: PyHNSW(*a, **kw),
    "PyFlat.__new__": lambda *a, **kw: PyFlat(*a, **kw),
    "PyFlat.insert": lambda *a, **kw: filled().insert(*a, **kw),
    "PyFlat.search": lambda *a, **kw: filled().search(*a, **kw),
    "PyFlat.create": lambda *a, **kw: filled().create(*a, **kw),
}


@pytest.mark.parametrize(
    "callable_name, args, kwargs, message",
    [
        # Too many positional arguments; keywords are not looked at first.
        ("PyHNSW.__new__", (1,) * 8, {}, "PyHNSW.__new__() takes from 1 to 7 positional arguments but 8 were given"),
        # prune is keyword-only; the interpreter counts keyword-only arguments given beside.
        ("PyHNSW.__new__", (1,) * 8, {"prune": True}, "PyHNSW.__new__() takes from 1 to 7 positional arguments but 8 positional arguments (and 1 keyword-only argument) were given"),
        ("PyHNSW.__new__", (3,), {"prune": True, "prune ": 1}, "PyHNSW.__new__() got an unexpected keyword argument 'prune '"),
        ("PyFlat.__new__", (2, None, 3), {}, "PyFlat.__new__() takes from 1 to 2 positional arguments but 3 were given"),
        ("PyFlat.__new__", (2, None, 3), {"bogus": 1}, "PyFlat.__new__() takes from 1 to 2 positional arguments but 3 were given"),
        ("PyFlat.insert", ([0.0, 0.0], 2), {}, "PyFlat.insert() takes 1 positional arguments but 2 were given"),
        ("PyFlat.insert", (1, 2, 3), {"vector": 1}, "PyFlat.insert() takes 1 positional arguments but 3 were given"),
        ("PyFlat.search", ([0.0, 0.0], 1, 2), {}, "PyFlat.search() takes from 1 to 2 positional arguments but 3 were given"),
        ("PyFlat.create", ([], []), {}, "PyFlat.create() takes 1 positional arguments but 2 were given"),
        # A keyword for a parameter that already has a value.
        ("PyHNSW.__new__", (3,), {"dim": 3}, "PyHNSW.__new__() got multiple values for argument 'dim'"),
        ("PyHNSW.__new__", (3, 5), {"layers": 5}, "PyHNSW.__new__() got multiple values for argument 'layers'"),
        ("PyHNSW.__new__", (3,), {"prune": 1, "dim": 3}, "PyHNSW.__new__() got multiple values for argument 'dim'"),
        ("PyFlat.__new__", (3,), {"dim": 3}, "PyFlat.__new__() got multiple values for argument 'dim'"),
        ("PyFlat.__new__", (3, None), {"metric": "cosine"}, "PyFlat.__new__() got multiple values for argument 'metric'"),
        ("PyFlat.insert", ([0.0, 0.0],), {"vector": [0.0, 0.0]}, "PyFlat.insert() got multiple values for argument 'vector'"),
        ("PyFlat.search", ([0.0, 0.0], 1), {"k": 1}, "PyFlat.search() got multiple values for argument 'k'"),
        ("PyFlat.search", ([0.0, 0.0],), {"k": 1, "query": [0.0]}, "PyFlat.search() got multiple values for argument 'query'"),
        ("PyFlat.create", ([],), {"vectors": []}, "PyFlat.create() got multiple values for argument 'vectors'"),
        # A keyword that names no parameter: exact, case-sensitive names.
        ("PyHNSW.__new__", (3,), {"size": 1}, "PyHNSW.__new__() got an unexpected keyword argument 'size'"),
        ("PyFlat.__new__", (3,), {"Metric": "cosine"}, "PyFlat.__new__() got an unexpected keyword argument 'Metric'"),
        ("PyFlat.__new__", (), {"dim\0": 3}, "PyFlat.__new__() got an unexpected keyword argument 'dim\0'"),
        ("PyFlat.__new__", (), {"di": 3}, "PyFlat.__new__() got an unexpected keyword argument 'di'"),
        ("PyFlat.insert", (), {"vectors": [0.0, 0.0]}, "PyFlat.insert() got an unexpected keyword argument 'vectors'"),
        ("PyFlat.search", ([0.0, 0.0],), {"K": 1}, "PyFlat.search() got an unexpected keyword argument 'K'"),
        ("PyFlat.create", (), {"vector": [[0.0, 0.0]]}, "PyFlat.create() got an unexpected keyword argument 'vector'"),
        # Keywords in call order: the first bad one ends the call.
        ("PyFlat.__new__", (3,), {"bogus": 1, "dim": 3}, "PyFlat.__new__() got an unexpected keyword argument 'bogus'"),
        ("PyFlat.__new__", (3,), {"dim": 3, "bogus": 1}, "PyFlat.__new__() got multiple values for argument 'dim'"),
        ("PyFlat.search", ([0.0, 0.0],), {"zz": 1, "query": 1}, "PyFlat.search() got an unexpected keyword argument 'zz'"),
        ("PyFlat.search", ([0.0, 0.0],), {"query": 1, "zz": 1}, "PyFlat.search() got multiple values for argument 'query'"),
        ("PyHNSW.__new__", (3,), {"metric": "euclidean", "a": 1, "b": 2}, "PyHNSW.__new__() got an unexpected keyword argument 'a'"),
        # A missing required argument, also when keywords fill the others.
        ("PyHNSW.__new__", (), {}, "PyHNSW.__new__() missing 1 required positional argument: 'dim'"),
        ("PyHNSW.__new__", (), {"metric": "euclidean", "layers": 2}, "PyHNSW.__new__() missing 1 required positional argument: 'dim'"),
        ("PyFlat.__new__", (), {}, "PyFlat.__new__() missing 1 required positional argument: 'dim'"),
        ("PyFlat.__new__", (), {"metric": "cosine"}, "PyFlat.__new__() missing 1 required positional argument: 'dim'"),
        ("PyFlat.insert", (), {}, "PyFlat.insert() missing 1 required positional argument: 'vector'"),
        ("PyFlat.search", (), {"k": 3}, "PyFlat.search() missing 1 required positional argument: 'query'"),
        ("PyFlat.create", (), {}, "PyFlat.create() missing 1 required positional argument: 'vectors'"),
    ],
)
def test_binding_errors(callable_name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        CALLS[callable_name](*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


def test_every_parameter_binds_by_keyword_and_none_means_absent():
    index = PyFlat(dim=2, metric=None)
    assert index.insert(vector=[3.0, 4.0]) is None
    assert index.create(vectors=[[0.0, 1.0]]) is None
    query = [0.0, 0.0]
    expected = [(1, 1.0)]
    assert index.search(query) == expected
    assert index.search(query, None) == expected
    assert index.search(query, k=None) == expected
    assert index.search(k=None, query=query) == expected
    assert index.search(k=2, query=query) == [(1, 1.0), (0, 5.0)]
    assert PyFlat(2, None).create([[1.0, 1.0]]) is None
    assert type(PyHNSW(dim=3, layers=None, m=None, ef_construction=None, ef_search=None,
                       metric="euclidean", schema=None)) is PyHNSW
    assert type(PyHNSW(3, None, None, None, None, "euclidean", None)) is PyHNSW


@pytest.mark.parametrize(
    "call, name, target",
    [
        (lambda: PyFlat(None), "dim", "int"),
        (lambda: PyHNSW(None, metric="euclidean"), "dim", "int"),
        (lambda: filled().insert(None), "vector", "Sequence"),
        (lambda: filled().search(None), "query", "Sequence"),
        (lambda: filled().create(None), "vectors", "Sequence"),
    ],
)
def test_none_for_a_required_argument_fails_in_conversion(call, name, target):
    with pytest.raises(TypeError) as info:
        call()
    if target == "int":
        expected = str(interpreter_error(operator.index, None))
    else:
        expected = "'NoneType' object cannot be converted to 'Sequence'"
    assert str(info.value) == f"argument '{name}': {expected}"


# ------------------------------------------------------- the argument error

class Root(Exception):
    pass


class FloatRaising:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


class IndexRaising:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


def chained_type_error(text):
    root = Root("root cause")
    try:
        raise TypeError(text) from root
    except TypeError as error:
        return error, root


ARGUMENT_SITES = [
    pytest.param(lambda bad: PyFlat(bad), "dim", IndexRaising, id="PyFlat-dim"),
    pytest.param(lambda bad: PyHNSW(bad, metric="euclidean"), "dim", IndexRaising, id="PyHNSW-dim"),
    pytest.param(lambda bad: PyHNSW(3, ef_search=bad, metric="euclidean"), "ef_search", IndexRaising, id="PyHNSW-ef_search"),
    pytest.param(lambda bad: filled().insert([0.0, bad]), "vector", FloatRaising, id="insert-vector"),
    pytest.param(lambda bad: filled().search([bad, 0.0]), "query", FloatRaising, id="search-query"),
    pytest.param(lambda bad: filled().search([0.0, 0.0], bad), "k", IndexRaising, id="search-k"),
    pytest.param(lambda bad: filled().create([[0.0, 0.0], [0.0, bad]]), "vectors", FloatRaising, id="create-nested"),
]


@pytest.mark.parametrize("call, name, wrapper", ARGUMENT_SITES)
def test_type_error_gets_argument_prefix_and_keeps_cause(call, name, wrapper):
    original, root = chained_type_error("no number here")
    with pytest.raises(TypeError) as info:
        call(wrapper(original))
    assert type(info.value) is TypeError
    assert info.value is not original
    assert info.value.args == (f"argument '{name}': no number here",)
    assert info.value.__cause__ is root

    with pytest.raises(TypeError) as info:
        call(wrapper(TypeError("plain")))
    assert info.value.args == (f"argument '{name}': plain",)
    assert info.value.__cause__ is None


class OddTypeError(TypeError):
    pass


@pytest.mark.parametrize("call, name, wrapper", ARGUMENT_SITES)
@pytest.mark.parametrize("error_type", [OddTypeError, ValueError, OverflowError, KeyError, ZeroDivisionError])
def test_other_exceptions_pass_unchanged(call, name, wrapper, error_type):
    original = error_type("as raised")
    with pytest.raises(error_type) as info:
        call(wrapper(original))
    assert info.value is original
    assert info.value.args == ("as raised",)


# ------------------------------------------------------------- sequences

class Outer:
    class Inner:
        pass


class LenRaises(list):
    def __len__(self):
        raise RuntimeError("no length")


class LenLies(list):
    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        return self.length


class IterDiffers(list):
    """Holds one set of values but iterates another: iteration decides."""

    def __iter__(self):
        return iter([7.0, 8.0])


class OldStyle:
    """A sequence with only __getitem__ (and __len__), iterated by index."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, position):
        return self.items[position]


def iterating_then_raising(error):
    class Broken(list):
        def __iter__(self):
            yield 1.0
            raise error

    return Broken([1.0, 2.0])


class Text(str):
    pass


def converted_vector(value, dim=2):
    index = PyFlat(dim, "inner_product")
    index.insert(value)
    return stored_vectors(index, dim)[0]


@pytest.mark.parametrize(
    "value, expected",
    [
        ([1.0, 2.0], [1.0, 2.0]),
        ((1.0, 2.0), [1.0, 2.0]),
        (bytes([1, 2]), [1.0, 2.0]),
        (bytearray([3, 4]), [3.0, 4.0]),
        (range(5, 7), [5.0, 6.0]),
        ([True, False], [1.0, 0.0]),
        ([3, -1], [3.0, -1.0]),
        (LenRaises([1.5, 2.5]), [1.5, 2.5]),
        (LenLies([1.5, 2.5], 0), [1.5, 2.5]),
        (LenLies([1.5, 2.5], 10**6), [1.5, 2.5]),
        (IterDiffers([1.0, 2.0]), [7.0, 8.0]),
        (OldStyle([9.0, 10.0]), [9.0, 10.0]),
    ],
    ids=lambda value: type(value).__name__,
)
def test_sequences_that_convert(value, expected):
    assert converted_vector(value) == expected


def test_nested_sequences_that_convert():
    index = PyFlat(2, "inner_product")
    index.create((range(1, 3), bytes([3, 4]), LenRaises([5, 6]), OldStyle([7, 8])))
    assert stored_vectors(index, 2) == [[1.0, 2.0], [3.0, 4.0], [5.0, 6.0], [7.0, 8.0]]


NOT_SEQUENCES = [
    ({1: 2.0, 2: 3.0}, "dict"),
    ({1.0, 2.0}, "set"),
    ((x for x in [1.0, 2.0]), "generator"),
    (12, "int"),
    (None, "NoneType"),
    (2.5, "float"),
    (Outer.Inner(), "Outer.Inner"),
]


@pytest.mark.parametrize("value, type_name", NOT_SEQUENCES, ids=[name for _, name in NOT_SEQUENCES])
@pytest.mark.parametrize(
    "call, name",
    [
        (lambda v: filled().insert(v), "vector"),
        (lambda v: filled().search(v), "query"),
        (lambda v: filled().create(v), "vectors"),
        (lambda v: filled().create([[0.0, 0.0], v]), "vectors"),
        (lambda v: PyHNSW(2, metric="euclidean", schema=v), "schema"),
    ],
)
def test_non_sequences_are_refused(call, name, value, type_name):
    if value is None and name == "schema":
        call(value)  # an optional argument given as None is absent
        return
    with pytest.raises(TypeError) as info:
        call(value)
    assert info.value.args == (f"argument '{name}': '{type_name}' object cannot be converted to 'Sequence'",)


@pytest.mark.parametrize("text", ["ab", "", Text("ab")])
@pytest.mark.parametrize(
    "call, name",
    [
        (lambda v: filled().insert(v), "vector"),
        (lambda v: filled().search(v), "query"),
        (lambda v: filled().create(v), "vectors"),
        (lambda v: filled().create([[0.0, 0.0], v]), "vectors"),
        (lambda v: PyHNSW(2, metric="euclidean", schema=v), "schema"),
    ],
)
def test_strings_are_not_sequences_of_numbers(call, name, text):
    with pytest.raises(TypeError) as info:
        call(text)
    assert info.value.args == (f"argument '{name}': Can't extract `str` to `Vec`",)


@pytest.mark.parametrize(
    "error, expected_type, prefix",
    [
        (ValueError("stopped midway"), ValueError, ""),
        (OddTypeError("stopped midway"), OddTypeError, ""),
        (TypeError("stopped midway"), TypeError, "argument 'vector': "),
    ],
)
def test_iteration_failure_ends_the_conversion(error, expected_type, prefix):
    index = filled()
    with pytest.raises(expected_type) as info:
        index.insert(iterating_then_raising(error))
    assert type(info.value) is expected_type
    assert str(info.value) == prefix + "stopped midway"
    assert index.search([0.0, 0.0], k=10) == [(0, 0.0)]


# ---------------------------------------------------------------- floats

class HasFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class HasIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_float_conversion_of_elements():
    assert converted_vector([HasFloat(2.5), HasIndex(7)]) == [2.5, 7.0]
    # -1.0 is the interpreter's failure marker only together with an error.
    assert converted_vector([HasFloat(-1.0), -1]) == [-1.0, -1.0]
    assert converted_vector([-1.0, True]) == [-1.0, 1.0]
    assert converted_vector([2**53, -(2**60)]) == [2.0**53, -(2.0**60)]


@pytest.mark.parametrize(
    "bad",
    [2**1024, "x", None, [1.0], b"1", HasFloat("not a float"), object()],
    ids=["huge-int", "str", "None", "list", "bytes", "bad-__float__", "object"],
)
def test_float_conversion_failures_are_the_interpreters(bad):
    expected = interpreter_error(math.fabs, bad)
    index = filled()
    with pytest.raises(type(expected)) as info:
        index.insert([0.0, bad])
    assert type(info.value) is type(expected)
    prefix = "argument 'vector': " if type(expected) is TypeError else ""
    assert str(info.value) == prefix + str(expected)
    assert index.search([0.0, 0.0], k=10) == [(0, 0.0)]


# ------------------------------------------------------- unsigned 32-bit

U32_SITES = [
    pytest.param(lambda v: PyFlat(v), "dim", id="PyFlat-dim"),
    pytest.param(lambda v: PyHNSW(v, metric="euclidean"), "dim", id="PyHNSW-dim"),
    pytest.param(lambda v: PyHNSW(1, layers=v, metric="euclidean"), "layers", id="layers"),
    pytest.param(lambda v: PyHNSW(1, m=v, metric="euclidean"), "m", id="m"),
    pytest.param(lambda v: PyHNSW(1, ef_construction=v, metric="euclidean"), "ef_construction", id="ef_construction"),
    pytest.param(lambda v: PyHNSW(1, ef_search=v, metric="euclidean"), "ef_search", id="ef_search"),
    pytest.param(lambda v: filled().search([0.0, 0.0], v), "k", id="k"),
]


# The layer count sizes a table at construction, so its large values are
# left out here.
@pytest.mark.parametrize("call, name", [site for site in U32_SITES if site.id != "layers"])
@pytest.mark.parametrize("value", [0, 1, 4294967295, True, False, HasIndex(4294967295), HasIndex(0)],
                         ids=["0", "1", "max", "True", "False", "index-max", "index-0"])
def test_unsigned_values_accepted(call, name, value):
    call(value)


@pytest.mark.parametrize("call, name", U32_SITES)
@pytest.mark.parametrize("value", [2**32, 2**63, 2**64 - 1, HasIndex(2**32)], ids=["2**32", "2**63", "2**64-1", "index-2**32"])
def test_unsigned_values_above_32_bits(call, name, value):
    with pytest.raises(OverflowError) as info:
        call(value)
    assert type(info.value) is OverflowError
    assert info.value.args == (OUT_OF_RANGE,)


@pytest.mark.parametrize("call, name", U32_SITES)
@pytest.mark.parametrize("value", [-1, -(2**70), 2**64, 2**100, HasIndex(-5)], ids=["-1", "-2**70", "2**64", "2**100", "index--5"])
def test_unsigned_values_beyond_64_bits_or_negative(call, name, value):
    with pytest.raises(OverflowError) as info:
        call(value)
    assert type(info.value) is OverflowError
    message = str(info.value)
    assert message and message != OUT_OF_RANGE
    assert not message.startswith("argument")


@pytest.mark.parametrize("call, name", U32_SITES)
@pytest.mark.parametrize("value", [2.0, "2", [2], HasFloat(2.0), 1j], ids=["float", "str", "list", "__float__", "complex"])
def test_unsigned_values_without_index(call, name, value):
    expected = interpreter_error(operator.index, value)
    with pytest.raises(TypeError) as info:
        call(value)
    assert type(info.value) is TypeError
    assert info.value.args == (f"argument '{name}': {expected}",)


def test_dimension_up_to_the_largest_unsigned_32_bit_value():
    index = PyFlat(4294967295)
    with pytest.raises(ValueError) as info:
        index.search([1.0])
    assert info.value.args == ("Expected query of length 4294967295, got 1",)


# --------------------------------------------------------------- strings

@pytest.mark.parametrize(
    "call, name",
    [
        (lambda v: PyFlat(2, v), "metric"),
        (lambda v: PyFlat(2, metric=v), "metric"),
        (lambda v: PyHNSW(2, metric=v), "metric"),
    ],
)
@pytest.mark.parametrize(
    "value, type_name",
    [(5, "int"), (b"cosine", "bytes"), (["cosine"], "list"), (Outer.Inner(), "Outer.Inner"), (1.5, "float")],
)
def test_metric_must_be_text(call, name, value, type_name):
    with pytest.raises(TypeError) as info:
        call(value)
    assert info.value.args == (f"argument '{name}': '{type_name}' object cannot be converted to 'PyString'",)


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda text: PyFlat(2, text), "cos\ud800ine"),
        (lambda text: PyHNSW(2, metric=text), "\udfff"),
        (lambda text: PyHNSW(2, metric="euclidean", schema=["ok", text]), "bad\ud800"),
    ],
)
def test_lone_surrogates_fail_to_encode(call, text):
    expected = interpreter_error(lambda t: t.encode("utf-8"), text)
    with pytest.raises(UnicodeEncodeError) as info:
        call(text)
    assert type(info.value) is UnicodeEncodeError
    assert str(info.value) == str(expected)


def test_schema_elements_must_be_text():
    with pytest.raises(TypeError) as info:
        PyHNSW(2, metric="euclidean", schema=["color", 3])
    assert info.value.args == ("argument 'schema': 'int' object cannot be converted to 'PyString'",)
