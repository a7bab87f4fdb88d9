#!/usr/bin/env bash
# Builds linora and runs the demo on the bundled sample image. Needs a C++
# compiler and CPython 3.11+ (with its headers); the Python packages come
# from pip into .venv. Arguments go to examples/demo.py (--out DIR for the
# pictures; by default a new temporary directory, printed at the end).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh --demo
"${LINORA_VENV:-$root/.venv}/bin/python" examples/demo.py "$@"
