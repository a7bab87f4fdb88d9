#!/usr/bin/env python3
"""Find a document page in a photo and warp it to a front view.

    python examples/rectify_document.py [IMAGE] [--paper a4] [--px-per-mm 1.5]
        [--out rectified_page.png] [--check TOLERANCE]

1. ``linora.detect`` at scale 1 (full resolution, for the most exact
   geometry) finds the segments of the gray image.
2. Page-side candidates: long segments with a clear brightness step across
   them.  A segment's end points are ordered so that the brighter side lies
   in the direction (dy, -dx), (dx, dy) = (x2 - x1, y2 - y1); for a page
   brighter than the table that is the direction towards the page.
3. Every choice of four candidates whose bright sides face each other (their
   normals sorted by angle turn by 40 to 140 degrees from one to the next)
   is intersected into a quadrilateral; it counts when it is convex, lies in
   the image and detected segments cover at least 60 % of each side.  The
   largest such quadrilateral is the page.
4. The homography from page millimetres to image pixels is solved with NumPy
   (direct linear transform: the null vector of an 8 x 9 system, by SVD).
5. ``linora.warp_rgb`` renders the page at --px-per-mm pixels per millimetre,
   with the Lanczos-3 kernel.

On the bundled sample image the corners found are compared with the corners
the sample was drawn with (tools/make_sample.py); --check TOLERANCE makes the
script fail when any corner is farther off than TOLERANCE pixels.  Needs
numpy, Pillow and linora.
"""

from __future__ import annotations

import argparse
import itertools
import math
import sys
import tempfile
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt
from PIL import Image, ImageDraw

import linora

ROOT = Path(__file__).resolve().parent.parent
SAMPLE = ROOT / "data" / "sample.png"
# The corners data/sample.png was drawn with (top-left, top-right,
# bottom-right, bottom-left; origin at the image's top-left corner).  Used only
# to check the result, never to find the page.
SAMPLE_CORNERS = ((299.0, 270.0), (454.0, 288.0), (425.5, 464.5), (234.0, 434.5))
PAPER_MM = {"a4": (210.0, 297.0), "a5": (148.0, 210.0), "letter": (215.9, 279.4)}

Point = tuple[float, float]


@dataclass
class Side:
    """A candidate page side: collinear detected segments seen as one line.

    Points are in image coordinates with the origin at the image's top-left
    corner (pixel (x, y) covers [x, x + 1) x [y, y + 1)).  `p` is a point of
    the line, `d` its unit direction and `n` the unit normal towards the
    brighter side; `pieces` are the parameter intervals (along `d`, from `p`)
    that detected segments cover.
    """

    p: npt.NDArray[np.float64]
    d: npt.NDArray[np.float64]
    n: npt.NDArray[np.float64]
    pieces: list[tuple[float, float]]

    def covered(self, lo: float = -math.inf, hi: float = math.inf) -> float:
        """Length of [lo, hi] covered by the pieces (overlaps counted once)."""
        total, end = 0.0, lo
        for a, b in sorted(self.pieces):
            a, b = max(a, end), min(b, hi)
            if b > a:
                total += b - a
                end = b
        return total

    def accepts(self, p1: npt.NDArray[np.float64], p2: npt.NDArray[np.float64],
                n: npt.NDArray[np.float64], tol: float = 1.5) -> bool:
        """Whether the segment p1-p2 with bright-side normal n lies on this line."""
        return (float(n @ self.n) >= 0.995 and abs(float((p1 - self.p) @ self.n)) <= tol
                and abs(float((p2 - self.p) @ self.n)) <= tol)


