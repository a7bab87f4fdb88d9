"""linora.detect: argument binding and conversion, accepted arrays, the
memory rule, scale handling and the geometry of the returned segments."""

import math

import numpy as np
import pytest

import linora

FIELDS = ["x1", "y1", "x2", "y2", "width", "precision", "log_nfa"]
DTYPE_MSG = "detect expects a (height, width) array of uint8, uint16, float32 or float64"


def key(segs):
    """Bit-exact, NaN-safe identity of a segment list."""
    return [tuple(float(getattr(s, f)).hex() for f in FIELDS) for s in segs]


class SubArray(np.ndarray):
    pass


# --- binding ------------------------------------------------------------------


IMG = object()  # stands for the test image in parametrised argument lists


def _sub(v, img):
    return img if v is IMG else v


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "detect() missing 1 required positional argument: 'gray'"),
    ((), {"scale": 0.5}, "detect() missing 1 required positional argument: 'gray'"),
    ((IMG,), {"foo": 1}, "detect() got an unexpected keyword argument 'foo'"),
    ((), {"gray": IMG, "Scale": 1}, "detect() got an unexpected keyword argument 'Scale'"),
    ((IMG,), {"gray": IMG}, "detect() got multiple values for argument 'gray'"),
    ((IMG, 0.8), {"scale": 0.8}, "detect() got multiple values for argument 'scale'"),
    ((IMG, 0.8, 1), {}, "detect() takes from 1 to 2 positional arguments but 3 were given"),
    ((IMG, "x", None, None), {},
     "detect() takes from 1 to 2 positional arguments but 4 were given"),
])
def test_binding_errors(rect_image, check_raises, args, kwargs, message):
    args = tuple(_sub(a, rect_image) for a in args)
    kwargs = {k: _sub(v, rect_image) for k, v in kwargs.items()}
    check_raises(TypeError, message, linora.detect, *args, **kwargs)


@pytest.mark.parametrize("gray", [IMG, [[0, 1], [2, 3]], None])
def test_scale_converted_before_gray(rect_image, check_raises, gray):
    err = check_raises(TypeError, None, linora.detect, _sub(gray, rect_image), scale="x",
                       notes=["while processing 'scale'"])
    assert str(err) != DTYPE_MSG


def test_scale_conversion_error_keeps_interpreter_type(rect_image, check_raises):
    class BadFloat:
        def __float__(self):
            raise ZeroDivisionError("nope")

    check_raises(ZeroDivisionError, "nope", linora.detect, rect_image, BadFloat(),
                 notes=["while processing 'scale'"])


class FloatLike:
    def __float__(self):
        return 1.0


class IndexLike:
    def __index__(self):
        return 1


@pytest.mark.parametrize("scale", [1, 1.0, True, np.float32(1.0), np.float64(1.0), np.int64(1),
                                   FloatLike(), IndexLike()])
def test_scale_accepts_numbers(rect_image, scale):
    assert key(linora.detect(rect_image, scale)) == key(linora.detect(rect_image, 1.0))


# --- accepted arrays --------------------------------------------------------


@pytest.mark.parametrize("make", [
    lambda img: img.tolist(),
    lambda img: img > 100,
    lambda img: img.astype(np.int64),
    lambda img: img.astype(np.int16),
    lambda img: img.astype(np.int8),
    lambda img: img.astype(np.uint32),
    lambda img: img.astype(np.float16),
    lambda img: img.astype(np.complex64),
    lambda img: img.astype(">u2"),
    lambda img: img.astype(">f8"),
    lambda img: img.astype(">f4"),
    lambda img: img[0],
    lambda img: img[:, :, None],
    lambda img: np.stack([img, img, img], axis=-1),
    lambda img: img[None],
    lambda img: np.uint8(3),
    lambda img: 5,
    lambda img: None,
    lambda img: memoryview(img),
], ids=["list", "bool", "int64", "int16", "int8", "uint32", "float16", "complex64",
        "be-u2", "be-f8", "be-f4", "1d", "3d-1", "3d-3", "3d-lead", "np-scalar", "int", "None",
        "memoryview"])
