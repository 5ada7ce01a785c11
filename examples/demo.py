"""Annotates a built-in meander recording and prints what it found."""
import time

import numpy as np

import rasterloom


def sample_recording(lines=12, points_per_line=200, turn_points=6, seed=0):
    rng = np.random.default_rng(seed)
    xs, ys = [], []
    ramp = np.linspace(0.0, 10.0, points_per_line)
    for line in range(lines):
        y = ramp if line % 2 == 0 else ramp[::-1]
        xs.append(np.full(points_per_line, 0.1 * line))
        ys.append(y + rng.normal(0.0, 1e-3, points_per_line))
        if line + 1 < lines:
            edge = 10.0 if line % 2 == 0 else 0.0
            xs.append(0.1 * line + 0.1 * np.arange(1, turn_points + 1) / (turn_points + 1))
            ys.append(np.full(turn_points, edge))
    return np.concatenate(xs), np.concatenate(ys)


def main():
    x, y = sample_recording()
    start = time.perf_counter()
    labels = rasterloom.annotate_scanlines(x, y)
    elapsed = time.perf_counter() - start
    ids = labels[labels >= 0]
    print(f"points:                   {len(labels)}")
    print(f"scanlines found:          {len(np.unique(ids))}")
    print(f"points without scanline:  {int(np.count_nonzero(labels < 0))}")
    print(f"time taken:               {elapsed * 1e3:.3f} ms")


if __name__ == "__main__":
    main()
