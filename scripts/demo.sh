#!/usr/bin/env bash
# Builds linora and runs the demo on the bundled sample image. Needs a C++
# compiler and CPython 3.11+ (with its headers); the Python packages come
# from pip into .venv (LINORA_VENV). Arguments go to examples/demo.py (--out DIR for the
# pictures; by default a new temporary directory, printed at the end).
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"
bash scripts/setup.sh --demo
"$venv/bin/python" examples/demo.py "$@"