def test_rejected_inputs(rect_image, check_raises, make):
    check_raises(TypeError, DTYPE_MSG, linora.detect, make(rect_image))


def test_rejected_input_with_good_scale(rect_image, check_raises):
    check_raises(TypeError, DTYPE_MSG, linora.detect, rect_image.astype(np.int32), 1.0)


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float32, np.float64, "<u2", "=f8"])
def test_accepted_dtypes(rect_image, dtype):
    img = rect_image.astype(dtype)
    if img.dtype.itemsize == 2:
        img *= 257  # 16-bit samples are divided by 257
    segs = linora.detect(img)
    assert type(segs) is list
    assert len(segs) >= 4
    assert all(type(s) is linora.Segment for s in segs)


def test_integer_valued_images_agree_across_dtypes(blocks_image):
    ref = key(linora.detect(blocks_image))
    assert ref
    assert key(linora.detect(blocks_image.astype(np.uint16) * np.uint16(257))) == ref
    assert key(linora.detect(blocks_image.astype(np.float32))) == ref
    assert key(linora.detect(blocks_image.astype(np.float64))) == ref


def test_uint16_is_divided_by_257():
    rng = np.random.default_rng(3)
    img16 = np.kron(rng.integers(0, 65536, size=(8, 10)), np.ones((9, 9))).astype(np.uint16)
    as_f64 = img16.astype(np.float64) / 257.0
    assert key(linora.detect(img16, 1.0)) == key(linora.detect(as_f64, 1.0))
    assert key(linora.detect(img16)) == key(linora.detect(as_f64))


def test_float32_is_widened_exactly(half_plane):
    img32 = half_plane(30).astype(np.float32)
    assert key(linora.detect(img32)) == key(linora.detect(img32.astype(np.float64)))


def test_ndarray_subclass_accepted(blocks_image):
    sub = blocks_image.view(SubArray)
    assert type(sub) is SubArray
    assert key(linora.detect(sub)) == key(linora.detect(blocks_image))


def test_read_only_array_accepted(blocks_image):
    ro = blocks_image.copy()
    ro.setflags(write=False)
    assert key(linora.detect(ro)) == key(linora.detect(blocks_image))


# --- memory rule --------------------------------------------------------------


def _layouts(img):
    """Non-C-ordered arrays of various kinds, keyed by name."""
    big = np.zeros((img.shape[0] * 2, img.shape[1] * 3), dtype=img.dtype)
    big[::2, ::3] = img
    rgb = np.stack([img, img[::-1], img[:, ::-1]], axis=-1)
    row = np.repeat(np.arange(img.shape[1]) // 16 * 60 % 256, 1).astype(img.dtype)
    return {
        "fortran": np.asfortranarray(img),
        "transposed": img.T,
        "stepped": big[::2, ::3],
        "flipped-rows": img[::-1],
        "flipped-cols": img[:, ::-1],
        "flipped-both-T": img[::-1, ::-1].T,
        "channel-slice": rgb[:, :, 1],
        "broadcast": np.broadcast_to(row, img.shape),
        "column-broadcast": np.broadcast_to(row[: img.shape[0], None], img.shape),
    }


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float32, np.float64])
@pytest.mark.parametrize("layout", ["fortran", "transposed", "stepped", "flipped-rows",
                                    "flipped-cols", "flipped-both-T", "channel-slice",
                                    "broadcast", "column-broadcast"])
def test_layouts_match_contiguous_copy(blocks_image, dtype, layout):
    img = blocks_image.astype(dtype)
    if img.dtype.itemsize == 2:
        img *= 257  # 16-bit samples are divided by 257
    arr = _layouts(img)[layout]
    contiguous = np.ascontiguousarray(arr)
    snapshot = arr.copy()
    got = linora.detect(arr)
    assert key(got) == key(linora.detect(contiguous))
    if layout not in ("broadcast", "column-broadcast"):
        assert got, "expected segments on this image"
    assert np.array_equal(arr, snapshot)


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float32, np.float64])
def test_input_not_modified(blocks_image, dtype):
    img = blocks_image.astype(dtype)
    snapshot = img.copy()
    linora.detect(img)
    linora.detect(img, 1.0)
    assert np.array_equal(img, snapshot)
    assert img.flags.c_contiguous and img.flags.writeable


