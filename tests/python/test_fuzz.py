"""Property-based fuzzing of both classes through every constructor and method.

Arguments of every shape are drawn: nested sequences, bytes, ranges, array
types, numpy arrays (strided, misaligned) and scalars, huge and negative
integers, NaN and infinities, lone surrogates, and objects whose __float__,
__index__, __iter__, __len__ or __getitem__ raise, return the wrong type or
call back into the index under test. A plain Python emulation of the
argument conversions says what each call must do: succeed with what the
model predicts, or raise one exact exception type. The stateful machines keep
a model of everything stored and check the index against it after every
step: the flat index exactly, the one-layer graph index exactly through the
reference model, layered graph indexes by what holds for any graph.

The default run is short. A long run:
    TAMSEL_FUZZ=long .venv/bin/python -m pytest -q tests/python/test_fuzz.py
(TAMSEL_FUZZ_EXAMPLES=N sets the number of examples of each test.)
"""

import array
import decimal
import fractions
import math
import operator
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import tamsel
from test_flat import assert_same_results as assert_same_flat, reference_search
from test_hnsw_reference import METRICS, Model, assert_same_results as assert_same_hnsw, rank, value_matches

M32 = 2**32 - 1
_examples, _long = int(os.environ.get("TAMSEL_FUZZ_EXAMPLES", "0")), os.environ.get("TAMSEL_FUZZ") == "long"
# The regular run tries the same examples every time, so that the test
# command gives the same verdict on every machine; the long run explores.
_common = dict(deadline=None, database=None, suppress_health_check=list(HealthCheck),
               derandomize=not (_long or _examples))
CALLS = settings(max_examples=_examples or (3000 if _long else 120), **_common)
STATES = settings(max_examples=_examples or (1500 if _long else 30), stateful_step_count=40 if _long else 25,
                  **_common)


# -- what a conversion must make of a value ------------------------------------

class Refused(Exception):
    """The exception type a conversion must fail with."""

    def __init__(self, kind):
        super().__init__(kind.__name__)
        self.kind = kind


class CallbackError(Exception):
    """Raised by user code; it must leave the call unchanged."""


class Interrupt(BaseException):
    """Like KeyboardInterrupt: no conversion may swallow it."""


def kept(kind):
    """Whether a conversion that discards failures must still let `kind` out."""
    return not issubclass(kind, Exception) or issubclass(kind, (MemoryError, RecursionError))


class Context:
    """The machine whose index callbacks call back into, and what they met."""

    machine, outcomes = None, []

    def call(self, action, propagate):
        if self.machine is None:
            return
        try:
            self.machine.inner_call(action)
            self.outcomes.append((action, None))
        except RuntimeError as error:
            self.outcomes.append((action, str(error)))
            if propagate:
                raise


CONTEXT = Context()


class Hostile:
    """A number that first calls back into the index (`action`; a refusal
    leaves the conversion when `propagate`), then returns `then`'s value,
    raises, or returns the wrong type."""

    def __init__(self, then, action=None, propagate=False):
        self.then, self.action, self.propagate = then, action, propagate

    def _run(self, kind):
        if self.action:
            CONTEXT.call(self.action, self.propagate)
        tag, arg = self.then
        if tag == "raise":
            raise arg("raised by a callback")
        if tag == "wrong":
            return "no number" if kind == "float" else 1.5
        return float(arg) if kind == "float" else arg

    def __repr__(self):
        return f"{type(self).__name__}{self.then, self.action, self.propagate}"


class HostileFloat(Hostile):
    def __float__(self):
        return self._run("float")


class HostileIndex(Hostile):
    def __index__(self):
        return self._run("index")


class HostileBoth(HostileFloat, HostileIndex):
    pass


def hostile_result(value, kind, access):
    if value.action and value.propagate and access and not (value.action == "search" and access == "shared"):
        raise Refused(RuntimeError)
    tag, arg = value.then
    if tag != "value":
        raise Refused(arg if tag == "raise" else TypeError)
    return long_as_double(arg) if kind == "float" else arg


