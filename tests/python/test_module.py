"""The module object and the two classes as Python sees them."""

import gc
import importlib
import inspect
import re
import sys
import weakref

import pytest

import tamsel
from conftest import run_json

PyFlat = tamsel.PyFlat
PyHNSW = tamsel.PyHNSW

HNSW_SIGNATURE = (
    "(dim, layers=None, m=None, ef_construction=None, ef_search=None, metric=None, schema=None, *, prune=False)"
)

CLASSES = [
    pytest.param(PyFlat, "PyFlat", "(dim, metric=None)", "Our Python-facing Flat index.", id="PyFlat"),
    pytest.param(PyHNSW, "PyHNSW", HNSW_SIGNATURE, "", id="PyHNSW"),
]


def instance_of(cls):
    return cls(3) if cls is PyFlat else cls(3, metric="euclidean")


def test_module_exports_exactly_the_two_classes():
    assert tamsel.__all__ == ["PyFlat", "PyHNSW"]
    assert type(tamsel.__all__) is list
    assert tamsel.__doc__ == ""
    public = {name for name in dir(tamsel) if not name.startswith("_")}
    assert public == {"PyFlat", "PyHNSW"}
    assert not hasattr(tamsel, "PanicException")
    assert isinstance(PyFlat, type) and isinstance(PyHNSW, type)


@pytest.mark.parametrize("cls, name, signature, doc", CLASSES)
def test_class_identity_and_documentation(cls, name, signature, doc):
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert cls.__doc__ == doc
    assert cls.__text_signature__ == signature
    assert str(inspect.signature(cls)) == signature
    assert cls.__bases__ == (object,)
    assert getattr(tamsel, name) is cls


@pytest.mark.parametrize("cls", [PyFlat, PyHNSW])
def test_class_is_closed(cls):
    with pytest.raises(TypeError):

        class Derived(cls):
            pass

    index = instance_of(cls)
    with pytest.raises(AttributeError):
        index.foo = 1
    with pytest.raises(AttributeError):
        index.__dict__
    with pytest.raises(TypeError):
        weakref.ref(index)
    # Instances hold no Python objects, so the collector does not track them.
    assert not gc.is_tracked(index)
    # No __init__, __repr__ or comparison of the class's own.
    for slot in ("__init__", "__repr__", "__eq__", "__hash__"):
        assert slot not in vars(cls)


FLAT_METHODS = [
    ("insert", "($self, vector)", "(self, /, vector)",
     "Insert a vector into the index.\n\nThe vector is expected as a list of floats whose length equals the index dimension."),
    ("search", "($self, query, k=None)", "(self, /, query, k=None)",
     "Search for the k nearest neighbors.\n\nReturns a list of tuples `(id, distance)`."),
    ("create", "($self, vectors)", "(self, /, vectors)", "Create an index from a list of vectors."),
]


@pytest.mark.parametrize("name, text_signature, signature, doc", FLAT_METHODS)
def test_flat_method_documentation(name, text_signature, signature, doc):
    method = getattr(PyFlat, name)
    assert method.__name__ == name
    assert method.__qualname__ == f"PyFlat.{name}"
    assert method.__text_signature__ == text_signature
    assert method.__doc__ == doc
    assert str(inspect.signature(method)) == signature
    assert str(inspect.signature(getattr(PyFlat(2), name))) == signature.replace("self, /, ", "")


def test_flat_methods_in_table_order():
    assert [name for name in vars(PyFlat) if not name.startswith("_")] == ["insert", "search", "create", "save", "load", "search_many"]


@pytest.mark.parametrize("cls", [PyFlat, PyHNSW])
def test_instances_release_their_type(cls):
    # Every instance of a heap type owns a reference to it; deallocation
    # must give it back, no more and no less.
    before = sys.getrefcount(cls)
    for _ in range(2000):
        index = instance_of(cls)
        if cls is PyFlat:
            index.insert([1.0, 2.0, 3.0])
        del index
    assert sys.getrefcount(cls) == before


# The wording of this refusal is the module's own; its content is fixed.
REINIT_MESSAGE = re.compile(
    r"modules compiled for CPython 3\.8 or older may only be initiali[sz]ed once per interpreter process"
)


def test_second_initialisation_in_process_is_refused():
    result, _ = run_json(
        """
        import json, sys
        import tamsel
        first = tamsel
        outcomes = []
        for attempt in range(2):
            del sys.modules["tamsel"]
            try:
                import tamsel
                outcomes.append(["imported", None])
            except ImportError as error:
                outcomes.append([type(error).__name__, str(error)])
            sys.modules["tamsel"] = first
        index = first.PyFlat(2)
        index.insert([3.0, 4.0])
        print(json.dumps({"outcomes": outcomes, "search": index.search([0.0, 0.0]),
                          "hnsw": type(first.PyHNSW(2, metric="angular")).__name__,
                          "all": first.__all__}))
        """
    )
    assert [kind for kind, _ in result["outcomes"]] == ["ImportError", "ImportError"]
    for _, message in result["outcomes"]:
        assert REINIT_MESSAGE.fullmatch(message), message
    assert result["search"] == [[0, 5.0]]
    assert result["hnsw"] == "PyHNSW"
    assert result["all"] == ["PyFlat", "PyHNSW"]


