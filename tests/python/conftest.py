import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest


def run_python(code, env=None, timeout=300):
    """Runs `code` in a fresh interpreter and returns the completed process."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )


# Some tests read the process's threads or memory from /proc, which only
# Linux has; the wheels of the other systems run the rest of the suite.
needs_proc = pytest.mark.skipif(
    not os.path.isdir("/proc/self/task"),
    reason="reads the process's threads or memory from /proc (Linux only)")


def logical_processors():
    """The processors this process may run on, as the worker pool counts them."""
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


@pytest.fixture
def python_subprocess():
    return run_python


def meander(lines, points_per_line, turn_points, *, dtype=np.float64, line_pitch=1.0,
            length=10.0):
    """A meander of vertical lines at x = 0, pitch, 2*pitch, ..., traversed
    alternately upward and downward, joined by `turn_points` points on the
    top or bottom edge between neighbouring lines. Returns (x, y, line_of_point)
    where line_of_point is the index of the line a point belongs to, or -1 for
    turn-around points."""
    xs, ys, owner = [], [], []
    ramp = np.linspace(0.0, length, points_per_line)
    for line in range(lines):
        x0 = line * line_pitch
        y_line = ramp if line % 2 == 0 else ramp[::-1]
        xs.extend([x0] * points_per_line)
        ys.extend(y_line)
        owner.extend([line] * points_per_line)
        if line + 1 < lines:
            edge = length if line % 2 == 0 else 0.0
            for k in range(1, turn_points + 1):
                xs.append(x0 + line_pitch * k / (turn_points + 1))
                ys.append(edge)
                owner.append(-1)
    return np.array(xs, dtype=dtype), np.array(ys, dtype=dtype), np.array(owner)


TYPE_MESSAGE = "x and y must both be 1D numpy arrays of float64 or float32 type"


def expect_arrays_checked_as_the_module_checks_them(call):
    """`call(x, y)` refuses what annotate_scanlines refuses, with its errors:
    lists, 2-D arrays, mixed, integer and byte-swapped element types, and
    arrays of unequal length."""
    good = np.zeros(4)
    for x, y in [([0.0], [0.0]), (good, [0.0] * 4), (np.zeros((2, 2)), np.zeros((2, 2))),
                 (good, good.astype(np.float32)), (np.zeros(4, np.int64),) * 2,
                 (good.astype(">f8"), good.astype(">f8"))]:
        with pytest.raises(TypeError) as error:
            call(x, y)
        assert str(error.value) == TYPE_MESSAGE
    with pytest.raises(ValueError) as error:
        call(np.zeros(3), np.zeros(5))
    assert str(error.value) == "Input x and y length mismatch: 3 vs 5"


# Shares of scan lines with an id of their own, collected by the layer tests
# and printed at the end of the run: (strategy, case, share, reference, target).
SHARE_REPORT: list[tuple[str, str, float, float | None, str]] = []
# The recordings matrix: {(table, recording, strategy): (the module's
# numbering, every line numbered)}, printed as tables.
RECORDING_REPORT: dict[tuple[str, str, str], tuple[float, float]] = {}


def pytest_terminal_summary(terminalreporter):
    write = terminalreporter.write_line
    if SHARE_REPORT:
        terminalreporter.section("scan lines with an id of their own")
        write(f"{'strategy':<34} {'case':<22} {'share':>7} {'vertical':>9} {'ratio':>7}  target")
        for strategy, case, share, reference, target in sorted(SHARE_REPORT):
            ratio = f"{share / reference:7.3f}" if reference else " " * 7
            ref = f"{reference:9.3f}" if reference is not None else " " * 9
            write(f"{strategy:<34} {case:<22} {share:7.3f} {ref} {ratio}  {target}")
    for table in dict.fromkeys(t for t, _, _ in RECORDING_REPORT):
        terminalreporter.section(
            f"{table}: share of lines of 10 samples and more with an id of their own, "
            "all_lines=False -> default")
        keys = [(r, s) for t, r, s in RECORDING_REPORT if t == table]
        recordings = list(dict.fromkeys(r for r, _ in keys))
        strategies = list(dict.fromkeys(s for _, s in keys))
        width = max(len(r) for r in recordings) + 2
        write(f"{'recording':<{width}}" + "".join(f"{s:>18}" for s in strategies))
        for r in recordings:
            cells = [RECORDING_REPORT.get((table, r, s)) for s in strategies]
            write(f"{r:<{width}}" + "".join(
                f"{c[0]:>9.3f} ->{c[1]:>6.3f}" if c else f"{'(no lines)':>18}" for c in cells))
