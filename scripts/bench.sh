#!/usr/bin/env bash
# The benchmark: tamsel against hnswlib, faiss, usearch, numpy and
# scikit-learn on the same data, one thread each, and the work counters of
# the graph engine against the plain reference. Writes bench/results.md,
# bench/results.png and bench/counters.txt, then prints the engines' speed
# ratios against their peers (bench/engine.py).
#   scripts/bench.sh           the full run (several minutes)
#   scripts/bench.sh --quick   small data, written to a temporary directory
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
need_project bench

out="$ROOT/bench"
counters_args=(2000 128 100)
bench_args=()
if [ "${1:-}" = "--quick" ]; then
  out="$(mktemp -d)"
  counters_args=(400 32 20)
  bench_args=(--quick)
fi

COUNTERS_BUILD="$ROOT/build/bench"
cmake -S "$ROOT" -B "$COUNTERS_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAMSEL_BUILD_MODULE=OFF \
  -DTAMSEL_BUILD_BENCH=ON >/dev/null
cmake --build "$COUNTERS_BUILD" >/dev/null || cmake --build "$COUNTERS_BUILD"
"$COUNTERS_BUILD/engine_counters" "${counters_args[@]}" | tee "$out/counters.txt"
echo
"$PY" "$ROOT/bench/run.py" --out "$out" "${bench_args[@]}"
echo
"$PY" "$ROOT/bench/engine.py" "${bench_args[@]}"
