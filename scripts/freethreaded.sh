#!/usr/bin/env bash
# Builds and tests linora on a free-threaded CPython (the one ft-python.sh
# builds and caches): a virtual environment in .venv-ft (LINORA_FT_VENV) with
# the packages' free-threaded wheels, linora built into it, a check that
# importing everything leaves the global lock off, the whole Python suite
# (golden digests included), and then the modules that are safe to run from
# several threads at once under pytest-run-parallel (--parallel-threads).
# Arguments are passed on to both pytest runs.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"
prefix=$(bash scripts/ft-python.sh | tail -n 1)
py="$prefix/bin/python3"
venv="${LINORA_FT_VENV:-$root/.venv-ft}" # its own environment, not LINORA_VENV
# An environment made by another interpreter (an older version) goes.
if [ -x "$venv/bin/python" ] &&
    [ "$("$venv/bin/python" -c 'import sys; print(sys._base_executable)')" != "$("$py" -c 'import sys; print(sys.executable)')" ]; then
    rm -rf "$venv"
fi
# Without it pip builds NumPy and the rest from their sources for the
# free-threaded ABI (the binary wheels exist for it).
export PIP_ONLY_BINARY=:all:
LINORA_VENV="$venv" LINORA_PYTHON="$py" LINORA_REQUIREMENTS="$root/requirements-ft.txt" \
    bash scripts/setup.sh

echo "freethreaded: $("$venv/bin/python" -VV | head -n 1)"
# PYTHON_GIL unset: an extension that does not declare itself free-threaded
# would turn the global lock on at import, with a RuntimeWarning (an error
# here). The test packages count too: the suite imports them.
env -u PYTHON_GIL "$venv/bin/python" -W error::RuntimeWarning -c '
import sys, sysconfig
import numpy, pytest, hypothesis, skimage.data, linora
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1
assert not sys._is_gil_enabled(), "the global interpreter lock was turned on"
print(f"freethreaded: linora {linora.__file__}; NumPy {numpy.__version__}; GIL off after the imports")
'

echo "freethreaded: Python tests"
env -u PYTHON_GIL "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python "$@"

# Each test body runs in several threads at once. Left out: the modules that
# measure the whole process (test_leaks: reference counts, allocated blocks
# and the resident size move with the other threads' calls; test_interrupt:
# signals are the main thread's). The plugin itself runs a few tests in one
# thread only (it says which with -v).
threads=${LINORA_PARALLEL_THREADS:-4}
echo "freethreaded: Python tests, each in $threads threads at once (pytest-run-parallel)"
env -u PYTHON_GIL "$venv/bin/python" -m pytest -q -p no:cacheprovider --parallel-threads="$threads" \
    tests/python --ignore=tests/python/test_leaks.py --ignore=tests/python/test_interrupt.py "$@"
