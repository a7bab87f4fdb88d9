"""Threads, processes and the worker pool: results never depend on who computes them."""

import hashlib
import os
import subprocess
import sys
import threading
import warnings

import numpy as np
import pytest

import linora

SANITIZED = os.environ.get("LINORA_SANITIZED") == "1"


def _scene(seed, h=120, w=160):
    """A gray image with a few bright rotated bars on a noisy background."""
    rng = np.random.default_rng(seed)
    ys, xs = np.mgrid[0:h, 0:w].astype(np.float64)
    img = rng.normal(60.0, 6.0, (h, w))
    for _ in range(4):
        cx, cy = rng.uniform(20, w - 20), rng.uniform(20, h - 20)
        t = rng.uniform(0, np.pi)
        along = (xs - cx) * np.cos(t) + (ys - cy) * np.sin(t)
        across = -(xs - cx) * np.sin(t) + (ys - cy) * np.cos(t)
        img[(np.abs(along) < rng.uniform(15, 50)) & (np.abs(across) < 3)] += 120
    return np.clip(img, 0, 255).astype(np.uint8)


def _all_calls(seed):
    """One call of every function on inputs derived from `seed`, with both
    sample types and filters, and a strided image."""
    gray = _scene(seed)
    rgb = np.stack([gray, gray[::-1], 255 - gray], axis=2).copy()
    rgb16 = rgb.astype(np.uint16) * 257
    rng = np.random.default_rng(seed + 1000)
    h, w = gray.shape
    mx = (rng.uniform(-2, w + 1, (90, 70))).astype(np.float32)
    my = (rng.uniform(-2, h + 1, (90, 70))).astype(np.float32)
    inv = [0.9, 0.1, 3.0, -0.05, 1.1, -2.0, 1e-4, 2e-4, 1.0]
    return [
        ("detect", lambda: linora.detect(gray)),
        ("detect1", lambda: linora.detect(gray.astype(np.float32), 1.0)),
        ("detect_strided", lambda: linora.detect(gray.T)),
        ("warp_b", lambda: linora.warp_rgb(rgb, inv, 1.3, 0.5, -1.0)),
        ("warp_l", lambda: linora.warp_rgb(rgb16, inv, 0.7, 0, 0, "lanczos3")),
        ("remap_rgb", lambda: linora.remap_rgb(rgb, mx, my, "lanczos3")),
        ("remap_rgb16", lambda: linora.remap_rgb(rgb16, mx, my, "bilinear")),
        ("remap_gray", lambda: linora.remap_gray(gray, mx, my)),
    ]


def _digest(result):
    if isinstance(result, np.ndarray):
        return hashlib.sha256(result.tobytes() + str(result.shape).encode()).hexdigest()
    fields = [(s.x1, s.y1, s.x2, s.y2, s.width, s.precision, s.log_nfa) for s in result]
    return hashlib.sha256(np.array(fields, dtype=np.float64).tobytes()).hexdigest()


def _digests(seeds):
    return {(seed, name): _digest(call()) for seed in seeds for name, call in _all_calls(seed)}


def _run_all(threads):
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def test_concurrent_threads_match_sequential_results():
    seeds = range(4)
    expected = _digests(seeds)
    got = {}
    errors = []

    def worker(seed):
        try:
            for _ in range(3):
                for name, call in _all_calls(seed):
                    d = _digest(call())
                    if got.setdefault((seed, name), d) != d:
                        errors.append(("unstable", seed, name))
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(s,)) for s in seeds for _ in range(2)]
    _run_all(threads)
    assert errors == []
    assert got == expected


