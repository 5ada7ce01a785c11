"""Realistic layer plans: sliced parts hatched in the usual scan strategies
and recorded the ways scanner and melt-pool logs record them, with the scan
line of every point known.

A part is a slice of a solid: an outer outline and holes, with straight and
curved edges (a disc with an off-centre hole, an L-shaped bracket with a
rounded inner corner and a round hole, thin walls, small parts, a plate with a
lattice of holes). A layer hatches its parts in one of three strategies:

- `meander_layer`: each part filled by one meander at one hatch angle;
- `stripe_layer`: each part cut into parallel stripes, each stripe filled by
  a meander of short lines across it;
- `island_layer`: each part cut into square islands (checkerboard); the hatch
  direction turns by 90 degrees from one island to the next.

The scanner moves along the plan in time: marking at the marking speed,
jumping at the jump speed, with the optional delays (standing still at line
starts and ends) and skywriting (the line's direction kept for a while before
and after it, laser off). A line that crosses a hole is one line with a jump
in it; neighbouring lines are joined by turn-arounds that overshoot the line
ends a little; regions and parts are joined by straight jumps; every part
gets a contour pass around its outline and holes, after its hatch or before
it. The position is sampled at a fixed rate over the whole path (so samples
fall anywhere on a line, not at its ends), optionally only while the laser
is on, with Gaussian noise, in millimetres or any other unit: see
`Recording`. The default recording is 100 kHz, marking at 1000 mm/s, jumps
at 4000 mm/s, everything recorded, millimetres.

`own_id_share` measures a numbering against the plan: see there.
"""
from __future__ import annotations

import dataclasses
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
# The line of a contour's moves while the path is built.
CONTOUR = -2
# Vertices of the curve of one turn-around.
TURN_VERTICES = 17


@dataclass(frozen=True)
class Recording:
    """How a layer's path is recorded.

    `rate_hz`: samples per second. `mark_speed`, `jump_speed`: mm/s.
    `unit`: the coordinates are millimetres times this (1000 gives
    micrometres, 0.001 metres). `delay`: samples the position stands still at
    the start and at the end of every scan line. `skywriting`: mm of run-up
    before and run-out after every scan line, at marking speed, laser off.
    `laser_on_only`: only samples taken while the laser is on are recorded
    (lines, contours and the delays at line ends), so nothing lies between
    one line and the next. `contours_first`: every part's contours before its
    hatch. `noise`: standard deviation in mm of Gaussian noise on x and y.
    """

    rate_hz: float = RATE_HZ
    mark_speed: float = MARK_SPEED
    jump_speed: float = JUMP_SPEED
    unit: float = 1.0
    delay: int = 0
    skywriting: float = 0.0
    laser_on_only: bool = False
    contours_first: bool = False
    noise: float = 0.0
    seed: int = 0


BASE = Recording()


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


def _rectangle(cx: float, cy: float, width: float, height: float, angle: float = 0.0) -> Floats:
    """The corners of a `width` x `height` rectangle centred on (cx, cy),
    turned by `angle` degrees, counter-clockwise."""
    corners = np.array([[-1, -1], [1, -1], [1, 1], [-1, 1]]) * [width / 2, height / 2]
    c, s = _rotation(angle)
    return np.column_stack([cx + corners[:, 0] * c - corners[:, 1] * s,
                            cy + corners[:, 0] * s + corners[:, 1] * c])


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


def thin_walls() -> list[Part]:
    """Walls a few lines thick: a straight one 0.6 mm thick, one 1 mm thick
    turned by 40 degrees, and a ring 0.8 mm thick."""
    return [Part((_rectangle(0.0, 0.0, 10.0, 0.6),)),
            Part((_rectangle(1.0, 4.0, 8.0, 1.0, 40.0),)),
            Part((_circle(9.0, 3.0, 3.2), _circle(9.0, 3.0, 2.4, reverse=True)))]


def small_parts(rows: int = 3, columns: int = 4, pitch: float = 3.5) -> list[Part]:
    """A grid of small parts, 2 mm squares and discs of 2 mm, alternately."""
    parts = []
    for i in range(rows):
        for j in range(columns):
            cx, cy = j * pitch, i * pitch
            if (i + j) % 2:
                parts.append(Part((_circle(cx, cy, 1.0, 96),)))
            else:
                parts.append(Part((_rectangle(cx, cy, 2.0, 2.0, 15.0 * i),)))
    return parts


def hole_lattice(width: float = 12.0, height: float = 8.0, pitch: float = 2.0,
                 hole: float = 0.55) -> list[Part]:
    """A plate with a lattice of round holes, so that most lines cross several."""
    holes = tuple(_circle(x, y, hole, 64, reverse=True)
                  for x in np.arange(-width / 2 + pitch, width / 2 - pitch / 2, pitch)
                  for y in np.arange(-height / 2 + pitch, height / 2 - pitch / 2, pitch))
    return [Part((_rectangle(0.0, 0.0, width, height),) + holes)]


