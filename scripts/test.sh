#!/usr/bin/env bash
# Every test: the C++ cores (GoogleTest), the Python surface against the
# installed module and again against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, a valgrind memcheck of part of it, the
# benchmark in quick mode, and the packages built and installed afresh.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
need_debs libgtest-dev valgrind
need_project demo,test,ray

SAN_BUILD="$ROOT/build/sanitize"
cmake -S "$ROOT" -B "$SAN_BUILD" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMSEL_BUILD_TESTS=ON -DTAMSEL_SANITIZE=ON \
  -DTAMSEL_FAULT_HOOKS=ON -DTAMSEL_WERROR=ON -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build "$SAN_BUILD" >/dev/null || cmake --build "$SAN_BUILD"

say "== C++ cores (sanitized)"
"$SAN_BUILD/core_tests" --gtest_brief=1

say "== Python surface (installed module)"
(cd "$ROOT" && "$PY" -m pytest -q -p no:cacheprovider tests/python)

say "== Python surface (sanitized build with fault hooks)"
# The interpreter is not built with the sanitizer, so its runtime is
# preloaded, and leak detection stays off for the interpreter's own memory.
# The C++ runtime is preloaded too: the interpreter does not link it, and the
# sanitizer's exception interceptor needs it present from the start.
(cd "$ROOT" && \
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" ASAN_OPTIONS=detect_leaks=0 \
  UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH="$SAN_BUILD" TAMSEL_TEST_BUILD=sanitize \
  "$PY" -m pytest -q -p no:cacheprovider tests/python)

say "== Valgrind memcheck of the Python surface (installed module)"
"$ROOT/scripts/memcheck.sh"

say "== Benchmark, quick mode (that it still runs)"
"$ROOT/scripts/bench.sh" --quick >/dev/null

say "== Packages: sdist, wheel built from it, install into a fresh environment"
"$ROOT/scripts/package_check.sh"
