"""Benchmark of ``rasterloom_layers.annotate_layer`` on generated real layers.

Run by hand; nothing here asserts on timings. The layers come from
``examples/layer_plans.py``: the default parts tiled until the layer holds
about the asked number of points, hatched as islands (3 mm, 67/157 degrees)
or as one meander at 67 degrees, recorded at 100 kHz with 2 micrometres of
noise (``--exact`` for none). They are written once into ``--cache``.

Every measurement runs in a fresh process (``RAYON_NUM_THREADS=1`` unless
``--threads default``): one call to warm up, then the median of ``--reps``
calls, in ns per point; in the same process the module on a clean vertical
meander of the same size (the ratio column); and the peak resident memory of
one call, as the growth of VmHWM over VmRSS right before it (the kernel's
high-water mark, reset through /proc/self/clear_refs), in bytes per point,
the result included.

    python bench/bench_layers.py --points 1e6,1e7
    python bench/bench_layers.py --package /tmp/old/src      # another build of the package
    python bench/bench_layers.py --threads 1,default --dtypes float64,float32

``--package DIR`` puts DIR first on the path of the measuring processes, so
that two builds of the package (say, the checkout's and an earlier
revision's ``src``) are measured with the same layers; ``--reference`` uses
the pure-Python implementation kept in the tests instead of the package's
native one.
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

MEASURE = r"""
import ctypes, json, os, sys, time
sys.path[:0] = [p for p in os.environ.get("BENCH_PATH", "").split(os.pathsep) if p]
import numpy as np
import rasterloom
if os.environ.get("BENCH_REFERENCE"):
    import reference_layers as impl
else:
    import rasterloom_layers as impl

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1]) * 1024
    return 0

xy = np.load(sys.argv[1])
dtype = np.dtype(sys.argv[2])
reps = int(sys.argv[3])
x, y = np.ascontiguousarray(xy[:, 0], dtype), np.ascontiguousarray(xy[:, 1], dtype)
n = len(x)
impl.annotate_layer(x, y)
times = []
for _ in range(reps):
    start = time.perf_counter()
    impl.annotate_layer(x, y)
    times.append(time.perf_counter() - start)
# The module on a clean vertical meander of the same size: lines of 995
# points, 0.1 apart, joined by 5 turn-around points.
lines = max(n // 1000, 1)
t = np.arange(1000)
along = np.where(t < 995, t * (10.0 / 994), 10.0)
across = np.where(t < 995, 0.0, (t - 994) * (0.1 / 6))
up = np.arange(lines) % 2 == 0
mx = (np.arange(lines)[:, None] * 0.1 + across[None, :]).ravel().astype(dtype)
my = np.where(up[:, None], along[None, :], 10.0 - along[None, :]).ravel().astype(dtype)
rasterloom.annotate_scanlines(mx, my)
module = []
for _ in range(reps):
    start = time.perf_counter()
    rasterloom.annotate_scanlines(mx, my)
    module.append(time.perf_counter() - start)
del mx, my
try:
    ctypes.CDLL("libc.so.6").malloc_trim(0)
except OSError:
    pass
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmRSS:")
labels = impl.annotate_layer(x, y)
peak = status("VmHWM:") - before
print(json.dumps({"n": n, "times": times, "module": module, "peak": peak,
                  "lines": int(labels.max())}))
"""


def layer_file(cache: Path, kind: str, points: float, exact: bool) -> Path:
    """The layer's (n, 2) float64 array, generated on first use."""
    name = f"{kind}-{int(points)}-{'exact' if exact else 'noisy'}.npy"
    path = cache / name
    if path.exists():
        return path
    sys.path.insert(0, str(ROOT / "examples"))
    import numpy as np
    import layer_plans

    base = layer_plans.default_parts()
    per_copy = 160_000
    copies = max(1, round(points / per_copy))
    columns = max(1, int(copies ** 0.5))
    parts = []
    for c in range(copies):
        dx, dy = 22.0 * (c % columns), 12.0 * (c // columns)
        for part in base:
            parts.append(layer_plans.Part(tuple(r + [dx, dy] for r in part.rings)))
    rec = layer_plans.Recording(noise=0.0 if exact else 0.002, seed=1)
    if kind == "islands":
        layer = layer_plans.island_layer(67.0, size=3.0, parts=parts, recording=rec)
    else:
        layer = layer_plans.meander_layer(67.0, parts=parts, recording=rec)
    cache.mkdir(parents=True, exist_ok=True)
    np.save(path, np.column_stack([layer.x, layer.y]))
    return path


def measure(path: Path, dtype: str, threads: str, reps: int, package: str | None,
            reference: bool) -> dict:
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    if threads != "default":
        env["RAYON_NUM_THREADS"] = threads
    extra = [package] if package else []
    if reference:
        extra.append(str(ROOT / "tests" / "python"))
    env["BENCH_PATH"] = os.pathsep.join(extra)
    if reference:
        env["BENCH_REFERENCE"] = "1"
    out = subprocess.run([sys.executable, "-c", MEASURE, str(path), dtype, str(reps)],
                         env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", default="1e6")
    parser.add_argument("--kinds", default="islands,meander")
    parser.add_argument("--dtypes", default="float64,float32")
    parser.add_argument("--threads", default="1")
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--exact", action="store_true")
    parser.add_argument("--package", help="a folder put first on the path, holding rasterloom_layers")
    parser.add_argument("--reference", action="store_true",
                        help="the pure-Python implementation of the tests")
    parser.add_argument("--cache", type=Path, default=ROOT / "build" / "bench" / "layers")
    args = parser.parse_args()
    print("| layer | points | dtype | threads | ns per point | module, ns per point "
          "| ratio to the module | peak bytes per point |")
    print("|---|---|---|---|---|---|---|---|")
    for points in [float(p) for p in args.points.split(",")]:
        for kind in args.kinds.split(","):
            path = layer_file(args.cache, kind, points, args.exact)
            for dtype in args.dtypes.split(","):
                for threads in args.threads.split(","):
                    r = measure(path, dtype, threads, args.reps, args.package, args.reference)
                    n = r["n"]
                    per_point = statistics.median(r["times"]) / n * 1e9
                    module = statistics.median(r["module"]) / n * 1e9
                    print(f"| {kind} | {n / 1e6:.2f}M | {dtype} | {threads} | {per_point:.1f} "
                          f"| {module:.2f} | {per_point / module:.0f} | {r['peak'] / n:.0f} |",
                          flush=True)


if __name__ == "__main__":
    main()