SHAPES = {"default": default_parts, "thin walls": thin_walls, "small parts": small_parts,
          "hole lattice": hole_lattice}


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


def _intervals(rings: list[Floats], u: float, low: float, high: float,
               shortest: float) -> list[tuple[float, float]]:
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
        if hi - lo > shortest:
            pieces.append((lo, hi))
    return pieces


class _Path:
    """The scanner's path as moves in time, with the ground truth of every
    move: straight pieces from vertex to vertex, each at its own speed (or a
    stop of a given duration), laser on or off."""

    def __init__(self, recording: Recording, hatch: float) -> None:
        self.recording = recording
        self.hatch = hatch
        self.x: list[Floats] = []
        self.y: list[Floats] = []
        self.seconds: list[Floats] = []   # duration of the move that ends at each vertex
        self.line: list[Ints] = []        # of the move that ends at each vertex
        self.region: list[Ints] = []
        self.laser: list[NDArray[np.bool_]] = []
        self.recorded: list[NDArray[np.bool_]] = []   # seen by a laser-on-only log
        self.last: tuple[float, float] | None = None
        self.lines = 0
        self.regions = 0

    def _append(self, x: Floats, y: Floats, seconds: Floats, line: int, region: int,
                laser: bool, recorded: bool) -> None:
        self.x.append(x)
        self.y.append(y)
        self.seconds.append(seconds)
        self.line.append(np.full(len(x), line, dtype=np.int64))
        self.region.append(np.full(len(x), region, dtype=np.int64))
        self.laser.append(np.full(len(x), laser))
        self.recorded.append(np.full(len(x), recorded))
        self.last = (float(x[-1]), float(y[-1]))

    def move(self, x: Floats, y: Floats, speed: float, line: int = -1, region: int = -1,
             laser: bool = False) -> None:
        """Along the polyline through (x, y), from the last vertex on."""
        x, y = np.asarray(x, float), np.asarray(y, float)
        if len(x) == 0:
            return
        if self.last is None:
            self.last = (float(x[0]), float(y[0]))
            self._append(x[:1], y[:1], np.zeros(1), line, region, laser, laser)
            x, y = x[1:], y[1:]
            if len(x) == 0:
                return
        px = np.concatenate([[self.last[0]], x])
        py = np.concatenate([[self.last[1]], y])
        seconds = np.hypot(np.diff(px), np.diff(py)) / speed
        self._append(x, y, seconds, line, region, laser, laser)

    def stand(self, samples: int) -> None:
        """Standing still for `samples` sampling periods; a laser-on-only
        log records it too."""
        if samples > 0 and self.last is not None:
            self._append(np.array([self.last[0]]), np.array([self.last[1]]),
                         np.array([samples / self.recording.rate_hz]), -1, -1, False, True)

    def jump_to(self, x: float, y: float) -> None:
        self.move(np.array([x]), np.array([y]), self.recording.jump_speed)

    def sample(self, angles: list[float]) -> "Layer":
        rec = self.recording
        x = np.concatenate(self.x)
        y = np.concatenate(self.y)
        ends = np.cumsum(np.concatenate(self.seconds))
        line, region = np.concatenate(self.line), np.concatenate(self.region)
        laser, recorded = np.concatenate(self.laser), np.concatenate(self.recorded)
        period = 1.0 / rec.rate_hz
        t = np.arange(int(math.floor(ends[-1] / period)) + 1) * period
        # Sample k lies on the move that ends at vertex `at`, which started at
        # vertex at - 1.
        at = np.clip(np.searchsorted(ends, t, side="left"), 1, len(ends) - 1)
        start = ends[at - 1]
        span = ends[at] - start
        f = np.where(span > 0, np.clip((t - start) / np.where(span > 0, span, 1.0), 0.0, 1.0),
                     1.0)
        sx = x[at - 1] + (x[at] - x[at - 1]) * f
        sy = y[at - 1] + (y[at] - y[at - 1]) * f
        sline = np.where(laser[at], line[at], -1)
        sregion = np.where(laser[at], region[at], -1)
        keep = recorded[at] if rec.laser_on_only else np.ones(len(t), dtype=bool)
        sx, sy, sline, sregion = sx[keep], sy[keep], sline[keep], sregion[keep]
        contour = sline == CONTOUR
        sline[contour] = -1
        if rec.noise > 0:
            rng = np.random.default_rng(rec.seed)
            sx = sx + rng.normal(0.0, rec.noise, len(sx))
            sy = sy + rng.normal(0.0, rec.noise, len(sy))
        if rec.unit != 1.0:
            sx, sy = sx * rec.unit, sy * rec.unit
        return Layer(sx, sy, sline, sregion, tuple(angles), rec, contour)


