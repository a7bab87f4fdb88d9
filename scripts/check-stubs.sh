#!/usr/bin/env bash
# Checks the type stubs (python/linora.pyi) against the module built and
# installed in .venv, and type-checks the examples and tools with them:
#  1. the installed copies (linora.pyi beside the extension, linora-stubs/)
#     are the file of the source tree;
#  2. mypy's stubtest compares every name, signature and default of the stub
#     with the module (detect's default, shown as "..." by the module, is
#     checked separately);
#  3. calls that break the stub's contract are reported by mypy;
#  4. mypy --strict on examples/, tools/make_figures.py and the command-line
#     tool (settings in pyproject.toml).
# Installs mypy into .venv when it is missing. LINORA_VENV as in setup.sh.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
bash scripts/setup.sh >/dev/null
venv="${LINORA_VENV:-$root/.venv}"
py="$venv/bin/python"
"$py" -c "import mypy" 2>/dev/null ||
    "$py" -m pip install -q --disable-pip-version-check mypy

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
site=$("$py" -c 'import os, linora; print(os.path.dirname(linora.__file__))')
echo "check-stubs: installed stubs are python/linora.pyi"
cmp python/linora.pyi "$site/linora.pyi"
cmp python/linora.pyi "$site/linora-stubs/__init__.pyi"

echo "check-stubs: stubtest"
# From a directory without sources, so that only the installed stubs count.
(cd "$tmp" && "$py" -m mypy.stubtest linora --allowlist "$root/scripts/stubtest-allowlist.txt")

echo "check-stubs: detect's parameters"
"$py" - python/linora.pyi <<'PY'
import ast, inspect, sys
import linora
tree = ast.parse(open(sys.argv[1]).read())
stub = next(n for n in tree.body if isinstance(n, ast.FunctionDef) and n.name == "detect")
names = [a.arg for a in stub.args.args]
defaults = [ast.literal_eval(d) for d in stub.args.defaults]
runtime = inspect.signature(linora.detect).parameters
assert names == list(runtime), (names, list(runtime))
assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in runtime.values())
assert not stub.args.posonlyargs and not stub.args.kwonlyargs and not stub.args.vararg
assert defaults == [0.8] and runtime["scale"].default is Ellipsis, defaults
print(f"detect{tuple(names)}: scale defaults to {defaults[0]} in the stub")
PY

echo "check-stubs: misuse is reported"
# Every line marked "# error" must get a mypy error, and no other line.
cat > "$tmp/misuse.py" <<'PY'
import numpy as np
import linora

img = np.zeros((8, 8), np.uint8)
rgb = np.zeros((8, 8, 3), np.uint16)
maps = np.zeros((8, 8), np.float32)
segs: list[linora.Segment] = linora.detect(img)
x: float = segs[0].x1 + segs[0].angle + segs[0].length + segs[0].log_nfa
out16: np.ndarray[tuple[int, ...], np.dtype[np.uint16]] = linora.warp_rgb(rgb, [1.0] * 9, 1, 0, 0)
linora.remap_gray(img, maps, maps, filter="lanczos3")
linora.detect([[0, 1], [2, 3]])  # error
linora.detect(img, scale="0.8")  # error
linora.warp_rgb(rgb, np.eye(3).ravel(), 1.0, 0.0, 0.0, filter="cubic")  # error
linora.warp_rgb(rgb, [1.0] * 9, 1.0, 0.0, 0.0, out_size=[640, 480])  # error
linora.remap_rgb(rgb, maps)  # error
bad: np.ndarray[tuple[int, ...], np.dtype[np.uint8]] = linora.remap_rgb(rgb, maps, maps)  # error
segs[0].x1 = 1.0  # error
class Sub(linora.Segment): ...  # error
PY
set +e
(cd "$tmp" && "$py" -m mypy --strict --no-error-summary misuse.py) > "$tmp/mypy.out"
set -e
expected=$(grep -n '# error' "$tmp/misuse.py" | cut -d: -f1 | sort -n | tr '\n' ' ')
got=$(grep -o '^[^:]*:[0-9]*: error' "$tmp/mypy.out" | cut -d: -f2 | sort -nu | tr '\n' ' ')
if [ "$expected" != "$got" ]; then
    echo "check-stubs: expected mypy errors on lines $expected, got them on $got" >&2
    cat "$tmp/mypy.out" >&2
    exit 1
fi
echo "mypy reports each of the $(echo $expected | wc -w) misuses and nothing else"

echo "check-stubs: mypy --strict on the examples and tools"
"$py" -m mypy
