"""End-to-end scanline numbering on meander recordings whose labels follow
from the shape of the path.

A meander of L vertical lines joined by turn-arounds T0 .. T(L-2) has its
tops at T0, T2, ... and its bottoms at T1, T3, ...; the first top and the
starting point are no turn candidates, so the candidates are T1 .. T(L-2).
With five lines or more, each candidate from T2 on is an accepted turn; scanline j (j = 1 .. L-3)
ends at the middle point of T(j+1); the first starts just after T1, each
later one just after the middle point of the turn-around before it. The
first two lines, the last line and everything outside keep -1.
"""
import numpy as np
import pytest

from rasterloom import annotate_scanlines

from conftest import meander


def expected_labels(lines, points_per_line, turn_points, lead=0, tail=0):
    stride = points_per_line + turn_points
    n = lead + lines * points_per_line + (lines - 1) * turn_points + tail
    labels = np.full(n, -1, dtype=np.int32)

    def turn_first(t):
        return lead + t * stride + points_per_line

    def turn_mid(t):
        return turn_first(t) + (turn_points - 1) // 2

    start = turn_first(1) + turn_points
    for j in range(1, lines - 2):
        end = turn_mid(j + 1)
        labels[start:end + 1] = j
        start = end + 1
    return labels


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_six_line_example(dtype):
    x, y, _ = meander(6, 11, 3, dtype=dtype, length=10.0)
    assert len(x) == 81
    labels = annotate_scanlines(x, y)
    expected = np.full(81, -1)
    expected[28:41] = 1
    expected[41:55] = 2
    expected[55:69] = 3
    assert labels.tolist() == expected.tolist()


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
@pytest.mark.parametrize(
    "lines, per_line, turn",
    [(5, 5, 1), (5, 20, 2), (10, 50, 4), (25, 7, 3), (60, 200, 6)],
)
def test_meanders_of_several_shapes(dtype, lines, per_line, turn):
    x, y, _ = meander(lines, per_line, turn, dtype=dtype, line_pitch=0.1, length=5.0)
    assert np.array_equal(annotate_scanlines(x, y), expected_labels(lines, per_line, turn))


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_y_jitter_along_the_lines_changes_nothing(dtype):
    # Points of one line share their x exactly, so jitter in y only moves the
    # line's mean; the turn-arounds and so the numbering stay as they are.
    x, y, owner = meander(12, 40, 3, dtype=dtype)
    rng = np.random.default_rng(3)
    on_line = owner >= 0
    y = y.copy()
    y[on_line] += rng.normal(0, 1e-3, on_line.sum()).astype(dtype)
    assert np.array_equal(annotate_scanlines(x, y), expected_labels(12, 40, 3))


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_travel_moves_before_and_after_keep_minus_one(dtype):
    # The lead-in rises diagonally towards the start of the first (upward)
    # line and the lead-out leaves the last (upward) line still rising, so
    # neither reverses the sense of travel and neither adds a turn.
    lines, per_line, turn = 9, 30, 3
    x, y, _ = meander(lines, per_line, turn, dtype=dtype)
    lead_in = np.linspace(-20.0, -1.0, 15)
    lead_out = np.linspace(1.0, 30.0, 12)
    xs = np.concatenate([lead_in, x, x[-1] + lead_out]).astype(dtype)
    ys = np.concatenate([lead_in - 1.0, y, y[-1] + lead_out]).astype(dtype)
    labels = annotate_scanlines(xs, ys)
    expected = expected_labels(lines, per_line, turn, lead=15, tail=12)
    assert np.array_equal(labels, expected)
    assert (labels[:15] == -1).all() and (labels[-12:] == -1).all()


def test_too_few_lines_give_no_scanline():
    # With four lines the only candidate examined, T2, has neither a
    # predecessor pair for the backward test nor a successor for the forward one.
    for lines in (1, 2, 3, 4):
        x, y, _ = meander(lines, 10, 2)
        assert (annotate_scanlines(x, y) == -1).all()


def test_unaligned_and_aligned_copies_agree_on_a_real_path():
    x, y, _ = meander(8, 25, 3)
    raw = bytearray(x.nbytes + y.nbytes + 1)
    mx = np.ndarray(x.shape, x.dtype, buffer=raw, offset=1)
    my = np.ndarray(y.shape, y.dtype, buffer=raw, offset=1 + x.nbytes)
    mx[:], my[:] = x, y
    labels = annotate_scanlines(mx, my)
    assert labels.max() == 5
    assert np.array_equal(labels, expected_labels(8, 25, 3))