def long_as_double(integer):
    return calling(float, integer)


def calling(function, *args):
    try:
        return function(*args)
    except Exception as error:  # noqa: BLE001 - whatever it raises is the expectation
        raise Refused(type(error)) from None


def want_float(value, access):
    if isinstance(value, Hostile):
        if isinstance(value, HostileFloat):
            return hostile_result(value, "float", access)
        return long_as_double(hostile_result(value, "index", access))
    if isinstance(value, float):
        return float(value)
    kind = type(value)
    if hasattr(kind, "__float__"):
        result = calling(kind.__float__, value)
        if type(result) is not float:
            raise Refused(TypeError)
        return result
    if hasattr(kind, "__index__"):
        return long_as_double(calling(operator.index, value))
    raise Refused(TypeError)


def want_integer(value, access):
    if isinstance(value, int):
        return int(value)
    if isinstance(value, HostileIndex):
        return hostile_result(value, "index", access)
    if not hasattr(type(value), "__index__"):
        raise Refused(TypeError)
    return calling(operator.index, value)


def want_u32(value, access=None):
    integer = want_integer(value, access)
    if not 0 <= integer <= M32:
        raise Refused(OverflowError)
    return integer


def want_text(value, access=None):
    if not isinstance(value, str):
        raise Refused(TypeError)
    calling(str.encode, value, "utf-8")
    return value


def want_sequence(value, element, access):
    if isinstance(value, (str, dict)) or not hasattr(type(value), "__getitem__"):
        raise Refused(TypeError)
    error = None
    if isinstance(value, ByIndex):
        position, error = value.fail
        if error is None or position > len(value.items):
            error, position = None, len(value.items)  # never raised
        elif error in (IndexError, StopIteration):
            error = None  # the end of the iteration
        items = value.items[:position]
    elif isinstance(value, Hooked):  # __len__ only gives a hint, whatever else it does
        try:
            value.on_len is None or hostile_result(value.on_len, "index", access)
        except Refused as refusal:
            if kept(refusal.kind):
                raise
        if value.on_iter is not None:
            hostile_result(value.on_iter, "index", access)
        items = list(list.__iter__(value))
    else:
        items = calling(list, value)
    converted = [element(item, access) for item in items]
    if error:
        raise Refused(error)
    return converted


def want_vector(value, access):
    return want_sequence(value, want_float, access)


def want_pair(value, access):
    if not isinstance(value, tuple):
        raise Refused(TypeError)
    if len(value) != 2:
        raise Refused(ValueError)
    return want_text(value[0]), value[1]


def want_pairs(value, access):
    return want_sequence(value, want_pair, access)


def want_metadata(value, access):
    """The stored value as the reference model takes it: str, int or float."""
    if isinstance(value, str):
        try:
            value.encode("utf-8")
            return value
        except UnicodeEncodeError:
            pass
    if isinstance(value, int) or hasattr(type(value), "__index__"):
        try:
            integer = want_integer(value, access)
            if -(2**63) <= integer < 2**63:
                return integer
        except Refused as refusal:
            if kept(refusal.kind):
                raise
    try:
        return want_float(value, access)
    except Refused as refusal:
        raise refusal if kept(refusal.kind) else Refused(ValueError) from None


def want_record(pairs, schema, access):
    given_values, record = dict(pairs), {}
    for name in schema:
        if name not in given_values:
            raise Refused(ValueError)
        record[name] = want_metadata(given_values[name], access)
    return record


# -- containers that misbehave ------------------------------------------------

class ByIndex:
    """Iterated through __getitem__ alone; raises `fail` at its position."""

    def __init__(self, items, fail):
        self.items, self.fail = items, fail

    def __getitem__(self, position):
        if position == self.fail[0] and self.fail[1]:
            raise self.fail[1]("raised by a callback")
        return self.items[position]

    def __repr__(self):
        return f"ByIndex({self.items!r}, {self.fail!r})"


