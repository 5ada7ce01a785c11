"""Benchmark of ``rasterloom.annotate_scanlines`` on generated meander recordings.

Run by hand; nothing here asserts on timings. For every case (element type x
number of points x points per line) it measures, on the same arrays (each
process builds them deterministically from the same seed):

- the module with one worker thread (RAYON_NUM_THREADS=1) and with the
  default thread count (RAYON_NUM_THREADS unset), each in its own process,
  because the worker pool is sized once per process;
- the Numba implementation in ``numba_reference.py`` (in the one-thread
  process), whose labels are checked against the module's serial labels;
- the memory-traffic floor ``np.add(x, y)`` (in the one-thread process);
- the peak resident memory of one module call, as the growth of VmHWM over
  VmRSS before the call. VmHWM is reset to the current resident size by
  writing "5" to /proc/self/clear_refs right before the call, so the peak is
  the kernel's own high-water mark, not a sample. The result array is kept
  alive, so its n x 4 bytes are part of the growth. Free heap memory left by
  earlier calls is handed back with glibc's malloc_trim(0) first, so that it
  does not absorb the growth.

It prints one markdown table with the medians and the ratios, the status of
the performance targets, and, when the C++ program ``phase_breakdown`` is
built (the script builds it into build/bench unless told not to), a
per-phase breakdown of the module's time.

Before the benchmark, the Numba implementation is compared with the module
on a set of small adversarial inputs (NaN, infinities, -0.0, steps of about
one epsilon, random meanders with injected unusual values). Any label
mismatch is printed loudly and makes the script exit with status 1.

Set-up (Numba is an optional extra, see requirements/bench.txt):

    python -m venv /tmp/bench-venv
    /tmp/bench-venv/bin/pip install -r requirements/bench.txt .
    /tmp/bench-venv/bin/python bench/bench_annotate.py --quick   # smoke run
    /tmp/bench-venv/bin/python bench/bench_annotate.py           # full run

Options: --sizes 1e6,1e7,5e7  --lines 100,1000,10000  --dtypes float64,float32
--reps 7  --turn 5  --quick  --no-numba  --no-breakdown  --breakdown-exe PATH
--fuzz-cases 3000  --json FILE.

With --matrix it measures only the thread matrix (sizes 1M and 10M by
default, 9 calls per process, --pairs 3 alternating process pairs per cell):
one thread against the floor and against the default thread count, and
float32 against float64.
"""
from __future__ import annotations

import argparse
import gc
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

BENCH_DIR = Path(__file__).resolve().parent
REPO_DIR = BENCH_DIR.parent
DEFAULT_BREAKDOWN_BUILD = REPO_DIR / "build" / "bench"

PITCH = 0.1      # distance between lines in x
HEIGHT = 10.0    # extent of a line in y
NOISE = 1e-3     # amplitude of the noise on the y of line points
SEED = 20240611

# ---------------------------------------------------------------------------
# Inputs


def meander(n: int, line: int, turn: int, dtype, seed: int = SEED):
    """A meander of exactly n points: lines of `line` points at x = i * PITCH,
    rising in y on even lines and falling on odd ones (with Gaussian noise of
    sigma NOISE on y), each followed by `turn` turn-around points between the
    lines at y = HEIGHT or 0. Built in float64, then rounded to dtype."""
    period = line + turn
    idx = np.arange(n, dtype=np.int64)
    index, pos = np.divmod(idx, period)
    del idx
    on_line = pos < line
    up = (index & 1) == 0

    x = index.astype(np.float64) * PITCH
    step = (pos - line + 1).astype(np.float64) / (turn + 1)
    x += np.where(on_line, 0.0, PITCH * step)
    del step

    ramp = HEIGHT * pos.astype(np.float64) / (line - 1)
    y = np.where(on_line, np.where(up, ramp, HEIGHT - ramp), np.where(up, HEIGHT, 0.0))
    del ramp
    rng = np.random.default_rng(seed)
    y += np.where(on_line, rng.normal(0.0, NOISE, n), 0.0)
    return x.astype(dtype, copy=False), y.astype(dtype, copy=False)


