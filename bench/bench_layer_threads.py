"""The compiled layer pipeline (rasterloom_layers.annotate_layer) from Python
threads: eight layers numbered by eight threads at once against the same
layers one after another, and the peak memory of one call per point.

    python bench/bench_layer_threads.py [--points 1e6] [--layers 8] [--repeat 3] [--plans]

Each layer is a vertical meander of about `--points` points (or, with
`--plans`, a realistic layer plan from examples/layer_plans.py, tiled to that
size). The speed-up is the median over `--repeat` rounds of the time one
after another divided by the time of the threads at once. The peak memory
is measured in a child process from its high-water mark of resident memory
(VmHWM, reset before the call, after the memory freed so far has gone back
to the system; Linux only) less the inputs, per point.
"""
from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]


def meander(n: int, per_line: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    lines = max(3, n // (per_line + 5))
    rng = np.random.default_rng(seed)
    ramp = np.linspace(0.0, 10.0, per_line)
    xs, ys = [], []
    for line in range(lines):
        xs.append(np.full(per_line, line * 0.1))
        ys.append((ramp if line % 2 == 0 else ramp[::-1]) + rng.normal(0.0, 1e-3, per_line))
        xs.append(line * 0.1 + np.linspace(0.02, 0.08, 5))
        ys.append(np.full(5, 10.0 if line % 2 == 0 else 0.0))
    return np.concatenate(xs), np.concatenate(ys)


def plan_layer(n: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    sys.path.insert(0, str(ROOT / "examples"))
    import layer_plans
    layer = layer_plans.island_layer(67.0 * seed, noise=0.002, seed=seed)
    copies = max(1, -(-n // len(layer.x)))
    shift = np.arange(copies).repeat(len(layer.x)) * 40.0
    return np.tile(layer.x, copies) + shift, np.tile(layer.y, copies)


def layers(args: argparse.Namespace) -> list[tuple[np.ndarray, np.ndarray]]:
    n = int(float(args.points))
    make = plan_layer if args.plans else (lambda n, k: meander(n, (200, 1000, 5000)[k % 3], k))
    return [make(n, k) for k in range(args.layers)]


def speed_up(args: argparse.Namespace) -> None:
    import rasterloom_layers
    inputs = layers(args)
    number = [lambda x=x, y=y: rasterloom_layers.annotate_layer(x, y) for x, y in inputs]
    for call in number:
        call()   # the pool and the allocator warmed up
    start = threading.Barrier(len(number))

    def together(call):
        start.wait()
        return call()

    ratios = []
    with ThreadPoolExecutor(len(number)) as executor:
        for _ in range(args.repeat):
            began = time.perf_counter()
            for call in number:
                call()
            serial = time.perf_counter() - began
            began = time.perf_counter()
            list(executor.map(together, number))
            threaded = time.perf_counter() - began
            ratios.append(serial / threaded)
            print(f"one after another {serial * 1e3:8.1f} ms, {len(number)} threads at once "
                  f"{threaded * 1e3:8.1f} ms, speed-up {serial / threaded:5.2f}")
    print(f"median speed-up {statistics.median(ratios):.2f} "
          f"({len(number)} layers of {len(inputs[0][0]):,} points)")


PEAK = """
import ctypes
import sys
import numpy as np
sys.path.insert(0, {bench!r})
import bench_layer_threads
import rasterloom_layers

def high_water():
    with open('/proc/self/status') as status:
        for line in status:
            if line.startswith('VmHWM:'):
                return int(line.split()[1]) * 1024

args = bench_layer_threads.argparse.Namespace(points={points!r}, layers=1, plans={plans!r})
x, y = bench_layer_threads.layers(args)[0]
rasterloom_layers.annotate_layer(x[:1000].copy(), y[:1000].copy())
# Memory that making the layer freed goes back to the system first, so that
# the call cannot take it from the heap unseen.
try:
    ctypes.CDLL('libc.so.6').malloc_trim(0)
except OSError:
    pass
with open('/proc/self/clear_refs', 'w') as refs:
    refs.write('5')
before = high_water()
labels = rasterloom_layers.annotate_layer(x, y)
print((high_water() - before) / len(x))
"""


def peak_memory(args: argparse.Namespace) -> None:
    code = PEAK.format(bench=str(ROOT / "bench"), points=args.points, plans=args.plans)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    print(f"peak memory of one call: {float(out.stdout):.1f} bytes per point (result included)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", default="1e6", help="points per layer")
    parser.add_argument("--layers", type=int, default=8, help="layers, one thread each")
    parser.add_argument("--repeat", type=int, default=3, help="rounds of both")
    parser.add_argument("--plans", action="store_true", help="realistic layer plans, not meanders")
    args = parser.parse_args()
    speed_up(args)
    if Path("/proc/self/clear_refs").exists():
        peak_memory(args)


if __name__ == "__main__":
    main()
