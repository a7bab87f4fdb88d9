"""linora beside OpenCV: the equivalent calls, and the way around what has no
counterpart, checked on scikit-image's photographs.

Every claim of the README's "Coming from OpenCV" section is an assert here,
on every photograph below; the script prints the measured range over them.
The comments give the ranges measured with OpenCV 5.1 and scikit-image 0.26.
scripts/check-examples.sh runs this file.

    python examples/from_opencv.py
"""

from collections.abc import Callable, Sequence
from typing import Any

import cv2
import numpy as np
import numpy.typing as npt
import skimage.data

import linora

Array = npt.NDArray[Any]

# Photographs of every kind: people and objects, a cat, textures (brick,
# grass, gravel), a document, text, a retina, a star field.
PHOTOS: dict[str, Callable[[], Array]] = {
    "astronaut": skimage.data.astronaut,
    "coffee": skimage.data.coffee,
    "chelsea": skimage.data.chelsea,
    "rocket": skimage.data.rocket,
    "motorcycle": lambda: skimage.data.stereo_motorcycle()[0],
    "retina": skimage.data.retina,
    "hubble_deep_field": skimage.data.hubble_deep_field,
    "camera": skimage.data.camera,
    "brick": skimage.data.brick,
    "grass": skimage.data.grass,
    "gravel": skimage.data.gravel,
    "page": skimage.data.page,
    "text": skimage.data.text,
}
measured: dict[str, list[float]] = {}


def record(name: str, value: float) -> None:
    measured.setdefault(name, []).append(value)


def gray_of(photo: Array) -> Array:
    gray: Array = cv2.cvtColor(photo, cv2.COLOR_RGB2GRAY) if photo.ndim == 3 else photo
    return gray


def bgr_of(photo: Array) -> Array:
    rgb = np.dstack([photo] * 3) if photo.ndim == 2 else photo[..., :3]
    bgr: Array = cv2.cvtColor(np.ascontiguousarray(rgb), cv2.COLOR_RGB2BGR)
    return bgr