class Hooked(list):
    """A list whose __len__ and __iter__ first convert a HostileIndex."""

    def __init__(self, items, on_len, on_iter):
        super().__init__(items)
        self.on_len, self.on_iter = on_len, on_iter

    def __len__(self):
        return list.__len__(self) if self.on_len is None else operator.index(self.on_len)

    def __iter__(self):
        if self.on_iter is not None:
            operator.index(self.on_iter)
        return list.__iter__(self)

    def __repr__(self):
        return f"Hooked({list(list.__iter__(self))!r}, len={self.on_len!r}, iter={self.on_iter!r})"


def misaligned(values, shape=None):
    """A float64 array that starts one byte past where a double may start."""
    buffer = np.frombuffer(bytearray(8 * len(values) + 1), dtype=np.float64, offset=1, count=len(values))
    buffer[:] = values
    return buffer if shape is None else buffer.reshape(shape)


# -- strategies ----------------------------------------------------------------

ERRORS = st.sampled_from([CallbackError, TypeError, ValueError, OverflowError, StopIteration, IndexError, Interrupt])
huge = st.sampled_from([2**53 + 1, 2**63, 2**64, 2**64 + 5, 10**400, -(10**400), -1, -(2**63) - 1])
integers = st.integers(-3, 3) | st.integers(-(2**70), 2**70) | huge
floats = st.sampled_from([0.0, -0.0, 1.0, -2.5, 1e-320, 1e300, math.nan, math.inf, -math.inf]) | st.floats()
numpy_scalars = st.sampled_from([np.float64(-0.0), np.float64(2.5), np.float32(0.1), np.float32("nan"), np.int64(-3),
                                 np.uint64(2**64 - 1), np.uint8(7), np.bool_(True)])
texts = st.text(max_size=3) | st.just("a\udc80")


@st.composite
def hostiles(draw, values=integers, kinds=(HostileFloat, HostileIndex, HostileBoth)):
    then = draw(st.tuples(st.just("value"), values) | st.tuples(st.just("raise"), ERRORS)
                | st.just(("wrong", None)))
    return draw(st.sampled_from(kinds))(then, draw(st.sampled_from([None, "search", "insert", "create"])),
                                        draw(st.booleans()))


wild_numbers = floats | integers | st.booleans() | numpy_scalars | hostiles() | texts | st.sampled_from(
    [None, [1.0], 1j, fractions.Fraction(1, 3), decimal.Decimal("snan"), decimal.Decimal("1.5"), b"x"])
FORMS = {
    "list": list, "tuple": tuple, "ndarray": lambda v: np.array(v, dtype=np.float64),
    "float32": lambda v: np.array(v, dtype=np.float64).astype(np.float32), "misaligned": misaligned,
    "strided": lambda v: np.repeat(np.array(v, dtype=np.float64), 2)[::2],
    "array": lambda v: array.array("d", v), "memoryview": lambda v: memoryview(array.array("d", v)),
    "bytes": bytes, "bytearray": bytearray, "range": lambda v: range(*v[:1], len(v) + sum(v[:1])),
}


@st.composite
def sequences(draw, items, wild):
    """`items` in one of the containers a sequence may come in."""
    forms = ["list", "tuple"]
    if all(type(x) is float for x in items):
        forms += ["ndarray", "float32", "strided", "misaligned", "array", "memoryview"]
    if all(type(x) is int and 0 <= x < 256 for x in items):
        forms += ["bytes", "bytearray"] + (["range"] if list(FORMS["range"](items)) == items else [])
    form = draw(st.sampled_from(forms + (["by_index", "hooked"] if wild else [])))
    if form == "by_index":
        return ByIndex(items, (draw(st.integers(0, len(items) + 1)), draw(st.none() | ERRORS)))
    if form == "hooked":
        hooks = st.none() | hostiles(kinds=[HostileIndex])
        return Hooked(items, draw(hooks), draw(hooks))
    with np.errstate(all="ignore"):
        return FORMS[form](items)


