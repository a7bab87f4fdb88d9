"""Exact, multi-threaded line-segment detection and image resampling for NumPy arrays.

Coordinates:

- ``detect`` results use the top-left corner of the image as origin, x to the
  right and y downwards, in input-image pixels: the centre of pixel
  ``gray[y, x]`` is at ``(x + 0.5, y + 0.5)``.
- Resampling (``warp_rgb``, ``remap_rgb``, ``remap_gray``) puts pixel centres at
  integer coordinates: ``src[y, x]`` is at ``(x, y)`` and an image of width ``w``
  spans ``-0.5 .. w - 0.5``.  Subtract 0.5 from a ``detect`` coordinate to get
  the resampling coordinate of the same point.
"""

from collections.abc import Sequence
from typing import Any, Literal, SupportsFloat, SupportsIndex, TypeAlias, TypeVar, final, overload

import numpy as np
import numpy.typing as npt

__all__ = ["Segment", "detect", "warp_rgb", "remap_rgb", "remap_gray"]

# The resampling kernels, matched exactly (case-sensitive).  For annotations
# only: the module has no attribute of this name, so write ``linora.Filter``
# in annotations that are not evaluated (``from __future__ import
# annotations``, quotes, or Python 3.14).
Filter: TypeAlias = Literal["bilinear", "lanczos3"]

# A number the module converts to a 64-bit float: a float, an int, or any
# object with __float__ or __index__ (NumPy scalars included).
_Float: TypeAlias = SupportsFloat | SupportsIndex
# An image or a map.  The dtype and the number of dimensions are checked at
# run time: arrays from other libraries' stubs (OpenCV's MatLike, results of
# NumPy arithmetic) rarely carry the exact dtype, so any array is accepted
# here and only non-arrays (lists, scalars) are refused.
_Array: TypeAlias = np.ndarray[Any, np.dtype[Any]]
# The inverse homography: nine numbers, or a one-dimensional array such as
# ``H.ravel()``; a 3 x 3 array raises at run time, and is refused here when
# its stubs say it is two-dimensional.
_Inverse: TypeAlias = Sequence[_Float] | np.ndarray[tuple[int], np.dtype[Any]]
# What resampling returns for a source whose dtype is not known (OpenCV's
# MatLike, NDArray[Any], results of NumPy arithmetic): an array of that
# unknown dtype, as OpenCV's own functions return, so that code annotated
# NDArray[np.uint8] type-checks.  At run time it is the source's dtype, uint8
# or uint16 (other dtypes raise).
_Resampled: TypeAlias = npt.NDArray[Any]
# The sample types of resampling.
_Sample = TypeVar("_Sample", np.uint8, np.uint16)
_U8: TypeAlias = np.ndarray[Any, np.dtype[np.uint8]]
_U16: TypeAlias = np.ndarray[Any, np.dtype[np.uint16]]

@final
class Segment:
    """One detected line segment, in input-image coordinates.

    Created only by :func:`detect`; immutable, not constructible and not
    subclassable.  Coordinates have the origin at the image's top-left corner,
    so the centre of pixel ``gray[y, x]`` is at ``(x + 0.5, y + 0.5)``.
    """

    @property
    def x1(self) -> float:
        """x of the first end point, in input-image pixels (top-left-corner origin).

        Walking from the first to the second end point, the brighter side is on
        the left as seen on screen: the gradient points along (y2 - y1, x1 - x2).
        """

    @property
    def y1(self) -> float:
        """y of the first end point, in input-image pixels (y grows downwards)."""

    @property
    def x2(self) -> float:
        """x of the second end point, in input-image pixels."""

    @property
    def y2(self) -> float:
        """y of the second end point, in input-image pixels."""

    @property
    def width(self) -> float:
        """Full width of the segment's rectangle across its direction, in
        input-image pixels (at least one working pixel: 1 / scale for scale < 1)."""

    @property
    def precision(self) -> float:
        """Point probability of the final rectangle: the chance that a random
        gradient direction counts as aligned with it (an angle tolerance of
        precision * 180 degrees).  0.125 (22.5 degrees) unless validation
        halved it one or more times; not scaled with the image."""

    @property
    def log_nfa(self) -> float:
        """Validation score: -log10 of the number of false alarms, always > 0.

        A segment with ``log_nfa = k`` would be found by chance about once in
        ``10**k`` images of pure noise of this size; larger is more certain.
        """

    @property
    def angle(self) -> float:
        """Direction in degrees, -90 to 90, 0 = horizontal.

        atan2(y2 - y1, x2 - x1) folded into (-90, 90]: a segment and its reverse
        have the same angle, vertical is +90, and with y growing downwards a
        positive angle goes down to the right.
        """

    @property
    def length(self) -> float:
        """Length in pixels: hypot(x2 - x1, y2 - y1)."""

    def __repr__(self) -> str: ...

def detect(
    gray: _Array,
    scale: _Float = 0.8,
) -> list[Segment]:
    """Find the validated line segments of a grayscale image.

    ``gray`` is a two-dimensional (height, width) array of float64, float32,
    uint8 or uint16 samples on a 0-255 scale: uint16 values are divided by
    257 first, float values are used as they are (the gradient threshold is
    absolute, about 5.2 levels, so a float image in 0..1 finds nothing).  Any
    memory layout is accepted; C-ordered arrays are read in place.

    ``scale`` below 1 first sub-samples the image by that factor with a
    Gaussian filter (0.8 by default); 1 or more, or NaN, works at full
    resolution, which gives the most exact positions.  Results are mapped back
    to input-image pixels, longest first.  At scale 1 an edge is reported half
    a pixel up and left of the pixel boundary it lies on: add 0.5 to x and y
    for its position with the top-left-corner origin.

    Images smaller than 3 x 3 (after sub-sampling), constant images and
    scales of 0 or below give an empty list.  Raises TypeError for other
    dtypes or numbers of dimensions.
    """

