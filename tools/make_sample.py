#!/usr/bin/env python3
"""Render the bundled sample image ``data/sample.png``.

The picture is generated from scratch by this script (no photograph or
third-party artwork is involved, so it carries no licence restrictions of its
own).  It imitates a photo taken across a wooden table by a window: a building
facade with rows of windows seen in perspective, the painted posts of the
window frame, and on the table a tilted A4 document page with dark text-like
bars and a small bar chart, a closed book, a pen and a round coaster.  The
scene is drawn at 4x4 supersampling with NumPy only (convex polygons are
filled by half-plane tests, textures are evaluated in the plane coordinates of
each surface through its homography), then box-averaged, vignetted, given
Gaussian noise from a fixed seed and slightly blurred.  Pillow is used only
to write the PNG.  Running the script again reproduces the same image.

Size: 640 x 480 RGB, 8 bits per channel.

Coordinates below use the top-left corner of the image as origin, x to the
right, y downwards, in pixels (the centre of pixel (i, j) is (i + 0.5, j + 0.5)).
The document page is a 210 mm x 297 mm sheet (portrait).  Its corners in the
image are (``PAGE_CORNERS``):

    top-left     (299.0, 270.0)
    top-right    (454.0, 288.0)
    bottom-right (425.5, 464.5)
    bottom-left  (234.0, 434.5)

where "top" is the edge above the first line of text (the far edge of the
sheet), so the page maps to an upright rectangle with these corners in this
order: (0, 0), (210, 0), (210, 297), (0, 297) in millimetres.  (They are the
projection of an A4 sheet lying on the table, centred at (0.55 m, 0.198 m) in
the table-top coordinates of `table_homography` and turned by 12 degrees,
rounded to half pixels; the page is drawn from the rounded corners.)

Usage: python tools/make_sample.py [output.png]   (default: data/sample.png
under the repository root).
"""

import math
import sys
from pathlib import Path

import numpy as np
from PIL import Image

WIDTH, HEIGHT = 640, 480
SS = 4  # supersampling factor per axis
SEED = 20260519
NOISE_LUMA = 2.6  # standard deviations in 8-bit levels, before the blur
NOISE_CHROMA = 1.0
BLUR_SIGMA = 0.6

# Corners of the document page in the image (top-left, top-right,
# bottom-right, bottom-left), top-left-corner origin; see the docstring.
PAGE_CORNERS = ((299.0, 270.0), (454.0, 288.0), (425.5, 464.5), (234.0, 434.5))
PAGE_SIZE_MM = (210.0, 297.0)


# --------------------------------------------------------------------------
# Geometry helpers
# --------------------------------------------------------------------------


def homography(src, dst):
    """3x3 matrix H with dst ~ H (src, 1), from four point pairs (h33 = 1)."""
    a = np.zeros((8, 8))
    b = np.zeros(8)
    for i, ((x, y), (u, v)) in enumerate(zip(src, dst)):
        a[2 * i] = [x, y, 1, 0, 0, 0, -u * x, -u * y]
        a[2 * i + 1] = [0, 0, 0, x, y, 1, -v * x, -v * y]
        b[2 * i] = u
        b[2 * i + 1] = v
    return np.append(np.linalg.solve(a, b), 1.0).reshape(3, 3)


def project(hm, x, y):
    """Apply the homography hm to point coordinates (arrays or scalars)."""
    w = hm[2, 0] * x + hm[2, 1] * y + hm[2, 2]
    return ((hm[0, 0] * x + hm[0, 1] * y + hm[0, 2]) / w,
            (hm[1, 0] * x + hm[1, 1] * y + hm[1, 2]) / w)


def plane_quad(hm, u0, v0, u1, v1):
    """Image corners of the plane rectangle [u0, u1] x [v0, v1]."""
    us = np.array([u0, u1, u1, u0], float)
    vs = np.array([v0, v0, v1, v1], float)
    x, y = project(hm, us, vs)
    return np.stack([x, y], axis=1)