def adversarial_cases(count: int, seed: int = 7):
    """Small inputs that stress the comparison and rounding rules."""
    cases = []
    for dtype in (np.float64, np.float32):
        eps = float(np.finfo(dtype).eps)
        f = lambda values: np.array(values, dtype=dtype)  # noqa: E731

        # The worked example: six lines of 11 points with 3-point turn-arounds.
        xs, ys = [], []
        for line in range(6):
            ys.append(np.arange(11.0) if line % 2 == 0 else np.arange(10.0, -1.0, -1.0))
            xs.append(np.full(11, float(line)))
            if line < 5:
                xs.append(line + np.array([0.25, 0.5, 0.75]))
                ys.append(np.full(3, 10.0 if line % 2 == 0 else 0.0))
        ex, ey = np.concatenate(xs), np.concatenate(ys)
        cases.append(("worked example", f(ex), f(ey)))
        for where in (3, 12, 13, 30, 41, 52, 70):
            for unusual in (np.nan, np.inf, -np.inf, -0.0):
                for axis in ("x", "y"):
                    x2, y2 = ex.copy(), ey.copy()
                    (x2 if axis == "x" else y2)[where] = unusual
                    cases.append((f"worked example, {axis}[{where}] = {unusual}", f(x2), f(y2)))
        cases.append(("x steps of exactly eps", f([1, 1 + eps, 1 + 2 * eps]), f([0, 1, 2])))
        cases.append(("x drift of 0.75 eps", f([0, 0.75 * eps, 1.5 * eps, 2.25 * eps]), f([0, 1, 2, 3])))
        cases.append(("y drift of 0.75 eps", f([0, 1, 2, 3, 4]), f([0, 0.75 * eps, 1.5 * eps, 2.25 * eps, 3 * eps])))
        cases.append(("all NaN", f([np.nan] * 9), f([np.nan] * 9)))
        cases.append(("all inf", f([np.inf] * 9), f([np.inf, -np.inf] * 4 + [np.inf])))
        cases.append(("signed zeros", f([0.0, -0.0, 1, -0.0, 2, 0.0, 3, -0.0]), f([-0.0, 0.0, 1, 0, -0.0, 1, 0, -0.0])))
        cases.append(("one point", f([1.0]), f([2.0])))
        cases.append(("two points", f([1.0, 2.0]), f([2.0, 1.0])))
        tiny = 1e-300 if dtype == np.float64 else 1e-38
        cases.append(("slopes that underflow to -0", f([0, 1e30, 2e30, 3e30, 4e30, 5e30]),
                      f([0, tiny, 0, tiny, 0, tiny])))

    rng = np.random.default_rng(seed)
    unusual_values = [np.nan, np.inf, -np.inf, -0.0, 0.0, 1e30, -1e30, 1e-30]
    for case in range(count):
        dtype = np.float64 if case % 2 == 0 else np.float32
        eps = float(np.finfo(dtype).eps)
        kind = case % 3
        if kind == 0:
            # Small meander with eps-scale jitter.
            line = int(rng.integers(2, 25))
            turn = int(rng.integers(0, 5))
            n = int(rng.integers(1, 400))
            x, y = meander(n, line, turn, np.float64, seed=int(rng.integers(1 << 30)))
            scale = float(rng.choice([0.0, 0.5, 1.0, 2.0]))
            x = x + scale * eps * rng.integers(-2, 3, n) * np.maximum(1.0, np.abs(x))
            y = y + scale * eps * rng.integers(-2, 3, n) * np.maximum(1.0, np.abs(y))
        elif kind == 1:
            # Values from a tiny set: many matches, many degenerate steps.
            n = int(rng.integers(1, 200))
            x = rng.integers(0, 4, n).astype(np.float64) * float(rng.choice([1.0, eps, 0.5 * eps]))
            y = rng.integers(0, 4, n).astype(np.float64)
        else:
            # Random walk in both coordinates.
            n = int(rng.integers(1, 300))
            x = np.cumsum(rng.integers(0, 3, n)).astype(np.float64)
            y = np.cumsum(rng.normal(0.0, 1.0, n))
        if n and rng.random() < 0.5:
            for _ in range(int(rng.integers(1, 4))):
                target = x if rng.random() < 0.5 else y
                target[int(rng.integers(0, n))] = float(rng.choice(unusual_values))
        cases.append((f"random case {case} ({np.dtype(dtype).name}, n={n})",
                      x.astype(dtype), y.astype(dtype)))
    return cases


