"""The reference implementation of rasterloom_layers' numbering, in NumPy:
noise and block size, hatch directions, line stretches, meander links, and
the two numberings built on them, with the package's public functions on
top. The compiled pipeline (src/layers) does the same operations in the
same order and must give the same labels bit for bit; the tests compare
the two.

Everything works on float64 copies of the finite points, moved and scaled by
powers of two into a frame where the layer spans about one unit, so that no
difference or product can overflow or underflow and no threshold depends on
the unit of the coordinates. Only the module's numbering (`all_lines=False`)
sees the caller's units again.

Every value that decides a label is computed with the basic operations in a
fixed order (sums run from the first element to the last; medians are
elements, never averages of two), so that another implementation doing the
same operations gets the same labels bit for bit.
"""
from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

import rasterloom
from rasterloom_layers._api import Coordinates, check_angle, check_pair

Floats = NDArray[np.float64]
Ints = NDArray[np.int64]
Labels = NDArray[np.int32]
Mask = NDArray[np.bool_]

# Points at most this many apart in index are looked at for the noise and
# the step: larger layers are sampled evenly.
SAMPLE_POINTS = 1 << 15
# Noise of white Gaussian positions from the median absolute second
# difference: sigma = MAD_TO_SIGMA * median / sqrt(6).
MAD_TO_SIGMA = 1.4826
# Points are averaged in blocks so long that a block's step while marking
# is this many times the noise of a block's mean.
BLOCK_STEP_TO_NOISE = 12.0
MAX_BLOCK = 4096
# Chords between two noisy points are about this many noise widths long
# where the path does not move.
CHORD_NOISE = 3.0
# A block step moves along a line when it advances along it by at least
# ADVANCE noise widths and strays across by at most STRAY noise widths plus
# the tilt.
ADVANCE = 4.0
STRAY = 4.0
TILT = math.tan(math.radians(3.0))
# Hatch directions: a length-weighted histogram of block-step directions
# (doubled angles, so that opposite senses fall together).
DIRECTION_BINS = 720
REGION_MIN_SHARE = 0.15
PEAK_SEPARATION_DEG = 10.0
REFINE_WINDOW_DEG = 6.0
REFINE_ROUNDS = 3
# Neighbouring lines of one meander lie this many of its typical spacings
# apart at most and at least.
SPACING_LOW, SPACING_HIGH = 0.6, 1.6
# Points of a turn-around this many noise widths short of its furthest
# point along the line are as far on.
TURN_TIE = 3.0
# Between two neighbouring lines lie at most this many stretches of other
# directions, none longer than this many times the lines' spacing.
MAX_BETWEEN = 4
BETWEEN_LENGTH = 2.5
# At least one of two neighbouring lines is this share of their spacing
# long (a hatch clipped by the part may leave lines shorter than it).
LINE_TO_SPACING = 0.25
# A stretch of this many block steps at most that moves this many times
# faster than its neighbour is a jump (in a log recorded only while the laser
# is on, the one step to the start of a contour), not a line.
JUMP_STEPS = 2
PACE_RATIO = 2.5
# A chain's own spacing lies within these factors of its direction's.
CHAIN_SPREAD_LOW, CHAIN_SPREAD_HIGH = 1.0 / 3.0, 3.0
# Chains of links this short are checked against the direction's typical
# spacing instead of their own.
SHORT_CHAIN = 2
# Estimates within this many degrees of an axis are taken as the axis.
AXIS_SNAP_DEG = 1e-3
# Off the lines, noisy positions are averaged over this many points on
# either side for the module's numbering.
SMOOTH_HALF_WIDTH = 3
# Noise below this many rounding steps of the caller's precision is none:
# exact, commanded or quantised positions.
EXACT_ROUNDING_STEPS = 64.0
# Coordinates beyond this many powers of two from 1 are scaled (by a power
# of two) for the module's numbering: its products of squared distances
# would overflow or vanish, and its absolute tolerance of one rounding step
# at 1 would join every point, or none.
MODULE_SAFE_EXPONENT = 40
MODULE_SAFE_EXPONENT_SINGLE = 24


# ----------------------------------------------------------------- the frame

@dataclass
class Frame:
    """The finite points of a layer, in the caller's units and in the
    normalised frame, with what the numbering needs to know of them."""

    keep: Mask          # which input points are finite
    x: Floats           # finite points, caller's units (float64)
    y: Floats
    xn: Floats          # finite points, normalised: centred, spanning about 1
    yn: Floats
    single: bool        # the caller's arrays are float32
    rounding: float     # the caller's rounding step, in normalised units


def frame_of(x: NDArray[np.floating], y: NDArray[np.floating], single: bool) -> Frame:
    xd = np.asarray(x, dtype=np.float64)
    yd = np.asarray(y, dtype=np.float64)
    keep = np.isfinite(xd) & np.isfinite(yd)
    xf, yf = xd[keep], yd[keep]
    if len(xf) == 0:
        return Frame(keep, xf, yf, xf, yf, single, 0.0)
    big = max(float(np.max(np.abs(xf))), float(np.max(np.abs(yf))))
    if big == 0.0:
        return Frame(keep, xf, yf, xf.copy(), yf.copy(), single, 0.0)
    # Powers of two scale exactly: first into (-1, 1), then, centred, so
    # that the layer spans about one unit.
    e = math.frexp(big)[1]
    xs, ys = np.ldexp(xf, -e), np.ldexp(yf, -e)
    cx = 0.5 * float(xs.min()) + 0.5 * float(xs.max())
    cy = 0.5 * float(ys.min()) + 0.5 * float(ys.max())
    xc, yc = xs - cx, ys - cy
    extent = max(float(xc.max() - xc.min()), float(yc.max() - yc.min()))
    e2 = math.frexp(extent)[1] if extent > 0.0 else 0
    eps = float(np.finfo(np.float32 if single else np.float64).eps)
    rounding = math.ldexp(eps * max(abs(xs).max(), abs(ys).max()), -e2) if extent > 0 else 0.0
    return Frame(keep, xf, yf, np.ldexp(xc, -e2), np.ldexp(yc, -e2), single, rounding)