def convex_inside(pts):
    """Inside test of a convex polygon (either orientation), as a function."""
    pts = np.asarray(pts, float)
    n = len(pts)
    area2 = sum(pts[k, 0] * pts[(k + 1) % n, 1] - pts[(k + 1) % n, 0] * pts[k, 1]
                for k in range(n))
    sign = 1.0 if area2 > 0 else -1.0

    def inside(x, y):
        m = np.ones(x.shape, bool)
        for k in range(n):
            ax, ay = pts[k]
            bx, by = pts[(k + 1) % n]
            m &= sign * ((bx - ax) * (y - ay) - (by - ay) * (x - ax)) >= 0.0
        return m

    return inside


def bbox(pts):
    pts = np.asarray(pts, float)
    return pts[:, 0].min(), pts[:, 1].min(), pts[:, 0].max(), pts[:, 1].max()


# --------------------------------------------------------------------------
# Procedural textures
# --------------------------------------------------------------------------


class ValueNoise:
    """Smooth periodic 2-D value noise in [-1, 1] (smoothstep interpolation)."""

    def __init__(self, rng, n=64):
        self.n = n
        self.grid = rng.uniform(-1.0, 1.0, (n, n))

    def __call__(self, u, v):
        n = self.n
        fu = np.floor(u)
        fv = np.floor(v)
        tu = u - fu
        tv = v - fv
        tu = tu * tu * (3.0 - 2.0 * tu)
        tv = tv * tv * (3.0 - 2.0 * tv)
        i0 = fu.astype(np.int64) % n
        j0 = fv.astype(np.int64) % n
        i1 = (i0 + 1) % n
        j1 = (j0 + 1) % n
        g = self.grid
        top = g[j0, i0] + (g[j0, i1] - g[j0, i0]) * tu
        bot = g[j1, i0] + (g[j1, i1] - g[j1, i0]) * tu
        return top + (bot - top) * tv

    def fractal(self, u, v, octaves=4):
        total = np.zeros(np.shape(u))
        amp, freq, norm = 1.0, 1.0, 0.0
        for k in range(octaves):
            total += amp * self(u * freq + 17.3 * k, v * freq + 31.7 * k)
            norm += amp
            amp *= 0.5
            freq *= 2.0
        return total / norm


# --------------------------------------------------------------------------
# Supersampled canvas
# --------------------------------------------------------------------------


class Canvas:
    """RGB float canvas at SS x SS samples per output pixel."""

    def __init__(self, width, height, ss):
        self.width, self.height, self.ss = width, height, ss
        self.rgb = np.zeros((height * ss, width * ss, 3), np.float32)

    def region(self, x0, y0, x1, y1):
        """Slices of the samples whose centres may lie in the box, with the
        image coordinates of those centres."""
        ss = self.ss
        j0 = max(int(math.floor(x0 * ss)), 0)
        j1 = min(int(math.ceil(x1 * ss)) + 1, self.width * ss)
        i0 = max(int(math.floor(y0 * ss)), 0)
        i1 = min(int(math.ceil(y1 * ss)) + 1, self.height * ss)
        if j0 >= j1 or i0 >= i1:
            return None
        xs = (np.arange(j0, j1) + 0.5) / ss
        ys = (np.arange(i0, i1) + 0.5) / ss
        x, y = np.meshgrid(xs, ys)
        return (slice(i0, i1), slice(j0, j1)), x, y

    def paint(self, box, inside, color, alpha=1.0):
        """Blend `color` (an RGB triple or a function of the sample
        coordinates) with opacity `alpha` where `inside` holds."""
        reg = self.region(*box)
        if reg is None:
            return
        sl, x, y = reg
        m = inside(x, y)
        if not m.any():
            return
        c = color(x, y) if callable(color) else np.asarray(color, np.float32)
        a = np.asarray(alpha(x, y) if callable(alpha) else alpha, np.float32)
        weight = (m * a).astype(np.float32)[..., None]
        patch = self.rgb[sl]
        patch += (np.asarray(c, np.float32) - patch) * weight

    def polygon(self, pts, color, alpha=1.0):
        self.paint(bbox(pts), convex_inside(pts), color, alpha)

    def multiply(self, factor):
        """Multiply by a per-output-pixel factor (height, width)."""
        f = np.repeat(np.repeat(factor.astype(np.float32), self.ss, 0), self.ss, 1)
        self.rgb *= f[..., None]

    def reduce(self):
        ss = self.ss
        r = self.rgb.reshape(self.height, ss, self.width, ss, self.rgb.shape[2])
        return r.mean(axis=(1, 3))