SUBINTERPRETER_SCRIPT = (
    "import os\n"
    "try:\n"
    "    import tamsel\n"
    "    outcome = 'imported'\n"
    "except ImportError as error:\n"
    "    outcome = type(error).__name__ + ': ' + str(error)\n"
    "os.write(WRITE_END, outcome.encode())\n"
)


def test_initialisation_from_subinterpreter_is_refused():
    try:
        importlib.import_module("_xxsubinterpreters")
    except ImportError:
        pytest.skip("this interpreter offers no subinterpreters")
    result, _ = run_json(
        f"""
        import json, os
        import _xxsubinterpreters as interpreters
        import tamsel
        read_end, write_end = os.pipe()
        sub = interpreters.create()
        interpreters.run_string(sub, {SUBINTERPRETER_SCRIPT!r}.replace("WRITE_END", str(write_end)))
        interpreters.destroy(sub)
        os.close(write_end)
        outcome = os.read(read_end, 4096).decode()
        index = tamsel.PyFlat(1)
        index.insert([2.0])
        print(json.dumps({{"outcome": outcome, "search": index.search([0.0])}}))
        """
    )
    kind, _, message = result["outcome"].partition(": ")
    assert kind == "ImportError"
    assert REINIT_MESSAGE.fullmatch(message), message
    assert result["search"] == [[0, 2.0]]


# ------------------------------------------------------ PyHNSW construction

class Text(str):
    pass


@pytest.mark.parametrize("metric", ["euclidean", "angular", "inner_product", Text("angular")])
def test_hnsw_accepts_its_three_metric_names(metric):
    assert type(PyHNSW(3, metric=metric)) is PyHNSW
    assert type(PyHNSW(3, None, None, None, None, metric)) is PyHNSW


@pytest.mark.parametrize(
    "kwargs",
    [{}, {"metric": None}, {"metric": "cosine"}, {"metric": "Euclidean"}, {"metric": "euclidean "},
     {"metric": " angular"}, {"metric": ""}, {"metric": "angular\0"}, {"metric": "inner-product"},
     {"metric": "l2"}, {"schema": ["a"], "layers": 2}],
    ids=repr,
)
def test_hnsw_refuses_any_other_metric(kwargs):
    with pytest.raises(ValueError) as info:
        PyHNSW(3, **kwargs)
    assert type(info.value) is ValueError
    assert info.value.args == ("Unsupported metric",)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        # Every argument is converted, in parameter order, before the metric
        # name is looked at.
        ({"schema": "abc"}, TypeError, "argument 'schema': Can't extract `str` to `Vec`"),
        ({"schema": ["a", 1], "metric": "nope"}, TypeError, "argument 'schema': 'int' object cannot be converted to 'PyString'"),
        ({"layers": 2**32, "metric": "nope"}, OverflowError, "out of range integral type conversion attempted"),
        ({"dim": None, "layers": -1, "metric": 5}, TypeError, "argument 'dim': 'NoneType' object cannot be interpreted as an integer"),
        ({"layers": 2**32, "m": "x"}, OverflowError, "out of range integral type conversion attempted"),
        ({"m": 2.5, "ef_construction": 2**32}, TypeError, "argument 'm': 'float' object cannot be interpreted as an integer"),
        ({"ef_construction": 2**32, "ef_search": "x"}, OverflowError, "out of range integral type conversion attempted"),
        ({"ef_search": "x", "metric": 5}, TypeError, "argument 'ef_search': 'str' object cannot be interpreted as an integer"),
        ({"metric": 5, "schema": "abc"}, TypeError, "argument 'metric': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_hnsw_converts_in_parameter_order_before_checking_the_metric(kwargs, error, message):
    kwargs = {"dim": 3, **kwargs}
    with pytest.raises(error) as info:
        PyHNSW(**kwargs)
    assert type(info.value) is error
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "kwargs",
    [
        {"dim": 0, "layers": 0, "m": 0, "ef_construction": 0, "ef_search": 0},
        {"dim": 3, "layers": 1, "schema": []},
        {"dim": 3, "schema": ["color", "color", "size"]},
        {"dim": 3, "schema": ("color", Text("size"))},
        {"dim": 3, "m": 4294967295, "ef_construction": 4294967295, "ef_search": 4294967295},
    ],
    ids=repr,
)
def test_hnsw_validates_nothing_else(kwargs):
    assert type(PyHNSW(metric="inner_product", **kwargs)) is PyHNSW
