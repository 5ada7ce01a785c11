"""rasterloom_layers: scan lines at any angle and whole layers in any scan
strategy, on realistic layer plans (examples/layer_plans.py) whose scan line
of every point is known.

The measure is the share of the plan's scan lines that get an id of their own
(`layer_plans.own_id_share`); every share is also reported in the summary at
the end of the run.
"""
import functools
import math
import os
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import rasterloom
import rasterloom_layers
from rasterloom_layers import annotate_at_angle, annotate_layer, estimate_angle

import reference_layers as reference

from conftest import RECORDING_REPORT, SHARE_REPORT, expect_arrays_checked_as_the_module_checks_them
from test_properties import assert_well_formed, coordinates

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
import layer_plans  # noqa: E402
import sample_data  # noqa: E402

SANITIZED = os.environ.get("RASTERLOOM_SANITIZED") == "1"
heavy = pytest.mark.skipif(SANITIZED, reason="large layers are slow under the sanitizers")

NOISE = 0.002   # 2 micrometres, on x and on y
MEANDER_ANGLES = [0.0, 22.5, 45.0, 67.0, 112.5, 150.0]


@functools.lru_cache(maxsize=None)
def plan(kind, angle, noise=0.0, size=4.0):
    if kind == "meander":
        return layer_plans.meander_layer(angle, noise=noise, seed=7)
    if kind == "frame":
        return layer_plans.meander_layer(angle, frame=True)
    if kind == "stripes":
        return layer_plans.stripe_layer(angle, width=size, noise=noise, seed=7)
    return layer_plans.island_layer(angle, size=size, noise=noise, seed=7)


def rotated(x, y, degrees):
    t = np.radians(degrees)
    return x * np.cos(t) - y * np.sin(t), x * np.sin(t) + y * np.cos(t)


# ------------------------------------------------------------------ surface

def test_package_exports_and_is_typed():
    assert rasterloom_layers.__all__ == ["annotate_at_angle", "annotate_layer", "estimate_angle",
                                        "scanline_table"]
    assert (Path(rasterloom_layers.__file__).parent / "py.typed").is_file()
    # The module itself is unchanged.
    assert rasterloom.__all__ == ["annotate_scanlines"]


# The public functions (compiled), and the same on the reference.
AT_ANGLE = pytest.mark.parametrize("at_angle", [annotate_at_angle, reference.annotate_at_angle],
                                   ids=["compiled", "reference"])


@pytest.mark.parametrize("function", [annotate_at_angle, annotate_layer, estimate_angle,
                                      reference.annotate_at_angle, reference.annotate_layer,
                                      reference.estimate_angle])
def test_wrong_arrays_get_the_modules_errors(function):
    expect_arrays_checked_as_the_module_checks_them(function)


@AT_ANGLE
@pytest.mark.parametrize("angle", [float("nan"), float("inf"), -float("inf")])
def test_angle_that_is_not_finite_is_refused(at_angle, angle):
    rec = sample_data.small_layer()
    with pytest.raises(ValueError, match="angle_deg must be finite"):
        at_angle(rec.x, rec.y, angle)


@AT_ANGLE
@pytest.mark.parametrize("angle", ["67", True, [67.0], 1j])
def test_angle_that_is_not_a_number_is_refused(at_angle, angle):
    rec = sample_data.small_layer()
    with pytest.raises(TypeError, match="angle_deg must be a number or None"):
        at_angle(rec.x, rec.y, angle)


def test_angle_of_any_real_number_type_is_taken():
    rec = sample_data.small_layer()
    expected = annotate_at_angle(rec.x, rec.y, 90.0)
    for angle in (90, np.int16(90), np.float32(90.0), np.float64(90.0)):
        assert np.array_equal(annotate_at_angle(rec.x, rec.y, angle), expected)


