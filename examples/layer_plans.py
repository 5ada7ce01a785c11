"""Realistic layer plans: sliced parts hatched in the usual scan strategies
and recorded at 100 kHz, with the scan line of every point known.

A part is a slice of a solid: an outer outline and holes, with straight and
curved edges (a disc with an off-centre hole, an L-shaped bracket with a
rounded inner corner and a round hole). A layer hatches its parts in one of
three strategies, always with 0.1 mm between neighbouring lines:

- `meander_layer`: each part filled by one meander at one hatch angle;
- `stripe_layer`: each part cut into parallel stripes, each stripe filled by
  a meander of short lines across it;
- `island_layer`: each part cut into square islands (checkerboard); the hatch
  direction turns by 90 degrees from one island to the next.

Along the path the scanner is sampled at 100 kHz: marking at 1000 mm/s
(0.01 mm between samples), jumps at 4000 mm/s (0.04 mm). A line that
crosses a hole is one line with a jump in it; neighbouring lines are joined
by turn-arounds that overshoot the line ends a little; regions and parts are
joined by straight jumps; after its hatch every part gets a contour pass
around its outline and holes. Units are millimetres.

`own_id_share` measures a numbering against the plan: see there.
"""
from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

Floats = NDArray[np.float64]
Ints = NDArray[np.int64]

RATE_HZ = 100_000.0
MARK_SPEED = 1000.0
JUMP_SPEED = 4000.0
MARK_STEP = MARK_SPEED / RATE_HZ   # 0.01 mm
JUMP_STEP = JUMP_SPEED / RATE_HZ   # 0.04 mm
HATCH = 0.1


# --------------------------------------------------------------------- parts

@dataclass(frozen=True)
class Part:
    """Closed outlines (k, 2) of a slice: the outer one first, then holes."""

    rings: tuple[Floats, ...]


def _circle(cx: float, cy: float, r: float, segments: int = 256,
            reverse: bool = False) -> Floats:
    t = np.linspace(0.0, 2.0 * np.pi, segments, endpoint=False)
    if reverse:
        t = t[::-1]
    return np.column_stack([cx + r * np.cos(t), cy + r * np.sin(t)])


def disc_with_hole(cx: float = 0.0, cy: float = 0.0, radius: float = 5.0,
                   hole: float = 1.5) -> Part:
    """A disc with a round hole off its centre."""
    return Part((_circle(cx, cy, radius), _circle(cx + 0.35 * radius, cy + 0.2 * radius,
                                                   hole, reverse=True)))


def l_bracket(x0: float = 0.0, y0: float = 0.0, width: float = 12.0, height: float = 9.0,
              arm: float = 4.5, fillet: float = 1.5, hole: float = 1.2) -> Part:
    """An L: a foot `width` long and an upright `arm` wide, both `arm` thick,
    with a rounded inner corner of radius `fillet` and a round hole in the
    foot."""
    a = np.radians(np.linspace(270.0, 180.0, 24))
    corner = np.column_stack([x0 + arm + fillet + fillet * np.cos(a),
                              y0 + arm + fillet + fillet * np.sin(a)])
    outline = np.vstack([
        [[x0, y0], [x0 + width, y0], [x0 + width, y0 + arm]],
        corner,
        [[x0 + arm, y0 + height], [x0, y0 + height]],
    ])
    return Part((outline, _circle(x0 + width - 2.2, y0 + arm / 2, hole, reverse=True)))


def default_parts() -> list[Part]:
    """The parts of the generated layers: a disc with a hole and an L-bracket
    beside it."""
    return [disc_with_hole(0.0, 0.0), l_bracket(6.5, -4.5)]


# ----------------------------------------------------------------- hatching

def _rotation(phi_deg: float) -> tuple[float, float]:
    """cos and sin of phi, exact for multiples of 90 degrees."""
    quarter = phi_deg / 90.0
    if quarter == round(quarter):
        return [(1.0, 0.0), (0.0, 1.0), (-1.0, 0.0), (0.0, -1.0)][int(round(quarter)) % 4]
    phi = math.radians(phi_deg)
    return math.cos(phi), math.sin(phi)


