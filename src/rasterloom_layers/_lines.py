"""Scan lines at any angle: input checks, the hatch direction of a path, and
the straightening of the scan lines that rasterloom numbers.

Everything here works on float64 copies of the finite points; the caller's
arrays are only read.
"""
from __future__ import annotations

import math

import numpy as np
from numpy.typing import NDArray

import rasterloom

Floats = NDArray[np.float64]
Labels = NDArray[np.int32]
Mask = NDArray[np.bool_]

TYPE_MESSAGE = "x and y must both be 1D numpy arrays of float64 or float32 type"
_FLOAT_TYPES = (np.dtype(np.float64), np.dtype(np.float32))

# Chords of this many steps give the directions from which the hatch angle is
# estimated: long enough that a few micrometres of noise on 10 micrometre steps
# barely tilt them, short enough to fit into the shortest lines.
ESTIMATE_SPAN = 4
# A chord counts as straight when the path half way along it strays from it
# by at most this share of its length.
STRAIGHTNESS = 0.1
# Directions within this many degrees of the hatch direction belong to it.
DIRECTION_TOLERANCE_DEG = 4.0
MIN_ESTIMATE_CHORDS = 3
# Estimates within this many degrees of an axis are taken as the axis.
AXIS_SNAP_DEG = 1e-3


def check_pair(x: object, y: object) -> bool:
    """Whether a valid pair of coordinate arrays is float32 (else float64);
    TypeError and ValueError with rasterloom's own messages otherwise."""
    if not (isinstance(x, np.ndarray) and isinstance(y, np.ndarray)):
        raise TypeError(TYPE_MESSAGE)
    if x.ndim != 1 or y.ndim != 1 or x.dtype != y.dtype or x.dtype not in _FLOAT_TYPES:
        raise TypeError(TYPE_MESSAGE)
    if not x.dtype.isnative:
        raise TypeError(TYPE_MESSAGE)
    if x.shape[0] != y.shape[0]:
        raise ValueError(f"Input x and y length mismatch: {x.shape[0]} vs {y.shape[0]}")
    return bool(x.dtype == np.float32)


def finite_points(x: NDArray[np.floating[np.typing.NBitBase]],
                  y: NDArray[np.floating[np.typing.NBitBase]]) -> tuple[Floats, Floats, Mask]:
    """float64 copies of the points whose coordinates are both finite, and
    the mask of those points."""
    xd = np.asarray(x, dtype=np.float64)
    yd = np.asarray(y, dtype=np.float64)
    keep = np.isfinite(xd) & np.isfinite(yd)
    return xd[keep], yd[keep], keep


def check_angle(angle_deg: object) -> float:
    """A finite angle in degrees as a float; ValueError otherwise."""
    if isinstance(angle_deg, bool) or not isinstance(angle_deg, (int, float, np.integer,
                                                                  np.floating)):
        raise TypeError(f"angle_deg must be a number or None, not {type(angle_deg).__name__}")
    value = float(angle_deg)
    if not math.isfinite(value):
        raise ValueError(f"angle_deg must be finite, got {value}")
    return value


# ------------------------------------------------------------------ rotation

def rotate(x: Floats, y: Floats, angle_deg: float) -> tuple[Floats, Floats]:
    """Coordinates (u, v) in which lines of direction `angle_deg` run along v:
    v is the position along the line, u the position across the lines.
    Multiples of 90 degrees are exact (90 gives u = x, v = y)."""
    quarter = (angle_deg - 90.0) / 90.0
    if quarter == round(quarter):
        turns = int(round(quarter)) % 4
        if turns == 0:
            return x.copy(), y.copy()
        if turns == 1:   # lines along -x (180 degrees)
            return y.copy(), -x
        if turns == 2:   # lines along -y (270 degrees)
            return -x, -y
        return -y, x.copy()   # lines along +x (0 degrees)
    theta = math.radians(angle_deg)
    c, s = math.cos(theta), math.sin(theta)
    return x * s - y * c, x * c + y * s


# ---------------------------------------------------------------- directions