def to_gray(rgb: npt.NDArray[np.uint8]) -> npt.NDArray[np.uint8]:
    r, g, b = (rgb[..., c].astype(np.uint32) for c in range(3))
    return ((299 * r + 587 * g + 114 * b + 500) // 1000).astype(np.uint8)


def edge_points(seg: linora.Segment) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The segment's end points on the edge itself.  At scale 1 detect places
    an edge half a pixel up and left of the pixel boundary it lies on (see the
    README's conventions), hence the + 0.5."""
    return (np.array([seg.x1 + 0.5, seg.y1 + 0.5]), np.array([seg.x2 + 0.5, seg.y2 + 0.5]))


def mean_along(gray: npt.NDArray[np.uint8], p1: npt.NDArray[np.float64],
               p2: npt.NDArray[np.float64], offset: npt.NDArray[np.float64]) -> float:
    """Mean gray level at 16 points of the segment p1-p2 moved by `offset`."""
    h, w = gray.shape
    t = np.linspace(0.1, 0.9, 16)[:, None]
    pts = p1 + t * (p2 - p1) + offset
    xs = np.clip(np.floor(pts[:, 0]).astype(np.int64), 0, w - 1)
    ys = np.clip(np.floor(pts[:, 1]).astype(np.int64), 0, h - 1)
    return float(gray[ys, xs].mean())


def side_candidates(gray: npt.NDArray[np.uint8], segments: Sequence[linora.Segment],
                    min_length: float, min_contrast: float = 25.0,
                    count: int = 28) -> list[Side]:
    """Lines of collinear segments with a brightness step of at least
    `min_contrast` gray levels between 3 pixels on either side, covered over
    at least `min_length` pixels: the `count` best covered ones.

    A page side is often found in several pieces (a crossing edge, a shadow
    or noise breaks it), so the pieces are merged: the longest segment starts
    a line and every later one that lies on it (same bright side, both ends
    within 1.5 pixels) adds its interval.
    """
    lines: list[Side] = []
    for seg in segments:  # longest first
        if not seg.length >= 10.0:
            break
        p1, p2 = edge_points(seg)
        d = (p2 - p1) / seg.length
        n = np.array([d[1], -d[0]])  # towards the brighter side
        contrast = mean_along(gray, p1, p2, 3.0 * n) - mean_along(gray, p1, p2, -3.0 * n)
        if not contrast >= min_contrast:
            continue
        for line in lines:
            if line.accepts(p1, p2, n):
                t1, t2 = sorted((float((p1 - line.p) @ line.d), float((p2 - line.p) @ line.d)))
                line.pieces.append((t1, t2))
                break
        else:
            lines.append(Side(p1, d, n, [(0.0, seg.length)]))
    lines = [line for line in lines if line.covered() >= min_length]
    return sorted(lines, key=lambda line: -line.covered())[:count]


def intersect(a: Side, b: Side) -> npt.NDArray[np.float64] | None:
    """The intersection of the two sides' lines (None when nearly parallel)."""
    m = np.array([a.d, -b.d]).T
    if abs(np.linalg.det(m)) < 1e-6:
        return None
    t = np.linalg.solve(m, b.p - a.p)
    return np.asarray(a.p + t[0] * a.d, dtype=np.float64)


def find_page(gray: npt.NDArray[np.uint8], segments: Sequence[linora.Segment],
              min_coverage: float = 0.7) -> npt.NDArray[np.float64] | None:
    """The corners of the largest convex quadrilateral of candidate sides,
    as a 4 x 2 array in the order the sides meet (or None)."""
    h, w = gray.shape
    sides = side_candidates(gray, segments, min_length=0.1 * min(w, h))
    best: npt.NDArray[np.float64] | None = None
    best_area = 0.0
    for four in itertools.combinations(sides, 4):
        # Order the sides by the direction of their inward normals: around a
        # convex page that is the order in which they meet.
        quad = sorted(four, key=lambda s: math.atan2(s.n[1], s.n[0]))
        turns = [math.degrees(math.atan2(float(a.n[0] * b.n[1] - a.n[1] * b.n[0]), float(a.n @ b.n)))
                 for a, b in zip(quad, quad[1:] + quad[:1])]
        if not all(40.0 <= t <= 140.0 for t in turns):
            continue
        corners = [intersect(a, b) for a, b in zip(quad, quad[1:] + quad[:1])]
        if any(c is None for c in corners):
            continue
        pts = np.array(corners)
        if not (np.all(pts > -1.0) and np.all(pts[:, 0] < w + 1.0) and np.all(pts[:, 1] < h + 1.0)):
            continue
        # The page lies on the bright side of each of its sides.
        centre = pts.mean(axis=0)
        if not all(float((centre - s.p) @ s.n) > 0.0 for s in quad):
            continue
        x, y = pts[:, 0], pts[:, 1]
        area = 0.5 * abs(float(x @ np.roll(y, -1) - y @ np.roll(x, -1)))
        if area <= best_area:
            continue
        # Side i runs from corner i-1 to corner i (the corners follow the sides).
        if all(well_covered(quad[i], pts[i - 1], pts[i], min_coverage) for i in range(4)):
            best, best_area = pts, area
    return best


def well_covered(side: Side, a: npt.NDArray[np.float64], b: npt.NDArray[np.float64],
                 min_coverage: float) -> bool:
    """Whether segments cover at least `min_coverage` of the side between
    corners a and b, and half of each end stretch (its 15 % next to a
    corner), so that the corners are where the segments end."""
    ta, tb = sorted((float((a - side.p) @ side.d), float((b - side.p) @ side.d)))
    span = tb - ta
    if not span > 0.0:
        return False
    end = 0.15 * span
    return (side.covered(ta, tb) >= min_coverage * span
            and side.covered(ta, ta + end) >= 0.5 * end
            and side.covered(tb - end, tb) >= 0.5 * end)


def order_corners(pts: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Top-left, top-right, bottom-right, bottom-left: clockwise on screen,
    starting from the corner nearest the image's top-left corner."""
    c = pts.mean(axis=0)
    clockwise = pts[np.argsort(np.arctan2(pts[:, 1] - c[1], pts[:, 0] - c[0]))]
    start = int(np.argmin(clockwise.sum(axis=1)))
    return np.roll(clockwise, -start, axis=0)


def homography(src: npt.NDArray[np.float64], dst: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The 3 x 3 matrix H with dst ~ H (src, 1), from four point pairs: the
    direct linear transform, H being the null vector of the 8 x 9 system."""
    rows = []
    for (x, y), (u, v) in zip(src, dst):
        rows.append([x, y, 1.0, 0.0, 0.0, 0.0, -u * x, -u * y, -u])
        rows.append([0.0, 0.0, 0.0, x, y, 1.0, -v * x, -v * y, -v])
    _, _, vt = np.linalg.svd(np.array(rows))
    hmat = vt[-1].reshape(3, 3)
    return np.asarray(hmat / hmat[2, 2], dtype=np.float64)


def rectify(rgb: npt.NDArray[np.uint8], corners: npt.NDArray[np.float64], paper_mm: Point,
            px_per_mm: float) -> npt.NDArray[np.uint8]:
    """The page with these image corners (top-left, top-right, bottom-right,
    bottom-left; origin at the image's top-left corner) as a front view.

    The page plane is in millimetres with the origin at its top-left corner.
    warp_rgb maps output pixel (x, y) to the plane point
    (x / scale + off_x, y / scale + off_y); with scale = px_per_mm and offsets
    0.5 / scale, that is the centre of the output pixel.  `inverse` maps that
    plane point to the source position in resampling coordinates, whose pixel
    centres are at integers: the homography to image coordinates followed by
    a shift of -0.5.
    """
    pw, ph = paper_mm
    page = np.array([(0.0, 0.0), (pw, 0.0), (pw, ph), (0.0, ph)])
    page_to_image = homography(page, corners)
    to_sample = np.array([[1.0, 0.0, -0.5], [0.0, 1.0, -0.5], [0.0, 0.0, 1.0]])
    inverse = to_sample @ page_to_image
    s = px_per_mm
    out_size = (int(round(pw * s)), int(round(ph * s)))
    return linora.warp_rgb(rgb, inverse.ravel(), s, 0.5 / s, 0.5 / s, filter="lanczos3",
                           out_size=out_size)


def paper_for(corners: npt.NDArray[np.float64], paper: Point) -> Point:
    """Portrait or landscape, whichever matches the page's sides in the image."""
    tl, tr, br, bl = corners
    across = np.hypot(*(tr - tl)) + np.hypot(*(br - bl))
    down = np.hypot(*(bl - tl)) + np.hypot(*(br - tr))
    short, long_ = sorted(paper)
    return (short, long_) if across <= down else (long_, short)


def draw_found(rgb: npt.NDArray[np.uint8], corners: npt.NDArray[np.float64]) -> Image.Image:
    """The image with the page outline and its corners marked (drawn 4x
    larger and averaged down)."""
    k = 4
    h, w = rgb.shape[:2]
    img = Image.fromarray(rgb, "RGB").resize((w * k, h * k), Image.Resampling.NEAREST)
    draw = ImageDraw.Draw(img)
    pts = [(float(x) * k - 0.5, float(y) * k - 0.5) for x, y in corners]
    draw.line(pts + pts[:1], fill=(0, 200, 255), width=2 * k)
    for x, y in pts:
        draw.ellipse((x - 4 * k, y - 4 * k, x + 4 * k, y + 4 * k), outline=(255, 40, 40), width=k)
    return img.reduce(k)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("image", nargs="?", type=Path, default=SAMPLE)
    parser.add_argument("--paper", choices=sorted(PAPER_MM), default="a4")
    parser.add_argument("--px-per-mm", type=float, default=1.5)
    parser.add_argument("--out", type=Path, default=None,
                        help="the front view to write, the found page beside it as *_found.png "
                             "(default: in a new temporary directory)")
    parser.add_argument("--check", type=float, metavar="TOLERANCE", default=None,
                        help="fail if a corner of the bundled sample is off by more (pixels)")
    args = parser.parse_args(argv)

    rgb = np.ascontiguousarray(np.asarray(Image.open(args.image).convert("RGB"), dtype=np.uint8))
    gray = to_gray(rgb)
    segments = linora.detect(gray, 1.0)
    found = find_page(gray, segments)
    if found is None:
        print("no page found (a page brighter than its surroundings, all four sides visible)")
        return 1
    corners = order_corners(found)
    print(f"{args.image.name}: {len(segments)} segments; page corners (TL, TR, BR, BL):")
    print("  " + ", ".join(f"({x:.1f}, {y:.1f})" for x, y in corners))

    if args.image.resolve() == SAMPLE.resolve():
        error = float(np.max(np.hypot(*(corners - np.array(SAMPLE_CORNERS)).T)))
        print(f"  largest distance from the corners the sample was drawn with: {error:.2f} px")
        if args.check is not None and not error <= args.check:
            print(f"check failed: more than {args.check} px", file=sys.stderr)
            return 1

    paper = paper_for(corners, PAPER_MM[args.paper])
    page = rectify(rgb, corners, paper, args.px_per_mm)
    if args.out is None:
        args.out = Path(tempfile.mkdtemp(prefix="linora-")) / "rectified_page.png"
    args.out.parent.mkdir(parents=True, exist_ok=True)
    Image.fromarray(page, "RGB").save(args.out)
    found_path = args.out.with_name(args.out.stem + "_found.png")
    draw_found(rgb, corners).save(found_path)
    print(f"front view {page.shape[1]} x {page.shape[0]} ({paper[0]:g} x {paper[1]:g} mm "
          f"at {args.px_per_mm:g} px/mm): wrote {args.out} and {found_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
