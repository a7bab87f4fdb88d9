#!/usr/bin/env bash
# Builds linora and runs the demo on the bundled sample image.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh
"$root/.venv/bin/python" examples/demo.py "$@"
