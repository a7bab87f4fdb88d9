"""Two builds of linora against each other, in one process.

On a shared machine the speed drifts by a tenth or more within minutes, more
than most single changes gain: timings of two builds taken one after the
other, or in alternate subprocesses, mostly measure the drift. This loads
each build's extension module from its own directory into one process and
alternates single calls between them (in reverse order every other round), so
that the drift hits both alike, and prints each build's median time and the
median per-round ratio B / A (below 1: B is faster).

    # copy each build's module to a directory of its own, e.g.
    #   cp build/cp313-cp313-linux_x86_64/linora*.so /tmp/a/
    python benchmarks/ab.py /tmp/a /tmp/b                 # detect, all workers
    python benchmarks/ab.py /tmp/a /tmp/b --one-cpu       # detect, one processor
    python benchmarks/ab.py /tmp/a /tmp/b --op warp_rgb --filter lanczos3

detect runs at scale 0.8 on six of scikit-image's photographs resized to
1920 x 1080 (grey), warp_rgb and remap_rgb on one resized to 1920 x 1080 RGB.
Each build's module keeps its own worker pool: while one build runs, the
other's workers sleep.
"""

from __future__ import annotations

import argparse
import glob
import importlib.machinery
import importlib.util
import os
import statistics
import sys
import time
from types import ModuleType

import numpy as np

PHOTOS = ("coffee", "astronaut", "camera", "rocket", "chelsea", "brick")


def load_build(directory: str) -> ModuleType:
    paths = glob.glob(os.path.join(directory, "linora*.so")) + glob.glob(
        os.path.join(directory, "linora*.pyd"))
    if not paths:
        sys.exit(f"ab: no linora extension module in {directory}")
    loader = importlib.machinery.ExtensionFileLoader("linora", paths[0])
    spec = importlib.util.spec_from_file_location("linora", paths[0], loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def resized(name: str, grey: bool) -> np.ndarray:
    import skimage.data
    from PIL import Image

    a = getattr(skimage.data, name)()
    if grey:
        if a.ndim == 3:
            a = a[..., 0] * 0.299 + a[..., 1] * 0.587 + a[..., 2] * 0.114
        img = Image.fromarray(a.astype(np.float32), mode="F").resize((1920, 1080),
                                                                      Image.BILINEAR)
        return np.asarray(img).clip(0, 255).astype(np.uint8)
    if a.ndim == 2:
        a = np.repeat(a[..., None], 3, axis=2)
    return np.asarray(Image.fromarray(a).resize((1920, 1080), Image.BILINEAR))


def workload(op: str, filt: str):
    """The calls of one round, as functions of a module."""
    if op == "detect":
        images = [resized(n, grey=True) for n in PHOTOS]
        return [lambda m, im=im: m.detect(im, 0.8) for im in images]
    src = resized("astronaut", grey=False)
    if op == "warp_rgb":
        inverse = (1.0, 0.05, -20.0, 0.02, 1.0, -10.0, 1e-5, 2e-5, 1.0)
        return [lambda m: m.warp_rgb(src, inverse, 1.0, 0.0, 0.0, filt)]
    yy, xx = np.mgrid[0:1080, 0:1920].astype(np.float32)
    mx = xx + 3.0 * np.sin(yy / 40.0, dtype=np.float32)
    my = yy + 3.0 * np.cos(xx / 50.0, dtype=np.float32)
    return [lambda m: m.remap_rgb(src, mx, my, filt)]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("a", help="directory of build A's extension module")
    parser.add_argument("b", help="directory of build B's extension module")
    parser.add_argument("--op", choices=("detect", "warp_rgb", "remap_rgb"), default="detect")
    parser.add_argument("--filter", default="bilinear", help="for warp_rgb and remap_rgb")
    parser.add_argument("--one-cpu", action="store_true",
                        help="run on one processor (set before either pool starts)")
    parser.add_argument("--rounds", type=int, default=11)
    args = parser.parse_args()
    if args.one_cpu:
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
    builds = [load_build(args.a), load_build(args.b)]
    calls = workload(args.op, args.filter)
    for m in builds:  # warm-up: pools, pages, caches
        for call in calls:
            call(m)
    times: list[list[float]] = [[], []]
    for r in range(args.rounds):
        total = [0.0, 0.0]
        for call in calls:
            for i in ((0, 1) if r % 2 == 0 else (1, 0)):
                t0 = time.perf_counter()
                call(builds[i])
                total[i] += time.perf_counter() - t0
        for i in range(2):
            times[i].append(total[i] * 1000.0 / len(calls))
    where = "one processor" if args.one_cpu else "all workers"
    for name, t in zip((args.a, args.b), times):
        print(f"{name}: {args.op}, {where}: median {statistics.median(t):.2f} ms per call")
    ratios = [b / a for a, b in zip(times[0], times[1])]
    print(f"B / A per round: median {statistics.median(ratios):.3f} "
          f"(from {min(ratios):.3f} to {max(ratios):.3f}, {args.rounds} rounds)")


if __name__ == "__main__":
    main()