# ---------------------------------------------------------------------------
# Measurement helpers (run in the child processes)


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def _release_free_heap() -> None:
    """Returns the allocator's free heap memory to the system (glibc), so that
    memory freed by earlier calls does not hide the growth of the next one."""
    try:
        import ctypes
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def peak_growth_bytes(function, *args) -> int:
    """Peak resident growth of one call: VmHWM after the call (reset to the
    current resident size just before it) minus VmRSS before it."""
    gc.collect()
    _release_free_heap()
    before = _status_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")
    result = function(*args)
    peak = _status_kib("VmHWM")
    del result
    return (peak - before) * 1024


def median_seconds(function, args, reps: int) -> float:
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        result = function(*args)
        times.append(time.perf_counter() - start)
        del result
    return float(np.median(times))


def digest(labels: np.ndarray) -> str:
    return hashlib.sha256(np.ascontiguousarray(labels).tobytes()).hexdigest()[:16]


def first_mismatch(a: np.ndarray, b: np.ndarray) -> str:
    if a.shape != b.shape:
        return f"shapes differ: {a.shape} vs {b.shape}"
    where = np.flatnonzero(a != b)
    return (f"{where.size} labels differ, first at index {where[0]}: "
            f"module {a[where[0]]}, numba {b[where[0]]}")


def child_main(job: dict) -> dict:
    """One process, one case. `job` says what to measure."""
    import rasterloom

    dtype = np.dtype(job["dtype"]).type
    x, y = meander(job["n"], job["line"], job["turn"], dtype)
    reps = job["reps"]
    out: dict = {}

    labels = rasterloom.annotate_scanlines(x, y)   # warm-up: creates the pool
    out["module_s"] = median_seconds(rasterloom.annotate_scanlines, (x, y), reps)
    out["module_peak_bytes"] = max(peak_growth_bytes(rasterloom.annotate_scanlines, x, y)
                                   for _ in range(3))
    out["digest"] = digest(labels)
    out["labelled"] = int(np.count_nonzero(labels >= 0))
    out["scanlines"] = int(labels.max()) if labels.size else 0

    if job.get("floor"):
        np.add(x, y)
        out["floor_s"] = median_seconds(np.add, (x, y), reps)

    if job.get("numba"):
        sys.path.insert(0, str(BENCH_DIR))
        from numba_reference import annotate_scanlines_numba, warm_up
        warm_up()
        reference = annotate_scanlines_numba(x, y)
        out["numba_s"] = median_seconds(annotate_scanlines_numba, (x, y), reps)
        out["numba_identical"] = bool(np.array_equal(reference, labels))
        if not out["numba_identical"]:
            out["numba_mismatch"] = first_mismatch(labels, reference)
    return out


def floor_once(x: np.ndarray, y: np.ndarray):
    """The least a call has to do: read both inputs once and write the labels once."""
    total = x.sum() + y.sum()
    return total, np.full(x.size, -1, np.int32)


def matrix_child_main(job: dict) -> dict:
    """One process of the thread matrix: the module and the floor, alternately
    per call so that both see the same neighbours, medians of `reps` each."""
    import rasterloom

    dtype = np.dtype(job["dtype"]).type
    x, y = meander(job["n"], job["line"], job["turn"], dtype)
    rasterloom.annotate_scanlines(x, y)   # pool start-up and first touch
    floor_once(x, y)
    module, floor = [], []
    for _ in range(job["reps"]):
        module.append(median_seconds(rasterloom.annotate_scanlines, (x, y), 1))
        floor.append(median_seconds(floor_once, (x, y), 1))
    return {"module_s": float(np.median(module)), "floor_s": float(np.median(floor))}


