"""Re-entrant calls, panics, and what a call leaves behind."""

import functools
import gc
import subprocess
import sys

import pytest

import tamsel
from conftest import needs_fault_hooks, run_json, run_python, stored_vectors

PyFlat = tamsel.PyFlat
PyHNSW = tamsel.PyHNSW


# ------------------------------------------------------------ re-entrancy

class Callback:
    """Runs `action` from inside a conversion and records what it raised."""

    def __init__(self, action):
        self.action = action
        self.outcomes = []

    def run(self):
        try:
            self.outcomes.append(("returned", self.action()))
        except Exception as error:  # noqa: BLE001 - the outcome is the point
            self.outcomes.append((type(error), str(error)))


def element(callback, value=1.0):
    class Element:
        def __float__(self):
            callback.run()
            return value

        def __index__(self):
            callback.run()
            return int(value)

    return Element()


def sequence(callback, items, hook):
    """A sequence of `items` whose method `hook` runs the callback."""
    if hook == "__getitem__":

        class ByIndex:  # no __iter__ or __len__: iterated by index alone
            def __getitem__(self, position):
                callback.run()
                return items[position]

        return ByIndex()

    def hooked(self):
        callback.run()
        return getattr(list, hook)(self)

    return type("Hooked", (list,), {hook: hooked})(items)


def make_index():
    index = PyFlat(2, "inner_product")
    index.insert([1.0, 2.0])
    return index


OUTER_CALLS = {
    # name: (borrow kind, call taking the index and a callback)
    "insert-element": ("exclusive", lambda ix, cb: ix.insert([element(cb, 3.0), 4.0])),
    "insert-__iter__": ("exclusive", lambda ix, cb: ix.insert(sequence(cb, [3.0, 4.0], "__iter__"))),
    "insert-__len__": ("exclusive", lambda ix, cb: ix.insert(sequence(cb, [3.0, 4.0], "__len__"))),
    "insert-__getitem__": ("exclusive", lambda ix, cb: ix.insert(sequence(cb, [3.0, 4.0], "__getitem__"))),
    "create-nested-element": ("exclusive", lambda ix, cb: ix.create([[3.0, 4.0], [5.0, element(cb, 6.0)]])),
    "create-outer-__iter__": ("exclusive", lambda ix, cb: ix.create(sequence(cb, [[3.0, 4.0]], "__iter__"))),
    "create-inner-__len__": ("exclusive", lambda ix, cb: ix.create([sequence(cb, [3.0, 4.0], "__len__")])),
    "search-element": ("shared", lambda ix, cb: ix.search([element(cb, 1.0), 0.0], k=5)),
    "search-__getitem__": ("shared", lambda ix, cb: ix.search(sequence(cb, [1.0, 0.0], "__getitem__"), k=5)),
    "search-k": ("shared", lambda ix, cb: ix.search([1.0, 0.0], element(cb, 5))),
}

INNER_CALLS = {
    "search": ("shared", lambda ix: ix.search([1.0, 1.0], k=5)),
    "insert": ("exclusive", lambda ix: ix.insert([9.0, 9.0])),
    "create": ("exclusive", lambda ix: ix.create([[9.0, 9.0]])),
}


@pytest.mark.parametrize("inner", list(INNER_CALLS))
@pytest.mark.parametrize("outer", list(OUTER_CALLS))
def test_reentrant_calls_follow_the_borrow_rules(outer, inner):
    index = make_index()
    outer_kind, outer_call = OUTER_CALLS[outer]
    inner_kind, inner_call = INNER_CALLS[inner]
    callback = Callback(lambda: inner_call(index))
    outer_result = outer_call(index, callback)
    assert callback.outcomes, "the callback never ran"

    after_outer = [[1.0, 2.0]]
    if outer.startswith("insert"):
        after_outer.append([3.0, 4.0])
    elif outer.startswith("create"):
        after_outer += [[3.0, 4.0], [5.0, 6.0]][: 2 if "nested" in outer else 1]
    if outer_kind == "shared":
        assert outer_result == [(0, 1.0)]
    if outer_kind == "exclusive":
        expected = "Already borrowed" if inner_kind == "exclusive" else "Already mutably borrowed"
        assert set(callback.outcomes) == {(RuntimeError, expected)}
        assert stored_vectors(index, 2) == after_outer
    elif inner_kind == "exclusive":
        assert set(callback.outcomes) == {(RuntimeError, "Already borrowed")}
        assert stored_vectors(index, 2) == after_outer
    else:
        # Searches may overlap.
        assert all(kind == "returned" for kind, _ in callback.outcomes)
        assert callback.outcomes[0][1] == [(0, 3.0)]
    # Every borrow was given back.
    index.insert([0.5, 0.5])
    index.create([[0.25, 0.25]])
    assert stored_vectors(index, 2)[-2:] == [[0.5, 0.5], [0.25, 0.25]]


def test_refused_call_propagates_unprefixed_and_is_released():
    index = make_index()

    class Meddler:
        def __float__(self):
            index.insert([7.0, 7.0])
            return 1.0

    with pytest.raises(RuntimeError) as info:
        index.search([Meddler(), 0.0])
    assert type(info.value) is RuntimeError
    assert info.value.args == ("Already borrowed",)
    assert stored_vectors(index, 2) == [[1.0, 2.0]]


def test_binding_comes_before_and_conversion_after_the_borrow():
    index = make_index()
    callback = Callback(lambda: index.insert())
    index.search([element(callback), 0.0])
    assert callback.outcomes == [(TypeError, "PyFlat.insert() missing 1 required positional argument: 'vector'")]
    callback = Callback(lambda: index.insert("not a vector"))
    index.search([element(callback), 0.0])
    assert callback.outcomes == [(RuntimeError, "Already borrowed")]


def test_other_instances_are_independent():
    index, other = make_index(), make_index()
    callback = Callback(lambda: other.insert([5.0, 5.0]))
    index.search([element(callback), 0.0])
    assert callback.outcomes == [("returned", None)]
    assert stored_vectors(other, 2) == [[1.0, 2.0], [5.0, 5.0]]


@pytest.mark.parametrize("method", ["insert", "create", "search"])
def test_instance_outlives_its_call_when_the_caller_lets_go(method):
    # A partial hands its stored arguments on without holding them for the
    # call; replacing its state mid-call drops the instance's last reference.
    call = functools.partial(getattr(PyFlat, method), make_index())

    class Dropper:
        def __float__(self):
            call.__setstate__((getattr(PyFlat, method), (), None, None))
            gc.collect()
            return 1.0

    arguments = {"insert": ([Dropper(), 1.0],), "create": ([[Dropper(), 1.0]],), "search": ([Dropper(), 1.0], 3)}
    result = call(*arguments[method])
    if method == "search":
        assert result == [(0, 3.0)]
    else:
        assert result is None


# ----------------------------------------------------------------- leaks

class KeepsSequence(list):
    """Iterates through an iterator that keeps its sequence alive, so that a
    leaked iterator shows in the sequence's reference count."""

    def __iter__(self):
        return KeepingIterator(self)


class KeepingIterator:
    def __init__(self, sequence):
        self.sequence = sequence
        self.position = 0

    def __iter__(self):
        return self

    def __next__(self):
        if self.position >= len(self.sequence):
            raise StopIteration
        self.position += 1
        return self.sequence[self.position - 1]


class Caused:
    def __init__(self, cause):
        self.cause = cause

    def __float__(self):
        raise TypeError("refused") from self.cause