def _upper_median(values: Floats) -> float:
    """The element at position len // 2 of the sorted values."""
    if len(values) == 0:
        return 0.0
    k = len(values) // 2
    return float(np.partition(values, k)[k])


# The chords that decide the block size, and the share of them that must
# move for their median to tell the step.
SAMPLE_CHORDS = 1 << 13
MOVING_SHARE = 0.25


def _sample_step(n: int, span: int, samples: int = SAMPLE_POINTS) -> int:
    """Stride of the evenly spaced starts of `span`-long differences looked
    at in a path of n points, `samples` of them at most (about)."""
    return max(1, (n - span) // samples)


def coordinate_noise(x: Floats) -> float:
    """Standard deviation of the noise of one coordinate, from the median
    absolute second difference (zero wherever the path moves at a constant
    velocity or stands still, noise elsewhere)."""
    n = len(x)
    if n < 3:
        return 0.0
    i = np.arange(0, n - 2, _sample_step(n, 2))
    d2 = np.abs((x[i + 2] - x[i + 1]) - (x[i + 1] - x[i]))
    return MAD_TO_SIGMA * _upper_median(d2) / math.sqrt(6.0)


def noise_level(x: Floats, y: Floats) -> float:
    """Standard deviation of the position noise, both coordinates pooled."""
    sx, sy = coordinate_noise(x), coordinate_noise(y)
    return math.sqrt(0.5 * (sx * sx + sy * sy))


def _moving_chord(x: Floats, y: Floats, span: int, sigma: float) -> float:
    """The median length of the chords over `span` points that move more
    than their ends' noise (most of them lie along lines: a jump is a few
    steps, a stop none); 0 when fewer than MOVING_SHARE of them do."""
    n = len(x)
    if n <= span:
        return 0.0
    i = np.arange(0, n - span, _sample_step(n, span, SAMPLE_CHORDS))
    dx, dy = x[i + span] - x[i], y[i + span] - y[i]
    chord = np.sqrt(dx * dx + dy * dy)
    moving = chord[chord > CHORD_NOISE * sigma]
    if len(moving) == 0 or len(moving) < MOVING_SHARE * len(chord):
        return 0.0
    return _upper_median(moving)


def block_size(x: Floats, y: Floats, sigma: float) -> int:
    """Points per block: the fewest (1, 2, 3, 4, 6, 8, 12, ...) whose mean
    moves, while marking, far more from one block to the next than its
    noise."""
    w = 1
    while w < MAX_BLOCK and 4 * w <= len(x):
        # The noise of the two ends lengthens a chord by about this much.
        chord = _moving_chord(x, y, w, sigma)
        lengthening = CHORD_NOISE * sigma
        moved = math.sqrt(max(chord * chord - lengthening * lengthening, 0.0))
        if moved >= BLOCK_STEP_TO_NOISE * sigma / math.sqrt(w):
            break
        w = w + 1 if w < 4 else w + w // 2 if w & (w - 1) == 0 else w // 3 * 4
    return w


def block_means(x: Floats, w: int) -> Floats:
    """Means of consecutive blocks of w points (the last one may be
    shorter), each summed from its first point to its last."""
    n = len(x)
    if w == 1:
        return x.copy()
    full = n // w
    sums = np.zeros(full + (1 if n % w else 0))
    for k in range(w):
        sums[:full] += x[k:full * w:w]
    if n % w:
        rest = 0.0
        for value in x[full * w:].tolist():
            rest += value
        sums[full] = rest
    counts = np.full(len(sums), float(w))
    if n % w:
        counts[-1] = n % w
    means: Floats = sums / counts
    return means


# ---------------------------------------------------------------- directions

def _pseudo_angle(a: Floats, b: Floats) -> Floats:
    """A value in [0, 4) that grows with the angle of the vector (a, b) from
    +a, counter-clockwise, a quarter turn per unit (not evenly)."""
    absum = np.abs(a) + np.abs(b)
    safe = np.where(absum > 0.0, absum, 1.0)
    upper = b >= 0.0
    right = a >= 0.0
    return np.where(upper,
                    np.where(right, b / safe, 1.0 - a / safe),
                    np.where(right, 4.0 + b / safe, 2.0 - b / safe)) % 4.0


def _degrees_of_doubled(a: float, b: float) -> float:
    """The direction in [0, 180) whose doubled angle has the vector (a, b)."""
    return (math.degrees(math.atan2(b, a)) / 2.0) % 180.0


def _doubled(dx: Floats, dy: Floats) -> tuple[Floats, Floats, Floats]:
    """Doubled-angle unit vectors of the steps and their lengths."""
    length_sq = dx * dx + dy * dy
    length = np.sqrt(length_sq)
    safe = np.where(length_sq > 0.0, length_sq, 1.0)
    return (dx * dx - dy * dy) / safe, 2.0 * dx * dy / safe, length


def hatch_directions(dx: Floats, dy: Floats, noise: float,
                     min_share: float = REGION_MIN_SHARE) -> list[float]:
    """The main directions of the path's steps, in degrees in [0, 180),
    strongest first: peaks of a length-weighted histogram of step
    directions, each refined to the weighted mean direction of the steps
    near it. Peaks weaker than `min_share` times the strongest are left
    out."""
    ca, sa, length = _doubled(dx, dy)
    valid = length > ADVANCE * noise * math.sqrt(2.0)
    if np.count_nonzero(valid) < 3:
        return []
    ca, sa, length = ca[valid], sa[valid], length[valid]
    bins = np.minimum((_pseudo_angle(ca, sa) * (DIRECTION_BINS / 4)).astype(np.int64),
                      DIRECTION_BINS - 1)
    hist = np.bincount(bins, weights=length, minlength=DIRECTION_BINS)
    padded = np.concatenate([hist[-2:], hist, hist[:2]])
    smooth = (padded[:-4] + 2.0 * padded[1:-3] + 3.0 * padded[2:-2] + 2.0 * padded[3:-1]
              + padded[4:])
    order = np.argsort(-smooth, kind="stable")
    strongest = float(smooth[order[0]])
    peaks: list[float] = []
    cos_window = math.cos(math.radians(2.0 * REFINE_WINDOW_DEG))
    for b in order.tolist():
        if smooth[b] <= 0.0 or smooth[b] < min_share * strongest:
            break
        # The bin's centre as a doubled direction.
        centre = _pseudo_to_vector((b + 0.5) * 4.0 / DIRECTION_BINS)
        angle = _degrees_of_doubled(*centre)
        if any(_angle_apart(angle, p) < PEAK_SEPARATION_DEG for p in peaks):
            continue
        # Local maxima only: a shoulder of a stronger peak is no direction.
        if smooth[b] < smooth[(b - 1) % DIRECTION_BINS] or smooth[b] < smooth[(b + 1) % DIRECTION_BINS]:
            continue
        # The weighted mean of the steps near the peak, the window moved onto
        # it a few times, so that a window off the centre does not pull it.
        a, s = centre
        for _ in range(REFINE_ROUNDS):
            norm = math.sqrt(a * a + s * s)
            near = (ca * (a / norm) + sa * (s / norm)) >= cos_window
            if not np.any(near):
                break
            a = float(np.cumsum(ca[near] * length[near])[-1])
            s = float(np.cumsum(sa[near] * length[near])[-1])
            if a == 0.0 and s == 0.0:
                break
        refined = _degrees_of_doubled(a, s)
        # A peak that the mean pulls away from, or next to a stronger one,
        # is the flank of another peak, roughened by noise.
        if (_angle_apart(refined, angle) <= 0.5 * REFINE_WINDOW_DEG
                and all(_angle_apart(refined, p) >= PEAK_SEPARATION_DEG for p in peaks)):
            peaks.append(refined)
    return peaks


def _pseudo_to_vector(p: float) -> tuple[float, float]:
    """The unit vector whose pseudo-angle is p."""
    quarter = int(p) % 4
    f = p - int(p)
    a, b = [(1.0 - f, f), (-f, 1.0 - f), (f - 1.0, -f), (f, f - 1.0)][quarter]
    norm = math.sqrt(a * a + b * b)
    return a / norm, b / norm


def _angle_apart(a: float, b: float) -> float:
    """How far apart two directions in degrees are, modulo 180."""
    d = abs(a - b) % 180.0
    return min(d, 180.0 - d)


def turn(angle_deg: float) -> tuple[float, float]:
    """cos and sin of a direction, exact for multiples of 90 degrees."""
    quarter = angle_deg / 90.0
    if quarter == round(quarter):
        return [(1.0, 0.0), (0.0, 1.0), (-1.0, 0.0), (0.0, -1.0)][int(round(quarter)) % 4]
    theta = math.radians(angle_deg)
    return math.cos(theta), math.sin(theta)


def across_along(x: Floats, y: Floats, angle_deg: float) -> tuple[Floats, Floats]:
    """(u, v): v along lines of direction `angle_deg`, u across them; for
    90 degrees u = x and v = y exactly."""
    c, s = turn(angle_deg)
    if (c, s) == (0.0, 1.0):
        return x.copy(), y.copy()
    return x * s - y * c, x * c + y * s


# ----------------------------------------------------------------- stretches

@dataclass
class Stretches:
    """Runs of block steps along one hatch direction and sense, as block
    point ranges [first, last], with the position across the lines near
    either end and along them at either end (in the direction's frame)."""

    group: Ints
    sense: Ints          # +1 or -1 along v
    first: Ints
    last: Ints
    u_first: Floats
    u_last: Floats
    v_first: Floats
    v_last: Floats


def _classify_steps(bx: Floats, by: Floats, angles: list[float], noise: float) -> Ints:
    """For every block step, 2 * group + (1 if it runs along +v else 0) of
    the direction it runs along, or -1."""
    dx, dy = np.diff(bx), np.diff(by)
    label = np.full(len(dx), -1, dtype=np.int64)
    best = np.full(len(dx), np.inf)
    floor = noise * math.sqrt(2.0)
    for g, angle in enumerate(angles):
        du, dv = across_along(dx, dy, angle)
        adv = np.abs(dv)
        along = (adv >= ADVANCE * floor) & (np.abs(du) <= TILT * adv + STRAY * floor)
        # The best aligned direction wins where several would take a step.
        lean = np.where(along, np.abs(du) / np.where(adv > 0.0, adv, 1.0), np.inf)
        better = lean < best
        best = np.where(better, lean, best)
        label = np.where(better, 2 * g + (dv > 0.0).astype(np.int64), label)
    return label


def _end_mean(u: Floats, first: Ints, last: Ints, from_end: bool) -> Floats:
    """Mean of u over the three block points at one end of every range
    (fewer distinct ones in short ranges)."""
    if from_end:
        i0, i1, i2 = last, np.maximum(last - 1, first), np.maximum(last - 2, first)
    else:
        i0, i1, i2 = first, np.minimum(first + 1, last), np.minimum(first + 2, last)
    return ((u[i0] + u[i1]) + u[i2]) / 3.0


def find_stretches(bx: Floats, by: Floats, angles: list[float], noise: float) -> Stretches:
    label = _classify_steps(bx, by, angles, noise)
    if len(label) == 0:
        none = np.zeros(0, dtype=np.int64)
        return _with_ends(bx, by, angles, none, none, none, none)
    change = np.flatnonzero(np.diff(label) != 0) + 1
    starts = np.concatenate([[0], change]).astype(np.int64)
    ends = np.concatenate([change, [len(label)]]).astype(np.int64)   # one past the last step
    keep = label[starts] >= 0
    starts, ends, lab = starts[keep], ends[keep], label[starts[keep]]
    group, sense = lab // 2, np.where(lab % 2 == 1, 1, -1)
    first, last = starts, ends   # block points: step k joins points k and k + 1
    return _with_ends(bx, by, angles, group, sense, first, last)


def _with_ends(bx: Floats, by: Floats, angles: list[float], group: Ints, sense: Ints,
               first: Ints, last: Ints) -> Stretches:
    m = len(group)
    u_first, u_last = np.zeros(m), np.zeros(m)
    v_first, v_last = np.zeros(m), np.zeros(m)
    for g, angle in enumerate(angles):
        sel = np.flatnonzero(group == g)
        if len(sel) == 0:
            continue
        u, v = across_along(bx, by, angle)
        f, l = first[sel], last[sel]
        u_first[sel] = _end_mean(u, f, l, False)
        u_last[sel] = _end_mean(u, f, l, True)
        v_first[sel], v_last[sel] = v[f], v[l]
    return Stretches(group, sense, first, last, u_first, u_last, v_first, v_last)


def merge_pieces(st: Stretches, bx: Floats, by: Floats, angles: list[float],
                 noise: float) -> Stretches:
    """Joins consecutive stretches of one direction and sense that continue
    each other: the second starts ahead of where the first ended, on its
    line, and the path between them does not leave the line (a step that
    noise threw off, a hole jumped at another speed; not the contour of a
    part between the last line of one part and the first of the next)."""
    m = len(st.group)
    if m < 2:
        return st
    floor = noise * math.sqrt(2.0)
    gap_v = (st.v_first[1:] - st.v_last[:-1]) * st.sense[:-1]
    gap_u = np.abs(st.u_first[1:] - st.u_last[:-1])
    stray = TILT * np.abs(gap_v) + 2.0 * STRAY * floor
    joins = ((st.group[1:] == st.group[:-1]) & (st.sense[1:] == st.sense[:-1])
             & (gap_v >= -STRAY * floor) & (gap_u <= stray))
    for g, angle in enumerate(angles):
        k = np.flatnonzero(joins & (st.group[:-1] == g))
        if len(k) == 0:
            continue
        # The block points between the two, each within the stray of the
        # line where the first ended.
        lo, hi = st.last[k], st.first[k + 1] + 1
        counts = hi - lo
        offsets = np.concatenate([[0], np.cumsum(counts)])
        idx = np.repeat(lo - offsets[:-1], counts) + np.arange(offsets[-1])
        u, _ = across_along(bx[idx], by[idx], angle)
        seg = np.repeat(np.arange(len(k)), counts)
        off = np.maximum.reduceat(np.abs(u - st.u_last[k][seg]), offsets[:-1])
        joins[k[off > stray[k]]] = False
    if not np.any(joins):
        return st
    head = np.concatenate([[True], ~joins])
    heads = np.flatnonzero(head)
    tails = np.concatenate([heads[1:] - 1, [m - 1]])
    return Stretches(st.group[heads], st.sense[heads], st.first[heads], st.last[tails],
                     st.u_first[heads], st.u_last[tails], st.v_first[heads], st.v_last[tails])


def _pace(st: Stretches, bx: Floats, by: Floats) -> Floats:
    """How far every stretch moves per block step, without its longest step
    (a hole in a line that a log recorded only while the laser is on is one
    long step); the one step of a stretch that has no other."""
    m = len(st.group)
    if m == 0:
        return np.zeros(0)
    dx, dy = np.diff(bx), np.diff(by)
    step = np.sqrt(dx * dx + dy * dy)
    count = st.last - st.first
    longest = _range_max(step, st.first, st.last)
    length = np.abs(st.v_last - st.v_first)
    rest = np.maximum(length - longest, 0.0) / np.maximum(count - 1, 1)
    return np.where(count > 1, rest, longest)


def _range_max(values: Floats, starts: Ints, ends: Ints) -> Floats:
    """The largest of values[start:end) for every (non-empty) range."""
    counts = ends - starts
    offsets = np.concatenate([[0], np.cumsum(counts)])
    idx = np.repeat(starts - offsets[:-1], counts) + np.arange(offsets[-1])
    out: Floats = np.maximum.reduceat(values[idx], offsets[:-1])
    return out


def link_lines(st: Stretches, noise: float, pace: Floats) -> Ints:
    """For every stretch, the next stretch when the two are neighbouring
    lines of one meander, else -1: the next stretch of the same direction,
    of the opposite sense, overlapping it along the lines, apart across them
    by about the spacing of their chain of such pairs (or, in short chains,
    of the direction), on the side the chain moves to. Between the two may
    lie a few short stretches of other directions (a straight jump across
    to the next line, or the one step that joins lines in a log that records
    only while the laser is on)."""
    m = len(st.group)
    nxt = np.full(m, -1, dtype=np.int64)
    if m < 2:
        return nxt
    floor = noise * math.sqrt(2.0)
    length = np.abs(st.v_last - st.v_first)
    steps = st.last - st.first
    # The next stretch of the same direction.
    following = np.full(m, -1, dtype=np.int64)
    for g in np.unique(st.group).tolist():
        members = np.flatnonzero(st.group == g)
        following[members[:-1]] = members[1:]
    k = np.flatnonzero(following >= 0)
    j = following[k]
    d = st.u_first[j] - st.u_last[k]
    spacing = np.abs(d)
    lo = np.minimum(st.v_first, st.v_last)
    hi = np.maximum(st.v_first, st.v_last)
    overlap = np.minimum(hi[j], hi[k]) - np.maximum(lo[j], lo[k])
    between = j - k - 1
    longest = np.zeros(len(k))
    for step in range(1, MAX_BETWEEN + 1):
        inside = between >= step
        longest[inside] = np.maximum(longest[inside], length[k[inside] + step])
    # Lines are longer than their spacing, at least one of two neighbours:
    # the short straight edges of a small round hole's contour, a hole's
    # width apart, are none.
    candidate = ((st.sense[j] != st.sense[k]) & (spacing > STRAY * floor)
                 & (overlap >= -STRAY * floor) & (between <= MAX_BETWEEN)
                 & (longest <= BETWEEN_LENGTH * spacing)
                 & (np.maximum(length[k], length[j]) >= LINE_TO_SPACING * spacing)
                 & ~((steps[k] <= JUMP_STEPS) & (pace[k] > PACE_RATIO * pace[j]))
                 & ~((steps[j] <= JUMP_STEPS) & (pace[j] > PACE_RATIO * pace[k])))
    accepted = np.zeros(len(k), dtype=bool)
    # Typical spacing of every direction, over all its candidate pairs.
    typical = {g: _upper_median(spacing[candidate & (st.group[k] == g)])
               for g in np.unique(st.group[k][candidate]).tolist()}
    # Chains: runs of candidate pairs that follow each other within one
    # direction (pair i ends where pair i + 1 starts).
    continues = np.concatenate([[False], (j[:-1] == k[1:]) & candidate[:-1]]) & candidate
    heads = np.flatnonzero(candidate & ~continues)
    for a in heads.tolist():
        b = a + 1
        while b < len(k) and continues[b]:
            b += 1
        pairs = np.arange(a, b)
        side = 1.0 if 2 * int(np.count_nonzero(d[pairs] > 0)) >= len(pairs) else -1.0
        usual = typical[int(st.group[k[a]])]
        h = usual if len(pairs) <= SHORT_CHAIN else _upper_median(spacing[pairs])
        # A chain far wider or narrower than the direction's usual spacing is
        # no meander (the edges of a row of holes' contours).
        if not CHAIN_SPREAD_LOW * usual <= h <= CHAIN_SPREAD_HIGH * usual:
            continue
        accepted[pairs] = ((d[pairs] * side > 0) & (spacing[pairs] >= SPACING_LOW * h)
                           & (spacing[pairs] <= SPACING_HIGH * h))
    nxt[k[accepted]] = j[accepted]
    # A pair with a line of another direction between them is no pair.
    is_line = np.zeros(m, dtype=bool)
    is_line[k[accepted]] = True
    is_line[j[accepted]] = True
    count = np.concatenate([[0], np.cumsum(is_line)])
    spans = np.flatnonzero(nxt >= 0)
    blocked = count[nxt[spans]] - count[spans + 1] > 0
    nxt[spans[blocked]] = -1
    return nxt


# ---------------------------------------------------------------- numbering

@dataclass
class Analysis:
    """What both numberings start from."""

    frame: Frame
    angles: list[float]
    strongest: int        # the direction that holds the most line length
    block: int
    noise: float          # of a point, normalised units
    exact: bool           # no noise beyond a few rounding steps of the caller's precision
    stretches: Stretches  # in block points
    nxt: Ints             # the next line of every line stretch's meander, or -1
    bx: Floats
    by: Floats


def analyse(frame: Frame, angle_deg: float | None = None) -> Analysis | None:
    """Noise, blocks, hatch directions (just `angle_deg` when given) and the
    line stretches with their links; None when the path has no direction."""
    xn, yn = frame.xn, frame.yn
    measured = noise_level(xn, yn)
    eps = float(np.finfo(np.float32 if frame.single else np.float64).eps)
    exact = measured <= EXACT_ROUNDING_STEPS * max(frame.rounding, eps)
    sigma = max(measured, frame.rounding)
    w = block_size(xn, yn, sigma)
    bx, by = block_means(xn, w), block_means(yn, w)
    noise = max(noise_level(bx, by), frame.rounding) if w > 1 else sigma
    if angle_deg is None:
        # Directions from evenly spaced block steps, at most SAMPLE_POINTS.
        i = np.arange(0, max(len(bx) - 1, 0), _sample_step(len(bx), 1))
        angles = hatch_directions(bx[i + 1] - bx[i], by[i + 1] - by[i], noise)
        if not angles:
            return None
    else:
        angles = [angle_deg % 180.0]
    st, nxt = _lines_along(bx, by, angles, noise)
    strongest = 0
    if len(angles) > 1:
        # Directions are those of lines: a peak of the histogram whose
        # stretches hold little of the layer's lines (the curves of
        # turn-arounds, a contour's edges) only takes steps from the others.
        # The others keep their order, so that every step the dropped ones
        # did not take keeps its direction.
        is_line, _, _ = _line_flags(nxt)
        held = np.bincount(st.group[is_line], weights=np.abs(st.v_last - st.v_first)[is_line],
                           minlength=len(angles))
        if held.max() > 0.0:
            keep = [g for g in range(len(angles)) if held[g] >= REGION_MIN_SHARE * held.max()]
            strongest = keep.index(int(np.argmax(held)))
            if len(keep) < len(angles):
                angles = [angles[g] for g in keep]
                st, nxt = _lines_along(bx, by, angles, noise)
    return Analysis(frame, angles, strongest, w, sigma, exact, st, nxt, bx, by)


def _lines_along(bx: Floats, by: Floats, angles: list[float],
                 noise: float) -> tuple[Stretches, Ints]:
    st = find_stretches(bx, by, angles, noise)
    st = merge_pieces(st, bx, by, angles, noise)
    return st, link_lines(st, noise, _pace(st, bx, by))


def _line_flags(nxt: Ints) -> tuple[Mask, Mask, Mask]:
    """Which stretches are lines, and which are linked to a previous and to
    a next line."""
    has_next = nxt >= 0
    has_prev = np.zeros(len(nxt), dtype=bool)
    has_prev[nxt[has_next]] = True
    return has_prev | has_next, has_prev, has_next


def _pair_points(lo: Ints, hi: Ints) -> tuple[Ints, Ints, Ints]:
    """The points [lo, hi) of every pair, one after another: where each
    pair's points begin in the list (and where the last ends), the index of
    every point, and the pair it belongs to."""
    counts = hi - lo
    offsets = np.concatenate([[0], np.cumsum(counts)])
    idx = np.repeat(lo - offsets[:-1], counts) + np.arange(offsets[-1])
    return offsets, idx, np.repeat(np.arange(len(lo)), counts)


def _splits(an: Analysis, k: Ints, j: Ints, lo: Ints, hi: Ints) -> Ints:
    """Where line j takes over from line k, which it follows directly
    without being its neighbour (in a log recorded only while the laser is
    on, from one island to the next), within the points [lo, hi) of each
    pair: the first point of j. The split leaves the least distance to the
    wrong line (across it, from where it ends or starts) on either side;
    points as near to one line as to the other (within the noise) go to the
    earlier one."""
    if len(k) == 0:
        return np.zeros(0, dtype=np.int64)
    st, fr = an.stretches, an.frame
    offsets, idx, seg = _pair_points(lo, hi)
    f = np.zeros(len(idx))
    for line, ref, sign in ((k, st.u_last, 1.0), (j, st.u_first, -1.0)):
        group = st.group[line][seg]
        for g, angle in enumerate(an.angles):
            sel = np.flatnonzero(group == g)
            if len(sel):
                u, _ = across_along(fr.xn[idx[sel]], fr.yn[idx[sel]], angle)
                f[sel] += sign * np.abs(u - ref[line][seg[sel]])
    f = np.where(np.abs(f) <= an.noise, 0.0, f)
    # The split is the last place where the sum of f over the points before
    # it (within its range) is smallest, 0 for none of them.
    total = np.concatenate([[0.0], np.cumsum(f)])
    before = total[1:] - total[offsets[:-1]][seg]      # up to and including the point
    lowest = np.minimum(np.minimum.reduceat(before, offsets[:-1]), 0.0)
    last_lowest = np.where(before == lowest[seg], np.arange(len(before)), -1)
    pos = np.maximum.reduceat(last_lowest, offsets[:-1])
    return lo + np.where(pos >= offsets[:-1], pos - offsets[:-1] + 1, 0)


def _turning_points(an: Analysis, k: Ints, j: Ints, lo: Ints, hi: Ints) -> Ints:
    """Where line j takes over from its neighbour k within the points
    [lo, hi) of each pair: just after the middle point of the turn-around
    between them, the point that lies furthest on along line k (the middle
    one where several lie as far on, within the noise; where nothing lies
    between the two lines, the last point of k)."""
    if len(k) == 0:
        return np.zeros(0, dtype=np.int64)
    st, fr = an.stretches, an.frame
    offsets, idx, seg = _pair_points(lo, hi)
    on = np.zeros(len(idx))
    group = st.group[k][seg]
    for g, angle in enumerate(an.angles):
        sel = np.flatnonzero(group == g)
        if len(sel):
            _, v = across_along(fr.xn[idx[sel]], fr.yn[idx[sel]], angle)
            on[sel] = v * st.sense[k][seg[sel]]
    furthest = np.maximum.reduceat(on, offsets[:-1])
    near = on >= furthest[seg] - TURN_TIE * an.noise
    position = np.arange(len(idx))
    first = np.minimum.reduceat(np.where(near, position, len(idx)), offsets[:-1])
    last = np.maximum.reduceat(np.where(near, position, -1), offsets[:-1])
    middle = first + (last - first) // 2
    return lo + (middle - offsets[:-1]) + 1


def number_all_lines(an: Analysis) -> Ints:
    """Ids 1, 2, ... of every line stretch, in path order, over the finite
    points; 0 elsewhere. Neighbouring lines of a meander meet at the middle
    of what lies between them; lines that follow each other directly
    without being neighbours (in a log that records only while the laser is
    on) meet where the path leaves one for the other; elsewhere a line ends
    at its own ends."""
    st, w = an.stretches, an.block
    n = len(an.frame.xn)
    ids = np.zeros(n, dtype=np.int64)
    is_line, _, _ = _line_flags(an.nxt)
    lines = np.flatnonzero(is_line)
    if len(lines) == 0:
        return ids
    starts = st.first * w
    ends = np.minimum((st.last + 1) * w, n)   # one past
    k, j = lines[:-1], lines[1:]
    linked = an.nxt[k] == j
    # The turn-around between neighbours: the points after the last of k and
    # before the first of j (with blocks of several points, their end
    # blocks too, which may hold some of it).
    wide = 0 if w == 1 else w
    turn_lo = st.last[k] * w + (1 if w == 1 else 0)
    turn_hi = np.minimum(st.first[j] * w + wide, n)
    turning = linked & (turn_hi > turn_lo)
    # Lines that meet or overlap with nothing between them.
    touching = ~turning & (starts[j] <= ends[k] + w)
    if np.any(turning):
        split = _turning_points(an, k[turning], j[turning], turn_lo[turning], turn_hi[turning])
        ends[k[turning]] = split
        starts[j[turning]] = split
    if np.any(touching):
        kt, jt = k[touching], j[touching]
        lo = np.maximum(np.minimum(starts[jt] - w, ends[kt] - w), starts[kt])
        hi = np.minimum(np.maximum(ends[kt] + w, starts[jt] + w), ends[jt])
        split = _splits(an, kt, jt, lo, np.maximum(hi, lo + 1))
        ends[kt] = split
        starts[jt] = split
    s, e = starts[lines], ends[lines]
    counts = np.maximum(e - s, 0)
    offsets = np.concatenate([[0], np.cumsum(counts)])
    idx = np.repeat(s - offsets[:-1], counts) + np.arange(offsets[-1])
    ids[idx] = np.repeat(np.arange(1, len(lines) + 1), counts)
    return ids


def refine_angle(an: Analysis, group: int, lines: Ints) -> float:
    """The direction of a group's lines: the length-weighted mean direction
    of their chords from start to end, without the first and the last
    tenth; the group's direction when there are none."""
    st = an.stretches
    if len(lines) == 0:
        return an.angles[group]
    f, l = st.first[lines], st.last[lines]
    trim = (l - f) // 10
    f, l = f + trim, l - trim
    ok = l > f
    if not np.any(ok):
        return an.angles[group]
    # Chords in the caller's frame, so that exact axis-aligned lines give an
    # exact axis (block means of exactly equal x are exactly equal).
    dx = an.bx[l[ok]] - an.bx[f[ok]]
    dy = an.by[l[ok]] - an.by[f[ok]]
    ca, sa, length = _doubled(dx, dy)
    a = float(np.cumsum(ca * length)[-1])
    s = float(np.cumsum(sa * length)[-1])
    return _degrees_of_doubled(a, s)


def snap_to_axis(angle_deg: float) -> float:
    for axis in (0.0, 90.0, 180.0):
        if abs(angle_deg - axis) < AXIS_SNAP_DEG:
            return axis % 180.0
    return angle_deg


def estimate(an: Analysis) -> float:
    """The refined, snapped direction of the strongest group."""
    is_line, _, _ = _line_flags(an.nxt)
    lines = np.flatnonzero(is_line & (an.stretches.group == an.strongest))
    return snap_to_axis(refine_angle(an, an.strongest, lines))


# ------------------------------------------------------ the module's numbering

def _module_units(fr: Frame) -> tuple[Floats, Floats]:
    """The caller's coordinates, scaled by a power of two where squared
    distances would overflow or vanish."""
    big = max(float(np.max(np.abs(fr.x))), float(np.max(np.abs(fr.y)))) if len(fr.x) else 0.0
    if big == 0.0:
        return fr.x, fr.y
    e = math.frexp(big)[1]
    if abs(e) <= (MODULE_SAFE_EXPONENT_SINGLE if fr.single else MODULE_SAFE_EXPONENT):
        return fr.x, fr.y
    return np.ldexp(fr.x, -e), np.ldexp(fr.y, -e)


def _straighten(u: Floats, starts: Ints, ends: Ints) -> Floats:
    """u with one shared value (the range's mean, or its value when all are
    equal) over every range [start, end)."""
    out = u.copy()
    counts = ends - starts
    keep = counts > 0
    starts, ends, counts = starts[keep], ends[keep], counts[keep]
    if len(starts) == 0:
        return out
    offsets = np.concatenate([[0], np.cumsum(counts)])
    idx = np.repeat(starts - offsets[:-1], counts) + np.arange(offsets[-1])
    seg = np.repeat(np.arange(len(starts)), counts)
    values = u[idx]
    sums = np.bincount(seg, weights=values, minlength=len(starts))
    lows = np.minimum.reduceat(values, offsets[:-1])
    highs = np.maximum.reduceat(values, offsets[:-1])
    shared = np.where(lows == highs, lows, sums / counts)
    out[idx] = shared[seg]
    return out


def _fit_to_line(u: Floats, starts: Ints, ends: Ints, w: int,
                 tolerance: float) -> tuple[Ints, Ints]:
    """Ranges [start, end) of whole blocks moved to the points on the line:
    at either end, up to a block's points beyond the range that lie on the
    line are taken in, and within its end blocks the points that stray from
    it (the turn-around's, in a block that only began or ended on the line)
    are left out. On the line means within `tolerance` of the range's middle
    point across the lines."""
    if w == 1 or len(starts) == 0:
        return starts, ends
    n = len(u)
    level = u[(starts + ends - 1) // 2]
    s, e = starts.copy(), ends.copy()
    for _ in range(w):
        grow = (s > 0) & (starts - s < w) & (np.abs(u[np.maximum(s - 1, 0)] - level) <= tolerance)
        s = np.where(grow, s - 1, s)
        grow = (e < n) & (e - ends < w) & (np.abs(u[np.minimum(e, n - 1)] - level) <= tolerance)
        e = np.where(grow, e + 1, e)
    for _ in range(w):
        shrink = (s >= starts) & (s - starts < w) & (e - s > 1) & (np.abs(u[s] - level) > tolerance)
        s = np.where(shrink, s + 1, s)
        shrink = (ends - e < w) & (e - s > 1) & (np.abs(u[e - 1] - level) > tolerance)
        e = np.where(shrink, e - 1, e)
    return s, e


def _smooth_off(u: Floats, on_line: Mask) -> Floats:
    """u averaged over 2 * SMOOTH_HALF_WIDTH + 1 consecutive points wherever
    a point is off the lines (and far enough from either end)."""
    n = len(u)
    half = SMOOTH_HALF_WIDTH
    if n <= 2 * half:
        return u
    total = u[0:n - 2 * half].copy()
    for k in range(1, 2 * half + 1):
        total += u[k:n - 2 * half + k]
    out = u.copy()
    inner = ~on_line[half:n - half]
    out[half:n - half][inner] = total[inner] / (2 * half + 1)
    return out


def _module_numbering(u: Floats, v: Floats, single: bool) -> Labels:
    if single:
        return rasterloom.annotate_scanlines(np.ascontiguousarray(u, dtype=np.float32),
                                             np.ascontiguousarray(v, dtype=np.float32))
    return rasterloom.annotate_scanlines(np.ascontiguousarray(u), np.ascontiguousarray(v))


def number_region(an: Analysis, begin: int, end: int, group: int, angle: float,
                  units: tuple[Floats, Floats]) -> Labels:
    """The module's labels for the finite points [begin, end) turned so that
    the group's lines run along y, every stretch of the group straightened,
    and noisy positions off the lines smoothed."""
    st, w, fr = an.stretches, an.block, an.frame
    x, y = units
    u, v = across_along(x[begin:end], y[begin:end], angle)
    sel = np.flatnonzero((st.group == group) & (st.first * w < end) & ((st.last + 1) * w > begin))
    s = np.clip(st.first[sel] * w, begin, end) - begin
    e = np.clip((st.last[sel] + 1) * w, begin, end) - begin
    across = coordinate_noise(u)
    scale = float(np.max(np.abs(u))) + float(np.max(np.abs(v))) if len(u) else 0.0
    eps = float(np.finfo(np.float32 if fr.single else np.float64).eps)
    exact = EXACT_ROUNDING_STEPS * eps * (1.0 + scale)
    s, e = _fit_to_line(u, s, e, w, STRAY * max(across, exact))
    u = _straighten(u, s, e)
    # Positions exact across the lines (to a few rounding steps of the
    # caller's precision) are left as they are.
    if across > exact:
        on_line = np.zeros(end - begin, dtype=bool)
        for a, b in zip(s.tolist(), e.tolist()):
            on_line[a:b] = True
        u, v = _smooth_off(u, on_line), _smooth_off(v, on_line)
    return _module_numbering(u, v, fr.single)


def module_regions(an: Analysis) -> list[tuple[int, int, int]]:
    """(begin, end, group) of the regions of one hatch direction in path
    order: each starts at its first line (the first at the path's start)
    and runs to the next region; consecutive chains of lines of one
    direction are one region."""
    st, w = an.stretches, an.block
    is_line, prev, _ = _line_flags(an.nxt)
    heads = np.flatnonzero(is_line & ~prev)
    n = len(an.frame.xn)
    if len(heads) == 0:
        return [(0, n, 0)]
    groups = st.group[heads]
    new = np.concatenate([[True], groups[1:] != groups[:-1]])
    heads, groups = heads[new], groups[new]
    begins = (st.first[heads] * w).tolist()
    begins[0] = 0
    ends = begins[1:] + [n]
    return [(b, e, int(g)) for b, e, g in zip(begins, ends, groups.tolist())]


def number_by_module(an: Analysis, angle_deg: float | None = None) -> Labels:
    """The module's numbering, region by region, ids shifted so that they
    stay unique and increase along the path. With `angle_deg` the whole path
    is one region turned by that angle."""
    n = len(an.frame.xn)
    units = _module_units(an.frame)
    is_line, _, _ = _line_flags(an.nxt)
    found = np.full(n, -1, dtype=np.int32)
    regions = [(0, n, 0)] if angle_deg is not None else module_regions(an)
    offset = 0
    for begin, end, group in regions:
        if angle_deg is not None:
            angle = angle_deg
        else:
            st = an.stretches
            w = an.block
            lines = np.flatnonzero(is_line & (st.group == group) & (st.first * w >= begin)
                                   & (st.first * w < end))
            angle = snap_to_axis(refine_angle(an, group, lines))
        part = number_region(an, begin, end, group, angle, units)
        numbered = part > 0
        if np.any(numbered):
            found[begin:end][numbered] = part[numbered] + offset
            offset = int(found[begin:end].max())
    return found


# ------------------------------------------------------ the public functions

TOO_FEW = "too few points to estimate the scan line angle"


def _labels(frame: Frame, found: NDArray[np.integer]) -> Labels:
    labels = np.full(len(frame.keep), -1, dtype=np.int32)
    labels[frame.keep] = np.where(found > 0, found, -1)
    return labels


def estimate_angle(x: Coordinates, y: Coordinates) -> float:
    """As `rasterloom_layers.estimate_angle`."""
    single = check_pair(x, y)
    with np.errstate(all="ignore"):
        analysis = analyse(frame_of(x, y, single))
        if analysis is None:
            raise ValueError(f"{TOO_FEW}; pass angle_deg")
        return estimate(analysis)


def annotate_at_angle(x: Coordinates, y: Coordinates, angle_deg: float | None = None, *,
                      all_lines: bool = True) -> Labels:
    """As `rasterloom_layers.annotate_at_angle`."""
    single = check_pair(x, y)
    angle = None if angle_deg is None else check_angle(angle_deg)
    with np.errstate(all="ignore"):
        frame = frame_of(x, y, single)
        if angle is None:
            first = analyse(frame)
            if first is None:
                raise ValueError(f"{TOO_FEW}; pass angle_deg")
            angle = estimate(first)
        analysis = analyse(frame, angle)
        assert analysis is not None
        if all_lines:
            return _labels(frame, number_all_lines(analysis))
        return _labels(frame, number_by_module(analysis, angle))


def annotate_layer(x: Coordinates, y: Coordinates, *, all_lines: bool = True) -> Labels:
    """As `rasterloom_layers.annotate_layer`."""
    single = check_pair(x, y)
    with np.errstate(all="ignore"):
        frame = frame_of(x, y, single)
        if len(frame.keep) == 0:
            return np.zeros(0, dtype=np.int32)
        analysis = analyse(frame)
        if analysis is None:
            raise ValueError(TOO_FEW)
        if all_lines:
            return _labels(frame, number_all_lines(analysis))
        return _labels(frame, number_by_module(analysis))
