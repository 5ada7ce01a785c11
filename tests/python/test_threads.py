"""The worker pool as seen from Python: its size, when it starts, the one
pool of a process that calls both extensions, calls from several threads at
once, and the agreement of the chunked paths with the serial ones."""
import multiprocessing
from pathlib import Path

import numpy as np
import pytest

from conftest import logical_processors, needs_proc

THREADS = """
    import os
    import numpy as np
    import rasterloom

    def threads():
        return len(os.listdir('/proc/self/task'))
"""


def run_ok(python_subprocess, code, **env):
    result = python_subprocess(THREADS + code, env=env)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout.split()


@pytest.mark.parametrize(
    "env, expected",
    [
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "+4"}, 4),
        ({"RAYON_NUM_THREADS": "007", "RAYON_RS_NUM_CPUS": "2"}, 7),
        ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": " 4", "RAYON_RS_NUM_CPUS": "5"}, 5),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"}, logical_processors()),
        ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": ""}, logical_processors()),
    ],
)
@needs_proc
def test_first_non_empty_call_starts_the_configured_number_of_threads(
    python_subprocess, env, expected
):
    env = {"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "", **env}
    before, after_empty, after_call, after_second = run_ok(
        python_subprocess,
        """
    print(threads())
    rasterloom.annotate_scanlines(np.zeros(0), np.zeros(0))
    with __import__('contextlib').suppress(ValueError):
        rasterloom.annotate_scanlines(np.zeros(3), np.zeros(2))
    print(threads())
    rasterloom.annotate_scanlines(np.zeros(5), np.zeros(5))
    print(threads())
    os.environ['RAYON_NUM_THREADS'] = '9'
    rasterloom.annotate_scanlines(np.zeros(5), np.zeros(5))
    print(threads())
    """,
        **env,
    )
    assert after_empty == before  # empty or refused input starts nothing
    assert int(after_call) - int(before) == expected
    assert after_second == after_call  # later changes have no effect


MEANDER = """
    def meander(lines, per_line, dtype):
        xs, ys = [], []
        ramp = np.linspace(0.0, 10.0, per_line)
        for line in range(lines):
            xs.append(np.full(per_line, float(line)))
            ys.append(ramp if line % 2 == 0 else ramp[::-1])
            if line + 1 < lines:
                xs.append(line + np.array([0.25, 0.5, 0.75]))
                ys.append(np.full(3, 10.0 if line % 2 == 0 else 0.0))
        return np.concatenate(xs).astype(dtype), np.concatenate(ys).astype(dtype)
"""


@pytest.mark.parametrize("dtype", ["float64", "float32"])
def test_one_and_two_threads_give_identical_labels(python_subprocess, tmp_path, dtype):
    code = MEANDER + f"""
    for lines, per_line in [(5000, 100), (600, 1000), (80, 9000)]:
        x, y = meander(lines, per_line, np.{dtype})
        assert len(x) >= 500000
        labels = rasterloom.annotate_scanlines(x, y)
        np.save(os.path.join({str(tmp_path)!r}, f"{{lines}}-{{os.environ['RAYON_NUM_THREADS']}}"),
                labels)
        print(labels.max())
    """
    one = run_ok(python_subprocess, code, RAYON_NUM_THREADS="1")
    two = run_ok(python_subprocess, code, RAYON_NUM_THREADS="2")
    assert one == two
    for lines in (5000, 600, 80):
        a = np.load(tmp_path / f"{lines}-1.npy")
        b = np.load(tmp_path / f"{lines}-2.npy")
        assert np.array_equal(a, b)
        # every line but the first two and the last gets an id of its own
        assert a.max() == lines - 3


CALLS = {"module": "rasterloom.annotate_scanlines(x, y)",
         "layers": "_native.annotate_layer(x, y, True)"}


@needs_proc
@pytest.mark.parametrize("first, second", [("module", "layers"), ("layers", "module")])
def test_module_and_layer_extension_share_one_pool(python_subprocess, first, second):
    out = run_ok(
        python_subprocess,
        MEANDER
        + f"""
    from rasterloom_layers import _native
    x, y = meander(2000, 400, np.float64)
    before = threads()
    {CALLS[first]}
    after_first = threads()
    {CALLS[second]}
    print(after_first - before, threads() - before)
    """,
        RAYON_NUM_THREADS="3",
    )
    assert out == ["3", "3"]


def test_threads_number_layers_at_once_as_one_after_another(python_subprocess):
    # Eight layer calls and a call of the module, all started together, three
    # times over: vertical meanders (long enough for the chunked paths),
    # float32 ones, strided and reversed arrays, and realistic layer plans.
    examples = str(Path(__file__).resolve().parents[2] / "examples")
    out = run_ok(
        python_subprocess,
        MEANDER
        + f"""
    import sys, threading
    from concurrent.futures import ThreadPoolExecutor
    sys.path.insert(0, {examples!r})
    import layer_plans
    import rasterloom_layers

    layers = [meander(1500, 400, np.float64), meander(700, 900, np.float32),
              meander(5000, 60, np.float64), meander(300, 2000, np.float32)]
    xy = np.column_stack(meander(1200, 500, np.float64))
    layers += [(xy[:, 0], xy[:, 1]), (layers[0][0][::-1], layers[0][1][::-1])]
    plans = [layer_plans.meander_layer(67.0, noise=0.002, seed=7),
             layer_plans.island_layer(0.0, noise=0.002, seed=7)]
    layers += [(plan.x, plan.y) for plan in plans]
    calls = [lambda x=x, y=y: rasterloom_layers.annotate_layer(x, y) for x, y in layers[:-1]]
    calls.append(lambda: rasterloom_layers.annotate_at_angle(*layers[-1], 90.0, all_lines=False))
    calls.append(lambda: rasterloom.annotate_scanlines(*layers[0]))
    expected = [call() for call in calls]
    start = threading.Barrier(len(calls))

    def together(call):
        start.wait()
        return call()

    with ThreadPoolExecutor(len(calls)) as executor:
        for round in range(3):
            results = list(executor.map(together, calls))
            print(sum(np.array_equal(a, b) for a, b in zip(results, expected)))
    print(sum(int(labels.max()) > 0 for labels in expected))
    """,
        RAYON_NUM_THREADS="2",
    )
    assert out[:3] == ["9"] * 3
    assert int(out[3]) >= 6  # at least the vertical meanders have scan lines


def tiled_plan(kind, noise, copies=4):
    """A realistic layer long enough that every pass of the layer pipeline is
    cut into ranges: the default parts side by side, `copies` times."""
    import layer_plans

    parts = [layer_plans.Part(tuple(ring + [22.0 * c, 0.0] for ring in part.rings))
             for c in range(copies) for part in layer_plans.default_parts()]
    recording = layer_plans.Recording(noise=noise, seed=3)
    if kind == "islands":
        return layer_plans.island_layer(67.0, size=3.0, parts=parts, recording=recording)
    return layer_plans.meander_layer(67.0, parts=parts, recording=recording)


@pytest.mark.parametrize("kind, noise, dtype", [("islands", 0.0, "float64"),
                                                ("islands", 0.002, "float32"),
                                                ("meander", 0.002, "float64")])
def test_layer_labels_do_not_depend_on_the_thread_count(python_subprocess, tmp_path, kind, noise,
                                                        dtype):
    import sys
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "examples"))
    import reference_layers

    # Recorded from a seventh of the way in, so that the ranges of the passes
    # meet inside a line, not between two parts.
    layer = tiled_plan(kind, noise)
    skip = len(layer.x) // 7
    x, y = layer.x[skip:].astype(dtype), layer.y[skip:].astype(dtype)
    assert len(x) >= 2 * 262_144
    np.save(tmp_path / "xy.npy", np.column_stack([x, y]))
    code = f"""
    import rasterloom_layers
    xy = np.load({str(tmp_path / "xy.npy")!r})
    x, y = np.ascontiguousarray(xy[:, 0]), np.ascontiguousarray(xy[:, 1])
    for all_lines in (True, False):
        labels = rasterloom_layers.annotate_layer(x, y, all_lines=all_lines)
        np.save(os.path.join({str(tmp_path)!r}, f"{{all_lines}}-{{os.environ['RAYON_NUM_THREADS']}}"),
                labels)
    """
    run_ok(python_subprocess, code, RAYON_NUM_THREADS="1")
    run_ok(python_subprocess, code, RAYON_NUM_THREADS="2")
    for all_lines in (True, False):
        one = np.load(tmp_path / f"{all_lines}-1.npy")
        two = np.load(tmp_path / f"{all_lines}-2.npy")
        assert np.array_equal(one, two), all_lines
        assert np.array_equal(one, reference_layers.annotate_layer(x, y, all_lines=all_lines))
        assert one.max() > (300 if all_lines else 0)
    assert one[len(x) // 2] > 0


@pytest.mark.skipif("fork" not in multiprocessing.get_all_start_methods(),
                    reason="the system has no fork")
def test_forked_child_gets_a_working_pool(python_subprocess):
    out = run_ok(
        python_subprocess,
        MEANDER
        + """
    import multiprocessing as mp
    x, y = meander(2000, 400, np.float64)
    expected = rasterloom.annotate_scanlines(x, y)   # the parent's pool exists now

    def child(queue):
        queue.put(rasterloom.annotate_scanlines(x, y).tobytes())

    ctx = mp.get_context('fork')
    queue = ctx.Queue()
    proc = ctx.Process(target=child, args=(queue,))
    proc.start()
    labels = np.frombuffer(queue.get(timeout=120), dtype=np.int32)
    proc.join(120)
    assert proc.exitcode == 0
    assert np.array_equal(labels, expected)
    print('ok')
    """,
        RAYON_NUM_THREADS="2",
    )
    assert out == ["ok"]


DRIFT = """
    def spiked_meander(lines, per_line, dtype, drift):
        # Lines at x = (i - centre - 0.5) * 0.1, joined by turn-arounds of five
        # points that all lie at one x, half way between the lines, and form a
        # spike beyond the line ends. The turn-around after line `centre` lies
        # at x = 0; its x values are `drift` (in units of epsilon), and the
        # recording is padded at its end so that the second point of that
        # turn-around is the first point of the second of two ranges.
        eps = np.finfo(dtype).eps
        centre = lines // 2
        xs, ys = [], []
        ramp = np.linspace(0.0, 10.0, per_line)
        spike = np.array([0.1, 0.2, 0.3, 0.2, 0.1])
        for line in range(lines):
            xs.append(np.full(per_line, (line - centre - 0.5) * 0.1))
            ys.append(ramp if line % 2 == 0 else ramp[::-1])
            if line + 1 < lines:
                turn = np.full(5, (line - centre) * 0.1)
                if line == centre:
                    turn = np.array(drift) * eps
                    first = sum(len(part) for part in xs)
                xs.append(turn)
                ys.append(10.0 + spike if line % 2 == 0 else -spike)
        n = sum(len(part) for part in xs)
        pad = 2 * (first + 1) - n          # ceil(n / 2) == first + 1 afterwards
        assert pad >= 0
        rising = lines % 2 == 1            # the last line runs upward
        xs.append(np.full(pad, xs[-1][0]))
        ys.append(10.0 + np.arange(1, pad + 1) * 1e-4 if rising
                  else -np.arange(1, pad + 1) * 1e-4)
        x, y = np.concatenate(xs).astype(dtype), np.concatenate(ys).astype(dtype)
        assert x[first + 1] == (np.array(drift) * eps).astype(dtype)[1]
        assert (len(x) + 1) // 2 == first + 1
        return x, y, first
"""


@pytest.mark.parametrize("dtype", ["float64", "float32"])
def test_threads_agree_only_while_x_is_exactly_constant_within_runs(python_subprocess, tmp_path,
                                                                    dtype):
    # With two threads, points from 500 000 on are cut into two ranges, and
    # the points after the range boundary are compared with the x of the
    # boundary point instead of the x of the run in progress. Turn-around
    # points whose x drifts by 0.9 and 1.7 epsilon from the run's first x
    # are two runs on one thread (1.7 epsilon is too far from 0) but one on
    # two (0.8 epsilon from the boundary point, which itself is within
    # epsilon of the run): the turn's middle point moves by one.
    code = MEANDER.replace("def meander", "def unused") + DRIFT + f"""
    for name, drift in [("exact", [0.0] * 5), ("drift", [0.0, 0.9, 1.7, 1.7, 1.7])]:
        x, y, first = spiked_meander(601, 1000, np.{dtype}, drift)
        assert len(x) >= 500000
        labels = rasterloom.annotate_scanlines(x, y)
        np.save(f"{tmp_path}/{{name}}-{{os.environ['RAYON_NUM_THREADS']}}", labels)
        print(first)
    """
    one = run_ok(python_subprocess, code, RAYON_NUM_THREADS="1")
    two = run_ok(python_subprocess, code, RAYON_NUM_THREADS="2")
    assert one == two
    first = int(one[0])
    exact_one, exact_two = (np.load(tmp_path / f"exact-{t}.npy") for t in (1, 2))
    assert np.array_equal(exact_one, exact_two)
    assert exact_one.max() == 601 - 3
    drift_one, drift_two = (np.load(tmp_path / f"drift-{t}.npy") for t in (1, 2))
    # One thread: the drifting turn-around is two runs, and the turn is the
    # second of them (points first + 2 .. first + 4, middle first + 3), as
    # when x is exact apart from the split. Two threads: one run of five
    # points, middle first + 2.
    assert np.flatnonzero(drift_one != drift_two).tolist() == [first + 3]
    assert drift_one[first + 3] == drift_one[first + 2]
    assert drift_two[first + 3] == drift_two[first + 2] + 1
    assert np.array_equal(drift_two, exact_two)
