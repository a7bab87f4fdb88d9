"""linora-detect: find the line segments of an image from the command line.

    linora-detect IMAGE [--scale 0.8] [--min-length PX] [--min-log-nfa V]
                        [--rescale | --bits N] [--out overlay.png] [--csv segments.csv]
    linora-detect --version

IMAGE is any image that Pillow reads (colour images are turned into 8-bit
gray, 16-bit grayscale PNG and TIFF stay 16-bit, 32-bit float TIFF stays
float) or a ``.npy`` file holding a two-dimensional uint8, uint16, float32 or
float64 array, which is passed to ``linora.detect`` unchanged.

``linora.detect`` expects gray levels on a 0-255 scale (its gradient
threshold is absolute), so a float image on a 0-1 scale, as scikit-image's
``img_as_float`` makes, finds little or nothing.  When all the finite samples
of a float image lie within [0, 1] a warning says so; ``--rescale`` multiplies
a float image by 255 first.  Likewise uint16 samples are divided by 257, so
10- or 12-bit camera data stored in 16 bits looks 64 or 16 times darker than
it is and finds little: when the largest sample of a uint16 image is below
4096 a warning says so; ``--bits N`` multiplies N-bit data by 2**(16 - N)
first (``--bits 12``: by 16).

The segments, longest first, go to the CSV file given with ``--csv`` (``-``
for standard output) with the columns x1, y1, x2, y2, width, precision,
log_nfa, angle, length; coordinates have their origin at the image's top-left
corner, so the centre of pixel (x, y) is (x + 0.5, y + 0.5).  Numbers are
written in full precision (shortest text that reads back to the same float).
Without ``--csv`` and ``--out`` the CSV goes to standard output.  ``--out``
draws the segments over a dimmed copy of the image.

Reading and writing images needs Pillow (``pip install pillow``, or install
linora with the ``cli`` extra); ``.npy`` input with CSV output does not.
"""

from __future__ import annotations

import argparse
import csv
import math
import os
import sys
from collections.abc import Sequence
from pathlib import Path
from typing import IO, Any

import numpy as np
import numpy.typing as npt

import linora

COLUMNS = ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa", "angle", "length")


class CliError(Exception):
    """A failure reported to the user as one line on standard error."""


def _pillow() -> Any:
    try:
        from PIL import Image
    except ImportError:
        raise CliError("reading and writing images needs Pillow: pip install pillow") from None
    return Image


def load_gray(path: Path) -> npt.NDArray[Any]:
    """The image at `path` as a two-dimensional array that detect accepts."""
    if path.suffix.lower() == ".npy":
        try:
            arr = np.load(path, allow_pickle=False)
        except (OSError, ValueError) as e:
            raise CliError(f"cannot read {path}: {e}") from None
        if arr.ndim != 2 or arr.dtype.newbyteorder("=") not in (
                np.dtype(np.uint8), np.dtype(np.uint16), np.dtype(np.float32), np.dtype(np.float64)):
            raise CliError(f"{path}: expected a (height, width) array of uint8, uint16, float32 "
                           f"or float64, got {arr.dtype} of shape {arr.shape}")
        return np.asarray(arr, dtype=arr.dtype.newbyteorder("="))
    Image = _pillow()
    try:
        img = Image.open(path)
        img.load()
    except (OSError, ValueError) as e:
        raise CliError(f"cannot read {path}: {e}") from None
    if img.mode.startswith("I;16"):
        return np.asarray(img).astype(np.uint16)
    if img.mode == "F":
        return np.asarray(img, dtype=np.float32)
    if img.mode == "I":
        return np.asarray(img).astype(np.float64)
    return np.asarray(img.convert("L"), dtype=np.uint8)


def on_unit_scale(gray: npt.NDArray[Any]) -> bool:
    """Whether `gray` is a float image whose finite samples (at least one) all
    lie within [0, 1]."""
    if gray.dtype.kind != "f":
        return False
    finite = gray[np.isfinite(gray)]
    return finite.size > 0 and float(finite.min()) >= 0.0 and float(finite.max()) <= 1.0


def few_bits(gray: npt.NDArray[Any]) -> bool:
    """Whether `gray` is a uint16 image with samples whose maximum, above 0,
    is below 4096: likely 10- or 12-bit data."""
    return gray.dtype == np.uint16 and gray.size > 0 and 0 < int(gray.max()) < 4096


def version() -> str:
    """linora's installed version."""
    from importlib.metadata import PackageNotFoundError
    from importlib.metadata import version as installed

    try:
        return installed("linora")
    except PackageNotFoundError:
        return "unknown (not installed as a distribution)"


def _fmt(v: float) -> str:
    return repr(float(v))


def write_csv(segments: Sequence[linora.Segment], stream: IO[str]) -> None:
    w = csv.writer(stream, lineterminator="\n")
    w.writerow(COLUMNS)
    for s in segments:
        w.writerow([_fmt(getattr(s, c)) for c in COLUMNS])


