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
import sys
from pathlib import Path

import numpy as np
import pytest

import linora

GOLDEN = Path(__file__).with_name("golden.json")
PHOTOS = ["camera", "astronaut", "coffee", "chelsea", "motorcycle_left"]
SCALES = [0.5, 0.8, 1.0, 0.63]
DTYPES = ["uint8", "uint16", "float32", "float64"]
FILTERS = ["bilinear", "lanczos3"]


def _sha(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def photo(name: str) -> np.ndarray:
    """The photograph as scikit-image ships it (uint8, gray or RGB); read
    from LINORA_PHOTOS/<name>.npy instead when that variable names a folder
    (for targets without scikit-image: scripts/cross-aarch64.sh saves there
    the host's decoding, whose digests are checked all the same)."""
    folder = os.environ.get("LINORA_PHOTOS")
    if folder:
        return np.load(Path(folder) / f"{name}.npy")
    import skimage.data

    if name == "motorcycle_left":
        return skimage.data.stereo_motorcycle()[0]
    return getattr(skimage.data, name)()


def gray_of(img: np.ndarray) -> np.ndarray:
    """uint8 luma by integer weights (exact on every platform)."""
    if img.ndim == 2:
        return img
    r, g, b = (img[..., c].astype(np.uint32) for c in range(3))
    return ((77 * r + 150 * g + 29 * b + 128) >> 8).astype(np.uint8)


def as_dtype(gray: np.ndarray, dtype: str) -> np.ndarray:
    """The photograph in each accepted dtype, with values that are not just
    the 8-bit ones scaled: 16-bit low bits vary, floats are fractional."""
    h, w = gray.shape
    pattern = (np.arange(w)[None, :] * 7 + np.arange(h)[:, None] * 13) % 251
    g = gray.astype(np.uint32)
    if dtype == "uint8":
        return gray
    if dtype == "uint16":
        return np.minimum(g * 257 + pattern, 65535).astype(np.uint16)
    if dtype == "float32":
        return ((g * 257 + pattern) / np.float32(257.0)).astype(np.float32)
    return g.astype(np.float64) + pattern / 1000.0


def segments_digest(segments: list[linora.Segment]) -> str:
    fields = [(s.x1, s.y1, s.x2, s.y2, s.width, s.precision, s.log_nfa) for s in segments]
    data = np.array(fields, dtype="<f8").reshape(-1, 7).tobytes()
    return f"{len(segments)}:{_sha(data)}"


# Inverse homographies (output pixel -> source position) with rotation, zoom
# and keystone that map part of each output outside its source (those pixels
# stay 0). Written out as literals: computed with trigonometry and matrix
# products they could differ in the last bit between machines.
HOMOGRAPHY = {
    "astronaut": [1.2429, -0.318347, 21.3407, 0.326261, 1.04063, -91.8968, 0.000410522,
                  -0.000379609, 1.0],
    "coffee": [1.23639, -0.355522, 2.72752, 0.286596, 1.04895, -94.0737, 0.000326533,
               -0.000447442, 1.0],
}


def lens_maps(h: int, w: int) -> tuple[np.ndarray, np.ndarray]:
    """float32 maps of a barrel distortion whose corners reach outside."""
    y, x = np.mgrid[0:h, 0:w].astype(np.float64)
    cx, cy = (w - 1) / 2, (h - 1) / 2
    nx, ny = (x - cx) / cx, (y - cy) / cy
    r2 = nx * nx + ny * ny
    k = 1.0 + 0.17 * r2 + 0.03 * (r2 * r2)
    return (cx + nx * k * cx + 0.37).astype(np.float32), (cy + ny * k * cy - 0.21).astype(np.float32)


def to_u16(img: np.ndarray) -> np.ndarray:
    low = (np.arange(img.size) & 0x3F).astype(np.uint16).reshape(img.shape)
    return (img.astype(np.uint16) * 257) ^ low


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


@pytest.mark.parametrize("name", PHOTOS)
def test_detect_digests(expected, name):
    _compare(expected, detect_digests(name))


def test_resample_digests(expected):
    _compare(expected, resample_digests())


if __name__ == "__main__":
    if sys.argv[1:] != ["--write"]:
        sys.exit("usage: python tests/python/test_golden.py --write")
    GOLDEN.write_text(json.dumps(all_digests(), indent=1, sort_keys=True) + "\n")
    print(f"wrote {GOLDEN}")
