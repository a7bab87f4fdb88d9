#!/usr/bin/env bash
# The whole test suite built with clang and its C++ library, libc++: the C++
# unit tests (GoogleTest built from its sources with the same library) and
# the Python tests against the extension module built the same way, in their
# own virtual environment (.venv-clang) and build directories. Warnings are
# errors, as in scripts/test.sh. Installs Debian's clang, libc++ and
# GoogleTest sources when missing. Arguments are passed on to pytest. Its
# environment is LINORA_CLANG_VENV (docs/DEVELOPING.md).
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"

apt_need_command clang++ clang
[ -f /usr/include/c++/v1/vector ] || [ -n "$(ls /usr/lib/llvm-*/include/c++/v1/vector 2>/dev/null)" ] ||
    apt_need libc++-dev libc++abi-dev
apt_need_file /usr/src/googletest/googletest/CMakeLists.txt googletest
apt_install_needed clang
# Whole outputs go into variables before they are searched: under pipefail a
# reader that stops early (grep -q, head) can kill the writer with SIGPIPE and
# fail the pipeline although the text was there.
version=$(clang++ --version)
echo "${version%%$'\n'*}"

export CC=clang CXX=clang++
export CXXFLAGS="-stdlib=libc++${CXXFLAGS:+ $CXXFLAGS}"
export LDFLAGS="-stdlib=libc++${LDFLAGS:+ $LDFLAGS}"
export SKBUILD_BUILD_DIR="build/clang-{wheel_tag}"
clang_venv="${LINORA_CLANG_VENV:-$root/.venv-clang}"
LINORA_VENV="$clang_venv" LINORA_CPP_BUILD=build/clang-cpp-tests \
    LINORA_CMAKE_ARGS="-DLINORA_GTEST_SOURCE=/usr/src/googletest/googletest" \
    bash scripts/test.sh "$@"

# The extension must really use libc++.
so=$("$clang_venv/bin/python" -c 'import linora; print(linora.__file__)')
libs=$(ldd "$so")
if ! grep -q 'libc++' <<<"$libs"; then
    echo "clang: $so is not linked with libc++" >&2
    exit 1
fi
re='libc[+][+][^ ]*'
[[ $libs =~ $re ]]
echo "clang: $(basename "$so") linked with ${BASH_REMATCH[0]}"