def test_calls_leave_argument_reference_counts_unchanged():
    # Values built at run time, so that none is a shared constant.
    metric = "".join(["inner_", "product"])
    dim = 2
    big_dim = int("300")
    k = int("1000")
    x, y = float("1.5"), float("2.5")
    vector = [x, y]
    vectors = [vector, [y, x]]
    bad_text = "".join(["x", "y"])
    bad_vector = [x, bad_text]
    short = [x]
    cause = KeyError("root")
    caused = [Caused(cause), y]
    keyword_value = [x]
    kept = KeepsSequence([x, y])
    kept_rows = KeepsSequence([kept, vector])
    kept_bad = KeepsSequence([x, bad_text])
    tracked = [metric, big_dim, k, x, y, vector, vectors, bad_text, bad_vector, short, cause, caused, keyword_value,
               kept, kept_rows, kept_bad]

    index = PyFlat(dim, metric)
    empty = PyFlat(dim, metric)
    gc.collect()
    before = [sys.getrefcount(obj) for obj in tracked]
    index_refs = sys.getrefcount(index)

    def attempt(call):
        try:
            call()
        except Exception:  # noqa: BLE001 - failing calls are part of the check
            pass

    for _ in range(2000):
        PyFlat(dim, metric)
        PyFlat(dim=big_dim, metric=metric)
        index.insert(vector)
        index.create(vectors)
        index.search(vector, k)
        index.search(query=vector, k=k)
        index.insert(kept)
        index.create(kept_rows)
        index.search(kept, k)
        for call in (
            lambda: index.insert(bad_vector),
            lambda: index.insert(short),
            lambda: index.insert(caused),
            lambda: index.insert(vector, keyword_value),
            lambda: index.insert(vector, bogus=keyword_value),
            lambda: index.insert(vector=vector, vectors=keyword_value),
            lambda: index.create([vector, short]),
            lambda: index.create([vector, bad_vector]),
            lambda: index.create(bad_text),
            lambda: index.insert(kept_bad),
            lambda: index.create(KeepsSequence([kept, kept_bad])),
            lambda: index.search(short, k),
            lambda: index.search(bad_vector, k),
            lambda: index.search(vector, bad_text),
            lambda: index.search(caused, k),
            lambda: empty.search(vector, k),
            lambda: empty.create([]),
            lambda: PyFlat(bad_text, metric),
            lambda: PyFlat(dim, k),
            lambda: PyFlat(dim, metric, keyword_value),
            lambda: PyHNSW(dim, metric=metric, schema=[bad_text]),
            lambda: PyHNSW(dim, metric=bad_text, schema=bad_vector),
        ):
            attempt(call)
    gc.collect()
    assert [sys.getrefcount(obj) for obj in tracked] == before
    assert sys.getrefcount(index) == index_refs


def test_reentrant_refusals_leave_reference_counts_unchanged():
    index = make_index()
    vector = [float("3.5"), float("4.5")]
    callback = Callback(lambda: index.insert(vector))
    before = sys.getrefcount(vector), sys.getrefcount(index)
    for _ in range(2000):
        index.search([element(callback), 0.0])
    callback.outcomes.clear()
    gc.collect()
    assert (sys.getrefcount(vector), sys.getrefcount(index)) == before


# ---------------------------------------------------------------- panics

FAULT_KINDS = [
    ("panic", "PanicException", "injected fault at {site}"),
    ("std", "PanicException", "injected C++ exception at {site}"),
    ("opaque", "PanicException", "panic from Lorvan code"),
    ("oom", "MemoryError", None),
]

METHOD_FAULT_SCRIPT = """
import json
import tamsel
index = tamsel.PyFlat(2)
# Set up through a method other than the one that faults: the fault fires
# at the first call of its site.
if METHOD == "insert":
    index.create([[3.0, 4.0]])
else:
    index.insert([3.0, 4.0])
calls = {
    "insert": lambda: index.insert([1.0, 1.0]),
    "search": lambda: index.search([0.0, 0.0], 5),
    "create": lambda: index.create([[1.0, 1.0]]),
}
report = {}
try:
    try:
        calls[METHOD]()
        report["outcome"] = "returned"
    except Exception as error:
        report["outcome"] = "caught by Exception: " + type(error).__name__
except BaseException as error:
    kind = type(error)
    report.update(outcome="caught by BaseException", name=kind.__name__, module=kind.__module__,
                  bases_exact=kind.__bases__ == (BaseException,), args=list(error.args),
                  doc=kind.__doc__, is_exception=issubclass(kind, Exception))
# The borrow was released and the faulting call added nothing.
index.insert([6.0, 8.0])
index.create([[0.0, 1.0]])
report["after"] = index.search([0.0, 0.0], 10)
print(json.dumps(report))
"""


