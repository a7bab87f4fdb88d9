"""Shared fixtures for the linora Python tests: synthetic test images and a
helper that checks an exception's type, exact message and notes."""

import math
import os
import struct
import sys

import numpy as np
import pytest

# Lets the test modules import the NumPy reference model beside this file.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))


def _rectangle(h=80, w=100, box=(20, 15, 70, 60), low=40, high=200):
    """A uint8 image of value `low` with the box [x0, x1) x [y0, y1) at `high`."""
    x0, y0, x1, y1 = box
    img = np.full((h, w), low, dtype=np.uint8)
    img[y0:y1, x0:x1] = high
    return img


def _blocks(h=96, w=128, cell=12, seed=7):
    """A uint8 mosaic of constant square cells with random grey levels, which
    holds many straight edges of many lengths."""
    rng = np.random.default_rng(seed)
    levels = rng.integers(0, 256, size=(h // cell + 1, w // cell + 1)).astype(np.uint8)
    img = np.kron(levels, np.ones((cell, cell), dtype=np.uint8))[:h, :w]
    # A few rectangles of other sizes so that segment lengths differ.
    img[10:50, 5:90] = 230
    img[60:70, 30:120] = 15
    return np.ascontiguousarray(img)


def _half_plane(angle_deg, size=96, low=50.0, high=200.0):
    """A float64 image split by a straight, anti-aliased edge through the
    centre whose direction makes `angle_deg` with the x axis (y downwards)."""
    t = np.deg2rad(angle_deg)
    ys, xs = np.mgrid[0:size, 0:size].astype(np.float64) + 0.5
    c = size / 2.0
    # Signed distance from the line through the centre with direction (cos t, sin t).
    dist = (xs - c) * np.sin(t) - (ys - c) * np.cos(t)
    return low + (high - low) * np.clip(dist + 0.5, 0.0, 1.0)


# What some platforms or tools cannot run; the scripts that leave such tests
# out select them by these markers (pytest's -m).
MARKERS = {
    "forks_with_threads": "forks while the pool's workers run (qemu-user and ThreadSanitizer"
                          " end such a child)",
    "counts_threads": "counts the process's threads (qemu-user runs threads of its own)",
    "limits_address_space": "limits the address space (qemu-user reserves it for the guest)",
    "x86_64_libm": "digests of detect pinned with x86-64 glibc's hypot (aarch64's differs in"
                   " the last bit)",
    "slow_under_emulation": "thousands of calls, many interpreters or latency limits meant for"
                            " native speed; what it checks does not depend on the processor",
}


def pytest_configure(config):
    for name, text in MARKERS.items():
        config.addinivalue_line("markers", f"{name}: {text}")


@pytest.fixture(scope="session")
def rect_image():
    return _rectangle()


@pytest.fixture(scope="session")
def blocks_image():
    return _blocks()


@pytest.fixture(scope="session")
def half_plane():
    return _half_plane


@pytest.fixture(scope="session")
def rgb_u8():
    rng = np.random.default_rng(11)
    return rng.integers(0, 256, size=(23, 31, 3), dtype=np.uint8)


@pytest.fixture(scope="session")
def rgb_u16():
    rng = np.random.default_rng(12)
    return rng.integers(0, 65536, size=(23, 31, 3), dtype=np.uint16)


def _check_raises(exc_type, message, fn, *args, notes=None, **kwargs):
    """Calls fn and checks that it raises exactly exc_type with the exact
    message; `notes` (a list) must then equal the exception's notes, where
    None means the exception must carry no notes."""
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    err = info.value
    assert type(err) is exc_type, f"{type(err).__name__}: {err}"
    if message is not None:
        assert str(err) == message
    assert getattr(err, "__notes__", None) == notes
    return err


@pytest.fixture(scope="session")
def check_raises():
    return _check_raises


def _fmt1(v):
    """A number as Segment's repr writes it: one decimal, ties to even on the
    exact double (what %.1f and Python's .1f format give for finite values),
    NaN as "NaN", infinities as "inf" and "-inf"."""
    if math.isnan(v):
        return "NaN"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    return f"{v:.1f}"


def _segment_repr(s):
    return (f"Segment(({_fmt1(s.x1)}, {_fmt1(s.y1)})-({_fmt1(s.x2)}, {_fmt1(s.y2)}), "
            f"width={_fmt1(s.width)})")


def _total_order_key(v):
    """Sort key realising the IEEE 754 totalOrder relation on doubles."""
    i = struct.unpack("<q", struct.pack("<d", v))[0]
    return i if i >= 0 else -(i & 0x7FFFFFFFFFFFFFFF) - 1


@pytest.fixture(scope="session")
def fmt1():
    return _fmt1


@pytest.fixture(scope="session")
def segment_repr():
    return _segment_repr


@pytest.fixture(scope="session")
def total_order_key():
    return _total_order_key
