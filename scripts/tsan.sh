#!/usr/bin/env bash
# Builds the C++ core and its unit tests with ThreadSanitizer and runs the
# tests that use several threads at once: the suites whose names end in
# "Threads" (the pool and its workers, concurrent callers, the parallel
# seed loop); the selection must not be empty. Any race report fails the
# run.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"
bash scripts/setup.sh >/dev/null
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1"
cpp_tests build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLINORA_SANITIZE=thread \
    -- --gtest_filter='*Threads.*'