@needs_fault_hooks
@pytest.mark.parametrize("kind, exception, message", FAULT_KINDS)
@pytest.mark.parametrize("method", ["insert", "search", "create"])
def test_fault_in_a_method(method, kind, exception, message):
    site = f"PyFlat.{method}"
    report, stderr = run_json(METHOD_FAULT_SCRIPT.replace("METHOD", repr(method)), fault=f"{site}:{kind}")
    assert report["after"] == [[2, 1.0], [0, 5.0], [1, 10.0]]
    if exception == "MemoryError":
        assert report["outcome"] == "caught by Exception: MemoryError"
        return
    text = message.format(site=site)
    assert report["outcome"] == "caught by BaseException"
    assert report["name"] == "PanicException"
    assert report["module"] == "quorl_runtime"
    assert report["bases_exact"]
    assert not report["is_exception"]
    assert report["args"] == [text]
    assert "BaseException" in report["doc"] and "SystemExit" in report["doc"]
    assert text in stderr


@needs_fault_hooks
@pytest.mark.parametrize("kind, exception, message", FAULT_KINDS)
@pytest.mark.parametrize(
    "site, construct",
    [("PyFlat.__new__", "tamsel.PyFlat(2, 'cosine')"), ("PyHNSW.__new__", "tamsel.PyHNSW(2, metric='angular')")],
)
def test_fault_in_a_constructor(site, construct, kind, exception, message):
    report, stderr = run_json(
        f"""
        import json
        import tamsel
        try:
            {construct}
            outcome = ["returned", None]
        except BaseException as error:
            outcome = [type(error).__name__, list(error.args)]
        again = type({construct}).__name__
        print(json.dumps({{"outcome": outcome, "again": again}}))
        """,
        fault=f"{site}:{kind}",
    )
    expected_args = [] if message is None else [message.format(site=site)]
    assert report["outcome"] == [exception, expected_args]
    assert report["again"] == site.split(".")[0]
    if message is not None:
        assert message.format(site=site) in stderr


@needs_fault_hooks
@pytest.mark.parametrize("kind, exception, message", FAULT_KINDS)
@pytest.mark.parametrize("cls", ["PyFlat", "PyHNSW"])
def test_fault_in_deallocation_is_unraisable(cls, kind, exception, message):
    site = f"{cls}.dealloc"
    report, _ = run_json(
        f"""
        import json, sys
        import tamsel
        seen = []
        sys.unraisablehook = lambda info: seen.append([info.exc_type.__name__, [str(a) for a in info.exc_value.args]])

        def make():
            return tamsel.{cls}(2, metric="euclidean")

        # The temporary instance dies while the TypeError of the failed
        # subscription is already pending; that error must still arrive.
        try:
            [][make()]
            pending = None
        except TypeError as error:
            pending = type(error).__name__
        index = make()
        del index
        print(json.dumps({{"seen": seen, "pending": pending}}))
        """,
        fault=f"{site}:{kind}",
    )
    expected_args = [] if message is None else [message.format(site=site)]
    assert report == {"seen": [[exception, expected_args]], "pending": "TypeError"}


@needs_fault_hooks
def test_every_panic_has_the_same_exception_type():
    report, stderr = run_json(
        """
        import json
        import tamsel
        index = tamsel.PyFlat(1)
        caught = []
        for call in (lambda: index.insert([1.0]), lambda: index.search([1.0]),
                     lambda: tamsel.PyHNSW(1, metric="euclidean")):
            try:
                call()
            except BaseException as error:
                caught.append(error)
        print(json.dumps({"same": all(type(e) is type(caught[0]) for e in caught), "count": len(caught),
                          "messages": [str(e) for e in caught],
                          "module_attribute": hasattr(tamsel, "PanicException")}))
        """,
        fault="PyFlat.insert:panic,PyFlat.search:std,PyHNSW.__new__:opaque",
    )
    assert report == {
        "same": True,
        "count": 3,
        "messages": ["injected fault at PyFlat.insert", "injected C++ exception at PyFlat.search", "panic from Lorvan code"],
        "module_attribute": False,
    }
    for text in report["messages"]:
        assert text in stderr


