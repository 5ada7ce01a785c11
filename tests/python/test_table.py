"""rasterloom_layers.scanline_table: one record per scan line id, checked
against a plain loop over the ids."""
import math

import numpy as np
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import rasterloom
from rasterloom_layers import scanline_table

from conftest import meander

BASE = ["id", "first", "last", "points", "x_start", "y_start", "x_end", "y_end", "length",
        "angle_deg"]


def direct_table(x, y, labels, channels):
    """The table, one id at a time, as its fields are defined."""
    x, y = list(map(float, x)), list(map(float, y))
    rows = []
    for scanline_id in sorted({int(v) for v in labels if v >= 0}):
        own = [k for k in range(len(labels)) if labels[k] == scanline_id]
        finite = [k for k in own if math.isfinite(x[k]) and math.isfinite(y[k])]
        dx, dy = x[own[-1]] - x[own[0]], y[own[-1]] - y[own[0]]
        row = {"id": scanline_id, "first": own[0], "last": own[-1], "points": len(own),
               "x_start": x[own[0]], "y_start": y[own[0]],
               "x_end": x[own[-1]], "y_end": y[own[-1]],
               "length": sum(math.hypot(x[b] - x[a], y[b] - y[a])
                             for a, b in zip(finite, finite[1:])),
               "angle_deg": math.nan if dx == 0 and dy == 0 else
               math.degrees(math.atan2(dy, dx)) % 360.0}
        for name, values in channels.items():
            kept = [float(values[k]) for k in own if math.isfinite(values[k])]
            row[f"{name}_mean"] = sum(kept) / len(kept) if kept else math.nan
            row[f"{name}_min"] = min(kept) if kept else math.nan
            row[f"{name}_max"] = max(kept) if kept else math.nan
        rows.append(row)
    return rows


def assert_table_is(table, rows):
    assert len(table) == len(rows)
    for name in table.dtype.names:
        got = table[name].astype(np.float64)
        expected = np.array([row[name] for row in rows], dtype=np.float64)
        assert np.array_equal(np.isnan(got), np.isnan(expected)), name
        if name == "angle_deg":
            assert np.all((got[np.isfinite(got)] >= 0) & (got[np.isfinite(got)] < 360))
            # 359.99... and 0 are the same direction.
            got = np.where(np.isfinite(got), (got - expected + 180.0) % 360.0 - 180.0, got)
            expected = np.where(np.isfinite(expected), 0.0, expected)
        np.testing.assert_allclose(got, expected, rtol=1e-12, atol=1e-9, equal_nan=True,
                                   err_msg=name)


coordinate = st.one_of(st.floats(-1e3, 1e3), st.sampled_from([math.nan, math.inf]))
point = st.tuples(coordinate, coordinate, st.sampled_from([-1, 0, 1, 2, 5, 70_000, 2**31 - 1]),
                  st.one_of(st.floats(-10, 10), st.just(math.nan)))


@settings(max_examples=150, deadline=None)
@given(st.lists(point, max_size=60), st.sampled_from([np.float64, np.float32]))
# A direction a hair below 0 degrees, which rounds to 360 when wrapped.
@example([(0.0, 0.0, 1, 0.0), (1.0, -1e-300, 1, 0.0)], np.float64)
def test_table_matches_the_direct_computation(points, dtype):
    x = np.array([p[0] for p in points], dtype=dtype)
    y = np.array([p[1] for p in points], dtype=dtype)
    labels = np.array([p[2] for p in points], dtype=np.int32)
    signal = np.array([p[3] for p in points], dtype=np.float32)
    table = scanline_table(x, y, labels, melt_pool=signal, index=np.arange(len(points)))
    assert table.dtype.names == tuple(BASE) + tuple(
        f"{c}_{s}" for c in ("melt_pool", "index") for s in ("mean", "min", "max"))
    assert table["id"].dtype == np.int32
    assert_table_is(table, direct_table(x.astype(np.float64), y.astype(np.float64), labels,
                                        {"melt_pool": signal, "index": np.arange(len(points))}))


def test_table_of_a_numbered_meander():
    x, y, _ = meander(12, 30, 3)
    labels = rasterloom.annotate_scanlines(x, y)
    table = scanline_table(x, y, labels, speed=np.hypot(np.gradient(x), np.gradient(y)))
    assert_table_is(table, direct_table(x, y, labels,
                                        {"speed": np.hypot(np.gradient(x), np.gradient(y))}))
    # Every id is one stretch of the path, and the stretches follow each other.
    assert np.array_equal(table["points"], table["last"] - table["first"] + 1)
    assert np.array_equal(table["first"][1:], table["last"][:-1] + 1)


def test_table_refuses_wrong_arrays_and_never_writes_them():
    x = np.arange(4.0)
    labels = np.array([1, 1, 2, -1], dtype=np.int32)
    for args, kwargs in [((x.reshape(2, 2), x, labels), {}), ((x, x, labels.astype(float)), {}),
                         ((x, np.array(["a"] * 4), labels), {}), ((x, x, labels), {"c": "text"}),
                         ((x, x, np.ones(4, bool)), {})]:
        with pytest.raises(TypeError):
            scanline_table(*args, **kwargs)
    for args, kwargs in [((x, x[:3], labels), {}), ((x, x, labels[:3]), {}),
                         ((x, x, labels), {"c": x[:2]}),
                         ((x, x, np.array([1, 2**40, 1, 1])), {})]:
        with pytest.raises(ValueError):
            scanline_table(*args, **kwargs)
    frozen = [x.copy(), x[::-1].copy(), labels.copy(), x.copy()]
    for array in frozen:
        array.flags.writeable = False
    table = scanline_table(frozen[0], frozen[1], frozen[2], c=frozen[3])
    assert list(table["id"]) == [1, 2]
    empty = scanline_table(x, x, np.full(4, -1))
    assert empty.dtype.names == tuple(BASE) and len(empty) == 0