def adversarial_main(count: int) -> dict:
    """Numba vs module on small adversarial inputs (in a one-thread process)."""
    import rasterloom
    sys.path.insert(0, str(BENCH_DIR))
    from numba_reference import annotate_scanlines_numba

    mismatches = []
    cases = adversarial_cases(count)
    for name, x, y in cases:
        module = rasterloom.annotate_scanlines(x, y)
        reference = annotate_scanlines_numba(x, y)
        if not np.array_equal(module, reference):
            mismatches.append({"case": name, "detail": first_mismatch(module, reference),
                               "x": x.tolist() if x.size <= 120 else None,
                               "y": y.tolist() if y.size <= 120 else None,
                               "dtype": np.dtype(x.dtype).name})
    return {"cases": len(cases), "mismatches": mismatches}


# ---------------------------------------------------------------------------
# Orchestration (parent process)


def run_child(payload: dict, threads: int | None) -> dict:
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    with tempfile.NamedTemporaryFile("r", suffix=".json") as result:
        command = [sys.executable, str(Path(__file__).resolve()), "--child",
                   json.dumps(payload), "--child-out", result.name]
        completed = subprocess.run(command, env=env)
        if completed.returncode != 0:
            raise SystemExit(f"child failed ({completed.returncode}): {payload}")
        return json.load(open(result.name))


def find_or_build_breakdown(explicit: str | None, build: bool) -> Path | None:
    if explicit:
        path = Path(explicit)
        return path if path.exists() else None
    exe = DEFAULT_BREAKDOWN_BUILD / "phase_breakdown"
    if not build:
        return exe if exe.exists() else None
    if shutil.which("cmake") is None:
        print("cmake not found: no per-phase breakdown", file=sys.stderr)
        return exe if exe.exists() else None
    print(f"building phase_breakdown in {DEFAULT_BREAKDOWN_BUILD} ...", file=sys.stderr)
    configure = ["cmake", "-S", str(REPO_DIR), "-B", str(DEFAULT_BREAKDOWN_BUILD),
                 "-DRASTERLOOM_BUILD_BENCH=ON", "-DRASTERLOOM_BUILD_MODULE=OFF",
                 "-DCMAKE_BUILD_TYPE=Release"]
    ok = subprocess.run(configure, stdout=subprocess.DEVNULL).returncode == 0
    ok = ok and subprocess.run(["cmake", "--build", str(DEFAULT_BREAKDOWN_BUILD), "-j2",
                                "--target", "phase_breakdown"],
                               stdout=subprocess.DEVNULL).returncode == 0
    if not ok:
        print("building phase_breakdown failed: no per-phase breakdown", file=sys.stderr)
    return exe if exe.exists() else None


def run_breakdown(exe: Path, dtype: str, n: int, line: int, turn: int, reps: int,
                  threads: int | None) -> dict:
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    command = [str(exe), "--points", str(n), "--line", str(line), "--turn", str(turn),
               "--dtype", "f64" if dtype == "float64" else "f32", "--reps", str(reps),
               "--format", "tsv"]
    text = subprocess.run(command, env=env, check=True, capture_output=True, text=True).stdout
    phases, info = {}, {}
    for row in text.splitlines():
        kind, name, value = row.split("\t")
        (phases if kind == "phase" else info)[name] = float(value)
    return {"phases": phases, "info": info}


def fmt_ms(seconds: float | None) -> str:
    return "–" if seconds is None else f"{seconds * 1e3:.1f}"


def fmt_ratio(a: float | None, b: float | None) -> str:
    return "–" if a is None or b is None or b == 0 else f"{a / b:.2f}"


def human(n: int) -> str:
    return f"{n // 1_000_000}M" if n % 1_000_000 == 0 else str(n)


