"""The golden tests' inputs: scikit-image's photographs and what is made of
them, with NumPy alone (no linora), so that a test can make its inputs before
it loads the module."""

from __future__ import annotations

import os
from pathlib import Path

import numpy as np


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


def ripple() -> np.ndarray:
    """Concentric 16-bit ripples: flat gradients whose level-line field
    holds sub-normal values, which flush-to-zero would change."""
    ys, xs = np.mgrid[0:400, 0:400].astype(np.float64)
    wave = np.sin(np.hypot(xs - 200.3, ys - 190.7) / 3.0) * 0.5 + 0.5
    return (wave * 65535).astype(np.uint16)
