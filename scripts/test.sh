#!/usr/bin/env bash
# Builds everything and runs the whole test suite: the C++ unit tests of the
# computation core, then the Python tests against the installed module.
# Arguments are passed on to pytest. The environment (LINORA_VENV,
# LINORA_PYTHON, LINORA_CPP_BUILD, LINORA_CMAKE_ARGS): docs/DEVELOPING.md.
# Compiler warnings are errors here (not in a plain install).
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"
export SKBUILD_CMAKE_DEFINE="LINORA_WERROR=ON${SKBUILD_CMAKE_DEFINE:+;$SKBUILD_CMAKE_DEFINE}"
bash scripts/setup.sh

echo "test: building and running the C++ unit tests"
# shellcheck disable=SC2086 # LINORA_CMAKE_ARGS is a list of arguments
cpp_tests "${LINORA_CPP_BUILD:-build/cpp-tests}" -DLINORA_WERROR=ON ${LINORA_CMAKE_ARGS:-}
echo "test: Python tests"
"$venv/bin/python" -m pytest -q tests/python "$@"
