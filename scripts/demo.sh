#!/usr/bin/env bash
# The main job: indexes the handwritten digits that ship with scikit-learn
# and queries them with held-out digits.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
need_project demo
exec "$PY" "$ROOT/demo/digits.py" "$@"
