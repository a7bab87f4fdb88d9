"""Puts the calling thread in a non-default floating-point mode through the C
library (ctypes), as a library compiled with unsafe math optimisations or a call of fesetround
would, and reads the mode back.

Run as a script it is the child of test_golden.py's mode test:

    python float_modes.py MODE WHEN CPUS

sets MODE ("ftz_daz", "upward", "toward_zero", or "default" for the
reference) before linora's first call
or between calls (WHEN: "before" or "between"), on CPUS processors ("1" or
"all"), computes a selection of the golden cases in that mode, checks that
every call leaves the mode as it found it, and prints their digests as JSON.
"""

from __future__ import annotations

import ctypes
import json
import os
import platform
import sys

_LIBC = ctypes.CDLL(None)
_MACHINE = platform.machine()

# fenv_t: on x86-64 the x87 environment (28 bytes, control word first) and
# then MXCSR; on aarch64 FPCR, then FPSR.
if _MACHINE in ("x86_64", "AMD64"):
    _ROUNDING = {"upward": 0x800, "toward_zero": 0xC00}

    def _set_flush(env: bytearray) -> None:
        mxcsr = int.from_bytes(env[28:32], "little") | 0x8040  # FTZ | DAZ
        env[28:32] = mxcsr.to_bytes(4, "little")

    def _control(env: bytes) -> tuple[int, int]:
        # x87 control word; MXCSR without its exception flags.
        return int.from_bytes(env[0:2], "little"), int.from_bytes(env[28:32], "little") & ~0x3F

elif _MACHINE in ("aarch64", "arm64"):
    _ROUNDING = {"upward": 0x400000, "toward_zero": 0xC00000}

    def _set_flush(env: bytearray) -> None:
        fpcr = int.from_bytes(env[0:4], "little") | (1 << 24)  # FZ
        env[0:4] = fpcr.to_bytes(4, "little")

    def _control(env: bytes) -> tuple[int, int]:
        return int.from_bytes(env[0:4], "little"), 0

else:
    _ROUNDING = None

SUPPORTED = _ROUNDING is not None
MODES = ["ftz_daz", "upward", "toward_zero"]


def _get_env() -> bytearray:
    buf = ctypes.create_string_buffer(64)
    assert _LIBC.fegetenv(buf) == 0
    return bytearray(buf.raw)


def _set_env(env: bytes) -> None:
    buf = ctypes.create_string_buffer(bytes(env), 64)
    assert _LIBC.fesetenv(buf) == 0


def control() -> tuple[int, int]:
    """The control part of the thread's floating-point environment."""
    return _control(bytes(_get_env()))


def enter(mode: str) -> bytearray:
    """Puts this thread in `mode` ("default" leaves it); returns the
    environment to go back to."""
    saved = _get_env()
    if mode == "default":
        return saved
    if mode == "ftz_daz":
        env = bytearray(saved)
        _set_flush(env)
        _set_env(env)
    else:
        assert _LIBC.fesetround(_ROUNDING[mode]) == 0
    assert control() != _control(bytes(saved)), f"{mode} did not change the mode"
    return saved


def leave(saved: bytes) -> None:
    _set_env(saved)


def _child(mode: str, when: str, cpus: str) -> None:
    import numpy as np

    import photos as p

    if cpus == "1":
        os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
    # Every input is made in the default mode (NumPy's arithmetic follows the
    # mode too), before linora is loaded: "before" also loads it in MODE.
    camera = p.gray_of(p.photo("camera"))
    coffee = p.gray_of(p.photo("coffee"))
    detections = [(f"detect/{name}/{dtype}/{scale}", p.as_dtype(gray, dtype), scale)
                  for name, gray, dtype, scale in (("camera", camera, "uint16", 1.0),
                                                   ("camera", camera, "float64", 0.63),
                                                   ("coffee", coffee, "float32", 0.8),
                                                   ("coffee", coffee, "uint8", 0.5))]
    detections.append(("detect/ripple/uint16/1.0", p.ripple(), 1.0))
    rgb8 = p.photo("astronaut")
    h, w = rgb8.shape[:2]
    mx, my = p.lens_maps(h + 9, w - 13)
    inv = p.HOMOGRAPHY["astronaut"]
    images = [(dtype, rgb, np.ascontiguousarray(rgb[..., 1]))
              for dtype, rgb in (("uint8", rgb8), ("uint16", p.to_u16(rgb8)))]

    saved = enter(mode) if when == "before" else None
    import linora

    cases = [(key, lambda img=img, scale=scale: linora.detect(img, scale))
             for key, img, scale in detections]
    for dtype, rgb, gray in images:
        for f in ("bilinear", "lanczos3"):
            key = f"astronaut/{dtype}/{f}"
            cases += [
                (f"warp_rgb/{key}", lambda rgb=rgb, f=f: linora.warp_rgb(
                    rgb, inv, 1.0, 0.0, 0.0, f, out_size=(w + 31, h - 17))),
                (f"warp_rgb_scaled/{key}",
                 lambda rgb=rgb, f=f: linora.warp_rgb(rgb, inv, 1.7, -23.5, 11.25, f)),
                (f"remap_rgb/{key}", lambda rgb=rgb, f=f: linora.remap_rgb(rgb, mx, my, f)),
                (f"remap_gray/{key}", lambda gray=gray, f=f: linora.remap_gray(gray, mx, my, f)),
            ]
    if when == "between":
        linora.detect(camera[:64, :64].copy())  # the pool starts in the default mode
    results, changed = {}, []
    for key, call in cases:
        if when == "between":
            saved = enter(mode)
        before = control()
        results[key] = call()
        if control() != before:
            changed.append(key)
        if when == "between":
            leave(saved)
            saved = None
    if saved is not None:
        leave(saved)

    import test_golden as g

    def digest(r):
        return g.segments_digest(r) if isinstance(r, list) else g._sha(r.tobytes())

    print(json.dumps({"digests": {k: digest(r) for k, r in results.items()},
                      "mode_changed": changed}))


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    _child(*sys.argv[1:4])