def coverage(pts, width, height, ss):
    """Fraction of each output pixel covered by a convex polygon."""
    c = Canvas(width, height, ss)
    c.rgb = np.zeros((height * ss, width * ss, 1), np.float32)
    c.polygon(pts, (1.0,))
    return c.reduce()[..., 0]


def gaussian_blur(img, sigma):
    """Separable Gaussian blur of an (h, w) or (h, w, c) array, edges clamped."""
    r = max(1, int(math.ceil(3.0 * sigma)))
    k = np.exp(-0.5 * (np.arange(-r, r + 1) / sigma) ** 2)
    k /= k.sum()
    out = img.astype(np.float64)
    for axis in (0, 1):
        pad = [(0, 0)] * out.ndim
        pad[axis] = (r, r)
        p = np.pad(out, pad, mode="edge")
        acc = np.zeros_like(out)
        n = out.shape[axis]
        for i, w in enumerate(k):
            acc += w * np.take(p, np.arange(i, i + n), axis=axis)
        out = acc
    return out


# --------------------------------------------------------------------------
# Scene
# --------------------------------------------------------------------------


def draw_sky(cv):
    def sky(x, y):
        t = np.clip(y / 260.0, 0.0, 1.0)[..., None]
        top = np.array([0.42, 0.60, 0.85], np.float32)
        low = np.array([0.78, 0.86, 0.94], np.float32)
        return top + (low - top) * t

    cv.paint((0, 0, WIDTH, HEIGHT), lambda x, y: np.ones(x.shape, bool), sky)


def draw_facade(cv, rng):
    # Facade plane: u in metres to the right, v in metres down from the roof line.
    span_u, span_v = 26.0, 9.0
    hm = homography([(0, 0), (span_u, 0), (span_u, span_v), (0, span_v)],
                    [(-30.0, 26.0), (700.0, 82.0), (700.0, 290.0), (-30.0, 336.0)])
    hinv = np.linalg.inv(hm)
    noise = ValueNoise(rng, 64)

    def wall(x, y):
        u, v = project(hinv, x, y)
        n = noise.fractal(u * 1.7, v * 1.7, 4)
        fine = noise(u * 23.0 + 5.0, v * 23.0 + 9.0)
        shade = 0.90 + 0.06 * n + 0.025 * fine - 0.04 * (u / span_u)
        base = np.array([0.80, 0.66, 0.52], np.float32)
        return base * shade[..., None].astype(np.float32)

    cv.polygon(plane_quad(hm, 0, 0, span_u, span_v), wall)

    # Cornice at the roof line and string courses between the floors.
    cv.polygon(plane_quad(hm, 0, -0.35, span_u, 0.0), (0.30, 0.27, 0.26))
    cv.polygon(plane_quad(hm, 0, 0.0, span_u, 0.28), (0.90, 0.87, 0.80))
    cv.polygon(plane_quad(hm, 0, 0.28, span_u, 0.36), (0.55, 0.47, 0.40))
    for v in (3.35, 6.35):
        cv.polygon(plane_quad(hm, 0, v, span_u, v + 0.18), (0.88, 0.85, 0.78))
        cv.polygon(plane_quad(hm, 0, v + 0.18, span_u, v + 0.24), (0.52, 0.45, 0.38))

    def glass_color(u0, v0):
        tint = rng.uniform(-0.05, 0.05)

        def glass(x, y):
            u, v = project(hinv, x, y)
            # A soft diagonal reflection across each pane.
            refl = np.clip(1.0 - np.abs((u - u0) * 1.2 - (v - v0) * 0.6 - 0.5) * 2.5, 0, 1)
            g = 0.22 + 0.20 * refl + tint
            return np.stack([g * 0.85, g * 0.95, g * 1.15], axis=-1).astype(np.float32)

        return glass

    for floor_v in (0.95, 3.95, 6.95):
        for k in range(10):
            u0 = 0.9 + 2.55 * k
            w, h = 1.25, 1.95
            v0 = floor_v
            # Sill, frame, glass and glazing bars.
            cv.polygon(plane_quad(hm, u0 - 0.12, v0 + h, u0 + w + 0.12, v0 + h + 0.14),
                       (0.86, 0.84, 0.80))
            cv.polygon(plane_quad(hm, u0 - 0.12, v0 + h + 0.14, u0 + w + 0.12, v0 + h + 0.20),
                       (0.45, 0.38, 0.33))
            cv.polygon(plane_quad(hm, u0, v0, u0 + w, v0 + h), (0.93, 0.93, 0.91))
            f = 0.09
            cv.polygon(plane_quad(hm, u0 + f, v0 + f, u0 + w - f, v0 + h - f),
                       glass_color(u0, v0))
            b = 0.035
            um = u0 + w / 2
            cv.polygon(plane_quad(hm, um - b, v0 + f, um + b, v0 + h - f), (0.93, 0.93, 0.91))
            vm = v0 + 0.62
            cv.polygon(plane_quad(hm, u0 + f, vm - b, u0 + w - f, vm + b), (0.93, 0.93, 0.91))


