"""Side-by-side timings of linora against OpenCV and scikit-image.

Every row times one linora call and the equivalent peer call on the same
input in the same process: both are run once to warm up, then alternately
(linora first on even repetitions, the peer first on odd ones) so that drifts
of the machine's load hit both sides alike; the table shows the medians and
their ratio linora / peer (below 1 means linora is faster).

The rows after the peer comparisons measure linora against itself: two
Python threads detecting at once against one thread doing the same two
images in turn, a warp with two workers against one (each in a subprocess
whose CPU affinity is set before the first call sizes the worker pool), and
the peak resident memory that a detection adds, per input pixel.

A second table runs `detect` (scale 0.8) on real photographs, the ones that
scikit-image ships, at their native size and resized to 1920 x 1080 and
3840 x 2160 (once, cached under build/): per photograph and as the median
over the photographs of each size, the wall time with all workers, the wall
time with one processor (a subprocess whose CPU affinity is set to one CPU
before the worker pool exists) and the CPU time per megapixel, each as a
ratio to OpenCV's LSD with LSD_REFINE_ADV and LSD_REFINE_STD timed in the
same process; the speed-up of all workers over one processor; and two Python
threads detecting two photographs at once against one processor doing both.
Rendered scenes have far fewer regions than photographs: the photographs are
the measure of detection speed.

    python benchmarks/bench.py            # the full run (a few minutes)
    python benchmarks/bench.py --quick    # tiny images, one repetition (CI)
    python benchmarks/bench.py --photos   # only detection on photographs

The peers are optional: without OpenCV or scikit-image their columns say
"n/a". The benchmark never fails because of a timing.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

# NumPy's OpenBLAS keeps worker threads spinning for a while after a matrix
# product; on a small machine they would take CPU time from both sides of
# every comparison. The benchmark needs no parallel BLAS.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import linora  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
import scenes  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "bench-cache"

try:
    import cv2
except ImportError:  # pragma: no cover - reported in the table
    cv2 = None
try:
    import skimage
    import skimage.feature
    import skimage.transform
except ImportError:  # pragma: no cover
    skimage = None


# --------------------------------------------------------------------------
# Inputs
# --------------------------------------------------------------------------


@dataclass
class Image:
    name: str
    rgb: np.ndarray  # (h, w, 3) uint8

    @property
    def gray(self) -> np.ndarray:
        return scenes.gray_of(self.rgb)

    @property
    def shape(self) -> tuple[int, int]:
        return self.rgb.shape[0], self.rgb.shape[1]


def load_sample() -> np.ndarray:
    path = ROOT / "data" / "sample.png"
    if cv2 is not None:
        bgr = cv2.imread(str(path), cv2.IMREAD_COLOR)
        return np.ascontiguousarray(bgr[..., ::-1])
    from PIL import Image as PILImage

    return np.asarray(PILImage.open(path).convert("RGB"))


def images(quick: bool) -> list[Image]:
    if quick:
        return [Image("sample crop 160x120", np.ascontiguousarray(load_sample()[240:360, 240:400])),
                Image("scene 200x150", scenes.cached_scene(200, 150, CACHE))]
    return [Image("sample 640x480", load_sample()),
            Image("scene 1920x1080", scenes.cached_scene(1920, 1080, CACHE)),
            Image("scene 4000x3000", scenes.cached_scene(4000, 3000, CACHE))]


def perspective(h: int, w: int) -> np.ndarray:
    """An inverse homography (output pixel -> source position) with a mild
    rotation, zoom and keystone, mapping most of the output into the source."""
    a = np.deg2rad(7.0)
    c, s = np.cos(a), np.sin(a)
    cx, cy = w / 2, h / 2
    rot = np.array([[c, -s, 0], [s, c, 0], [0, 0, 1]]) * np.array([[0.9], [0.9], [1]])
    keystone = np.array([[1, 0, 0], [0, 1, 0], [0.12 / w, 0.05 / h, 1]])
    to_c = np.array([[1, 0, -cx], [0, 1, -cy], [0, 0, 1]])
    from_c = np.array([[1, 0, cx], [0, 1, cy], [0, 0, 1]])
    m = from_c @ keystone @ rot @ to_c
    return m / m[2, 2]


def lens_maps(h: int, w: int) -> tuple[np.ndarray, np.ndarray]:
    """float32 maps of a barrel distortion about the centre."""
    y, x = np.mgrid[0:h, 0:w].astype(np.float64)
    cx, cy = (w - 1) / 2, (h - 1) / 2
    nx, ny = (x - cx) / cx, (y - cy) / cy
    k = 1.0 + 0.08 * (nx * nx + ny * ny)
    return (cx + nx * cx * k).astype(np.float32), (cy + ny * cy * k).astype(np.float32)


# --------------------------------------------------------------------------
# Timing
# --------------------------------------------------------------------------


def interleaved(a: Callable[[], object], b: Callable[[], object] | None, reps: int):
    """Medians of `reps` alternating timings of a and b, after one warm-up,
    and the results of the warm-up calls."""
    ra = a()
    rb = b() if b is not None else None
    ta: list[float] = []
    tb: list[float] = []
    for i in range(reps):
        order = [(a, ta), (b, tb)] if i % 2 == 0 else [(b, tb), (a, ta)]
        for fn, out in order:
            if fn is None:
                continue
            t0 = time.perf_counter()
            fn()
            out.append(time.perf_counter() - t0)
    return statistics.median(ta), (statistics.median(tb) if tb else None), ra, rb


def reps_for(pixels: int, quick: bool) -> int:
    if quick:
        return 1
    if pixels <= 400_000:
        return 21
    if pixels <= 2_500_000:
        return 11
    return 5


Row = list[str]


def ms(t: float | None) -> str:
    return "n/a" if t is None else f"{t * 1e3:.1f} ms"


def ratio(a: float | None, b: float | None) -> str:
    return "n/a" if a is None or b is None or b == 0 else f"{a / b:.2f}"


# --------------------------------------------------------------------------
# Peer comparisons
# --------------------------------------------------------------------------


def lsd_available() -> bool:
    if cv2 is None or not hasattr(cv2, "createLineSegmentDetector"):
        return False
    try:
        cv2.createLineSegmentDetector().detect(np.zeros((8, 8), np.uint8))
        return True
    except cv2.error:
        return False


def detect_rows(img: Image, quick: bool) -> list[Row]:
    rows: list[Row] = []
    gray = img.gray
    gray16 = gray.astype(np.uint16) * 257
    reps = reps_for(gray.size, quick)
    have_lsd = lsd_available()
    for scale in (0.8, 1.0):
        for dtype, arr in (("uint8", gray), ("uint16", gray16)):
            if dtype == "uint16" and (scale != 0.8 or img.shape[0] > 2000):
                continue
            ours = lambda arr=arr, scale=scale: linora.detect(arr, scale)  # noqa: E731
            if have_lsd:
                lsd = cv2.createLineSegmentDetector(cv2.LSD_REFINE_STD, scale)
                if dtype == "uint8":
                    peer = lambda lsd=lsd: lsd.detect(gray)  # noqa: E731
                    peer_name = f"cv2 LSD scale {scale}"
                else:
                    # LSD reads 8-bit images only: the peer's time includes
                    # the reduction to 8 bits.
                    peer = lambda lsd=lsd: lsd.detect((gray16 >> 8).astype(np.uint8))  # noqa: E731
                    peer_name = f"cv2 LSD scale {scale} on >>8"
                count = lambda r: 0 if r[0] is None else len(r[0])  # noqa: E731
            elif skimage is not None:
                peer = lambda: skimage.transform.probabilistic_hough_line(  # noqa: E731
                    skimage.feature.canny(gray), rng=0)
                peer_name = "skimage canny+prob. Hough (cv2 LSD unavailable)"
                count = len
            else:
                peer, peer_name, count = None, "n/a (no LSD, no skimage)", None
            t_ours, t_peer, r_ours, r_peer = interleaved(ours, peer, reps)
            n_peer = count(r_peer) if count is not None else "-"
            rows.append([f"detect {dtype} scale {scale}", img.name, ms(t_ours), peer_name,
                         ms(t_peer), ratio(t_ours, t_peer), str(reps),
                         f"segments {len(r_ours)} vs {n_peer}"])
    return rows


def resample_rows(img: Image, quick: bool) -> list[Row]:
    rows: list[Row] = []
    h, w = img.shape
    reps = reps_for(h * w, quick)
    m = perspective(h, w)
    inverse = [float(v) for v in m.ravel()]
    mx, my = lens_maps(h, w)
    big = h * w > 5_000_000
    for dtype in ("uint8", "uint16"):
        if dtype == "uint16" and big:
            continue
        src = img.rgb if dtype == "uint8" else img.rgb.astype(np.uint16) * 257
        for filt, inter, kernels in (("bilinear", "INTER_LINEAR", ""),
                                     ("lanczos3", "INTER_LANCZOS4", "kernels differ: Lanczos-3 vs -4")):
            flag = getattr(cv2, inter) if cv2 is not None else None
            cases = [
                ("warp_rgb", lambda f=filt: linora.warp_rgb(src, inverse, 1.0, 0.0, 0.0, f),
                 None if cv2 is None else
                 (lambda fl=flag: cv2.warpPerspective(src, m, (w, h), flags=fl | cv2.WARP_INVERSE_MAP,
                                                      borderMode=cv2.BORDER_CONSTANT, borderValue=0))),
                ("remap_rgb", lambda f=filt: linora.remap_rgb(src, mx, my, f),
                 None if cv2 is None else
                 (lambda fl=flag: cv2.remap(src, mx, my, fl, borderMode=cv2.BORDER_CONSTANT,
                                            borderValue=0))),
            ]
            for op, ours, peer in cases:
                t_ours, t_peer, _, _ = interleaved(ours, peer, reps)
                note = kernels or "cv2 rounds weights to fixed point"
                rows.append([f"{op} {filt} {dtype}", img.name, ms(t_ours),
                             f"cv2 {inter}" if peer else "n/a (no cv2)", ms(t_peer),
                             ratio(t_ours, t_peer), str(reps), note])
    # remap_gray on the gray image; and scikit-image's float warp for scale.
    gray = img.gray
    if cv2 is not None:
        t_ours, t_peer, _, _ = interleaved(lambda: linora.remap_gray(gray, mx, my),
                                     lambda: cv2.remap(gray, mx, my, cv2.INTER_LINEAR,
                                                       borderMode=cv2.BORDER_CONSTANT), reps)
        rows.append(["remap_gray bilinear uint8", img.name, ms(t_ours), "cv2 INTER_LINEAR",
                     ms(t_peer), ratio(t_ours, t_peer), str(reps), ""])
    if skimage is not None and not big:
        tf = skimage.transform.ProjectiveTransform(m)
        sk_reps = max(1, reps // 4)
        t_ours, t_peer, _, _ = interleaved(
            lambda: linora.warp_rgb(img.rgb, inverse, 1.0, 0.0, 0.0),
            lambda: skimage.transform.warp(img.rgb, tf, order=1, mode="constant", cval=0,
                                           preserve_range=True), sk_reps)
        rows.append(["warp_rgb bilinear uint8", img.name, ms(t_ours), "skimage warp order=1",
                     ms(t_peer), ratio(t_ours, t_peer), str(sk_reps), "skimage returns float64"])
    return rows


# --------------------------------------------------------------------------
# linora against itself: threads, workers, memory
# --------------------------------------------------------------------------


def thread_row(img: Image, quick: bool) -> Row:
    a = img.gray
    b = np.ascontiguousarray(a[:, ::-1])  # a different image of the same size
    reps = 1 if quick else 5

    def one_thread():
        linora.detect(a)
        linora.detect(b)

    def two_threads():
        t = threading.Thread(target=linora.detect, args=(b,))
        t.start()
        linora.detect(a)
        t.join()

    t_two, t_one, _, _ = interleaved(two_threads, one_thread, reps)
    return ["detect 0.8 in 2 threads (2 images)", img.name, ms(t_two), "1 thread, in turn",
            ms(t_one), ratio(t_two, t_one), str(reps),
            f"throughput x{t_one / t_two:.2f}; one call already uses every worker"]


SUBPROCESS_TIMING = r"""
import json, os, statistics, sys, time
import numpy as np
os.sched_setaffinity(0, set(json.loads(sys.argv[1])))
import linora
src = np.load(sys.argv[2])
m = json.loads(sys.argv[3])
reps = int(sys.argv[4])
out = {}
for f in ("bilinear", "lanczos3"):
    linora.warp_rgb(src, m, 1.0, 0.0, 0.0, f)
    ts = []
    for _ in range(reps):
        t0 = time.perf_counter()
        linora.warp_rgb(src, m, 1.0, 0.0, 0.0, f)
        ts.append(time.perf_counter() - t0)
    out[f] = ts