NOT_SEQUENCES = st.sampled_from([None, 5, 2.5, {"a": 1.0}, {1.0}, "abc", np.float64(1.0), np.zeros(())]) | st.builds(
    lambda: (x for x in [1.0]))


def vectors(dim, wild=False):
    lengths = st.sampled_from([dim] * 6 + [0, dim + 1, max(dim - 1, 0)])

    def lists(items):
        return lengths.flatmap(lambda n: st.lists(items, min_size=n, max_size=n))

    vector = (lists(wild_numbers if wild else floats) | lists(st.integers(0, 255))).flatmap(
        lambda items: sequences(items, wild))
    return (vector | NOT_SEQUENCES) if wild else vector


def rows_array(values, dim, form):
    """Whole rows of `values` as a two-dimensional array."""
    count = len(values) // dim if dim else len(values)
    values = values[: count * dim]
    if form == "misaligned":
        return misaligned(values, (count, dim))
    rows = np.array(values, dtype=np.float64).reshape(count, dim)
    return np.asfortranarray(rows) if form == "fortran" else rows


def batches(dim, wild=False):
    arrays = st.builds(rows_array, st.lists(floats, max_size=4 * max(dim, 1)), st.just(dim),
                       st.sampled_from(["c", "fortran", "misaligned"]))
    batch = st.lists(vectors(dim, wild), max_size=4).flatmap(lambda rows: sequences(rows, wild)) | arrays
    return (batch | NOT_SEQUENCES) if wild else batch


u32_arguments = st.none() | st.integers(0, 8) | st.sampled_from([M32, 2**32, -1, 2**64, True]) | hostiles(
    st.integers(-1, 8) | st.just(2**32)) | st.sampled_from([1.0, "3", np.int64(2), np.uint64(2**64 - 1)])
NAMES = st.sampled_from(["a", "b", "c"])
metadata_values = st.sampled_from([0, 1, 2, True, 0.0, 1.0, -0.0, math.nan, "a", "x", 2**70, 2**63, 10**400]) | (
    numpy_scalars | hostiles(st.integers(0, 2)) | st.sampled_from([None, [1], "a\udc80", 1j]))
wild_pairs = st.tuples(NAMES | texts | st.just(5), metadata_values) | st.sampled_from([["a", 1], ("a",), ("a", 1, 2)])


def pair_lists(wild):
    listed = st.lists(wild_pairs if wild else st.tuples(NAMES, metadata_values), max_size=4).flatmap(
        lambda pairs: sequences(pairs, wild))
    return (listed | NOT_SEQUENCES) if wild else listed


# -- running a call against its expectation --------------------------------------

ALLOWED = (TypeError, ValueError, OverflowError, UnicodeEncodeError, RuntimeError, MemoryError, CallbackError,
           StopIteration, IndexError, Interrupt)


def check_call(call, expect):
    """Runs `call`, then `expect` (which may update a model): the call must
    raise exactly the type that `expect` refuses with, or succeed when
    `expect` returns. Returns (expected value, result)."""
    try:
        result, error = call(), None
    except BaseException as raised:  # noqa: BLE001 - a panic must fail the test too
        result, error = None, raised
    try:
        expected, refused = expect(), None
    except Refused as refusal:
        expected, refused = None, refusal.kind
    event(f"{'returned' if error is None else type(error).__name__} (expected {refused and refused.__name__})")
    if error is not None:
        assert isinstance(error, ALLOWED) and not isinstance(error, SystemError), repr(error)
        assert type(error) is refused, f"raised {error!r}, expected {refused and refused.__name__ or 'success'}"
        return None, None
    assert refused is None, f"returned {result!r}, expected {refused.__name__}"
    return expected, result


