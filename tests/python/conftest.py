import json
import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import tamsel

ROOT = pathlib.Path(__file__).resolve().parents[2]

# The test command runs this suite twice: against the installed module, and
# against the sanitized build, which also has fault injection compiled in.
SANITIZED_BUILD = os.environ.get("TAMSEL_TEST_BUILD") == "sanitize"


def pytest_report_header(config):
    return f"tamsel module: {tamsel.__file__}"


def pytest_sessionstart(session):
    if SANITIZED_BUILD:
        expected = ROOT / "build" / "sanitize"
        if pathlib.Path(tamsel.__file__).parent != expected:
            raise pytest.UsageError(f"expected the sanitized module from {expected}, got {tamsel.__file__}")


needs_fault_hooks = pytest.mark.skipif(not SANITIZED_BUILD, reason="fault injection is compiled into the sanitized build only")


def run_python(code, fault=None, timeout=120, env=None):
    """Runs `code` in a fresh interpreter that imports the same tamsel module.

    Faults are read once per process, and re-initialisation can only be
    observed in a process that has not imported the module yet, so such tests
    run here. Returns the completed process (text stdout and stderr).
    """
    overrides = env or {}
    env = dict(os.environ)
    env.pop("TAMSEL_FAULT", None)
    env.update(overrides)
    if fault is not None:
        env["TAMSEL_FAULT"] = fault
    module_dir = str(pathlib.Path(tamsel.__file__).parent)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
        cwd=ROOT,
    )


def run_json(code, fault=None, env=None):
    """Runs `code`, which must print one JSON document as its last line of
    output, and returns (that document, standard error)."""
    proc = run_python(code, fault, env=env)
    assert proc.returncode == 0, f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    lines = proc.stdout.strip().splitlines()
    assert lines, f"no output\nstderr:\n{proc.stderr}"
    return json.loads(lines[-1]), proc.stderr


def stored_vectors(index, dim):
    """The vectors held by an "inner_product" index, read back by querying
    with each unit vector: the product with unit vector j is component j
    exactly, for finite components."""
    columns = []
    for j in range(dim):
        unit = [0.0] * dim
        unit[j] = 1.0
        columns.append(dict(index.search(unit, k=2**32 - 1)))
    ids = sorted(columns[0]) if columns else []
    return [[column[i] for column in columns] for i in ids]
