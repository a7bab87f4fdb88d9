"""Property-based fuzzing of detect, warp_rgb, remap_rgb and remap_gray.

Arguments are drawn from pools that favour the awkward: every accepted and
many refused dtypes, sides of 0, 1, 2 and 3, C-ordered, Fortran-ordered,
transposed, stepped, reversed, broadcast, unaligned, read-only and
subclassed arrays, NaN, infinities, signed zeros, denormals and the extremes
of each type in pixels, maps, matrices, scales and offsets, and output sizes
up to 2**64 - 1. Most examples pass only acceptable arguments; the others
spoil one or two arguments.

For every call:
- it returns, or raises TypeError, ValueError, OverflowError, MemoryError or
  the module's internal-error class (a BaseException that is not an
  Exception); anything else, or a crash, fails;
- the exception is the one of the first bad argument, in the order in which
  the function converts its arguments, with the "while processing" note of
  that argument when it is a conversion failure;
- a non-contiguous (or unaligned, or subclassed) input gives the same
  outcome as its C-ordered copy, and two identical calls give identical
  outcomes;
- resampling results equal the NumPy model of reference.py bit for bit, and
  detection results hold their invariants (positive or NaN log-NFA,
  decreasing length, a scale of 1 or more or NaN acting as 1, nothing found
  when sub-sampling leaves fewer than 3 pixels on a side, the same segments
  from equivalent sample types).

By default each test runs a fixed set of derandomized examples (the same on
every run), so that CI stays fast and reproducible. For a longer random run
by hand set LINORA_FUZZ_EXAMPLES, e.g. LINORA_FUZZ_EXAMPLES=5000.
"""

import collections
import dataclasses
import fractions
import functools
import math
import os
import struct

import numpy as np
import pytest

pytest.importorskip("hypothesis")

from hypothesis import HealthCheck, event, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from hypothesis.extra import numpy as hnp  # noqa: E402

import linora  # noqa: E402
import reference  # noqa: E402

_EXAMPLES = int(os.environ.get("LINORA_FUZZ_EXAMPLES", "0") or 0)
_QUIET = [HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much]
settings.register_profile("linora-ci", max_examples=150, derandomize=True, deadline=None,
                          database=None, suppress_health_check=_QUIET)
settings.register_profile("linora-thorough", max_examples=max(_EXAMPLES, 1), deadline=None,
                          suppress_health_check=_QUIET)
FUZZ = settings(settings.get_profile("linora-thorough" if _EXAMPLES else "linora-ci"))

# Outputs (and input copies) of this many bytes or more cannot be allocated
# on any machine these tests run on; sizes between the small ones and these
# are never drawn, so that no test allocates gigabytes.
ABSURD_BYTES = 2**45
SSIZE_MAX = 2**63 - 1


@functools.lru_cache(maxsize=None)
def internal_error_class():
    """The module's internal-error class, taken from a call that must raise it."""
    empty = np.zeros((1, 0), np.float32)
    try:
        linora.remap_gray(np.zeros((1, 1), np.uint8), empty, empty)
    except BaseException as e:  # noqa: BLE001 - the class is what we want
        return type(e)
    raise AssertionError("a zero output width did not raise")


def test_internal_error_class_is_a_base_exception_only():
    cls = internal_error_class()
    assert cls.__name__ == "InternalError"
    assert cls.__bases__ == (BaseException,)
    assert not issubclass(cls, Exception)
    assert not hasattr(linora, "InternalError")


# ----------------------------------------------------------------- outcomes

@dataclasses.dataclass
class Outcome:
    value: object = None
    error: BaseException = None

    @property
    def raised(self):
        return self.error is not None


ALLOWED = (TypeError, ValueError, OverflowError, MemoryError)


def run(fn, *args, **kwargs):
    """Calls fn; an exception outside the documented set propagates."""
    try:
        return Outcome(value=fn(*args, **kwargs))
    except BaseException as e:  # noqa: BLE001 - filtered below
        if type(e) in ALLOWED or type(e) is internal_error_class():
            return Outcome(error=e)
        raise


def segment_fields(segments):
    return [(s.x1, s.y1, s.x2, s.y2, s.width, s.precision, s.log_nfa) for s in segments]


