"""The table of scan lines: where every numbered line starts and ends, how long
it is, and what the recorded channels show along it."""
from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

# The fields every table has, in this order; each channel adds three more.
BASE_FIELDS: list[tuple[str, type[np.generic]]] = [
    ("id", np.int32),
    ("first", np.int64),
    ("last", np.int64),
    ("points", np.int64),
    ("x_start", np.float64),
    ("y_start", np.float64),
    ("x_end", np.float64),
    ("y_end", np.float64),
    ("length", np.float64),
    ("angle_deg", np.float64),
]
CHANNEL_STATISTICS = ("mean", "min", "max")
_INT32_MAX = int(np.iinfo(np.int32).max)


def table_dtype(channel_names: list[str] | tuple[str, ...]) -> np.dtype[np.void]:
    """The record type of a table with these channels."""
    fields: list[tuple[str, Any]] = list(BASE_FIELDS)
    for name in channel_names:
        fields += [(f"{name}_{statistic}", np.float64) for statistic in CHANNEL_STATISTICS]
    return np.dtype(fields)


def _real_column(value: ArrayLike, what: str) -> NDArray[Any]:
    """`value` as a one-dimensional array of real numbers (integers or
    floats), read in place where it already is one; TypeError otherwise."""
    array = np.asarray(value)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"{what} must be a 1D array of real numbers, got dtype {array.dtype}")
    if array.ndim != 1:
        raise TypeError(f"{what} must be a 1D array of real numbers, got {array.ndim} dimensions")
    return array


def _group_order(keys: NDArray[np.int64]) -> NDArray[np.intp]:
    """The order that sorts the non-negative `keys` and keeps equal keys in
    their order: a least-significant-digit radix sort in 16-bit digits, each
    pass a stable sort of 16-bit keys, which NumPy does by counting, so that
    the whole is linear in the number of keys."""
    order = np.argsort((keys & 0xFFFF).astype(np.uint16), kind="stable")
    shift = 16
    while shift < 63 and np.any(keys >> shift):
        digit = ((keys[order] >> shift) & 0xFFFF).astype(np.uint16)
        order = order[np.argsort(digit, kind="stable")]
        shift += 16
    return order


def scanline_table(x: ArrayLike, y: ArrayLike, labels: ArrayLike,
                   **channels: ArrayLike) -> NDArray[np.void]:
    """One record per scan line id of `labels`, in increasing order of id.

    `x`, `y`: the positions that were numbered; `labels`: one id per point,
    as `annotate_layer` and `rasterloom.annotate_scanlines` return them
    (negative labels, -1, mean no scan line); every keyword argument is a
    channel recorded with the points, such as a melt-pool signal, named by
    its keyword. All of them are one-dimensional arrays of the same length,
    of real numbers (labels: of integers); they are only read.

    Returns a NumPy structured array with the fields

    - `id` (int32);
    - `first`, `last`: the index of the line's first and last point;
    - `points`: how many points carry the id;
    - `x_start`, `y_start`, `x_end`, `y_end`: its first and last point;
    - `length`: the path length along its points, in index order (steps to
      and from points with a NaN or infinite coordinate are left out);
    - `angle_deg`: the direction from its first to its last point, degrees
      counter-clockwise from +x in [0, 360) (NaN where the two coincide or
      one is not finite);
    - for every channel `<name>_mean`, `<name>_min` and `<name>_max` over the
      line's finite values of the channel (NaN when it has none).

    The points of an id need not be consecutive. The work is linear in the
    number of points, whatever the ids.

    Raises TypeError for arrays of the wrong kind or shape and ValueError
    for lengths that differ or ids beyond the range of int32.
    """
    xs = _real_column(x, "x")
    ys = _real_column(y, "y")
    ids_all = np.asarray(labels)
    if ids_all.dtype.kind not in "iu" or ids_all.ndim != 1:
        raise TypeError("labels must be a 1D array of integers, got "
                        f"dtype {ids_all.dtype} with {ids_all.ndim} dimensions")
    columns = {name: _real_column(value, f"channel {name!r}") for name, value in channels.items()}
    n = len(xs)
    for what, array in [("y", ys), ("labels", ids_all)] + [
            (f"channel {name!r}", c) for name, c in columns.items()]:
        if len(array) != n:
            raise ValueError(f"{what} has {len(array)} values, x has {n}")

    positions = np.flatnonzero(ids_all >= 0)
    table = np.zeros(0, dtype=table_dtype(list(columns)))
    if positions.size == 0:
        return table
    if int(ids_all[positions].max()) > _INT32_MAX:
        raise ValueError(f"scan line ids must fit into int32, got {int(ids_all.max())}")
    ids = ids_all[positions].astype(np.int64)
    order = _group_order(ids)
    # From here on every labelled point is taken grouped by id, and within an
    # id in the order of the path.
    points = positions[order]
    ids = ids[order]
    new_id = np.concatenate([[True], ids[1:] != ids[:-1]])
    starts = np.flatnonzero(new_id)
    distinct = ids[starts]
    rows = np.cumsum(new_id) - 1
    counts = np.diff(np.append(starts, len(ids)))
    first = points[starts]
    last = points[starts + counts - 1]

    table = np.zeros(len(distinct), dtype=table_dtype(list(columns)))
    table["id"] = distinct
    table["first"] = first
    table["last"] = last
    table["points"] = counts
    px = xs[points].astype(np.float64)
    py = ys[points].astype(np.float64)
    table["x_start"], table["y_start"] = px[starts], py[starts]
    table["x_end"], table["y_end"] = px[starts + counts - 1], py[starts + counts - 1]

    finite = np.isfinite(px) & np.isfinite(py)
    fx, fy, frows = px[finite], py[finite], rows[finite]
    within = frows[1:] == frows[:-1]
    steps = np.hypot(np.diff(fx), np.diff(fy))
    table["length"] = np.bincount(frows[1:][within], weights=steps[within],
                                  minlength=len(distinct))

    with np.errstate(invalid="ignore"):   # infinite ends give NaN
        dx = table["x_end"] - table["x_start"]
        dy = table["y_end"] - table["y_start"]
        angle = np.degrees(np.arctan2(dy, dx)) % 360.0
    # A direction just below 0 degrees comes out as 360.0 after rounding.
    angle[angle >= 360.0] = 0.0
    angle[(dx == 0) & (dy == 0)] = np.nan
    table["angle_deg"] = angle

    for name, column in columns.items():
        values = column[points].astype(np.float64)
        keep = np.isfinite(values)
        kept, kept_rows = values[keep], rows[keep]
        have = np.bincount(kept_rows, minlength=len(distinct))
        mean = np.full(len(distinct), np.nan)
        low = np.full(len(distinct), np.nan)
        high = np.full(len(distinct), np.nan)
        if kept.size:
            # Kept values are still grouped by row: one reduction per group.
            group_starts = (np.cumsum(have) - have)[have > 0]
            mean[have > 0] = np.add.reduceat(kept, group_starts) / have[have > 0]
            low[have > 0] = np.minimum.reduceat(kept, group_starts)
            high[have > 0] = np.maximum.reduceat(kept, group_starts)
        table[f"{name}_mean"] = mean
        table[f"{name}_min"] = low
        table[f"{name}_max"] = high
    return table
