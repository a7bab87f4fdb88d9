#!/usr/bin/env bash
# ThreadSanitizer with a free-threaded interpreter: the CPython of
# ft-python.sh configured with --disable-gil --with-thread-sanitizer (cached
# like the plain one), linora built with -fsanitize=thread against it, and
# under it the threading and interrupt tests, then a many-thread stress run:
# the concurrency, detection and resampling tests with every test body in
# LINORA_TSAN_THREADS (default 8) threads at once (pytest-run-parallel).
# Any race report fails the run (CPython's own suppressions for its
# free-threaded build apply, nothing of linora's is suppressed). Arguments
# are passed on to every pytest run.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"
prefix=$(bash scripts/ft-python.sh --tsan | tail -n 1)
py="$prefix/bin/python3"
# The packages come from the environment of freethreaded.sh (.venv-ft, made
# when missing): the instrumented interpreter has the same ABI, and pip
# itself would run some ten times slower under the sanitizer.
ft_venv="${LINORA_FT_VENV:-$root/.venv-ft}"
if [ ! -x "$ft_venv/bin/python" ] || ! "$ft_venv/bin/python" -c 'import pytest_run_parallel' 2>/dev/null; then
    ft_prefix=$(bash scripts/ft-python.sh | tail -n 1)
    PIP_ONLY_BINARY=:all: LINORA_VENV="$ft_venv" LINORA_PYTHON="$ft_prefix/bin/python3" \
        LINORA_REQUIREMENTS="$root/requirements-ft.txt" bash scripts/setup.sh >/dev/null
fi
ft_site=$("$ft_venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
export CMAKE_BUILD_PARALLEL_LEVEL=2

# CPython's suppressions for its free-threaded build (races it knows of in
# itself), from the source ft-python.sh kept.
supp="$prefix/tsan-suppressions.txt"
if [ ! -f "$supp" ]; then
    version=$(basename "$prefix")
    version=${version#cpython-}
    version=${version%t-tsan}
    orig=$(ls "${LINORA_FT_CACHE:-/var/cache/linora}"/sources/*/python3.*_"$version".orig.tar.* | head -n 1)
    tar -xOf "$orig" "Python-$version/Tools/tsan/suppressions_free_threading.txt" >"$supp.tmp"
    mv "$supp.tmp" "$supp"
fi

echo "tsan-ft: building linora with -fsanitize=thread for $("$py" -VV | head -n 1)"
site="$root/build/tsan-ft-site"
rm -rf "$site"
"$ft_venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    --target "$site" -C build-dir=build/tsan-ft -C cmake.build-type=RelWithDebInfo \
    -C cmake.define.LINORA_SANITIZE=thread .
# linora with the sanitizer first, then the packages.
export PYTHONPATH="$site:$ft_site"
# The tests of outputs too large to allocate need the allocator to return
# null as the plain one does. Reports go to files (pytest's capture of the output would lose them when
# the sanitizer ends the process), printed when the run fails.
reports="$root/build/tsan-ft-reports"
rm -rf "$reports"
mkdir -p "$reports"
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 allocator_may_return_null=1 log_path=$reports/report suppressions=$supp"
trap 'status=$?; if [ -n "$(ls "$reports")" ]; then cat "$reports"/* >&2; status=1; fi; exit $status' EXIT
export OPENBLAS_NUM_THREADS=1
env -u PYTHON_GIL "$py" -W error::RuntimeWarning -c "
import sys, linora
assert linora.__file__.startswith('$site'), linora.__file__
assert not sys._is_gil_enabled()
print('tsan-ft: linora from', linora.__file__, '- GIL off')"

# Left out: the tests that fork while threads run (marked forks_with_threads:
# the sanitizer's runtime does not support starting threads in the child of
# a multi-threaded fork: it ends such a child, "starting new threads after
# multi-threaded fork is not supported").
check_markers "$ft_venv/bin/python" forks_with_threads
echo "tsan-ft: threading and interrupt tests (without the fork tests)"
env -u PYTHON_GIL "$py" -m pytest -q -p no:cacheprovider -m "not forks_with_threads" \
    tests/python/test_threads.py tests/python/test_interrupt.py "$@"
# The stress run: the concurrency tests of test_threads.py (the others start
# subprocesses, which gain nothing from running eightfold) and the detection
# and resampling tests, each body in $threads threads at once.
threads=${LINORA_TSAN_THREADS:-8}
echo "tsan-ft: stress: concurrency, detection and resampling tests, each in $threads threads at once"
env -u PYTHON_GIL "$py" -m pytest -q -p no:cacheprovider --parallel-threads="$threads" \
    -k "not test_threads.py or concurrent or interleaving or worker_count" \
    tests/python/test_threads.py tests/python/test_detect.py tests/python/test_resample.py "$@"
