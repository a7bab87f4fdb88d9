#!/usr/bin/env bash
# Builds linora for 64-bit ARM Linux (aarch64) with Debian's cross compiler
# and runs its tests under qemu-user: the C++ unit tests, then the Python
# suite against the extension built for an aarch64 CPython 3.11 (Debian's
# arm64 packages unpacked into a sysroot, NumPy and the pure-Python test
# packages from PyPI for that platform). Child interpreters started by the
# tests run under qemu too (through a wrapper that is the interpreter's
# sys.executable).
#
# The golden-digest test reads the photographs as the host's scikit-image
# decodes them (their digests are pinned as well), so no scikit-image is
# needed on the target.
#
# Skips, saying why, when the cross compiler or qemu cannot be installed
# or the packages for the sysroot cannot be downloaded. Arguments are passed
# on to pytest. The sysroot and builds are kept in build/aarch64
# (LINORA_CROSS_DIR), so a second run reuses them.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"
work="${LINORA_CROSS_DIR:-$root/build/aarch64}"
mkdir -p "$work"
skip() {
    echo "cross-aarch64: SKIPPED: $*"
    exit 0
}
apt_need_command aarch64-linux-gnu-g++ g++-aarch64-linux-gnu
apt_need_command qemu-aarch64 qemu-user
apt_need_file /usr/src/googletest/googletest/CMakeLists.txt googletest
apt_install_needed cross-aarch64 || skip "cannot install ${apt_needed[*]}"

bash scripts/setup.sh >/dev/null # the host's cmake, ninja and scikit-image
cmake_bin="$venv/bin/cmake"
toolchain="$root/cmake/aarch64-linux-gnu.cmake"
export CMAKE_BUILD_PARALLEL_LEVEL=2

echo "cross-aarch64: C++ unit tests"
cpp_runner=(qemu-aarch64 -L /usr/aarch64-linux-gnu)
cpp_tests "$work/cpp-tests" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DLINORA_WERROR=ON \
    -DLINORA_GTEST_SOURCE=/usr/src/googletest/googletest

