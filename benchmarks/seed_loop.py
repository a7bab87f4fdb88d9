"""The detector's seed loop alone, in C++ (seed_loop.cpp): the sequential
loop against the parallel loop with one and with two threads, and against
every batch speculated and then committed on one thread (what the
speculation's bookkeeping costs by itself), on ab.py's six photographs at
1920 x 1080, scale 0.8. The ratios within one run drift less than the times,
but on a shared machine the two-thread speed-up still moves by a fifth from
one run to the next: compare several runs, alternating the builds.

    bash scripts/test.sh            # builds build/cpp-tests/liblinora_core.a
    python benchmarks/seed_loop.py [--rounds 5] [--build build/cpp-tests]
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from ab import PHOTOS, resized  # noqa: E402

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--build", default=os.path.join(root, "build", "cpp-tests"))
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        for name in PHOTOS:
            np.ascontiguousarray(resized(name, grey=True), dtype=np.uint8).tofile(
                os.path.join(tmp, name + ".raw"))
        exe = os.path.join(tmp, "seed_loop")
        subprocess.run([os.environ.get("CXX", "c++"), "-std=c++20", "-O3", "-DNDEBUG",
                        "-ffp-contract=off", "-I", os.path.join(root, "src"),
                        os.path.join(root, "benchmarks", "seed_loop.cpp"),
                        os.path.join(args.build, "liblinora_core.a"), "-lpthread", "-o", exe],
                       check=True)
        subprocess.run([exe, tmp, "1920", "1080", str(args.rounds)], check=True)


if __name__ == "__main__":
    main()
