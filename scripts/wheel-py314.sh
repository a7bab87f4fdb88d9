#!/usr/bin/env bash
# The CPython 3.14 wheel, for check-package.sh: built from the sdist ($1)
# inside the Debian unstable chroot of chroot-py314.sh (LINORA_CHROOT) by
# that interpreter's own pip, with the C++ runtime linked in; repaired and
# tagged with the host's auditwheel into the folder $2; then installed into a
# fresh virtual environment in the chroot (Debian's NumPy, pytest and
# hypothesis from the system site) where the tests of the wheel's own faults
# run. Installs python3.14-venv into the chroot when missing. Needs root.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
sdist=$1
out=$2
chroot_dir=${LINORA_CHROOT:-/var/cache/linora/sid-py314}
mkdir -p "$out"

mount -t proc proc "$chroot_dir/proc"
work="$chroot_dir/tmp/linora-wheel"
trap 'umount "$chroot_dir/proc"; rm -rf "$work"' EXIT
rm -rf "$work"
mkdir -p "$work/raw" "$work/dist"
cp "$sdist" "$work/"
# pip in the chroot trusts what the host's pip trusts (PIP_CERT names the
# certificate bundle where the machine's pip is configured with one).
if [ -n "${PIP_CERT:-}" ] && [ -f "$PIP_CERT" ]; then
    cp "$PIP_CERT" "$work/ca.pem"
    export PIP_CERT=/tmp/linora-wheel/ca.pem SSL_CERT_FILE=/tmp/linora-wheel/ca.pem
fi
unset PIP_FIND_LINKS
chroot "$chroot_dir" python3.14 -c 'import ensurepip' 2>/dev/null || {
    echo "check-package: installing python3.14-venv into the chroot"
    # The chroot's package lists may be past their validity date by now.
    chroot "$chroot_dir" /bin/sh -c 'apt-get -o Acquire::Check-Valid-Until=false update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3.14-venv >/dev/null'
}

echo
echo "check-package: cp314 wheel ($(chroot "$chroot_dir" python3.14 --version)) from the sdist, in the chroot"
chroot "$chroot_dir" /bin/bash -euo pipefail -c '
cd /tmp/linora-wheel
python3.14 -m venv build-env
CMAKE_BUILD_PARALLEL_LEVEL=2 build-env/bin/pip wheel -q --disable-pip-version-check --no-deps \
    -w raw -C cmake.define.LINORA_STATIC_CXX_RUNTIME=ON linora-*.tar.gz >wheel.log 2>&1 ||
    { cat wheel.log; exit 1; }
'
bash "$root/scripts/repair-wheel.sh" "$(ls "$work"/raw/linora-*-cp314-*.whl)" "$work/dist"
wheel=$(ls "$work"/dist/linora-*-cp314-cp314-manylinux_2_*.whl)
cp "$wheel" "$out/"

# A copy of the tests, run from outside it against the installed wheel.
tar -C "$root" -cf - tests/python | tar -C "$work" -xf -
chroot "$chroot_dir" /bin/bash -euo pipefail -c '
cd /tmp/linora-wheel
python3.14 -m venv --system-site-packages test-env
test-env/bin/pip install -q --disable-pip-version-check --no-deps dist/linora-*.whl
mkdir run && cd run
/tmp/linora-wheel/test-env/bin/python -c "import linora, os; print(\"linora from\", os.path.realpath(linora.__file__))"
test -x /tmp/linora-wheel/test-env/bin/linora-detect
# The tests of faults of the wheel itself (as for the other wheels after
# the first in check-package.sh): chroot-py314.sh ran the whole suite on 3.14.
/tmp/linora-wheel/test-env/bin/python -m pytest -q -p no:cacheprovider \
    ../tests/python/test_module.py ../tests/python/test_golden.py ../tests/python/test_threads.py \
    ../tests/python/test_interrupt.py
'
