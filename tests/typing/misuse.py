"""Calls that can never work. scripts/check-stubs.sh runs mypy --strict and
pyright on this file: each line marked "# error" must be reported by both,
and no other line."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

import linora

img = np.zeros((8, 8), np.uint8)
rgb = np.zeros((8, 8, 3), np.uint16)
maps = np.zeros((8, 8), np.float32)
segs: list[linora.Segment] = linora.detect(img)
x: float = segs[0].x1 + segs[0].angle + segs[0].length + segs[0].log_nfa
out16: npt.NDArray[np.uint16] = linora.warp_rgb(rgb, [1.0] * 9, 1, 0, 0)
linora.remap_gray(img, maps, maps, filter="lanczos3")
kind: linora.Filter = "lanczos3"
name = str(kind)
linora.remap_rgb(rgb, maps, maps, kind)
linora.detect([[0, 1], [2, 3]])  # error
linora.detect(img, scale="0.8")  # error
linora.warp_rgb(rgb, np.eye(3), 1.0, 0.0, 0.0)  # error
linora.warp_rgb(rgb, np.eye(3).ravel(), 1.0, 0.0, 0.0, filter="cubic")  # error
linora.warp_rgb(rgb, [1.0] * 9, 1.0, 0.0, 0.0, filter=name)  # error
linora.warp_rgb(rgb, [1.0] * 9, 1.0, 0.0, 0.0, out_size=[640, 480])  # error
linora.warp_rgb(rgb, [1.0] * 9, 1.0, 0.0, 0.0, out_size=(640, 480, 3))  # error
linora.remap_rgb(rgb, maps)  # error
linora.remap_gray(img, [[0.0]], [[0.0]])  # error
bad: npt.NDArray[np.uint8] = linora.remap_rgb(rgb, maps, maps)  # error
bad16: npt.NDArray[np.uint16] = linora.remap_gray(img, maps, maps)  # error
segs[0].x1 = 1.0  # error
class Sub(linora.Segment): ...  # error
