"""linora called the way OpenCV users write their code, with OpenCV's own type
information (cv2.typing.MatLike everywhere).

scripts/check-stubs.sh type-checks this file with mypy --strict and pyright,
then runs it on an image: every call here must type-check and work.

    python tests/typing/usage_opencv.py IMAGE OUT_DIR
"""

# pyright: strict
from __future__ import annotations

import os
import sys

import cv2
import numpy as np
import numpy.typing as npt

import linora


def overlay(bgr: cv2.typing.MatLike, segments: list[linora.Segment]) -> cv2.typing.MatLike:
    """Segments drawn with cv2.line, which puts pixel centres at integers."""
    vis = bgr.copy()
    for s in segments:
        p1 = (round(s.x1 - 0.5), round(s.y1 - 0.5))
        p2 = (round(s.x2 - 0.5), round(s.y2 - 0.5))
        cv2.line(vis, p1, p2, (0, 0, 255), 1, cv2.LINE_AA)
    return vis


def rectify(bgr: cv2.typing.MatLike, corners: npt.NDArray[np.float32],
            size: tuple[int, int], sharp: bool) -> cv2.typing.MatLike:
    """The quadrilateral `corners` (TL, TR, BR, BL) as a front view of `size`."""
    w, h = size
    target = np.array([[0, 0], [w - 1, 0], [w - 1, h - 1], [0, h - 1]], np.float32)
    M = cv2.getPerspectiveTransform(corners, target)
    kind: linora.Filter = "lanczos3" if sharp else "bilinear"
    return linora.warp_rgb(bgr, np.linalg.inv(M).ravel(), 1, 0, 0, kind, out_size=(w, h))


def rectify_file(path: str, m: npt.NDArray[np.float64]) -> npt.NDArray[np.uint8]:
    """The image at `path`, as RGB, through the homography `m` (the OpenCV
    way: cv2 functions return arrays of unknown dtype, annotated here as
    the uint8 that they are)."""
    img = cv2.imread(path)
    if img is None:
        raise FileNotFoundError(path)
    return linora.warp_rgb(cv2.cvtColor(img, cv2.COLOR_BGR2RGB), np.linalg.inv(m).ravel(), 1, 0, 0)


def main(path: str, out_dir: str) -> None:
    img = cv2.imread(path)                              # BGR, MatLike | None
    if img is None:
        sys.exit(f"cannot read {path}")
    gray = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
    h, w = gray.shape[:2]

    # detect: OpenCV's arrays, NumPy conversions and filtered images.
    segments = linora.detect(gray)
    precise = linora.detect(gray, 1.0)
    lines, _widths, _prec, _nfa = cv2.createLineSegmentDetector().detect(gray)
    assert lines is not None and len(precise) > 0 and len(segments) > 0
    blurred = linora.detect(cv2.GaussianBlur(gray, (5, 5), 1.5), scale=1)
    small = linora.detect(cv2.resize(gray, None, fx=0.5, fy=0.5, interpolation=cv2.INTER_AREA))
    as_float = linora.detect(gray.astype(np.float32))
    assert len(as_float) == len(segments) and blurred and small
    gray_direct = cv2.imread(path, cv2.IMREAD_GRAYSCALE)
    assert gray_direct is not None
    ends = np.array([(s.x1, s.y1, s.x2, s.y2) for s in linora.detect(gray_direct)], np.float32)
    assert ends.shape[1] == 4
    cv2.imwrite(os.path.join(out_dir, "segments.png"), overlay(img, segments))

    # warp_rgb: a homography from cv2.getPerspectiveTransform, like cv2.warpPerspective.
    corners = np.array([[0.1 * w, 0.1 * h], [0.9 * w, 0.05 * h],
                        [0.95 * w, 0.9 * h], [0.05 * w, 0.95 * h]], np.float32)
    front = rectify(img, corners, (w // 2, h // 2), sharp=True)
    assert front.shape == (h // 2, w // 2, 3)
    M = cv2.getPerspectiveTransform(corners, corners + np.float32(5))
    warped = linora.warp_rgb(img, np.linalg.inv(M).ravel(), 1.0, 0.0, 0.0,
                             out_size=img.shape[1::-1])
    same = linora.warp_rgb(img, [1, 0, 0, 0, 1, 0, 0, 0, 1], 1, 0, 0)
    assert (same == img).all() and warped.shape == img.shape
    cv2.imwrite(os.path.join(out_dir, "front.png"), front)
    shifted = rectify_file(path, np.array([[1.0, 0, 3], [0, 1, 2], [0, 0, 1]]))
    assert shifted.dtype == np.uint8 and (shifted[2:, 3:] == img[:-2, :-3, ::-1]).all()

    # remap_rgb / remap_gray: maps from cv2.initUndistortRectifyMap or np.mgrid.
    K = np.array([[w, 0, w / 2], [0, w, h / 2], [0, 0, 1]])
    dist = np.array([-0.2, 0.05, 0, 0])
    maps = cv2.initUndistortRectifyMap(K, dist, None, K, (w, h), cv2.CV_32FC1)
    undistorted = linora.remap_rgb(img, *maps, "lanczos3")
    map_x, map_y = maps
    ys, xs = np.mgrid[0:h, 0:w].astype(np.float32)
    mirrored = linora.remap_rgb(img, (w - 1) - xs, ys)
    assert (mirrored == img[:, ::-1]).all()
    _, mask = cv2.threshold(gray, 128, 255, cv2.THRESH_BINARY)
    undistorted_mask = linora.remap_gray(mask, map_x, map_y)
    cv2.imwrite(os.path.join(out_dir, "undistorted.png"), undistorted)
    edges = cv2.Canny(cv2.cvtColor(undistorted, cv2.COLOR_BGR2GRAY), 50, 150)
    assert edges.shape == undistorted_mask.shape == (h, w)

    # 16 bits in, 16 bits out.
    img16 = img.astype(np.uint16) * 257
    out16 = linora.remap_rgb(img16, map_x, map_y)
    assert out16.dtype == np.uint16
    cv2.imwrite(os.path.join(out_dir, "undistorted16.png"), out16)
    print(f"usage_opencv: {len(segments)} segments, {len(lines)} from OpenCV's detector")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