def _chords(x: Floats, y: Floats, span: int) -> tuple[Floats, Floats, Floats, Mask]:
    """dx, dy and length of the chord from every point to the point `span`
    steps later, and whether the path along it is straight: the point half
    way lies within a tenth of the chord's length of it."""
    if len(x) <= span:
        empty = np.zeros(0)
        return empty, empty, empty, np.zeros(0, dtype=bool)
    dx = x[span:] - x[:-span]
    dy = y[span:] - y[:-span]
    chord = np.hypot(dx, dy)
    half = span // 2
    mx = x[half:len(x) - span + half] - x[:-span]
    my = y[half:len(y) - span + half] - y[:-span]
    offset = np.abs(mx * dy - my * dx)
    straight = (chord > 0) & (offset <= STRAIGHTNESS * chord * chord)
    return dx, dy, chord, straight


def chord_span(x: Floats, y: Floats) -> int:
    """Steps per chord for direction estimates: enough that the chords are
    long against the noise of the positions."""
    if len(x) < 3:
        return ESTIMATE_SPAN
    steps = np.hypot(np.diff(x), np.diff(y))
    step = float(np.median(steps))
    if step <= 0.0:
        return ESTIMATE_SPAN
    sigma = math.hypot(noise_level(x), noise_level(y))
    return int(min(4 * ESTIMATE_SPAN, max(ESTIMATE_SPAN, math.ceil(20.0 * sigma / step))))


def direction_peaks(x: Floats, y: Floats, min_share: float = 1.0) -> list[tuple[float, float]]:
    """The main directions of the straight parts of the path as (angle in
    degrees in [0, 180), weight): peaks of a length-weighted histogram of
    chord directions, strongest first. Peaks weaker than `min_share` times the
    strongest are left out (so the default gives only the strongest)."""
    dx, dy, chord, straight = _chords(x, y, chord_span(x, y))
    if np.count_nonzero(straight) < MIN_ESTIMATE_CHORDS:
        return []
    doubled = np.mod(2.0 * np.arctan2(dy[straight], dx[straight]), 2.0 * np.pi)
    weight = chord[straight]
    bins = 720  # 0.25 degree of hatch direction per bin
    hist, _ = np.histogram(doubled, bins=bins, range=(0.0, 2.0 * np.pi), weights=weight)
    kernel = np.array([1.0, 2.0, 3.0, 2.0, 1.0])
    padded = np.concatenate([hist[-2:], hist, hist[:2]])
    smooth = np.convolve(padded, kernel, mode="valid")
    order = np.argsort(smooth)[::-1]
    suppress = int(round(2 * 10.0 / 0.5))  # peaks at least 10 degrees apart
    taken: list[int] = []
    for b in order:
        if smooth[b] <= 0 or smooth[b] < min_share * smooth[order[0]]:
            break
        if all(min(abs(int(b) - t), bins - abs(int(b) - t)) > suppress for t in taken):
            taken.append(int(b))
    peaks = []
    for b in taken:
        centre = (b + 0.5) * 2.0 * np.pi / bins
        angle, total = _refine(doubled, weight, centre)
        peaks.append((angle, total))
    return peaks


def _refine(doubled: Floats, weight: Floats, centre: float) -> tuple[float, float]:
    """Weighted mean direction of the chords within the tolerance of a
    histogram peak, in degrees in [0, 180), and their total weight."""
    window = math.radians(2.0 * DIRECTION_TOLERANCE_DEG)
    for _ in range(3):
        offset = np.angle(np.exp(1j * (doubled - centre)))
        near = np.abs(offset) < window
        if not np.any(near):
            break
        centre = centre + float(np.average(offset[near], weights=weight[near]))
    total = float(weight[np.abs(np.angle(np.exp(1j * (doubled - centre)))) < window].sum())
    return math.degrees(centre / 2.0) % 180.0, total


def estimate_angle(x: Floats, y: Floats) -> float:
    """The hatch direction of a path of finite points, in degrees in
    [0, 180); ValueError when there are too few straight pieces to tell."""
    peaks = direction_peaks(x, y)
    if not peaks:
        raise ValueError("too few points to estimate the scan line angle; "
                         "pass angle_deg")
    return snap_to_axis(refine_angle(x, y, peaks[0][0]))


def snap_to_axis(angle_deg: float) -> float:
    """An estimate this close to 0 or 90 degrees means lines along an axis,
    which are then turned exactly, without rounding."""
    for axis in (0.0, 90.0, 180.0):
        if abs(angle_deg - axis) < AXIS_SNAP_DEG:
            return axis % 180.0
    return angle_deg