def invoke(method, names, args, by_keyword):
    """Calls with the trailing None arguments left out, by position or keyword."""
    while args and args[-1] is None:
        args = args[:-1]
    return method(**dict(zip(names, args))) if by_keyword else method(*args)


# -- constructors ---------------------------------------------------------------

@CALLS
@given(st.lists(u32_arguments, min_size=5, max_size=5),
       st.none() | st.sampled_from(["euclidean", "angular", "inner_product", "cosine"]) | texts | st.just(5),
       st.none() | st.lists(NAMES | texts | st.just(1), max_size=3) | NOT_SEQUENCES, st.booleans())
def test_constructors_raise_only_what_their_arguments_call_for(numbers, metric, schema, by_keyword):
    CONTEXT.machine = None

    def expect(hnsw):
        for number in numbers[: 5 if hnsw else 1]:
            if number is not None or number is numbers[0]:
                want_u32(number)
        if metric is not None:
            want_text(metric)
        if hnsw and schema is not None:
            want_sequence(schema, want_text, None)
        if hnsw and metric not in ("euclidean", "angular", "inner_product"):
            raise Refused(ValueError)

    names = ["dim", "layers", "m", "ef_construction", "ef_search", "metric", "schema"]
    _, index = check_call(lambda: invoke(tamsel.PyHNSW, names, [*numbers, metric, schema], by_keyword),
                          lambda: expect(True))
    if index is not None:
        assert index.search([0.0], M32) == []
    _, index = check_call(lambda: invoke(tamsel.PyFlat, ["dim", "metric"], [numbers[0], metric], by_keyword),
                          lambda: expect(False))
    if index is not None:
        with pytest.raises(ValueError):
            index.search([0.0])


# -- stateful machines -------------------------------------------------------------

WILD = st.sampled_from([False, False, True])  # a third of the calls take wild arguments


def vector_key(vector):
    return tuple("nan" if math.isnan(x) else float.hex(x) for x in vector)


class IndexMachine(RuleBasedStateMachine):
    """Calls run with callbacks pointed at the machine's index; what those met
    is checked against the borrow rules afterwards."""

    def run(self, call, expect, access):
        CONTEXT.machine, CONTEXT.outcomes = self, []
        try:
            return check_call(call, expect)
        finally:
            CONTEXT.machine = None
            event(f"callbacks met {sorted(set(CONTEXT.outcomes), key=str)}")
            for action, message in CONTEXT.outcomes:
                allowed = access == "shared" and action == "search"
                wanted = None if allowed else "Already mutably borrowed" if action == "search" else "Already borrowed"
                assert message == wanted, (action, message, access)

    def inner_call(self, action):
        """A call made by a callback: a RuntimeError leaves, anything else is checked."""
        if action == "insert":
            self.index.insert([0.25] * self.dim)
        elif action == "create":
            self.index.create([[0.25] * self.dim])
        else:
            self.probe()

    def probe(self, *extra):
        query = [0.5] * self.dim
        try:
            got = self.index.search(query, M32, *extra)
        except ValueError:
            got = ValueError
        try:
            want = self.expect_search(query, M32, *extra)
        except Refused as refusal:
            want = refusal.kind
        if want is ValueError or got is ValueError:
            assert got is want, (got, want)
        else:
            self.compare(query, M32, *extra, want=want, got=got)

    @invariant()
    def answers_consistently(self):
        self.probe()

    def teardown(self):
        stored = len(self.stored)
        event(f"stored {'0' if not stored else '1-9' if stored < 10 else '10 or more'} vectors")


