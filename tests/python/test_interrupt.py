"""Long calls on the main thread stop soon after a signal handler raises: the
handler's exception comes out of the call, calls on other threads and later
calls are unaffected."""

import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.slow_under_emulation

# Runs in a child, which receives the signals. Each case runs one long call
# with a signal sent while it computes, and reports what the call raised and
# how long after the signal. The detector case is the slowest image there is
# for the detector (a tilted plane: every candidate regrows most of the
# image), which would take hours; the resampling case is measured first and
# signalled at a third of its duration.
_CHILD = textwrap.dedent(r'''
    import json, os, signal, threading, time
    import numpy as np
    import linora

    class Timeout(Exception):
        pass

    def on_alarm(signum, frame):
        raise Timeout()

    signal.signal(signal.SIGALRM, on_alarm)
    # A process started with SIGINT ignored (a background job of a shell
    # without job control, as a CI runner may start us) keeps it ignored:
    # the interpreter installs its handler only where SIGINT had the default
    # action, and every SIGINT of this test would be dropped, its calls
    # running for hours.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    def interrupted(call, delay, signum):
        """Calls `call` with `signum` sent `delay` s after the start; returns
        the name of what it raised, the seconds from the signal to it and
        the seconds the call took."""
        sent = []
        go = threading.Event()

        # The delay counts from just before the call: starting a thread can
        # take longer than the delay on a busy machine, and a signal sent
        # while thread.start() still waited would interrupt that wait.
        def fire():
            go.wait()
            time.sleep(delay)
            sent.append(time.perf_counter())
            os.kill(os.getpid(), signum)

        thread = threading.Thread(target=fire)
        thread.start()
        start = time.perf_counter()
        try:
            try:
                go.set()
                call()
                outcome = "returned"
            finally:
                end = time.perf_counter()
        except (KeyboardInterrupt, Timeout) as e:
            outcome = type(e).__name__
        thread.join()
        return outcome, end - sent[0] if sent else None, end - start

    y, x = np.mgrid[0:2000, 0:2000]
    plane = (x * 3.7 + y * 5.1).astype(np.float32)
    gray = np.zeros((300, 300), np.uint8)
    gray[100:200, 50:250] = 200
    expected = [(s.x1, s.y1, s.x2, s.y2) for s in linora.detect(gray)]

    # Another thread is inside calls all the while (detect and a warp, which
    # share the workers with the signalled call), and its calls finish
    # normally: only the main thread runs signal handlers, and the signal
    # interrupts the main thread's call whichever thread it was delivered to.
    other = {"results": set(), "calls": 0}
    stop_other = threading.Event()
    other_src = np.zeros((600, 600, 3), np.uint8)
    other_src[200:400, 100:500] = 180
    def other_thread():
        while not stop_other.is_set():
            other["results"].add(tuple((s.x1, s.y1, s.x2, s.y2) for s in linora.detect(gray)))
            linora.warp_rgb(other_src, [1, 0, 0, 0, 1, 0, 0, 0, 1], 1, 0, 0, "lanczos3")
            other["calls"] += 1
    # A daemon, so that an exception of the main thread ends the child (with
    # its traceback) instead of leaving it waiting for this loop.
    worker = threading.Thread(target=other_thread, daemon=True)
    worker.start()

    # A warp that takes about half a second or more (larger outputs on faster
    # machines, up to 11000 x 11000). Every output pixel falls inside the
    # source: pixels outside cost next to nothing.
    src = np.arange(400 * 400 * 3, dtype=np.uint8).reshape(400, 400, 3)
    n = 4000
    while True:
        s = 390 / n
        inv = [s, s / 100, 0, 0, s, 0, 0, 0, 1]
        warp = lambda n=n, inv=inv: linora.warp_rgb(src, inv, 1, 0, 0, "lanczos3",
                                                      out_size=(n, n))
        durations = []
        for _ in range(2):
            start = time.perf_counter()
            result = warp()
            durations.append(time.perf_counter() - start)
        warped = hash(result.tobytes())
        del result
        duration = min(durations)
        if duration >= 0.5 or n >= 11000:
            break
        n = min(11000, int(n * 1.4))

    report = {
        "detect": interrupted(lambda: linora.detect(plane, 1.0), 0.5, signal.SIGINT),
        "detect_alarm": interrupted(lambda: linora.detect(plane, 1.0), 0.3, signal.SIGALRM),
        "warp": interrupted(warp, duration / 3, signal.SIGINT),
        "warp_duration": duration,
    }
    stop_other.set()
    worker.join()
    report["other_thread"] = [list(r) for r in other["results"]] == [expected]
    report["other_calls"] = other["calls"]
    report["later_detect"] = [(s.x1, s.y1, s.x2, s.y2) for s in linora.detect(gray)] == expected
    report["later_warp"] = hash(warp().tobytes()) == warped
    print(json.dumps(report))
''')


def test_signal_handlers_interrupt_long_calls():
    import json

    out = subprocess.run([sys.executable, "-c", _CHILD], capture_output=True, text=True,
                         timeout=300)
    assert out.returncode == 0, out.stderr
    report = json.loads(out.stdout.strip().splitlines()[-1])
    for case, raised in (("detect", "KeyboardInterrupt"), ("detect_alarm", "Timeout"),
                         ("warp", "KeyboardInterrupt")):
        outcome, latency, _ = report[case]
        assert outcome == raised, (case, report)
        assert latency < 0.3, (case, report)
    # Signalled at a third of its duration, the warp stopped well before its end.
    assert report["warp"][2] < 0.75 * report["warp_duration"], report
    assert report["other_thread"] and report["later_detect"] and report["later_warp"], report
    assert report["other_calls"] > 0, report
