"""Thousands of calls of every function, returning or raising, leave memory
flat and the reference counts of their arguments unchanged; output arrays
give their memory back when they are dropped.

Three measures catch three kinds of leak:
- reference counts of every argument (and of the objects inside sequence
  arguments): a reference taken and never released;
- sys.getallocatedblocks(): interpreter objects created and never freed
  (a leaked exception, note, tuple or Segment). The count is that of blocks
  in use at the moment, which is not steady on the free-threaded build: its
  allocator frees some blocks only once every thread has passed a quiescent
  state, and blocks freed into another thread's pages stay counted until
  that heap collects them, so a few hundred blocks come and go between two
  readings with nothing leaked. A leak grows the count in every round of
  calls, that noise in one at most: the calls are repeated in up to
  BLOCK_ROUNDS rounds, and only growth in each of them fails;
- the resident set size from /proc/self/statm: native buffers never freed
  (a working buffer, an array copy, an output raster).
Under the sanitizer run (LINORA_SANITIZED=1) the address sanitizer's
allocator keeps freed memory in quarantine, so the RSS checks are skipped
there; the reference-count and block checks still run.
"""

import gc
import os
import sys

import numpy as np
import pytest

import linora

pytestmark = pytest.mark.slow_under_emulation

SANITIZED = os.environ.get("LINORA_SANITIZED") == "1"
PAGE = os.sysconf("SC_PAGE_SIZE")
CALLS = 2000
WARM_UP = 100
RSS_TOLERANCE = 4 << 20  # bytes, over CALLS calls: a leak of 2 KiB per call shows
BLOCK_TOLERANCE = CALLS // 10  # a leak of one object per call shows
BLOCK_ROUNDS = 3


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def fresh_int(v):
    """An int object made at run time (not a constant shared with the code)."""
    return int(str(v))


def fresh_float(v):
    return float(repr(float(v)))


def fresh_str(s):
    """A str object of its own, not an interned constant."""
    return "".join([s[:1], s[1:]])


def _scene(h=48, w=48, dtype=np.uint8, scale=1):
    img = np.full((h, w), 40 * scale, dtype)
    img[10:30, 8:40] = 200 * scale
    img[34:44, 5:20] = 120 * scale
    return img


def _rgb(h=40, w=40, dtype=np.uint16):
    rng = np.random.default_rng(5)
    return rng.integers(0, np.iinfo(dtype).max, (h, w, 3)).astype(dtype)


def _maps(rows=48, cols=64, fortran=False):
    ys, xs = np.mgrid[0:rows, 0:cols].astype(np.float32)
    mx, my = xs * 1.1 - 0.3, ys * 0.9 + 0.2
    if fortran:
        return np.asfortranarray(mx), np.asfortranarray(my)
    return mx, my


def _matrix():
    return [fresh_float(v) for v in (0.9, 0.1, 1.5, -0.05, 1.1, -2.0, 1e-4, 2e-4, 1.0)]


def internal_error_class():
    empty = np.zeros((1, 0), np.float32)
    try:
        linora.remap_gray(np.zeros((1, 1), np.uint8), empty, empty)
    except BaseException as e:  # noqa: BLE001 - the class is what we want
        return type(e)
    raise AssertionError("a zero output width did not raise")


INTERNAL = internal_error_class()