print(json.dumps(out))
"""


def worker_rows(img: Image, quick: bool) -> list[Row]:
    cpus = sorted(os.sched_getaffinity(0))
    if len(cpus) < 2:
        return [["warp_rgb 2 workers vs 1", img.name, "n/a", "", "n/a", "n/a", "0",
                 "only one CPU available"]]
    path = CACHE / f"bench-rgb-{img.shape[1]}x{img.shape[0]}.npy"
    CACHE.mkdir(parents=True, exist_ok=True)
    np.save(path, img.rgb)
    h, w = img.shape
    m = json.dumps([float(v) for v in perspective(h, w).ravel()])
    reps = 1 if quick else 7
    times: dict[int, dict[str, list[float]]] = {1: {}, 2: {}}
    # Alternate the two configurations so that load changes hit both.
    for _ in range(1 if quick else 2):
        for n in (1, 2):
            res = subprocess.run([sys.executable, "-c", SUBPROCESS_TIMING, json.dumps(cpus[:n]),
                                  str(path), m, str(reps)], check=True, capture_output=True,
                                 text=True)
            for f, ts in json.loads(res.stdout).items():
                times[n].setdefault(f, []).extend(ts)
    rows = []
    for f in ("bilinear", "lanczos3"):
        t2, t1 = statistics.median(times[2][f]), statistics.median(times[1][f])
        rows.append([f"warp_rgb {f} uint8, 2 workers", img.name, ms(t2), "1 worker (1 CPU)",
                     ms(t1), ratio(t2, t1), str(len(times[2][f])), "target <= 0.6"])
    return rows


SUBPROCESS_MEMORY = r"""
import json, resource, sys
import numpy as np
import linora
gray = np.load(sys.argv[1])
def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key + ":"):
            return int(line.split()[1]) * 1024
    return None
