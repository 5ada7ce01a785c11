"""The public functions: one meander at any angle, and a whole layer."""
from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

from ._lines import (
    Floats,
    Labels,
    check_angle,
    check_pair,
    direction_peaks,
    finite_points,
    line_stretches,
    number_rotated,
    refine_angle,
    rotate,
    snap_to_axis,
)
from ._lines import estimate_angle as _estimate

# A hatch direction is one of the layer's own when its straight pieces add up
# to at least this share of the strongest direction's.
REGION_MIN_SHARE = 0.15
# Stretches shorter than this share of a typical line do not decide where
# regions begin.
SHORT_STRETCH = 0.1
# Points of a jump lie at least this many marking steps apart.
JUMP_STEP_RATIO = 1.5
# A region's own direction may differ from the layer's by this much.
REFINE_LIMIT_DEG = 2.0


def estimate_angle(x: NDArray[np.floating[np.typing.NBitBase]],
                   y: NDArray[np.floating[np.typing.NBitBase]]) -> float:
    """The direction of the scan lines of a meander, in degrees
    counter-clockwise from the +x axis, in [0, 180).

    Estimated from the directions of the straight pieces of the path,
    weighted by their length, and refined over whole line stretches; NaN and
    infinite points are ignored. Raises ValueError when the path has too few
    straight pieces to tell.
    """
    check_pair(x, y)
    xf, yf, _ = finite_points(x, y)
    return _estimate(xf, yf)


def annotate_at_angle(x: NDArray[np.floating[np.typing.NBitBase]],
                      y: NDArray[np.floating[np.typing.NBitBase]],
                      angle_deg: float | None = None) -> Labels:
    """Scan line ids of a meander whose lines run at any angle.

    `x`, `y`: one-dimensional arrays of equal length, both float64 or both
    float32 (any stride); never written. `angle_deg`: the direction of the
    scan lines in degrees, counter-clockwise from the +x axis (90 means lines
    along y, as `rasterloom.annotate_scanlines` expects); None estimates it
    from the path (see `estimate_angle`).

    The path is rotated so that its lines run along y; the points of every
    stretch that runs straight along a line get one shared x, the rotated
    turn-around and travel points stay where they are, and
    `rasterloom.annotate_scanlines` numbers the result in the caller's element
    type. Returns its int32 labels, one per input point; points with a NaN or
    infinite coordinate get -1 and are left out of everything else.

    Raises TypeError and ValueError as `rasterloom.annotate_scanlines` does
    for wrong arrays, ValueError for an angle that is not finite and for too
    few points to estimate the angle.
    """
    single = check_pair(x, y)
    angle = None if angle_deg is None else check_angle(angle_deg)
    xf, yf, keep = finite_points(x, y)
    if angle is None:
        angle = _estimate(xf, yf)
    labels = np.full(len(keep), -1, dtype=np.int32)
    labels[keep] = number_rotated(xf, yf, angle, single)
    return labels


def annotate_layer(x: NDArray[np.floating[np.typing.NBitBase]],
                   y: NDArray[np.floating[np.typing.NBitBase]]) -> Labels:
    """Scan line ids of a whole layer, whatever its scan strategy.

    The layer may be one meander at any angle, stripes, or islands whose
    hatch direction alternates, with contours and travel moves in between.
    The path is cut into regions of one hatch direction (consecutive scan
    lines of one direction, with the turn-arounds between them and the moves
    that follow them), each region is numbered as `annotate_at_angle` numbers
    a meander, and the ids of later regions are shifted up, so that ids are
    unique within the layer and increase along the path. Everything else
    (points outside the regions' numbered lines, NaN and infinite points) is
    -1.

    Arrays and errors as for `annotate_at_angle`; ValueError when the path has
    too few straight pieces to find a hatch direction.
    """
    single = check_pair(x, y)
    xf, yf, keep = finite_points(x, y)
    labels = np.full(len(keep), -1, dtype=np.int32)
    if len(keep) == 0:
        return labels
    found = np.full(len(xf), -1, dtype=np.int32)
    offset = 0
    for begin, end, angle in split_regions(xf, yf):
        part = number_rotated(xf[begin:end], yf[begin:end], angle, single)
        numbered = part > 0
        if np.any(numbered):
            found[begin:end][numbered] = part[numbered] + offset
            offset = int(found[begin:end].max())
    labels[keep] = found
    return labels


def split_regions(x: Floats, y: Floats) -> list[tuple[int, int, float]]:
    """(begin, end, angle) of the regions of one hatch direction, in path
    order: half-open point ranges that cover the path, each with the refined
    direction of its lines."""
    peaks = direction_peaks(x, y, min_share=REGION_MIN_SHARE)
    if not peaks:
        raise ValueError("too few points to estimate the scan line angle")
    # Line stretches of every hatch direction, as (first, direction, length).
    # Jumps run straight as well, but faster: stretches made mostly of steps
    # longer than marking steps are no scan lines (a line may still hold a
    # jump across a hole).
    steps = np.hypot(np.diff(x), np.diff(y))
    step = float(np.median(steps)) if len(steps) else 0.0
    slow = np.concatenate([[0], np.cumsum(steps <= JUMP_STEP_RATIO * step)])
    stretches: list[tuple[int, int, float]] = []
    for k, (angle, _) in enumerate(peaks):
        u, v = rotate(x, y, angle)
        bounds = line_stretches(u, v)
        begins, ends = bounds[:, 0], bounds[:, 1]
        marking = (ends - begins >= 2) & (2 * (slow[ends] - slow[begins]) >= ends - begins)
        for f, l in bounds[marking].tolist():
            stretches.append((f, k, abs(float(v[l] - v[f]))))
    if not stretches:
        return [(0, len(x), peaks[0][0])]
    # Only stretches of about a line's length decide where regions begin:
    # the middle of a turn-around or a piece of a contour can run straight
    # in another hatch direction for a few points.
    lengths = np.array([s[2] for s in stretches])
    order = np.argsort(lengths)
    cumulative = np.cumsum(lengths[order])
    typical = float(lengths[order][np.searchsorted(cumulative, cumulative[-1] / 2)])
    stretches = sorted(s for s in stretches if s[2] >= SHORT_STRETCH * typical)
    # A region begins wherever the direction of the lines changes.
    kept: list[tuple[int, int]] = []   # (direction, first point)
    for first, k, _ in stretches:
        if not kept or kept[-1][0] != k:
            kept.append((k, first))
    regions: list[tuple[int, int, float]] = []
    for i, (k, first) in enumerate(kept):
        begin = 0 if i == 0 else first
        end = kept[i + 1][1] if i + 1 < len(kept) else len(x)
        angle = refine_angle(x[begin:end], y[begin:end], peaks[k][0])
        if abs((angle - peaks[k][0] + 90.0) % 180.0 - 90.0) > REFINE_LIMIT_DEG:
            angle = peaks[k][0]   # too few lines to improve on the layer's estimate
        angle = snap_to_axis(angle)
        regions.append((begin, end, angle))
    return regions