def _cases():
    """(id, function, args, kwargs, expected exception type or None). The
    sources of the raising calls are non-contiguous where the call gets as
    far as copying them, so that a copy left behind would show."""
    gray = _scene()
    gray_f = np.asfortranarray(_scene(dtype=np.float32))
    gray_s = _scene(96, 96, np.float64)[::2, ::2]
    rgb = _rgb()
    rgb_f = np.asfortranarray(_rgb(64, 64, np.uint8))
    mask = _scene(40, 40, np.uint16, 257)
    mx, my = _maps()
    mx_f, my_f = _maps(fortran=True)
    mx0, my0 = np.zeros((5, 0), np.float32), np.zeros((5, 0), np.float32)
    # The empty source's edge: the only position that passes its range test.
    edge = np.full((64, 64), -0.5, np.float32)
    d, w, rr, rg = linora.detect, linora.warp_rgb, linora.remap_rgb, linora.remap_gray
    bilinear, lanczos = fresh_str("bilinear"), fresh_str("lanczos3")
    cases = [
        # Calls that return.
        ("detect_u8", d, (gray,), {}, None),
        ("detect_f32_fortran", d, (gray_f, fresh_float(1.0)), {}, None),
        ("detect_f64_stepped", d, (), {"gray": gray_s, "scale": fresh_float(0.7)}, None),
        ("detect_u16_scale_int", d, (mask, fresh_int(1000)), {}, None),
        ("warp_u16_lanczos", w, (rgb, _matrix(), fresh_float(1.2), fresh_float(0.5),
                                 fresh_float(-1.0), lanczos, (fresh_int(300), fresh_int(11))),
         {}, None),
        ("warp_u8_fortran", w, (rgb_f, tuple(_matrix()), fresh_int(1), fresh_int(0),
                                fresh_int(0)), {"filter": bilinear}, None),
        ("remap_rgb", rr, (rgb, mx, my, lanczos), {}, None),
        ("remap_rgb_fortran_maps", rr, (rgb_f, mx_f, my_f), {}, None),
        ("remap_gray", rg, (mask, mx_f, my), {"filter": bilinear}, None),
        # Binding errors.
        ("detect_missing", d, (), {}, TypeError),
        ("warp_bad_keyword", w, (rgb, _matrix(), 1.0, 0.0, 0.0), {fresh_str("bogus"): 1},
         TypeError),
        ("remap_too_many", rg, (mask, mx, my, bilinear, fresh_int(1000)), {}, TypeError),
        ("detect_twice", d, (gray,), {"gray": gray}, TypeError),
        # Conversion errors (with a note).
        ("detect_scale_str", d, (gray, fresh_str("scale")), {}, TypeError),
        ("warp_inverse_element", w, (rgb_f, _matrix()[:8] + [fresh_str("x")], 1.0, 0.0, 0.0),
         {}, TypeError),
        ("warp_inverse_length", w, (rgb_f, _matrix()[:8], 1.0, 0.0, 0.0), {}, ValueError),
        ("warp_inverse_overflow", w, (rgb_f, _matrix()[:8] + [10**400], 1.0, 0.0, 0.0), {},
         OverflowError),
        ("warp_off_y_overflow", w, (rgb_f, _matrix(), 1.0, 0.0, 2**1024), {}, OverflowError),
        ("warp_out_size_list", w, (rgb_f, _matrix(), 1.0, 0.0, 0.0, bilinear,
                                   [fresh_int(300), fresh_int(300)]), {}, TypeError),
        ("warp_out_size_length", w, (rgb_f, _matrix(), 1.0, 0.0, 0.0, bilinear,
                                     (fresh_int(300),) * 3), {}, ValueError),
        ("warp_out_size_negative", w, (rgb_f, _matrix(), 1.0, 0.0, 0.0, bilinear,
                                       (fresh_int(300), fresh_int(-300))), {}, OverflowError),
        ("warp_out_size_float", w, (rgb_f, _matrix(), 1.0, 0.0, 0.0, bilinear,
                                    (fresh_int(300), fresh_float(3.0))), {}, TypeError),
        ("remap_map_x_f64", rr, (rgb, mx.astype(np.float64), my), {}, TypeError),
        ("remap_filter_type", rg, (mask, mx, my, b"bilinear"), {}, TypeError),
        # Value and type errors after the conversions.
        ("warp_unknown_filter", w, (rgb_f, _matrix(), 1.0, 0.0, 0.0, fresh_str("cubic")), {},
         ValueError),
        ("detect_int64", d, (gray.astype(np.int64),), {}, TypeError),
        ("warp_four_channels", w, (np.zeros((4, 4, 4), np.uint8), _matrix(), 1.0, 0.0, 0.0), {},
         TypeError),
        ("remap_shapes", rg, (mask, mx, my[:, :-1]), {}, ValueError),
        # Errors inside the computation, after the sources were copied.
        ("warp_output_too_large", w, (rgb_f, _matrix(), 1.0, 0.0, 0.0, bilinear,
                                      (fresh_int(2**45), fresh_int(2**45))), {}, MemoryError),
        ("warp_output_beyond_ssize", w, (rgb_f, _matrix(), 1.0, 0.0, 0.0, bilinear,
                                         (fresh_int(2**64 - 1), fresh_int(3))), {}, MemoryError),
        ("warp_zero_width", w, (rgb_f, _matrix(), 1.0, 0.0, 0.0, bilinear,
                                (fresh_int(0), fresh_int(300))), {}, INTERNAL),
        ("remap_zero_width", rr, (rgb_f, mx0, my0), {}, INTERNAL),
        ("remap_empty_source", rg, (np.zeros((0, 7), np.uint8), edge, edge.T), {}, INTERNAL),
    ]
    return cases


CASES = _cases()