# --- sizes and scale ----------------------------------------------------------


@pytest.mark.parametrize("shape", [(0, 0), (0, 5), (5, 0), (1, 1), (2, 2), (2, 10), (10, 2),
                                   (2, 500), (500, 2)])
@pytest.mark.parametrize("dtype", [np.uint8, np.float64])
def test_small_images_give_empty_list(shape, dtype):
    rng = np.random.default_rng(0)
    img = (rng.random(shape) * 255).astype(dtype)
    assert linora.detect(img) == []
    assert linora.detect(img, 1.0) == []


@pytest.mark.parametrize("shape", [(3, 3), (40, 60), (200, 150)])
@pytest.mark.parametrize("value", [0, 77, 255])
def test_constant_image_gives_empty_list(shape, value):
    img = np.full(shape, value, dtype=np.uint8)
    assert linora.detect(img) == []
    assert linora.detect(img, 1.0) == []


def test_default_scale_is_0_8(blocks_image):
    ref = key(linora.detect(blocks_image))
    assert ref
    assert key(linora.detect(blocks_image, 0.8)) == ref
    assert key(linora.detect(gray=blocks_image, scale=0.8)) == ref
    assert key(linora.detect(gray=blocks_image)) == ref
    assert key(linora.detect(blocks_image, scale=0.8)) == ref
    assert ref != key(linora.detect(blocks_image, 1.0))


@pytest.mark.parametrize("scale", [1, 1.5, 2.0, 100.0, math.inf, math.nan, -math.nan])
def test_scale_one_or_more_or_nan_is_full_resolution(blocks_image, scale):
    ref = key(linora.detect(blocks_image, 1.0))
    assert ref
    assert key(linora.detect(blocks_image, scale)) == ref


@pytest.mark.parametrize("scale", [0.0, -0.0, -0.5, -1.0, -math.inf, 1e-300, 0.02])
def test_non_positive_or_tiny_scale_gives_empty_list(blocks_image, scale):
    assert linora.detect(blocks_image, scale) == []


