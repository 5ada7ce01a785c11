"""The public functions: one meander at any angle, a whole layer, and the
estimated direction of its lines. The arguments are checked here with the
public messages; then the compiled pipeline (`_native`) numbers the layer in
C++ without the interpreter lock, so that several Python threads can number
layers at once.
"""
from __future__ import annotations

import math

import numpy as np
from numpy.typing import NDArray

from . import _native

Labels = NDArray[np.int32]

TYPE_MESSAGE = "x and y must both be 1D numpy arrays of float64 or float32 type"
TOO_FEW = "too few points to estimate the scan line angle"
_FLOAT_TYPES = (np.dtype(np.float64), np.dtype(np.float32))

Coordinates = NDArray[np.floating[np.typing.NBitBase]]


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


def check_angle(angle_deg: object) -> float:
    """A finite angle in degrees as a float; ValueError otherwise."""
    if isinstance(angle_deg, bool) or not isinstance(angle_deg, (int, float, np.integer,
                                                                  np.floating)):
        raise TypeError(f"angle_deg must be a number or None, not {type(angle_deg).__name__}")
    value = float(angle_deg)
    if not math.isfinite(value):
        raise ValueError(f"angle_deg must be finite, got {value}")
    return value



def estimate_angle(x: Coordinates, y: Coordinates) -> float:
    """The direction of the scan lines of a meander, in degrees
    counter-clockwise from the +x axis, in [0, 180).

    Estimated from the directions of the path's straight steps, weighted by
    their length, and refined over whole scan lines; NaN and infinite points
    are ignored. Raises ValueError when the path has too few straight pieces
    to tell.
    """
    check_pair(x, y)
    return _native.estimate_angle(x, y)


def annotate_at_angle(x: Coordinates, y: Coordinates, angle_deg: float | None = None, *,
                      all_lines: bool = True) -> Labels:
    """Scan line ids of a meander whose lines run at any angle.

    `x`, `y`: one-dimensional arrays of equal length, both float64 or both
    float32 (any stride); never written. `angle_deg`: the direction of the
    scan lines in degrees, counter-clockwise from the +x axis (90 means lines
    along y, as `rasterloom.annotate_scanlines` expects); None estimates it
    from the path (see `estimate_angle`).

    With `all_lines` (the default) every scan line of that direction gets an
    id of its own, 1, 2, ... along the path, the first and the last line of
    every meander included: a line's ids run from just after the middle of
    the turn-around before it to the middle of the one after it (where
    nothing lies between two lines, from one to the other), and from its
    first to its last point where it has no neighbour on that side. Points on
    no scan line get -1.

    `all_lines=False` gives the module's own numbering at that angle: the
    path is turned so that its lines run along y, the points of every stretch
    that runs straight along a line get one shared x, noisy positions off
    the lines are smoothed, and `rasterloom.annotate_scanlines` numbers the
    result in the caller's element type (so the first two lines and usually
    the last one get -1).

    Returns int32 labels, one per input point; points with a NaN or infinite
    coordinate get -1 and are left out of everything else. Raises TypeError
    and ValueError as `rasterloom.annotate_scanlines` does for wrong arrays,
    ValueError for an angle that is not finite and for too few points to
    estimate the angle.
    """
    check_pair(x, y)
    angle = None if angle_deg is None else check_angle(angle_deg)
    return _native.annotate_at_angle(x, y, angle, bool(all_lines))


def annotate_layer(x: Coordinates, y: Coordinates, *, all_lines: bool = True) -> Labels:
    """Scan line ids of a whole layer, whatever its scan strategy.

    The layer may be one meander at any angle, stripes, or islands whose
    hatch direction alternates, with contours and travel moves in between,
    recorded all along or only while the laser is on. The path's hatch
    directions are found, and in each the stretches that run straight along
    them; neighbouring stretches of opposite sense, about one line spacing
    apart, are the scan lines of one meander.

    With `all_lines` (the default) every scan line of every region gets an
    id of its own, the first two and the last included: ids 1, 2, ... are
    unique within the layer, increase along the path, and each covers one
    contiguous stretch of the finite points, from just after the middle of
    the turn-around before its line to the middle of the one after it (from
    one line to the next where nothing lies between them). Contours, travel
    moves between regions and parts, NaN and infinite points are -1.

    `all_lines=False` gives the module's own numbering region by region
    (consecutive lines of one direction are one region; each is numbered as
    `annotate_at_angle(..., all_lines=False)` numbers a meander, with the
    region's own fitted direction, and the ids of later regions are shifted
    up), so the first two lines of every region and usually its last one get
    -1.

    Arrays and errors as for `annotate_at_angle`; ValueError when the path
    has too few straight pieces to find a hatch direction.
    """
    check_pair(x, y)
    return _native.annotate_layer(x, y, bool(all_lines))