def _raising_calls(seed):
    """Calls that raise, one of each kind, on inputs derived from `seed`; the
    two internal errors are raised inside the computation (the second from a
    row of a parallel loop)."""
    rng = np.random.default_rng(seed)
    rgb = rng.integers(0, 256, (60, 50, 3), dtype=np.uint8)
    inv = [1, 0, 0, 0, 1, 0, 0, 0, 1]
    on_edge = np.full((40, 30), np.nan, np.float32)
    return [
        ("zero_width", lambda: linora.warp_rgb(rgb, inv, 1.0, 0, 0, out_size=(0, 80))),
        ("empty_source", lambda: linora.remap_gray(np.zeros((0, 9), np.uint8), on_edge,
                                                   on_edge)),
        ("too_large", lambda: linora.warp_rgb(rgb, inv, 1.0, 0, 0, out_size=(2**45, 2**45))),
        ("filter", lambda: linora.remap_rgb(rgb, on_edge, on_edge, "cubic")),
        ("overflow", lambda: linora.warp_rgb(rgb, inv, 1.0, 0, 0, out_size=(-1, 4))),
        ("scale", lambda: linora.detect(rgb[:, :, 0], "x")),
        ("dtype", lambda: linora.detect(rgb[:, :, 0].astype(np.int16))),
    ]


def _outcome(call):
    try:
        return _digest(call())
    except BaseException as e:  # noqa: BLE001 - the outcome is what we compare
        return (type(e).__name__, str(e), getattr(e, "__notes__", None))


def test_threads_interleaving_raising_and_returning_calls_match_sequential_results():
    seeds = range(4)
    calls = {seed: _all_calls(seed) + _raising_calls(seed) for seed in seeds}
    expected = {(seed, name): _outcome(call) for seed in seeds for name, call in calls[seed]}
    kinds = {v[0] for v in expected.values() if isinstance(v, tuple)}
    assert kinds == {"InternalError", "MemoryError", "ValueError", "OverflowError", "TypeError"}
    got = {}
    errors = []

    def worker(seed, order):
        try:
            for name, call in order:
                o = _outcome(call)
                if got.setdefault((seed, name), o) != o:
                    errors.append(("unstable", seed, name))
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = []
    for seed in seeds:
        for t in range(2):
            # Each thread runs the calls of its seed three times, in its own order.
            order = [c for _ in range(3) for c in calls[seed]]
            np.random.default_rng(100 * seed + t).shuffle(order)
            threads.append(threading.Thread(target=worker, args=(seed, order)))
    _run_all(threads)
    assert errors == []
    assert got == expected


_CHILD = r"""
import os, sys, json
cpus = json.loads(sys.argv[1])
if cpus:
    os.sched_setaffinity(0, cpus)
sys.path[:0] = json.loads(sys.argv[2])
import test_threads
print(json.dumps(sorted((f"{k[0]}:{k[1]}", v) for k, v in test_threads._digests(range(3)).items())))
"""


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity"), reason="needs CPU affinity control")
def test_results_do_not_depend_on_worker_count():
    here = os.path.dirname(os.path.abspath(__file__))
    paths = [here] + [p for p in sys.path if p]
    import json

    def run(cpus):
        out = subprocess.run(
            [sys.executable, "-c", _CHILD, json.dumps(cpus), json.dumps(paths)],
            check=True, capture_output=True, text=True, timeout=300,
        )
        return out.stdout

    one = run([sorted(os.sched_getaffinity(0))[0]])
    every = run([])
    assert one == every
    assert len(one) > 100


@pytest.mark.forks_with_threads
@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_recreates_the_pool():
    expected = _digests([7])  # the pool exists and is busy-capable in the parent now
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
        pid = os.fork()
    if pid == 0:  # child: every function must work and agree with the parent
        status = 1
        try:
            import signal

            signal.alarm(120)  # a deadlocked pool ends the child instead of the test run
            status = 0 if _digests([7]) == expected else 2
        finally:
            os._exit(status)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status


@pytest.mark.forks_with_threads
def test_multiprocessing_fork_start_method():
    import multiprocessing

    expected = _digests([3])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        ctx = multiprocessing.get_context("fork")
        with ctx.Pool(2) as pool:
            results = pool.map(_digests, [[3], [3]], chunksize=1)
    assert results == [expected, expected]