def table_homography():
    # Table plane: s in metres to the right, t in metres towards the camera.
    return homography([(0, 0), (1.0, 0), (1.0, 0.625), (0, 0.625)],
                      [(-40.0, 262.0), (680.0, 250.0), (930.0, 720.0), (-300.0, 720.0)])


def draw_table(cv, rng):
    hm = table_homography()
    hinv = np.linalg.inv(hm)
    noise = ValueNoise(rng, 64)
    board_w = 0.072
    nboards = 24
    board_tone = rng.uniform(0.85, 1.12, nboards + 2)
    board_phase = rng.uniform(0, 10, nboards + 2)

    def wood(x, y):
        s, t = project(hinv, x, y)
        idx = np.clip(np.floor(s / board_w).astype(np.int64) + 1, 0, nboards + 1)
        frac = s / board_w - np.floor(s / board_w)
        warp = noise.fractal(s * 14.4 + board_phase[idx], t * 2.4, 3)
        grain = np.sin(2 * np.pi * (s * 88.0 + 1.8 * warp + board_phase[idx]))
        tone = board_tone[idx] * (1.0 + 0.07 * grain + 0.05 * noise(s * 64.0, t * 6.4))
        tone = tone * (0.92 + 0.12 * np.clip(t / 0.625, 0, 1))
        gap = (frac < 0.03) | (frac > 0.985)
        tone = np.where(gap, tone * 0.45, tone)
        base = np.array([0.60, 0.40, 0.24], np.float32)
        return base * tone[..., None].astype(np.float32)

    top = plane_quad(hm, -0.6, 0.0, 1.6, 1.0)
    cv.polygon(top, wood)
    # A thin highlight along the far edge of the table top.
    cv.polygon(plane_quad(hm, -0.6, 0.0, 1.6, 0.004), (0.85, 0.70, 0.55), 0.6)
    return hm


def draw_window_posts(cv):
    frame = (0.90, 0.89, 0.86)
    shade = (0.70, 0.69, 0.66)
    left = [(0.0, 0.0), (30.0, 0.0), (35.0, 262.5), (0.0, 263.0)]
    right = [(612.0, 0.0), (640.0, 0.0), (640.0, 250.5), (608.0, 250.5)]
    cv.polygon(left, frame)
    cv.polygon([(24.0, 0.0), (30.0, 0.0), (35.0, 262.5), (29.0, 262.5)], shade)
    cv.polygon(right, frame)
    cv.polygon([(612.0, 0.0), (618.0, 0.0), (614.0, 250.5), (608.0, 250.5)], shade)
    cv.polygon([(0.0, 0.0), (640.0, 0.0), (640.0, 12.0), (0.0, 15.0)], frame)
    cv.polygon([(0.0, 15.0), (640.0, 12.0), (640.0, 16.0), (0.0, 19.0)], shade)


