import os
import pathlib

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
