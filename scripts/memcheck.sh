#!/usr/bin/env bash
# A short valgrind memcheck of Python tests against the installed module
# (a couple of minutes). Python's own allocator is bypassed, so that memcheck
# sees every object. The run fails when a test fails or when memcheck reports
# an error of the module's: an invalid read, write or free that touches a
# block the module allocated or freed, or any error (uninitialised values
# included) whose innermost frame outside the C and C++ runtimes lies in the
# module. Errors that arise inside the interpreter itself are counted and
# reported, and do not fail the run.
#
# Usage: scripts/memcheck.sh [pytest arguments]  (default: the tests below)
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
need_debs valgrind
# The module installed by the test command will do, if it was built from
# these sources; otherwise build and install it with the test extras.
if ! grep -qsx "$(source_hash)" "$VENV/.tamsel-build" || [ ! -e "$VENV/.tamsel-extra-test" ]; then
  need_project test
fi

TESTS=("$@")
((${#TESTS[@]})) || TESTS=(tests/python/test_fuzz.py tests/python/test_boundary.py tests/python/test_array_inputs.py)
LOGS="$(mktemp -d)"
trap 'rm -rf "$LOGS"' EXIT

say "== valgrind memcheck: ${TESTS[*]}"
status=0
(cd "$ROOT" && PYTHONMALLOC=malloc valgrind --tool=memcheck --error-limit=no --num-callers=40 \
  --fullpath-after= --log-file="$LOGS/memcheck.%p.log" \
  "$PY" -m pytest -q -p no:cacheprovider "${TESTS[@]}") || status=$?

"$PY" - "$LOGS" "$ROOT/src/" <<'EOF' || status=1
import pathlib, re, sys

logs, sources = pathlib.Path(sys.argv[1]), sys.argv[2]
RUNTIMES = ("/libc.so", "/libc-", "/libm.so", "/libstdc++.so", "/libgcc_s.so", "/ld-linux", "vgpreload_", "vg_replace_")
INVALID = ("Invalid read", "Invalid write", "Invalid free", "Mismatched free", "Source and destination overlap")


def ours(frame):
    return "/tamsel." in frame or sources in frame or "tamsel::" in frame


ours_count, other_count = 0, 0
for log in sorted(logs.glob("memcheck.*.log")):
    for block in re.split(r"\n==\d+== \n", log.read_text()):
        lines = block.strip().splitlines()
        if not lines or not re.search(r"== (\w.*)", lines[0]) or not any(" at 0x" in l for l in lines[1:2]):
            continue
        kind = lines[0].split("== ", 1)[1]
        frames = [l for l in lines if re.search(r"== +(at|by) 0x", l)]
        innermost = next((f for f in frames if not any(r in f for r in RUNTIMES)), "")
        mine = ours(innermost) or (kind.startswith(INVALID) and any(ours(f) for f in frames))
        if mine:
            ours_count += 1
            print("\n".join(lines), file=sys.stderr)
        else:
            other_count += 1
print(f"memcheck: {ours_count} error contexts in the module, {other_count} in the interpreter and its libraries",
      file=sys.stderr)
sys.exit(1 if ours_count else 0)
EOF
exit "$status"