def draw_book(cv, table_hm):
    # Base footprint on the table, then the cover raised by the book's thickness.
    base = plane_quad(table_hm, 0.06, 0.08, 0.26, 0.23)
    lift = np.array([0.0, -13.0])
    top = base + lift
    # Near side (pages) and right side (spine) faces.
    cv.polygon([base[3], base[2], top[2], top[3]], (0.92, 0.90, 0.84))
    cv.polygon([base[1], base[2], top[2], top[1]], (0.40, 0.10, 0.10))
    cv.polygon(top, (0.55, 0.13, 0.12))
    inner = plane_quad(table_hm, 0.08, 0.10, 0.24, 0.21) + lift
    cv.polygon(inner, (0.63, 0.18, 0.15))
    label = plane_quad(table_hm, 0.11, 0.12, 0.21, 0.145) + lift
    cv.polygon(label, (0.88, 0.78, 0.45))


def draw_pen(cv, table_hm):
    ang = math.radians(-32.0)
    c, s = math.cos(ang), math.sin(ang)
    cx, ct = 0.80, 0.27
    length, width = 0.14, 0.008

    def pt(a, b):  # along, across (table metres) -> table plane point
        return (cx + a * c - b * s, ct + a * s + b * c)

    body = [pt(-length / 2, -width / 2), pt(length / 2, -width / 2),
            pt(length / 2, width / 2), pt(-length / 2, width / 2)]
    tip = [pt(length / 2, -width / 2), pt(length / 2 + 0.014, 0.0), pt(length / 2, width / 2)]
    cap = [pt(-length / 2, -width / 2), pt(-length / 2 + 0.03, -width / 2),
           pt(-length / 2 + 0.03, width / 2), pt(-length / 2, width / 2)]

    def img(pts):
        x, y = project(table_hm, np.array([p[0] for p in pts]), np.array([p[1] for p in pts]))
        return np.stack([x, y], axis=1)

    shadow = img(body) + np.array([2.5, 2.5])
    cv.polygon(shadow, (0.0, 0.0, 0.0), 0.35)
    cv.polygon(img(body), (0.10, 0.16, 0.42))
    cv.polygon(img(tip), (0.72, 0.72, 0.70))
    cv.polygon(img(cap), (0.05, 0.07, 0.20))


def draw_coaster(cv, table_hm):
    hinv = np.linalg.inv(table_hm)
    cs, ct, r = 0.84, 0.09, 0.045
    corners = plane_quad(table_hm, cs - r, ct - r, cs + r, ct + r)

    def inside(x, y):
        s, t = project(hinv, x, y)
        return (s - cs) ** 2 + (t - ct) ** 2 <= r * r

    def color(x, y):
        s, t = project(hinv, x, y)
        d = np.sqrt((s - cs) ** 2 + (t - ct) ** 2) / r
        g = 0.25 + 0.08 * (d > 0.8)
        return np.stack([g * 1.1, g * 0.95, g * 0.8], axis=-1).astype(np.float32)

    cv.paint(bbox(corners), inside, color)