def to_frame(points: Floats, angle: float) -> Floats:
    """xy -> the hatch frame (u, v) in which lines of direction `angle` run
    along v."""
    c, s = _rotation(angle - 90.0)
    return np.column_stack([points[:, 0] * c + points[:, 1] * s,
                            -points[:, 0] * s + points[:, 1] * c])


def from_frame(u: Floats, v: Floats, angle: float) -> tuple[Floats, Floats]:
    c, s = _rotation(angle - 90.0)
    if (c, s) == (1.0, 0.0):
        return u.copy(), v.copy()
    return u * c - v * s, u * s + v * c


def _intervals(rings: list[Floats], u: float, low: float, high: float) -> list[tuple[float, float]]:
    """The pieces of the line at u (running along v) inside the rings
    (even-odd rule), clipped to [low, high], in increasing v."""
    crossings: list[float] = []
    for ring in rings:
        a = ring
        b = np.roll(ring, -1, axis=0)
        hit = (a[:, 0] <= u) != (b[:, 0] <= u)
        if np.any(hit):
            t = (u - a[hit, 0]) / (b[hit, 0] - a[hit, 0])
            crossings.extend((a[hit, 1] + t * (b[hit, 1] - a[hit, 1])).tolist())
    crossings.sort()
    pieces = []
    for lo, hi in zip(crossings[0::2], crossings[1::2]):
        lo, hi = max(lo, low), min(hi, high)
        if hi - lo > MARK_STEP:
            pieces.append((lo, hi))
    return pieces


class _Path:
    """Builds a recorded path point by point, with the ground truth."""

    def __init__(self) -> None:
        self.u: list[Floats] = []
        self.v: list[Floats] = []
        self.line: list[Ints] = []
        self.region: list[Ints] = []
        self.angle: list[float] = []
        self.last: tuple[float, float] | None = None
        self.lines = 0
        self.regions = 0

    def add(self, u: Floats, v: Floats, angle: float, line: int = -1, region: int = -1) -> None:
        if len(u) == 0:
            return
        x, y = from_frame(np.asarray(u, float), np.asarray(v, float), angle)
        self.u.append(x)
        self.v.append(y)
        self.line.append(np.full(len(x), line, dtype=np.int64))
        self.region.append(np.full(len(x), region, dtype=np.int64))
        self.last = (float(x[-1]), float(y[-1]))

    def jump_to(self, x: float, y: float) -> None:
        """A straight jump from the last point to (x, y), both ends excluded."""
        if self.last is None:
            return
        x0, y0 = self.last
        count = int(math.ceil(math.hypot(x - x0, y - y0) / JUMP_STEP))
        if count > 1:
            t = np.linspace(0.0, 1.0, count + 1)[1:-1]
            self.add(x0 + (x - x0) * t, y0 + (y - y0) * t, 90.0)


def _hatch_region(path: _Path, rings_xy: list[Floats], angle: float,
                  clip: tuple[float, float, float, float] | None) -> None:
    """One meander of lines at `angle` over the rings, optionally clipped to
    the frame rectangle (u0, u1, v0, v1); one region of the ground truth."""
    rings = [to_frame(r, angle) for r in rings_xy]
    us = np.concatenate([r[:, 0] for r in rings])
    vs = np.concatenate([r[:, 1] for r in rings])
    u0, u1, v0, v1 = (us.min(), us.max(), vs.min(), vs.max()) if clip is None else clip
    first = math.floor(u0 / HATCH)
    lines = []
    k = first
    while (k + 0.5) * HATCH < u1:
        u = (k + 0.5) * HATCH
        k += 1
        if u <= u0:
            continue
        pieces = _intervals(rings, u, v0, v1)
        if pieces:
            lines.append((u, pieces))
    if not lines:
        return
    region = path.regions
    path.regions += 1
    previous_end: tuple[float, float] | None = None
    for i, (u, pieces) in enumerate(lines):
        upward = i % 2 == 0
        if not upward:
            pieces = [(hi, lo) for lo, hi in reversed(pieces)]
        start = (u, pieces[0][0])
        if previous_end is None:
            x, y = from_frame(np.array([start[0]]), np.array([start[1]]), angle)
            path.jump_to(float(x[0]), float(y[0]))
        else:
            _turn_around(path, previous_end, start, angle, overshoot_up=not upward)
        line = path.lines
        path.lines += 1
        for j, (a, b) in enumerate(pieces):
            if j > 0:   # a jump along the line across a hole
                prev_b = pieces[j - 1][1]
                count = int(math.ceil(abs(a - prev_b) / JUMP_STEP))
                t = np.linspace(0.0, 1.0, count + 1)[1:-1]
                path.add(np.full(len(t), u), prev_b + (a - prev_b) * t, angle)
            count = max(2, int(round(abs(b - a) / MARK_STEP)) + 1)
            path.add(np.full(count, u), np.linspace(a, b, count), angle, line, region)
        previous_end = (u, pieces[-1][1])


