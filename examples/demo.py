#!/usr/bin/env python3
"""linora demo: find line segments in a photo-like image, then resample it.

1. Loads an RGB image (by default the bundled data/sample.png), converts it to
   8-bit gray and runs ``linora.detect`` at scale 0.8 and 1.0, printing the
   segment counts, the five longest segments and the median run time.  The
   segments are drawn, coloured by orientation, over a dimmed copy of the
   image: ``segments.png``.
2. Rectifies the tilted document page of the sample image to a front view
   with ``linora.warp_rgb`` (Lanczos-3): ``rectified.png``.
3. Gives the image a barrel distortion through coordinate maps from a radial
   lens model and corrects it again with ``linora.remap_rgb`` (the model of
   examples/lens_correction.py): ``remapped.png`` shows both side by side.

Needs only numpy, Pillow and linora.

Usage:
    python examples/demo.py [IMAGE] [--out DIR] [--page X1,Y1,...,X4,Y4]

The pictures go to DIR, by default a new temporary directory.  The page
corners default to those of the bundled sample (see tools/make_sample.py);
for another image of a different size the rectification is skipped unless
--page gives its corners (top-left, top-right, bottom-right, bottom-left of
the page, in pixels with the origin at the image's top-left corner).
"""

from __future__ import annotations

import argparse
import colorsys
import statistics
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt
from PIL import Image, ImageDraw, ImageFont

import linora

sys.path.insert(0, str(Path(__file__).resolve().parent))
import lens_correction  # noqa: E402  (the lens model, beside this file)

ROOT = Path(__file__).resolve().parent.parent
DEFAULT_IMAGE = ROOT / "data" / "sample.png"

# The document page of data/sample.png: top-left, top-right, bottom-right and
# bottom-left corner, origin at the image's top-left corner (pixel edges).
SAMPLE_SIZE = (640, 480)
SAMPLE_PAGE_CORNERS = ((299.0, 270.0), (454.0, 288.0), (425.5, 464.5), (234.0, 434.5))
PAGE_SIZE_MM = (210.0, 297.0)  # A4, portrait
PAGE_PX_PER_MM = 1.5  # resolution of the rectified page

DRAW_SS = 4  # supersampling of the segment overlay (anti-aliasing)
LINE_WIDTH = 1.6  # overlay line width in output pixels
LENS_K1, LENS_K2 = -0.25, 0.05  # the radial lens model of the remap example (barrel)

T = TypeVar("T")
Corners = tuple[tuple[float, float], ...]