# An aarch64 CPython 3.11 from Debian's arm64 packages, fetched with a
# private apt state (the machine's own package configuration is untouched)
# and unpacked with dpkg -x.
sysroot="$work/sysroot"
if [ ! -x "$sysroot/usr/bin/python3.11" ]; then
    echo "cross-aarch64: CPython 3.11 sysroot from Debian's arm64 packages"
    apt_dir="$work/apt"
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$work/debs"
    : >"$apt_dir/status"
    apt_opts=(-o "Dir::State=$apt_dir" -o "Dir::State::Lists=$apt_dir/lists"
        -o "Dir::State::status=$apt_dir/status" -o "Dir::Cache=$apt_dir/cache"
        -o APT::Architecture=arm64 -o APT::Architectures::=arm64)
    apt-get "${apt_opts[@]}" update -qq >/dev/null 2>&1 || skip "cannot read Debian's arm64 package lists"
    # The interpreter, its headers and the libraries they need (build tools,
    # perl and the C library's headers left out), and the C++ runtime.
    mapfile -t pkgs < <(apt-cache "${apt_opts[@]}" depends --recurse --no-recommends --no-suggests \
        --no-conflicts --no-breaks --no-replaces --no-enhances python3.11 libpython3.11-dev |
        grep -v '^ \|<' | sort -u |
        grep -vE '^(perl|perl-base|perl-modules-.*|libperl.*|dpkg|tar|install-info|linux-libc-dev|libc6-dev|libc-dev-bin|libcrypt-dev|libnsl-dev|libtirpc-dev|rpcsvc-proto|mailcap|mime-support|media-types|zlib1g-dev|libexpat1-dev)$')
    pkgs+=(libstdc++6)
    (cd "$work/debs" && apt-get "${apt_opts[@]}" download "${pkgs[@]}" >/dev/null 2>&1) ||
        skip "cannot download the arm64 packages"
    rm -rf "$sysroot.tmp"
    for deb in "$work"/debs/*.deb; do dpkg -x "$deb" "$sysroot.tmp"; done
    mv "$sysroot.tmp" "$sysroot"
fi

# NumPy built for aarch64 and the test packages, for CPython 3.11.
site="$work/site-packages"
if [ ! -d "$site/numpy" ]; then
    echo "cross-aarch64: NumPy and the test packages for aarch64 CPython 3.11"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --target "$site.tmp" \
        --python-version 3.11 --platform manylinux2014_aarch64 --only-binary=:all: \
        numpy pytest hypothesis || skip "cannot download NumPy for aarch64"
    rm -rf "$site"
    mv "$site.tmp" "$site"
fi

echo "cross-aarch64: the extension module for aarch64 CPython 3.11"
# pyconfig.h includes the multiarch one by its path under /usr/include.
mkdir -p "$work/include"
ln -sfn "$sysroot/usr/include/aarch64-linux-gnu" "$work/include/aarch64-linux-gnu"
"$cmake_bin" -S . -B "$work/module" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DLINORA_BUILD_PYTHON=ON -DLINORA_WERROR=ON \
    -DPython_INCLUDE_DIR="$sysroot/usr/include/python3.11" \
    -DPython_SOABI=cpython-311-aarch64-linux-gnu -DCMAKE_CXX_FLAGS="-I$work/include" >/dev/null
"$cmake_bin" --build "$work/module"
mkdir -p "$work/module-site"
cp "$work"/module/linora.cpython-311-aarch64-linux-gnu.so python/linora.pyi python/linora_cli.py \
    "$work/module-site/"

# The photographs for the golden digests, as the host decodes them.
"$venv/bin/python" - "$work/photos" <<'PY'
import sys, pathlib
import numpy as np
import skimage.data
out = pathlib.Path(sys.argv[1])
out.mkdir(exist_ok=True)
for name in ["camera", "astronaut", "coffee", "chelsea"]:
    np.save(out / f"{name}.npy", getattr(skimage.data, name)())
np.save(out / "motorcycle_left.npy", skimage.data.stereo_motorcycle()[0])
PY

# The interpreter under qemu, also as the program that tests start again.
cat >"$work/python3.11" <<SH
#!/bin/sh
exec qemu-aarch64 -L "$sysroot" -0 "$work/python3.11" "$sysroot/usr/bin/python3.11" "\$@"
SH
chmod +x "$work/python3.11"
export PYTHONHOME="$sysroot/usr"
export PYTHONPATH="$work/module-site:$site"
export LINORA_PHOTOS="$work/photos"
"$work/python3.11" -c 'import platform, sys, numpy, linora
print(f"cross-aarch64: {platform.machine()} CPython {platform.python_version()}, NumPy {numpy.__version__}, executable {sys.executable}")'
# Left out, by their markers (tests/python/conftest.py), each for its reason:
# - forks_with_threads: qemu-user aborts in a child forked while the pool's
#   workers run (its own assertions in qemu_plugin_vcpu_init_hook and
#   cpu_exec);
# - counts_threads: the test of a pool whose workers the system refuses in
#   part counts the process's threads, and qemu-user runs threads of its own;
# - limits_address_space: the memory-exhaustion test limits the address
#   space, which qemu-user reserves for the guest itself;
# - x86_64_libm: the golden digests of detect. glibc's hypot differs from
#   x86-64's in the last bit for about one argument pair in eight, and the
#   detector's gradient magnitudes, rectangle lengths and distances come
#   from it (the other library functions it calls agree; see
#   docs/DEVELOPING.md, Platforms). The resampling's digests are checked:
#   they agree to the last bit;
# - slow_under_emulation, to keep the stage short (qemu runs the interpreter
#   some ten times slower): what does not depend on the processor and the
#   native suites of the other stages cover: the leak checks (test_leaks.py:
#   reference counts and memory, thousands of calls per case), the signal
#   latencies (test_interrupt.py: the interpreter's signal handling, and
#   latency limits meant for native speed), and two of the three
#   interpreter-exit cases (each starts twenty interpreters; the detect case
#   stays, for aarch64's unwinding of the ended thread).
left_out=(forks_with_threads counts_threads limits_address_space x86_64_libm slow_under_emulation)
check_markers "$venv/bin/python" "${left_out[@]}"
echo "cross-aarch64: Python tests under qemu, without the tests marked ${left_out[*]}"
cd "$work"
not=$(printf ' and not %s' "${left_out[@]}")
"$work/python3.11" -m pytest -q -p no:cacheprovider -rs -m "${not# and }" "$root/tests/python" "$@"
