#!/usr/bin/env python3
"""Render the pictures of the README into docs/ with the installed linora.

    python tools/make_figures.py [--out-dir docs]

- docs/segments.png: examples/detect_segments.py on data/sample.png;
- docs/rectified.png: examples/rectify_document.py: the page found among the
  segments, and its front view made with warp_rgb;
- docs/remap.png: examples/lens_correction.py: a barrel-distorted photo and
  its correction with remap_rgb;
- docs/conventions.png: the two coordinate frames, and where detect puts a
  sharp edge (drawn from a real detect call).

The pictures are reduced to at most 256 colours to keep the files small.
Needs numpy, Pillow and linora.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from pathlib import Path

import numpy as np
import numpy.typing as npt
from PIL import Image, ImageDraw, ImageFont

import linora

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))

import detect_segments  # noqa: E402
import lens_correction  # noqa: E402
import rectify_document  # noqa: E402

SAMPLE = ROOT / "data" / "sample.png"
BG = (255, 255, 255)
INK = (30, 30, 30)


def font(size: int) -> ImageFont.FreeTypeFont | ImageFont.ImageFont:
    try:
        return ImageFont.load_default(size=size)
    except (TypeError, OSError, ValueError):
        return ImageFont.load_default()


def save(img: Image.Image, path: Path) -> None:
    img.convert("RGB").quantize(256, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE
                                ).save(path, optimize=True)
    print(f"wrote {path} ({path.stat().st_size // 1024} KiB)")


def side_by_side(panels: Sequence[Image.Image], captions: Sequence[str], height: int) -> Image.Image:
    """The panels scaled to one height, 12 px apart, with a caption under each."""
    scaled = [p.resize((round(p.width * height / p.height), height), Image.Resampling.LANCZOS)
              for p in panels]
    gap, text_h = 12, 26
    out = Image.new("RGB", (sum(p.width for p in scaled) + gap * (len(scaled) - 1),
                            height + text_h), BG)
    draw = ImageDraw.Draw(out)
    x = 0
    for p, caption in zip(scaled, captions):
        out.paste(p, (x, 0))
        draw.text((x + p.width / 2, height + 6), caption, fill=INK, font=font(15), anchor="mt")
        x += p.width + gap
    return out


def segments_figure() -> Image.Image:
    rgb = detect_segments.load_rgb(SAMPLE)
    segments = linora.detect(detect_segments.to_gray(rgb), 0.8)
    kept = detect_segments.keep(segments, 20.0, 10.0)
    ids = {id(s) for s in kept}
    return detect_segments.draw_overlay(rgb, kept, [s for s in segments if id(s) not in ids])


def rectified_figure() -> Image.Image:
    rgb = detect_segments.load_rgb(SAMPLE)
    gray = rectify_document.to_gray(rgb)
    found = rectify_document.find_page(gray, linora.detect(gray, 1.0))
    if found is None:
        raise SystemExit("rectify_document found no page in the sample")
    corners = rectify_document.order_corners(found)
    paper = rectify_document.paper_for(corners, rectify_document.PAPER_MM["a4"])
    page = rectify_document.rectify(rgb, corners, paper, 1.5)
    return side_by_side([rectify_document.draw_found(rgb, corners), Image.fromarray(page, "RGB")],
                        ["page sides found among the segments", "warp_rgb front view"], 360)


def remap_figure() -> Image.Image:
    original = detect_segments.load_rgb(SAMPLE)
    h, w = original.shape[:2]
    k1, k2 = -0.25, 0.05
    photo = linora.remap_rgb(original, *lens_correction.distortion_maps(w, h, k1, k2), "lanczos3")
    fixed = linora.remap_rgb(photo, *lens_correction.correction_maps(w, h, k1, k2), "lanczos3")
    return side_by_side([Image.fromarray(photo, "RGB"), Image.fromarray(fixed, "RGB")],
                        ["barrel-distorted photo", "remap_rgb with the radial model"], 300)


RED = (200, 25, 25)
BLUE = (20, 70, 200)
Ticks = Sequence[tuple[float, str]]


def grid_panel(cols: int, rows: int, px: int, values: npt.NDArray[np.uint8], title: str,
               top_ticks: Ticks, bottom_ticks: Ticks, top_colour: tuple[int, int, int],
               bottom_colour: tuple[int, int, int]) -> tuple[Image.Image, int, int]:
    """A magnified image of cols x rows pixels with a title and an x axis
    above it and another x axis below it (positions in pixels from the
    grid's left edge); returns the panel and the grid's top-left corner."""
    left, top = 50, 70
    img = Image.new("RGB", (left + cols * px + 50, top + rows * px + 80), BG)
    draw = ImageDraw.Draw(img)
    draw.text((left, 8), title, fill=INK, font=font(16))
    for y in range(rows):
        for x in range(cols):
            v = int(values[y, x])
            draw.rectangle((left + x * px, top + y * px, left + (x + 1) * px - 1,
                            top + (y + 1) * px - 1), fill=(v, v, v), outline=(150, 150, 150))
    base = top + rows * px
    for pos, label in top_ticks:
        tx = left + pos * px
        draw.line((tx, top - 8, tx, top), fill=top_colour, width=2)
        draw.text((tx, top - 12), label, fill=top_colour, font=font(13), anchor="mb")
    for pos, label in bottom_ticks:
        tx = left + pos * px
        draw.line((tx, base, tx, base + 8), fill=bottom_colour, width=2)
        draw.text((tx, base + 12), label, fill=bottom_colour, font=font(13), anchor="mt")
    return img, left, top


def conventions_figure() -> Image.Image:
    """Left: a 4 x 3 image in the two frames.  Right: an 8 x 8 step image
    and the segment that detect returns for it at scale 1."""
    px = 64
    values = np.full((3, 4), 225, np.uint8)
    values[1, 1] = 150
    a, left, top = grid_panel(
        4, 3, px, values, "one image, two frames",
        [(float(i), f"{i}") for i in range(5)],
        [(i + 0.5, f"{i}") for i in range(4)] + [(0.0, "-0.5"), (4.0, "3.5")], RED, BLUE)
    draw = ImageDraw.Draw(a)
    cx, cy = left + 1.5 * px, top + 1.5 * px
    draw.ellipse((cx - 5, cy - 5, cx + 5, cy + 5), fill=INK)
    draw.text((cx + 9, cy - 20), "(1.5, 1.5)", fill=RED, font=font(13))
    draw.text((cx + 9, cy + 4), "(1, 1)", fill=BLUE, font=font(13))
    base = top + 3 * px
    draw.text((left, base + 36), "red, above: detect results (pixel edges at integers)",
              fill=RED, font=font(12))
    draw.text((left, base + 54), "blue, below: resampling (pixel centres at integers)",
              fill=BLUE, font=font(12))

    step = np.zeros((8, 8), np.uint8)
    step[:, 3:] = 255
    seg = linora.detect(step, 1.0)[0]
    q = 36
    shown = np.where(step > 0, 225, 60).astype(np.uint8)
    b, left, top = grid_panel(8, 8, q, shown, "detect(step, 1.0): dark | bright at x = 3",
                              [(float(i), str(i)) for i in range(9)],
                              [(i + 0.5, str(i)) for i in range(8)], RED, BLUE)
    draw = ImageDraw.Draw(b)
    # The pixel boundary between the dark and the bright columns.
    x3 = left + 3 * q
    for y in range(top, top + 8 * q, 10):
        draw.line((x3, y, x3, y + 5), fill=(90, 160, 255), width=3)
    p1 = (left + seg.x1 * q, top + seg.y1 * q)
    p2 = (left + seg.x2 * q, top + seg.y2 * q)
    draw.line((p1, p2), fill=(230, 40, 40), width=4)
    for ex, ey in (p1, p2):
        draw.ellipse((ex - 5, ey - 5, ex + 5, ey + 5), fill=(230, 40, 40))
    for ex, ey, sx, sy in ((p1[0], p1[1], seg.x1, seg.y1), (p2[0], p2[1], seg.x2, seg.y2)):
        draw.text((ex - 8, ey), f"({sx:g}, {sy:g})", fill=(255, 255, 255), font=font(12),
                  anchor="rm")
    base = top + 8 * q
    draw.text((left, base + 36), f"red: the segment returned, x = {seg.x1:g} (detect frame)",
              fill=RED, font=font(12))
    draw.text((left, base + 54), "dotted: the edge, x = 3 (detect) = 2.5 (resampling)",
              fill=BLUE, font=font(12))
    out = Image.new("RGB", (a.width + b.width + 10, max(a.height, b.height)), BG)
    out.paste(a, (0, 0))
    out.paste(b, (a.width + 10, 0))
    return out


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("--out-dir", type=Path, default=ROOT / "docs")
    args = parser.parse_args(argv)
    args.out_dir.mkdir(parents=True, exist_ok=True)
    save(segments_figure(), args.out_dir / "segments.png")
    save(rectified_figure(), args.out_dir / "rectified.png")
    save(remap_figure(), args.out_dir / "remap.png")
    save(conventions_figure(), args.out_dir / "conventions.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
