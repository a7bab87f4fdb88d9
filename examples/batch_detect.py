#!/usr/bin/env python3
"""Detect segments in many images: on a thread pool, or on a Dask cluster.

    python examples/batch_detect.py [--count 32] [--size 640x480] [--threads N]
    python examples/batch_detect.py --images DIR [--threads N]
    python examples/batch_detect.py --dask [--dask-workers 2]      # local processes
    python examples/batch_detect.py --dask tcp://scheduler:8786   # a running cluster

The batch is either the images of a directory (PNG, JPEG, ... read with
Pillow) or `--count` generated scenes (rotated rectangles and noise, made
with NumPy from a seed, so any worker can make its own).

Threads: linora detaches from the interpreter while it computes, so calls
on several threads run at the same time (on a free-threaded Python as well
as on one with a global lock).  The script runs the batch once on the
calling thread and once on a ThreadPoolExecutor and prints the speed-up
(only detection is timed; the images are made or read beforehand).  Each
call already spreads its row loops over linora's own worker pool, but its
main loop, which grows and validates the segments one after the other, runs
on the calling thread: a thread pool runs those loops of several images at
once.

Dask: the same function, sent to the workers of a ``dask.distributed``
cluster: a LocalCluster of worker processes started here, or the scheduler
at ADDRESS (every worker needs numpy and linora installed; with --images the
directory must be visible to the workers at the same path).  ``Segment``
objects cannot be pickled, so each task returns its segments as a NumPy
array, one row (x1, y1, x2, y2, width, precision, log_nfa) per segment,
with the time it took to make or read its image and the time of detect
alone, measured in the worker.  The total of a Dask run includes making or
reading the images, shipping tasks and results, and the scheduler; compare
the per-task detection time with the per-image time printed for this
process.  What a cluster buys is throughput across machines, with results
bit-identical to a local loop; on one machine it does no better than the
thread pool.

Dask's worker processes start with MALLOC_TRIM_THRESHOLD_=65536 (its
setting distributed.nanny.pre-spawn-environ).  With that variable set,
glibc's malloc stops raising its mmap threshold, so every large NumPy
temporary is mapped afresh and its pages faulted in: making one 640 x 480
scene took some ten times as long in a worker as here, and detect about
twice as long.  The LocalCluster started here drops the variable; the script
warns when the workers of a cluster at ADDRESS have it.

Each linora call spreads its work over a pool with one thread per processor
that its process may use.  Several worker processes on one machine would
each start such a pool and take processors from each other (in detection,
a call's threads also wait for each other's results), so the LocalCluster's
workers are each restricted to their share of the processors before their
first linora call.  With ADDRESS the script only warns when workers share a
machine.

Either way the results must equal, bit for bit, those of the first run on
the calling thread: linora's results do not depend on the number of threads,
the process or the machine (same build).  The script fails if they differ.
Dask mode needs ``pip install "dask[distributed]"``.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time
from collections import Counter
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any, TypeVar

import numpy as np
import numpy.typing as npt

import linora

FIELDS = ("x1", "y1", "x2", "y2", "width", "precision", "log_nfa")
Task = tuple[int, int, int] | str  # (seed, width, height) of a generated scene, or a file path
Result = npt.NDArray[np.float64]
T = TypeVar("T")


def make_scene(seed: int, w: int, h: int) -> npt.NDArray[np.uint8]:
    """A gray test scene: a shaded background, 12 rotated rectangles of
    random gray levels, and Gaussian noise; the same for the same seed.
    Each rectangle is drawn only within its bounding box (plus a pixel), so
    that making a scene costs little beside detecting its segments."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:h, 0:w].astype(np.float64) + 0.5
    img = 90.0 + 40.0 * (x / w) + 20.0 * (y / h)
    for _ in range(12):
        cx, cy = rng.uniform(0, w), rng.uniform(0, h)
        a, b = rng.uniform(0.05, 0.3) * w, rng.uniform(0.03, 0.2) * h
        t = rng.uniform(0, np.pi)
        c, s = np.cos(t), np.sin(t)
        rx, ry = a * abs(c) + b * abs(s) + 1.0, a * abs(s) + b * abs(c) + 1.0
        box = (slice(max(0, int(cy - ry)), max(0, int(cy + ry) + 2)),
               slice(max(0, int(cx - rx)), max(0, int(cx + rx) + 2)))
        xs, ys = x[box], y[box]
        u = (xs - cx) * c + (ys - cy) * s
        v = -(xs - cx) * s + (ys - cy) * c
        img[box][(np.abs(u) <= a) & (np.abs(v) <= b)] = rng.uniform(0, 255)
    img += rng.normal(0.0, 3.0, size=img.shape)
    scene: npt.NDArray[np.uint8] = np.clip(np.rint(img), 0, 255).astype(np.uint8)
    return scene