class FlatMachine(IndexMachine):
    @initialize(dim=st.integers(0, 3), metric=st.sampled_from([None, "cosine", "inner_product", "euclidean", "l2"]))
    def setup(self, dim, metric):
        self.dim, self.stored = dim, []
        self.metric = metric if metric in ("cosine", "inner_product") else "euclidean"
        self.index = tamsel.PyFlat(dim, metric)

    def expect_search(self, query, k):
        if len(query) != self.dim or self.dim == 0 or not self.stored:
            raise Refused(ValueError)
        return reference_search(self.metric, self.stored, query, k)

    def compare(self, query, k, want, got):
        assert_same_flat(got, want)

    def store(self, rows):
        if not rows or any(len(row) != self.dim for row in rows):
            raise Refused(ValueError)
        self.stored += rows

    @rule(data=st.data(), wild=WILD, by_keyword=st.booleans())
    def insert(self, data, wild, by_keyword):
        vector = data.draw(vectors(self.dim, wild))
        self.run(lambda: invoke(self.index.insert, ["vector"], [vector], by_keyword),
                 lambda: self.store([want_vector(vector, "exclusive")]), "exclusive")

    @rule(data=st.data(), wild=WILD, by_keyword=st.booleans())
    def create(self, data, wild, by_keyword):
        batch = data.draw(batches(self.dim, wild))
        self.run(lambda: invoke(self.index.create, ["vectors"], [batch], by_keyword),
                 lambda: self.store(want_sequence(batch, want_vector, "exclusive")), "exclusive")

    @rule(data=st.data(), wild=WILD, by_keyword=st.booleans())
    def search(self, data, wild, by_keyword):
        query, k = data.draw(vectors(self.dim, wild)), data.draw(u32_arguments)

        def expect():
            converted = want_vector(query, "shared")
            return self.expect_search(converted, 1 if k is None else want_u32(k, "shared"))

        expected, got = self.run(lambda: invoke(self.index.search, ["query", "k"], [query, k], by_keyword),
                                 expect, "shared")
        if expected is not None:
            assert_same_flat(got, expected)