def matrix_main(args) -> int:
    """The thread matrix: for every size, line length and dtype, `--pairs`
    pairs of processes, one with RAYON_NUM_THREADS=1 and one with the default
    thread count, alternating. Each process times the module and the floor
    (x.sum() + y.sum() and np.full(n, -1, np.int32)) in turn, medians of the
    calls; every cell is the median over the pairs of the per-process ratio."""
    sizes = ([int(float(s)) for s in args.sizes.split(",")]
             if args.sizes != parser_default_sizes else [1_000_000, 10_000_000])
    lines = [int(s) for s in args.lines.split(",")]
    dtypes = args.dtypes.split(",")
    reps = args.reps if args.reps != parser_default_reps else 9
    default_threads = len(os.sched_getaffinity(0))
    load_before = os.getloadavg()
    rows = {}
    for n in sizes:
        for line in lines:
            for dtype in dtypes:
                print(f"matrix: {dtype} {human(n)} points, {line} per line ...",
                      file=sys.stderr, flush=True)
                job = {"mode": "matrix", "dtype": dtype, "n": n, "line": line,
                       "turn": args.turn, "reps": reps}
                pairs = []
                for _ in range(args.pairs):
                    one = run_child(job, threads=1)
                    default = run_child(job, threads=None)
                    pairs.append((one, default))
                rows[(n, line, dtype)] = {
                    "one_ms": float(np.median([o["module_s"] for o, _ in pairs])) * 1e3,
                    "default_ms": float(np.median([d["module_s"] for _, d in pairs])) * 1e3,
                    "floor_ms": float(np.median([o["floor_s"] for o, _ in pairs])) * 1e3,
                    "one_over_floor": float(np.median([o["module_s"] / o["floor_s"]
                                                       for o, _ in pairs])),
                    "speed_up": float(np.median([o["module_s"] / d["module_s"]
                                                 for o, d in pairs])),
                }
    load_after = os.getloadavg()

    print(f"Thread matrix: medians of {reps} calls per process, each cell the median of "
          f"{args.pairs} alternating process pairs (1 thread = RAYON_NUM_THREADS=1, default = "
          f"{default_threads} threads); floor = x.sum() + y.sum() plus "
          f"np.full(n, -1, np.int32) in the same process; f32/f64 = float32 time over float64 "
          f"time, one thread. Load average (1 min) {load_before[0]:.2f} before, "
          f"{load_after[0]:.2f} after.")
    print()
    header = ["points", "per line", "dtype", "1T ms", "default ms", "floor ms",
              "1T / floor", "default speed-up", "f32/f64 1T"]
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---" for _ in header) + "|")
    for (n, line, dtype), r in rows.items():
        f64 = rows.get((n, line, "float64"))
        ratio = (f"{r['one_ms'] / f64['one_ms']:.2f}"
                 if dtype == "float32" and f64 is not None else "–")
        cells = [human(n), str(line), dtype, f"{r['one_ms']:.1f}", f"{r['default_ms']:.1f}",
                 f"{r['floor_ms']:.1f}", f"{r['one_over_floor']:.2f}", f"{r['speed_up']:.2f}",
                 ratio]
        print("| " + " | ".join(cells) + " |")
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"default_threads": default_threads, "load": [load_before, load_after],
                       "rows": [{"n": n, "line": line, "dtype": dtype, **r}
                                for (n, line, dtype), r in rows.items()]}, out, indent=1)
    return 0