linora.detect(gray[:64, :64])  # creates the worker pool and the NumPy API
try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets the peak to the current resident size
    before = status("VmRSS")
    how = "VmHWM"
except OSError:
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    how = "ru_maxrss"
segs = linora.detect(gray, float(sys.argv[2]))
after = status("VmHWM") if how == "VmHWM" else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({"increase": after - before, "how": how, "segments": len(segs)}))
"""


def memory_rows(img: Image) -> list[Row]:
    gray = img.gray
    path = CACHE / f"bench-gray-{gray.shape[1]}x{gray.shape[0]}.npy"
    CACHE.mkdir(parents=True, exist_ok=True)
    np.save(path, gray)
    rows = []
    for scale in (0.8, 1.0):
        res = subprocess.run([sys.executable, "-c", SUBPROCESS_MEMORY, str(path), str(scale)],
                             check=True, capture_output=True, text=True)
        r = json.loads(res.stdout)
        per_px = r["increase"] / gray.size
        rows.append([f"detect uint8 scale {scale}: peak RSS increase", img.name,
                     f"{per_px:.1f} B/px", "", "", "", "1",
                     f"{r['increase'] / 2**20:.0f} MiB by {r['how']} (target <= 16 B/px at 0.8)"])
    return rows


# --------------------------------------------------------------------------
# detect on photographs
# --------------------------------------------------------------------------

# scikit-image's photographs (stereo_motorcycle's left view as
# "motorcycle_left"), taken to 8-bit gray.
PHOTOGRAPHS = ("motorcycle_left", "rocket", "coffee", "astronaut", "camera", "chelsea", "retina",
               "hubble_deep_field", "brick")
PHOTO_SIZES: tuple[tuple[int, int] | None, ...] = (None, (1920, 1080), (3840, 2160))
PHOTO_SCALE = 0.8


def photograph(name: str) -> np.ndarray:
    import skimage.data

    a = skimage.data.stereo_motorcycle()[0] if name == "motorcycle_left" else \
        getattr(skimage.data, name)()
    a = np.asarray(a)
    if a.ndim == 3:
        a = scenes.gray_of(np.ascontiguousarray(a[..., :3]))
    return np.ascontiguousarray(a.astype(np.uint8))


def resized(gray: np.ndarray, size: tuple[int, int]) -> tuple[np.ndarray, str]:
    """gray resized to size = (width, height) by one fixed method: OpenCV's
    INTER_AREA when the area shrinks, INTER_CUBIC when it grows (scikit-image's
    cubic resize without OpenCV); returns the image and the method's name."""
    w, h = size
    shrink = w * h < gray.shape[0] * gray.shape[1]
    if cv2 is not None:
        method = "cv2-area" if shrink else "cv2-cubic"
        out = cv2.resize(gray, (w, h), interpolation=cv2.INTER_AREA if shrink else cv2.INTER_CUBIC)
        return np.ascontiguousarray(out), method
    out = skimage.transform.resize(gray, (h, w), order=3, anti_aliasing=shrink,
                                   preserve_range=True)
    return np.clip(np.rint(out), 0, 255).astype(np.uint8), "sk-cubic"