def test_too_few_points_for_an_angle():
    for x in (np.zeros(0), np.array([1.0, 2.0]), np.full(50, np.nan), np.zeros(50)):
        with pytest.raises(ValueError, match="too few points to estimate the scan line angle"):
            annotate_at_angle(x, x.copy())
        with pytest.raises(ValueError, match="too few points to estimate the scan line angle"):
            estimate_angle(x, x.copy())
        if len(x):
            with pytest.raises(ValueError, match="too few points to estimate the scan line angle"):
                annotate_layer(x, x.copy())
    # With the angle given, nothing needs estimating.
    assert annotate_at_angle(np.zeros(0), np.zeros(0), 30.0).shape == (0,)
    assert annotate_at_angle(np.array([1.0, 2.0]), np.array([1.0, 2.0]), 30).tolist() == [-1, -1]
    assert annotate_layer(np.zeros(0, np.float32), np.zeros(0, np.float32)).dtype == np.int32


def test_inputs_are_never_written_and_strided_views_are_read():
    layer = sample_data.sample_layer()
    xy = np.column_stack(rotated(layer.x, layer.y, 30.0))
    x, y = xy[:, 0], xy[:, 1]          # strided columns
    before = xy.copy()
    xy.setflags(write=False)
    at_angle = annotate_at_angle(x, y)
    whole = annotate_layer(x, y)
    assert np.array_equal(xy, before)
    assert np.array_equal(at_angle, annotate_at_angle(x.copy(), y.copy()))
    assert np.array_equal(whole, annotate_layer(x.copy(), y.copy()))
    assert np.count_nonzero(whole > 0) > len(whole) // 2
    assert at_angle.dtype == whole.dtype == np.int32
    assert at_angle.shape == whole.shape == x.shape


# ------------------------------------------------- agreement with the module

def test_vertical_lines_are_numbered_exactly_as_by_the_module():
    for seed in range(3):
        rec = sample_data.sample_layer(seed)
        expected = rasterloom.annotate_scanlines(rec.x, rec.y)
        assert np.array_equal(annotate_at_angle(rec.x, rec.y, 90.0, all_lines=False), expected)
        assert np.array_equal(annotate_at_angle(rec.x, rec.y, all_lines=False), expected)
        assert np.array_equal(annotate_layer(rec.x, rec.y, all_lines=False), expected)


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize("degrees", [0.0, 13.0, 67.0, 90.0, 101.5, 148.0])
def test_a_rotated_meander_is_numbered_as_the_upright_one(dtype, degrees):
    # The sample layer (vertical lines, arc turn-arounds, noise on y) turned
    # by `degrees`: its lines run at 90 + degrees.
    rec = sample_data.sample_layer(seed=3)
    upright = rasterloom.annotate_scanlines(rec.x.astype(dtype), rec.y.astype(dtype))
    x, y = rotated(rec.x, rec.y, degrees)
    x, y = x.astype(dtype), y.astype(dtype)
    assert np.array_equal(annotate_at_angle(x, y, 90.0 + degrees, all_lines=False), upright)
    # Turned by a further half turn, the same lines run the other way up,
    # which is how the module sees the path turned upside down.
    upside_down = rasterloom.annotate_scanlines(-rec.x.astype(dtype), -rec.y.astype(dtype))
    assert np.array_equal(annotate_at_angle(x, y, 270.0 + degrees, all_lines=False), upside_down)
    # An estimate is a direction in [0, 180): one of the two.
    estimate = estimate_angle(x, y)
    assert abs((estimate - 90.0 - degrees + 90.0) % 180.0 - 90.0) < 0.01
    expected = upright if (90.0 + degrees) % 360.0 < 180.0 else upside_down
    assert np.array_equal(annotate_at_angle(x, y, all_lines=False), expected)
    assert np.array_equal(annotate_layer(x, y, all_lines=False), expected)


