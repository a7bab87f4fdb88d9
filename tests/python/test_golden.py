"""Golden digests: every result of the four functions on real photographs,
pinned to the last bit.

The digests in golden.json were written once by a build whose results had
been checked against independent references (the NumPy model of the
resampling, the segment properties of the detector tests). Any change of a
single bit of any output, or of the order of the segments, fails here. A
change of results that is intended (a fault fixed) rewrites the file with

    python tests/python/test_golden.py --write

and the commit says which digests changed and why.

The photographs are the ones scikit-image ships in its wheel (lossless PNG
files, so decoding is exact); their own digests are pinned too, so that a
changed input is reported as such.
"""

from __future__ import annotations

import hashlib
import json
import os
import platform
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import float_modes
import linora
from photos import HOMOGRAPHY, as_dtype, gray_of, lens_maps, photo, to_u16

GOLDEN = Path(__file__).with_name("golden.json")
PHOTOS = ["camera", "astronaut", "coffee", "chelsea", "motorcycle_left"]
SCALES = [0.5, 0.8, 1.0, 0.63]
DTYPES = ["uint8", "uint16", "float32", "float64"]
FILTERS = ["bilinear", "lanczos3"]


def _sha(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def segments_digest(segments: list[linora.Segment]) -> str:
    fields = [(s.x1, s.y1, s.x2, s.y2, s.width, s.precision, s.log_nfa) for s in segments]
    data = np.array(fields, dtype="<f8").reshape(-1, 7).tobytes()
    return f"{len(segments)}:{_sha(data)}"


def detect_digests(name: str) -> dict[str, str]:
    g = gray_of(photo(name))
    out = {}
    for dtype in DTYPES:
        img = as_dtype(g, dtype)
        for scale in SCALES:
            out[f"detect/{name}/{dtype}/{scale}"] = segments_digest(linora.detect(img, scale))
    return out


def resample_digests() -> dict[str, str]:
    out = {}
    for name in ["astronaut", "coffee"]:
        rgb8 = photo(name)
        h, w = rgb8.shape[:2]
        mx, my = lens_maps(h + 9, w - 13)
        inv = HOMOGRAPHY[name]
        for dtype, rgb in (("uint8", rgb8), ("uint16", to_u16(rgb8))):
            gray = np.ascontiguousarray(rgb[..., 1])
            for f in FILTERS:
                key = f"{name}/{dtype}/{f}"
                warped = linora.warp_rgb(rgb, inv, 1.0, 0.0, 0.0, f, out_size=(w + 31, h - 17))
                out[f"warp_rgb/{key}"] = _sha(warped.tobytes())
                zoomed = linora.warp_rgb(rgb, inv, 1.7, -23.5, 11.25, f)
                out[f"warp_rgb_scaled/{key}"] = _sha(zoomed.tobytes())
                out[f"remap_rgb/{key}"] = _sha(linora.remap_rgb(rgb, mx, my, f).tobytes())
                out[f"remap_gray/{key}"] = _sha(linora.remap_gray(gray, mx, my, f).tobytes())
    return out


def input_digests() -> dict[str, str]:
    return {f"input/{name}": _sha(np.ascontiguousarray(photo(name)).tobytes()) for name in PHOTOS}


def all_digests() -> dict[str, str]:
    out = input_digests()
    for name in PHOTOS:
        out.update(detect_digests(name))
    out.update(resample_digests())
    return out


def _expected() -> dict[str, str]:
    return json.loads(GOLDEN.read_text())


def _compare(expected: dict[str, str], got: dict[str, str]) -> None:
    changed = sorted(k for k in got if expected.get(k) != got[k])
    assert not changed, f"{len(changed)} of {len(got)} digests differ: " + ", ".join(changed[:12])


@pytest.fixture(scope="module")
def expected():
    if not os.environ.get("LINORA_PHOTOS"):
        pytest.importorskip("skimage.data", reason="the photographs come with scikit-image")
    exp = _expected()
    inputs = input_digests()
    changed = [k for k in inputs if exp[k] != inputs[k]]
    assert not changed, f"this scikit-image ships other photographs: {changed}"
    return exp


@pytest.mark.x86_64_libm
@pytest.mark.parametrize("name", PHOTOS)
def test_detect_digests(expected, name):
    _compare(expected, detect_digests(name))


def test_resample_digests(expected):
    _compare(expected, resample_digests())


def _in_mode(mode: str, when: str, cpus: str) -> dict:
    child = Path(float_modes.__file__)
    out = subprocess.run([sys.executable, str(child), mode, when, cpus], capture_output=True,
                         text=True, timeout=900, cwd=child.parent)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout.strip().splitlines()[-1])


@pytest.fixture(scope="module")
def default_mode_digests():
    return _in_mode("default", "before", "all")["digests"]


@pytest.mark.skipif(not float_modes.SUPPORTED, reason="mode setting known for x86-64 and aarch64")
@pytest.mark.parametrize("mode", float_modes.MODES)
@pytest.mark.parametrize("when, cpus", [("before", "all"), ("between", "all"), ("between", "1")])
def test_digests_whatever_the_callers_floating_point_mode(default_mode_digests, mode, when, cpus):
    """A caller in flush-to-zero or another rounding mode, set before the
    module is loaded (the workers start in it) or between calls (the workers
    stay in the default mode), gets the default mode's bits (those of the
    golden digests where this platform has them), and finds its own mode as
    it was after every call."""
    report = _in_mode(mode, when, cpus)
    assert report["mode_changed"] == []
    _compare(default_mode_digests, report["digests"])


@pytest.mark.skipif(not float_modes.SUPPORTED, reason="mode setting known for x86-64 and aarch64")
def test_default_mode_digests_are_the_golden_ones(expected, default_mode_digests):
    photos = {k: v for k, v in default_mode_digests.items() if "ripple" not in k}
    if platform.machine() not in ("x86_64", "AMD64"):
        photos = {k: v for k, v in photos.items() if not k.startswith("detect/")}
    _compare(expected, photos)


if __name__ == "__main__":
    if sys.argv[1:] != ["--write"]:
        sys.exit("usage: python tests/python/test_golden.py --write")
    GOLDEN.write_text(json.dumps(all_digests(), indent=1, sort_keys=True) + "\n")
    print(f"wrote {GOLDEN}")