def _hatch_region(path: _Path, rings_xy: list[Floats], angle: float,
                  clip: tuple[float, float, float, float] | None) -> bool:
    """One meander of lines at `angle` over the rings, optionally clipped to
    the frame rectangle (u0, u1, v0, v1); one region of the ground truth.
    Whether it holds a line."""
    rec, hatch = path.recording, path.hatch
    rings = [to_frame(r, angle) for r in rings_xy]
    us = np.concatenate([r[:, 0] for r in rings])
    vs = np.concatenate([r[:, 1] for r in rings])
    u0, u1, v0, v1 = (us.min(), us.max(), vs.min(), vs.max()) if clip is None else clip
    shortest = 2.0 * rec.mark_speed / rec.rate_hz
    lines = []
    k = math.floor(u0 / hatch)
    while (k + 0.5) * hatch < u1:
        u = (k + 0.5) * hatch
        k += 1
        if u <= u0:
            continue
        pieces = _intervals(rings, u, v0, v1, shortest)
        if pieces:
            lines.append((u, pieces))
    if not lines:
        return False
    region = path.regions
    path.regions += 1
    sky = rec.skywriting

    def go(u: Floats, v: Floats, speed: float, line: int = -1, laser: bool = False) -> None:
        x, y = from_frame(np.asarray(u, float), np.asarray(v, float), angle)
        path.move(x, y, speed, line, region if laser else -1, laser)

    previous_end: tuple[float, float] | None = None
    for i, (u, pieces) in enumerate(lines):
        upward = i % 2 == 0
        if not upward:
            pieces = [(hi, lo) for lo, hi in reversed(pieces)]
        sense = 1.0 if upward else -1.0
        start = (u, pieces[0][0] - sense * sky)
        if previous_end is None:
            x, y = from_frame(np.array([start[0]]), np.array([start[1]]), angle)
            path.jump_to(float(x[0]), float(y[0]))
        else:
            _turn_around(path, previous_end, start, angle, overshoot_up=not upward)
        if sky > 0:   # run-up
            go([u], [pieces[0][0]], rec.mark_speed)
        path.stand(rec.delay)
        line = path.lines
        path.lines += 1
        for j, (a, b) in enumerate(pieces):
            if j > 0:   # a jump along the line across a hole
                go([u], [a], rec.jump_speed)
            go([u], [b], rec.mark_speed, line, laser=True)
        path.stand(rec.delay)
        if sky > 0:   # run-out
            go([u], [pieces[-1][1] + sense * sky], rec.mark_speed)
        previous_end = (u, pieces[-1][1] + sense * sky)
    return True


def _turn_around(path: _Path, end: tuple[float, float], start: tuple[float, float],
                 angle: float, overshoot_up: bool) -> None:
    """From the end of one line to the start of the next, overshooting the
    line ends by half a hatch spacing, at jump speed."""
    bulge = path.hatch / 2 * (1.0 if overshoot_up else -1.0)
    t = np.linspace(0.0, 1.0, TURN_VERTICES)[1:]
    u = end[0] + (start[0] - end[0]) * t
    v = end[1] + (start[1] - end[1]) * t + bulge * np.sin(np.pi * t)
    x, y = from_frame(u, v, angle)
    path.move(x, y, path.recording.jump_speed)


def _contour(path: _Path, part: Part) -> None:
    for ring in part.rings:
        closed = np.vstack([ring, ring[:1]])
        path.jump_to(float(closed[0, 0]), float(closed[0, 1]))
        path.move(closed[1:, 0], closed[1:, 1], path.recording.mark_speed, line=CONTOUR,
                  laser=True)


# -------------------------------------------------------------------- layers

@dataclass(frozen=True)
class Layer:
    """x and y of every recorded point in acquisition order; for every point
    the scan line (numbered 0, 1, ... over the layer) and the region (a
    meander, stripe or island, numbered likewise) whose hatch it marks, or -1
    for turn-arounds, jumps, delays and contours; the hatch direction of every
    region in degrees; how the layer was recorded; and which points mark a
    contour."""

    x: Floats
    y: Floats
    line: Ints
    region: Ints
    angles: tuple[float, ...]
    recording: Recording = BASE
    contour: NDArray[np.bool_] | None = None

    def __len__(self) -> int:
        return len(self.x)

    @property
    def lines(self) -> int:
        return int(self.line.max()) + 1 if len(self.line) else 0


def _recording(recording: Recording | None, noise: float | None, seed: int | None) -> Recording:
    rec = recording or BASE
    if noise is not None:
        rec = dataclasses.replace(rec, noise=noise)
    if seed is not None:
        rec = dataclasses.replace(rec, seed=seed)
    return rec


