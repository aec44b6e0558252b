"""The type stub as users get it: installed with the module, found by mypy
from outside the checkout, true to the module's signatures, precise enough
to type the examples and to reject wrong calls."""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig

import pytest

from conftest import ROOT, SANITIZED_BUILD

pytestmark = pytest.mark.skipif(SANITIZED_BUILD, reason="checks the installed package, which the sanitized build is not")

INSTALLED_STUB = pathlib.Path(sysconfig.get_paths()["platlib"]) / "tamsel-stubs" / "__init__.pyi"

# Each line marked "# E: code" must draw exactly that mypy error, and no
# other line any error.
WRONG_CALLS = """\
import tamsel

flat = tamsel.PyFlat(2)
graph = tamsel.PyHNSW(2, metric="euclidean", schema=["kind"])
pruned = tamsel.PyHNSW(2, metric="euclidean", prune=True)
tamsel.PyHNSW(2, None, None, None, None, "euclidean", None, True)  # E: call-arg
reveal_type(flat.search([0.0, 0.0]))
reveal_type(graph.search([0.0, 0.0], k=3, filter=("kind", 1)))
flat.search([0.0, 0.0], k="3")  # E: arg-type
graph.insert("ab")  # E: arg-type
graph.search([0.0, 0.0], filter=["kind", "a"])  # E: arg-type
graph.search([0.0, 0.0], filter=("kind", None))  # E: arg-type
tamsel.PyFlat(2.0)  # E: arg-type
flat.insert([1.0, 2.0], [("kind", "a")])  # E: call-arg
ids: list[int] = [distance for distance, _ in graph.search([0.0, 0.0])]  # E: misc
class Index(tamsel.PyFlat): ...  # E: misc
"""


def clean_env():
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    return env


def test_installed_stub_is_the_one_in_the_checkout():
    assert INSTALLED_STUB.is_file(), f"no stub installed at {INSTALLED_STUB}"
    assert INSTALLED_STUB.read_bytes() == (ROOT / "tamsel.pyi").read_bytes(), "installed stub is stale: reinstall"


def test_mypy_reads_the_installed_stub_types_the_examples_and_rejects_wrong_calls(tmp_path):
    for example in (ROOT / "examples").glob("*.py"):
        shutil.copy(example, tmp_path)
    (tmp_path / "wrong_calls.py").write_text(WRONG_CALLS)
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "-v", "--cache-dir", str(tmp_path / ".mypy_cache"), "."],
        cwd=tmp_path, env=clean_env(), capture_output=True, text=True, timeout=600,
    )
    assert f"Parsing {INSTALLED_STUB} (tamsel)" in proc.stderr, [l for l in proc.stderr.splitlines() if "tamsel" in l]

    reported = re.findall(r"^(\S+?\.py):(\d+): (error|note): (.*)$", proc.stdout, re.MULTILINE)
    errors = {(name, int(line), message.rsplit("[", 1)[-1].rstrip("]")) for name, line, kind, message in reported if kind == "error"}
    expected = {("wrong_calls.py", number, line.split("# E: ")[1])
                for number, line in enumerate(WRONG_CALLS.splitlines(), start=1) if "# E: " in line}
    assert errors == expected, proc.stdout
    revealed = [message for name, _, kind, message in reported if kind == "note" and message.startswith("Revealed")]
    assert revealed == ['Revealed type is "list[tuple[int, float]]"',
                        'Revealed type is "list[tuple[float, list[float]]]"'], proc.stdout


def test_stub_signatures_match_the_module(tmp_path):
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "tamsel"],
                          cwd=tmp_path, env=clean_env(), capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
