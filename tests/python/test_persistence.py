"""Saving, loading, pickling and copying both classes: exact round trips,
hostile files that must fail with ValueError or OSError only, and saves that
die or are interrupted halfway without harming the file they replace."""

import copy
import json
import math
import os
import pathlib
import pickle
import random
import signal
import struct
import subprocess
import sys
import textwrap
import time

import pytest

import tamsel
from conftest import SANITIZED_BUILD, run_json, run_python
from tamsel import PyFlat, PyHNSW


def answers(index, queries, filters):
    """Every answer as bits, so that NaN and -0.0 compare exactly."""
    out = []
    for q in queries:
        for k in (1, 3, 50):
            for f in filters:
                try:
                    result = index.search(q, k, f) if f is not None else index.search(q, k)
                except ValueError as error:
                    out.append(("error", str(error)))
                    continue
                out.append(repr([(struct.pack("<d", a) if isinstance(a, float) else a,
                                  [struct.pack("<d", x) for x in b] if isinstance(b, list) else struct.pack("<d", b))
                                 for a, b in result]))
    return out


def build(cls, metric, variant, count):
    rng = random.Random(f"{cls.__name__}{metric}{variant}{count}")
    dim = 5
    specials = [0.0, -0.0, 1.0, -1.5, 1e300, float("nan"), float("inf")]
    vectors = [[rng.choice(specials) if rng.random() < 0.05 else rng.uniform(-2, 2) for _ in range(dim)]
               for _ in range(count)]
    if cls is PyFlat:
        index = PyFlat(dim, metric)
        if vectors:
            index.create(vectors)
        return index, [None]
    schema = {"none": None, "empty": [], "schema": ["kind", "size", "kind"]}[variant]
    index = PyHNSW(dim, layers=4, ef_construction=20, ef_search=12, metric=metric, schema=schema)
    for i, v in enumerate(vectors):
        if variant == "schema" and i % 7 != 3:
            value = [("kind", ["a", "ä€", ""][i % 3]), ("size", [i % 4, float(i % 4), float("nan"), -0.0][i % 4])]
            index.insert(v, value)
        elif variant == "empty" and i % 2:
            index.insert(v, [])
        else:
            index.insert(v)
    filters = [None]
    if variant == "schema":
        filters += [("size", 2), ("size", 1.0), ("kind", "ä€"), ("kind", ""), ("size", -0.0)]
    elif variant == "empty":
        filters += [("kind", "a")]
    return index, filters


CASES = (
    [pytest.param(PyFlat, metric, None, count, id=f"flat-{metric}-{count}")
     for metric in (None, "cosine", "inner_product") for count in (0, 1, 130)]
    + [pytest.param(PyHNSW, metric, variant, count, id=f"hnsw-{metric}-{variant}-{count}")
       for metric in ("euclidean", "angular", "inner_product") for variant in ("none", "empty", "schema")
       for count in (0, 150)]
)


@pytest.mark.parametrize("cls, metric, variant, count", CASES)
def test_every_way_back_answers_bit_for_bit_and_keeps_growing(tmp_path, cls, metric, variant, count):
    index, filters = build(cls, metric, variant, count)
    rng = random.Random(1)
    queries = [[rng.uniform(-2, 2) for _ in range(5)] for _ in range(6)] + [[0.0] * 5]
    expected = answers(index, queries, filters)
    path = tmp_path / "index.tamsel"
    index.save(path)
    index.save(str(path))  # replacing an existing file, by str this time
    assert not [p for p in tmp_path.iterdir() if p != path], "temporary files left behind"
    copies = {"load": cls.load(path), "load-str": cls.load(str(path)),
              "copy": copy.copy(index), "deepcopy": copy.deepcopy(index)}
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        copies[f"pickle-{protocol}"] = pickle.loads(pickle.dumps(index, protocol))
    for how, other in copies.items():
        assert type(other) is cls and other is not index, how
        assert answers(other, queries, filters) == expected, how
    with pytest.raises(ValueError, match="^the file holds a Py"):
        (PyHNSW if cls is PyFlat else PyFlat).load(path)

    # Loaded indexes are independent and keep accepting vectors.
    loaded = copies["load"]
    new = [[0.25 * i, 1.0, -1.0, 0.5, 2.0] for i in range(1, 30)]
    for v in new:
        loaded.insert(v)
    assert answers(index, queries, filters) == expected
    assert answers(copies["copy"], queries, filters) == expected
    if cls is PyFlat:
        index.create(new)
        assert answers(loaded, queries, filters) == answers(index, queries, filters)
    elif metric == "euclidean":
        assert loaded.search(new[-1], 1) == [(0.0, new[-1])]
    loaded.save(path)
    assert answers(cls.load(path), queries, filters) == answers(loaded, queries, filters)