def _turn_around(path: _Path, end: tuple[float, float], start: tuple[float, float],
                 angle: float, overshoot_up: bool) -> None:
    """From the end of one line to the start of the next, overshooting the
    line ends by half a hatch spacing, at jump speed."""
    bulge = HATCH / 2 * (1.0 if overshoot_up else -1.0)
    length = math.hypot(start[0] - end[0], start[1] - end[1]) + 2 * abs(bulge)
    count = max(3, int(math.ceil(length / JUMP_STEP)))
    t = np.linspace(0.0, 1.0, count + 2)[1:-1]
    u = end[0] + (start[0] - end[0]) * t
    v = end[1] + (start[1] - end[1]) * t + bulge * np.sin(np.pi * t)
    path.add(u, v, angle)


def _contour(path: _Path, part: Part) -> None:
    for ring in part.rings:
        closed = np.vstack([ring, ring[:1]])
        seg = np.hypot(*np.diff(closed, axis=0).T)
        s = np.concatenate([[0.0], np.cumsum(seg)])
        t = np.arange(0.0, s[-1], MARK_STEP)
        x = np.interp(t, s, closed[:, 0])
        y = np.interp(t, s, closed[:, 1])
        path.jump_to(float(x[0]), float(y[0]))
        path.add(x, y, 90.0)


# -------------------------------------------------------------------- layers

@dataclass(frozen=True)
class Layer:
    """x and y of every recorded point in acquisition order; for every point
    the scan line (numbered 0, 1, ... over the layer) and the region (a
    meander, stripe or island, numbered likewise) whose hatch it marks, or -1
    for turn-arounds, jumps and contours; and the hatch direction of every
    region in degrees."""

    x: Floats
    y: Floats
    line: Ints
    region: Ints
    angles: tuple[float, ...]

    def __len__(self) -> int:
        return len(self.x)

    @property
    def lines(self) -> int:
        return int(self.line.max()) + 1 if len(self.line) else 0


def _finish(path: _Path, angles: list[float], noise: float, seed: int) -> Layer:
    x = np.concatenate(path.u)
    y = np.concatenate(path.v)
    if noise > 0:
        rng = np.random.default_rng(seed)
        x = x + rng.normal(0.0, noise, len(x))
        y = y + rng.normal(0.0, noise, len(y))
    return Layer(x, y, np.concatenate(path.line), np.concatenate(path.region), tuple(angles))


def meander_layer(angle: float, *, parts: list[Part] | None = None, noise: float = 0.0,
                  seed: int = 0, frame: bool = False) -> Layer:
    """Every part filled by one meander of lines at `angle` degrees, then
    contoured. `frame=True` gives the same plan in its own hatch frame, where
    the lines run along y at exactly constant x (the plan rotated by
    90 - `angle` degrees)."""
    path = _Path()
    angles = []
    for part in parts or default_parts():
        rings = list(part.rings)
        if frame:
            rings = [to_frame(r, angle) for r in rings]
        _hatch_region(path, rings, 90.0 if frame else angle, None)
        angles.append(90.0 if frame else angle)
        _contour(path, Part(tuple(rings)))
    return _finish(path, angles, noise, seed)


