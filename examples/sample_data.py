"""Synthetic meander recordings for the examples and their tests.

A recording is what a scanner logs while the laser is on: the hatched regions
of one layer, each filled by vertical scan lines at a fixed hatch spacing,
traversed alternately upward and downward and joined by short arc-shaped
turn-arounds. The scanner's x stays exactly constant along a scan line (it is
the commanded line position); y carries a little measurement noise. Between
regions the laser is off, so nothing is recorded there and the path simply
continues at the first point of the next region.

Units are millimetres. Every function returns plain NumPy arrays, so the
recordings can be saved with `numpy.save` or written as CSV.
"""
from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import numpy as np

Bounds = Callable[[float], tuple[float, float]]


@dataclass(frozen=True)
class Region:
    """A hatched region: `lines` vertical scan lines starting at x = `x0`,
    `hatch` apart; `bounds(x)` gives the lower and upper end of the line at x."""

    x0: float
    lines: int
    hatch: float
    bounds: Bounds


@dataclass(frozen=True)
class Recording:
    """x and y of every recorded point in acquisition order, and for every
    point the region and the scan line (counted per region from 0) it was
    recorded on; turn-around points have line -1."""

    x: np.ndarray
    y: np.ndarray
    region: np.ndarray
    line: np.ndarray

    def __len__(self) -> int:
        return len(self.x)


def rectangle(y_low: float, y_high: float) -> Bounds:
    return lambda x: (y_low, y_high)


def trapezoid(x0: float, y_low: float, slope: float, y_high: float) -> Bounds:
    """Lower edge rising by `slope` per millimetre from (x0, y_low)."""
    return lambda x: (y_low + slope * (x - x0), y_high)


def meander(regions: list[Region], *, step: float = 0.01, turn_points: int = 9,
            noise: float = 0.002, seed: int = 0) -> Recording:
    """Records the regions one after another, each as one meander starting
    upward at its left edge. `step` is the distance between samples along a
    line, `turn_points` the number of samples on each turn-around and `noise`
    the standard deviation of the noise on y along the lines."""
    rng = np.random.default_rng(seed)
    xs, ys, region_of, line_of = [], [], [], []
    for r, region in enumerate(regions):
        previous = None
        for i in range(region.lines):
            line_x = region.x0 + i * region.hatch
            low, high = region.bounds(line_x)
            count = max(int(round((high - low) / step)) + 1, 2)
            y = np.linspace(low, high, count)
            if i % 2 == 1:
                y = y[::-1]
            y = y + rng.normal(0.0, noise, count)
            x = np.full(count, line_x)
            if previous is not None:
                tx, ty = _turn_around(previous, (x[0], y[0]), upward=i % 2 == 1,
                                      bulge=region.hatch / 2, points=turn_points)
                xs.append(tx)
                ys.append(ty)
                region_of.append(np.full(len(tx), r))
                line_of.append(np.full(len(tx), -1))
            xs.append(x)
            ys.append(y)
            region_of.append(np.full(count, r))
            line_of.append(np.full(count, i))
            previous = (x[-1], y[-1])
    return Recording(np.concatenate(xs), np.concatenate(ys),
                     np.concatenate(region_of), np.concatenate(line_of))


def _turn_around(start, end, *, upward, bulge, points):
    """An arc from the end of one line to the start of the next, bulging
    beyond the line ends (upward after an upward line, downward otherwise)."""
    t = np.linspace(0.0, 1.0, points + 2)[1:-1]
    x = start[0] + (end[0] - start[0]) * t
    y = start[1] + (end[1] - start[1]) * t
    y = y + (1.0 if upward else -1.0) * bulge * np.sin(np.pi * t)
    return x, y


def sample_layer(seed: int = 0) -> Recording:
    """The demo's built-in recording: one layer with three parts (a square, a
    wedge-shaped part and a flatter rectangle), 0.1 mm hatch, 69 scan
    lines, about 17 700 points."""
    hatch = 0.1
    return meander(
        [
            Region(0.0, 24, hatch, rectangle(0.0, 3.0)),
            Region(5.4, 20, hatch, trapezoid(5.4, -0.4, 0.6, 2.6)),
            Region(10.3, 25, hatch, rectangle(0.5, 2.5)),
        ],
        seed=seed,
    )


def small_layer(seed: int = 0, lines: int = 8) -> Recording:
    """A small layer for tests: one square-ish region of `lines` lines, 0.1 mm
    hatch, lines about 1 mm long; `seed` varies the noise and the line
    length a little."""
    rng = np.random.default_rng(seed)
    length = 1.0 + 0.2 * rng.random()
    return meander([Region(0.0, lines, 0.1, rectangle(0.0, length))],
                   step=0.02, turn_points=5, noise=0.001, seed=seed)


def write_layers(folder: Path | str, count: int, *, seed: int = 0,
                 lines: int = 8) -> list[Path]:
    """Writes `count` small layers as `layer_0000.npy`, … into `folder`, each
    an (n, 2) float64 array of x and y; returns the paths."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for i in range(count):
        rec = small_layer(seed + i, lines=lines)
        path = folder / f"layer_{i:04d}.npy"
        np.save(path, np.column_stack([rec.x, rec.y]))
        paths.append(path)
    return paths
