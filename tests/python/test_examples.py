"""The examples: the sample recordings, the demo and its pictures, the Dask
example, and the type stub installed with the module."""
import csv
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import rasterloom
import rasterloom_layers

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
sys.path.insert(0, str(EXAMPLES))

import sample_data  # noqa: E402

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def ids_per_line(rec, labels):
    """{(region, line): sorted ids on that scan line's points}."""
    return {
        (int(r), int(line)): sorted(set(labels[(rec.region == r) & (rec.line == line)].tolist()))
        for r in np.unique(rec.region)
        for line in np.unique(rec.line[(rec.region == r) & (rec.line >= 0)])
    }


def check_small_layer(rec, labels, every_line=False):
    """A single meander of 8 lines. The module gives lines 0, 1 and 7 no id
    and lines 2..6 ids 1..5; with `every_line` (rasterloom_layers' default)
    lines 0..7 get ids 1..8. Each id of a line followed by another ends at
    the middle point of the turn-around after its line."""
    lines = ids_per_line(rec, labels)
    if every_line:
        assert [lines[(0, i)] for i in range(8)] == [[i + 1] for i in range(8)]
        closed = range(7)
    else:
        assert [lines[(0, i)] for i in range(8)] == [[-1], [-1], [1], [2], [3], [4], [5], [-1]]
        closed = range(2, 6)
    for line in closed:
        scanline_id = lines[(0, line)][0]
        turn_first = np.flatnonzero(rec.line == line)[-1] + 1
        turn_last = np.flatnonzero(rec.line == line + 1)[0] - 1
        where = np.flatnonzero(labels == scanline_id)
        assert where[-1] == turn_first + (turn_last - turn_first) // 2
        assert labels[where[-1] + 1] == scanline_id + 1


# ------------------------------------------------------------ sample data

def test_sample_layer_is_a_meander_of_three_parts():
    rec = sample_data.sample_layer()
    assert rec.x.dtype == rec.y.dtype == np.float64
    assert len(rec) == len(rec.y) == len(rec.region) == len(rec.line)
    assert sorted(set(rec.region.tolist())) == [0, 1, 2]
    # x is exactly constant along every scan line, which is what makes it one run.
    for (r, line) in ids_per_line(rec, np.zeros(len(rec), np.int32)):
        xs = rec.x[(rec.region == r) & (rec.line == line)]
        assert np.all(xs == xs[0])
    # Same seed, same recording; another seed, other noise.
    again = sample_data.sample_layer()
    assert np.array_equal(rec.y, again.y)
    assert not np.array_equal(rec.y, sample_data.sample_layer(seed=1).y)


def test_sample_layer_numbering_shown_in_the_readme():
    rec = sample_data.sample_layer()
    labels = rasterloom.annotate_scanlines(rec.x, rec.y)
    lines = ids_per_line(rec, labels)
    counts = {0: 24, 1: 20, 2: 25}
    expected, next_id = {}, 1
    for r, count in counts.items():
        for i in range(count):
            last_of_layer = r == 2 and i == count - 1
            if i < 2 or last_of_layer:
                expected[(r, i)] = [-1]
            else:
                expected[(r, i)] = [next_id]
                next_id += 1
    assert lines == expected
    assert np.array_equal(np.unique(labels[labels > 0]), np.arange(1, 63))


def test_small_layers_number_lines_two_to_six():
    for seed in range(5):
        rec = sample_data.small_layer(seed)
        check_small_layer(rec, rasterloom.annotate_scanlines(rec.x, rec.y))


def test_write_layers(tmp_path):
    paths = sample_data.write_layers(tmp_path / "layers", 3, seed=4)
    assert [p.name for p in paths] == ["layer_0000.npy", "layer_0001.npy", "layer_0002.npy"]
    data = np.load(paths[1])
    rec = sample_data.small_layer(5)
    assert data.shape == (len(rec), 2)
    assert np.array_equal(data[:, 0], rec.x) and np.array_equal(data[:, 1], rec.y)


# ------------------------------------------------------------------- demo

def run_demo(*args):
    return subprocess.run([sys.executable, str(EXAMPLES / "demo.py"), *map(str, args)],
                          capture_output=True, text=True, timeout=300, cwd=ROOT)


def summary_of(stdout):
    values = {}
    for line in stdout.splitlines():
        key, _, value = line.partition(":")
        values[key.strip()] = value.strip()
    return values


