#!/usr/bin/env bash
# Smoke test of everything a user runs besides the module itself: each example
# on small or bundled data (with the self-checks of those that have one), the
# linora-detect command, tools/make_figures.py, and tools/check_docs.py (the
# Python blocks of the README and of docs/REFERENCE.md, and the README FAQ's
# messages against the module's). Fails on the first error, and if anything
# was written into the repository. Installs into .venv when missing:
# dask[distributed], for the Dask run of examples/batch_detect.py, and
# scikit-image and OpenCV (opencv-contrib-python-headless, see install_opencv
# in lib.sh), for the comparisons with OpenCV on scikit-image's
# photographs. Outputs go to a temporary directory. LINORA_VENV:
# docs/DEVELOPING.md.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$root"
bash scripts/setup.sh >/dev/null
py="$venv/bin/python"
pip_need_module "$py" dask.distributed "dask[distributed]"
pip_need_module "$py" skimage scikit-image
pip_install_needed check-examples "$py"
install_opencv check-examples "$py"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# Nothing here may write into the repository: its status must stay as it is.
status_before=$(git status --porcelain --untracked-files=all 2>/dev/null || true)

step() { echo "check-examples: $*"; }

step "detect_segments.py"
"$py" examples/detect_segments.py --min-length 30 --min-log-nfa 20 --out "$tmp/detected.png"
test -s "$tmp/detected.png"
# Without --out the picture goes to a new temporary directory.
TMPDIR="$tmp" "$py" examples/detect_segments.py > "$tmp/detect.txt"
written=$(sed -n 's/^wrote //p' "$tmp/detect.txt")
case $written in "$tmp"/linora-*/detected.png) test -s "$written" ;; *) exit 1 ;; esac

step "rectify_document.py (corners within 1 px of the sample's)"
"$py" examples/rectify_document.py --check 1.0 --px-per-mm 1 --out "$tmp/page.png"
test -s "$tmp/page.png" && test -s "$tmp/page_found.png"

step "lens_correction.py"
"$py" examples/lens_correction.py --check --filter bilinear --out-dir "$tmp"
test -s "$tmp/lens_corrected.png"

step "batch_detect.py: generated scenes, thread pool and a Dask LocalCluster"
"$py" examples/batch_detect.py --count 6 --size 320x240 --threads 2 --dask --dask-workers 2

step "batch_detect.py: a directory of images"
mkdir "$tmp/images"
cp data/sample.png "$tmp/images/"
cp "$tmp/lens_corrected.png" "$tmp/images/"
"$py" examples/batch_detect.py --images "$tmp/images" --threads 2

step "from_opencv.py: OpenCV equivalences on scikit-image's photographs"
"$py" examples/from_opencv.py

step "demo.py"
"$py" examples/demo.py --runs 1 --out "$tmp/demo"

step "linora-detect"
"$venv/bin/linora-detect" data/sample.png --min-length 40 --out "$tmp/overlay.png" \
    --csv "$tmp/segments.csv"
test -s "$tmp/overlay.png"
"$py" - "$tmp" <<'PY'
import csv, sys
import numpy as np
import linora
from PIL import Image

tmp = sys.argv[1]
rows = list(csv.DictReader(open(f"{tmp}/segments.csv")))
gray = np.asarray(Image.open("data/sample.png").convert("L"))
want = [s for s in linora.detect(gray) if s.length >= 40]
assert len(rows) == len(want) > 0, (len(rows), len(want))
# Full precision: every number reads back to the same float.
for row, s in zip(rows, want):
    for name, text in row.items():
        assert float(text) == getattr(s, name), (name, text, getattr(s, name))
np.save(f"{tmp}/step.npy", np.kron(np.eye(4), np.ones((16, 16))) * 200.0)
print(f"{len(rows)} CSV rows match detect")
PY
"$venv/bin/linora-detect" "$tmp/step.npy" --scale 1 > "$tmp/step.csv" 2> "$tmp/err.txt"
test "$(wc -l < "$tmp/step.csv")" -gt 1
test ! -s "$tmp/err.txt"
# A float image on a 0-1 scale: a warning and (nearly) nothing; --rescale
# multiplies it by 255 first, silently.
"$py" -c 'import sys, numpy, skimage
numpy.save(sys.argv[1], skimage.util.img_as_float(skimage.data.camera()))' "$tmp/camera.npy"
"$venv/bin/linora-detect" "$tmp/camera.npy" > "$tmp/unit.csv" 2> "$tmp/err.txt"
grep -q "linora-detect: warning: .*within \[0, 1\].*--rescale" "$tmp/err.txt"
"$venv/bin/linora-detect" "$tmp/camera.npy" --rescale > "$tmp/rescaled.csv" 2> "$tmp/err.txt"
test ! -s "$tmp/err.txt"
"$py" - "$tmp" <<'PY'
import csv, sys
import numpy as np
import linora