def to_8bit(gray: npt.NDArray[Any]) -> npt.NDArray[np.uint8]:
    """A displayable 8-bit copy: uint8 as is, uint16 divided by 257, floats
    stretched from their finite minimum to their finite maximum."""
    if gray.dtype == np.uint8:
        return np.asarray(gray, dtype=np.uint8)
    if gray.dtype == np.uint16:
        return (gray.astype(np.float64) / 257.0 + 0.5).astype(np.uint8)
    g = gray.astype(np.float64)
    finite = g[np.isfinite(g)]
    lo, hi = (float(finite.min()), float(finite.max())) if finite.size else (0.0, 1.0)
    g = np.nan_to_num((g - lo) / ((hi - lo) or 1.0), nan=0.0, posinf=1.0, neginf=0.0)
    return (np.clip(g, 0.0, 1.0) * 255.0 + 0.5).astype(np.uint8)


def draw_overlay(gray: npt.NDArray[Any], segments: Sequence[linora.Segment], path: Path) -> None:
    """The segments in red over a dimmed gray copy of the image."""
    Image = _pillow()
    from PIL import ImageDraw

    base = (to_8bit(gray).astype(np.float32) * 0.5 + 20.0).astype(np.uint8)
    img = Image.fromarray(np.repeat(base[..., None], 3, axis=2), "RGB")
    draw = ImageDraw.Draw(img)
    # Segment coordinates put pixel centres at half-integers, Pillow at integers.
    for s in reversed(segments):
        pts = [(s.x1 - 0.5, s.y1 - 0.5), (s.x2 - 0.5, s.y2 - 0.5)]
        if all(math.isfinite(v) for p in pts for v in p):
            draw.line(pts, fill=(255, 40, 40), width=1)
    try:
        img.save(path)
    except (OSError, ValueError, KeyError) as e:
        raise CliError(f"cannot write {path}: {e}") from None


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="linora-detect",
        description="Find the line segments of an image and write them as CSV and/or an overlay.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    parser.add_argument("image", type=Path, help="image file (Pillow) or .npy array")
    parser.add_argument("--scale", type=float, default=0.8,
                        help="sub-sampling factor before detection (default 0.8; 1 = full size)")
    parser.add_argument("--min-length", type=float, default=0.0, metavar="PX",
                        help="keep segments at least this long, in pixels (default 0)")
    parser.add_argument("--min-log-nfa", type=float, default=0.0, metavar="V",
                        help="keep segments with log_nfa at least V (default 0: all)")
    scaling = parser.add_mutually_exclusive_group()
    scaling.add_argument("--rescale", action="store_true",
                         help="multiply a float image by 255 first (for images on a 0-1 scale)")
    scaling.add_argument("--bits", type=int, choices=range(8, 17), metavar="N",
                         help="a uint16 image holds N-bit data (8 to 16): multiply it by "
                              "2**(16 - N) first, e.g. --bits 12 for 12-bit camera data")
    parser.add_argument("--out", type=Path, help="write an overlay image (PNG, ...)")
    parser.add_argument("--csv", help="write the segments as CSV ('-' for standard output)")
    args = parser.parse_args(argv)

    try:
        gray = load_gray(args.image)
        if args.rescale:
            if gray.dtype.kind != "f":
                raise CliError(f"--rescale is for float images; {args.image} holds {gray.dtype}")
            gray = gray * 255
        elif args.bits is not None:
            if gray.dtype != np.uint16:
                raise CliError(f"--bits is for uint16 images; {args.image} holds {gray.dtype}")
            top = int(gray.max()) if gray.size else 0
            if top >= 1 << args.bits:
                raise CliError(f"--bits {args.bits}: {args.image} has samples up to {top}, "
                               f"beyond {args.bits}-bit data")
            gray = gray * np.uint16(1 << (16 - args.bits))
        elif few_bits(gray):
            print(f"linora-detect: warning: {args.image}: uint16 samples all below 4096 "
                  f"(largest {int(gray.max())}), likely 10- or 12-bit data, but detect divides "
                  "uint16 by 257 and finds little or nothing here; pass --bits 12 (or --bits 10) "
                  "to scale it to 16 bits", file=sys.stderr)
        elif on_unit_scale(gray):
            print(f"linora-detect: warning: {args.image}: all samples lie within [0, 1], but "
                  "detect expects gray levels on a 0-255 scale and finds little or nothing "
                  "here; multiply the image by 255, or pass --rescale", file=sys.stderr)
        segments = [s for s in linora.detect(gray, args.scale)
                    if s.length >= args.min_length and s.log_nfa >= args.min_log_nfa]
        if args.out is not None:
            draw_overlay(gray, segments, args.out)
        if args.csv == "-" or (args.csv is None and args.out is None):
            write_csv(segments, sys.stdout)
        elif args.csv is not None:
            try:
                with open(args.csv, "w", newline="", encoding="utf-8") as f:
                    write_csv(segments, f)
            except OSError as e:
                raise CliError(f"cannot write {args.csv}: {e}") from None
    except CliError as e:
        print(f"linora-detect: {e}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader of standard output went away (e.g. `| head`): not an error.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    if args.csv != "-" and not (args.csv is None and args.out is None):
        h, w = gray.shape
        print(f"{args.image}: {w} x {h}, {len(segments)} segments", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
