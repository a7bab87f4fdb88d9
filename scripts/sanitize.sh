#!/usr/bin/env bash
# Builds the C++ unit tests and the extension module with AddressSanitizer and
# UndefinedBehaviorSanitizer (float-cast-overflow included) and runs both test
# suites under them. Any sanitizer report fails the run. Arguments are
# passed on to pytest.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"
bash scripts/setup.sh >/dev/null

py="$venv/bin/python"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LINORA_SANITIZED=1

echo "sanitize: C++ unit tests"
cpp_tests build/asan-cpp -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLINORA_SANITIZE=address,undefined

echo "sanitize: Python tests"
site="$root/build/asan-site"
rm -rf "$site"
"$py" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    --target "$site" -C build-dir=build/asan-py -C cmake.build-type=RelWithDebInfo \
    -C cmake.define.LINORA_SANITIZE=address,undefined .
# The interpreter itself is not instrumented: the ASan runtime must be loaded
# first for the instrumented extension to work inside it.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
PYTHONPATH="$site" "$py" -c "import linora, sys; assert linora.__file__.startswith('$site'), linora.__file__"
PYTHONPATH="$site" "$py" -m pytest -q -p no:cacheprovider --capture=sys tests/python "$@"
