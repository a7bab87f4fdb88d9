#!/usr/bin/env bash
# Builds everything and runs the whole test suite: the C++ unit tests of the
# computation core, then the Python tests against the installed module.
# Arguments are passed on to pytest. LINORA_VENV and LINORA_PYTHON as in
# setup.sh.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh

venv="${LINORA_VENV:-$root/.venv}"
py="$venv/bin/python"
cmake_bin="$venv/bin/cmake"
echo "test: building the C++ unit tests"
"$cmake_bin" -S . -B build/cpp-tests -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
    -DLINORA_BUILD_PYTHON=OFF -DLINORA_BUILD_TESTS=ON >/dev/null
"$cmake_bin" --build build/cpp-tests -j2
echo "test: C++ unit tests"
build/cpp-tests/linora_tests --gtest_brief=1
echo "test: Python tests"
"$py" -m pytest -q tests/python "$@"