@pytest.mark.forks_with_threads
@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_fork_while_other_threads_run_loops():
    """Forking while another thread is inside a parallel loop must not leave the
    child with a pool lock held by a thread that does not exist there."""
    rgb = np.zeros((300, 200, 3), np.uint8)
    inv = [1, 0, 0, 0, 1, 0, 0, 0, 1]
    stop = threading.Event()

    def busy():
        while not stop.is_set():
            linora.warp_rgb(rgb, inv, 1.0, 0.0, 0.0)

    t = threading.Thread(target=busy)
    t.start()
    try:
        for _ in range(20):
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)
                pid = os.fork()
            if pid == 0:
                status = 1
                try:
                    import signal

                    signal.alarm(30)
                    out = linora.warp_rgb(rgb + 1, inv, 1.0, 0.0, 0.0)
                    status = 0 if (out == 1).all() else 2
                finally:
                    os._exit(status)
            _, status = os.waitpid(pid, 0)
            assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status
    finally:
        stop.set()
        t.join()


# A daemon thread that loops over one function while the interpreter exits:
# the interpreter ends the thread when it re-attaches after (or, on the main
# thread's signal checks, during) a call, which must not crash the process.
_EXIT_CHILD = r"""
import sys, threading, time
import numpy as np
import linora

gray = np.zeros((1200, 1200), np.uint8)
gray[:, 600:] = 200
rgb = np.zeros((1200, 1200, 3), np.uint8)
m = np.full((1200, 1200), 3.3, np.float32)
call = {
    "detect": lambda: linora.detect(gray),
    "warp_rgb": lambda: linora.warp_rgb(rgb, [1, 0, 0, 0, 1, 0, 0, 0, 1], 1, 0, 0, "lanczos3"),
    "remap_rgb": lambda: linora.remap_rgb(rgb, m, m, "lanczos3"),
}[sys.argv[1]]
threading.Thread(target=lambda: [call() for _ in iter(int, 1)], daemon=True).start()
time.sleep(0.3)
sys.exit(0)
"""


