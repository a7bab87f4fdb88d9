#!/usr/bin/env bash
# Builds the C++ core and its unit tests with ThreadSanitizer and runs the
# tests that use several threads at once: the pool, and detection plus
# resampling from concurrent callers. Any race report fails the run.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh >/dev/null
bin="${LINORA_VENV:-$root/.venv}/bin"
"$bin/cmake" -S . -B build/tsan -G Ninja -DCMAKE_MAKE_PROGRAM="$bin/ninja" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLINORA_BUILD_PYTHON=OFF -DLINORA_BUILD_TESTS=ON \
    -DLINORA_SANITIZE=thread >/dev/null
"$bin/cmake" --build build/tsan -j2
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    build/tsan/linora_tests --gtest_brief=1 \
    --gtest_filter='Concurrency*:Pool*:*/PoolRows*:*Worker*:*Thread*'