@dataclass
class Photo:
    name: str
    size: str  # "native" or "WxH"
    path: Path  # cached gray image (.npy)
    shape: tuple[int, int]


def photographs(quick: bool) -> list[Photo]:
    """The photographs as cached gray .npy files; in quick mode two at native
    size only."""
    if skimage is None:
        return []
    names = PHOTOGRAPHS[1:3] if quick else PHOTOGRAPHS
    sizes = PHOTO_SIZES[:1] if quick else PHOTO_SIZES
    CACHE.mkdir(parents=True, exist_ok=True)
    out = []
    for size in sizes:
        for name in names:
            gray = None
            if size is None:
                path = CACHE / f"photo-{name}-native.npy"
                label = "native"
            else:
                method = "sk-cubic" if cv2 is None else "cv2"
                path = CACHE / f"photo-{name}-{size[0]}x{size[1]}-{method}.npy"
                label = f"{size[0]}x{size[1]}"
            if not path.exists():
                gray = photograph(name)
                if size is not None:
                    gray, _ = resized(gray, size)
                tmp = path.with_suffix(".tmp.npy")
                np.save(tmp, gray)
                tmp.replace(path)
            shape = np.load(path, mmap_mode="r").shape
            out.append(Photo(name, label, path, (int(shape[0]), int(shape[1]))))
    return out