# Each case starts twenty interpreters: under emulation only detect's runs,
# for the platform's unwinding of the ended thread.
@pytest.mark.parametrize("function", [
    "detect",
    pytest.param("warp_rgb", marks=pytest.mark.slow_under_emulation),
    pytest.param("remap_rgb", marks=pytest.mark.slow_under_emulation),
])
def test_interpreter_exit_while_a_daemon_thread_is_in_a_call(function):
    statuses = []
    for _ in range(4):  # 20 runs, 5 at a time
        children = [subprocess.Popen([sys.executable, "-c", _EXIT_CHILD, function],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                    for _ in range(5)]
        for child in children:
            _, err = child.communicate(timeout=60)
            statuses.append((child.returncode, err.decode()[-300:]))
    assert statuses == [(0, "")] * 20


# Thread creation refused by the system: RLIMIT_NPROC, which binds an
# unprivileged user only, so the child drops to a user of its own first: a
# uid that no account has and no other process runs as (derived from its
# pid). With a shared user such as nobody, the tasks of other processes count
# against the limit too, and when one of those (another run of this test)
# ended between the count and the pool's thread creation, the pool started
# more workers than the limit was meant to allow. The pool keeps the workers
# it could start (none, then one), the calling thread does the rest, and a
# loop a second later starts the workers refused before.
_NPROC_CHILD = r"""
import json, os, resource, time
import numpy as np
import linora

def threads():
    with open("/proc/self/status") as f:
        return int(f.read().split("Threads:")[1].split()[0])

src = np.arange(40 * 60, dtype=np.uint16).reshape(40, 60)
my, mx = np.mgrid[0:40, 0:60].astype(np.float32)
mirror = 59 - mx  # samples at whole positions: exact
linora.detect(np.zeros((2, 2)))  # NumPy access happens before the user change; no pool yet

uid = 0x40000000 + os.getpid()
os.setgid(65534)
os.setuid(uid)
base = threads()
others = 0  # tasks of that user elsewhere would count against the limit too
for pid in filter(str.isdigit, os.listdir("/proc")):
    try:
        with open(f"/proc/{pid}/status") as f:
            st = f.read()
    except OSError:
        continue
    if int(pid) != os.getpid() and int(st.split("Uid:")[1].split()[0]) == uid:
        others += int(st.split("Threads:")[1].split()[0])
hard = resource.getrlimit(resource.RLIMIT_NPROC)[1]

report = {"wanted": len(os.sched_getaffinity(0))}
for step, soft in (("none", others + base), ("one", others + base + 1), ("all", hard)):
    resource.setrlimit(resource.RLIMIT_NPROC, (soft, hard))
    if step != "none":
        time.sleep(1.1)
    try:
        ok = bool((linora.remap_gray(src, mirror, my) == src[:, ::-1]).all())
    except BaseException as e:
        ok = f"{type(e).__name__}: {e}"
    report[step] = [ok, threads() - base]
print(json.dumps(report))
"""


@pytest.mark.counts_threads
@pytest.mark.skipif(not sys.platform.startswith("linux") or os.geteuid() != 0,
                    reason="needs Linux and root (to run the child as a user with a task limit)")
def test_pool_keeps_the_workers_it_could_start_and_retries_later():
    import json

    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1")
    out = subprocess.run([sys.executable, "-c", _NPROC_CHILD], capture_output=True, text=True,
                         timeout=120, env=env, cwd="/")
    assert out.returncode == 0, out.stderr[-2000:]
    report = json.loads(out.stdout.strip().splitlines()[-1])
    wanted = report["wanted"]
    assert report == {"wanted": wanted, "none": [True, 0], "one": [True, min(1, wanted)],
                      "all": [True, wanted]}


# Memory exhaustion: the address space limited to a little above what the
# child uses, then calls on the main thread and on new threads (each new
# thread's first C++ exception, the pool's workers started under the limit).
# Every call returns its result or raises MemoryError; the process is never
# ended by the C library for want of thread-local storage.
_MEMORY_CHILD = r"""
import resource, sys, threading
import numpy as np
import linora

extra_mb, warm = int(sys.argv[1]), sys.argv[2] == "warm"
img = (np.random.default_rng(1).random((700, 900)) * 255).astype(np.uint8)
img[100:600, 200:700] //= 2
rgb = np.ascontiguousarray(np.dstack([img, img, img]))
mx = np.zeros((500, 500), np.float32)
if warm:
    linora.detect(img[:50, :50].copy())  # the pool starts before the limit
with open("/proc/self/status") as f:
    vm = int(f.read().split("VmSize:")[1].split()[0]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (vm + (extra_mb << 20), resource.RLIM_INFINITY))

def calls():
    for call in (lambda: linora.detect(img, 1.0),
                 lambda: linora.warp_rgb(rgb, [1, 0.1, 0, 0, 1, 0, 0, 0, 1], 1.3, 0, 0,
                                         "lanczos3"),
                 lambda: linora.remap_gray(img, mx, mx + 1)):
        try:
            call()
        except MemoryError:
            pass

calls()
threads = []
for _ in range(3):
    try:
        threads.append(threading.Thread(target=calls))
        threads[-1].start()
    except (RuntimeError, MemoryError):
        threads.pop()
for t in threads:
    t.join()
print("done")
"""


@pytest.mark.limits_address_space
@pytest.mark.skipif(SANITIZED or not sys.platform.startswith("linux"),
                    reason="needs Linux; the sanitizers reserve the address space themselves")
def test_memory_exhaustion_never_ends_the_process():
    failures = []
    for warm in ("cold", "warm"):
        for extra_mb in range(16 if warm == "cold" else 18, 80, 4):
            out = subprocess.run([sys.executable, "-c", _MEMORY_CHILD, str(extra_mb), warm],
                                 capture_output=True, text=True, timeout=120)
            if out.returncode != 0 or out.stdout.split() != ["done"]:
                failures.append((extra_mb, warm, out.returncode, out.stderr[-300:]))
    assert failures == []