def test_every_line_numbered_where_the_module_numbers_lines():
    # Exact vertical meanders: by default the lines the module numbers keep
    # its stretches (the module's convention, ids moved up), and the lines it
    # leaves at -1 (the first two and the last of every part) get ids too.
    for seed in range(3):
        rec = sample_data.sample_layer(seed)
        module = rasterloom.annotate_scanlines(rec.x, rec.y)
        every = annotate_layer(rec.x, rec.y)
        assert_well_formed(every, len(rec))
        ids = np.unique(module[module > 0])
        kept = sum(np.array_equal(np.flatnonzero(every == every[np.flatnonzero(module == i)[0]]),
                                  np.flatnonzero(module == i)) for i in ids)
        assert kept >= 0.95 * len(ids)
        line = rec.region * 1000 + np.where(rec.line >= 0, rec.line, -1000 * (rec.region + 1))
        own = {}
        for key in np.unique(line[rec.line >= 0]):
            points = np.flatnonzero(line == key)
            inner = points[len(points) // 10: len(points) - len(points) // 10]
            assert len(np.unique(every[inner])) == 1 and every[inner[0]] > 0
            own[int(key)] = int(every[inner[0]])
        assert len(set(own.values())) == len(own)


def test_angles_differing_by_whole_turns_are_the_same_direction():
    layer = plan("meander", 67.0)
    labels = annotate_at_angle(layer.x, layer.y, 67.0)
    for other in (427.0, -293.0, 67.0 + 3600.0):
        assert np.array_equal(annotate_at_angle(layer.x, layer.y, other), labels)


@pytest.mark.parametrize("y_only", [False, True])
def test_nan_points_stay_unlabelled_and_change_nothing_else(y_only):
    layer = plan("meander", 22.5, NOISE)
    rng = np.random.default_rng(5)
    at = np.sort(rng.choice(len(layer), 300, replace=False))
    x = np.insert(layer.x, at, np.nan)
    y = np.insert(layer.y, at, 1.0)
    y[at[:100] + np.arange(100)] = np.nan
    x[at[:50] + np.arange(50)] = 5.0   # NaN in y only
    if y_only:   # every point that is not finite has a finite x
        x[at + np.arange(300)] = 5.0
        y[at + np.arange(300)] = np.nan
    nan = ~(np.isfinite(x) & np.isfinite(y))
    assert np.count_nonzero(nan) == 300
    assert estimate_angle(x, y) == estimate_angle(layer.x, layer.y)
    for function in (annotate_at_angle, annotate_layer):
        labels = function(x, y)
        assert np.all(labels[nan] == -1)
        assert np.array_equal(labels[~nan], function(layer.x, layer.y))


# ------------------------------------------------------------ layer results

def ids_follow_the_path(labels):
    """Ids increase along the path, each on one contiguous stretch."""
    ids = labels[labels > 0]
    assert np.all(np.diff(ids) >= 0)
    starts = np.flatnonzero(np.diff(labels) != 0) + 1
    firsts = labels[np.concatenate([[0], starts])]
    firsts = firsts[firsts > 0]
    assert len(firsts) == len(np.unique(firsts))


@heavy
@pytest.mark.parametrize("angle", MEANDER_ANGLES)
def test_meanders_at_any_angle(angle):
    frame = plan("frame", angle)
    baseline = layer_plans.own_id_share(frame, rasterloom.annotate_scanlines(frame.x, frame.y))
    exact, noisy = plan("meander", angle), plan("meander", angle, NOISE)
    name = f"meander {angle:5.1f} deg"
    shares = {}
    for case, layer, angle_deg, target in [
        ("exact, angle given", exact, angle, 0.97),
        ("exact, estimated", exact, None, 0.97),
        ("noisy, angle given", noisy, angle, 0.90),
        ("noisy, estimated", noisy, None, 0.90),
    ]:
        share = layer_plans.own_id_share(
            layer, annotate_at_angle(layer.x, layer.y, angle_deg, all_lines=False))
        SHARE_REPORT.append((name, case, share, baseline, f">= {target:.2f} x vertical"))
        shares[case] = share
        assert share >= target * baseline, (case, share, baseline)
    for case, layer in [("exact", exact), ("noisy", noisy)]:
        labels = annotate_layer(layer.x, layer.y, all_lines=False)
        ids_follow_the_path(labels)
        share = layer_plans.own_id_share(layer, labels)
        SHARE_REPORT.append((name, f"{case}, annotate_layer", share, baseline,
                             ">= annotate_at_angle"))
        assert share >= shares[f"{case}, estimated"], (case, share)
        # Every line numbered, at the given angle and over the whole layer.
        for function, label in [(lambda: annotate_at_angle(layer.x, layer.y, angle), "at angle"),
                                (lambda: annotate_layer(layer.x, layer.y), "layer")]:
            every = function()
            ids_follow_the_path(every)
            share = layer_plans.own_id_share(layer, every, min_samples=10)
            SHARE_REPORT.append((name, f"{case}, every line, {label}", share, None, ">= 0.97"))
            assert share >= 0.97, (case, label, share)


@heavy
@pytest.mark.parametrize("kind, size, angle", [
    ("stripes", 4.0, 0.0), ("stripes", 5.0, 67.0),
    ("islands", 3.0, 0.0), ("islands", 4.0, 67.0), ("islands", 5.0, 30.0),
])
@pytest.mark.parametrize("noise", [0.0, NOISE])
def test_stripes_and_islands(kind, size, angle, noise):
    layer = plan(kind, angle, noise, size)
    name = f"{kind} {size:.0f} mm {angle:5.1f} deg"
    case = "noisy" if noise else "exact"
    labels = annotate_layer(layer.x, layer.y, all_lines=False)
    ids_follow_the_path(labels)
    share = layer_plans.own_id_share(layer, labels)
    regions = np.bincount(np.unique(np.column_stack([layer.region, layer.line])[layer.line >= 0],
                                    axis=0)[:, 0])
    ceiling = float(np.maximum(regions - 3, 0).sum()) / layer.lines
    SHARE_REPORT.append((name, f"{case}, annotate_layer (ceiling {ceiling:.3f})",
                         share, None, ">= 0.85"))
    assert share >= 0.85
    every = annotate_layer(layer.x, layer.y)
    ids_follow_the_path(every)
    share = layer_plans.own_id_share(layer, every, min_samples=10)
    SHARE_REPORT.append((name, f"{case}, every line", share, None, ">= 0.97"))
    assert share >= 0.97


# ------------------------------------------ recordings as scanners log them

R = layer_plans.Recording
NOISY = 0.005   # 5 micrometres
# name: (recording, options); options: hatch, dtype, parts.
RECORDINGS = {
    "base: 100 kHz, 1000 mm/s, jumps recorded": (R(), {}),
    "laser on only": (R(laser_on_only=True), {}),
    "20 kHz": (R(rate_hz=20e3), {}),
    "400 kHz": (R(rate_hz=400e3), {}),
    "1 MHz": (R(rate_hz=1e6), {}),
    "marking 200 mm/s": (R(mark_speed=200.0, jump_speed=2000.0), {}),
    "marking 3000 mm/s at 200 kHz": (R(mark_speed=3000.0, jump_speed=6000.0, rate_hz=200e3), {}),
    "marking 3000 mm/s at 20 kHz": (R(mark_speed=3000.0, jump_speed=10000.0, rate_hz=20e3), {}),
    "jumps at 1.5 x marking": (R(jump_speed=1500.0), {}),
    "jumps at 10 m/s": (R(jump_speed=10000.0), {}),
    "hatch 0.03 mm": (R(), {"hatch": 0.03}),
    "hatch 0.2 mm": (R(), {"hatch": 0.2}),
    "micrometres": (R(unit=1000.0), {}),
    "metres": (R(unit=0.001), {}),
    "delays of 20 samples": (R(delay=20), {}),
    "skywriting 1 mm": (R(skywriting=1.0), {}),
    "contours first": (R(contours_first=True), {}),
    "noise 5 um": (R(noise=NOISY, seed=3), {}),
    "float32, noise 2 um": (R(noise=0.002, seed=6), {"dtype": np.float32}),
    "delays, skywriting, noise": (R(delay=20, skywriting=1.0, noise=NOISY, seed=4), {}),
    "laser on only, noise": (R(laser_on_only=True, noise=NOISY, seed=5), {}),
    "laser on only, delays, noise": (R(laser_on_only=True, delay=20, noise=NOISY, seed=10), {}),
    "20 kHz, 3000 mm/s, noise": (R(rate_hz=20e3, mark_speed=3000.0, jump_speed=10000.0,
                                   noise=NOISY, seed=9), {}),
    # 7.7 million points on the default parts: a smaller part instead.
    "1 MHz, 200 mm/s, noise": (R(rate_hz=1e6, mark_speed=200.0, jump_speed=2000.0,
                                 noise=NOISY, seed=8),
                               {"parts": [layer_plans.disc_with_hole(0.0, 0.0, 3.0, 1.0)]}),
}
# The interpreter x NumPy matrix of CI runs a few of them (the part shapes
# take theirs from all of them).
ALL_RECORDINGS = RECORDINGS
if os.environ.get("RASTERLOOM_QUICK_LAYERS") == "1":
    RECORDINGS = {name: RECORDINGS[name] for name in [
        "base: 100 kHz, 1000 mm/s, jumps recorded", "laser on only, noise",
        "delays, skywriting, noise", "float32, noise 2 um"]}
STRATEGIES = {
    "meander 67": lambda **k: layer_plans.meander_layer(67.0, **k),
    "stripes 67": lambda **k: layer_plans.stripe_layer(67.0, **k),
    "islands 3 mm": lambda **k: layer_plans.island_layer(67.0, size=3.0, **k),
    "islands 1 mm": lambda **k: layer_plans.island_layer(67.0, size=1.0, **k),
}
MIN_SAMPLES = 10


def check_every_line(layer, options, name, strategy, base=None, table="recordings"):
    """Both numberings of a recorded layer; the default gives at least 0.97 of
    the lines of MIN_SAMPLES samples and more an id of their own, and at least
    0.95 of the `base` share, numbers no contour, and its ids follow the
    path. Returns the default's share."""
    dtype = options.get("dtype", np.float64)
    x, y = layer.x.astype(dtype), layer.y.astype(dtype)
    counts = np.bincount(layer.line[layer.line >= 0])
    if not np.any(counts >= MIN_SAMPLES):
        return None   # lines too short for the measure at this rate and speed
    every = annotate_layer(x, y)
    module = annotate_layer(x, y, all_lines=False)
    # The compiled pipeline numbers as its reference does, bit for bit.
    assert np.array_equal(every, reference.annotate_layer(x, y)), (name, strategy)
    assert np.array_equal(module, reference.annotate_layer(x, y, all_lines=False)), (name, strategy)
    ids_follow_the_path(every)
    share = layer_plans.own_id_share(layer, every, MIN_SAMPLES)
    today = layer_plans.own_id_share(layer, module, MIN_SAMPLES)
    RECORDING_REPORT[(table, name, strategy)] = (today, share)
    assert share >= 0.97, (name, strategy, share)
    if base is not None:
        assert share >= 0.95 * base, (name, strategy, share, base)
    assert np.count_nonzero(every[layer.contour] > 0) <= 0.01 * np.count_nonzero(layer.contour)
    return share


@functools.lru_cache(maxsize=None)
def base_share(strategy):
    rec, options = RECORDINGS["base: 100 kHz, 1000 mm/s, jumps recorded"]
    return check_every_line(STRATEGIES[strategy](recording=rec), options,
                            "base: 100 kHz, 1000 mm/s, jumps recorded", strategy)


@heavy
@pytest.mark.parametrize("name", list(RECORDINGS))
def test_every_line_numbered_however_the_layer_was_recorded(name):
    rec, options = RECORDINGS[name]
    plan_options = {k: v for k, v in options.items() if k in ("hatch", "parts")}
    for strategy, make in STRATEGIES.items():
        check_every_line(make(recording=rec, **plan_options), options, name, strategy,
                         base_share(strategy))


@heavy
@pytest.mark.parametrize("shape", ["thin walls", "small parts", "hole lattice", "long plate"][
    :1 if os.environ.get("RASTERLOOM_QUICK_LAYERS") == "1" else None])
def test_every_line_numbered_on_every_part_shape(shape):
    parts = layer_plans.SHAPES[shape]()
    for name in ["base: 100 kHz, 1000 mm/s, jumps recorded", "laser on only, noise",
                 "delays, skywriting, noise", "20 kHz"]:
        rec, _ = ALL_RECORDINGS[name]
        # Hatched along the parts' straight edges, and across them.
        for strategy, layer in [
            ("meander 0", layer_plans.meander_layer(0.0, parts=parts, recording=rec)),
            ("stripes 40", layer_plans.stripe_layer(40.0, parts=parts, recording=rec)),
            ("islands 3 mm", layer_plans.island_layer(0.0, size=3.0, parts=parts, recording=rec)),
        ]:
            check_every_line(layer, {}, f"{shape}, {name}", strategy, table="part shapes")


# ----------------------------------------------------- any input, any scale

TOO_FEW = "too few points to estimate the scan line angle"


def outcome(function, *args, **kwargs):
    """What a call gives, with every warning an error: its result, or the
    message of the ValueError it raised for too few points."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            return function(*args, **kwargs)
        except ValueError as error:
            assert str(error).startswith(TOO_FEW), error
            return None


@given(dtype=st.sampled_from([np.float64, np.float32]), data=st.data(),
       all_lines=st.booleans(),
       angle=st.one_of(st.none(), st.floats(-1e6, 1e6), st.sampled_from([0.0, 90.0, 45.0])))
def test_any_coordinates_are_numbered_or_refused_cleanly(dtype, data, all_lines, angle):
    x, y = data.draw(coordinates(dtype)), data.draw(coordinates(dtype))
    n = min(len(x), len(y))
    x, y = x[:n], y[:n]
    finite = np.isfinite(x) & np.isfinite(y)
    calls = [(annotate_layer, reference.annotate_layer, (x, y), {"all_lines": all_lines}),
             (annotate_at_angle, reference.annotate_at_angle, (x, y, angle), {"all_lines": all_lines}),
             (estimate_angle, reference.estimate_angle, (x, y), {})]
    # The compiled pipeline gives what its reference gives, error or result.
    for compiled, python, args, kwargs in calls:
        got, expected = outcome(compiled, *args, **kwargs), outcome(python, *args, **kwargs)
        assert (got is None) == (expected is None)
        if got is not None:
            assert np.array_equal(got, expected)
    for labels in (outcome(annotate_layer, x, y, all_lines=all_lines),
                   outcome(annotate_at_angle, x, y, angle, all_lines=all_lines)):
        if labels is not None:
            assert type(labels) is np.ndarray and labels.dtype == np.int32
            assert labels.shape == (n,) and labels.flags.owndata
            assert np.all(labels[~finite] == -1)
            # Ids follow the path, each over one stretch of the finite points.
            assert_well_formed(labels[finite], int(np.count_nonzero(finite)))
    estimate = outcome(estimate_angle, x, y)
    assert estimate is None or 0.0 <= estimate < 180.0
    # With the angle given nothing is estimated, and nothing is refused.
    if angle is not None:
        assert outcome(annotate_at_angle, x, y, angle, all_lines=all_lines) is not None


@functools.lru_cache(maxsize=None)
def small_islands():
    return layer_plans.island_layer(67.0, size=2.0, noise=0.002, seed=1,
                                    parts=[layer_plans.disc_with_hole(0.0, 0.0, 2.5, 0.8)])


@given(exponent=st.integers(-1015, 1015))
def test_scaling_by_a_power_of_two_changes_no_label(exponent):
    layer = small_islands()
    expected = annotate_layer(layer.x, layer.y)
    x, y = np.ldexp(layer.x, exponent), np.ldexp(layer.y, exponent)
    assert np.array_equal(outcome(annotate_layer, x, y), expected)


@heavy
@pytest.mark.parametrize("scale, offset", [(1e300, 0.0), (1e-300, 0.0), (1e-310, 0.0),
                                           (1e150, 1e6), (1e-150, 1e6), (1.0, 1e9),
                                           (1e30, 0.0), (1e-30, 0.0)])
def test_huge_and_tiny_coordinates(scale, offset):
    layer = small_islands()
    for dtype in (np.float64, np.float32):
        if dtype == np.float32 and not 1e-30 <= scale <= 1e30 or dtype == np.float32 and offset:
            continue   # beyond float32, or its precision
        x = ((layer.x + offset) * scale).astype(dtype)
        y = ((layer.y + offset) * scale).astype(dtype)
        every = outcome(annotate_layer, x, y)
        assert_well_formed(every, len(x))
        assert layer_plans.own_id_share(layer, every, MIN_SAMPLES) >= 0.97
        for labels in (outcome(annotate_layer, x, y, all_lines=False),
                       outcome(annotate_at_angle, x, y, 67.0, all_lines=False)):
            assert_well_formed(labels, len(x))
        assert abs(outcome(estimate_angle, x, y) - 67.0) % 90.0 < 0.5 or \
            abs(outcome(estimate_angle, x, y) - 67.0) % 90.0 > 89.5


def test_own_id_share_counts_lines_with_one_id_of_their_own():
    layer = plan("frame", 90.0)
    labels = np.zeros(len(layer), dtype=np.int32) - 1
    on_line = layer.line >= 0
    labels[on_line] = layer.line[on_line] + 1
    assert layer_plans.own_id_share(layer, labels) == 1.0
    # Two lines sharing an id: neither has one of its own.
    shared = labels.copy()
    shared[layer.line == 5] = 5
    assert layer_plans.own_id_share(layer, shared) == 1.0 - 2 / layer.lines
    # A line whose interior is partly -1 has none.
    partly = labels.copy()
    partly[np.flatnonzero(layer.line == 7)[len(np.flatnonzero(layer.line == 7)) // 2]] = -1
    assert layer_plans.own_id_share(layer, partly) == 1.0 - 1 / layer.lines
    # The first and last tenth of a line do not count.
    ends = labels.copy()
    ends[np.flatnonzero(layer.line == 9)[:2]] = 99999
    assert layer_plans.own_id_share(layer, ends) == 1.0


def test_generated_plan_is_the_same_in_its_hatch_frame():
    frame, layer = plan("frame", 67.0), plan("meander", 67.0)
    assert np.array_equal(frame.line, layer.line) and layer.lines > 200
    # Turned back by 90 - 67 degrees, the layer is its frame; there the
    # x of every line is exactly one value.
    x, y = rotated(layer.x, layer.y, 90.0 - 67.0)
    assert np.allclose(x, frame.x, atol=1e-12) and np.allclose(y, frame.y, atol=1e-12)
    on_line = frame.line >= 0
    xs = np.unique(np.column_stack([frame.line[on_line], frame.x[on_line]]), axis=0)
    assert len(xs) == frame.lines
    # Lines 0.1 mm apart, sampled every 0.01 mm while marking.
    steps = np.hypot(np.diff(frame.x), np.diff(frame.y))[on_line[:-1] & on_line[1:]
                                                          & (np.diff(frame.line) == 0)]
    assert np.median(steps) == pytest.approx(0.01, rel=0.05)
    assert np.median(np.diff(np.unique(xs[:, 1]))) == pytest.approx(0.1)