def bits(values):
    """The bit pattern of a list of float tuples (NaN-safe, signed-zero-exact)."""
    return np.array(values, dtype=np.float64).tobytes()


def assert_same(a, b):
    """Two outcomes are the same result bit for bit, or the same exception
    with the same message and notes."""
    if a.raised or b.raised:
        assert a.raised and b.raised, (a, b)
        assert type(a.error) is type(b.error)
        assert str(a.error) == str(b.error)
        assert getattr(a.error, "__notes__", None) == getattr(b.error, "__notes__", None)
        return
    if isinstance(a.value, np.ndarray):
        assert type(b.value) is np.ndarray
        assert a.value.dtype == b.value.dtype and a.value.shape == b.value.shape
        assert a.value.tobytes() == b.value.tobytes()
    else:
        assert type(a.value) is list and type(b.value) is list
        assert bits(segment_fields(a.value)) == bits(segment_fields(b.value))


def assert_raises(outcome, exc_type, note=None, message=None):
    event(f"raises {exc_type.__name__}" + (f" for {note}" if note else ""))
    assert outcome.raised, f"expected {exc_type.__name__}, got a result"
    assert type(outcome.error) is exc_type, repr(outcome.error)
    notes = getattr(outcome.error, "__notes__", None)
    assert notes == ([f"while processing '{note}'"] if note else None)
    if message is not None:
        assert str(outcome.error) == message


ABSENT = object()  # an optional argument that is not passed at all


@dataclasses.dataclass(frozen=True)
class Arg:
    """A drawn argument and the exception its conversion raises (None: it converts)."""
    value: object
    error: type = None


def tagged(good, bad, faulty):
    """good (a strategy of values that convert) or, when faulty, one of the
    (strategy, exception) pairs in `bad`."""
    if not faulty:
        return good.map(Arg)
    return st.one_of(*[s.map(functools.partial(lambda e, v: Arg(v, e), e)) for s, e in bad])


def fault_sets(names):
    """The arguments to spoil: none in most examples, one or two in the others."""
    return st.one_of(st.just(frozenset()), st.just(frozenset()),
                     st.frozensets(st.sampled_from(names), min_size=1, max_size=2))


def first_error(args):
    for name, arg in args:
        if arg.error is not None:
            return name, arg.error
    return None


# ------------------------------------------------------------ value pools