def _layer(parts: list[Part], recording: Recording, hatch: float, hatch_part) -> Layer:
    path = _Path(recording, hatch)
    angles: list[float] = []
    for part in parts:
        if recording.contours_first:
            _contour(path, part)
        angles.extend(hatch_part(path, part))
        if not recording.contours_first:
            _contour(path, part)
    return path.sample(angles)


def meander_layer(angle: float, *, parts: list[Part] | None = None, hatch: float = HATCH,
                  recording: Recording | None = None, noise: float | None = None,
                  seed: int | None = None, frame: bool = False) -> Layer:
    """Every part filled by one meander of lines at `angle` degrees, then
    contoured. `frame=True` gives the same plan in its own hatch frame, where
    the lines run along y at exactly constant x (the plan rotated by
    90 - `angle` degrees). `noise` and `seed` replace those of `recording`."""
    rec = _recording(recording, noise, seed)
    parts = parts or default_parts()
    if frame:
        parts = [Part(tuple(to_frame(r, angle) for r in part.rings)) for part in parts]
    direction = 90.0 if frame else angle

    def hatch_part(path: _Path, part: Part) -> list[float]:
        return [direction] if _hatch_region(path, list(part.rings), direction, None) else []

    return _layer(parts, rec, hatch, hatch_part)


def stripe_layer(angle: float, *, width: float = 4.0, parts: list[Part] | None = None,
                 hatch: float = HATCH, recording: Recording | None = None,
                 noise: float | None = None, seed: int | None = None) -> Layer:
    """Every part cut into stripes `width` wide; the lines, at `angle`
    degrees, run across the stripes; the stripes are filled one after
    another, each by its own meander. Then the contours."""
    rec = _recording(recording, noise, seed)

    def hatch_part(path: _Path, part: Part) -> list[float]:
        rings = [to_frame(r, angle) for r in part.rings]
        us = np.concatenate([r[:, 0] for r in rings])
        vs = np.concatenate([r[:, 1] for r in rings])
        angles = []
        v = math.floor(vs.min() / width) * width
        while v < vs.max():
            if _hatch_region(path, list(part.rings), angle, (us.min(), us.max(), v, v + width)):
                angles.append(angle)
            v += width
        return angles

    return _layer(parts or default_parts(), rec, hatch, hatch_part)


def island_layer(angle: float, *, size: float = 4.0, parts: list[Part] | None = None,
                 hatch: float = HATCH, recording: Recording | None = None,
                 noise: float | None = None, seed: int | None = None) -> Layer:
    """Every part cut into square islands `size` wide on a grid turned by
    `angle`; in checkerboard order the islands are hatched at `angle` and
    `angle` + 90 degrees in turn, row by row, each by its own meander. Then
    the contours."""
    rec = _recording(recording, noise, seed)

    def hatch_part(path: _Path, part: Part) -> list[float]:
        grid = [to_frame(r, angle) for r in part.rings]
        us = np.concatenate([r[:, 0] for r in grid])
        vs = np.concatenate([r[:, 1] for r in grid])
        i0, i1 = math.floor(us.min() / size), math.ceil(us.max() / size)
        j0, j1 = math.floor(vs.min() / size), math.ceil(vs.max() / size)
        angles = []
        for row, j in enumerate(range(j0, j1)):
            columns = list(range(i0, i1))
            if row % 2:
                columns.reverse()
            for i in columns:
                direction = angle + 90.0 * ((i + j) % 2)
                # The island's square in the frame of its own hatch.
                corners = np.array([[i, j], [i + 1, j], [i + 1, j + 1], [i, j + 1]]) * size
                corners_xy = np.column_stack(from_frame(corners[:, 0], corners[:, 1], angle))
                box = to_frame(corners_xy, direction)
                clip = (box[:, 0].min(), box[:, 0].max(), box[:, 1].min(), box[:, 1].max())
                if _hatch_region(path, list(part.rings), direction, clip):
                    angles.append(direction % 180.0)
        return angles

    return _layer(parts or default_parts(), rec, hatch, hatch_part)


# ------------------------------------------------------------------- scoring

def own_id_share(layer: Layer, labels: NDArray[np.int32], min_samples: int = 0) -> float:
    """The share of the plan's scan lines that get an id of their own.

    Each scan line of the plan (all marking points at one hatch position in
    one pass of a meander, a jump across a hole included) counts once, if it
    has at least `min_samples` recorded marking points. Its interior is its
    marking points without the first and the last tenth of them. A line gets
    an id of its own when every point of its interior carries one and the
    same id (not -1), and no point of any other line's interior carries that
    id.
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
    counted = counts >= max(min_samples, 1)
    return float(np.count_nonzero(own & counted)) / max(int(np.count_nonzero(counted)), 1)
