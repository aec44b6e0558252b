#!/usr/bin/env bash
# The distributions: builds the sdist and, from that sdist, the wheel in an
# isolated build environment (python -m build); checks what each one holds;
# installs the wheel into a fresh virtual environment, outside the checkout,
# and runs a smoke test and the examples there; checks that mypy finds the
# installed type stub; uninstalls. Needs PyPI for the isolated build.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
need_project test

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

say "-- python -m build (the sdist, then the wheel from it)"
if ! "$PY" -m build --outdir "$work/dist" "$ROOT" >"$work/build.log" 2>&1; then
  cat "$work/build.log" >&2
  exit 1
fi

say "-- contents and metadata"
"$PY" - "$work/dist" "$ROOT" <<'EOF'
import email.parser
import pathlib
import sys
import tarfile
import zipfile

dist, root = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
(sdist,) = dist.glob("tamsel-*.tar.gz")
(wheel,) = dist.glob("tamsel-*.whl")
problems = []

with tarfile.open(sdist) as archive:
    names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
for needed in ["pyproject.toml", "CMakeLists.txt", "tamsel.pyi", "README.md", "LICENSE", "PKG-INFO",
               "src/module/module.cc", "src/module/exports.map", "src/hnsw/hnsw.cc", "src/flat/flat.cc"]:
    if needed not in names:
        problems.append(f"sdist lacks {needed}")
for name in names:
    if name.split("/")[0] in {"build", ".venv", "dist", ".pytest_cache", ".mypy_cache", ".git"}:
        problems.append(f"sdist holds {name}")

with zipfile.ZipFile(wheel) as archive:
    names = set(archive.namelist())
    info = next(name.split("/")[0] for name in names if name.endswith(".dist-info/METADATA"))
    metadata = email.parser.Parser().parsestr(archive.read(f"{info}/METADATA").decode())
    stub = archive.read("tamsel-stubs/__init__.pyi") if "tamsel-stubs/__init__.pyi" in names else None
extensions = [name for name in names if name.startswith("tamsel.cpython-") and name.endswith(".so")]
if len(extensions) != 1:
    problems.append(f"wheel holds {len(extensions)} extension modules")
if stub != (root / "tamsel.pyi").read_bytes():
    problems.append("wheel lacks tamsel-stubs/__init__.pyi, or it differs from tamsel.pyi")
if f"{info}/licenses/LICENSE" not in names:
    problems.append("wheel lacks the LICENSE")
for needed in ["tamsel_ray/__init__.py", "tamsel_ray/py.typed"]:
    if needed not in names:
        problems.append(f"wheel lacks {needed}")
other = sorted(n for n in names if n not in extensions and not n.startswith(("tamsel-stubs/", "tamsel_ray/", info + "/")))
if other:
    problems.append(f"wheel holds unexpected files: {other}")

expected = {"Name": "tamsel", "License-Expression": "MIT", "Requires-Python": ">=3.11",
            "Description-Content-Type": "text/markdown"}
for field, value in expected.items():
    if metadata.get(field) != value:
        problems.append(f"METADATA {field} is {metadata.get(field)!r}, not {value!r}")
for field in ["Version", "Summary", "Author"]:
    if not metadata.get(field):
        problems.append(f"METADATA lacks {field}")
classifiers = metadata.get_all("Classifier") or []
if "Typing :: Typed" not in classifiers or "Programming Language :: Python :: 3.11" not in classifiers:
    problems.append(f"METADATA classifiers incomplete: {classifiers}")
if "# tamsel" not in metadata.get_payload():
    problems.append("METADATA lacks the README as its description")
runtime = [r for r in metadata.get_all("Requires-Dist") or [] if "extra ==" not in r]
if runtime:
    problems.append(f"runtime dependencies: {runtime}")

if problems:
    sys.exit("\n".join(problems))
print(f"{sdist.name}: {sdist.stat().st_size // 1024} KiB; {wheel.name}: {wheel.stat().st_size // 1024} KiB")
EOF

say "-- the wheel in a fresh virtual environment"
python3 -m venv "$work/venv"
VPY="$work/venv/bin/python"
"$VPY" -m pip install -q --no-index --disable-pip-version-check "$work"/dist/tamsel-*.whl
cp "$ROOT/examples/flat_search.py" "$ROOT/examples/hnsw_filters.py" "$work/"
(
  cd "$work"
  "$VPY" - <<'EOF'
import pathlib
import sys

import tamsel

assert pathlib.Path(tamsel.__file__).is_relative_to(sys.prefix), tamsel.__file__
assert tamsel.__all__ == ["PyFlat", "PyHNSW"]
flat = tamsel.PyFlat(2)
flat.create([[0.0, 0.0], [3.0, 4.0]])
flat.insert([1.0, 0.0])
assert flat.search([0.0, 0.0], k=10) == [(0, 0.0), (2, 1.0), (1, 5.0)]
graph = tamsel.PyHNSW(2, metric="euclidean", schema=["kind"])
graph.create([[0.0, 0.0], [3.0, 4.0]], [[("kind", "a")], [("kind", "b")]])
graph.insert([1.0, 0.0], [("kind", "b")])
assert graph.search([0.0, 0.0], k=10) == [(0.0, [0.0, 0.0]), (1.0, [1.0, 0.0]), (5.0, [3.0, 4.0])]
assert graph.search([0.0, 0.0], k=10, filter=("kind", "b")) == [(1.0, [1.0, 0.0]), (5.0, [3.0, 4.0])]
print("smoke test passed:", tamsel.__file__)
EOF
  "$VPY" flat_search.py >/dev/null
  "$VPY" hnsw_filters.py >/dev/null

  # mypy from the project's environment, looking into the fresh one: the
  # stub must come from that environment's site-packages.
  cat > typed.py <<'EOF'
import tamsel

reveal_type(tamsel.PyFlat(2).search([0.0, 0.0]))
reveal_type(tamsel.PyHNSW(2, metric="euclidean").search([0.0, 0.0], k=3, filter=("kind", "a")))
EOF
  site="$("$VPY" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')"
  env -u MYPYPATH "$PY" -m mypy --strict -v --no-incremental --cache-dir=/dev/null \
    --python-executable "$VPY" typed.py >mypy.out 2>mypy.log || { cat mypy.out mypy.log >&2; exit 1; }
  grep -qF "Parsing $site/tamsel-stubs/__init__.pyi (tamsel)" mypy.log \
    || { echo "mypy did not read the installed stub in $site" >&2; grep tamsel mypy.log >&2; exit 1; }
  grep -qF 'Revealed type is "list[tuple[int, float]]"' mypy.out \
    && grep -qF 'Revealed type is "list[tuple[float, list[float]]]"' mypy.out \
    || { cat mypy.out >&2; exit 1; }
  echo "mypy reads $site/tamsel-stubs/__init__.pyi"

  "$VPY" -m pip uninstall -q -y tamsel
  if ls "$site" | grep -q '^tamsel'; then
    echo "left behind after uninstall: $(ls "$site" | grep '^tamsel')" >&2
    exit 1
  fi
)
say "-- package check passed"
