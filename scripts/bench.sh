#!/usr/bin/env bash
# Builds linora, installs the peers it is compared with (OpenCV as
# opencv-contrib-python-headless, see install_opencv in lib.sh, and
# scikit-image from pip) into the same environment, and prints the benchmark
# table. `--quick` runs tiny images once: a smoke test for CI that never fails
# on a timing. LINORA_VENV and LINORA_PYTHON: docs/DEVELOPING.md.
#
# OpenCV's wheels cover every CPython this project supports; should the
# environment's interpreter have none, the benchmark runs in a second
# environment (.venv-bench) on an older CPython that has one, with linora
# built there too.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"
bash scripts/setup.sh >/dev/null

have_peers() { "$1/bin/python" -c 'import cv2, cv2.ximgproc, skimage' >/dev/null 2>&1; }
install_peers() {
    "$1/bin/python" -c 'import skimage' >/dev/null 2>&1 ||
        "$1/bin/python" -m pip install -q --disable-pip-version-check scikit-image >&2 || true
    install_opencv bench "$1/bin/python" >&2 || true
    have_peers "$1"
}

if ! install_peers "$venv"; then
    echo "bench: no OpenCV/scikit-image for $("$venv/bin/python" --version); trying an older CPython" >&2
    for v in 3.12 3.11; do
        py=$(find_cpython "$v") || continue
        venv="$root/.venv-bench"
        LINORA_VENV="$venv" LINORA_PYTHON="$py" bash scripts/setup.sh >/dev/null
        install_peers "$venv" && break
    done
    have_peers "$venv" || echo "bench: peers unavailable; their columns read n/a" >&2
fi
exec "$venv/bin/python" benchmarks/bench.py "$@"