# Times linora and both LSD refinements on each image, interleaved (the
# order rotates with the repetition), after one warm-up call each. Run in a
# subprocess, with argv[1] naming the CPUs it may use (none: all), set before
# linora's worker pool exists. Prints, per image, every wall and CPU
# (process) time and the segment counts.
PHOTO_TIMING = r"""
import json, os, statistics, sys, time
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
cpus = json.loads(sys.argv[1])
if cpus:
    os.sched_setaffinity(0, set(cpus))
import numpy as np
import linora
try:
    import cv2
    cv2.createLineSegmentDetector().detect(np.zeros((8, 8), np.uint8))
except Exception:
    cv2 = None
scale, reps = float(sys.argv[2]), json.loads(sys.argv[3])
out = []
for path, n in zip(json.loads(sys.argv[4]), reps):
    gray = np.load(path)
    fns = {"ours": lambda: linora.detect(gray, scale)}
    if cv2 is not None:
        for key, mode in (("adv", cv2.LSD_REFINE_ADV), ("std", cv2.LSD_REFINE_STD)):
            lsd = cv2.createLineSegmentDetector(mode, scale)
            fns[key] = lambda lsd=lsd: lsd.detect(gray)
        # The fast line detector (opencv-contrib), with its defaults, on
        # the full-size image: what users pick when LSD is too slow.
        if hasattr(cv2, "ximgproc"):
            fld = cv2.ximgproc.createFastLineDetector()
            fns["fld"] = lambda fld=fld: fld.detect(gray)
    counts = {}
    for key, fn in fns.items():
        r = fn()
        if key == "ours":
            counts[key] = len(r)
        elif key == "fld":
            counts[key] = 0 if r is None else len(r)
        else:
            counts[key] = 0 if r[0] is None else len(r[0])
    wall = {k: [] for k in fns}
    cpu = {k: [] for k in fns}
    keys = list(fns)
    for i in range(n):
        for key in keys[i % len(keys):] + keys[:i % len(keys)]:
            c0, t0 = time.process_time(), time.perf_counter()
            fns[key]()
            wall[key].append(time.perf_counter() - t0)
            cpu[key].append(time.process_time() - c0)
    out.append({"wall": wall, "cpu": cpu, "segments": counts})
print(json.dumps(out))
"""


