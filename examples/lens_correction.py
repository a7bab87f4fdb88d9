#!/usr/bin/env python3
"""Correct lens distortion with coordinate maps and ``linora.remap_rgb``.

    python examples/lens_correction.py [IMAGE] [--k1 -0.25] [--k2 0.05]
        [--filter lanczos3] [--out-dir DIR] [--check]

A radial (Brown) lens model moves an undistorted point p at normalised
radius r from the image centre c to the distorted point

    c + (p - c) * (1 + k1 r^2 + k2 r^4),   r = |p - c| / f,

with f half the image diagonal (so r = 1 at the corners); k1 < 0 gives
barrel distortion, k1 > 0 pincushion.

Correcting a photo needs, for every pixel p of the corrected image, the
position in the photo to take it from: exactly the model applied to p.  So
the maps of ``remap_rgb`` are the model itself, evaluated with NumPy on the
grid of output pixel centres (resampling puts pixel centres at integer
coordinates, so the grid is ``np.mgrid`` and c = ((w - 1) / 2, (h - 1) / 2)).
Output pixels whose source falls outside the photo come out black.

To have a photo with a known distortion, the script first makes one from
IMAGE (default: the bundled sample): each photo pixel takes its value from
the undistorted point that the model sends to it, found by Newton's method
on the radius.  It then corrects that photo and reports how far the result
is from IMAGE, and how detect sees the straight edges in all three images:
bent edges break into shorter segments.  --check fails when the correction
is not close to IMAGE.  The pictures go to --out-dir (by default a new
temporary directory).  Needs numpy, Pillow and linora.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
from collections.abc import Sequence
from pathlib import Path
from typing import Literal

import numpy as np
import numpy.typing as npt
from PIL import Image

import linora

ROOT = Path(__file__).resolve().parent.parent
Maps = tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]


def grid(w: int, h: int) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """x and y of every pixel centre of a w x h image (resampling coordinates)."""
    y, x = np.mgrid[0:h, 0:w].astype(np.float64)
    return x, y


def correction_maps(w: int, h: int, k1: float, k2: float) -> Maps:
    """For each pixel of the corrected image, its position in the distorted photo."""
    cx, cy, f = (w - 1) / 2.0, (h - 1) / 2.0, np.hypot(w, h) / 2.0
    x, y = grid(w, h)
    r2 = ((x - cx) ** 2 + (y - cy) ** 2) / (f * f)
    gain = 1.0 + k1 * r2 + k2 * r2 * r2
    return (cx + (x - cx) * gain).astype(np.float32), (cy + (y - cy) * gain).astype(np.float32)


def distortion_maps(w: int, h: int, k1: float, k2: float, iterations: int = 20) -> Maps:
    """For each pixel of the distorted photo, the undistorted point that the
    model sends there: the radius r_u solving r_u (1 + k1 r_u^2 + k2 r_u^4) = r_d,
    by Newton's method from r_u = r_d.  Where the model has no solution (the
    iteration leaves the valid range) the map gets -1: a black pixel."""
    cx, cy, f = (w - 1) / 2.0, (h - 1) / 2.0, np.hypot(w, h) / 2.0
    x, y = grid(w, h)
    rd = np.hypot(x - cx, y - cy) / f
    ru = rd.copy()
    for _ in range(iterations):
        g = ru * (1.0 + k1 * ru**2 + k2 * ru**4) - rd
        dg = 1.0 + 3.0 * k1 * ru**2 + 5.0 * k2 * ru**4
        ru = ru - g / np.where(dg > 1e-6, dg, 1e-6)
    ok = np.abs(ru * (1.0 + k1 * ru**2 + k2 * ru**4) - rd) < 1e-9
    ratio = np.divide(ru, rd, out=np.ones_like(rd), where=rd > 0)
    map_x = np.where(ok, cx + (x - cx) * ratio, -1.0)
    map_y = np.where(ok, cy + (y - cy) * ratio, -1.0)
    return map_x.astype(np.float32), map_y.astype(np.float32)


def to_gray(rgb: npt.NDArray[np.uint8]) -> npt.NDArray[np.uint8]:
    r, g, b = (rgb[..., c].astype(np.uint32) for c in range(3))
    return ((299 * r + 587 * g + 114 * b + 500) // 1000).astype(np.uint8)


def long_segments(rgb: npt.NDArray[np.uint8], min_length: float) -> tuple[int, float]:
    """How many segments at least `min_length` long detect finds, and the longest."""
    segs = linora.detect(to_gray(rgb), 0.8)
    return sum(s.length >= min_length for s in segs), (segs[0].length if segs else 0.0)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("image", nargs="?", type=Path, default=ROOT / "data" / "sample.png")
    parser.add_argument("--k1", type=float, default=-0.25)
    parser.add_argument("--k2", type=float, default=0.05)
    parser.add_argument("--filter", choices=("bilinear", "lanczos3"), default="lanczos3")
    parser.add_argument("--out-dir", type=Path, default=None,
                        help="where to write the pictures (default: a new temporary directory)")
    parser.add_argument("--check", action="store_true",
                        help="fail unless the corrected image is close to IMAGE")
    args = parser.parse_args(argv)
    filt: Literal["bilinear", "lanczos3"] = "lanczos3" if args.filter == "lanczos3" else "bilinear"

    original = np.ascontiguousarray(np.asarray(Image.open(args.image).convert("RGB"), np.uint8))
    h, w = original.shape[:2]
    photo = linora.remap_rgb(original, *distortion_maps(w, h, args.k1, args.k2), filt)
    corrected = linora.remap_rgb(photo, *correction_maps(w, h, args.k1, args.k2), filt)

    # Compare where the corrected image has content: pixels that came back
    # from inside the photo, away from the black border.
    map_x, map_y = correction_maps(w, h, args.k1, args.k2)
    inside = (map_x >= 2) & (map_x <= w - 3) & (map_y >= 2) & (map_y <= h - 3)
    back_x, _ = distortion_maps(w, h, args.k1, args.k2)
    inside &= back_x[np.clip(np.rint(map_y), 0, h - 1).astype(int),
                     np.clip(np.rint(map_x), 0, w - 1).astype(int)] >= 0
    diff = np.abs(corrected.astype(np.int16) - original.astype(np.int16))[inside]
    mean_diff = float(diff.mean())
    print(f"{args.image.name} {w} x {h}, k1 = {args.k1:g}, k2 = {args.k2:g}, filter {filt}")
    print(f"corrected vs original: mean absolute difference {mean_diff:.2f} gray levels "
          f"over {inside.mean() * 100:.0f} % of the pixels")
    min_length = 0.25 * w
    for name, img in (("original", original), ("distorted", photo), ("corrected", corrected)):
        count, longest = long_segments(img, min_length)
        print(f"  {name:9}: {count:3} segments of {min_length:g} px or more, longest {longest:.1f} px")

    if args.out_dir is None:
        args.out_dir = Path(tempfile.mkdtemp(prefix="linora-"))
    args.out_dir.mkdir(parents=True, exist_ok=True)
    for name, img in (("lens_distorted", photo), ("lens_corrected", corrected)):
        Image.fromarray(img, "RGB").save(args.out_dir / f"{name}.png")
    print(f"wrote {args.out_dir / 'lens_distorted.png'} and {args.out_dir / 'lens_corrected.png'}")
    if args.check and not mean_diff < 8.0:
        print("check failed: the corrected image is far from the original", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
