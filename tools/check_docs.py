#!/usr/bin/env python3
"""Check the user documents against the installed linora.

    python tools/check_docs.py

- Runs the Python blocks (those marked ``python``; blocks marked ``py`` are
  fragments) of README.md in order in one namespace, then those of
  docs/REFERENCE.md in another, from the repository root.
- The README's FAQ quotes error messages in ``text`` blocks: each must be,
  character for character, what Python prints for one of the mistakes
  below (the last lines of the traceback, with the exception's notes), and
  each mistake's message must be quoted there.

Needs numpy, Pillow, OpenCV and scikit-image besides linora (run by
scripts/check-examples.sh, which installs them).
"""

from __future__ import annotations

import os
import re
import sys
import traceback
from collections.abc import Callable
from pathlib import Path
from typing import Any

import cv2
import numpy as np
import skimage.data

import linora

ROOT = Path(__file__).resolve().parent.parent


def blocks(text: str, language: str) -> list[str]:
    return re.findall(rf"^```{language}\n(.*?)^```", text, re.S | re.M)


def run_blocks(path: Path) -> int:
    found = blocks(path.read_text(encoding="utf-8"), "python")
    namespace: dict[str, Any] = {"__name__": "__doc_block__"}
    for i, code in enumerate(found, 1):
        exec(compile(code, f"{path.relative_to(ROOT)} block {i}", "exec"), namespace)
    return len(found)


def message(call: Callable[[], object]) -> str:
    """What Python prints for the exception that `call` raises, without the
    traceback's stack lines."""
    try:
        call()
    except BaseException as e:  # linora's internal error is not an Exception
        return "".join(traceback.format_exception_only(e)).rstrip("\n")
    raise AssertionError("no exception raised")


def mistakes() -> dict[str, Callable[[], object]]:
    rgb = skimage.data.astronaut()
    gray = skimage.data.camera()
    h, w = gray.shape
    ys, xs = np.mgrid[0:h, 0:w]
    m1, m2 = cv2.convertMaps(xs.astype(np.float32), ys.astype(np.float32), cv2.CV_16SC2)
    eye = np.eye(3)
    return {
        "float64 maps from np.mgrid arithmetic": lambda: linora.remap_rgb(rgb, xs * 0.5, ys * 0.5),
        "float64 maps from np.meshgrid":
            lambda: linora.remap_gray(gray, *np.meshgrid(np.arange(w) * 0.5, np.arange(h) * 0.5)),
        "OpenCV's CV_16SC2 maps": lambda: linora.remap_rgb(rgb, m1, m2),
        "a BGR image": lambda: linora.detect(cv2.cvtColor(rgb, cv2.COLOR_RGB2BGR)),
        "an (h, w, 1) image": lambda: linora.detect(gray[:, :, None]),
        "int32": lambda: linora.detect(gray.astype(np.int32)),
        "bool": lambda: linora.detect(gray > 128),
        "big-endian float64": lambda: linora.detect(gray.astype(">f8")),
        # Mistakes that the type stubs catch too.
        "out_size as a list":
            lambda: linora.warp_rgb(rgb, eye.ravel(), 1, 0, 0, out_size=[w, h]),  # type: ignore[call-overload]
        "a 3 x 3 inverse": lambda: linora.warp_rgb(rgb, eye, 1, 0, 0),  # type: ignore[arg-type]
        "an output of width 0": lambda: linora.warp_rgb(rgb, eye.ravel(), 1, 0, 0, out_size=(0, h)),
    }


def check_faq(readme: str) -> int:
    start = readme.index("\n## FAQ")
    end = readme.find("\n## ", start + 1)
    quoted = blocks(readme[start:end if end >= 0 else None], "text")
    quoted = [q.rstrip("\n") for q in quoted]
    assert quoted, "no message quoted in the FAQ"
    printed = {what: message(call) for what, call in mistakes().items()}
    for what, text in printed.items():
        assert text in quoted, f"the FAQ does not quote what {what} gives:\n{text}"
    for text in quoted:
        assert text in printed.values(), f"no mistake gives this FAQ message:\n{text}"
    try:
        linora.warp_rgb(np.zeros((2, 2, 3), np.uint8), np.eye(3).ravel(), 1, 0, 0, out_size=(0, 2))
    except Exception:
        raise AssertionError("linora's internal error is caught by except Exception") from None
    except BaseException:
        pass
    return len(quoted)


def main() -> int:
    os.chdir(ROOT)
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    n = check_faq(readme)
    print(f"README.md: the {n} messages of the FAQ are those linora gives")
    print(f"README.md: {run_blocks(ROOT / 'README.md')} Python blocks ran")
    print(f"docs/REFERENCE.md: {run_blocks(ROOT / 'docs' / 'REFERENCE.md')} Python blocks ran")
    return 0


if __name__ == "__main__":
    sys.exit(main())