def stripe_layer(angle: float, *, width: float = 4.0, parts: list[Part] | None = None,
                 noise: float = 0.0, seed: int = 0) -> Layer:
    """Every part cut into stripes `width` wide; the lines, at `angle`
    degrees, run across the stripes; the stripes are filled one after
    another, each by its own meander. Then the contours."""
    path = _Path()
    angles = []
    for part in parts or default_parts():
        rings = [to_frame(r, angle) for r in part.rings]
        us = np.concatenate([r[:, 0] for r in rings])
        vs = np.concatenate([r[:, 1] for r in rings])
        v = math.floor(vs.min() / width) * width
        while v < vs.max():
            before = path.regions
            _hatch_region(path, list(part.rings), angle, (us.min(), us.max(), v, v + width))
            if path.regions > before:
                angles.append(angle)
            v += width
        _contour(path, part)
    return _finish(path, angles, noise, seed)


def island_layer(angle: float, *, size: float = 4.0, parts: list[Part] | None = None,
                 noise: float = 0.0, seed: int = 0) -> Layer:
    """Every part cut into square islands `size` wide on a grid turned by
    `angle`; in checkerboard order the islands are hatched at `angle` and
    `angle` + 90 degrees in turn, row by row, each by its own meander. Then
    the contours."""
    path = _Path()
    angles = []
    for part in parts or default_parts():
        grid = [to_frame(r, angle) for r in part.rings]
        us = np.concatenate([r[:, 0] for r in grid])
        vs = np.concatenate([r[:, 1] for r in grid])
        i0, i1 = math.floor(us.min() / size), math.ceil(us.max() / size)
        j0, j1 = math.floor(vs.min() / size), math.ceil(vs.max() / size)
        for row, j in enumerate(range(j0, j1)):
            columns = list(range(i0, i1))
            if row % 2:
                columns.reverse()
            for i in columns:
                turn = (i + j) % 2
                direction = angle + 90.0 * turn
                # The island's square in the frame of its own hatch.
                corners = np.array([[i, j], [i + 1, j], [i + 1, j + 1], [i, j + 1]]) * size
                corners_xy = np.column_stack(from_frame(corners[:, 0], corners[:, 1], angle))
                box = to_frame(corners_xy, direction)
                clip = (box[:, 0].min(), box[:, 0].max(), box[:, 1].min(), box[:, 1].max())
                before = path.regions
                _hatch_region(path, list(part.rings), direction, clip)
                if path.regions > before:
                    angles.append(direction % 180.0)
        _contour(path, part)
    return _finish(path, angles, noise, seed)


# ------------------------------------------------------------------- scoring

def own_id_share(layer: Layer, labels: NDArray[np.int32]) -> float:
    """The share of the plan's scan lines that get an id of their own.

    Each scan line of the plan (all marking points at one hatch position in
    one pass of a meander, a jump across a hole included) counts once. Its
    interior is its marking points without the first and the last tenth of
    them. A line gets an id of its own when every point of its interior
    carries one and the same id (not -1), and no point of any other line's
    interior carries that id.
    """
    marking = np.flatnonzero(layer.line >= 0)
    if marking.size == 0:
        return 0.0
    line = layer.line[marking]
    order = np.argsort(line, kind="stable")
    line, points = line[order], marking[order]
    counts = np.bincount(line, minlength=layer.lines)
    starts = np.concatenate([[0], np.cumsum(counts)[:-1]])
    rank = np.arange(len(line)) - starts[line]
    inner = (rank >= 0.1 * counts[line]) & (rank < 0.9 * counts[line])
    line, ids = line[inner], labels[points[inner]].astype(np.int64)
    lines = layer.lines
    low = np.full(lines, np.iinfo(np.int64).max)
    high = np.full(lines, np.iinfo(np.int64).min)
    np.minimum.at(low, line, ids)
    np.maximum.at(high, line, ids)
    single = (low == high) & (low > 0)
    # How many lines carry each id anywhere in their interior.
    pairs = np.unique(np.column_stack([line, ids]), axis=0)
    pairs = pairs[pairs[:, 1] > 0]
    carriers = np.bincount(pairs[:, 1], minlength=int(max(ids.max(initial=0), 0)) + 1)
    own = single & (carriers[np.clip(low, 0, len(carriers) - 1)] == 1)
    return float(np.count_nonzero(own)) / lines