def load(task: Task) -> npt.NDArray[np.uint8]:
    if isinstance(task, str):
        from PIL import Image

        return np.asarray(Image.open(task).convert("L"), dtype=np.uint8)
    return make_scene(*task)


def detect_array(gray: npt.NDArray[np.uint8]) -> Result:
    """The segments of one image as an (n, 7) float64 array, longest first."""
    segments = linora.detect(gray, 0.8)
    return np.array([[getattr(s, f) for f in FIELDS] for s in segments],
                    dtype=np.float64).reshape(-1, len(FIELDS))


def detect_one(task: Task) -> tuple[Result, float, float]:
    """Load or make one image and detect its segments (a Dask task): the
    segments, and the seconds taken by loading or making the image and by
    detection alone."""
    t0 = time.perf_counter()
    gray = load(task)
    t1 = time.perf_counter()
    result = detect_array(gray)
    return result, t1 - t0, time.perf_counter() - t1


def timed_detect(gray: npt.NDArray[np.uint8]) -> tuple[Result, float]:
    """detect_array and its duration in seconds."""
    t0 = time.perf_counter()
    result = detect_array(gray)
    return result, time.perf_counter() - t0


def same(a: Sequence[Result], b: Sequence[Result]) -> bool:
    """Bit-for-bit equality of two batches of results."""
    return len(a) == len(b) and all(x.shape == y.shape and x.tobytes() == y.tobytes()
                                    for x, y in zip(a, b))


def timed(run: Callable[[], list[T]]) -> tuple[list[T], float]:
    t0 = time.perf_counter()
    results = run()
    return results, time.perf_counter() - t0


def ms(seconds: Sequence[float]) -> str:
    """Median and range of durations, in milliseconds."""
    return (f"median {statistics.median(seconds) * 1e3:.1f} ms "
            f"({min(seconds) * 1e3:.1f}-{max(seconds) * 1e3:.1f})")


def trim_threshold() -> str | None:
    return os.environ.get("MALLOC_TRIM_THRESHOLD_")


def take_share_of_processors(k: int, n: int) -> list[int]:
    """Restrict every thread of this process to share k of n of the
    processors it may use (run in each of n worker processes on one machine
    before linora's first call there, which sizes its worker pool by them)."""
    if not hasattr(os, "sched_setaffinity"):
        return []
    cpus = sorted(os.sched_getaffinity(0))
    mine = set(cpus[k::n]) if k < len(cpus) else {cpus[k % len(cpus)]}
    threads = os.listdir("/proc/self/task") if os.path.isdir("/proc/self/task") else ["0"]
    for tid in threads:
        try:
            os.sched_setaffinity(int(tid), mine)
        except OSError:  # a thread that ended meanwhile
            pass
    return sorted(mine)


def share_processors(client: Any) -> None:
    """Give each worker process of a machine its share of the processors."""
    by_host: dict[str, list[str]] = {}
    for address, info in client.scheduler_info()["workers"].items():
        by_host.setdefault(info["host"], []).append(address)
    shares = []
    for addresses in by_host.values():
        for k, address in enumerate(sorted(addresses)):
            got = client.run(take_share_of_processors, k, len(addresses), workers=[address])
            shares.append(str(got[address]))
    print(f"each worker process restricted to its share of the processors: {', '.join(shares)}")


def run_dask(tasks: Sequence[Task], address: str | None, workers: int
             ) -> tuple[list[Result], list[float], list[float], int]:
    """The batch on a Dask cluster: the scheduler at `address`, or a
    LocalCluster of `workers` single-threaded worker processes.  Returns the
    results, the per-task seconds of making or reading the image and of
    detection, and the number of tasks the cluster runs at once."""
    try:
        import dask
        from dask.distributed import Client, LocalCluster
    except ImportError:
        sys.exit('Dask mode needs dask.distributed: pip install "dask[distributed]"')
    cluster: Any = None
    if address is None:
        # Without MALLOC_TRIM_THRESHOLD_ in the workers (see the docstring).
        with dask.config.set({"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None}):
            cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                   dashboard_address=None)
    try:
        with Client(address if cluster is None else cluster) as client:
            where = address or f"a LocalCluster of {workers} worker processes"
            trims = {v for v in client.run(trim_threshold).values() if v is not None}
            if trims:
                print(f"note: the workers have MALLOC_TRIM_THRESHOLD_={', '.join(sorted(trims))}, "
                      "which slows NumPy's large arrays; start them with the Dask setting "
                      "distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_ set to null")
            if cluster is not None:
                share_processors(client)
            elif any(n > 1 for n in Counter(
                    w["host"] for w in client.scheduler_info()["workers"].values()).values()):
                print("note: several workers share a machine; each linora call there uses all "
                      "its processors: give each worker process its share (taskset, or "
                      "os.sched_setaffinity before its first linora call)")
            # Warm-up: every worker makes linora's worker pool before the timing.
            client.run(lambda: linora.detect(np.zeros((8, 8), np.uint8)))
            futures = client.map(detect_one, list(tasks), pure=False)
            done, seconds = timed(lambda: list(client.gather(futures)))
            print(f"dask ({where}): {seconds:.2f} s for the batch, making or reading the "
                  "images included")
            at_once = sum(client.nthreads().values())
            return ([r for r, _, _ in done], [m for _, m, _ in done], [d for _, _, d in done],
                    at_once)
    finally:
        if cluster is not None:
            cluster.close()


def parse_size(text: str) -> tuple[int, int]:
    w, _, h = text.partition("x")
    return int(w), int(h)


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0] if __doc__ else None)
    parser.add_argument("--images", type=Path, help="a directory of images (default: generated)")
    parser.add_argument("--count", type=int, default=32, help="generated scenes (default 32)")
    parser.add_argument("--size", type=parse_size, default=(640, 480), help="WxH of a scene")
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 2,
                        help="threads of the pool (default: the number of processors)")
    parser.add_argument("--dask", nargs="?", const="local", metavar="ADDRESS",
                        help="also run the batch on Dask: a LocalCluster, or a scheduler address")
    parser.add_argument("--dask-workers", type=int, default=2,
                        help="worker processes of the LocalCluster (default 2)")
    args = parser.parse_args(argv)

    tasks: list[Task]
    if args.images is not None:
        tasks = sorted(str(p) for p in args.images.iterdir() if p.is_file())
        what = f"{len(tasks)} images of {args.images}"
    else:
        w, h = args.size
        tasks = [(seed, w, h) for seed in range(args.count)]
        what = f"{len(tasks)} generated {w} x {h} scenes"
    # Loaded beforehand: the runs below time detection alone.
    images: list[npt.NDArray[np.uint8]] = []
    loading: list[float] = []
    for item in tasks:
        t0 = time.perf_counter()
        images.append(load(item))
        loading.append(time.perf_counter() - t0)
    print(f"batch: {what}; making or reading one here {ms(loading)}")

    timed_one, t_one = timed(lambda: [timed_detect(img) for img in images])
    one = [r for r, _ in timed_one]
    per_image = [t for _, t in timed_one]
    print(f"1 thread: {t_one:.2f} s, {sum(len(r) for r in one)} segments; "
          f"detect per image {ms(per_image)}")
    with ThreadPoolExecutor(max_workers=args.threads) as pool:
        timed_many, t_many = timed(lambda: list(pool.map(timed_detect, images)))
    many = [r for r, _ in timed_many]
    per_image_many = [t for _, t in timed_many]
    print(f"{args.threads} threads: {t_many:.2f} s, speed-up {t_one / t_many:.2f}x; detect per "
          f"image {ms(per_image_many)} (linora's own worker pool also uses the "
          "processors on both runs)")
    if not same(one, many):
        print("results differ between one thread and the thread pool", file=sys.stderr)
        return 1
    print("thread-pool results identical to the single-thread run")

    if args.dask is not None:
        remote, making, detecting, at_once = run_dask(
            tasks, None if args.dask == "local" else args.dask, args.dask_workers)
        print(f"  per task in the workers: making or reading the image {ms(making)}; "
              f"detect {ms(detecting)}")
        task = statistics.median(detecting)
        print(f"  detect per task against per image here: "
              f"{task / statistics.median(per_image_many):.2f} times the {args.threads}-thread "
              f"run's, {task / statistics.median(per_image):.2f} times the 1-thread run's "
              f"({at_once} tasks at once on the cluster; on one machine each call then has "
              "fewer processors for its own worker pool)")
        if not same(one, remote):
            print("results differ between this process and the Dask workers", file=sys.stderr)
            return 1
        print("Dask results identical to the single-thread run")
    return 0


if __name__ == "__main__":
    sys.exit(main())