def photo_reps(shape: tuple[int, int], quick: bool) -> int:
    if quick:
        return 1
    px = shape[0] * shape[1]
    return 9 if px <= 2_500_000 else 5


# The machine's speed drifts by a tenth or more over minutes (shared memory
# system): the runs with all workers and with one CPU alternate in rounds,
# and the two-thread pairs are timed in each round too, so that the ratios
# between them compare times taken close together.
PHOTO_ROUNDS = 3


def time_photos(photos: list[Photo], cpus: list[int], reps: list[int]) -> list[dict]:
    res = subprocess.run([sys.executable, "-c", PHOTO_TIMING, json.dumps(cpus), str(PHOTO_SCALE),
                          json.dumps(reps), json.dumps([str(p.path) for p in photos])],
                         check=True, capture_output=True, text=True)
    return json.loads(res.stdout)


def merge_rounds(rounds: list[list[dict]]) -> list[dict]:
    """Per image, the medians over the samples of every round."""
    out = []
    for runs in zip(*rounds):
        out.append({what: {k: statistics.median(v for r in runs for v in r[what][k])
                           for k in runs[0][what]} for what in ("wall", "cpu")}
                   | {"segments": runs[0]["segments"]})
    return out


# Two threads each detecting one of two photographs, against one thread
# detecting both in turn; all workers. Median wall times of interleaved runs.
def pair_times(a: Photo, b: Photo, reps: int) -> tuple[float, float]:
    ga, gb = np.load(a.path), np.load(b.path)

    def one_thread():
        linora.detect(ga, PHOTO_SCALE)
        linora.detect(gb, PHOTO_SCALE)

    def two_threads():
        t = threading.Thread(target=linora.detect, args=(gb, PHOTO_SCALE))
        t.start()
        linora.detect(ga, PHOTO_SCALE)
        t.join()

    t_two, t_one, _, _ = interleaved(two_threads, one_thread, reps)
    return t_two, t_one