# Resampling keeps the source's dtype: uint8 in, uint8 out; uint16 in, uint16
# out; a source of unknown dtype (NDArray[Any], OpenCV's MatLike) gives an
# array of unknown dtype.  The first overload does all three in pyright, which
# solves its type variable to Any for an array of dtype Any (it would pick the
# uint8 overload for it).  mypy solves the type variable from the expected
# result first when there is one, and then falls through to the others: the
# uint8 and uint16 overloads, never reached otherwise, make it report a
# uint16 result where uint8 is expected instead of the last overload's Any.
# Editors show the docstring of the first overload.
@overload
def warp_rgb(
    src: np.ndarray[Any, np.dtype[_Sample]],
    inverse: _Inverse,
    scale: _Float,
    off_x: _Float,
    off_y: _Float,
    filter: Filter = "bilinear",
    out_size: tuple[SupportsIndex, SupportsIndex] | None = None,
) -> npt.NDArray[_Sample]:
    """Perspective-warp an RGB image through an inverse homography.

    ``src`` is a (height, width, 3) array of uint8 or uint16.  Output pixel
    (x, y) stands for the plane point ``u = x / scale + off_x``,
    ``v = y / scale + off_y``; ``inverse`` (nine numbers, a 3 x 3 matrix in
    row-major order, or any sequence of nine numbers such as
    ``H.ravel()``) maps ``(u, v, 1)`` to ``(X, Y, W)`` and the source is
    sampled at ``(X / W, Y / W)`` with pixel centres at integer coordinates.

    ``out_size`` is (width, height); by default the source's.  Pixels that map
    outside the source (beyond the half-pixel border), to infinity or onto
    W = 0 are 0.  Returns a new (height, width, 3) array of the source dtype.
    """

@overload
def warp_rgb(  # type: ignore[overload-cannot-match]
    src: _U8,
    inverse: _Inverse,
    scale: _Float,
    off_x: _Float,
    off_y: _Float,
    filter: Filter = "bilinear",
    out_size: tuple[SupportsIndex, SupportsIndex] | None = None,
) -> npt.NDArray[np.uint8]: ...

@overload
def warp_rgb(  # type: ignore[overload-cannot-match]
    src: _U16,
    inverse: _Inverse,
    scale: _Float,
    off_x: _Float,
    off_y: _Float,
    filter: Filter = "bilinear",
    out_size: tuple[SupportsIndex, SupportsIndex] | None = None,
) -> npt.NDArray[np.uint16]: ...

@overload
def warp_rgb(
    src: _Array,
    inverse: _Inverse,
    scale: _Float,
    off_x: _Float,
    off_y: _Float,
    filter: Filter = "bilinear",
    out_size: tuple[SupportsIndex, SupportsIndex] | None = None,
) -> _Resampled: ...

@overload
def remap_rgb(
    src: np.ndarray[Any, np.dtype[_Sample]],
    map_x: _Array,
    map_y: _Array,
    filter: Filter = "bilinear",
) -> npt.NDArray[_Sample]:
    """Resample an RGB image through a coordinate map: output pixel (x, y)
    takes its value from source position (map_x[y, x], map_y[y, x]).

    ``src`` is a (height, width, 3) array of uint8 or uint16; the maps are
    two-dimensional float32 arrays of one shape, which is the output's
    (rows, columns).  Positions have pixel centres at integer coordinates;
    positions outside ``-0.5 .. width - 0.5`` (or height) and infinities give
    0.  Returns a new (rows, columns, 3) array of the source dtype.
    """

@overload
def remap_rgb(  # type: ignore[overload-cannot-match]
    src: _U8,
    map_x: _Array,
    map_y: _Array,
    filter: Filter = "bilinear",
) -> npt.NDArray[np.uint8]: ...

@overload
def remap_rgb(  # type: ignore[overload-cannot-match]
    src: _U16,
    map_x: _Array,
    map_y: _Array,
    filter: Filter = "bilinear",
) -> npt.NDArray[np.uint16]: ...

@overload
def remap_rgb(
    src: _Array,
    map_x: _Array,
    map_y: _Array,
    filter: Filter = "bilinear",
) -> _Resampled: ...

@overload
def remap_gray(
    src: np.ndarray[Any, np.dtype[_Sample]],
    map_x: _Array,
    map_y: _Array,
    filter: Filter = "bilinear",
) -> npt.NDArray[_Sample]:
    """Resample a single-channel image (a mask) through a coordinate map.

    As :func:`remap_rgb` for a (height, width) array of uint8 or uint16;
    returns a new (rows, columns) array of the source dtype.
    """

@overload
def remap_gray(  # type: ignore[overload-cannot-match]
    src: _U8,
    map_x: _Array,
    map_y: _Array,
    filter: Filter = "bilinear",
) -> npt.NDArray[np.uint8]: ...

@overload
def remap_gray(  # type: ignore[overload-cannot-match]
    src: _U16,
    map_x: _Array,
    map_y: _Array,
    filter: Filter = "bilinear",
) -> npt.NDArray[np.uint16]: ...

@overload
def remap_gray(
    src: _Array,
    map_x: _Array,
    map_y: _Array,
    filter: Filter = "bilinear",
) -> _Resampled: ...
