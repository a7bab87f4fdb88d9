#!/usr/bin/env bash
# Prepares a machine: a virtual environment in .venv with the newest CPython
# found, the Python packages, and linora itself built and installed into that
# environment. Safe to run again: it only does what is missing, and rebuilds
# linora incrementally.
#
#     bash scripts/setup.sh          # for the tests and checks: requirements-dev.txt,
#                                    # GoogleTest and clang-format
#     bash scripts/setup.sh --demo   # for the demo only: a C++ compiler and
#                                    # requirements-demo.txt
#
# Debian packages are installed with apt-get only when something is missing
# (see apt_install in common.sh: without root it names what to install).
# LINORA_VENV (default .venv) and LINORA_PYTHON (default: the newest CPython
# 3.11+ found) choose another environment and interpreter; LINORA_REQUIREMENTS
# another requirements file.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
. scripts/common.sh

demo=""
if [ "${1:-}" = "--demo" ]; then demo=1; fi

# The newest CPython on the machine (3.11 or newer).
find_python() {
    local v c
    for v in 3.14 3.13 3.12 3.11; do
        for c in "$(command -v "python$v" 2>/dev/null || true)" \
                 "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$v"*/bin/"python$v" \
                 /usr/local/bin/"python$v" /usr/bin/"python$v"; do
            if [ -n "$c" ] && [ -x "$c" ] && "$c" -c 'import venv, ensurepip' >/dev/null 2>&1; then
                echo "$c"; return 0
            fi
        done
    done
    return 1
}

venv="${LINORA_VENV:-$root/.venv}"
if [ -n "$demo" ]; then default_requirements=requirements-demo.txt; else default_requirements=requirements-dev.txt; fi
requirements="${LINORA_REQUIREMENTS:-$root/$default_requirements}"
py=""
if [ ! -x "$venv/bin/python" ]; then
    py=${LINORA_PYTHON:-$(find_python)} || {
        echo "setup: no CPython 3.11 or newer found (Debian: apt-get install python3 python3-venv)" >&2
        exit 1
    }
fi

# Debian packages: a C++ compiler (CMake finds c++, g++ or clang++, or $CXX)
# and CPython's headers for the build; GoogleTest and clang-format for the tests.
need_apt=()
have_compiler=""
for c in ${CXX:-} c++ g++ clang++; do
    if command -v "$c" >/dev/null; then have_compiler=1; break; fi
done
[ -n "$have_compiler" ] || need_apt+=(g++)
headers_of=${py:-$venv/bin/python}
if ! "$headers_of" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
    need_apt+=("$("$headers_of" -c 'import sys; print("python%d.%d-dev" % sys.version_info[:2])')")
fi
if [ -z "$demo" ]; then
    [ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
    command -v clang-format >/dev/null || need_apt+=(clang-format)
fi
if [ ${#need_apt[@]} -gt 0 ]; then
    apt_install setup "${need_apt[@]}"
fi

if [ -n "$py" ]; then
    echo "setup: creating $venv with $("$py" --version)"
    "$py" -m venv "$venv"
fi
# One stamp per requirements file, newer than the file and those it includes
# with -r once they are installed.
stamp="$venv/.installed-$(basename "$requirements")"
stale=""
[ -f "$stamp" ] || stale=1
for f in "$requirements" $(sed -n 's/^-r *//p' "$requirements"); do
    case $f in /*) ;; *) [ "$f" = "$requirements" ] || f="$(dirname "$requirements")/$f" ;; esac
    [ ! -f "$stamp" ] || [ ! "$f" -nt "$stamp" ] || stale=1
done
if [ -n "$stale" ]; then
    echo "setup: installing the Python packages of $(basename "$requirements")"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$requirements"
    touch "$stamp"
fi

echo "setup: building linora"
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .
