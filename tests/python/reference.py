"""Independent NumPy model of linora's resampling arithmetic.

Every step is written as float64 elementwise operations in the same order as
the extension computes them. NumPy's elementwise float64 arithmetic is IEEE
754 exact (one rounding per operation, no fused multiply-add across separate
ufunc calls), so for identical inputs the model and the extension agree bit
for bit, which lets the tests compare outputs with exact equality.

The Lanczos weight table is built with math.sin, which calls the C library's
sin, the same function the extension calls.
"""

import math

import numpy as np

TABLE_ROWS = 1025

_I64_MIN = -(2**63)
_I64_MAX = 2**63 - 1


def lanczos3_kernel(d):
    """L(d) = sinc(d) * sinc(d / 3) for |d| < 3, evaluated term by term."""
    if d == 0:
        return 1.0
    if abs(d) >= 3:
        return 0.0
    p = d * math.pi
    p3 = p / 3
    return (math.sin(p) / p) * (math.sin(p3) / p3)


def lanczos3_table():
    """1025 rows of six normalised weights; row k is for the phase k / 1024."""
    table = np.empty((TABLE_ROWS, 6), dtype=np.float64)
    for k in range(TABLE_ROWS):
        t = k / 1024
        raw = [lanczos3_kernel(t + 2 - j) for j in range(6)]
        s = 0.0
        for a in raw:
            s = s + a
        for j in range(6):
            table[k, j] = raw[j] / s
    return table


_TABLE = None


def table():
    """The weight table, built once per process (it never changes)."""
    global _TABLE
    if _TABLE is None:
        _TABLE = lanczos3_table()
    return _TABLE


def saturating_floor_i64(x):
    """floor(x) as int64: NaN gives 0, out-of-range values saturate."""
    f = np.floor(x)
    f = np.where(np.isnan(f), 0.0, f)
    out = np.empty(f.shape, dtype=np.int64)
    low = f < -(2.0**63)
    high = f >= 2.0**63
    mid = ~(low | high)
    out[mid] = f[mid].astype(np.int64)
    out[low] = _I64_MIN
    out[high] = _I64_MAX
    return out


def round_half_away_u(t):
    """Round to nearest with halves away from zero, then to an unsigned
    integer (NaN and negatives give 0). Here t lies in [0, 1024] or is NaN."""
    t = np.where(np.isnan(t), 0.0, t)
    fl = np.floor(t)
    r = np.where(t - fl >= 0.5, fl + 1.0, fl)
    return np.clip(r, 0.0, None).astype(np.int64)


def quantise(v, maxval):
    """r = v + 0.5, truncated toward zero to uint32 with saturation (NaN and
    anything below 1 give 0), then limited to maxval."""
    r = v + 0.5
    r = np.where(np.isnan(r), 0.0, r)
    r = np.trunc(np.clip(r, 0.0, 2.0**32 - 1))
    return np.minimum(r, float(maxval))


def _inside(x, y, w, h):
    """The four ordered range comparisons; NaN and +-inf are outside."""
    return (x >= -0.5) & (x <= w - 0.5) & (y >= -0.5) & (y <= h - 0.5)


def _as_hwc(src):
    src = np.asarray(src)
    if src.ndim == 2:
        return src[:, :, None]
    return src


def sample_bilinear(src, x, y):
    """Bilinear samples of src (h, w[, C]) at float64 positions x, y (1-D).

    Returns (values, inside): values has shape (n, C) in the source dtype and
    holds zeros where inside is False."""
    img = _as_hwc(src)
    h, w, c = img.shape
    maxval = np.iinfo(img.dtype).max
    x = np.asarray(x, dtype=np.float64)
    y = np.asarray(y, dtype=np.float64)
    inside = _inside(x, y, w, h)
    out = np.zeros((x.size, c), dtype=img.dtype)
    xi, yi = x[inside], y[inside]
    if xi.size == 0:
        return out, inside
    fx0 = np.floor(xi)
    fy0 = np.floor(yi)
    ix = saturating_floor_i64(xi)
    iy = saturating_floor_i64(yi)
    x0 = np.clip(ix, 0, w - 1)
    x1 = np.clip(ix + 1, 0, w - 1)
    y0 = np.clip(iy, 0, h - 1)
    y1 = np.clip(iy + 1, 0, h - 1)
    fx = xi - fx0
    fy = yi - fy0
    w00 = (1.0 - fx) * (1.0 - fy)
    w10 = fx * (1.0 - fy)
    w01 = (1.0 - fx) * fy
    w11 = fx * fy
    p = img.astype(np.float64)
    res = np.empty((xi.size, c), dtype=img.dtype)
    for ch in range(c):
        v = w00 * p[y0, x0, ch] + w10 * p[y0, x1, ch]
        v = v + w01 * p[y1, x0, ch]
        v = v + w11 * p[y1, x1, ch]
        res[:, ch] = quantise(v, maxval)
    out[inside] = res
    return out, inside


