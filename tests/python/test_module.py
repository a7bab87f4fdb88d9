"""The module object, its functions' metadata, the Segment class and the
internal-error exception."""

import ctypes
import ctypes.util
import gc
import inspect
import math
import pickle
import shutil
import subprocess
import sys
import sysconfig
import weakref

import numpy as np
import pytest

import linora

FUNCTIONS = {
    "detect": (
        "(gray, scale=...)",
        "Find the validated line segments of a grayscale image.",
        ["gray", "scale"],
    ),
    "warp_rgb": (
        '(src, inverse, scale, off_x, off_y, filter="bilinear", out_size=None)',
        "Perspective-warp an RGB image through an inverse homography.",
        ["src", "inverse", "scale", "off_x", "off_y", "filter", "out_size"],
    ),
    "remap_rgb": (
        '(src, map_x, map_y, filter="bilinear")',
        "Resample an RGB image through a coordinate map: output pixel (x, y)\n"
        "takes its value from source position (map_x[y, x], map_y[y, x]).",
        ["src", "map_x", "map_y", "filter"],
    ),
    "remap_gray": (
        '(src, map_x, map_y, filter="bilinear")',
        "Resample a single-channel image (a mask) through a coordinate map.",
        ["src", "map_x", "map_y", "filter"],
    ),
}

SEGMENT_FIELDS = ["x1", "y1", "x2", "y2", "width", "precision", "log_nfa"]
SEGMENT_ATTRS = SEGMENT_FIELDS + ["angle", "length"]


def _libm_hypot():
    """The C library's hypot, which `length` is defined by."""
    name = ctypes.util.find_library("m")
    if name is None:
        return None
    fn = ctypes.CDLL(name).hypot
    fn.restype = ctypes.c_double
    fn.argtypes = [ctypes.c_double, ctypes.c_double]
    return fn


HYPOT = _libm_hypot()


def expected_angle(s):
    a = math.atan2(s.y2 - s.y1, s.x2 - s.x1) * 57.29577951308232
    if a > 90:
        a -= 180
    if a <= -90:
        a += 180
    return a


@pytest.fixture(scope="module")
def segments(blocks_image, rect_image):
    segs = linora.detect(blocks_image) + linora.detect(rect_image, 1.0)
    assert len(segs) >= 10
    return segs


# --- module -----------------------------------------------------------------


def test_module_all_and_doc():
    assert linora.__all__ == ["Segment", "detect", "warp_rgb", "remap_rgb", "remap_gray"]
    assert type(linora.__all__) is list
    assert linora.__doc__ == ""
    assert linora.__name__ == "linora"


def test_module_attributes_are_the_exported_objects():
    for name in linora.__all__:
        assert hasattr(linora, name)
    assert isinstance(linora.Segment, type)
    public = sorted(n for n in vars(linora) if not n.startswith("_"))
    assert public == sorted(linora.__all__)


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_function_metadata(name):
    fn = getattr(linora, name)
    sig, doc, params = FUNCTIONS[name]
    assert type(fn).__name__ == "builtin_function_or_method"
    assert fn.__name__ == name
    assert fn.__qualname__ == name
    assert fn.__module__ == "linora"
    assert fn.__self__ is linora
    assert fn.__text_signature__ == sig
    assert fn.__doc__ == doc


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_function_signature_is_introspectable(name):
    sig = inspect.signature(getattr(linora, name))
    assert list(sig.parameters) == FUNCTIONS[name][2]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="only meaningful on a free-threaded interpreter")
def test_import_keeps_gil_disabled():
    assert sys._is_gil_enabled() is False


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not available")
def test_shared_library_exports_only_init():
    out = subprocess.run(["nm", "-D", "--defined-only", linora.__file__],
                         capture_output=True, text=True, check=True).stdout
    funcs = {line.split()[-1] for line in out.splitlines()
             if len(line.split()) == 3 and line.split()[1] in "TtWwiI"}
    assert funcs == {"PyInit_linora"}


# --- Segment class ----------------------------------------------------------


def test_segment_class_identity():
    seg_t = linora.Segment
    assert seg_t.__name__ == "Segment"
    assert seg_t.__qualname__ == "Segment"
    assert seg_t.__module__ == "linora"
    assert seg_t.__bases__ == (object,)
    assert seg_t.__doc__ == "One detected line segment, in input-image coordinates."
    assert seg_t.__text_signature__ is None
    assert seg_t.angle.__doc__ == "Direction in degrees, -90 to 90, 0 = horizontal."
    assert seg_t.length.__doc__ == "Length in pixels."
    for name in SEGMENT_FIELDS:
        assert getattr(seg_t, name).__doc__ is None


def test_segment_not_instantiable():
    with pytest.raises(TypeError):
        linora.Segment()
    with pytest.raises(TypeError):
        linora.Segment(0, 0, 1, 1, 1, 0.125, 1)
    with pytest.raises(TypeError):
        linora.Segment.__new__(linora.Segment)


def test_segment_not_subclassable():
    with pytest.raises(TypeError):
        type("Sub", (linora.Segment,), {})