def fmt_ratio(v: float | None) -> str:
    return "n/a" if v is None else f"{v:.2f}"


def photo_table(quick: bool) -> list[str]:
    photos = photographs(quick)
    if not photos:
        return ["detect on photographs: n/a (scikit-image is not installed)"]
    cpus = sorted(os.sched_getaffinity(0))
    rounds = 1 if quick else PHOTO_ROUNDS
    reps = [max(1, -(-photo_reps(p.shape, quick) // rounds)) for p in photos]
    # Two threads, two photographs of the group the targets name (1920 x
    # 1080; native sizes in quick mode): throughput against one processor
    # doing both in turn, and against one thread (all workers) doing both.
    target = "native" if quick else "1920x1080"
    idx = [i for i, p in enumerate(photos) if p.size == target]
    pairs = [(idx[i], idx[(i + 1) % len(idx)]) for i in range(len(idx) if len(idx) > 2 else 1)]
    full_rounds, one_rounds, pair_rounds = [], [], []
    for _ in range(rounds):
        # All workers in a fresh process too, so that both runs start alike.
        full_rounds.append(time_photos(photos, [], reps))
        one_rounds.append(time_photos(photos, cpus[:1], reps))
        pair_rounds.append([pair_times(photos[i], photos[j], 1 if quick else 2) for i, j in pairs])
    full, one = merge_rounds(full_rounds), merge_rounds(one_rounds)
    head = ["image", "size", "segments ours/ADV/STD/FLD", "all workers", "/ADV", "/STD", "/FLD",
            "1 CPU", "/ADV", "/STD", "CPU per MP", "/ADV", "/STD", "1 CPU / all"]
    rows: list[list[str]] = []
    groups: dict[str, list[dict[str, float | None]]] = {}

    def rel(r: dict, what: str, key: str) -> float | None:
        v = r[what].get(key)
        return None if v is None or v == 0 else r[what]["ours"] / v

    for p, f, o in zip(photos, full, one):
        mp = p.shape[0] * p.shape[1] / 1e6
        seg = f["segments"]
        ratios = {
            "full_adv": rel(f, "wall", "adv"), "full_std": rel(f, "wall", "std"),
            "full_fld": rel(f, "wall", "fld"),
            "one_adv": rel(o, "wall", "adv"), "one_std": rel(o, "wall", "std"),
            "cpu_adv": rel(f, "cpu", "adv"), "cpu_std": rel(f, "cpu", "std"),
            "speedup": o["wall"]["ours"] / f["wall"]["ours"],
        }
        groups.setdefault(p.size, []).append(ratios)
        rows.append([p.name, f"{p.shape[1]}x{p.shape[0]}",
                     f"{seg['ours']}/{seg.get('adv', '-')}/{seg.get('std', '-')}/{seg.get('fld', '-')}",
                     ms(f["wall"]["ours"]), fmt_ratio(ratios["full_adv"]),
                     fmt_ratio(ratios["full_std"]), fmt_ratio(ratios["full_fld"]),
                     ms(o["wall"]["ours"]),
                     fmt_ratio(ratios["one_adv"]), fmt_ratio(ratios["one_std"]),
                     f"{f['cpu']['ours'] * 1e3 / mp:.1f} ms", fmt_ratio(ratios["cpu_adv"]),
                     fmt_ratio(ratios["cpu_std"]), f"x{ratios['speedup']:.2f}"])

    def median_of(rs: list[dict], key: str) -> float | None:
        vals = [r[key] for r in rs if r[key] is not None]
        return statistics.median(vals) if vals else None

    for size, rs in groups.items():
        rows.append([f"median of {len(rs)}", size, "", "", fmt_ratio(median_of(rs, "full_adv")),
                     fmt_ratio(median_of(rs, "full_std")), fmt_ratio(median_of(rs, "full_fld")), "",
                     fmt_ratio(median_of(rs, "one_adv")),
                     fmt_ratio(median_of(rs, "one_std")), "", fmt_ratio(median_of(rs, "cpu_adv")),
                     fmt_ratio(median_of(rs, "cpu_std")),
                     f"x{median_of(rs, 'speedup'):.2f}"])

    # Each pair against the one-CPU times of its own round.
    vs_one_cpu, vs_one_thread = [], []
    for one_r, pairs_r in zip(one_rounds, pair_rounds):
        for (i, j), (t_two, t_one) in zip(pairs, pairs_r):
            one_i = statistics.median(one_r[i]["wall"]["ours"])
            one_j = statistics.median(one_r[j]["wall"]["ours"])
            vs_one_cpu.append((one_i + one_j) / t_two)
            vs_one_thread.append(t_one / t_two)
    lines = ["detect uint8, scale 0.8, on scikit-image's photographs: times of linora and ratios "
             "linora / OpenCV LSD (REFINE_ADV, REFINE_STD) and fast line detector (FLD, "
             "defaults, full size), medians of interleaved runs", ""]
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head))]
    fmt = lambda r: "  ".join(c.ljust(widths[i]) if i < 3 else c.rjust(widths[i])  # noqa: E731
                              for i, c in enumerate(r)).rstrip()
    lines += [fmt(head), "  ".join("-" * n for n in widths)] + [fmt(r) for r in rows]
    lines += ["", f"two threads detecting two {target} photographs at once ({len(pairs)} pairs "
              f"x {rounds} rounds, median): throughput x{statistics.median(vs_one_cpu):.2f} that of one processor "
              f"doing both (target >= 1.9), x{statistics.median(vs_one_thread):.2f} that of one "
              f"thread with all workers"]
    return lines