tmp = sys.argv[1]
unit, rescaled = (list(csv.DictReader(open(f"{tmp}/{name}.csv"))) for name in ("unit", "rescaled"))
want = linora.detect(np.load(f"{tmp}/camera.npy") * 255)
assert len(unit) < 5 and len(rescaled) == len(want) > 100, (len(unit), len(rescaled), len(want))
assert all(float(r["x1"]) == s.x1 and float(r["log_nfa"]) == s.log_nfa for r, s in zip(rescaled, want))
print(f"0-1 float image: {len(unit)} segments with a warning, {len(rescaled)} with --rescale")
PY
# 12-bit data in uint16: a warning and (nearly) nothing; --bits 12 scales it
# by 16 first and finds what the 8-bit image gives.
"$py" -c 'import sys, numpy, skimage
numpy.save(sys.argv[1], skimage.data.camera().astype(numpy.uint16) * 16)' "$tmp/camera12.npy"
"$venv/bin/linora-detect" "$tmp/camera12.npy" > "$tmp/raw12.csv" 2> "$tmp/err.txt"
grep -q "linora-detect: warning: .*below 4096.*--bits 12" "$tmp/err.txt"
"$venv/bin/linora-detect" "$tmp/camera12.npy" --bits 12 > "$tmp/bits12.csv" 2> "$tmp/err.txt"
test ! -s "$tmp/err.txt"
"$py" - "$tmp" <<'PY'
import csv, sys
import numpy as np
import linora

tmp = sys.argv[1]
raw, scaled = (list(csv.DictReader(open(f"{tmp}/{name}.csv"))) for name in ("raw12", "bits12"))
want = linora.detect(np.load(f"{tmp}/camera12.npy") * np.uint16(16))
assert len(raw) < 5 and len(scaled) == len(want) > 100, (len(raw), len(scaled), len(want))
assert all(float(r["x1"]) == s.x1 and float(r["log_nfa"]) == s.log_nfa for r, s in zip(scaled, want))
print(f"12-bit data in uint16: {len(raw)} segments with a warning, {len(scaled)} with --bits 12")
PY
if "$venv/bin/linora-detect" "$tmp/camera12.npy" --bits 10 2> "$tmp/err.txt"; then
    echo "linora-detect --bits 10 accepted 12-bit samples" >&2; exit 1
fi
grep -q "beyond 10-bit data" "$tmp/err.txt"
version=$("$venv/bin/linora-detect" --version)
test "$version" = "linora-detect $("$py" -c 'import importlib.metadata as m; print(m.version("linora"))')"
echo "$version"
if "$venv/bin/linora-detect" data/sample.png --rescale 2> "$tmp/err.txt"; then
    echo "linora-detect --rescale accepted an 8-bit image" >&2; exit 1
fi
grep -q "rescale is for float images" "$tmp/err.txt"
if "$venv/bin/linora-detect" "$tmp/missing.png" 2> "$tmp/err.txt"; then
    echo "linora-detect succeeded on a missing file" >&2; exit 1
fi
grep -q "cannot read" "$tmp/err.txt"

step "tools/make_figures.py"
"$py" tools/make_figures.py --out-dir "$tmp/docs"

step "tools/check_docs.py: the Python blocks of README.md and docs/REFERENCE.md, the FAQ's messages"
"$py" tools/check_docs.py

status_after=$(git status --porcelain --untracked-files=all 2>/dev/null || true)
if [ "$status_before" != "$status_after" ]; then
    echo "check-examples: the run changed the repository:" >&2
    diff <(echo "$status_before") <(echo "$status_after") >&2 || true
    exit 1
fi
echo "check-examples: all passed"
