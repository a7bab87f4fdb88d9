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
# (see apt_install in lib.sh: without root it names what to install). The
# environment, its interpreter and its requirements file can be chosen with
# LINORA_VENV, LINORA_PYTHON and LINORA_REQUIREMENTS (docs/DEVELOPING.md).
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"

demo=""
if [ "${1:-}" = "--demo" ]; then demo=1; fi

if [ -n "$demo" ]; then default_requirements=requirements-demo.txt; else default_requirements=requirements-dev.txt; fi
requirements="${LINORA_REQUIREMENTS:-$root/$default_requirements}"
py=""
if [ ! -x "$venv/bin/python" ]; then
    py=${LINORA_PYTHON:-$(find_cpython 3.14 3.13 3.12 3.11)} || {
        echo "setup: no CPython 3.11 or newer found (Debian: apt-get install python3 python3-venv)" >&2
        exit 1
    }
fi

# Debian packages: a C++ compiler (CMake finds c++, g++ or clang++, or $CXX)
# and CPython's headers for the build; GoogleTest and clang-format for the tests.
have_compiler=""
for c in ${CXX:-} c++ g++ clang++; do
    if command -v "$c" >/dev/null; then have_compiler=1; break; fi
done
[ -n "$have_compiler" ] || apt_need g++
headers_of=${py:-$venv/bin/python}
if ! "$headers_of" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
    apt_need "$("$headers_of" -c 'import sys; print("python%d.%d-dev" % sys.version_info[:2])')"
fi
if [ -z "$demo" ]; then
    apt_need_file /usr/include/gtest/gtest.h libgtest-dev
    apt_need_command clang-format clang-format
fi
apt_install_needed setup

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