# --------------------------------------------------------------------------


def print_table(rows: list[Row]) -> None:
    head = ["operation", "image", "linora", "peer", "peer time", "ratio", "reps", "notes"]
    widths = [max(len(r[i]) for r in rows + [head]) for i in range(len(head))]
    right = {2, 4, 5, 6}

    def fmt(r: Row) -> str:
        return "  ".join(c.rjust(widths[i]) if i in right else c.ljust(widths[i])
                         for i, c in enumerate(r)).rstrip()

    print(fmt(head))
    print("  ".join("-" * n for n in widths))
    for r in rows:
        print(fmt(r))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true",
                    help="tiny images and one repetition (a smoke test, not a measurement)")
    ap.add_argument("--photos", action="store_true",
                    help="only the table of detection on photographs")
    args = ap.parse_args()
    quick = args.quick

    print(f"linora from {Path(linora.__file__).parent} | "
          f"OpenCV {cv2.__version__ if cv2 is not None else 'not installed'} | "
          f"scikit-image {skimage.__version__ if skimage is not None else 'not installed'} | "
          f"NumPy {np.__version__} | Python {sys.version.split()[0]} | "
          f"{len(os.sched_getaffinity(0))} CPUs", flush=True)
    if cv2 is not None and not lsd_available():
        print("note: this OpenCV build has no LineSegmentDetector; detection is compared "
              "with scikit-image's probabilistic Hough transform instead")
    if args.photos:
        print("\n".join(photo_table(quick)))
        return 0
    imgs = images(quick)
    rows: list[Row] = []
    for img in imgs:
        rows += detect_rows(img, quick)
    for img in imgs:
        rows += resample_rows(img, quick)
    mid = imgs[1]
    rows.append(thread_row(mid, quick))
    rows += worker_rows(mid, quick)
    rows += memory_rows(imgs[-1])
    print()
    print("ratio = linora / peer (below 1: linora is faster); medians of interleaved runs")
    print_table(rows)
    print()
    print("\n".join(photo_table(quick)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
