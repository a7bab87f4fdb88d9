#!/usr/bin/env bash
# Builds everything and runs the whole test suite: the C++ unit tests of the
# computation core, then the Python tests against the installed module.
# Arguments are passed on to pytest. LINORA_VENV and LINORA_PYTHON as in
# setup.sh; LINORA_CPP_BUILD (default build/cpp-tests) is the C++ build
# directory and LINORA_CMAKE_ARGS holds more arguments for its configuration.
# Compiler warnings are errors here (not in a plain install).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
export SKBUILD_CMAKE_DEFINE="LINORA_WERROR=ON${SKBUILD_CMAKE_DEFINE:+;$SKBUILD_CMAKE_DEFINE}"
bash scripts/setup.sh

venv="${LINORA_VENV:-$root/.venv}"
py="$venv/bin/python"
cmake_bin="$venv/bin/cmake"
echo "test: building the C++ unit tests"
cpp_build="${LINORA_CPP_BUILD:-build/cpp-tests}"
# shellcheck disable=SC2086 # LINORA_CMAKE_ARGS is a list of arguments
"$cmake_bin" -S . -B "$cpp_build" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
    -DLINORA_BUILD_PYTHON=OFF -DLINORA_BUILD_TESTS=ON -DLINORA_WERROR=ON \
    ${LINORA_CMAKE_ARGS:-} >/dev/null
"$cmake_bin" --build "$cpp_build" -j2
echo "test: C++ unit tests"
"$cpp_build"/linora_tests --gtest_brief=1
echo "test: Python tests"
"$py" -m pytest -q tests/python "$@"