parser_default_sizes = "1e6,1e7,5e7"
parser_default_reps = 7


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default=parser_default_sizes,
                        help="numbers of points, comma separated (default 1e6,1e7,5e7)")
    parser.add_argument("--lines", default="100,1000,10000",
                        help="points per line, comma separated (default 100,1000,10000)")
    parser.add_argument("--dtypes", default="float64,float32")
    parser.add_argument("--reps", type=int, default=parser_default_reps,
                        help="repetitions per median")
    parser.add_argument("--turn", type=int, default=5, help="points per turn-around")
    parser.add_argument("--quick", action="store_true",
                        help="smoke run: 1M points only, 3 repetitions, 300 random checks")
    parser.add_argument("--no-numba", action="store_true")
    parser.add_argument("--no-breakdown", action="store_true")
    parser.add_argument("--no-build", action="store_true",
                        help="do not build phase_breakdown, only use an existing one")
    parser.add_argument("--breakdown-exe", help="path of a built phase_breakdown")
    parser.add_argument("--fuzz-cases", type=int, default=3000,
                        help="random adversarial inputs checked against Numba")
    parser.add_argument("--json", help="also write all measurements to this file")
    parser.add_argument("--matrix", action="store_true",
                        help="only the thread matrix: 1 thread against the floor and against "
                             "the default thread count (sizes default to 1e6,1e7, 9 calls)")
    parser.add_argument("--pairs", type=int, default=3,
                        help="alternating process pairs per cell of the matrix")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--child-out", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.child:
        payload = json.loads(args.child)
        if payload.get("mode") == "adversarial":
            result = adversarial_main(payload["count"])
        elif payload.get("mode") == "matrix":
            result = matrix_child_main(payload)
        else:
            result = child_main(payload)
        with open(args.child_out, "w") as out:
            json.dump(result, out)
        return 0

    if args.matrix:
        return matrix_main(args)

    sizes = [int(float(s)) for s in args.sizes.split(",")]
    lines = [int(s) for s in args.lines.split(",")]
    dtypes = args.dtypes.split(",")
    reps = args.reps
    fuzz = args.fuzz_cases
    if args.quick:
        sizes, reps, fuzz = [1_000_000], min(reps, 3), min(fuzz, 300)
    use_numba = not args.no_numba
    if use_numba:
        try:
            import numba  # noqa: F401
        except ImportError:
            print("numba is not installed (pip install -r requirements/bench.txt): "
                  "skipping the Numba comparison", file=sys.stderr)
            use_numba = False

    failures = []
    if use_numba:
        check = run_child({"mode": "adversarial", "count": fuzz}, threads=1)
        print(f"adversarial inputs: {check['cases']} checked, "
              f"{len(check['mismatches'])} label mismatches (Numba vs module, 1 thread)")
        for item in check["mismatches"]:
            print("!!! LABEL MISMATCH !!!", item["case"], "-", item["detail"])
            if item["x"] is not None:
                print(f"    x = np.array({item['x']}, dtype=np.{item['dtype']})")
                print(f"    y = np.array({item['y']}, dtype=np.{item['dtype']})")
            failures.append(item["case"])

    exe = None
    if not args.no_breakdown:
        exe = find_or_build_breakdown(args.breakdown_exe, build=not args.no_build)

    default_threads = len(os.sched_getaffinity(0))
    results = []
    for dtype in dtypes:
        for n in sizes:
            for line in lines:
                base = {"dtype": dtype, "n": n, "line": line, "turn": args.turn, "reps": reps}
                print(f"measuring {dtype} {human(n)} points, {line} per line ...",
                      file=sys.stderr, flush=True)
                serial = run_child({**base, "floor": True, "numba": use_numba}, threads=1)
                parallel = run_child(base, threads=None)
                row = {**base, "serial": serial, "parallel": parallel}
                if exe is not None:
                    row["breakdown"] = {
                        "1": run_breakdown(exe, dtype, n, line, args.turn, reps, 1),
                        "default": run_breakdown(exe, dtype, n, line, args.turn, reps, None),
                    }
                if use_numba and not serial["numba_identical"]:
                    print(f"!!! LABEL MISMATCH !!! {dtype} {n} points, {line} per line: "
                          f"{serial['numba_mismatch']}")
                    failures.append(f"{dtype}/{n}/{line}")
                results.append(row)

    print()
    print(f"Medians of {reps} calls; module 1T = RAYON_NUM_THREADS=1, module default = "
          f"{default_threads} threads; floor = np.add(x, y); peak = growth of resident "
          f"memory during one call, bytes per point.")
    print()
    header = ["dtype", "points", "per line", "module 1T ms", "module default ms", "np.add ms",
              "Numba ms", "1T / floor", "1T / Numba", "1T / default", "ns/pt 1T",
              "peak B/pt 1T", "peak B/pt default", "labels = Numba", "default = 1T"]
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---" for _ in header) + "|")
    for row in results:
        s, p, n = row["serial"], row["parallel"], row["n"]
        cells = [row["dtype"], human(n), str(row["line"]), fmt_ms(s["module_s"]),
                 fmt_ms(p["module_s"]), fmt_ms(s.get("floor_s")), fmt_ms(s.get("numba_s")),
                 fmt_ratio(s["module_s"], s.get("floor_s")),
                 fmt_ratio(s["module_s"], s.get("numba_s")),
                 fmt_ratio(s["module_s"], p["module_s"]),
                 f"{s['module_s'] * 1e9 / n:.2f}",
                 f"{s['module_peak_bytes'] / n:.2f}", f"{p['module_peak_bytes'] / n:.2f}",
                 ("yes" if s["numba_identical"] else "**NO**") if "numba_identical" in s else "–",
                 "yes" if s["digest"] == p["digest"] else "differs"]
        print("| " + " | ".join(cells) + " |")

    # Targets (2-core machine); informational only.
    print()
    print("Targets:")
    for row in results:
        if row["dtype"] == "float64" and row["n"] == 10_000_000:
            r = row["serial"]["module_s"] / row["serial"]["floor_s"]
            print(f"- serial 10M float64, {row['line']}/line: module / np.add = {r:.2f} "
                  f"(target <= 1.5): {'met' if r <= 1.5 else 'MISSED'}")
    if use_numba:
        worst = max(results, key=lambda row: row["serial"]["module_s"] / row["serial"]["numba_s"])
        speed = worst["serial"]["numba_s"] / worst["serial"]["module_s"]
        print(f"- serial vs Numba, slowest case ({worst['dtype']} {human(worst['n'])}, "
              f"{worst['line']}/line): {speed:.2f}x faster (target >= 2 on every input): "
              f"{'met' if speed >= 2 else 'MISSED'}")
    for row in results:
        if row["n"] == 10_000_000:
            speed = row["serial"]["module_s"] / row["parallel"]["module_s"]
            print(f"- {default_threads} threads vs 1, 10M {row['dtype']}, {row['line']}/line: "
                  f"{speed:.2f}x (target >= 1.4): {'met' if speed >= 1.4 else 'MISSED'}")
    for dtype in dtypes:
        for line in lines:
            per_point = [row["serial"]["module_s"] / row["n"] for row in results
                         if row["dtype"] == dtype and row["line"] == line]
            if len(per_point) > 1:
                spread = max(per_point) / min(per_point) - 1
                print(f"- time per point over {args.sizes if not args.quick else '1M'}, "
                      f"{dtype} {line}/line: spread {spread * 100:.0f}% (target <= 20%): "
                      f"{'met' if spread <= 0.2 else 'MISSED'}")
    peak = max(max(row["serial"]["module_peak_bytes"], row["parallel"]["module_peak_bytes"])
               / row["n"] for row in results)
    print(f"- peak memory growth, worst case: {peak:.2f} B/point (target <= 10): "
          f"{'met' if peak <= 10 else 'MISSED'}")

    if exe is not None:
        names = ["run detection", "merging", "detect and merge", "direction split", "ordering", "threshold",
                 "label ranges", "label writing", "core entry"]
        print()
        print("Per-phase breakdown (phase_breakdown, medians in ms; 'label writing' "
              "includes the first touch of a fresh result buffer; 'core entry' is "
              "the whole core into such a buffer):")
        print()
        head = ["dtype", "points", "per line", "threads", "point runs", "merged runs"] + names
        print("| " + " | ".join(head) + " |")
        print("|" + "|".join("---" for _ in head) + "|")
        for row in results:
            for key in ("1", "default"):
                b = row["breakdown"][key]
                cells = [row["dtype"], human(row["n"]), str(row["line"]),
                         str(int(b["info"]["threads"])), str(int(b["info"]["point_runs"])),
                         str(int(b["info"]["merged_runs"]))]
                cells += [f"{b['phases'][name] * 1e3:.2f}" for name in names]
                print("| " + " | ".join(cells) + " |")

    if args.json:
        with open(args.json, "w") as out:
            json.dump({"default_threads": default_threads, "results": results}, out, indent=1)

    if failures:
        print()
        print(f"!!! {len(failures)} LABEL MISMATCH(ES) between Numba and the module: "
              + ", ".join(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
