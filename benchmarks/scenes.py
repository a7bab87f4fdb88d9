"""Deterministic, photo-like benchmark images with many straight edges.

A scene is a building facade seen in perspective (rows of windows with frames
and a brick texture) above a tiled floor that recedes to a tilted horizon, with
a few rotated boxes and sheets lying in front, under a smooth illumination
field. The picture is rendered at 1 sample per pixel with NumPy array
operations only, then blurred with a small separable binomial filter and given
Gaussian noise from a fixed seed, so the same size always gives the same
pixels. Rendering a 4000 x 3000 scene takes a few seconds; `cached_scene`
keeps the result as .npy files.
"""

from __future__ import annotations

from pathlib import Path

import numpy as np

SEED = 20260601


def _homography(src, dst):
    """3x3 matrix H with dst ~ H (src, 1), from four point pairs."""
    a = np.zeros((8, 8))
    b = np.zeros(8)
    for i, ((x, y), (u, v)) in enumerate(zip(src, dst)):
        a[2 * i] = [x, y, 1, 0, 0, 0, -u * x, -u * y]
        a[2 * i + 1] = [0, 0, 0, x, y, 1, -v * x, -v * y]
        b[2 * i], b[2 * i + 1] = u, v
    return np.append(np.linalg.solve(a, b), 1.0).reshape(3, 3)


def _project(h, x, y):
    w = h[2, 0] * x + h[2, 1] * y + h[2, 2]
    return (h[0, 0] * x + h[0, 1] * y + h[0, 2]) / w, (h[1, 0] * x + h[1, 1] * y + h[1, 2]) / w