def test_segment_type_flags():
    flags = linora.Segment.__flags__
    assert not flags & (1 << 10)  # Py_TPFLAGS_BASETYPE
    assert not flags & (1 << 14)  # Py_TPFLAGS_HAVE_GC
    assert flags & (1 << 7)  # Py_TPFLAGS_DISALLOW_INSTANTIATION
    assert linora.Segment.__dictoffset__ == 0
    assert linora.Segment.__weakrefoffset__ == 0


@pytest.mark.parametrize("name", SEGMENT_ATTRS)
def test_segment_attributes_read_only(segments, name):
    seg = segments[0]
    before = getattr(seg, name)
    assert type(before) is float
    with pytest.raises(AttributeError):
        setattr(seg, name, 0.0)
    with pytest.raises(AttributeError):
        delattr(seg, name)
    assert getattr(seg, name) == before


def test_segment_has_no_dict_no_weakref(segments):
    seg = segments[0]
    assert not hasattr(seg, "__dict__")
    with pytest.raises(AttributeError):
        seg.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(seg)
    assert not gc.is_tracked(seg)


def test_segment_not_picklable(segments):
    with pytest.raises(TypeError):
        pickle.dumps(segments[0])


def test_segment_equality_and_hash_by_identity(rect_image):
    a = linora.detect(rect_image)
    b = linora.detect(rect_image)
    assert a and len(a) == len(b)
    for s, t in zip(a, b):
        assert [getattr(s, f) for f in SEGMENT_FIELDS] == [getattr(t, f) for f in SEGMENT_FIELDS]
        assert s is not t
        assert s != t
        assert s == s
        assert hash(s) == object.__hash__(s)


def test_segment_values(segments):
    for s in segments:
        assert type(s) is linora.Segment
        values = [getattr(s, f) for f in SEGMENT_FIELDS]
        assert all(math.isfinite(v) for v in values)
        assert s.log_nfa > 0
        assert 0 < s.precision <= 0.125
        assert s.width >= 1.0


def test_segment_angle_formula(segments):
    for s in segments:
        a = s.angle
        assert a == expected_angle(s)
        assert -90 < a <= 90


@pytest.mark.skipif(HYPOT is None, reason="C math library not found")
def test_segment_length_formula(segments):
    for s in segments:
        assert s.length == HYPOT(s.x2 - s.x1, s.y2 - s.y1)


def test_segment_length_close_to_python_hypot(segments):
    for s in segments:
        assert math.isclose(s.length, math.hypot(s.x2 - s.x1, s.y2 - s.y1), rel_tol=1e-15)


def test_segment_repr(segments, segment_repr):
    for s in segments:
        assert repr(s) == segment_repr(s)
        assert str(s) == repr(s)
    assert any(".0," not in repr(s) for s in segments)  # fractional digits really vary


def test_fmt1_matches_stated_rounding(fmt1):
    # The rule repr follows: ties to even on the exact double, sign kept.
    assert [fmt1(v) for v in (-0.04, 0.25, 0.75, 20.25, 20.75, -0.0, 1e20)] == [
        "-0.0", "0.2", "0.8", "20.2", "20.8", "-0.0", "100000000000000000000.0"]


# --- internal-error exception ------------------------------------------------


def _internal_error(fn, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    return info.value


INTERNAL_CASES = {
    "remap_rgb_zero_columns": lambda: linora.remap_rgb(
        np.zeros((4, 4, 3), np.uint8), np.zeros((5, 0), np.float32), np.zeros((5, 0), np.float32)),
    "remap_gray_zero_columns": lambda: linora.remap_gray(
        np.zeros((4, 4), np.uint16), np.zeros((5, 0), np.float32), np.zeros((5, 0), np.float32),
        "lanczos3"),
    "warp_zero_width": lambda: linora.warp_rgb(
        np.zeros((4, 4, 3), np.uint8), [1, 0, 0, 0, 1, 0, 0, 0, 1], 1, 0, 0, out_size=(0, 5)),
    "warp_zero_width_lanczos": lambda: linora.warp_rgb(
        np.zeros((4, 4, 3), np.uint16), [1, 0, 0, 0, 1, 0, 0, 0, 1], 1, 0, 0, "lanczos3", (0, 0)),
    "warp_zero_width_source": lambda: linora.warp_rgb(
        np.zeros((4, 0, 3), np.uint8), [1, 0, 0, 0, 1, 0, 0, 0, 1], 1, 0, 0),
}


@pytest.mark.parametrize("case", list(INTERNAL_CASES))
def test_internal_error_class(case):
    err = _internal_error(INTERNAL_CASES[case])
    cls = type(err)
    assert cls.__mro__[1] is BaseException
    assert not isinstance(err, Exception)
    assert str(err) == "chunk_size must not be zero"
    assert cls not in [v for v in vars(linora).values() if isinstance(v, type)]


def test_internal_error_class_is_shared():
    classes = {type(_internal_error(fn)) for fn in INTERNAL_CASES.values()}
    assert len(classes) == 1


def test_internal_error_leaves_module_usable(rgb_u8):
    _internal_error(INTERNAL_CASES["warp_zero_width"])
    out = linora.warp_rgb(rgb_u8, [1, 0, 0, 0, 1, 0, 0, 0, 1], 1, 0, 0)
    assert np.array_equal(out, rgb_u8)