PANIC_COMING_BACK = """
import json
import tamsel
index = tamsel.PyFlat(2)
index.insert([3.0, 4.0])
try:
    index.search([0.0, 0.0])
except BaseException as error:
    Panic = type(error)

raised = []

def panic_here(text):
    raised.append(Panic(text))
    raise raised[-1]

class Element:
    def __float__(self):
        panic_here("from __float__")

    def __index__(self):
        panic_here("from __index__")

class Iterated(list):
    def __iter__(self):
        panic_here("from __iter__")

class Sized(list):
    def __len__(self):
        panic_here("from __len__")

calls = {
    "insert-element": lambda: index.insert([1.0, Element()]),
    "insert-__iter__": lambda: index.insert(Iterated([1.0, 1.0])),
    "insert-__len__": lambda: index.insert(Sized([1.0, 1.0])),
    "create-nested": lambda: index.create([[1.0, 1.0], [1.0, Element()]]),
    "search-element": lambda: index.search([Element(), 0.0]),
    "search-k": lambda: index.search([0.0, 0.0], Element()),
    "PyFlat-dim": lambda: tamsel.PyFlat(Element()),
    "PyHNSW-ef_search": lambda: tamsel.PyHNSW(2, ef_search=Element(), metric="euclidean"),
}
try:
    try:
        calls[CALL]()
        outcome = "returned"
    except Exception as error:
        outcome = "caught by Exception"
except BaseException as error:
    outcome = {"same_type": type(error) is Panic, "fresh": error is not raised[-1],
               "args": list(error.args), "raised": str(raised[-1])}
index.insert([6.0, 8.0])
print(json.dumps({"outcome": outcome, "after": index.search([0.0, 0.0], 10)}))
"""


@needs_fault_hooks
@pytest.mark.parametrize(
    "call, hook",
    [
        ("insert-element", "__float__"),
        ("insert-__iter__", "__iter__"),
        ("insert-__len__", "__len__"),
        ("create-nested", "__float__"),
        ("search-element", "__float__"),
        ("search-k", "__index__"),
        ("PyFlat-dim", "__index__"),
        ("PyHNSW-ef_search", "__index__"),
    ],
)
def test_panic_exception_raised_by_python_code_continues_as_a_panic(call, hook):
    report, stderr = run_json(PANIC_COMING_BACK.replace("CALL", repr(call)), fault="PyFlat.search:panic")
    text = f"from {hook}"
    assert report["outcome"] == {"same_type": True, "fresh": True, "args": [text], "raised": text}
    assert report["after"] == [[0, 5.0], [1, 10.0]]
    # A notice, then the traceback of the exception that came back.
    notice = stderr.split("injected fault at PyFlat.search", 1)[1]
    assert "Traceback (most recent call last)" in notice
    assert f"in {hook}" in notice
    assert f"PanicException: {text}" in notice
    assert notice.count(text) >= 2


# --------------------------------------------------------- interpreter exit

DAEMON_AT_EXIT = """
import fractions, sys, threading, time, tamsel
g = tamsel.PyHNSW(64, metric="euclidean")
g.insert([0.0] * 64)
q = [fractions.Fraction(1, 3)] * 64  # each element converts through Python code
threading.Thread(target=lambda: [g.search(q) for _ in iter(int, 1)], daemon=True).start()
time.sleep(0.2)
sys.stdout.write("x" * 100000)
"""


def test_daemon_thread_inside_a_call_at_interpreter_exit():
    # Finalisation ends the daemon thread with a forced unwind while it is
    # inside a conversion: the unwind must pass through the call untouched,
    # releasing no Python object. A busy core makes the timing likely.
    spinner = subprocess.Popen([sys.executable, "-c", "while True: pass"])
    try:
        runs = [run_python(DAEMON_AT_EXIT, timeout=60) for _ in range(10)]
    finally:
        spinner.kill()
        spinner.wait()
    failures = [(run.returncode, run.stderr[-300:]) for run in runs if run.returncode != 0]
    assert failures == []