def test_demo_prints_summary_and_writes_picture(tmp_path):
    pytest.importorskip("matplotlib")
    result = run_demo("--output", tmp_path)
    assert result.returncode == 0, result.stderr
    rec = sample_data.sample_layer()
    labels = rasterloom_layers.annotate_layer(rec.x, rec.y)
    summary = summary_of(result.stdout)
    assert summary["points"] == str(len(rec))
    assert summary["scanlines found"] == str(np.unique(labels[labels > 0]).size)
    assert summary["points without scanline"] == str(int(np.count_nonzero(labels < 0)))
    assert summary["time taken"].endswith(" ms")
    assert float(summary["time taken"].split()[0]) >= 0
    picture = tmp_path / "sample_layer.png"
    assert Path(summary["picture"]) == picture
    data = picture.read_bytes()
    assert data.startswith(PNG_SIGNATURE)
    assert 10_000 < len(data) < 200_000


def test_demo_draws_both_readme_pictures(tmp_path):
    pytest.importorskip("matplotlib")
    import demo

    rec = sample_data.sample_layer()
    labels = rasterloom.annotate_scanlines(rec.x, rec.y)
    overview = demo.draw_overview(rec.x, rec.y, labels, tmp_path / "a.png", "title",
                                  close_ups=(5, 6))
    close_up = demo.draw_turnarounds(rec.x, rec.y, labels, tmp_path / "b.png", first_id=5)
    for path in (overview, close_up):
        assert path.read_bytes().startswith(PNG_SIGNATURE)
        assert path.stat().st_size < 200_000
    # The committed pictures of the README and the docs exist and are small.
    for name in ("scanlines.png", "turnarounds.png", "islands.png"):
        committed = ROOT / "docs" / "images" / name
        assert committed.read_bytes().startswith(PNG_SIGNATURE)
        assert committed.stat().st_size < 200_000


def test_demo_annotates_own_recordings(tmp_path):
    pytest.importorskip("matplotlib")
    pytest.importorskip("tqdm")
    first, second = sample_data.small_layer(1), sample_data.small_layer(2)
    npy = tmp_path / "first.npy"
    np.save(npy, np.column_stack([first.x, first.y]).astype(np.float32))
    csv_path = tmp_path / "second.csv"
    with csv_path.open("w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(["t", "X", "y"])
        for i, (x, y) in enumerate(zip(second.x, second.y)):
            writer.writerow([i, repr(float(x)), repr(float(y))])

    result = run_demo(npy, csv_path, "--output", tmp_path / "pictures")
    assert result.returncode == 0, result.stderr

    labels_npy = np.load(tmp_path / "first.labels.npy")
    assert labels_npy.dtype == np.int32
    expected_first = rasterloom_layers.annotate_layer(first.x.astype(np.float32),
                                                      first.y.astype(np.float32))
    assert np.array_equal(labels_npy, expected_first)
    # What the command writes: labels and the table, the extra column t as a channel.
    check_small_layer(second, np.load(tmp_path / "second.labels.npy"), every_line=True)
    header = (tmp_path / "second.scanlines.csv").read_text().splitlines()[0].split(",")
    assert header[0] == "id" and header[-3:] == ["t_mean", "t_min", "t_max"]
    for stem in ("first", "second"):
        assert (tmp_path / "pictures" / f"{stem}.png").read_bytes().startswith(PNG_SIGNATURE)
    summary = summary_of(result.stdout)
    assert summary["points"] == str(len(first) + len(second))
    assert summary["scanlines found"] == "16"


def rotated_layer(degrees=67.0):
    """The sample layer turned so that its lines run at 90 + `degrees`."""
    rec = sample_data.sample_layer()
    t = np.radians(degrees)
    return np.column_stack([rec.x * np.cos(t) - rec.y * np.sin(t),
                            rec.x * np.sin(t) + rec.y * np.cos(t)])


def test_demo_numbers_layers_at_any_angle_unless_plain(tmp_path):
    layer = tmp_path / "turned.npy"
    np.save(layer, rotated_layer(90.0))
    xy = np.load(layer)
    x, y = xy[:, 0].copy(), xy[:, 1].copy()
    expected = {"": rasterloom_layers.annotate_layer(x, y),
                "--plain": rasterloom.annotate_scanlines(x, y)}
    # With its lines along x, the module alone finds few of the 69 lines;
    # through the layers nearly as many as upright (62).
    assert np.unique(expected["--plain"][expected["--plain"] > 0]).size < 20
    assert np.unique(expected[""][expected[""] > 0]).size >= 60
    for option, labels in expected.items():
        result = run_demo(*([option] if option else []), layer, "--no-plot")
        assert result.returncode == 0, result.stderr
        assert np.array_equal(np.load(tmp_path / "turned.labels.npy"), labels)
        assert summary_of(result.stdout)["scanlines found"] == str(
            np.unique(labels[labels > 0]).size)


def test_demo_island_layer_for_the_readme():
    pytest.importorskip("matplotlib")
    import demo

    layer = demo.island_layer()
    labels = rasterloom_layers.annotate_layer(layer.x, layer.y)
    # 264 lines in 12 islands: at most 1 - 36 / 264 = 0.864 of them can get
    # an id of their own.
    assert (layer.lines, int(layer.region.max()) + 1) == (264, 12)
    assert demo.layer_plans.own_id_share(layer, labels) >= 0.84


def test_demo_rejects_bad_recording(tmp_path):
    bad = tmp_path / "bad.npy"
    np.save(bad, np.zeros((4, 3)))
    result = run_demo(bad, "--no-plot")
    assert result.returncode != 0
    assert "expected an (n, 2) array" in result.stderr
    assert not (tmp_path / "bad.labels.npy").exists()


# ------------------------------------------------------------------- Dask

def test_dask_example_annotates_every_layer(tmp_path):
    pytest.importorskip("dask.distributed")
    import annotate_layers_dask as example

    folder = tmp_path / "layers"
    paths = sample_data.write_layers(folder, 5, seed=10)
    np.save(folder / "old.labels.npy", np.zeros(3, np.int32))   # not a layer
    out = tmp_path / "labels"
    results = example.annotate_folder(folder, out, workers=2, progress=False)

    assert [Path(r.source).name for r in results] == [p.name for p in paths]
    for i, (path, result) in enumerate(zip(paths, results)):
        labels = np.load(out / f"{path.stem}.labels.npy")
        assert Path(result.labels_file) == out / f"{path.stem}.labels.npy"
        assert labels.dtype == np.int32
        data = np.load(path)
        assert np.array_equal(labels, rasterloom_layers.annotate_layer(data[:, 0].copy(),
                                                                       data[:, 1].copy()))
        check_small_layer(sample_data.small_layer(10 + i), labels, every_line=True)
        assert (result.points, result.scanlines, result.unlabelled) == (
            len(labels), 8, int(np.count_nonzero(labels < 0)))
        assert (out / f"{path.stem}.scanlines.csv").is_file()


def test_dask_example_command_line(tmp_path):
    pytest.importorskip("dask.distributed")
    pytest.importorskip("tqdm")
    folder = tmp_path / "layers"
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / "annotate_layers_dask.py"), str(folder),
         "--make-sample", "4", "--workers", "2"],
        capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    summary = summary_of(result.stdout)
    assert summary["layers"] == "4"
    assert summary["scanlines found"] == "32"
    assert sorted(p.name for p in folder.glob("*.labels.npy")) == [
        f"layer_{i:04d}.labels.npy" for i in range(4)]