def draw_page(cv, rng):
    pw, ph = PAGE_SIZE_MM
    hm = homography([(0, 0), (pw, 0), (pw, ph), (0, ph)], PAGE_CORNERS)
    hinv = np.linalg.inv(hm)

    def paper(x, y):
        u, v = project(hinv, x, y)
        g = 0.93 - 0.05 * (u / pw) + 0.03 * (v / ph)
        return np.stack([g, g * 0.985, g * 0.94], axis=-1).astype(np.float32)

    cv.polygon(PAGE_CORNERS, paper)

    ink = (0.10, 0.10, 0.12)

    def bar(u0, v0, u1, v1, color=ink):
        cv.polygon(plane_quad(hm, u0, v0, u1, v1), color)

    margin_l, margin_r = 22.0, 210.0 - 22.0
    # Title and subtitle.
    bar(margin_l, 20.0, 138.0, 29.0)
    bar(margin_l, 34.0, 92.0, 38.0, (0.35, 0.35, 0.38))

    def paragraph(v, nlines, right=margin_r, left=margin_l):
        for line in range(nlines):
            u = left
            end = right if line < nlines - 1 else left + rng.uniform(0.35, 0.8) * (right - left)
            while u < end - 6.0:
                w = min(rng.uniform(6.0, 24.0), end - u)
                bar(u, v, u + w, v + 3.2)
                u += w + 3.2
            v += 7.0
        return v + 5.0

    v = 50.0
    v = paragraph(v, 5)
    # A framed bar chart beside a narrow text column.
    chart = (margin_l, v, 110.0, v + 62.0)
    bar(chart[0], chart[1], chart[2], chart[1] + 1.2)
    bar(chart[0], chart[3] - 1.2, chart[2], chart[3])
    bar(chart[0], chart[1], chart[0] + 1.2, chart[3])
    bar(chart[2] - 1.2, chart[1], chart[2], chart[3])
    heights = (0.35, 0.62, 0.48, 0.80, 0.55)
    for k, hgt in enumerate(heights):
        u0 = chart[0] + 9.0 + k * 16.0
        bar(u0, chart[3] - 5.0 - hgt * 48.0, u0 + 9.0, chart[3] - 5.0,
            (0.20, 0.33, 0.60) if k != 3 else (0.70, 0.22, 0.18))
    paragraph(v + 2.0, 8, right=margin_r, left=120.0)
    v = chart[3] + 11.0
    v = paragraph(v, 6)
    v = paragraph(v, 4)
    # Page number.
    bar(100.0, 282.0, 110.0, 285.0, (0.35, 0.35, 0.38))


def render(out_path):
    rng = np.random.default_rng(SEED)
    cv = Canvas(WIDTH, HEIGHT, SS)
    draw_sky(cv)
    draw_facade(cv, rng)
    table_hm = draw_table(cv, rng)
    draw_window_posts(cv)
    draw_coaster(cv, table_hm)
    draw_book(cv, table_hm)

    # Soft shadow of the page on the table (the sheet curls up slightly).
    shadow_pts = np.asarray(PAGE_CORNERS) + np.array([4.0, 5.0])
    sh = gaussian_blur(coverage(shadow_pts, WIDTH, HEIGHT, SS), 3.5)
    cv.multiply(1.0 - 0.45 * sh)
    draw_page(cv, rng)
    draw_pen(cv, table_hm)

    img = cv.reduce().astype(np.float64) * 255.0
    # Vignetting, sensor noise, then lens softness (which also makes the
    # noise grain a little coarser, as demosaicing does in a camera).
    yy, xx = np.mgrid[0:HEIGHT, 0:WIDTH]
    r2 = ((xx + 0.5 - WIDTH / 2) / (WIDTH / 2)) ** 2 + ((yy + 0.5 - HEIGHT / 2) / (HEIGHT / 2)) ** 2
    img *= (1.0 - 0.12 * r2)[..., None]
    luma_noise = rng.normal(0.0, NOISE_LUMA, (HEIGHT, WIDTH, 1))
    chroma_noise = rng.normal(0.0, NOISE_CHROMA, (HEIGHT, WIDTH, 3))
    img = gaussian_blur(img + luma_noise + chroma_noise, BLUR_SIGMA)
    out = np.clip(np.rint(img), 0, 255).astype(np.uint8)
    out_path.parent.mkdir(parents=True, exist_ok=True)
    Image.fromarray(out, "RGB").save(out_path, optimize=True)
    return out


def main(argv):
    root = Path(__file__).resolve().parent.parent
    out_path = Path(argv[1]) if len(argv) > 1 else root / "data" / "sample.png"
    render(out_path)
    print(f"wrote {out_path} ({out_path.stat().st_size} bytes)")


if __name__ == "__main__":
    main(sys.argv)
