"""The examples and the demo run to the end against the module under test
(each example checks its own answers)."""

import os
import pathlib
import subprocess
import sys

import pytest

import tamsel
from conftest import ROOT, SANITIZED_BUILD

EXAMPLES = sorted((ROOT / "examples").glob("*.py"))


def run(args, cwd):
    env = dict(os.environ)
    module_dir = str(pathlib.Path(tamsel.__file__).parent)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    env["MPLBACKEND"] = "Agg"
    proc = subprocess.run([sys.executable, *map(str, args)], cwd=cwd, env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
    return proc.stdout


def test_the_three_examples_are_there():
    assert {"flat_search.py", "hnsw_filters.py", "numpy_input.py"} <= {path.name for path in EXAMPLES}


@pytest.mark.parametrize("example", EXAMPLES, ids=lambda path: path.name)
def test_example_runs(example, tmp_path):
    assert run([example], tmp_path).strip()


@pytest.mark.skipif(SANITIZED_BUILD, reason="the demo's libraries are slow under the sanitizer; the examples cover the module")
def test_demo_reports_and_draws(tmp_path):
    picture = tmp_path / "digits.png"
    out = run([ROOT / "demo" / "digits.py", "--out", picture], tmp_path)
    recall = float(out.split("recall@10 of PyHNSW against PyFlat: ")[1].split()[0])
    assert recall > 0.95, out
    for line in ("label agreement", "majority vote", "build", "query (median)", "ef_search"):
        assert line in out, out
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
