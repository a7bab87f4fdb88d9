"""linora called the way scikit-image users write their code, with
scikit-image's own type information (its functions are unannotated, so
their results are Any).

scripts/check-stubs.sh type-checks this file with mypy --strict and pyright,
then runs it: every call here must type-check and work.

    python tests/typing/usage_skimage.py OUT_DIR
"""

from __future__ import annotations

import os
import sys

import numpy as np
import numpy.typing as npt
import skimage.color
import skimage.data
import skimage.io
import skimage.transform
import skimage.util

import linora


def segment_array(gray: npt.NDArray[np.floating], scale: float = 0.8) -> npt.NDArray[np.float64]:
    """(n, 4) end points x1, y1, x2, y2 of a float image on scikit-image's 0-1 scale."""
    found = linora.detect(gray * 255, scale)        # detect expects gray levels 0-255
    return np.array([(s.x1, s.y1, s.x2, s.y2) for s in found], np.float64).reshape(-1, 4)


def main(out_dir: str) -> None:
    # detect: bundled photographs, uint8 as loaded or float in 0-1 after conversion.
    camera = skimage.data.camera()
    assert len(linora.detect(camera)) > 0
    as_float = skimage.util.img_as_float(camera)    # float64 in 0..1
    assert linora.detect(as_float) == []            # nothing: the threshold is absolute
    assert len(linora.detect(as_float * 255, scale=1.0)) > 0
    rgb = skimage.data.astronaut()
    gray = skimage.color.rgb2gray(rgb)              # float64 in 0..1
    ends = segment_array(gray)
    assert ends.shape[0] > 0
    assert len(linora.detect(skimage.util.img_as_ubyte(gray))) > 0

    # warp_rgb: a scikit-image transform used as skimage.transform.warp uses it,
    # mapping output (col, row) to source (col, row), pixel centres at integers.
    h, w = rgb.shape[:2]
    corners = np.array([[0, 0], [w - 1, 0], [w - 1, h - 1], [0, h - 1]], float)
    quad = corners * 0.8 + [0.1 * w, 0.05 * h]
    tform = skimage.transform.estimate_transform("projective", corners, quad)
    warped = linora.warp_rgb(rgb, tform.params.ravel(), 1, 0, 0)
    reference = skimage.transform.warp(rgb, tform, order=1, preserve_range=True)
    assert np.abs(warped - reference).max() <= 1
    coffee = skimage.data.coffee()
    half = linora.warp_rgb(coffee, np.diag([2.0, 2.0, 1.0]).ravel(), 1, 0.5, 0.5,
                           out_size=(coffee.shape[1] // 2, coffee.shape[0] // 2))
    skimage.io.imsave(os.path.join(out_dir, "coffee_half.png"), half)

    # remap_*: maps from np.mgrid or skimage.transform.warp_coords ((row, col) order).
    rows, cols = np.mgrid[0:h, 0:w].astype(np.float32)
    swirl = np.hypot(rows - h / 2, cols - w / 2) / w
    map_x = (cols + 10 * np.sin(swirl * 20)).astype(np.float32)
    map_y = (rows + 10 * np.cos(swirl * 20)).astype(np.float32)
    wavy = linora.remap_rgb(rgb, map_x, map_y, filter="bilinear")
    shifted = skimage.transform.warp_coords(lambda xy: xy - [3.5, 0.0], camera.shape)
    moved = linora.remap_gray(camera, shifted[1].astype(np.float32), shifted[0].astype(np.float32))
    assert wavy.shape == rgb.shape and moved.shape == camera.shape
    assert (moved[:, 4:] == ((camera[:, :-4].astype(int) + camera[:, 1:-3] + 1) // 2)).all()
    path = os.path.join(out_dir, "wavy.png")
    skimage.io.imsave(path, wavy)
    again = skimage.io.imread(path)
    assert (linora.remap_rgb(again, cols, rows) == wavy).all()
    print(f"usage_skimage: {ends.shape[0]} segments on the astronaut")


if __name__ == "__main__":
    main(sys.argv[1])