def _value_noise(rng, shape, cells):
    """Smooth noise in [-1, 1]: a coarse random grid, bilinearly enlarged."""
    h, w = shape
    gy, gx = cells, max(2, cells * w // max(h, 1))
    grid = rng.uniform(-1.0, 1.0, (gy + 2, gx + 2)).astype(np.float32)
    ys = np.linspace(0, gy, h, dtype=np.float32)
    xs = np.linspace(0, gx, w, dtype=np.float32)
    y0 = ys.astype(np.int64)
    x0 = xs.astype(np.int64)
    ty = (ys - y0)[:, None]
    tx = (xs - x0)[None, :]
    top = grid[y0][:, x0] * (1 - tx) + grid[y0][:, x0 + 1] * tx
    bot = grid[y0 + 1][:, x0] * (1 - tx) + grid[y0 + 1][:, x0 + 1] * tx
    return top * (1 - ty) + bot * ty


def _blur(img):
    """Separable [1, 4, 6, 4, 1] / 16 filter with edge replication, per channel."""
    k = np.array([1, 4, 6, 4, 1], np.float32) / 16
    for axis in (0, 1):
        pad = [(0, 0)] * img.ndim
        pad[axis] = (2, 2)
        p = np.pad(img, pad, mode="edge")
        n = img.shape[axis]
        img = sum(k[i] * np.take(p, np.arange(i, i + n), axis=axis) for i in range(5))
    return img


def render(width: int, height: int) -> np.ndarray:
    """The RGB scene of the given size as a (height, width, 3) uint8 array."""
    rng = np.random.default_rng(SEED + width * 7 + height)
    w, h = float(width), float(height)
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    x += 0.5
    y += 0.5
    img = np.empty((height, width, 3), np.float32)

    # Horizon: a slightly tilted line a little below the middle.
    horizon = 0.58 * h + (x - w / 2) * 0.06
    ground = y > horizon

    # Facade plane: plane units are metres, 24 m wide and 14 m high, seen
    # from the left so that the window rows converge to the right.
    corners = [(-0.05 * w, -0.02 * h), (1.08 * w, 0.10 * h), (1.05 * w, 0.60 * h), (-0.03 * w, 0.60 * h)]
    hf = _homography(corners, [(0, 0), (24, 0), (24, 14), (0, 14)])
    u, v = _project(hf, x, y)
    fu, fv = u % 2.0, v % 2.8
    brick = (((v * 5).astype(np.int32) + ((u * 2.5 + 0.5 * ((v * 5).astype(np.int32) % 2)).astype(np.int32))) % 2)
    facade = 150 + 18 * brick + 10 * _value_noise(rng, (height, width), 24)
    window = (fu > 0.45) & (fu < 1.55) & (fv > 0.6) & (fv < 2.3)
    frame = (fu > 0.35) & (fu < 1.65) & (fv > 0.5) & (fv < 2.4) & ~window
    mullion = window & ((np.abs(fu - 1.0) < 0.05) | (np.abs(fv - 1.45) < 0.05))
    lum = np.where(window, 55 + 25 * np.sin(u * 0.7 + v), facade)
    lum = np.where(frame | mullion, 225.0, lum)
    tint = np.stack([np.full_like(lum, 1.05), np.full_like(lum, 0.97), np.full_like(lum, 0.88)], -1)

    # Floor plane: 0.5 m tiles with random brightness, receding upwards.
    hg = _homography([(-0.4 * w, h), (1.4 * w, h), (0.75 * w, 0.6 * h), (0.2 * w, 0.6 * h)],
                     [(0, 0), (8, 0), (8, 20), (0, 20)])
    gu, gv = _project(hg, x, y)
    tiles = rng.uniform(0.75, 1.15, (64, 64)).astype(np.float32)
    ti = np.clip((gu * 2).astype(np.int64) % 64, 0, 63)
    tj = np.clip((gv * 2).astype(np.int64) % 64, 0, 63)
    grout = (np.abs(gu * 2 - np.round(gu * 2)) < 0.03) | (np.abs(gv * 2 - np.round(gv * 2)) < 0.03)
    floor = np.where(grout, 70.0, 120 * tiles[tj, ti])
    lum = np.where(ground, floor, lum)
    tint[ground] = (0.95, 1.0, 1.08)
    img[:] = lum[..., None] * tint

    # Boxes and sheets: rotated rectangles in the lower half, each filled
    # with its own shade and drawn only inside its bounding box.
    for _ in range(14):
        cx, cy = rng.uniform(0.08, 0.92) * w, rng.uniform(0.62, 0.95) * h
        half_l, half_w = rng.uniform(0.03, 0.12) * w, rng.uniform(0.02, 0.06) * h
        a = rng.uniform(0, np.pi)
        ca, sa = np.cos(a), np.sin(a)
        r = int(np.hypot(half_l, half_w)) + 2
        x0, x1 = max(int(cx) - r, 0), min(int(cx) + r, width)
        y0, y1 = max(int(cy) - r, 0), min(int(cy) + r, height)
        px, py = x[y0:y1, x0:x1] - cx, y[y0:y1, x0:x1] - cy
        inside = (np.abs(px * ca + py * sa) <= half_l) & (np.abs(py * ca - px * sa) <= half_w)
        shade = rng.uniform(30, 240, 3).astype(np.float32)
        img[y0:y1, x0:x1][inside] = shade

    # Illumination and vignetting, blur, noise.
    light = 1.0 + 0.15 * _value_noise(rng, (height, width), 4)
    r2 = ((x - w / 2) / w) ** 2 + ((y - h / 2) / h) ** 2
    img *= (light * (1.0 - 0.5 * r2))[..., None]
    img = _blur(img)
    img += rng.normal(0.0, 2.5, img.shape).astype(np.float32)
    return np.clip(np.rint(img), 0, 255).astype(np.uint8)


def gray_of(rgb: np.ndarray) -> np.ndarray:
    """Luma (BT.601 weights) of a uint8 RGB image, as uint8."""
    g = rgb[..., 0] * 0.299 + rgb[..., 1] * 0.587 + rgb[..., 2] * 0.114
    return np.clip(np.rint(g), 0, 255).astype(np.uint8)


def cached_scene(width: int, height: int, cache: Path) -> np.ndarray:
    """render(width, height), read from `cache` when it was made before."""
    path = cache / f"scene-{width}x{height}.npy"
    if path.exists():
        return np.load(path)
    img = render(width, height)
    cache.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp.npy")
    np.save(tmp, img)
    tmp.replace(path)
    return img