# Warping and remapping: within one level of OpenCV's bilinear results.
def check_resampling(src: Array) -> None:
    h, w = src.shape[:2]
    corners = np.array([[0, 0], [w - 1, 0], [w - 1, h - 1], [0, h - 1]], np.float32)
    quad = np.array([[0.2 * w, 0.12 * h], [1.02 * w, 0.04 * h], [1.1 * w, 0.92 * h],
                     [0.08 * w, 0.84 * h]], np.float32)
    M = cv2.getPerspectiveTransform(corners, quad)
    W, H = int(1.17 * w), int(0.98 * h)
    theirs = cv2.warpPerspective(src, M, (W, H))
    ours = linora.warp_rgb(src, np.linalg.inv(M).ravel(), 1, 0, 0, out_size=(W, H))
    warped_area = cv2.warpPerspective(np.full((h, w), 255, np.uint8), M, (W, H)) == 255
    difference = np.abs(ours.astype(int) - theirs)[warped_area]
    assert difference.max() <= 1                                                # 0.003-0.012 % differ
    record("warp: % of samples that differ (by 1)", 100 * np.count_nonzero(difference) / difference.size)

    ys, xs = np.mgrid[0:h, 0:w].astype(np.float32)
    mx = (1.2 * xs - 0.2 * ys + 0.08 * w).astype(np.float32)                # float32 maps
    my = (0.2 * xs + 1.2 * ys - 0.16 * h).astype(np.float32)
    theirs = cv2.remap(src, mx, my, cv2.INTER_LINEAR)
    ours = linora.remap_rgb(src, mx, my)
    in_source = (mx >= 0) & (mx <= w - 1) & (my >= 0) & (my <= h - 1)
    difference = np.abs(ours.astype(int) - theirs)[in_source]
    assert difference.max() <= 1
    record("remap: largest difference", float(difference.max()))

    # What has no counterpart: border modes and colours, nearest neighbour,
    # Lanczos-4, float images.
    p = 16
    theirs = cv2.remap(src, mx, my, cv2.INTER_LINEAR, borderMode=cv2.BORDER_REFLECT_101)
    ours = linora.remap_rgb(cv2.copyMakeBorder(src, p, p, p, p, cv2.BORDER_REFLECT_101),
                            mx + p, my + p)
    in_padding = (mx >= -p) & (mx <= w - 1 + p) & (my >= -p) & (my <= h - 1 + p)
    difference = np.abs(ours.astype(int) - theirs)[in_padding]
    assert difference.max() <= 1
    record("reflected border: largest difference", float(difference.max()))

    padded = cv2.copyMakeBorder(src, 1, 1, 1, 1, cv2.BORDER_CONSTANT)            # black
    theirs = cv2.remap(src, mx, my, cv2.INTER_LINEAR)                            # default border
    difference = np.abs(linora.remap_rgb(padded, mx + 1, my + 1).astype(int) - theirs)
    assert difference.max() <= 1
    record("default border: largest difference", float(difference.max()))

    colour = (255, 200, 0)
    framed = cv2.copyMakeBorder(src, 1, 1, 1, 1, cv2.BORDER_CONSTANT, value=colour)
    ours = linora.remap_rgb(framed, mx + 1, my + 1)
    ours[linora.remap_gray(np.ones(framed.shape[:2], np.uint8), mx + 1, my + 1) == 0] = colour
    theirs = cv2.remap(src, mx, my, cv2.INTER_LINEAR, borderValue=colour)
    difference = np.abs(ours.astype(int) - theirs)
    assert difference.max() <= 1
    record("border colour: largest difference", float(difference.max()))

    theirs = cv2.remap(src, mx, my, cv2.INTER_NEAREST)
    assert (linora.remap_rgb(src, np.round(mx), np.round(my)) == theirs).all()
    yo, xo = np.mgrid[0:H, 0:W]
    X, Y, Z = np.tensordot(np.linalg.inv(M), [xo, yo, np.ones((H, W))], 1)      # source positions
    ours = linora.remap_rgb(src, np.round(X / Z).astype(np.float32),
                            np.round(Y / Z).astype(np.float32))
    theirs = cv2.warpPerspective(src, M, (W, H), flags=cv2.INTER_NEAREST)
    differ = 1 - float((ours == theirs).all(axis=2).mean())
    assert differ < 0.0001
    record("nearest warp: % of pixels that differ", 100 * differ)

    theirs = cv2.remap(src, mx, my, cv2.INTER_LANCZOS4)
    ours = linora.remap_rgb(src, mx, my, "lanczos3")
    inner = (mx >= 3) & (mx <= w - 4) & (my >= 3) & (my <= h - 4)               # away from the border
    difference = np.abs(ours.astype(int) - theirs)[inner]
    assert difference.mean() < 1 and np.percentile(difference, 99) <= 5  # 0.04-0.87, 1-5
    record("lanczos3 against Lanczos-4: mean difference", float(difference.mean()))
    record("lanczos3 against Lanczos-4: 99th percentile", float(np.percentile(difference, 99)))
    record("lanczos3 against Lanczos-4: % within 2 levels", 100 * float(np.mean(difference <= 2)))

    f = src.astype(np.float32) / 255                                            # float32 in 0-1
    theirs = cv2.remap(f, mx, my, cv2.INTER_LINEAR)
    ours = linora.remap_rgb(np.round(f * 65535).astype(np.uint16), mx, my) / np.float32(65535)
    assert np.abs(ours - theirs)[in_source].max() <= 1 / 65535


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


def lsd(gray: Array, refine: int = cv2.LSD_REFINE_STD, scale: float = 0.8) -> Array:
    lines = cv2.createLineSegmentDetector(refine, scale=scale).detect(gray)[0]
    return np.zeros((0, 4)) if lines is None else lines.reshape(-1, 4)


def check_segments(gray: Array) -> None:
    ours = end_points(linora.detect(gray, 1.0))
    theirs = lsd(gray, scale=1.0)
    assert coincide(ours, theirs) > 0.9 and coincide(ours, theirs, 0.01) > 0.85  # 93-100 %, 90-99 %
    record("segments, scale 1: % of linora's within 1 px of one of LSD_REFINE_STD's",
           100 * coincide(ours, theirs))
    record("segments, scale 1: % of linora's within 0.01 px of one of LSD_REFINE_STD's",
           100 * coincide(ours, theirs, 0.01))
    assert len(theirs) > 1.1 * len(ours)
    record("segments, scale 1: LSD_REFINE_STD's count / linora's", len(theirs) / len(ours))
    advanced = lsd(gray, cv2.LSD_REFINE_ADV, 1.0)
    assert coincide(advanced, ours) > 0.8                                    # 84-98 %
    record("segments, scale 1: % of LSD_REFINE_ADV's within 1 px of one of linora's",
           100 * coincide(advanced, ours))
    ours = end_points(linora.detect(gray))
    share = coincide(ours, lsd(gray))
    assert share < 0.2                                                       # 1-16 %
    record("segments, scale 0.8: % of linora's within 1 px of one of LSD's", 100 * share)


for name, load in PHOTOS.items():
    photo = load()
    check_resampling(bgr_of(photo))
    check_segments(gray_of(photo))

print(f"every OpenCV equivalence holds on {len(PHOTOS)} photographs; measured ranges:")
for what, values in measured.items():
    print(f"  {what}: {min(values):.3g} to {max(values):.3g} ({len(values)} photographs)")