def _referenced(args, kwargs):
    """The argument objects and the objects held by sequence arguments."""
    objs = list(args) + list(kwargs.keys()) + list(kwargs.values())
    for o in list(objs):
        if isinstance(o, (list, tuple)):
            objs.extend(o)
    return objs


def _call(fn, args, kwargs, expected):
    try:
        result = fn(*args, **kwargs)
    except BaseException as e:  # noqa: BLE001 - checked below
        assert type(e) is expected, repr(e)
        return None
    assert expected is None, f"expected {expected.__name__}"
    return result


@pytest.mark.parametrize("name, fn, args, kwargs, expected", CASES,
                         ids=[c[0] for c in CASES])
def test_repeated_calls_leave_memory_and_references_unchanged(name, fn, args, kwargs,
                                                              expected):
    for _ in range(WARM_UP):
        result = _call(fn, args, kwargs, expected)
    if name.startswith("detect_") and expected is None:
        assert result, "the image must give segments, so that Segment objects are made"
    del result
    objs = _referenced(args, kwargs)
    gc.collect()
    counts = [sys.getrefcount(o) for o in objs]
    segment_refs = sys.getrefcount(linora.Segment)
    internal_refs = sys.getrefcount(INTERNAL)
    blocks = sys.getallocatedblocks()
    before = rss()

    for _ in range(CALLS):
        _call(fn, args, kwargs, expected)

    after = rss()
    gc.collect()
    # Measured outside the asserts: assertion rewriting holds references of its own.
    counts_after = [sys.getrefcount(o) for o in objs]
    segment_refs_after = sys.getrefcount(linora.Segment)
    internal_refs_after = sys.getrefcount(INTERNAL)
    grown = [sys.getallocatedblocks() - blocks]
    while grown[-1] >= BLOCK_TOLERANCE and len(grown) < BLOCK_ROUNDS:
        blocks = sys.getallocatedblocks()
        for _ in range(CALLS):
            _call(fn, args, kwargs, expected)
        gc.collect()
        grown.append(sys.getallocatedblocks() - blocks)
    assert counts_after == counts
    assert segment_refs_after == segment_refs
    assert internal_refs_after == internal_refs
    assert min(grown) < BLOCK_TOLERANCE, f"blocks grew by {grown} in {len(grown)} rounds"
    if not SANITIZED:
        assert after - before < RSS_TOLERANCE, f"RSS grew by {(after - before) >> 10} KiB"


def test_inputs_are_not_modified():
    for name, fn, args, kwargs, expected in CASES:
        arrays = [a for a in _referenced(args, kwargs) if isinstance(a, np.ndarray)]
        copies = [a.copy() for a in arrays]
        _call(fn, args, kwargs, expected)
        for a, c in zip(arrays, copies):
            assert np.array_equal(a, c, equal_nan=a.dtype.kind == "f"), name


BIG = (4096, 4096)  # 48 MiB of uint8 samples, every one written


def _big_output():
    src = np.full((2, 2, 3), 7, np.uint8)
    # Scale 4096 maps every output pixel inside the 2 x 2 source, so that
    # every page of the output is written and counted in the RSS.
    return linora.warp_rgb(src, [1, 0, 0, 0, 1, 0, 0, 0, 1], 4096.0, 0.0, 0.0, "bilinear", BIG)


def test_output_array_owns_its_buffer_through_its_base():
    out = _big_output()
    assert out.shape == (BIG[1], BIG[0], 3) and out[-1, -1, 2] == 7 and out[0, 0, 0] == 7
    base = out.base
    assert base is not None and not isinstance(base, np.ndarray)
    other = _big_output()
    assert other.base is not base
    # The array holds one reference to its owner and lets it go when it dies,
    # so the owner (and with it the buffer) lives exactly as long as the array.
    with_array = sys.getrefcount(base)
    del out
    without_array = sys.getrefcount(base)
    assert with_array - without_array == 1
    # A view keeps the owner alive through the array.
    view = other[::2]
    del other
    assert view.base.base is not None and int(view[-1, -1].sum()) == 21


@pytest.mark.skipif(SANITIZED, reason="RSS is not meaningful under the address sanitizer")
def test_dropped_output_arrays_release_their_memory():
    nbytes = BIG[0] * BIG[1] * 3
    _big_output()
    gc.collect()
    base = rss()
    for _ in range(4):
        out = _big_output()
        grown = rss() - base
        assert grown > nbytes * 0.9, "the output's pages were not all written"
        del out
        assert rss() - base < nbytes // 8, "a dropped output kept its memory"
