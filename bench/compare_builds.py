#!/usr/bin/env python3
"""Before/after timing of two builds of the module on the same benchmark arrays.

Each build is an interpreter with its own ``rasterloom`` installed (for
example a venv with an older commit installed, and the bench venv). The two
builds run alternately, one process per measurement, so that a noisy
neighbour slows both alike; each process times 7 calls on the meander of
``bench_annotate.meander`` and reports the median. The table gives the median
over ``--rounds`` processes per build and configuration.

    python bench/compare_builds.py --before /tmp/base-venv/bin/python \\
                                   --after /tmp/bench-venv/bin/python
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent

CHILD = r"""
import json, sys, time
import numpy as np
sys.path.insert(0, sys.argv[4])
from bench_annotate import meander
import rasterloom

n, line, dtype = int(sys.argv[1]), int(sys.argv[2]), np.dtype(sys.argv[3])
x, y = meander(n, line, 5, dtype)
rasterloom.annotate_scanlines(x, y)  # pool start-up and first touch
times = []
for _ in range(7):
    start = time.perf_counter()
    rasterloom.annotate_scanlines(x, y)
    times.append(time.perf_counter() - start)
print(json.dumps(sorted(times)[3]))
"""


def measure(python: str, n: int, line: int, dtype: str, threads: int | None) -> float:
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    out = subprocess.run([python, "-c", CHILD, str(n), str(line), dtype, str(BENCH_DIR)],
                         env=env, capture_output=True, text=True, check=True).stdout
    return float(json.loads(out))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", required=True, help="interpreter with the old build")
    parser.add_argument("--after", required=True, help="interpreter with the new build")
    parser.add_argument("--points", type=float, default=1e7)
    parser.add_argument("--lines", default="100,1000,10000")
    parser.add_argument("--dtypes", default="float64,float32")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    n = int(args.points)
    print("| dtype | points per line | threads | before ms | after ms | speed-up |")
    print("|---|---|---|---|---|---|")
    for dtype in args.dtypes.split(","):
        for line in (int(v) for v in args.lines.split(",")):
            for threads in (1, None):
                before, after = [], []
                for _ in range(args.rounds):
                    before.append(measure(args.before, n, line, dtype, threads))
                    after.append(measure(args.after, n, line, dtype, threads))
                b = statistics.median(before) * 1e3
                a = statistics.median(after) * 1e3
                label = "1" if threads == 1 else "default"
                print(f"| {dtype} | {line} | {label} | {b:.1f} | {a:.1f} | {b / a:.2f} |",
                      flush=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
