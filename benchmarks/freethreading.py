"""Throughput of N Python threads against one, on a free-threaded CPython
and on one with the global lock, in the same run.

Each work item is what a program does with linora and Python around it:

- detect: `detect(photo, 0.8)` on one of scikit-image's photographs (8-bit
  gray), then a Python loop over the segments that reads the photograph at
  32 points along each one (item access) and sums the contrast across it,
  and keeps the long ones by angle in a dict;
- resample: `warp_rgb` of a colour photograph through a fixed homography
  and `remap_gray` of its gray version through a lens map (Lanczos-3), then
  a Python loop over every 4th pixel of every 4th row of both outputs.

A fixed number of items is shared out to N threads (each takes the next item
from a shared iterator under a lock) and the wall time of the whole batch
gives items per second. One linora call already uses every processor through
the worker pool, so what threads add is the Python work of one item running
beside the native work of another: with the global lock the Python parts
take turns, on the free-threaded build they do not.

    python benchmarks/freethreading.py PYTHON [PYTHON ...]   # the table
    python benchmarks/freethreading.py --worker KIND N ITEMS # one measurement (JSON)

The table runs every interpreter and thread count in turn, in ROUNDS rounds
(the machine's speed drifts over minutes), and prints per interpreter the
items per second with one thread and, for each N, the ratio to one thread
over the rounds (median, and the range). It never fails on a timing.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import statistics
import subprocess
import sys
import threading
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

PHOTOGRAPHS = ("camera", "astronaut", "coffee", "chelsea", "motorcycle_left", "rocket")
THREADS = (1, 2, 4)
SAMPLES = 32  # points read along each segment
ROUNDS = 3


def photographs():
    import numpy as np
    import skimage.data

    out = []
    for name in PHOTOGRAPHS:
        a = skimage.data.stereo_motorcycle()[0] if name == "motorcycle_left" else \
            getattr(skimage.data, name)()
        a = np.asarray(a)
        rgb = a[..., :3] if a.ndim == 3 else np.stack([a] * 3, axis=-1)
        rgb = np.ascontiguousarray(rgb.astype(np.uint8))
        gray = np.ascontiguousarray(
            (rgb[..., 0] * 0.299 + rgb[..., 1] * 0.587 + rgb[..., 2] * 0.114).astype(np.uint8))
        out.append((name, gray, rgb))
    return out


def detect_item(linora, gray):
    segments = linora.detect(gray, 0.8)
    h, w = gray.shape
    by_angle = {}
    contrast = 0.0
    for s in segments:
        dx, dy = s.x2 - s.x1, s.y2 - s.y1
        length = math.hypot(dx, dy)
        if length == 0.0:
            continue
        nx, ny = -dy / length * 2.0, dx / length * 2.0
        for k in range(SAMPLES):
            t = (k + 0.5) / SAMPLES
            x, y = s.x1 + dx * t, s.y1 + dy * t
            xa, ya = min(w - 1, max(0, int(x + nx))), min(h - 1, max(0, int(y + ny)))
            xb, yb = min(w - 1, max(0, int(x - nx))), min(h - 1, max(0, int(y - ny)))
            contrast += abs(gray.item(ya, xa) - gray.item(yb, xb))
        if length > 20:
            by_angle.setdefault(int(math.degrees(math.atan2(dy, dx))) // 10, []).append(length)
    return len(segments), contrast, len(by_angle)


def resample_item(linora, gray, rgb, inv, maps):
    h, w = gray.shape
    warped = linora.warp_rgb(rgb, inv, 1.0, 0.0, 0.0, "lanczos3")
    remapped = linora.remap_gray(gray, maps[0], maps[1], "lanczos3")
    total = 0
    for y in range(0, warped.shape[0], 4):
        row_w, row_r = warped[y], remapped[min(y, remapped.shape[0] - 1)]
        for x in range(0, min(warped.shape[1], w), 4):
            total += row_w.item(x, 1) + row_r.item(min(x, remapped.shape[1] - 1))
    return total


def worker(kind: str, nthreads: int, items: int) -> dict:
    import numpy as np

    import linora

    photos = photographs()
    inv = [1.02, 0.05, -8.0, -0.03, 0.98, 6.0, 1e-5, 2e-5, 1.0]
    maps = {}
    for name, gray, _ in photos:
        h, w = gray.shape
        ys, xs = np.mgrid[0:h, 0:w].astype(np.float32)
        cx, cy = w / 2, h / 2
        r2 = ((xs - cx) ** 2 + (ys - cy) ** 2) / (cx * cx + cy * cy)
        maps[name] = (cx + (xs - cx) * (1 + 0.1 * r2), cy + (ys - cy) * (1 + 0.1 * r2))

    def run(i):
        name, gray, rgb = photos[i % len(photos)]
        if kind == "detect":
            return detect_item(linora, gray)
        return resample_item(linora, gray, rgb, inv, maps[name])

    for i in range(len(photos)):  # warm-up: the pool, the caches
        run(i)
    work = iter(range(items))
    lock = threading.Lock()
    errors = []

    def loop():
        try:
            while True:
                with lock:
                    i = next(work, None)
                if i is None:
                    return
                run(i)
        except BaseException as e:  # noqa: BLE001 - reported
            errors.append(repr(e))

    threads = [threading.Thread(target=loop) for _ in range(nthreads)]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    wall = time.perf_counter() - start
    if errors:
        raise SystemExit(f"worker failed: {errors[0]}")
    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    # The linora calls alone, one thread: what part of an item is native.
    start = time.perf_counter()
    for i in range(len(photos)):
        name, gray, rgb = photos[i]
        if kind == "detect":
            linora.detect(gray, 0.8)
        else:
            linora.warp_rgb(rgb, inv, 1.0, 0.0, 0.0, "lanczos3")
            linora.remap_gray(gray, maps[name][0], maps[name][1], "lanczos3")
    native = (time.perf_counter() - start) / len(photos)
    return {"items_per_s": items / wall, "wall": wall, "gil": gil, "native_s": native}


def label(python: str) -> str:
    out = subprocess.run([python, "-c", "import sys, platform; "
                          "g = sys._is_gil_enabled() if hasattr(sys, '_is_gil_enabled') else True; "
                          "print(platform.python_version() + ('' if g else 't'))"],
                         capture_output=True, text=True, check=True)
    return out.stdout.strip()


def table(pythons: list[str], items: dict[str, int]) -> None:
    names = [label(p) for p in pythons]
    results = {(n, k, t): [] for n in names for k in items for t in THREADS}
    for r in range(ROUNDS):
        for kind in items:
            for python, name in zip(pythons, names):
                for t in THREADS:
                    out = subprocess.run([python, __file__, "--worker", kind, str(t),
                                          str(items[kind])], capture_output=True, text=True)
                    if out.returncode != 0:
                        print(f"{name} {kind} {t}: {out.stderr.strip()[-300:]}", file=sys.stderr)
                        continue
                    results[(name, kind, t)].append(json.loads(out.stdout))
        print(f"round {r + 1} of {ROUNDS} done", file=sys.stderr, flush=True)
    print(f"{os.cpu_count()} processors; {ROUNDS} rounds; items per batch: "
          + ", ".join(f"{k} {v}" for k, v in items.items()))
    print(f"{'interpreter':<12} {'work':<9} {'1 thread':>12} "
          + " ".join(f"{f'{t} threads / 1':>22}" for t in THREADS[1:]))
    for name in names:
        for kind in items:
            one = [x["items_per_s"] for x in results[(name, kind, 1)]]
            if not one:
                continue
            cells = []
            for t in THREADS[1:]:
                many = [x["items_per_s"] for x in results[(name, kind, t)]]
                ratios = [m / o for m, o in zip(many, one)]  # same round
                cells.append(f"{statistics.median(ratios):.2f} ({min(ratios):.2f}-{max(ratios):.2f})"
                             if ratios else "n/a")
            native = statistics.median(x["native_s"] for x in results[(name, kind, 1)])
            share = native * statistics.median(one)
            print(f"{name:<12} {kind:<9} {statistics.median(one):>8.2f} it/s "
                  + " ".join(f"{c:>22}" for c in cells)
                  + f"   (linora calls {100 * share:.0f}% of an item)")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--worker", nargs=3, metavar=("KIND", "N", "ITEMS"))
    ap.add_argument("--quick", action="store_true", help="small batches, one round")
    ap.add_argument("pythons", nargs="*")
    args = ap.parse_args()
    if args.worker:
        kind, n, items = args.worker
        print(json.dumps(worker(kind, int(n), int(items))))
        return
    global ROUNDS
    items = {"detect": 96, "resample": 288}
    if args.quick:
        ROUNDS = 1
        items = {"detect": 6, "resample": 6}
    table(args.pythons or [sys.executable], items)


if __name__ == "__main__":
    main()