class HNSWMachine(IndexMachine):
    """With one layer the reference model predicts every answer exactly; with
    more (or none) the answers are checked for what any graph must give."""

    @initialize(dim=st.integers(0, 3), metric=st.sampled_from(sorted(METRICS)),
                layers=st.sampled_from([1, 1, 1, 2, 5, M32, 0]), efc=st.sampled_from([0, 1, 2, 5, 200, M32]),
                efs=st.sampled_from([0, 1, 3, 50, M32]), schema=st.sampled_from([None, [], ["a", "b"], ["a", "a", "c"]]))
    def setup(self, dim, metric, layers, efc, efs, schema):
        self.dim, self.metric, self.layers, self.efc, self.efs, self.schema = dim, metric, layers, efc, efs, schema
        self.stored, self.records = [], []
        self.model = Model(metric, efc, efs, schema) if layers == 1 else None
        self.index = tamsel.PyHNSW(dim, layers, None, efc, efs, metric, schema)

    def model_insert(self, vector, record):
        unlinked = bool(self.stored) and self.efc == 0  # stored, then refused by its first linking search
        self.stored.append(vector)
        self.records.append(record)
        if self.model is not None and unlinked:
            self.model.vectors.append(vector)
            self.model.records.append(record)
            self.model.rows.append([])
        elif self.model is not None:
            self.model.insert(vector, record)
        if unlinked and self.layers > 0:
            raise Refused(ValueError)

    def expect_search(self, query, k, flt=None):
        if not self.stored:
            return []
        if self.efs == 0 or self.layers == 0 or (flt is not None and flt[0] not in self.schema):
            raise Refused(ValueError)
        return None if self.model is None else self.model.search(query, k, flt)

    def compare(self, query, k, flt=None, *, want, got):
        if want is not None:
            assert_same_hnsw(got, want)
            return
        n = len(self.stored)
        assert len(got) <= min(max(k, 1), self.efs, n)
        assert [rank(d) for d, _ in got] == sorted(rank(d) for d, _ in got)
        records = {}
        for vector, record in zip(self.stored, self.records):
            records.setdefault(vector_key(vector), []).append(record)
        for distance, vector in got:
            assert vector_key(vector) in records, vector
            assert vector_key([distance]) == vector_key([METRICS[self.metric](query, vector)])
            assert flt is None or any(r is not None and value_matches(r[flt[0]], flt[1])
                                      for r in records[vector_key(vector)])
        if flt is None and self.efs >= n and k >= n and self.efc > 0:
            # A beam as wide as the index reaches every node of the connected graph.
            assert sorted(vector_key(v) for _, v in got) == sorted(vector_key(v) for v in self.stored)

    @invariant()
    def filtered_answers_consistently(self):
        if self.schema is not None:
            self.probe(("a", 1))

    @rule(data=st.data(), wild=WILD, by_keyword=st.booleans())
    def insert(self, data, wild, by_keyword):
        vector, metadata = data.draw(vectors(self.dim, wild)), data.draw(st.none() | pair_lists(wild))

        def expect():
            converted = want_vector(vector, "exclusive")
            pairs = None if metadata is None else want_pairs(metadata, "exclusive")
            if len(converted) != self.dim or (pairs is not None and self.schema is None):
                raise Refused(ValueError)
            self.model_insert(converted, None if pairs is None else want_record(pairs, self.schema, "exclusive"))

        self.run(lambda: invoke(self.index.insert, ["vector", "metadata"], [vector, metadata], by_keyword),
                 expect, "exclusive")

    @rule(data=st.data(), wild=WILD, by_keyword=st.booleans())
    def create(self, data, wild, by_keyword):
        batch = data.draw(batches(self.dim, wild))
        count = len(batch) if type(batch) in (list, tuple) or type(batch) is np.ndarray and batch.ndim else 0
        lists = st.lists(pair_lists(wild), min_size=count, max_size=count) | st.lists(pair_lists(wild), max_size=3)
        metadata = data.draw(st.none() | lists.flatmap(lambda items: sequences(items, wild)))

        def expect():
            rows = want_sequence(batch, want_vector, "exclusive")
            entries = None if metadata is None else want_sequence(metadata, want_pairs, "exclusive")
            if any(len(row) != self.dim for row in rows) or not rows and entries is None:
                raise Refused(ValueError)
            records = [None] * len(rows)
            if entries is not None:
                if len(entries) != len(rows) or self.schema is None:
                    raise Refused(ValueError)
                records = [want_record(pairs, self.schema, "exclusive") for pairs in entries]
                if not rows:
                    raise Refused(ValueError)
            for row, record in zip(rows, records):
                self.model_insert(row, record)

        self.run(lambda: invoke(self.index.create, ["vectors", "metadata"], [batch, metadata], by_keyword),
                 expect, "exclusive")

    @rule(data=st.data(), wild=WILD, by_keyword=st.booleans())
    def search(self, data, wild, by_keyword):
        query, k = data.draw(vectors(self.dim, wild)), data.draw(u32_arguments)
        filters = st.none() | st.tuples(NAMES, metadata_values)
        filt = data.draw((filters | wild_pairs | NOT_SEQUENCES) if wild else filters)

        def expect():
            converted, kk, flt = want_vector(query, "shared"), 1 if k is None else want_u32(k, "shared"), None
            if filt is not None:
                name, value = want_pair(filt, "shared")
                if self.schema is None:
                    raise Refused(ValueError)
                flt = (name, want_metadata(value, "shared"))
            return converted, kk, flt, self.expect_search(converted, kk, flt)

        expected, got = self.run(
            lambda: invoke(self.index.search, ["query", "k", "filter"], [query, k, filt], by_keyword), expect, "shared")
        if expected is not None:
            self.compare(*expected[:3], want=expected[3], got=got)


TestFlatMachine = FlatMachine.TestCase
TestFlatMachine.settings = STATES
TestHNSWMachine = HNSWMachine.TestCase
TestHNSWMachine.settings = STATES