# ------------------------------------------------------------------- stub

STUB_USE = """
import numpy as np
import rasterloom

x64 = np.zeros(3)
x32 = np.zeros(3, dtype=np.float32)
reveal_type(rasterloom.annotate_scanlines(x64, x64.copy()))
reveal_type(rasterloom.annotate_scanlines(x=x32, y=x32))
rasterloom.annotate_scanlines(x64, x32)  # E1
rasterloom.annotate_scanlines(np.zeros(3, dtype=np.int32), np.zeros(3, dtype=np.int32))  # E2
rasterloom.annotate_scanlines([1.0], [2.0])  # E3
"""


def test_installed_stub_types_the_function(tmp_path):
    api = pytest.importorskip("mypy.api")
    # The stubs are the stub-only package rasterloom-stubs next to the module,
    # which mypy finds in site-packages without any configuration.
    stub = Path(rasterloom.__file__).with_name("rasterloom-stubs") / "__init__.pyi"
    assert stub.is_file(), "rasterloom-stubs is not installed next to the module"
    assert not Path(rasterloom.__file__).with_name("rasterloom.pyi").exists()
    source = tmp_path / "use.py"
    source.write_text(STUB_USE)
    config = tmp_path / "mypy.ini"
    config.write_text(f"[mypy]\ncache_dir = {tmp_path / 'cache'}\n")
    stdout, stderr, _ = api.run(["--config-file", str(config), str(source)])
    report = stdout.splitlines()
    assert not any("import-not-found" in line or "import-untyped" in line for line in report), stdout
    revealed = [line for line in report if "Revealed type" in line]
    assert len(revealed) == 2, stdout + stderr
    one_dimensional_int32 = re.compile(
        r"numpy\.ndarray\[tuple\[(builtins\.)?int\], numpy\.dtype\[numpy\.signedinteger\[.*_32Bit\]\]\]")
    assert all(one_dimensional_int32.search(line) for line in revealed), stdout
    errors = {int(line.split(":")[1]) for line in report if ": error:" in line}
    marked = {i for i, line in enumerate(STUB_USE.splitlines(), start=1) if "# E" in line}
    assert errors == marked, stdout