def sample_lanczos3(src, x, y):
    """Lanczos-3 samples of src (h, w[, C]) at float64 positions x, y (1-D);
    same return convention as sample_bilinear."""
    img = _as_hwc(src)
    h, w, c = img.shape
    maxval = np.iinfo(img.dtype).max
    tab = table()
    x = np.asarray(x, dtype=np.float64)
    y = np.asarray(y, dtype=np.float64)
    inside = _inside(x, y, w, h)
    out = np.zeros((x.size, c), dtype=img.dtype)
    xi, yi = x[inside], y[inside]
    if xi.size == 0:
        return out, inside
    kx = round_half_away_u((xi - np.floor(xi)) * 1024.0)
    ky = round_half_away_u((yi - np.floor(yi)) * 1024.0)
    wx = tab[kx]  # (n, 6)
    wy = tab[ky]
    bx = saturating_floor_i64(xi)
    by = saturating_floor_i64(yi)
    cols = [np.clip(bx - 2 + j, 0, w - 1) for j in range(6)]
    rows = [np.clip(by - 2 + i, 0, h - 1) for i in range(6)]
    p = img.astype(np.float64)
    res = np.empty((xi.size, c), dtype=img.dtype)
    for ch in range(c):
        s = np.zeros(xi.size, dtype=np.float64)
        for i in range(6):
            for j in range(6):
                s = s + (wy[:, i] * wx[:, j]) * p[rows[i], cols[j], ch]
        res[:, ch] = quantise(s, maxval)
    out[inside] = res
    return out, inside


def sample(src, x, y, filter):
    if filter == "bilinear":
        return sample_bilinear(src, x, y)
    if filter == "lanczos3":
        return sample_lanczos3(src, x, y)
    raise ValueError(filter)


def remap(src, map_x, map_y, filter="bilinear"):
    """Output pixel (x, y) = source sampled at (map_x[y, x], map_y[y, x]);
    positions outside the source stay 0. The output has the maps' shape
    (with the source's channel axis, if any)."""
    src = np.asarray(src)
    mx = np.asarray(map_x, dtype=np.float32)
    my = np.asarray(map_y, dtype=np.float32)
    out_h, out_w = mx.shape
    with np.errstate(all="ignore"):
        vals, _ = sample(src, mx.astype(np.float64).ravel(), my.astype(np.float64).ravel(),
                         filter)
    if src.ndim == 2:
        return vals.reshape(out_h, out_w)
    return vals.reshape(out_h, out_w, src.shape[2])


def warp_positions(inverse, scale, off_x, off_y, out_w, out_h):
    """Source positions (sx, sy) of every output pixel, each (out_h, out_w),
    and the mask of pixels whose homogeneous W is non-zero."""
    h0, h1, h2, h3, h4, h5, h6, h7, h8 = (float(v) for v in inverse)
    scale = float(scale)
    off_x = float(off_x)
    off_y = float(off_y)
    ys = np.arange(out_h, dtype=np.float64)[:, None]
    xs = np.arange(out_w, dtype=np.float64)[None, :]
    v = ys / scale + off_y
    bx = v * h1 + h2
    by = v * h4 + h5
    bw = v * h7 + h8
    u = xs / scale + off_x
    wgt = bw + h6 * u
    nonzero = wgt != 0.0
    sx = (bx + u * h0) / wgt
    sy = (by + u * h3) / wgt
    shape = (out_h, out_w)
    return (np.broadcast_to(sx, shape), np.broadcast_to(sy, shape),
            np.broadcast_to(nonzero, shape))


def warp_rgb(src, inverse, scale, off_x, off_y, filter="bilinear", out_size=None):
    """Perspective warp of an (h, w, 3) source, as the extension computes it."""
    src = np.asarray(src)
    h, w = src.shape[:2]
    out_w, out_h = (w, h) if out_size is None else out_size
    with np.errstate(all="ignore"):
        sx, sy, nonzero = warp_positions(inverse, scale, off_x, off_y, out_w, out_h)
        sx = np.where(nonzero, sx, np.inf).ravel()  # W == 0: left at zero
        sy = np.where(nonzero, sy, np.inf).ravel()
        vals, _ = sample(src, sx, sy, filter)
    return vals.reshape(out_h, out_w, 3)