def special_values(dtype):
    """Zeros, ones, extremes, denormals and non-finite values of a dtype."""
    dtype = np.dtype(dtype)
    if dtype.kind == "u":
        m = int(np.iinfo(dtype).max)
        return [0, 1, 2, 127, 128, m // 2, m // 2 + 1, m - 1, m]
    f = np.finfo(dtype)
    tiny = float(f.smallest_normal)
    sub = float(f.smallest_subnormal)
    big = float(f.max)
    return [0.0, -0.0, 1.0, -1.0, 0.5, 5.226252, 255.0, 256.0, 65535.0, 1e10, -1e10,
            sub, -sub, tiny, tiny / 2, tiny * 0.75, big, -big, big / 2, float(f.eps),
            math.inf, -math.inf, math.nan, -math.nan]


def levels(dtype):
    """Grey levels: mostly ordinary ones far enough apart to make edges,
    sometimes any value of the dtype, special ones included."""
    dtype = np.dtype(dtype)
    ordinary = [0, 30, 90, 160, 255]
    if dtype == np.uint16:
        ordinary = [v * 257 for v in ordinary]
    elif dtype.kind == "f":
        ordinary = [float(v) for v in ordinary] + [-50.0, 1000.0]
    return st.one_of(st.sampled_from(ordinary), st.sampled_from(ordinary),
                     st.sampled_from(special_values(dtype)), hnp.from_dtype(dtype))


def side(largest):
    """A side length: 0 to 3 or anything up to `largest`."""
    return st.one_of(st.integers(0, 3), st.integers(4, largest), st.integers(4, largest))


# -------------------------------------------------------------- layouts

class Sub(np.ndarray):
    """An ndarray subclass: accepted wherever an ndarray is."""


def _strided(arr, perm, steps, offsets, junk):
    """A view equal to arr whose memory holds the axes in the order `perm`,
    taking every |step|-th element (reversed for a negative step) from
    `offset` on, inside a buffer filled with the byte `junk`."""
    shape = arr.shape
    logical = [n * abs(s) + o for n, s, o in zip(shape, steps, offsets)]
    base = np.empty([logical[p] for p in perm], arr.dtype)
    base.view(np.uint8)[...] = junk
    base = base.transpose(np.argsort(perm))
    view = base[tuple(slice(o, o + n * abs(s), abs(s)) for n, s, o in zip(shape, steps, offsets))]
    view = view[tuple(slice(None, None, -1) if s < 0 else slice(None) for s in steps)]
    view[...] = arr
    return view


def _unaligned(arr):
    """A C-ordered copy of arr at an odd address."""
    raw = np.empty(arr.nbytes + 1, np.uint8)[1:]
    view = raw.view(arr.dtype).reshape(arr.shape)
    view[...] = arr
    return view


@st.composite
def laid_out(draw, arr):
    """(view, canonical): the array in some memory layout, and the C-ordered,
    aligned, plain ndarray with the same elements."""
    kind = draw(st.sampled_from(["C", "F", "strided", "strided", "broadcast", "unaligned",
                                 "subclass", "readonly"]))
    nd = arr.ndim
    view = arr.copy()
    if kind == "F":
        view = np.asfortranarray(arr)
    elif kind == "strided":
        perm = draw(st.permutations(range(nd)))
        steps = draw(st.lists(st.sampled_from([1, 2, 3, -1, -2]), min_size=nd, max_size=nd))
        offsets = draw(st.lists(st.integers(0, 2), min_size=nd, max_size=nd))
        view = _strided(arr, perm, steps, offsets, draw(st.integers(0, 255)))
    elif kind == "broadcast":
        axis = draw(st.integers(0, nd - 1))
        if arr.shape[axis] > 0:
            one = arr[tuple(slice(0, 1) if a == axis else slice(None) for a in range(nd))]
            view = np.broadcast_to(one, arr.shape)
    elif kind == "unaligned" and arr.dtype.itemsize > 1:
        view = _unaligned(arr)
    elif kind == "subclass":
        view = arr.view(Sub)
    elif kind == "readonly":
        view.flags.writeable = False
    event(f"layout {kind}")
    return view, np.array(view, order="C", copy=True, subok=False)


# --------------------------------------------------------------- images

ACCEPTED_GRAY = [np.float64, np.float32, np.uint8, np.uint16]
ACCEPTED_RGB = [np.uint8, np.uint16]
REFUSED_DTYPES = [np.bool_, np.int8, np.int16, np.int32, np.int64, np.uint32, np.uint64,
                  np.float16, np.complex64, np.complex128, np.longdouble, ">u2", ">f4", ">f8",
                  "<i2", "O", "U1", "M8[s]"]
HUGE = "huge"  # stands for the canonical copy that cannot be made


@st.composite
def pictures(draw, dtype, shape):
    """An array of the given dtype and shape: a background level with a few
    rectangles of other levels (edges to find), optional seeded noise, and
    special values sprinkled at drawn places."""
    dtype = np.dtype(dtype)
    img = np.full(shape, draw(levels(dtype)), dtype)
    h, w = shape[0], shape[1]
    if h and w:
        for _ in range(draw(st.integers(0, 3))):
            y0, y1 = sorted(draw(st.lists(st.integers(0, h), min_size=2, max_size=2)))
            x0, x1 = sorted(draw(st.lists(st.integers(0, w), min_size=2, max_size=2)))
            img[y0:y1, x0:x1] = draw(levels(dtype))
        noise = draw(st.sampled_from([0.0, 0.0, 2.0, 40.0]))
        if noise:
            rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
            with np.errstate(all="ignore"):
                noisy = img.astype(np.float64) + rng.normal(0.0, noise, shape)
                if dtype.kind == "u":
                    noisy = np.clip(np.nan_to_num(noisy), 0, np.iinfo(dtype).max)
                img = noisy.astype(dtype)
        specials = st.sampled_from(special_values(dtype))
        for _ in range(draw(st.integers(0, 4))):
            img[tuple(draw(st.integers(0, n - 1)) for n in shape)] = draw(specials)
    return img


@st.composite
def refused_arrays(draw, shape):
    dtype = np.dtype(draw(st.sampled_from(REFUSED_DTYPES)))
    arr = np.zeros(shape, dtype)
    if arr.size and dtype.kind in "biufc":
        arr.flat[0] = 1
    return arr


def not_arrays():
    return st.sampled_from([None, 3, 2.5, "img", b"\x00\x01", [[0, 1], [2, 3]],
                            [[[0, 0, 0]]], (1, 2), memoryview(b"abcd")])


def huge_broadcasts(channels, dtype):
    """Read-only broadcast views of one element whose C-ordered copy would
    take 2**46 bytes or more: making that copy must fail cleanly."""
    itemsize = np.dtype(dtype).itemsize

    def build(h, extra):
        w = 2**46 // (h * itemsize * channels) + extra
        shape = (h, w, 3) if channels == 3 else (h, w)
        return np.broadcast_to(np.zeros((1,) * len(shape), dtype), shape)

    return st.builds(build, st.sampled_from([1, 2**21, 2**30]), st.integers(0, 3))


@st.composite
def sources(draw, ndim, accepted, largest, faulty):
    """An image argument: (view, canonical) when accepted; when faulty,
    (object, None) for an object of the wrong kind, or (view, HUGE) for a
    view too large to copy."""
    channels = 3 if ndim == 3 else 1
    h, w = draw(side(largest)), draw(side(largest))
    shape = (h, w, 3) if ndim == 3 else (h, w)
    if not faulty:
        return draw(laid_out(draw(pictures(draw(st.sampled_from(accepted)), shape))))
    kind = draw(st.sampled_from(["dtype", "shape", "other", "huge"]))
    event(f"bad source: {kind}")
    if kind == "dtype":
        return draw(refused_arrays(shape)), None
    if kind == "huge":
        return draw(huge_broadcasts(channels, draw(st.sampled_from(accepted)))), HUGE
    if kind == "other":
        return draw(not_arrays()), None
    wrong = [(h, w, 1), (h,), (), (1, h, w), (h, w, 3, 1)]
    wrong += [(h, w), (h, w, 2), (h, w, 4)] if ndim == 3 else [(h, w, 3)]
    # (1, h, w) is a valid shape when w is 3.
    wrong = [s for s in wrong if len(s) != ndim or (ndim == 3 and s[-1] != 3)]
    return np.zeros(draw(st.sampled_from(wrong)), draw(st.sampled_from(accepted))), None


# ------------------------------------------------------ float parameters

EXTREME_FLOATS = [0.0, -0.0, 1e-7, 5e-324, -5e-324, 2.2250738585072014e-308, 1e-300, 1e300,
                  1.7976931348623157e308, -1.7976931348623157e308, math.inf, -math.inf,
                  math.nan, -math.nan]
OTHER_NUMBERS = [True, False, np.float32(0.1), np.float64(math.nan), np.int64(-3),
                 np.uint64(2**64 - 1), np.float32(np.inf), fractions.Fraction(1, 3),
                 2**1023, -(2**1023), 10**300]


def float_params(faulty, ordinary=st.floats(-4.0, 4.0)):
    """A float parameter; an accepted value converts as float() converts it."""
    good = st.one_of(ordinary, ordinary, st.sampled_from(EXTREME_FLOATS), st.floats(),
                     st.integers(-1000, 1000), st.sampled_from(OTHER_NUMBERS))
    return tagged(good, [(st.sampled_from(["x", None, [1.0], 1j, b"1", ()]), TypeError),
                         (st.sampled_from([2**1024, -(2**1024), 10**400]), OverflowError)],
                  faulty)


# ------------------------------------------------------------------ detect

DETECT_TYPE_ERROR = "detect expects a (height, width) array of uint8, uint16, float32 or float64"


def total_order_key(v):
    i = struct.unpack("<q", struct.pack("<d", v))[0]
    return i if i >= 0 else -(i & 0x7FFFFFFFFFFFFFFF) - 1


def check_segments(segments):
    assert type(segments) is list
    for s in segments:
        assert type(s) is linora.Segment
        assert s.log_nfa > 0 or math.isnan(s.log_nfa)
    keys = [total_order_key(s.length) for s in segments]
    assert keys == sorted(keys, reverse=True)


@FUZZ
@given(data=st.data())
def test_detect(data):
    faults = data.draw(fault_sets(["gray", "scale"]), "faults")
    view, canonical = data.draw(sources(2, ACCEPTED_GRAY, 40, "gray" in faults), "gray")
    scale = data.draw(st.one_of(st.just(Arg(ABSENT)),
                                float_params("scale" in faults, st.floats(0.0, 1.5))), "scale")
    args = (view,) if scale.value is ABSENT else (view, scale.value)

    got = run(linora.detect, *args)
    assert_same(got, run(linora.detect, *args))
    if scale.error is not None:
        return assert_raises(got, scale.error, note="scale")
    if canonical is None:
        return assert_raises(got, TypeError, message=DETECT_TYPE_ERROR)
    if canonical is HUGE:
        return assert_raises(got, MemoryError)
    assert_same(got, run(linora.detect, canonical, *args[1:]))
    assert not got.raised, repr(got.error)
    segments = got.value
    check_segments(segments)
    event("segments found" if segments else "no segments")

    s = 0.8 if scale.value is ABSENT else float(scale.value)
    h, w = canonical.shape
    if w < 3 or h < 3:
        assert segments == []
    elif s < 1 and min(math.floor(max(s * w, 0.0)), math.floor(max(s * h, 0.0))) < 3:
        # Sub-sampled to floor(scale * side) (a negative product giving 0):
        # below 3 pixels there is nothing to look at.
        assert segments == []
    if not s < 1 and s != 1.0:  # 1 or more, or NaN: exactly the result of scale 1
        assert_same(got, run(linora.detect, canonical, 1.0))

    # Equivalent sample types give identical segments.
    if canonical.dtype == np.uint8:
        assert_same(got, run(linora.detect, canonical.astype(np.uint16) * 257, *args[1:]))
        assert_same(got, run(linora.detect, canonical.astype(np.float64), *args[1:]))
    elif canonical.dtype == np.float32:
        assert_same(got, run(linora.detect, canonical.astype(np.float64), *args[1:]))


# -------------------------------------------------------------- resampling

SMALL_SIZES = list(range(0, 9))
ABSURD_SIZES = [2**45, 2**50, 2**62, SSIZE_MAX, 2**63, 2**64 - 1]
Size = collections.namedtuple("Size", "width height")


@st.composite
def out_sizes(draw, faulty):
    """An out_size argument (ABSENT, None, a pair of sizes), tagged."""
    if not faulty:
        kind = draw(st.sampled_from(["absent", "none", "pair", "pair", "pair", "named"]))
        if kind == "absent":
            return Arg(ABSENT)
        if kind == "none":
            return Arg(None)
        size = st.one_of(st.sampled_from(SMALL_SIZES), st.sampled_from(SMALL_SIZES),
                         st.sampled_from(ABSURD_SIZES),
                         st.sampled_from([np.uint64(2**64 - 1), np.int64(3), np.uint8(2), True]))
        a, b = draw(size), draw(size)
        return Arg((a, b) if kind == "pair" else Size(a, b))
    kind = draw(st.sampled_from(["list", "length", "first", "second"]))
    if kind == "list":
        return Arg([draw(st.integers(0, 5)), draw(st.integers(0, 5))], TypeError)
    if kind == "length":
        return Arg(tuple(range(1, draw(st.sampled_from([0, 1, 3, 4])) + 1)), ValueError)
    wrong = draw(st.sampled_from([(-1, OverflowError), (-(2**63), OverflowError),
                                  (2**64, OverflowError), (2**100, OverflowError),
                                  (1.0, TypeError), ("3", TypeError), (None, TypeError),
                                  (2.5, TypeError)]))
    other = draw(st.sampled_from(SMALL_SIZES))
    return Arg((wrong[0], other) if kind == "first" else (other, wrong[0]), wrong[1])


NOT_FILTERS = ["Bilinear", " bilinear", "lanczos", "", "bilinear\x00", "LANCZOS3", "nearest"]


@st.composite
def filters(draw, faulty):
    """A filter argument; a str that names no filter is tagged "name" (its
    ValueError comes after the conversions), a non-str TypeError."""
    if not faulty:
        return Arg(draw(st.sampled_from([ABSENT, "bilinear", "lanczos3"])))
    if draw(st.booleans()):
        return Arg(draw(st.sampled_from([None, 3, b"bilinear", ["lanczos3"]])), TypeError)
    name = draw(st.one_of(st.sampled_from(NOT_FILTERS), st.text(max_size=8)))
    return Arg(name, "name") if name not in ("bilinear", "lanczos3") else Arg(name)


def filter_name(arg):
    return "bilinear" if arg.value is ABSENT else arg.value


def filter_conversion(arg):
    """The filter as a conversion step: only a non-str fails there."""
    return Arg(arg.value, arg.error if arg.error is TypeError else None)


@st.composite
def matrices(draw, faulty):
    """An inverse argument: nine numbers as a list, tuple or array, mostly
    near an affine map, sometimes anything (extremes and non-finite)."""
    ordinary = st.floats(-3.0, 3.0)
    anything = st.one_of(st.sampled_from(EXTREME_FLOATS), st.floats(), st.integers(-5, 5),
                         st.sampled_from(OTHER_NUMBERS))
    if not faulty:
        kind = draw(st.sampled_from(["affine", "affine", "projective", "anything"]))
        if kind == "affine":
            values = draw(st.lists(ordinary, min_size=6, max_size=6)) + [0.0, 0.0, 1.0]
        elif kind == "projective":
            values = draw(st.lists(ordinary, min_size=9, max_size=9))
        else:
            values = draw(st.lists(st.one_of(ordinary, anything), min_size=9, max_size=9))
        container = draw(st.sampled_from(["list", "tuple", "f64", "f32", "strided"]))
        with np.errstate(all="ignore"):
            if container == "tuple":
                return Arg(tuple(values))
            if container == "f64":
                return Arg(np.array([float(v) for v in values]))
            if container == "f32":
                return Arg(np.array([float(v) for v in values], np.float32))
            if container == "strided":
                return Arg(np.repeat(np.array([float(v) for v in values]), 2)[::2])
        return Arg(values)
    kind = draw(st.sampled_from(["element", "length", "type"]))
    if kind == "element":
        values = draw(st.lists(ordinary, min_size=9, max_size=9))
        wrong = draw(st.sampled_from([("x", TypeError), (None, TypeError), (1j, TypeError),
                                      ([1.0], TypeError), (2**1024, OverflowError)]))
        values[draw(st.integers(0, 8))] = wrong[0]
        return Arg(values, wrong[1])
    if kind == "length":
        n = draw(st.sampled_from([0, 1, 3, 8, 10, 81]))
        return Arg(draw(st.sampled_from([list, tuple]))([1.0] * n), ValueError)
    return Arg(draw(st.sampled_from([None, 1.0, 9, {i: 1.0 for i in range(9)},
                                     frozenset(range(9)), "123456789"])), TypeError)


def output_bytes(out_w, out_h, channels, itemsize):
    return out_w * out_h * channels * itemsize


def check_computed(outcome, src, out_w, out_h, channels, expected_fn, positions_fn):
    """The outcome of a call whose arguments were all accepted: an output of
    out_h x out_w pixels of `channels` samples computed from `src`.

    expected_fn() gives the reference output (for a non-empty source and
    output); positions_fn() the sampled positions x, y (1-D) for an empty
    source."""
    itemsize = src.dtype.itemsize
    if out_w > SSIZE_MAX or out_h > SSIZE_MAX:
        return assert_raises(outcome, MemoryError)
    if out_w == 0:
        return assert_raises(outcome, internal_error_class(),
                             message="chunk_size must not be zero")
    if out_h == 0 and output_bytes(out_w, 1, channels, itemsize) > SSIZE_MAX:
        # NumPy cannot describe such an array, even an empty one.
        event("output too wide to describe")
        assert outcome.raised and type(outcome.error) in (ValueError, MemoryError)
        return None
    if output_bytes(out_w, out_h, channels, itemsize) >= ABSURD_BYTES:
        return assert_raises(outcome, MemoryError)
    event("computed: " + ("empty output" if out_h == 0 else
                          "empty source" if src.size == 0 else "compared with the model"))
    if out_h == 0:
        assert not outcome.raised, repr(outcome.error)
    elif src.size == 0:
        # Sampling an empty source: only a position on the empty edge passes
        # the range test, and that is refused as an internal error.
        x, y = positions_fn()
        h, w = src.shape[0], src.shape[1]
        inside = (x >= -0.5) & (x <= w - 0.5) & (y >= -0.5) & (y <= h - 0.5)
        if outcome.raised:
            assert inside.any(), repr(outcome.error)
            return assert_raises(outcome, internal_error_class())
        assert not outcome.value.any()
    else:
        assert not outcome.raised, repr(outcome.error)
        expected = expected_fn()
        assert outcome.value.tobytes() == expected.tobytes()
        if expected.any():
            event("non-zero output")
    out = outcome.value
    shape = (out_h, out_w, 3) if channels == 3 else (out_h, out_w)
    assert type(out) is np.ndarray and out.dtype == src.dtype and out.shape == shape
    assert out.flags.c_contiguous and out.flags.writeable and not out.flags.owndata
    return None


WARP_TYPE_ERROR = "warp_rgb expects a (height, width, 3) array of uint8 or uint16"
WARP_NAMES = ["src", "inverse", "scale", "off_x", "off_y", "filter", "out_size"]


def warp_call(src, args, style):
    """Calls warp_rgb: style 0 passes everything by position, 1 the optional
    arguments by keyword, 2 everything by keyword. A positional out_size
    after an absent filter gets the default filter in between."""
    values = [src] + [a.value for a in args]
    if style == 0:
        if values[6] is not ABSENT and values[5] is ABSENT:
            values[5] = "bilinear"
        while values[-1] is ABSENT:
            values.pop()
        return run(linora.warp_rgb, *values)
    first = 5 if style == 1 else 0
    kwargs = {n: v for n, v in zip(WARP_NAMES[first:], values[first:]) if v is not ABSENT}
    return run(linora.warp_rgb, *values[:first], **kwargs)


@FUZZ
@given(data=st.data())
def test_warp_rgb(data):
    faults = data.draw(fault_sets(WARP_NAMES), "faults")
    view, canonical = data.draw(sources(3, ACCEPTED_RGB, 6, "src" in faults), "src")
    inverse = data.draw(matrices("inverse" in faults), "inverse")
    scale = data.draw(float_params("scale" in faults, st.floats(0.25, 4.0)), "scale")
    off_x = data.draw(float_params("off_x" in faults), "off_x")
    off_y = data.draw(float_params("off_y" in faults), "off_y")
    flt = data.draw(filters("filter" in faults), "filter")
    out_size = data.draw(out_sizes("out_size" in faults), "out_size")
    style = data.draw(st.integers(0, 2), "style")
    args = [inverse, scale, off_x, off_y, flt, out_size]

    got = warp_call(view, args, style)
    assert_same(got, warp_call(view, args, style))
    conversion = first_error([("inverse", inverse), ("scale", scale), ("off_x", off_x),
                              ("off_y", off_y), ("filter", filter_conversion(flt)),
                              ("out_size", out_size)])
    if conversion:
        return assert_raises(got, conversion[1], note=conversion[0])
    if flt.error == "name":
        return assert_raises(got, ValueError)
    if canonical is None:
        return assert_raises(got, TypeError, message=WARP_TYPE_ERROR)
    if canonical is HUGE:
        return assert_raises(got, MemoryError)
    assert_same(got, warp_call(canonical, args, style))

    h, w = canonical.shape[:2]
    size = (w, h) if out_size.value in (ABSENT, None) else out_size.value
    out_w, out_h = int(size[0]), int(size[1])
    matrix = [float(v) for v in inverse.value]
    s, ox, oy = float(scale.value), float(off_x.value), float(off_y.value)

    def positions():
        sx, sy, nonzero = reference.warp_positions(matrix, s, ox, oy, out_w, out_h)
        return sx[nonzero], sy[nonzero]

    with np.errstate(all="ignore"):
        check_computed(got, canonical, out_w, out_h, 3,
                       lambda: reference.warp_rgb(canonical, matrix, s, ox, oy,
                                                  filter_name(flt), (out_w, out_h)),
                       positions)


@st.composite
def maps(draw, shape, src_h, src_w, faulty):
    """A map argument: a float32 array of the given shape whose values mix
    positions inside the source, on and just beside its edges, and special
    floats; when faulty, an object that is not a 2-D float32 array."""
    if faulty:
        kind = draw(st.sampled_from(["dtype", "ndim", "other"]))
        rows, cols = shape
        if kind == "dtype":
            dtype = draw(st.sampled_from([np.float64, np.float16, np.int32, np.uint8, ">f4"]))
            return Arg(np.zeros(shape, dtype), TypeError), None
        if kind == "ndim":
            wrong = draw(st.sampled_from([(cols,), (rows, cols, 1), (), (1, rows, cols)]))
            return Arg(np.zeros(wrong, np.float32), TypeError), None
        return Arg(draw(st.sampled_from([None, [[0.0]], 1.0, "map"])), TypeError), None
    edges = [-0.5, src_w - 0.5, src_h - 0.5, np.nextafter(np.float32(-0.5), np.float32(-1)),
             np.nextafter(np.float32(src_w - 0.5), np.float32(1e9)), -1.0, 0.0, -0.0,
             float(src_w), float(src_h), 0.25, 1.5, 2.0000002, 1023.5 / 1024, 1e30, -1e30]
    with np.errstate(over="ignore"):
        pool = [float(np.float32(v)) for v in edges + special_values(np.float32)]
    inside = st.floats(-1.0, max(src_w, src_h) + 0.5, width=32)
    values = st.one_of(inside, inside, st.sampled_from(pool), st.floats(width=32))
    view, canonical = draw(laid_out(draw(hnp.arrays(np.float32, shape, elements=values))))
    return Arg(view), canonical


REMAP_TYPE_ERROR = {
    3: "remap_rgb expects a (height, width, 3) array of uint8 or uint16 and float32 maps",
    1: "remap_gray expects a (height, width) array of uint8 or uint16 and float32 maps",
}


def remap_call(fn, src, map_x, map_y, flt, keywords):
    args = [src, map_x, map_y]
    if flt.value is not ABSENT:
        args.append(flt.value)
    if not keywords:
        return run(fn, *args)
    return run(fn, **dict(zip(["src", "map_x", "map_y", "filter"], args)))


@pytest.mark.parametrize("channels", [3, 1], ids=["remap_rgb", "remap_gray"])
@FUZZ
@given(data=st.data())
def test_remap(channels, data):
    fn = linora.remap_rgb if channels == 3 else linora.remap_gray
    faults = data.draw(fault_sets(["src", "map_x", "map_y", "filter", "shapes"]), "faults")
    view, canonical = data.draw(sources(channels if channels == 3 else 2, ACCEPTED_RGB, 6,
                                        "src" in faults), "src")
    src_h, src_w = (canonical.shape[:2] if isinstance(canonical, np.ndarray) else (3, 3))
    shape = (data.draw(side(6), "rows"), data.draw(side(6), "cols"))
    mx, mx_c = data.draw(maps(shape, src_h, src_w, "map_x" in faults), "map_x")
    if "shapes" in faults:
        grow = data.draw(st.sampled_from([(1, 0), (0, 1), (1, 1)]), "map_y grows by")
        shape = (shape[0] + grow[0], shape[1] + grow[1])
    my, my_c = data.draw(maps(shape, src_h, src_w, "map_y" in faults), "map_y")
    flt = data.draw(filters("filter" in faults), "filter")
    keywords = data.draw(st.booleans(), "keywords")

    got = remap_call(fn, view, mx.value, my.value, flt, keywords)
    assert_same(got, remap_call(fn, view, mx.value, my.value, flt, keywords))
    conversion = first_error([("map_x", mx), ("map_y", my), ("filter", filter_conversion(flt))])
    if conversion:
        return assert_raises(got, conversion[1], note=conversion[0])
    if flt.error == "name":
        return assert_raises(got, ValueError)
    if canonical is None:
        return assert_raises(got, TypeError, message=REMAP_TYPE_ERROR[channels])
    if mx_c.shape != my_c.shape:
        return assert_raises(got, ValueError, message="map_x and map_y must have the same shape")
    if canonical is HUGE:
        return assert_raises(got, MemoryError)
    assert_same(got, remap_call(fn, canonical, mx_c, my_c, flt, keywords))

    out_h, out_w = mx_c.shape
    with np.errstate(all="ignore"):
        check_computed(got, canonical, out_w, out_h, channels,
                       lambda: reference.remap(canonical, mx_c, my_c, filter_name(flt)),
                       lambda: (mx_c.astype(np.float64).ravel(), my_c.astype(np.float64).ravel()))
