"""linora beside OpenCV: the equivalent calls, and the way around what has no
counterpart, checked on scikit-image's photographs.

Every claim of the README's "Coming from OpenCV" section is an assert here;
the comments give the values measured with OpenCV 5.1 and scikit-image 0.26.
scripts/check-examples.sh runs this file.

    python examples/from_opencv.py
"""

from collections.abc import Sequence
from typing import Any

import cv2
import numpy as np
import numpy.typing as npt
import skimage.data

import linora

Array = npt.NDArray[Any]

# Warping and remapping: within one level of OpenCV's bilinear results.
src = cv2.cvtColor(skimage.data.astronaut(), cv2.COLOR_RGB2BGR)   # (512, 512, 3) uint8, BGR
gray = skimage.data.camera()                                       # (512, 512) uint8
h, w = src.shape[:2]

corners = np.array([[0, 0], [w - 1, 0], [w - 1, h - 1], [0, h - 1]], np.float32)
M = cv2.getPerspectiveTransform(corners, np.array([[100, 60], [520, 20], [560, 470], [40, 420]],
                                                  np.float32))
W, H = 600, 500
theirs = cv2.warpPerspective(src, M, (W, H))
ours = linora.warp_rgb(src, np.linalg.inv(M).ravel(), 1, 0, 0, out_size=(W, H))
warped_area = cv2.warpPerspective(np.full((h, w), 255, np.uint8), M, (W, H)) == 255
assert np.abs(ours.astype(int) - theirs)[warped_area].max() <= 1

ys, xs = np.mgrid[0:h, 0:w].astype(np.float32)
mx, my = 1.2 * xs - 0.2 * ys + 40, 0.2 * xs + 1.2 * ys - 80       # float32 maps
theirs = cv2.remap(src, mx, my, cv2.INTER_LINEAR)
ours = linora.remap_rgb(src, mx, my)
in_source = (mx >= 0) & (mx <= w - 1) & (my >= 0) & (my <= h - 1)
assert np.abs(ours.astype(int) - theirs)[in_source].max() <= 1


# Line segments: the same frame; at scale 1 most segments coincide.
def coincide(a: Array, b: Array, tol: float = 1.0) -> float:
    """Share of the rows (x1, y1, x2, y2) of a that have a row in b with both end
    points within tol pixels of theirs, in the same or the reverse order."""
    def near(p: slice, q: slice) -> Array:
        d = a[:, None, p] - b[None, :, q]
        close: Array = np.hypot(d[..., 0], d[..., 1]) <= tol
        return close
    first, second = slice(0, 2), slice(2, 4)
    same = near(first, first) & near(second, second)
    reverse = near(first, second) & near(second, first)
    return float((same | reverse).any(axis=1).mean())


def end_points(segments: Sequence[linora.Segment]) -> Array:
    return np.array([(s.x1, s.y1, s.x2, s.y2) for s in segments]).reshape(-1, 4)

ours = end_points(linora.detect(gray, 1.0))
theirs = cv2.createLineSegmentDetector(cv2.LSD_REFINE_STD, scale=1.0).detect(gray)[0].reshape(-1, 4)
assert coincide(ours, theirs) > 0.9 and coincide(ours, theirs, 0.01) > 0.85  # 0.94, 0.91
assert len(theirs) > 1.5 * len(ours)                                         # 562 and 271
advanced = cv2.createLineSegmentDetector(cv2.LSD_REFINE_ADV, scale=1.0).detect(gray)[0]
assert coincide(advanced.reshape(-1, 4), ours) > 0.85                        # 0.88 of 262
ours = end_points(linora.detect(gray))
theirs = cv2.createLineSegmentDetector().detect(gray)[0].reshape(-1, 4)
assert coincide(ours, theirs) < 0.2                                          # 0.07

# What has no counterpart: border modes and colours, nearest neighbour,
# Lanczos-4, float images.
p = 16
theirs = cv2.remap(src, mx, my, cv2.INTER_LINEAR, borderMode=cv2.BORDER_REFLECT_101)
ours = linora.remap_rgb(cv2.copyMakeBorder(src, p, p, p, p, cv2.BORDER_REFLECT_101), mx + p, my + p)
in_padding = (mx >= -p) & (mx <= w - 1 + p) & (my >= -p) & (my <= h - 1 + p)
assert np.abs(ours.astype(int) - theirs)[in_padding].max() <= 1

padded = cv2.copyMakeBorder(src, 1, 1, 1, 1, cv2.BORDER_CONSTANT)               # black
theirs = cv2.remap(src, mx, my, cv2.INTER_LINEAR)                               # default border
assert np.abs(linora.remap_rgb(padded, mx + 1, my + 1).astype(int) - theirs).max() <= 1

colour = (255, 200, 0)
framed = cv2.copyMakeBorder(src, 1, 1, 1, 1, cv2.BORDER_CONSTANT, value=colour)
ours = linora.remap_rgb(framed, mx + 1, my + 1)
ours[linora.remap_gray(np.ones(framed.shape[:2], np.uint8), mx + 1, my + 1) == 0] = colour
theirs = cv2.remap(src, mx, my, cv2.INTER_LINEAR, borderValue=colour)
assert np.abs(ours.astype(int) - theirs).max() <= 1

theirs = cv2.remap(src, mx, my, cv2.INTER_NEAREST)
assert (linora.remap_rgb(src, np.round(mx), np.round(my)) == theirs).all()
yo, xo = np.mgrid[0:H, 0:W]
X, Y, Z = np.tensordot(np.linalg.inv(M), [xo, yo, np.ones((H, W))], 1)      # source positions
ours = linora.remap_rgb(src, np.round(X / Z).astype(np.float32), np.round(Y / Z).astype(np.float32))
theirs = cv2.warpPerspective(src, M, (W, H), flags=cv2.INTER_NEAREST)
assert (ours == theirs).all(axis=2).mean() > 0.9999                           # 0.99997

theirs = cv2.remap(src, mx, my, cv2.INTER_LANCZOS4)
ours = linora.remap_rgb(src, mx, my, "lanczos3")
inner = (mx >= 3) & (mx <= w - 4) & (my >= 3) & (my <= h - 4)               # away from the border
difference = np.abs(ours.astype(int) - theirs)[inner]
assert difference.mean() < 0.3 and np.percentile(difference, 99) <= 2

f = skimage.data.astronaut().astype(np.float32) / 255                     # float32 in 0-1
theirs = cv2.remap(f, mx, my, cv2.INTER_LINEAR)
ours = linora.remap_rgb(np.round(f * 65535).astype(np.uint16), mx, my) / np.float32(65535)
assert np.abs(ours - theirs)[in_source].max() <= 1 / 65535

print("every OpenCV equivalence holds")
