"""linora.warp_rgb, remap_rgb and remap_gray: binding, conversion and error
messages, output arrays, geometric placements, and bit-exact agreement with
the NumPy model in reference.py."""

import collections

import numpy as np
import pytest

import linora
import reference

IDENTITY = [1, 0, 0, 0, 1, 0, 0, 0, 1]
FILTERS = ["bilinear", "lanczos3"]
DTYPES = [np.uint8, np.uint16]
FUNCS = ["warp_rgb", "remap_rgb", "remap_gray"]

SRC_MSG = {
    "warp_rgb": "warp_rgb expects a (height, width, 3) array of uint8 or uint16",
    "remap_rgb": "remap_rgb expects a (height, width, 3) array of uint8 or uint16 and float32 maps",
    "remap_gray": "remap_gray expects a (height, width) array of uint8 or uint16 and float32 maps",
}


def note(name):
    return [f"while processing '{name}'"]


def filter_message(literal):
    return f'unknown filter {literal}, expected "bilinear" or "lanczos3"'


def identity_maps(h, w):
    ys, xs = np.mgrid[0:h, 0:w]
    return xs.astype(np.float32), ys.astype(np.float32)


def random_image(rng, h, w, channels, dtype):
    """Random samples with flat patches and full-range steps, so that both the
    smooth and the clamped (over- and undershooting) paths are exercised."""
    top = np.iinfo(dtype).max
    shape = (h, w) if channels == 1 else (h, w, channels)
    img = rng.integers(0, top + 1, size=shape, dtype=np.int64)
    img[1: h // 3, w // 4: w // 2] = 0
    img[1: h // 3, w // 2:] = top
    img[h // 2:, 1: w // 4] = rng.integers(0, top + 1)
    # Row 0 and column 0 stay random; pixel (0, 0) is never 0, so that
    # reading it (a NaN position that were taken for 0) shows.
    img[(0,) * img.ndim] = rng.integers(1, top + 1)
    return img.astype(dtype)


def random_maps(rng, out_h, out_w, h, w):
    """Float32 maps mostly over (and a little beyond) the source, salted with
    boundary positions, rounding ties of the Lanczos phase, huge and
    non-finite values."""
    mx = rng.uniform(-2.0, w + 1.0, size=(out_h, out_w))
    my = rng.uniform(-2.0, h + 1.0, size=(out_h, out_w))
    specials_x = [np.nan, np.inf, -np.inf, -0.5, w - 0.5, 0.0, -0.0, 1.0, w - 1.0, 2.5,
                  3 + 0.5 / 1024, 1 + 1023.5 / 1024, 2 + 512 / 1024, -0.25, w - 0.75,
                  1e30, -1e30, -0.5000001, w - 0.4999, np.nan]
    specials_y = [np.nan, 0.5, 1.0, np.inf, -0.5, h - 0.5, 2 + 0.5 / 1024, 1 + 1023.5 / 1024,
                  -0.0, 3.0, 2.25, np.nan, -1e30, h - 1.0, 0.75, -0.6, 1.5, 2.0, h - 0.5, np.nan]
    flat_x, flat_y = mx.ravel(), my.ravel()
    n = flat_x.size
    for vals, flat in ((specials_x, flat_x), (specials_y, flat_y)):
        idx = rng.choice(n, size=min(n, 3 * len(vals)), replace=False)
        for k, i in enumerate(idx):
            flat[i] = vals[k % len(vals)]
    # Rows of integer positions (pixel centres), of Lanczos phase ties in y,
    # and of exact bilinear ties (x half-way between two centres, y on one).
    mx[0] = np.arange(out_w) % w
    my[1] = np.arange(out_w) % h + 0.5 / 1024
    if out_h > 2:
        mx[2] = np.arange(out_w) % (w - 1) + 0.5
        my[2] = np.arange(out_w) % h
    return mx.astype(np.float32), my.astype(np.float32)


def random_homography(rng):
    h = np.eye(3) + rng.normal(0.0, 0.08, size=(3, 3))
    h[2, :2] = rng.normal(0.0, 0.004, size=2)
    h[2, 2] = 1.0 + rng.normal(0.0, 0.05)
    h[:2, 2] = rng.normal(0.0, 3.0, size=2)
    return [float(v) for v in h.ravel()]


@pytest.fixture(scope="module")
def gray_u8():
    rng = np.random.default_rng(13)
    return rng.integers(0, 256, size=(19, 27), dtype=np.uint8)


@pytest.fixture(scope="module")
def maps():
    return identity_maps(19, 27)


class Holder:
    class MapSub(np.ndarray):
        pass


class SubArray(np.ndarray):
    pass


# --- binding ------------------------------------------------------------------

SRC, INV, MX, MY = (object() for _ in range(4))


@pytest.fixture
def resolve(rgb_u8, gray_u8, maps):
    def resolve(name, v):
        if v is SRC:
            return gray_u8 if name == "remap_gray" else rgb_u8
        if v is INV:
            return IDENTITY
        if v is MX:
            return maps[0][:5, :7]
        if v is MY:
            return maps[1][:5, :7]
        return v
    return resolve


BINDING_CASES = [
    ("warp_rgb", (), {},
     "warp_rgb() missing 5 required positional arguments: "
     "'src', 'inverse', 'scale', 'off_x', and 'off_y'"),
    ("warp_rgb", (SRC,), {},
     "warp_rgb() missing 4 required positional arguments: 'inverse', 'scale', 'off_x', and 'off_y'"),
    ("warp_rgb", (SRC, INV), {},
     "warp_rgb() missing 3 required positional arguments: 'scale', 'off_x', and 'off_y'"),
    ("warp_rgb", (SRC, INV, 1), {},
     "warp_rgb() missing 2 required positional arguments: 'off_x' and 'off_y'"),
    ("warp_rgb", (SRC, INV, 1, 0), {},
     "warp_rgb() missing 1 required positional argument: 'off_y'"),
    ("warp_rgb", (), {"scale": 1, "filter": "bilinear"},
     "warp_rgb() missing 4 required positional arguments: 'src', 'inverse', 'off_x', and 'off_y'"),
    ("warp_rgb", (SRC, INV), {"off_y": 0},
     "warp_rgb() missing 2 required positional arguments: 'scale' and 'off_x'"),
    ("warp_rgb", (SRC, INV, 1, 0, 0), {"size": (3, 3)},
     "warp_rgb() got an unexpected keyword argument 'size'"),
    ("warp_rgb", (SRC, INV, 1, 0, 0), {"scale": 1},
     "warp_rgb() got multiple values for argument 'scale'"),
    ("warp_rgb", (SRC, INV, 1, 0, 0, "bilinear", None), {"out_size": None},
     "warp_rgb() got multiple values for argument 'out_size'"),
    ("warp_rgb", (SRC, INV, 1, 0, 0, "bilinear", None, 1), {},
     "warp_rgb() takes from 5 to 7 positional arguments but 8 were given"),
    ("warp_rgb", (None,) * 9, {},
     "warp_rgb() takes from 5 to 7 positional arguments but 9 were given"),
    ("remap_rgb", (), {},
     "remap_rgb() missing 3 required positional arguments: 'src', 'map_x', and 'map_y'"),
    ("remap_rgb", (SRC,), {},
     "remap_rgb() missing 2 required positional arguments: 'map_x' and 'map_y'"),
    ("remap_rgb", (), {"map_x": MX},
     "remap_rgb() missing 2 required positional arguments: 'src' and 'map_y'"),
    ("remap_rgb", (SRC, MX), {},
     "remap_rgb() missing 1 required positional argument: 'map_y'"),
    ("remap_rgb", (SRC, MX, MY), {"interpolation": "bilinear"},
     "remap_rgb() got an unexpected keyword argument 'interpolation'"),
    ("remap_rgb", (SRC, MX, MY), {"src": SRC},
     "remap_rgb() got multiple values for argument 'src'"),
    ("remap_rgb", (SRC, MX, MY, "bilinear", 5), {},
     "remap_rgb() takes from 3 to 4 positional arguments but 5 were given"),
    ("remap_gray", (), {},
     "remap_gray() missing 3 required positional arguments: 'src', 'map_x', and 'map_y'"),
    ("remap_gray", (None, None), {},
     "remap_gray() missing 1 required positional argument: 'map_y'"),
    ("remap_gray", (), {"map_y": MY, "filter": "x"},
     "remap_gray() missing 2 required positional arguments: 'src' and 'map_x'"),
    ("remap_gray", (SRC, MX, MY), {"map_x": MX},
     "remap_gray() got multiple values for argument 'map_x'"),
    ("remap_gray", (SRC, MX, MY), {"Filter": "bilinear"},
     "remap_gray() got an unexpected keyword argument 'Filter'"),
    ("remap_gray", (SRC, MX, MY, "bilinear", None, None), {},
     "remap_gray() takes from 3 to 4 positional arguments but 6 were given"),
]


@pytest.mark.parametrize("fn, args, kwargs, message", BINDING_CASES,
                         ids=[f"{c[0]}-{i}" for i, c in enumerate(BINDING_CASES)])
def test_binding_errors(resolve, check_raises, fn, args, kwargs, message):
    args = tuple(resolve(fn, a) for a in args)
    kwargs = {k: resolve(fn, v) for k, v in kwargs.items()}
    check_raises(TypeError, message, getattr(linora, fn), *args, **kwargs)


def test_keyword_calls_match_positional(rgb_u8, gray_u8):
    mx, my = identity_maps(6, 9)
    mx = mx * np.float32(1.7)
    inv = [0.9, 0.1, 1.0, -0.05, 1.1, 0.5, 0.001, 0.002, 1.0]
    for flt in FILTERS:
        assert np.array_equal(
            linora.warp_rgb(rgb_u8, inv, 1.3, 0.5, -0.25, flt, (11, 7)),
            linora.warp_rgb(out_size=(11, 7), filter=flt, off_y=-0.25, off_x=0.5, scale=1.3,
                            inverse=inv, src=rgb_u8))
        assert np.array_equal(linora.remap_rgb(rgb_u8, mx, my, flt),
                              linora.remap_rgb(filter=flt, map_y=my, map_x=mx, src=rgb_u8))
        assert np.array_equal(linora.remap_gray(gray_u8, mx, my, flt),
                              linora.remap_gray(gray_u8, mx, map_y=my, filter=flt))


def test_default_filter_is_bilinear(rgb_u8, gray_u8):
    mx, my = identity_maps(6, 9)
    mx = mx * np.float32(0.77) + np.float32(0.3)
    inv = [1.05, 0.02, 0.3, 0.01, 0.97, 0.2, 0.0, 0.0, 1.0]
    assert np.array_equal(linora.warp_rgb(rgb_u8, inv, 1.1, 0.2, 0.1),
                          linora.warp_rgb(rgb_u8, inv, 1.1, 0.2, 0.1, "bilinear"))
    assert not np.array_equal(linora.warp_rgb(rgb_u8, inv, 1.1, 0.2, 0.1),
                              linora.warp_rgb(rgb_u8, inv, 1.1, 0.2, 0.1, "lanczos3"))
    assert np.array_equal(linora.remap_rgb(rgb_u8, mx, my),
                          linora.remap_rgb(rgb_u8, mx, my, "bilinear"))
    assert np.array_equal(linora.remap_gray(gray_u8, mx, my),
                          linora.remap_gray(gray_u8, mx, my, "bilinear"))


# --- filter names -------------------------------------------------------------

FILTER_NAMES = [
    ("cubic", '"cubic"'),
    ("Bilinear", '"Bilinear"'),
    (" bilinear", '" bilinear"'),
    ("bilinear ", '"bilinear "'),
    ("lanczos", '"lanczos"'),
    ("LANCZOS3", '"LANCZOS3"'),
    ("", '""'),
    ('a"b', '"a\\"b"'),
    ("a\\b", '"a\\\\b"'),
    ("\\", '"\\\\"'),
    ('"', '"\\""'),
    ("it's", '"it\'s"'),
    ("a\nb", '"a\\nb"'),
    ("\tbilinear", '"\\tbilinear"'),
    ("\x1b[0m", '"\\u{1b}[0m"'),
    ("\x00", '"\\u{0}"'),
    ("bilinear\x00", '"bilinear\\u{0}"'),
    ("\r", '"\\u{d}"'),
    ("\x7f", '"\\u{7f}"'),
    ("\x1f", '"\\u{1f}"'),
    ("ü🙂", '"ü🙂"'),
]


@pytest.mark.parametrize("fn", FUNCS)
@pytest.mark.parametrize("name, literal", FILTER_NAMES, ids=[repr(n) for n, _ in FILTER_NAMES])
def test_unknown_filter_message(resolve, check_raises, fn, name, literal):
    if fn == "warp_rgb":
        args = (resolve(fn, SRC), IDENTITY, 1, 0, 0, name)
    else:
        args = (resolve(fn, SRC), resolve(fn, MX), resolve(fn, MY), name)
    check_raises(ValueError, filter_message(literal), getattr(linora, fn), *args)


@pytest.mark.parametrize("fn", FUNCS)
@pytest.mark.parametrize("value, message", [
    (None, "'None' is not an instance of 'str'"),
    (3, "'int' object is not an instance of 'str'"),
    (b"bilinear", "'bytes' object is not an instance of 'str'"),
    (["bilinear"], "'list' object is not an instance of 'str'"),
])
def test_filter_must_be_str(resolve, check_raises, fn, value, message):
    if fn == "warp_rgb":
        call = lambda: linora.warp_rgb(resolve(fn, SRC), IDENTITY, 1, 0, 0, filter=value)
    else:
        call = lambda: getattr(linora, fn)(resolve(fn, SRC), resolve(fn, MX), resolve(fn, MY),
                                           filter=value)
    check_raises(TypeError, message, call, notes=note("filter"))


@pytest.mark.parametrize("fn", FUNCS)
def test_bad_filter_reported_before_bad_src(resolve, check_raises, fn):
    bad_src = [[1, 2], [3, 4]]
    if fn == "warp_rgb":
        call = lambda: linora.warp_rgb(bad_src, IDENTITY, 1, 0, 0, "cubic")
    else:
        call = lambda: getattr(linora, fn)(bad_src, resolve(fn, MX), resolve(fn, MY), "cubic")
    check_raises(ValueError, filter_message('"cubic"'), call)


# --- warp_rgb argument conversion ------------------------------------------------


class Seq9:
    """A minimal sequence (has __len__ and __getitem__) of nine numbers."""

    def __init__(self, values):
        self.values = list(values)

    def __len__(self):
        return len(self.values)

    def __getitem__(self, i):
        return self.values[i]


class FloatLike:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return float(self.v)


class IndexLike:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


@pytest.mark.parametrize("inverse", [
    IDENTITY,
    tuple(IDENTITY),
    np.array(IDENTITY, dtype=np.float64),
    np.array(IDENTITY, dtype=np.int64),
    np.array(IDENTITY, dtype=np.float32),
    np.eye(3).ravel(),
    [np.float64(v) for v in IDENTITY],
    [FloatLike(v) for v in IDENTITY],
    [IndexLike(v) for v in IDENTITY],
    [True, False, 0, 0.0, 1, -0.0, 0, 0, 1],
    Seq9(IDENTITY),
    np.repeat(np.array(IDENTITY, dtype=np.float64), 2)[::2],
], ids=["list", "tuple", "f64", "i64", "f32", "eye", "np-scalars", "float-like", "index-like",
        "mixed", "sequence-class", "strided"])
def test_inverse_forms_accepted(rgb_u8, inverse):
    assert np.array_equal(linora.warp_rgb(rgb_u8, inverse, 1, 0, 0), rgb_u8)


@pytest.mark.parametrize("inverse, exc, message", [
    (None, TypeError, "'None' is not an instance of 'Sequence'"),
    (5, TypeError, "'int' object is not an instance of 'Sequence'"),
    (1.5, TypeError, "'float' object is not an instance of 'Sequence'"),
    ({i: 0 for i in range(9)}, TypeError, "'dict' object is not an instance of 'Sequence'"),
    (set(range(9)), TypeError, "'set' object is not an instance of 'Sequence'"),
    (np.eye(3), ValueError, "expected a sequence of length 9 (got 3)"),
    (IDENTITY[:8], ValueError, "expected a sequence of length 9 (got 8)"),
    (IDENTITY + [0], ValueError, "expected a sequence of length 9 (got 10)"),
    ([], ValueError, "expected a sequence of length 9 (got 0)"),
    ("abc", ValueError, "expected a sequence of length 9 (got 3)"),
    (IDENTITY[:8] + ["x"], TypeError, None),
    (IDENTITY[:8] + [None], TypeError, None),
    ("123456789", TypeError, None),
    ([[1, 0, 0]] * 3, ValueError, "expected a sequence of length 9 (got 3)"),
])
def test_inverse_errors(rgb_u8, check_raises, inverse, exc, message):
    check_raises(exc, message, linora.warp_rgb, rgb_u8, inverse, 1, 0, 0,
                 notes=note("inverse"))


@pytest.mark.parametrize("name", ["scale", "off_x", "off_y"])
@pytest.mark.parametrize("value", ["x", None, [1.0], object()])
def test_float_parameter_errors(rgb_u8, check_raises, name, value):
    kwargs = {"scale": 1, "off_x": 0, "off_y": 0}
    kwargs[name] = value
    check_raises(TypeError, None, linora.warp_rgb, rgb_u8, IDENTITY, notes=note(name), **kwargs)


@pytest.mark.parametrize("scale, off_x, off_y", [
    (FloatLike(1), IndexLike(0), np.float32(0)),
    (np.int64(1), False, 0.0),
    (True, np.float64(-0.0), IndexLike(0)),
])
def test_float_parameters_accept_numbers(rgb_u8, scale, off_x, off_y):
    assert np.array_equal(linora.warp_rgb(rgb_u8, IDENTITY, scale, off_x, off_y), rgb_u8)


def test_conversion_order(rgb_u8, check_raises):
    warp = linora.warp_rgb
    check_raises(TypeError, "'None' is not an instance of 'Sequence'",
                 warp, None, None, "x", "x", "x", None, [1], notes=note("inverse"))
    check_raises(TypeError, None, warp, None, IDENTITY, "x", "y", None, None, [1],
                 notes=note("scale"))
    check_raises(TypeError, None, warp, None, IDENTITY, 1, "y", None, None, [1],
                 notes=note("off_x"))
    check_raises(TypeError, None, warp, None, IDENTITY, 1, 0, "z", None, [1],
                 notes=note("off_y"))
    check_raises(TypeError, "'None' is not an instance of 'str'", warp, None, IDENTITY, 1, 0, 0,
                 None, [1], notes=note("filter"))
    # out_size is converted before the filter name is parsed.
    check_raises(TypeError, "'list' object is not an instance of 'tuple'", warp, None, IDENTITY,
                 1, 0, 0, "cubic", [1], notes=note("out_size"))
    check_raises(ValueError, filter_message('"cubic"'), warp, None, IDENTITY, 1, 0, 0, "cubic",
                 (1, 1))
    check_raises(TypeError, SRC_MSG["warp_rgb"], warp, None, IDENTITY, 1, 0, 0, "lanczos3",
                 (1, 1))


Size = collections.namedtuple("Size", "width height")


@pytest.mark.parametrize("out_size, shape", [
    ((640, 480), (480, 640, 3)),
    ((1, 1), (1, 1, 3)),
    ((7, 0), (0, 7, 3)),
    ((np.int64(9), np.uint8(4)), (4, 9, 3)),
    ((IndexLike(5), True), (1, 5, 3)),
    (Size(6, 2), (2, 6, 3)),
    (None, (23, 31, 3)),
])
def test_out_size_shapes(rgb_u8, out_size, shape):
    for flt in FILTERS:
        out = linora.warp_rgb(rgb_u8, IDENTITY, 1, 0, 0, flt, out_size)
        assert out.shape == shape
        assert out.dtype == np.uint8
        h, w = min(shape[0], 23), min(shape[1], 31)
        assert np.array_equal(out[:h, :w], rgb_u8[:h, :w])
        assert not out[h:].any() and not out[:, w:].any()


def test_out_size_absent_or_none_gives_source_shape(rgb_u16):
    a = linora.warp_rgb(rgb_u16, IDENTITY, 1, 0, 0)
    b = linora.warp_rgb(rgb_u16, IDENTITY, 1, 0, 0, out_size=None)
    c = linora.warp_rgb(rgb_u16, IDENTITY, 1, 0, 0, "bilinear", None)
    for out in (a, b, c):
        assert out.shape == rgb_u16.shape
        assert np.array_equal(out, rgb_u16)


@pytest.mark.parametrize("out_size, exc, message", [
    ([640, 480], TypeError, "'list' object is not an instance of 'tuple'"),
    (640, TypeError, "'int' object is not an instance of 'tuple'"),
    (np.array([4, 4]), TypeError, "'ndarray' object is not an instance of 'tuple'"),
    ((640, 480, 3), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    ((640,), ValueError, "expected tuple of length 2, but got tuple of length 1"),
    ((), ValueError, "expected tuple of length 2, but got tuple of length 0"),
    ((-1, 5), OverflowError, None),
    ((5, -1), OverflowError, None),
    ((2**64, 5), OverflowError, None),
    ((1.5, 5), TypeError, None),
    ((5, "7"), TypeError, None),
    ((5, None), TypeError, None),
])
def test_out_size_errors(rgb_u8, check_raises, out_size, exc, message):
    check_raises(exc, message, linora.warp_rgb, rgb_u8, IDENTITY, 1, 0, 0, "bilinear", out_size,
                 notes=note("out_size"))


@pytest.mark.parametrize("out_size", [(10**6, 10**6), (2**40, 2**40), (2**63, 3),
                                      (2**64 - 1, 2**64 - 1)])
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("flt", FILTERS)
def test_huge_output_raises_memory_error(out_size, dtype, flt):
    src = np.zeros((4, 4, 3), dtype=dtype)
    with pytest.raises(MemoryError):
        linora.warp_rgb(src, IDENTITY, 1, 0, 0, flt, out_size)


# --- remap argument conversion ------------------------------------------------------


def _remap_call(fn, src, mx, my, flt="bilinear"):
    return lambda: getattr(linora, fn)(src, mx, my, flt)


@pytest.mark.parametrize("fn", ["remap_rgb", "remap_gray"])
@pytest.mark.parametrize("bad, message", [
    (lambda m: m.astype(np.float64), "'ndarray' object is not an instance of 'ndarray'"),
    (lambda m: m.astype(np.float16), "'ndarray' object is not an instance of 'ndarray'"),
    (lambda m: m.astype(np.int32), "'ndarray' object is not an instance of 'ndarray'"),
    (lambda m: m.astype(">f4"), "'ndarray' object is not an instance of 'ndarray'"),
    (lambda m: m.ravel(), "'ndarray' object is not an instance of 'ndarray'"),
    (lambda m: m[None], "'ndarray' object is not an instance of 'ndarray'"),
    (lambda m: m.tolist(), "'list' object is not an instance of 'ndarray'"),
    (lambda m: None, "'None' is not an instance of 'ndarray'"),
    (lambda m: 1.0, "'float' object is not an instance of 'ndarray'"),
    (lambda m: np.float32(1.0), "'float32' object is not an instance of 'ndarray'"),
    (lambda m: m.astype(np.float64).view(SubArray),
     "'SubArray' object is not an instance of 'ndarray'"),
    (lambda m: m.astype(np.float64).view(Holder.MapSub),
     "'Holder.MapSub' object is not an instance of 'ndarray'"),
], ids=["f64", "f16", "i32", "be-f4", "1d", "3d", "list", "None", "float", "np-float32",
        "subclass-f64", "nested-subclass-f64"])
@pytest.mark.parametrize("which", ["map_x", "map_y"])
def test_map_errors(resolve, check_raises, fn, bad, message, which):
    src, mx, my = resolve(fn, SRC), resolve(fn, MX), resolve(fn, MY)
    if which == "map_x":
        call = _remap_call(fn, src, bad(mx), my)
    else:
        call = _remap_call(fn, src, mx, bad(my))
    check_raises(TypeError, message, call, notes=note(which))


@pytest.mark.parametrize("fn", ["remap_rgb", "remap_gray"])
def test_remap_error_order(resolve, check_raises, fn):
    src, mx, my = resolve(fn, SRC), resolve(fn, MX), resolve(fn, MY)
    check_raises(TypeError, "'list' object is not an instance of 'ndarray'",
                 _remap_call(fn, None, [1], None, None), notes=note("map_x"))
    check_raises(TypeError, "'None' is not an instance of 'ndarray'",
                 _remap_call(fn, None, mx, None, None), notes=note("map_y"))
    check_raises(TypeError, "'None' is not an instance of 'str'",
                 _remap_call(fn, None, mx, my.T, None), notes=note("filter"))
    check_raises(ValueError, filter_message('"cubic"'), _remap_call(fn, None, mx, my.T, "cubic"))
    check_raises(TypeError, SRC_MSG[fn], _remap_call(fn, None, mx, my.T))
    check_raises(ValueError, "map_x and map_y must have the same shape",
                 _remap_call(fn, src, mx, my.T))


@pytest.mark.parametrize("fn", ["remap_rgb", "remap_gray"])
@pytest.mark.parametrize("shape_x, shape_y", [((5, 7), (7, 5)), ((5, 7), (5, 6)),
                                               ((5, 7), (4, 7)), ((0, 7), (0, 6)),
                                               ((0, 7), (7, 0)), ((3, 0), (0, 3))])
def test_map_shape_mismatch(resolve, check_raises, fn, shape_x, shape_y):
    mx = np.zeros(shape_x, np.float32)
    my = np.zeros(shape_y, np.float32)
    check_raises(ValueError, "map_x and map_y must have the same shape",
                 _remap_call(fn, resolve(fn, SRC), mx, my))


# --- source arrays --------------------------------------------------------------

RGB_BAD = {
    "4-channels": lambda: np.zeros((4, 5, 4), np.uint8),
    "1-channel": lambda: np.zeros((4, 5, 1), np.uint8),
    "2-d": lambda: np.zeros((4, 5), np.uint8),
    "4-d": lambda: np.zeros((4, 5, 3, 1), np.uint8),
    "float32": lambda: np.zeros((4, 5, 3), np.float32),
    "float64": lambda: np.zeros((4, 5, 3), np.float64),
    "int16": lambda: np.zeros((4, 5, 3), np.int16),
    "int8": lambda: np.zeros((4, 5, 3), np.int8),
    "uint32": lambda: np.zeros((4, 5, 3), np.uint32),
    "bool": lambda: np.zeros((4, 5, 3), bool),
    "be-u2": lambda: np.zeros((4, 5, 3), ">u2"),
    "list": lambda: np.zeros((4, 5, 3), np.uint8).tolist(),
    "None": lambda: None,
    "int": lambda: 3,
}

GRAY_BAD = {
    "3-d": lambda: np.zeros((4, 5, 3), np.uint8),
    "1-channel": lambda: np.zeros((4, 5, 1), np.uint8),
    "1-d": lambda: np.zeros(5, np.uint8),
    "float32": lambda: np.zeros((4, 5), np.float32),
    "int16": lambda: np.zeros((4, 5), np.int16),
    "int64": lambda: np.zeros((4, 5), np.int64),
    "bool": lambda: np.zeros((4, 5), bool),
    "be-u2": lambda: np.zeros((4, 5), ">u2"),
    "list": lambda: [[1, 2], [3, 4]],
    "None": lambda: None,
}


@pytest.mark.parametrize("fn", ["warp_rgb", "remap_rgb"])
@pytest.mark.parametrize("bad", list(RGB_BAD))
def test_rgb_source_errors(resolve, check_raises, fn, bad):
    src = RGB_BAD[bad]()
    if fn == "warp_rgb":
        call = lambda: linora.warp_rgb(src, IDENTITY, 1, 0, 0)
    else:
        call = _remap_call(fn, src, resolve(fn, MX), resolve(fn, MY))
    check_raises(TypeError, SRC_MSG[fn], call)


@pytest.mark.parametrize("bad", list(GRAY_BAD))
def test_gray_source_errors(resolve, check_raises, bad):
    call = _remap_call("remap_gray", GRAY_BAD[bad](), resolve("remap_gray", MX),
                       resolve("remap_gray", MY))
    check_raises(TypeError, SRC_MSG["remap_gray"], call)


# --- outputs --------------------------------------------------------------------------


def _run(fn, src, flt, out_hw=(6, 9)):
    h, w = out_hw
    if fn == "warp_rgb":
        return linora.warp_rgb(src, [0.8, 0.1, 0.5, 0.0, 0.9, 0.25, 0.001, 0.0, 1.0], 1.25,
                               0.5, 0.0, flt, (w, h))
    mx, my = identity_maps(h, w)
    return getattr(linora, fn)(src, mx * np.float32(0.9) + np.float32(0.3), my, flt)


@pytest.mark.parametrize("fn", FUNCS)
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("flt", FILTERS)
@pytest.mark.parametrize("subclass", [False, True])
def test_output_array_properties(fn, dtype, flt, subclass):
    rng = np.random.default_rng(5)
    src = random_image(rng, 12, 14, 1 if fn == "remap_gray" else 3, dtype)
    if subclass:
        src = src.view(SubArray)
    snapshot = np.array(src)
    out = _run(fn, src, flt)
    assert type(out) is np.ndarray
    assert out.dtype == np.dtype(dtype)
    assert out.shape == ((6, 9) if fn == "remap_gray" else (6, 9, 3))
    assert out.flags.c_contiguous
    assert out.flags.writeable
    assert out.base is not None
    assert out.base is not src
    assert not np.shares_memory(out, src)
    assert np.array_equal(np.asarray(src), snapshot)
    out[...] = 7  # writeable and independent of the source
    assert np.array_equal(np.asarray(src), snapshot)
    again = _run(fn, src, flt)
    assert not np.shares_memory(out, again)


@pytest.mark.parametrize("fn", ["remap_rgb", "remap_gray"])
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("flt", FILTERS)
def test_empty_maps(fn, dtype, flt):
    src = np.ones((4, 4, 3) if fn == "remap_rgb" else (4, 4), dtype)
    m = np.zeros((0, 7), np.float32)
    out = getattr(linora, fn)(src, m, m, flt)
    assert out.shape == ((0, 7, 3) if fn == "remap_rgb" else (0, 7))
    assert out.dtype == np.dtype(dtype)
    assert type(out) is np.ndarray


@pytest.mark.parametrize("fn", ["remap_rgb", "remap_gray"])
@pytest.mark.parametrize("flt", FILTERS)
@pytest.mark.parametrize("shape", [(0, 0), (0, 5), (3, 0)])
def test_empty_source_maps_outside(fn, flt, shape):
    src = np.zeros(shape + ((3,) if fn == "remap_rgb" else ()), np.uint8)
    mx = np.full((2, 3), 1.0, np.float32)
    my = np.full((2, 3), 2.0, np.float32)
    out = getattr(linora, fn)(src, mx, my, flt)
    assert out.shape == ((2, 3, 3) if fn == "remap_rgb" else (2, 3))
    assert not out.any()


# --- identities and placements --------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("flt", FILTERS)
def test_identity_warp(dtype, flt):
    rng = np.random.default_rng(21)
    src = random_image(rng, 17, 23, 3, dtype)
    assert np.array_equal(linora.warp_rgb(src, IDENTITY, 1, 0, 0, flt), src)
    assert np.array_equal(linora.warp_rgb(src, IDENTITY, 1.0, 0.0, 0.0, flt, (23, 17)), src)


def test_identity_warp_stated_call(rgb_u8):
    out = linora.warp_rgb(rgb_u8, [1, 0, 0, 0, 1, 0, 0, 0, 1], 1, 0, 0)
    assert np.array_equal(out, rgb_u8)


@pytest.mark.parametrize("fn", ["remap_rgb", "remap_gray"])
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("flt", FILTERS)
def test_identity_remap(fn, dtype, flt):
    rng = np.random.default_rng(22)
    src = random_image(rng, 17, 23, 3 if fn == "remap_rgb" else 1, dtype)
    mx, my = identity_maps(17, 23)
    assert np.array_equal(getattr(linora, fn)(src, mx, my, flt), src)


@pytest.mark.parametrize("dtype", DTYPES)
def test_scale_two_bilinear(dtype):
    rng = np.random.default_rng(23)
    src = random_image(rng, 9, 11, 3, dtype)
    h, w = src.shape[:2]
    out = linora.warp_rgb(src, IDENTITY, 2, 0, 0, "bilinear", (2 * w, 2 * h))
    s = src.astype(np.int64)
    assert np.array_equal(out[::2, ::2], src)
    # Half-way between two columns: (a + b) / 2 rounded half up.
    assert np.array_equal(out[::2, 1:-1:2], (s[:, :-1] + s[:, 1:] + 1) // 2)
    assert np.array_equal(out[1:-1:2, ::2], (s[:-1] + s[1:] + 1) // 2)
    # The last output column and row sample w - 0.5 and h - 0.5: the edge.
    assert np.array_equal(out[::2, -1], src[:, -1])
    assert np.array_equal(out[-1, ::2], src[-1])


def test_scale_two_lanczos_hits_pixel_centres(rgb_u16):
    h, w = rgb_u16.shape[:2]
    out = linora.warp_rgb(rgb_u16, IDENTITY, 2.0, 0, 0, "lanczos3", (2 * w, 2 * h))
    assert np.array_equal(out[::2, ::2], rgb_u16)


@pytest.mark.parametrize("flt", FILTERS)
@pytest.mark.parametrize("dtype", DTYPES)
def test_offsets_shift(flt, dtype):
    rng = np.random.default_rng(24)
    src = random_image(rng, 15, 21, 3, dtype)
    h, w = src.shape[:2]
    out = linora.warp_rgb(src, IDENTITY, 1, 10, 0, flt)
    assert np.array_equal(out[:, : w - 10], src[:, 10:])
    assert not out[:, w - 10:].any()
    out = linora.warp_rgb(src, IDENTITY, 1, -3, 4, flt)
    assert np.array_equal(out[: h - 4, 3:], src[4:, : w - 3])
    assert not out[:, :3].any() and not out[h - 4:].any()


@pytest.mark.parametrize("dtype", DTYPES)
def test_half_pixel_border_is_inside(dtype):
    rng = np.random.default_rng(25)
    src = random_image(rng, 6, 8, 3, dtype)
    s = src.astype(np.int64)
    out = linora.warp_rgb(src, IDENTITY, 1, -0.5, -0.5, "bilinear")
    # Row 0 samples y = -0.5 (row 0 only); column 0 samples x = -0.5 (column 0).
    assert np.array_equal(out[0, 0], src[0, 0])
    assert np.array_equal(out[0, 1:], (s[0, :-1] + s[0, 1:] + 1) // 2)
    out = linora.warp_rgb(src, IDENTITY, 1, -0.5 - 1e-9, 0, "bilinear")
    assert not out[:, 0].any()
    assert np.array_equal(out[:, 1:], reference.warp_rgb(src, IDENTITY, 1, -0.5 - 1e-9, 0)[:, 1:])
    out = linora.warp_rgb(src, IDENTITY, 1, 0.5, 0, "bilinear")
    assert np.array_equal(out[:, -1], src[:, -1])  # x = w - 0.5: still inside
    out = linora.warp_rgb(src, IDENTITY, 1, 0.5 + 1e-9, 0, "bilinear")
    assert not out[:, -1].any()


@pytest.mark.parametrize("flt", FILTERS)
def test_degenerate_projective_rows(rgb_u8, flt):
    zero_w = linora.warp_rgb(rgb_u8, [1, 0, 0, 0, 1, 0, 0, 0, 0], 1, 0, 0, flt)
    assert zero_w.shape == rgb_u8.shape and not zero_w.any()
    negated = linora.warp_rgb(rgb_u8, [1, 0, 0, 0, 1, 0, 0, 0, -1], 1, 0, 0, flt)
    assert np.array_equal(negated[0, 0], rgb_u8[0, 0])
    negated[0, 0] = 0
    assert not negated.any()


@pytest.mark.parametrize("flt", FILTERS)
def test_one_pixel_source(flt):
    src = np.array([[[10, 200, 77]]], np.uint8)
    vals = np.array([-0.5, -0.25, 0.0, 0.3, 0.5], np.float32)
    mx, my = np.meshgrid(vals, vals)
    out = linora.remap_rgb(src, mx, my, flt)
    assert np.array_equal(out, np.broadcast_to(src[0, 0], (5, 5, 3)))
    gray = linora.remap_gray(src[:, :, 1].copy(), mx, my, flt)
    assert np.array_equal(gray, np.full((5, 5), 200, np.uint8))


def test_bilinear_halfway_rounds_up():
    src = np.array([[10, 11]], np.uint8)
    out = linora.remap_gray(src, np.array([[0.5]], np.float32), np.array([[0.0]], np.float32))
    assert out.tolist() == [[11]]


@pytest.mark.parametrize("flt", FILTERS)
def test_outside_and_non_finite_map_values(flt):
    src = np.arange(1, 13, dtype=np.uint8).reshape(3, 4) * 20
    mx = np.array([[-1, 4.5, np.inf, -np.inf, 1, 1, np.nextafter(np.float32(-0.5), np.float32(-1))]],
                  np.float32)
    my = np.array([[1, 1, 1, 1, np.inf, -0.51, 1]], np.float32)
    out = linora.remap_gray(src, mx, my, flt)
    assert out.tolist() == [[0] * 7]


@pytest.mark.parametrize("flt", FILTERS)
def test_nan_map_entries_are_outside(flt):
    # Invalid entries marked with NaN leave their pixels 0; the others sample.
    src = np.full((8, 9, 3), 99, np.uint16)
    mx = np.array([[np.nan, 1.0, np.nan, 4.0]], np.float32)
    my = np.array([[1.0, np.nan, np.nan, 3.0]], np.float32)
    out = linora.remap_rgb(src, mx, my, flt)
    assert out[0, :3].tolist() == [[0] * 3] * 3 and out[0, 3].tolist() == [99] * 3


def test_bilinear_edges_exact():
    rng = np.random.default_rng(26)
    src = rng.integers(0, 256, size=(5, 6), dtype=np.uint8)
    h, w = src.shape
    mx = np.array([[-0.5, w - 0.5, -0.25, w - 0.75, 2.0]], np.float32)
    my = np.array([[2.0, 3.0, -0.5, h - 0.5, h - 0.5]], np.float32)
    out = linora.remap_gray(src, mx, my)
    assert out.tolist() == [[src[2, 0], src[3, w - 1], src[0, 0], src[h - 1, w - 1],
                             src[h - 1, 2]]]


@pytest.mark.parametrize("dtype", DTYPES)
def test_lanczos_step_is_clamped(dtype):
    top = np.iinfo(dtype).max
    src = np.zeros((3, 12), dtype)
    src[:, 6:] = top
    xs = np.array([4.5, 5.25, 5.75, 6.5], np.float32)
    mx = np.tile(xs, (3, 1))
    my = np.tile(np.arange(3, dtype=np.float32)[:, None], (1, xs.size))
    out = linora.remap_gray(src, mx, my, "lanczos3")
    assert np.array_equal(out, reference.remap(src, mx, my, "lanczos3"))
    # Half-way (weights about 0.0245, -0.1359, 0.6114, 0.6114, -0.1359, 0.0245)
    # one pixel before the step the sum is about -0.11 * top, one pixel after
    # it about 1.11 * top: stored as 0 and top.
    assert out[:, 0].tolist() == [0, 0, 0]
    assert out[:, 3].tolist() == [top] * 3
    assert all(0 < v < top for v in out[:, 1:3].ravel())


# --- memory layouts --------------------------------------------------------------------


def _source_layouts(img):
    h, w = img.shape[:2]
    big = np.zeros((2 * h, 3 * w) + img.shape[2:], img.dtype)
    big[::2, ::3] = img
    swapped = np.ascontiguousarray(np.swapaxes(img, 0, 1))
    ro = img.copy()
    ro.setflags(write=False)
    layouts = {
        "fortran": np.asfortranarray(img),
        "swapped": np.swapaxes(swapped, 0, 1),
        "stepped": big[::2, ::3],
        "flipped": img[::-1, ::-1],
        "broadcast": np.broadcast_to(img[:1], img.shape),
        "read-only": ro,
    }
    if img.ndim == 3:
        layouts["channels-reversed"] = img[:, :, ::-1]
        wide = np.zeros((h, w, 5), img.dtype)
        wide[:, :, 1:4] = img
        layouts["channel-slice"] = wide[:, :, 1:4]
    else:
        layouts["from-rgb"] = np.stack([img, img, img], axis=-1)[:, :, 1]
    return layouts


@pytest.mark.parametrize("fn", FUNCS)
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("flt", FILTERS)
def test_source_layouts_match_contiguous(fn, dtype, flt):
    rng = np.random.default_rng(31)
    img = random_image(rng, 13, 17, 1 if fn == "remap_gray" else 3, dtype)
    for name, arr in _source_layouts(img).items():
        assert not arr.flags.c_contiguous or name == "read-only", name
        snapshot = arr.copy()
        got = _run(fn, arr, flt)
        assert np.array_equal(got, _run(fn, np.ascontiguousarray(arr), flt)), name
        assert np.array_equal(arr, snapshot), name


@pytest.mark.parametrize("fn", ["remap_rgb", "remap_gray"])
@pytest.mark.parametrize("flt", FILTERS)
def test_map_layouts_match_contiguous(fn, flt):
    rng = np.random.default_rng(32)
    src = random_image(rng, 13, 17, 3 if fn == "remap_rgb" else 1, np.uint8)
    mx, my = random_maps(rng, 9, 11, 13, 17)
    big = np.zeros((18, 33), np.float32)
    layouts = {
        "fortran": (np.asfortranarray(mx), np.asfortranarray(my)),
        "transposed": (np.ascontiguousarray(mx.T).T, np.ascontiguousarray(my.T).T),
        "flipped": (mx[::-1, ::-1].copy()[::-1, ::-1], my[::-1].copy()[::-1]),
        "broadcast": (np.broadcast_to(mx[:1], mx.shape), np.broadcast_to(my[:, :1], my.shape)),
        "mixed": (mx, np.asfortranarray(my)),
    }
    big[::2, ::3] = mx
    layouts["stepped"] = (big[::2, ::3], my)
    for name, (ax, ay) in layouts.items():
        sx, sy = ax.copy(), ay.copy()
        got = getattr(linora, fn)(src, ax, ay, flt)
        want = getattr(linora, fn)(src, np.ascontiguousarray(ax), np.ascontiguousarray(ay), flt)
        assert np.array_equal(got, want), name
        assert np.array_equal(ax, sx, equal_nan=True), name
        assert np.array_equal(ay, sy, equal_nan=True), name


def test_map_subclass_accepted(rgb_u8):
    mx, my = identity_maps(23, 31)
    out = linora.remap_rgb(rgb_u8, mx.view(SubArray), my.view(SubArray))
    assert type(out) is np.ndarray
    assert np.array_equal(out, rgb_u8)


# --- bit-exact agreement with the reference model ------------------------------------


def test_reference_table_rows():
    tab = reference.table()
    assert tab.shape == (1025, 6)
    assert np.allclose(tab[512], [0.024457, -0.135870, 0.611413, 0.611413, -0.135870, 0.024457],
                       atol=1e-6)
    assert np.allclose(tab[256], [0.030112, -0.133275, 0.892771, 0.271011, -0.067997, 0.007378],
                       atol=1e-6)
    assert np.array_equal(tab[512], tab[512][::-1])
    assert tab[0].argmax() == 2 and tab[1024].argmax() == 3
    assert tab[0, 5] == 0.0 and tab[1024, 0] == 0.0


@pytest.mark.parametrize("seed", [1, 2, 3])
@pytest.mark.parametrize("channels", [1, 3])
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("flt", FILTERS)
def test_remap_matches_reference(seed, channels, dtype, flt):
    rng = np.random.default_rng(seed * 100 + channels)
    h, w = int(rng.integers(6, 30)), int(rng.integers(6, 30))
    src = random_image(rng, h, w, channels, dtype)
    out_h, out_w = int(rng.integers(8, 24)), int(rng.integers(8, 24))
    mx, my = random_maps(rng, out_h, out_w, h, w)
    fn = linora.remap_rgb if channels == 3 else linora.remap_gray
    got = fn(src, mx, my, flt)
    want = reference.remap(src, mx, my, flt)
    assert got.shape == want.shape and got.dtype == want.dtype
    mismatch = np.argwhere(got != want)
    assert mismatch.size == 0, mismatch[:5].tolist()


@pytest.mark.parametrize("channels", [1, 3])
@pytest.mark.parametrize("flt", FILTERS)
def test_remap_matches_reference_large(channels, flt):
    # Enough rows for the work to be split among the worker threads.
    rng = np.random.default_rng(77)
    src = random_image(rng, 120, 160, channels, np.uint16)
    ys, xs = np.mgrid[0:150, 0:170].astype(np.float64)
    mx = (xs * 0.93 + 3 * np.sin(ys / 7.0) - 2.0).astype(np.float32)
    my = (ys * 0.81 + 2 * np.cos(xs / 5.0) + 0.3).astype(np.float32)
    fn = linora.remap_rgb if channels == 3 else linora.remap_gray
    assert np.array_equal(fn(src, mx, my, flt), reference.remap(src, mx, my, flt))


SPECIAL_MATRICES = {
    "zero-third-row": [1, 0, 0, 0, 1, 0, 0, 0, 0],
    "negative-w": [1, 0, 0, 0, 1, 0, 0, 0, -1],
    "flip": [-1, 0, 20, 0, -1, 15, 0, 0, 1],
    "perspective-horizon": [1, 0, 0, 0, 1, 0, 0.0, 0.1, -1.0],
    "nan-entry": [1, 0, 0, 0, 1, 0, 0, 0, float("nan")],
    "nan-x": [float("nan"), 0, 0, 0, 1, 0, 0, 0, 1],
    "inf-entry": [1, 0, float("inf"), 0, 1, 0, 0, 0, 1],
    "rotation": [0.8660254037844387, -0.5, 8.0, 0.5, 0.8660254037844387, -3.0, 0, 0, 1],
    "tiny": [1e-300, 0, 0, 0, 1e-300, 0, 0, 0, 1e-300],
    "all-zero": [0.0] * 9,
    "zero-w-at-origin": [1, 0, 0, 0, 1, 0, 1, 0, 0],
}


@pytest.mark.parametrize("matrix", list(SPECIAL_MATRICES))
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("flt", FILTERS)
def test_warp_special_matrices_match_reference(matrix, dtype, flt):
    rng = np.random.default_rng(41)
    src = random_image(rng, 16, 22, 3, dtype)
    inv = SPECIAL_MATRICES[matrix]
    got = linora.warp_rgb(src, inv, 1.0, 0.0, 0.0, flt, (25, 18))
    assert np.array_equal(got, reference.warp_rgb(src, inv, 1.0, 0.0, 0.0, flt, (25, 18)))


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("flt", FILTERS)
def test_warp_matches_reference(seed, dtype, flt):
    rng = np.random.default_rng(1000 + seed)
    h, w = int(rng.integers(8, 30)), int(rng.integers(8, 30))
    src = random_image(rng, h, w, 3, dtype)
    inv = random_homography(rng)
    scale = float(rng.uniform(0.5, 2.5))
    off_x, off_y = (float(v) for v in rng.uniform(-6, 6, size=2))
    out_size = (int(rng.integers(5, 40)), int(rng.integers(5, 40)))
    got = linora.warp_rgb(src, inv, scale, off_x, off_y, flt, out_size)
    want = reference.warp_rgb(src, inv, scale, off_x, off_y, flt, out_size)
    assert np.array_equal(got, want)
    assert got.any()


@pytest.mark.parametrize("scale, off_x, off_y", [
    (0.0, 0.0, 0.0), (-1.0, 30.0, 20.0), (float("inf"), 1.0, 1.0), (float("nan"), 0.0, 0.0),
    (3.0, float("nan"), 0.0), (1.0, -float("inf"), 0.0), (0.37, 0.5, 0.5),
])
@pytest.mark.parametrize("flt", FILTERS)
def test_warp_unusual_parameters_match_reference(rgb_u8, scale, off_x, off_y, flt):
    got = linora.warp_rgb(rgb_u8, IDENTITY, scale, off_x, off_y, flt, (12, 9))
    assert np.array_equal(got, reference.warp_rgb(rgb_u8, IDENTITY, scale, off_x, off_y, flt,
                                                  (12, 9)))


@pytest.mark.parametrize("flt", FILTERS)
def test_warp_nan_positions_are_outside(rgb_u8, flt):
    nan = float("nan")
    assert not linora.warp_rgb(rgb_u8, [nan] * 9, 1, 0, 0, flt, (3, 2)).any()


def _bilinear_tie_case(rng, dtype):
    """Positions whose exact bilinear value is k + 0.5. For 16-bit samples the
    weights are 41-bit products of float32 fractions and the weighted samples
    need more than 53 bits, so the computed value lands a few units in the
    last place on one side of the tie or the other, depending on the exact
    order of the operations: that decides the rounding. (8-bit samples keep
    every product exact: there the ties are exact and must round up.)
    Returns the source, the maps and the exact values."""
    top = np.iinfo(dtype).max
    step = (top + 1) // 2
    pairs = 32
    low = rng.integers(33, top - step + 1, size=pairs)
    cols = np.empty(2 * pairs, np.int64)
    cols[0::2] = low
    cols[1::2] = low + step
    src = np.tile(cols, (3, 1)).astype(dtype)  # constant down each column
    out_h = 40
    n = rng.integers(0, step, size=(out_h, pairs))
    fx = (2 * n + 1) / (2.0 * step)  # (1 - fx) * a + fx * (a + step) = a + n + 0.5
    mx = (2 * np.arange(pairs) + fx).astype(np.float32)
    my = rng.uniform(0.01, 1.0, size=(out_h, pairs)).astype(np.float32)
    return src, mx, my, low + n + 0.5


def _lanczos_tie_case(rng, dtype, axis):
    """Half-way positions (phase 512, symmetric weights) over blocks of three
    samples a, a, a, b, b, b with a + b odd: the exact value is a tie, the
    computed one falls on either side by rounding alone."""
    top = np.iinfo(dtype).max
    blocks = 20
    a = rng.integers(0, top, size=blocks)
    b = rng.integers(0, top // 2, size=blocks) * 2 + (a + 1) % 2  # a + b odd
    line = np.repeat(np.stack([a, b], axis=1), 3, axis=1).ravel()
    src = np.tile(line, (8, 1)).astype(dtype)
    centres = 6 * np.arange(blocks) + 2.5
    across = rng.integers(0, 1025, size=(16, blocks)) / 1024.0 + 2.0
    across[0] = 3.0  # integer: side lobes of row 0 only
    along = np.broadcast_to(centres, across.shape)
    mx, my = along.astype(np.float32), across.astype(np.float32)
    if axis == 1:
        src, mx, my = np.ascontiguousarray(src.T), my, mx
    return src, mx, my


@pytest.mark.parametrize("seed", [1, 2])
@pytest.mark.parametrize("dtype", DTYPES)
def test_bilinear_near_ties_match_reference(seed, dtype):
    rng = np.random.default_rng(600 + seed)
    src, mx, my, _ = _bilinear_tie_case(rng, dtype)
    got = linora.remap_gray(src, mx, my)
    assert np.array_equal(got, reference.remap(src, mx, my))
    rgb = np.ascontiguousarray(np.stack([src, src[:, ::-1], src], axis=-1))
    assert np.array_equal(linora.remap_rgb(rgb, mx, my), reference.remap(rgb, mx, my))


@pytest.mark.parametrize("seed", [1, 2])
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("axis", [0, 1])
def test_lanczos_near_ties_match_reference(seed, dtype, axis):
    rng = np.random.default_rng(700 + seed)
    src, mx, my = _lanczos_tie_case(rng, dtype, axis)
    got = linora.remap_gray(src, mx, my, "lanczos3")
    want = reference.remap(src, mx, my, "lanczos3")
    assert np.array_equal(got, want)
    rgb = np.ascontiguousarray(np.stack([src, src, src[::-1, ::-1]], axis=-1))
    assert np.array_equal(linora.remap_rgb(rgb, mx, my, "lanczos3"),
                          reference.remap(rgb, mx, my, "lanczos3"))


def test_tie_cases_are_sensitive():
    # The tie data really sits on rounding boundaries: the exact values are
    # k + 0.5 and the stored values are split between k and k + 1.
    rng = np.random.default_rng(5)
    src, mx, my, exact = _bilinear_tie_case(rng, np.uint16)
    got = linora.remap_gray(src, mx, my).astype(np.float64)
    assert set(np.unique(got - (exact - 0.5)).tolist()) == {0.0, 1.0}
    src, mx, my, exact = _bilinear_tie_case(rng, np.uint8)
    got = linora.remap_gray(src, mx, my).astype(np.float64)
    assert set(np.unique(got - (exact - 0.5)).tolist()) == {1.0}
    for axis in (0, 1):
        src, mx, my = _lanczos_tie_case(rng, np.uint16, axis)
        line = src[0] if axis == 0 else src[:, 0]
        exact = (line[0::6].astype(np.float64) + line[3::6]) / 2
        got = linora.remap_gray(src, mx, my, "lanczos3").astype(np.float64)
        assert set(np.unique(got - (exact - 0.5)).tolist()) == {0.0, 1.0}


# Row terms that cancel exactly on one row (v = 5) and are huge elsewhere: the
# column term added afterwards keeps its full precision only when the row
# terms are summed first, which is the order the warp uses.
BIG = 2.0**45
CANCELLING = {
    "x": [1.0, BIG, -5 * BIG, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0],
    "y": [1.0, 0.0, 0.0, 0.0, BIG, -5 * BIG + 0.0, 0.0, 0.0, 1.0],
    "w": [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 1.0 / 64, BIG, -5 * BIG + 1.0],
    "all": [0.75, BIG, -5 * BIG, 0.1, BIG, -5 * BIG + 3.0, 1.0 / 64, BIG, -5 * BIG + 1.0],
}


@pytest.mark.parametrize("name", list(CANCELLING))
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("flt", FILTERS)
def test_warp_operation_order_match_reference(name, dtype, flt):
    rng = np.random.default_rng(81)
    src = random_image(rng, 14, 40, 3, dtype)
    inv = CANCELLING[name]
    got = linora.warp_rgb(src, inv, 1.0, 0.3183, 0.0, flt, (36, 10))
    want = reference.warp_rgb(src, inv, 1.0, 0.3183, 0.0, flt, (36, 10))
    assert np.array_equal(got, want)
    assert got[5].any()


def test_skimage_astronaut_if_available():
    data = pytest.importorskip("skimage.data")
    img = data.astronaut()[::4, ::4]
    inv = [0.9, 0.05, 4.0, -0.03, 1.1, 2.0, 0.0002, 0.0001, 1.0]
    for flt in FILTERS:
        got = linora.warp_rgb(img, inv, 1.2, 0.0, 0.0, flt)
        assert np.array_equal(got, reference.warp_rgb(img, inv, 1.2, 0.0, 0.0, flt))