def refine_angle(x: Floats, y: Floats, angle_deg: float) -> float:
    """The direction of the line stretches found with `angle_deg`: the
    slope of u over v, fitted within every stretch (without a tenth at
    either end, where a stretch may reach into a turn-around) and pooled
    over all of them."""
    for _ in range(2):
        u, v = rotate(x, y, angle_deg)
        bounds = line_stretches(u, v)
        if len(bounds) == 0:
            return angle_deg
        first, last = bounds[:, 0], bounds[:, 1]
        trim = (last - first) // 10
        first, last = first + trim, last - trim
        counts = last - first + 1
        points = _ranges(first, counts)
        which = np.repeat(np.arange(len(counts)), counts)
        su = u[points] - (np.bincount(which, weights=u[points]) / counts)[which]
        sv = v[points] - (np.bincount(which, weights=v[points]) / counts)[which]
        spread = float(np.dot(sv, sv))
        if spread <= 0.0:
            return angle_deg
        slope = float(np.dot(su, sv)) / spread
        # u growing along +v means the lines lean clockwise of angle_deg.
        angle_deg = (angle_deg - math.degrees(math.atan(slope))) % 180.0
    return angle_deg


# ----------------------------------------------------------- line stretches

def noise_level(u: Floats) -> float:
    """Standard deviation of the noise across the lines, from the second
    differences of u (most points lie on lines, where u is constant)."""
    if len(u) < 3:
        return 0.0
    d2 = np.abs(np.diff(u, 2))
    return float(1.4826 * np.median(d2) / math.sqrt(6.0))


def line_stretches(u: Floats, v: Floats) -> NDArray[np.intp]:
    """(first, last) index pairs, inclusive, of the stretches of consecutive
    points that move straight along v: the scan lines (and the jumps along a
    line across a hole). Turn-arounds and travel moves are left out."""
    n = len(u)
    if n < 2:
        return np.zeros((0, 2), dtype=np.intp)
    du = np.diff(u)
    dv = np.diff(v)
    along = np.abs(dv) > np.abs(du)
    step = float(np.median(np.abs(dv[along]))) if np.any(along) else 0.0
    if step <= 0.0:
        return np.zeros((0, 2), dtype=np.intp)
    # Noise across the lines sets how far a line may stray; noise along
    # them as well sets how many steps a chord needs to move along surely.
    sigma = noise_level(u)
    span = int(min(16, max(1, math.ceil(20.0 * max(sigma, noise_level(v)) / step))))
    scale = float(np.max(np.abs(u))) if n else 1.0
    slack = 1e-9 * (1.0 + scale)
    tilt = math.tan(math.radians(1.5))
    if span >= n:
        return np.zeros((0, 2), dtype=np.intp)
    cu = u[span:] - u[:-span]
    cv = v[span:] - v[:-span]
    # A chord along a line: it advances along v by at least half the usual
    # step per sample and strays across by no more than the noise allows.
    chord_ok = (np.abs(cv) >= 0.5 * span * step) & (
        np.abs(cu) <= 4.0 * math.sqrt(2.0) * sigma + tilt * np.abs(cv) + slack)
    # Every step inside an accepted chord is a step along a line, and every
    # step of such a chord must go the same way along v.
    step_ok = np.zeros(n - 1, dtype=bool)
    cover = np.convolve(chord_ok.astype(np.int64), np.ones(span, dtype=np.int64))[: n - 1]
    step_ok[:] = cover > 0
    # The sense of travel along v at a step: that of an accepted chord that
    # starts at it, or else of one that ends with it, or else its own.
    sense = np.sign(dv)
    chord_sense = np.sign(cv)
    index = np.arange(n - 1)
    back = index - span + 1
    has_back = back >= 0
    use_back = np.zeros(n - 1, dtype=bool)
    use_back[has_back] = chord_ok[back[has_back]]
    sense[use_back] = chord_sense[back[use_back]]
    use_ahead = np.zeros(n - 1, dtype=bool)
    use_ahead[: n - span] = chord_ok
    sense[use_ahead] = chord_sense[use_ahead[: n - span].nonzero()[0]]
    # Split where the sense along v reverses or a single step jumps across.
    jump = np.abs(du) > 5.0 * math.sqrt(2.0) * sigma + tilt * np.abs(dv) + slack
    step_ok &= ~jump & (sense != 0)
    # Runs of accepted steps with one sense: step k joins points k and k + 1.
    key = np.where(step_ok, sense, 0).astype(np.int8)
    change = np.flatnonzero(np.diff(key) != 0) + 1
    starts = np.concatenate([[0], change])
    ends = np.concatenate([change, [n - 1]])
    keep = key[starts] != 0
    starts, ends = starts[keep], ends[keep]
    # A stretch must be straight end to end as well: a gently curved contour
    # can pass every chord test on its own.
    keep = np.abs(u[ends] - u[starts]) <= (4.0 * math.sqrt(2.0) * sigma
                                           + tilt * np.abs(v[ends] - v[starts]) + slack)
    starts, ends = starts[keep], ends[keep]
    # ends[i] is one past the last step of the run: the run covers points
    # starts[i] .. ends[i].
    return np.column_stack([starts, ends]).astype(np.intp)