@pytest.mark.parametrize("side, expect_empty", [(5, True), (6, False)])
def test_subsampled_size_below_three(side, expect_empty):
    # 5 x 5 at scale 0.5 is 2 x 2 after sub-sampling: nothing to do.
    img = np.zeros((side, side), dtype=np.uint8)
    img[:, side // 2:] = 255
    segs = linora.detect(img, 0.5)
    if expect_empty:
        assert segs == []
    else:
        assert type(segs) is list


@pytest.mark.parametrize("scale", [0.3, 0.5, 0.8, 1.0])
def test_sorted_by_decreasing_length(blocks_image, scale):
    segs = linora.detect(blocks_image, scale)
    assert len(segs) >= 5
    lengths = [s.length for s in segs]
    assert all(a >= b for a, b in zip(lengths, lengths[1:]))
    by_coords = [math.hypot(s.x2 - s.x1, s.y2 - s.y1) for s in segs]
    assert all(a >= b * (1 - 1e-12) for a, b in zip(by_coords, by_coords[1:]))


def test_many_segments_sorted(blocks_image):
    # More than 20 segments: the long-list sort path.
    tiled = np.tile(blocks_image, (2, 2))
    segs = linora.detect(tiled, 1.0)
    assert len(segs) > 20
    lengths = [s.length for s in segs]
    assert lengths == sorted(lengths, reverse=True)


@pytest.mark.parametrize("scale", [0.5, 0.8, 1.0])
def test_segments_inside_image(blocks_image, scale):
    h, w = blocks_image.shape
    segs = linora.detect(blocks_image, scale)
    assert segs
    margin = 2.0 / min(scale, 1.0)
    for s in segs:
        for x in (s.x1, s.x2):
            assert -margin <= x <= w + margin
        for y in (s.y1, s.y2):
            assert -margin <= y <= h + margin
        assert s.log_nfa > 0
        assert 0 < s.precision <= 0.125
        assert s.width >= 1.0 / min(scale, 1.0) - 1e-12


@pytest.mark.parametrize("scale", [0.8, 1.0])
def test_rectangle_edges_found(rect_image, scale):
    # Box [20, 70) x [15, 60): its edges lie on x = 20, x = 70, y = 15, y = 60.
    edges = {
        "left": ("v", 20.0, 15.0, 60.0),
        "right": ("v", 70.0, 15.0, 60.0),
        "top": ("h", 15.0, 20.0, 70.0),
        "bottom": ("h", 60.0, 20.0, 70.0),
    }
    tol = 2.0
    segs = linora.detect(rect_image, scale)
    covered = {name: 0.0 for name in edges}
    for s in segs:
        if s.length < 8:
            continue
        matched = False
        for name, (kind, pos, lo, hi) in edges.items():
            if kind == "v":
                across, along = (s.x1, s.x2), (s.y1, s.y2)
            else:
                across, along = (s.y1, s.y2), (s.x1, s.x2)
            if all(abs(a - pos) <= tol for a in across) and all(
                    lo - tol <= a <= hi + tol for a in along):
                matched = True
                covered[name] = max(covered[name], abs(along[1] - along[0]))
                assert abs(s.angle) == pytest.approx(90.0 if kind == "v" else 0.0, abs=3.0)
        assert matched, f"segment away from every edge: {s!r}"
    for name, (kind, pos, lo, hi) in edges.items():
        assert covered[name] >= 0.6 * (hi - lo), (name, covered)


@pytest.mark.parametrize("angle", [0, 17, 30, 45, 60, 90, -20, -45, -70])
@pytest.mark.parametrize("scale", [0.8, 1.0])
def test_straight_edge_direction(half_plane, angle, scale):
    img = half_plane(angle)
    segs = linora.detect(img, scale)
    assert segs
    longest = segs[0]
    assert longest.length >= 40
    diff = (longest.angle - angle + 90.0) % 180.0 - 90.0
    assert abs(diff) < 1.5
    # The edge passes through the centre (48, 48).
    t = math.radians(angle)
    for x, y in ((longest.x1, longest.y1), (longest.x2, longest.y2)):
        dist = (x - 48.0) * math.sin(t) - (y - 48.0) * math.cos(t)
        assert abs(dist) < 2.0


@pytest.mark.parametrize("fill", [np.nan, np.inf, -np.inf, 1e308, -1e308, 5e307])
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_non_finite_and_huge_values_do_not_crash(rect_image, fill, dtype, segment_repr,
                                                 total_order_key):
    with np.errstate(all="ignore"):
        img = rect_image.astype(np.float64)
        img[30:40, 30:60] = fill
        img[5, :] = fill
        img = img.astype(dtype)
    for scale in (0.8, 1.0):
        segs = linora.detect(img, scale)
        assert type(segs) is list
        assert all(type(s) is linora.Segment for s in segs)
        for s in segs:
            assert repr(s) == segment_repr(s)
            assert isinstance(s.angle, float) and isinstance(s.length, float)
        keys = [total_order_key(s.length) for s in segs]
        assert keys == sorted(keys, reverse=True)


def test_all_nan_image():
    img = np.full((20, 20), np.nan)
    assert linora.detect(img, 1.0) == []
    assert linora.detect(img) == []


def test_skimage_camera_if_available():
    data = pytest.importorskip("skimage.data")
    img = data.camera()
    segs = linora.detect(img)
    assert len(segs) > 50
    assert key(segs) == key(linora.detect(img.astype(np.float64)))
    assert key(linora.detect(np.asfortranarray(img))) == key(segs)
