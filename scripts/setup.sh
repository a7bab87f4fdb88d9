#!/usr/bin/env bash
# Prepares a fresh machine: Debian packages for building and for the C++
# tests, a virtual environment in .venv with the newest CPython found, the
# Python packages, and linora itself built and installed into that
# environment. Safe to run again: it only does what is missing, and rebuilds
# linora incrementally.
#
# LINORA_VENV (default .venv) and LINORA_PYTHON (default: the newest CPython
# 3.11+ found) choose another environment and interpreter; LINORA_REQUIREMENTS
# another requirements file.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

need_apt=()
command -v g++ >/dev/null || need_apt+=(g++)
command -v make >/dev/null || need_apt+=(make)
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
command -v clang-format >/dev/null || need_apt+=(clang-format)
if [ ${#need_apt[@]} -gt 0 ]; then
    echo "setup: installing Debian packages: ${need_apt[*]}"
    if [ "$(id -u)" = 0 ]; then sudo=""; else sudo="sudo"; fi
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need_apt[@]}" >/dev/null
fi

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
requirements="${LINORA_REQUIREMENTS:-$root/requirements-dev.txt}"
if [ ! -x "$venv/bin/python" ]; then
    py=${LINORA_PYTHON:-$(find_python)} || { echo "setup: no CPython 3.11 or newer found" >&2; exit 1; }
    echo "setup: creating .venv with $("$py" --version)"
    "$py" -m venv "$venv"
fi
stamp="$venv/.requirements-installed"
if [ ! -f "$stamp" ] || [ "$requirements" -nt "$stamp" ]; then
    "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$requirements"
    touch "$stamp"
fi

echo "setup: building linora"
"$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .
