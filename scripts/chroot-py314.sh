#!/usr/bin/env bash
# Builds and tests linora on CPython 3.14 with Debian's NumPy, inside a Debian
# unstable chroot that this script creates with debootstrap (once; it is kept
# in $LINORA_CHROOT for later runs), and compiles the binding against the
# 3.14 headers with the free-threaded object layout (Py_GIL_DISABLED), with
# warnings as errors. Needs root.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
chroot_dir=${LINORA_CHROOT:-/var/cache/linora/sid-py314}
packages=python3.14-dev,python3-numpy,python3-pytest,python3-hypothesis,g++,cmake,make

if [ ! -x "$chroot_dir/usr/bin/python3.14" ]; then
    apt_need_command debootstrap debootstrap
    apt_install_needed py314 >/dev/null
    echo "py314: creating the Debian unstable chroot in $chroot_dir"
    rm -rf "$chroot_dir"
    mkdir -p "$chroot_dir"
    debootstrap --variant=minbase --include="$packages" unstable "$chroot_dir" >/dev/null
fi

# scikit-image brings the photographs of the golden-digest test (Debian's
# package, for the chroot's Python). The snapshot's Release file may be past
# its validity date; that is no reason to refuse its packages.
if ! chroot "$chroot_dir" python3.14 -c 'import skimage.data' 2>/dev/null; then
    echo "py314: installing Debian's scikit-image into the chroot"
    chroot "$chroot_dir" /bin/bash -c '
        apt-get -o Acquire::Check-Valid-Until=false update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends python3-skimage
    ' >/dev/null 2>&1 || echo "py314: scikit-image not installable; the golden-digest test is skipped here"
fi

# A copy of the sources (not the local build products) inside the chroot.
rm -rf "$chroot_dir/linora"
mkdir -p "$chroot_dir/linora"
tar -C "$root" --exclude=./build --exclude='./.venv*' --exclude=./out --exclude=./.git -cf - . |
    tar -C "$chroot_dir/linora" -xf -

# /proc for the processor count and the multiprocessing tests; unmounted on exit.
mount -t proc proc "$chroot_dir/proc"
trap 'umount "$chroot_dir/proc"' EXIT

chroot "$chroot_dir" /bin/bash -euo pipefail -c '
cd /linora
echo "py314: $(python3.14 --version), NumPy $(python3.14 -c "import numpy; print(numpy.__version__)")"
echo "py314: free-threaded layout compile check (-DPy_GIL_DISABLED -Werror)"
for f in src/python/*.cpp; do
    g++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror -ffp-contract=off -DPy_GIL_DISABLED \
        -Isrc $(python3.14-config --includes) "$f"
done
echo "py314: building the extension"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=/usr/bin/python3.14 >/dev/null
cmake --build build -j2 >/dev/null
echo "py314: tests"
PYTHONPATH=/linora/build python3.14 -m pytest -q -p no:cacheprovider tests/python "$@"
' bash "$@"
