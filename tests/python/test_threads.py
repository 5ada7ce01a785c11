"""The worker pool as seen from Python: its size, when it starts, and the
agreement of the chunked paths with the serial ones."""
import multiprocessing

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