def to_gray(rgb: npt.NDArray[np.uint8]) -> npt.NDArray[np.uint8]:
    """8-bit luma (299 R + 587 G + 114 B) / 1000, rounded half up."""
    r = rgb[..., 0].astype(np.uint32)
    g = rgb[..., 1].astype(np.uint32)
    b = rgb[..., 2].astype(np.uint32)
    return ((299 * r + 587 * g + 114 * b + 500) // 1000).astype(np.uint8)


def timed(fn: Callable[[], T], runs: int) -> tuple[T, float]:
    """Run fn `runs` times; return its last result and the median time in ms."""
    times = []
    result: T | None = None
    for _ in range(runs):
        t0 = time.perf_counter()
        result = fn()
        times.append((time.perf_counter() - t0) * 1000.0)
    assert result is not None
    return result, statistics.median(times)


def print_longest(segments: Sequence[linora.Segment], count: int = 5) -> None:
    shown = segments[:count]
    if not shown:
        print("  (no segments)")
        return
    print(f"  {'#':>2} {'x1':>7} {'y1':>7} {'x2':>7} {'y2':>7} {'width':>6}"
          f" {'log_nfa':>8} {'angle':>7} {'length':>7}")
    for i, s in enumerate(shown, 1):
        print(f"  {i:>2} {s.x1:7.1f} {s.y1:7.1f} {s.x2:7.1f} {s.y2:7.1f} {s.width:6.2f}"
              f" {s.log_nfa:8.1f} {s.angle:7.1f} {s.length:7.1f}")


def segment_color(seg: linora.Segment) -> tuple[int, int, int]:
    """Colour from the orientation: horizontal red, vertical cyan, +45
    degrees (down to the right) yellow-green, -45 degrees violet."""
    hue = (seg.angle + 90.0) / 180.0
    if not np.isfinite(hue):
        hue = 0.0
    r, g, b = colorsys.hsv_to_rgb((hue + 0.5) % 1.0, 0.85, 1.0)
    return int(round(r * 255)), int(round(g * 255)), int(round(b * 255))


def load_font(size: int) -> Any:
    try:
        return ImageFont.load_default(size=size)
    except (TypeError, OSError, ValueError):
        return ImageFont.load_default()


def draw_segments(rgb: npt.NDArray[np.uint8], segments: Sequence[linora.Segment], path: Path,
                  caption: str) -> None:
    """Draw the segments over a dimmed gray copy of the image.

    The lines are drawn on a canvas DRAW_SS times larger, once in colour on
    black and once as a white coverage mask, both box-averaged back down;
    the averaged colour is then the line colour premultiplied by the pixel's
    coverage, which is composited over the background.  Segment end points
    use the top-left-corner origin with pixel edges at integers; Pillow puts
    pixel centres at integers, hence the half-pixel shift on the big canvas.
    """
    h, w = rgb.shape[:2]
    gray = to_gray(rgb).astype(np.float32)
    background = np.repeat((0.4 * gray + 10.0)[..., None], 3, axis=2)

    big = (w * DRAW_SS, h * DRAW_SS)
    color_layer = Image.new("RGB", big, (0, 0, 0))
    mask_layer = Image.new("L", big, 0)
    dc = ImageDraw.Draw(color_layer)
    dm = ImageDraw.Draw(mask_layer)
    width = max(1, int(round(LINE_WIDTH * DRAW_SS)))
    # Draw the shortest first so that the long segments stay on top.
    for seg in reversed(segments):
        pts = [(seg.x1 * DRAW_SS - 0.5, seg.y1 * DRAW_SS - 0.5),
               (seg.x2 * DRAW_SS - 0.5, seg.y2 * DRAW_SS - 0.5)]
        if not all(np.isfinite(v) for p in pts for v in p):
            continue
        dc.line(pts, fill=segment_color(seg), width=width)
        dm.line(pts, fill=255, width=width)
    colour = np.asarray(color_layer.reduce(DRAW_SS), np.float32)
    cover = np.asarray(mask_layer.reduce(DRAW_SS), np.float32)[..., None] / 255.0
    out = background * (1.0 - cover) + colour
    image = Image.fromarray(np.clip(np.rint(out), 0, 255).astype(np.uint8), "RGB")

    # Number the five longest segments (label i sits beside the point i/6 of
    # the way along, so that labels of parallel neighbours do not collide)
    # and add a caption.
    draw = ImageDraw.Draw(image)
    font = load_font(13)
    for i, seg in enumerate(segments[:5], 1):
        t = i / 6.0
        length = max(seg.length, 1e-9)
        nx = (seg.y1 - seg.y2) / length
        ny = (seg.x2 - seg.x1) / length
        cx = seg.x1 + t * (seg.x2 - seg.x1) + 8.0 * nx
        cy = seg.y1 + t * (seg.y2 - seg.y1) + 8.0 * ny
        if np.isfinite(cx) and np.isfinite(cy):
            draw_text(draw, (cx, cy), str(i), font, centred=True)
    draw_text(draw, (6, h - 20), caption, font)
    image.save(path)


def draw_text(draw: ImageDraw.ImageDraw, xy: tuple[float, float], text: str, font: Any,
              centred: bool = False) -> None:
    """White text with a black outline, optionally centred on xy."""
    x, y = xy
    if centred:
        left, top, right, bottom = draw.textbbox((0, 0), text, font=font)
        x -= (left + right) / 2.0
        y -= (top + bottom) / 2.0
    try:
        draw.text((x, y), text, fill=(255, 255, 255), font=font, stroke_width=2,
                  stroke_fill=(0, 0, 0))
    except (TypeError, ValueError, OSError):
        draw.text((x, y), text, fill=(255, 255, 255), font=font)


def homography(src: Sequence[tuple[float, float]],
               dst: Sequence[tuple[float, float]]) -> npt.NDArray[np.float64]:
    """3x3 matrix H (H[2, 2] = 1) with dst ~ H (src, 1) for four point pairs:
    the direct linear transform, solved as an 8 x 8 linear system."""
    a = np.zeros((8, 8))
    b = np.zeros(8)
    for i, ((x, y), (u, v)) in enumerate(zip(src, dst)):
        a[2 * i] = [x, y, 1.0, 0.0, 0.0, 0.0, -u * x, -u * y]
        a[2 * i + 1] = [0.0, 0.0, 0.0, x, y, 1.0, -v * x, -v * y]
        b[2 * i] = u
        b[2 * i + 1] = v
    return np.append(np.linalg.solve(a, b), 1.0).reshape(3, 3)


def rectify_page(rgb: npt.NDArray[np.uint8], corners: Corners
                 ) -> tuple[tuple[int, int], Callable[[], npt.NDArray[np.uint8]]]:
    """Front view of the page whose image corners are given.

    The output shows the page plane in millimetres at PAGE_PX_PER_MM pixels
    per millimetre.  `page_to_image` maps page millimetres (origin at the
    page's top-left corner) to image coordinates with the origin at the
    image's top-left corner; warp_rgb samples the source with pixel centres
    at integers, so a translation by -0.5 follows it.  Output pixel (x, y)
    has its centre at page point ((x + 0.5) / s, (y + 0.5) / s), which
    warp_rgb produces from scale s and offsets 0.5 / s.
    """
    pw, ph = PAGE_SIZE_MM
    page_to_image = homography([(0.0, 0.0), (pw, 0.0), (pw, ph), (0.0, ph)], corners)
    to_sample_pos = np.array([[1.0, 0.0, -0.5], [0.0, 1.0, -0.5], [0.0, 0.0, 1.0]])
    inverse = to_sample_pos @ page_to_image
    inverse /= inverse[2, 2]
    s = PAGE_PX_PER_MM
    out_size = (int(round(pw * s)), int(round(ph * s)))
    return out_size, lambda: linora.warp_rgb(rgb, inverse.ravel().tolist(), s, 0.5 / s,
                                             0.5 / s, filter="lanczos3", out_size=out_size)


def save_rectified(rgb: npt.NDArray[np.uint8], corners: Corners, path: Path, runs: int) -> None:
    try:
        out_size, warp = rectify_page(rgb, corners)
    except np.linalg.LinAlgError:
        print("rectification skipped: the page corners are degenerate")
        return
    page, ms = timed(warp, runs)
    Image.fromarray(page, "RGB").save(path)
    print(f"warp_rgb(lanczos3) page {out_size[0]} x {out_size[1]}: {ms:.2f} ms (median of {runs})")
    print(f"wrote {path}")


def side_by_side(left: npt.NDArray[np.uint8], right: npt.NDArray[np.uint8],
                 captions: tuple[str, str]) -> Image.Image:
    """Two images of one size, 8 pixels apart, each with its caption."""
    h, w = left.shape[:2]
    out = Image.new("RGB", (2 * w + 8, h), (255, 255, 255))
    draw = ImageDraw.Draw(out)
    font = load_font(13)
    for i, (img, caption) in enumerate(zip((left, right), captions)):
        out.paste(Image.fromarray(img, "RGB"), (i * (w + 8), 0))
        draw_text(draw, (i * (w + 8) + 6, h - 20), caption, font)
    return out


def parse_corners(text: str) -> Corners:
    vals = [float(v) for v in text.split(",")]
    if len(vals) != 8:
        raise argparse.ArgumentTypeError("--page needs 8 comma-separated numbers")
    return tuple((vals[i], vals[i + 1]) for i in range(0, 8, 2))


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("image", nargs="?", type=Path, default=DEFAULT_IMAGE,
                        help="RGB image to process (default: the bundled sample)")
    parser.add_argument("--out", type=Path, default=None,
                        help="output directory (default: a new temporary directory)")
    parser.add_argument("--page", type=parse_corners, default=None,
                        help="page corners X1,Y1,...,X4,Y4 for the rectification")
    parser.add_argument("--runs", type=int, default=5,
                        help="timed runs per measurement (default 5)")
    args = parser.parse_args(argv)
    runs = max(1, args.runs)

    rgb = np.ascontiguousarray(np.asarray(Image.open(args.image).convert("RGB")))
    h, w = rgb.shape[:2]
    gray = to_gray(rgb)
    if args.out is None:
        args.out = Path(tempfile.mkdtemp(prefix="linora-demo-"))
    args.out.mkdir(parents=True, exist_ok=True)
    print(f"image: {args.image} ({w} x {h})")

    # 1. Line segments.
    segments, ms08 = timed(lambda: linora.detect(gray, 0.8), runs)
    segments_10, ms10 = timed(lambda: linora.detect(gray, 1.0), runs)
    print(f"detect(scale=0.8): {len(segments)} segments, {ms08:.1f} ms (median of {runs})")
    print(f"detect(scale=1.0): {len(segments_10)} segments, {ms10:.1f} ms (median of {runs})")
    print("longest segments (scale 0.8; angle in degrees, y down):")
    print_longest(segments)
    seg_path = args.out / "segments.png"
    draw_segments(rgb, segments, seg_path, f"{len(segments)} segments, scale 0.8")
    print(f"wrote {seg_path}")

    # 2. Page rectification through a homography.
    corners = args.page
    if corners is None and (w, h) == SAMPLE_SIZE:
        corners = SAMPLE_PAGE_CORNERS
    if corners is None:
        print("rectification skipped: give the page corners with --page")
    else:
        save_rectified(rgb, corners, args.out / "rectified.png", runs)

    # 3. Lens distortion and its correction through coordinate maps.
    bent = linora.remap_rgb(rgb, *lens_correction.distortion_maps(w, h, LENS_K1, LENS_K2),
                            "lanczos3")
    map_x, map_y = lens_correction.correction_maps(w, h, LENS_K1, LENS_K2)
    fixed, ms = timed(lambda: linora.remap_rgb(bent, map_x, map_y, "lanczos3"), runs)
    remap_path = args.out / "remapped.png"
    side_by_side(bent, fixed, ("barrel-distorted photo", "corrected with remap_rgb")).save(
        remap_path)
    print(f"remap_rgb(lanczos3) lens correction {w} x {h}: {ms:.2f} ms (median of {runs})")
    print(f"wrote {remap_path}")
    print(f"the pictures are in {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
