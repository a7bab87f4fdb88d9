#!/usr/bin/env bash
# Checks the distribution: `python -m build` makes the sdist and then builds
# the wheel from that sdist alone, in an isolated environment (so the sdist
# builds from scratch); the wheel is installed into a fresh virtual
# environment, and the Python test suite runs there against the installed
# module, from a directory outside the source tree. Installs `build` into
# .venv when it is missing. LINORA_VENV as in setup.sh.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh >/dev/null
venv="${LINORA_VENV:-$root/.venv}"
py="$venv/bin/python"
"$py" -c "import build" 2>/dev/null ||
    "$py" -m pip install -q --disable-pip-version-check build
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export CMAKE_BUILD_PARALLEL_LEVEL=2   # the machine is shared: two compile jobs at most

echo "check-package: python -m build (sdist, then the wheel from the sdist)"
"$py" -m build --outdir "$tmp/dist" . >"$tmp/build.log" 2>&1 || { cat "$tmp/build.log"; exit 1; }
tail -n 1 "$tmp/build.log"
sdist=$(ls "$tmp"/dist/linora-*.tar.gz)
wheel=$(ls "$tmp"/dist/linora-*.whl)

echo "check-package: contents"
tar -tzf "$sdist" | sed 's|^[^/]*/||' | sort >"$tmp/sdist.txt"
for f in pyproject.toml CMakeLists.txt LICENSE README.md python/linora.pyi python/linora_cli.py \
         src/python/module.cpp src/python/exports.map tests/python/conftest.py; do
    grep -qx "$f" "$tmp/sdist.txt" || { echo "sdist lacks $f" >&2; exit 1; }
done
if grep -E '^(build|\.venv[^/]*|out|dist)/' "$tmp/sdist.txt"; then
    echo "sdist holds local build products" >&2; exit 1
fi
"$py" - "$wheel" <<'PY'
import sys, zipfile
names = set(zipfile.ZipFile(sys.argv[1]).namelist())
meta = next(n for n in names if n.endswith(".dist-info/METADATA"))
text = zipfile.ZipFile(sys.argv[1]).read(meta).decode()
for want in ("linora.pyi", "linora-stubs/__init__.pyi", "linora_cli.py"):
    assert want in names, want
assert any(n.startswith("linora.") and n.endswith(".so") for n in names), names
assert any(n.endswith(".dist-info/licenses/LICENSE") for n in names), names
for field in ("License-Expression: MIT", "Requires-Python: >=3.11", "Requires-Dist: numpy",
              "Classifier: Programming Language :: Python :: Free Threading"):
    assert field in text, field
print(f"{sys.argv[1].rsplit('/', 1)[-1]}: {len(names)} files, metadata complete")
PY

echo "check-package: the wheel in a fresh virtual environment"
"$py" -m venv "$tmp/venv"
fresh="$tmp/venv/bin/python"
"$fresh" -m pip install -q --disable-pip-version-check "$wheel" pytest hypothesis scikit-image
mkdir "$tmp/run"
cd "$tmp/run"
"$fresh" - "$tmp/venv" <<'PY'
import os, sys
import linora
where = os.path.realpath(linora.__file__)
assert where.startswith(os.path.realpath(sys.argv[1])), where
print(f"linora from {where}")
PY
test -x "$tmp/venv/bin/linora-detect"
"$fresh" -m pytest -q -p no:cacheprovider "$root/tests/python"
