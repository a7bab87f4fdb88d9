#!/usr/bin/env python3
"""Detect line segments, keep the long and certain ones, and draw them.

    python examples/detect_segments.py [IMAGE] [--scale 0.8]
        [--min-length 20] [--min-log-nfa 10] [--out detected.png]

Runs ``linora.detect`` on the gray version of IMAGE (default: the bundled
data/sample.png), then filters the segments:

- by length (``Segment.length``, pixels): short segments are mostly texture;
- by ``Segment.log_nfa``: -log10 of the number of false alarms.  Every
  returned segment has log_nfa > 0, i.e. less than one such segment is
  expected in a noise image of this size; log_nfa >= 10 means fewer than one
  in 10**10 noise images, so only clear, long or high-contrast edges pass.

Kept segments are drawn coloured by direction over a dimmed copy of the
image; the rejected ones are drawn thin and gray, into --out (by default
detected.png in a new temporary directory).  Needs numpy, Pillow and
linora.
"""

from __future__ import annotations

import argparse
import colorsys
import math
import sys
import tempfile
from collections.abc import Sequence
from pathlib import Path

import numpy as np
import numpy.typing as npt
from PIL import Image, ImageDraw

import linora

ROOT = Path(__file__).resolve().parent.parent
SS = 4  # the overlay is drawn SS times larger and averaged down (anti-aliasing)


def load_rgb(path: Path) -> npt.NDArray[np.uint8]:
    return np.ascontiguousarray(np.asarray(Image.open(path).convert("RGB"), dtype=np.uint8))


def to_gray(rgb: npt.NDArray[np.uint8]) -> npt.NDArray[np.uint8]:
    """8-bit luma (299 R + 587 G + 114 B) / 1000, rounded half up."""
    r, g, b = (rgb[..., c].astype(np.uint32) for c in range(3))
    return ((299 * r + 587 * g + 114 * b + 500) // 1000).astype(np.uint8)


def keep(segments: Sequence[linora.Segment], min_length: float,
         min_log_nfa: float) -> list[linora.Segment]:
    """The segments at least `min_length` pixels long with log_nfa >= `min_log_nfa`."""
    return [s for s in segments if s.length >= min_length and s.log_nfa >= min_log_nfa]


def direction_colour(seg: linora.Segment) -> tuple[int, int, int]:
    """A hue from the direction: horizontal red, vertical cyan."""
    hue = (seg.angle + 90.0) / 180.0
    r, g, b = colorsys.hsv_to_rgb((hue + 0.5) % 1.0 if math.isfinite(hue) else 0.0, 0.85, 1.0)
    return int(r * 255 + 0.5), int(g * 255 + 0.5), int(b * 255 + 0.5)


def canvas_points(seg: linora.Segment, k: int) -> list[tuple[float, float]]:
    """End points on a canvas k times larger, in Pillow's convention (pixel
    centres at integers).

    At scale 1, detect reports an edge half a pixel up and to the left of the
    pixel boundary it lies on (the gradient of the 2 x 2 block whose top-left
    pixel is (x, y) is attributed to that pixel), so the edge itself is at
    (x + 0.5, y + 0.5) with the origin at the image's top-left corner; on the
    canvas, whose pixel i covers [i / k, (i + 1) / k), that is
    (x + 0.5) * k - 0.5.
    """
    return [((seg.x1 + 0.5) * k - 0.5, (seg.y1 + 0.5) * k - 0.5),
            ((seg.x2 + 0.5) * k - 0.5, (seg.y2 + 0.5) * k - 0.5)]


def draw_overlay(rgb: npt.NDArray[np.uint8], kept: Sequence[linora.Segment],
                 rejected: Sequence[linora.Segment]) -> Image.Image:
    """Kept segments in colour (2 px), rejected ones thin and gray, over a
    dimmed gray copy of the image."""
    h, w = rgb.shape[:2]
    background = to_gray(rgb).astype(np.float32) * 0.45 + 10.0
    canvas = Image.fromarray(np.repeat(background[..., None], 3, axis=2).astype(np.uint8), "RGB")
    canvas = canvas.resize((w * SS, h * SS), Image.Resampling.NEAREST)
    draw = ImageDraw.Draw(canvas)
    for seg in rejected:
        pts = canvas_points(seg, SS)
        if all(math.isfinite(v) for p in pts for v in p):
            draw.line(pts, fill=(150, 150, 150), width=max(1, SS // 2))
    for seg in reversed(kept):  # the longest on top
        pts = canvas_points(seg, SS)
        if all(math.isfinite(v) for p in pts for v in p):
            draw.line(pts, fill=direction_colour(seg), width=2 * SS)
    return canvas.reduce(SS)


def print_table(segments: Sequence[linora.Segment], count: int = 5) -> None:
    print(f"  {'x1':>7} {'y1':>7} {'x2':>7} {'y2':>7} {'width':>6} {'precision':>9}"
          f" {'log_nfa':>8} {'angle':>6} {'length':>7}")
    for s in segments[:count]:
        print(f"  {s.x1:7.1f} {s.y1:7.1f} {s.x2:7.1f} {s.y2:7.1f} {s.width:6.2f} {s.precision:9.5f}"
              f" {s.log_nfa:8.1f} {s.angle:6.1f} {s.length:7.1f}")


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("image", nargs="?", type=Path, default=ROOT / "data" / "sample.png")
    parser.add_argument("--scale", type=float, default=0.8, help="detect's scale (default 0.8)")
    parser.add_argument("--min-length", type=float, default=20.0, help="pixels (default 20)")
    parser.add_argument("--min-log-nfa", type=float, default=10.0, help="default 10")
    parser.add_argument("--out", type=Path, default=None,
                        help="the picture to write (default: in a new temporary directory)")
    args = parser.parse_args(argv)

    rgb = load_rgb(args.image)
    segments = linora.detect(to_gray(rgb), args.scale)
    kept = keep(segments, args.min_length, args.min_log_nfa)
    kept_ids = {id(s) for s in kept}
    rejected = [s for s in segments if id(s) not in kept_ids]
    print(f"{args.image.name}: {len(segments)} segments at scale {args.scale}; "
          f"{len(kept)} with length >= {args.min_length:g} px and log_nfa >= {args.min_log_nfa:g}")
    if segments:
        nfa = np.array([s.log_nfa for s in segments])
        length = np.array([s.length for s in segments])
        print(f"  log_nfa: min {nfa.min():.2f}, median {np.median(nfa):.1f}, max {nfa.max():.1f}; "
              f"length: median {np.median(length):.1f} px, max {length.max():.1f} px")
        print(f"  precision values: {sorted({s.precision for s in segments}, reverse=True)}")
    print("longest kept segments (angle in degrees, y down):")
    print_table(kept)

    if args.out is None:
        args.out = Path(tempfile.mkdtemp(prefix="linora-")) / "detected.png"
    args.out.parent.mkdir(parents=True, exist_ok=True)
    draw_overlay(rgb, kept, rejected).save(args.out)
    print(f"wrote {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