def mutations(data, rng):
    n = len(data)
    yield "empty", b""
    for cut in sorted({1, 7, 8, 63, 64, 65, n // 2, n - 9, n - 8, n - 1} | {rng.randrange(n) for _ in range(10)}):
        yield f"truncated-{cut}", data[:cut]
    for extra in (b"\0", b"x" * 100):
        yield f"extended-{len(extra)}", data + extra
    for i in range(60):
        pos = i if i < 64 else rng.randrange(n)
        pos = rng.randrange(n) if i >= 40 else pos
        flipped = bytearray(data)
        flipped[pos] ^= 1 << rng.randrange(8)
        yield f"flip-{pos}", bytes(flipped)
    for i in range(8):
        noise = bytearray(rng.randbytes(rng.randrange(n)))
        if i % 2:
            noise[:8] = data[:8]  # our magic, anything after it
        yield f"random-{i}", bytes(noise)
    for offset, width in ((16, 8), (24, 8), (32, 4)):  # lengths that overflow or disagree with the file
        bad = bytearray(data)
        bad[offset:offset + width] = b"\xff" * width
        yield f"huge-{offset}", bytes(bad)


def test_hostile_files_raise_value_or_os_error_only(tmp_path):
    hnsw, _ = build(PyHNSW, "angular", "schema", 60)
    flat, _ = build(PyFlat, "cosine", None, 20)
    rng = random.Random(5)
    cases = []
    for cls, index in ((PyHNSW, hnsw), (PyFlat, flat)):
        data = index.__reduce__()[1][0]
        for name, mutated in mutations(data, rng):
            path = tmp_path / f"{cls.__name__}-{name}"
            path.write_bytes(mutated)
            cases.append((cls.__name__, str(path)))
    (tmp_path / "dir").mkdir()
    cases += [("PyFlat", str(tmp_path / "missing")), ("PyFlat", str(tmp_path / "dir"))]
    # The child may not map more than a few hundred megabytes: a length
    # taken on trust would show up as MemoryError. (The sanitizer's shadow
    # memory needs more address space than that.)
    limit = "" if SANITIZED_BUILD else "resource.setrlimit(resource.RLIMIT_AS, (768 << 20, 768 << 20))"
    outcome, stderr = run_json(f"""
        import json, pathlib, resource, tamsel
        {limit}
        results = []
        for cls, path in {cases!r}:
            for how in ("load", "restore") if pathlib.Path(path).is_file() else ("load",):
                try:
                    if how == "load":
                        getattr(tamsel, cls).load(path)
                    else:
                        tamsel._restore(pathlib.Path(path).read_bytes())
                    results.append([path, how, "loaded", ""])
                except Exception as error:
                    results.append([path, how, type(error).__name__, str(error)])
        print(json.dumps(results))
    """)
    assert len(outcome) == 2 * len(cases) - 2
    bad = [r for r in outcome if r[2] not in {"ValueError", "FileNotFoundError", "IsADirectoryError"}]
    assert not bad, bad
    messages = {r[3] for r in outcome}
    for message in ("not a tamsel index file", "truncated", "checksum mismatch",
                    "unexpected data after the end of the index"):
        assert message in messages
    missing = [r for r in outcome if r[0].endswith("missing") and r[1] == "load"][0]
    assert missing[2] == "FileNotFoundError" and "missing" in missing[3]


SAVER = """
    import signal, sys, numpy, tamsel
    signal.signal(signal.SIGINT, signal.default_int_handler)  # a background parent may have ignored it
    index = tamsel.PyFlat(16)
    index.create(numpy.ones((2_000_000, 16)))
    print("ready", flush=True)
    try:
        while True:
            index.save(sys.argv[1])
    except KeyboardInterrupt:
        print("interrupted", flush=True)
"""


@pytest.mark.parametrize("how", ["SIGKILL", "SIGINT"])
def test_a_save_that_dies_or_is_interrupted_leaves_the_old_file(tmp_path, how):
    target = tmp_path / "index.tamsel"
    old = PyFlat(2)
    old.insert([1.0, 2.0])
    old.save(target)
    before = target.read_bytes()
    module_dir = str(pathlib.Path(tamsel.__file__).parent)
    env = dict(os.environ, PYTHONPATH=module_dir)
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(SAVER), str(target)], env=env,
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        deadline = time.monotonic() + 60
        # Strike while a temporary file is being filled.
        while not [p for p in tmp_path.iterdir() if ".tmp-" in p.name and p.stat().st_size > 1 << 20]:
            assert time.monotonic() < deadline and child.poll() is None
            time.sleep(0.005)
        child.send_signal(getattr(signal, how))
        out, _ = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert target.read_bytes() == before
    assert PyFlat.load(target).search([0.0, 0.0]) == [(0, math.sqrt(5.0))]
    leftovers = [p for p in tmp_path.iterdir() if p != target]
    if how == "SIGINT":
        assert out.strip() == "interrupted" and child.returncode == 0
        assert not leftovers, leftovers
    else:
        assert child.returncode == -signal.SIGKILL


def test_saving_where_nothing_can_be_written_raises_os_error(tmp_path):
    target = tmp_path / "index.tamsel"
    PyFlat(1).save(target)
    before = target.read_bytes()
    tmp_path.chmod(0o555)
    try:
        # Root writes anywhere; the save is tried as an ordinary user then.
        proc = run_python(f"""
            import os, tamsel
            if os.geteuid() == 0:
                os.setgid(65534)
                os.setuid(65534)
            index = tamsel.PyFlat(1)
            index.insert([3.0])
            try:
                index.save({str(target)!r})
            except OSError as error:
                print(type(error).__name__, error.errno, error.filename)
        """)
    finally:
        tmp_path.chmod(0o755)
    assert proc.stdout.split() == ["PermissionError", "13", str(target)], proc.stderr
    assert target.read_bytes() == before
    assert [p.name for p in tmp_path.iterdir()] == ["index.tamsel"]
    with pytest.raises(TypeError, match="^argument 'path': "):
        PyFlat(1).save(3)
    with pytest.raises(TypeError, match="PyFlat.load\\(\\) missing 1 required positional argument: 'path'"):
        PyFlat.load()