def straighten(u: Floats, bounds: NDArray[np.intp]) -> Floats:
    """u with one shared value (the stretch's mean, or its value when all are
    equal) for all points of every line stretch; other points unchanged."""
    out = u.copy()
    if len(bounds) == 0:
        return out
    first, last = bounds[:, 0], bounds[:, 1]
    counts = last - first + 1
    idx = np.repeat(np.arange(len(bounds)), counts)
    points = _ranges(first, counts)
    values = u[points]
    sums = np.bincount(idx, weights=values, minlength=len(bounds))
    lows = np.minimum.reduceat(values, np.concatenate([[0], np.cumsum(counts)[:-1]]))
    highs = np.maximum.reduceat(values, np.concatenate([[0], np.cumsum(counts)[:-1]]))
    shared = np.where(lows == highs, lows, sums / counts)
    out[points] = shared[idx]
    return out


def _ranges(first: NDArray[np.intp], counts: NDArray[np.intp]) -> NDArray[np.intp]:
    """The indices first[i] .. first[i] + counts[i] - 1 of every range, in order."""
    offsets = np.concatenate([[0], np.cumsum(counts)[:-1]])
    steps = np.ones(int(counts.sum()), dtype=np.intp)
    steps[offsets[1:]] = first[1:] - (first[:-1] + counts[:-1] - 1)
    steps[0] = first[0]
    return np.cumsum(steps)


# Off the lines, noisy positions are averaged over this many points on
# either side.
SMOOTH_HALF_WIDTH = 3


def smooth_between(u: Floats, v: Floats, bounds: NDArray[np.intp],
                   sigma: float, exact: float) -> tuple[Floats, Floats]:
    """Positions off the lines (turn-arounds, travel) averaged over a few
    consecutive points when the positions carry noise, so that the
    outermost point of a turn-around, which decides whether the turn is
    accepted, wanders less. `sigma` is the noise across the lines; without
    it (exact or commanded line positions: at most `exact` times the
    largest coordinate) nothing changes."""
    n = len(u)
    scale = float(np.max(np.abs(u))) + float(np.max(np.abs(v))) if n else 0.0
    if n < 3 or sigma <= exact * (1.0 + scale):
        return u, v
    on_line = np.zeros(n, dtype=bool)
    if len(bounds):
        first, last = bounds[:, 0], bounds[:, 1]
        on_line[_ranges(first, last - first + 1)] = True
    half = SMOOTH_HALF_WIDTH
    off = np.flatnonzero(~on_line[half:n - half]) + half
    su, sv = u.copy(), v.copy()
    width = 2 * half + 1
    cu = np.concatenate([[0.0], np.cumsum(u)])
    cv = np.concatenate([[0.0], np.cumsum(v)])
    su[off] = (cu[off + half + 1] - cu[off - half]) / width
    sv[off] = (cv[off + half + 1] - cv[off - half]) / width
    return su, sv


def number_rotated(x: Floats, y: Floats, angle_deg: float, single: bool) -> Labels:
    """rasterloom's labels for finite points whose lines run at `angle_deg`,
    computed in float32 when `single` (as for the caller's float32 arrays)."""
    if len(x) == 0:
        return np.zeros(0, dtype=np.int32)
    u, v = rotate(x, y, angle_deg)
    bounds = line_stretches(u, v)
    across = noise_level(u)
    u = straighten(u, bounds)
    # Below a few dozen rounding steps of the caller's precision, the
    # positions are exact.
    exact = 64.0 * float(np.finfo(np.float32 if single else np.float64).eps)
    u, v = smooth_between(u, v, bounds, across, exact)
    if single:
        return rasterloom.annotate_scanlines(np.ascontiguousarray(u, dtype=np.float32),
                                             np.ascontiguousarray(v, dtype=np.float32))
    return rasterloom.annotate_scanlines(np.ascontiguousarray(u), np.ascontiguousarray(v))
