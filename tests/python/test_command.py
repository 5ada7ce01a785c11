"""The installed command `rasterloom`: layer files of every format read,
numbered and written with their tables; failures named, exit statuses, the
picture; and the readers behind it."""
import csv
import os
import re
import subprocess
import sys
import sysconfig
from pathlib import Path

import numpy as np
import pytest

import rasterloom
import rasterloom_layers
from rasterloom_layers import _command, _files

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "examples"))
import sample_data  # noqa: E402

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def command():
    """The console script that the wheel installed next to this interpreter."""
    scripts = Path(sysconfig.get_path("scripts"))
    found = [p for p in (scripts / "rasterloom", scripts / "rasterloom.exe") if p.exists()]
    assert found, f"no rasterloom command in {scripts}"
    return str(found[0])


def run(*args, module=False):
    program = [sys.executable, "-m", "rasterloom_layers"] if module else [command()]
    return subprocess.run(program + [str(a) for a in args], capture_output=True, text=True,
                          timeout=300)


def write_csv(path, header, columns, delimiter=","):
    with path.open("w", newline="") as f:
        writer = csv.writer(f, delimiter=delimiter)
        if header:
            writer.writerow(header)
        writer.writerows(zip(*[[v if isinstance(v, str) else repr(float(v)) for v in c]
                               for c in columns]))


def read_csv_table(path):
    with path.open(newline="") as f:
        rows = list(csv.reader(f))
    return rows[0], np.array(rows[1:], dtype=np.float64).reshape(len(rows) - 1, len(rows[0]))


def write_every_format(folder):
    """One small layer per format the command reads, each stored in its own
    way. Returns {stem: (x, y, channels)} of what each file holds."""
    folder.mkdir(parents=True, exist_ok=True)
    layers = {}

    def layer(stem, seed, dtype=np.float64):
        rec = sample_data.small_layer(seed)
        layers[stem] = (rec.x.astype(dtype), rec.y.astype(dtype), {})
        return layers[stem][0], layers[stem][1]

    x, y = layer("plain", 1, np.float32)
    np.save(folder / "plain.npy", np.column_stack([x, y]))
    x, y = layer("fields", 2)
    record = np.zeros(len(x), dtype=[("t", "f8"), ("y", "f8"), ("x", "f8")])
    record["x"], record["y"], record["t"] = x, y, np.arange(len(x))
    np.save(folder / "fields.npy", record)
    x, y = layer("arrays", 3)
    np.savez(folder / "arrays.npz", y=y, x=x)
    x, y = layer("single", 4)
    np.savez_compressed(folder / "single.npz", np.column_stack([x, y]))
    x, y = layer("table", 5)
    melt = np.cos(np.arange(len(x)))
    layers["table"][2]["melt pool"] = melt
    # A column of text is no channel.
    write_csv(folder / "table.csv", ["X", "melt pool", "Y", "note"],
              [x, melt, y, ["ok"] * len(x)])
    x, y = layer("tabs", 6)
    write_csv(folder / "tabs.tsv", ["x", "y"], [x, y], delimiter="\t")
    x, y = layer("spaced", 7)
    (folder / "spaced.txt").write_text("# exported by the scanner\nx y\n" + "".join(
        f"{a!r} {b!r}\n" for a, b in zip(x.tolist(), y.tolist())))
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    x, y = layer("columns", 8)
    power = np.linspace(100.0, 200.0, len(x))
    layers["columns"][2]["power"] = power
    pq.write_table(pa.table({"y": y, "power": power, "x": x, "part": ["a"] * len(x)}),
                   folder / "columns.parquet")
    h5py = pytest.importorskip("h5py")
    x, y = layer("datasets", 9)
    with h5py.File(folder / "datasets.h5", "w") as f:
        f["x"], f["y"] = x, y
        f["scan/power"] = np.zeros(len(x))
    return layers


# ---------------------------------------------------------------- the command

def test_command_numbers_a_folder_of_every_format(tmp_path):
    folder = tmp_path / "layers"
    layers = write_every_format(folder)
    (folder / "broken.parquet").write_bytes(b"PAR1 cut off")
    np.save(folder / "tiny.npy", np.zeros((2, 2)))             # too few points to number
    np.save(folder / "clash.npy", np.zeros((5, 2)))
    write_csv(folder / "clash.csv", ["x", "y"], [np.zeros(5), np.zeros(5)])
    np.save(folder / "old.labels.npy", np.zeros(3, np.int32))   # an earlier output, no layer
    out = tmp_path / "out"

    result = run("annotate", folder, "--out", out, "--workers", "2", "--no-progress")

    assert result.returncode == 1, result.stderr
    failed = {line.split(": ")[1]: line for line in result.stderr.splitlines()}
    assert sorted(Path(p).name for p in failed) == [
        "broken.parquet", "clash.csv", "clash.npy", "tiny.npy"]
    assert "name clash" in failed[str(folder / "clash.npy")]
    assert "cannot number it" in failed[str(folder / "tiny.npy")]
    written = sorted(p.name for p in out.iterdir())
    assert written == sorted(f"{stem}{suffix}" for stem in layers
                             for suffix in (".labels.npy", ".scanlines.csv"))
    points = 0
    for stem, (x, y, channels) in layers.items():
        labels = np.load(out / f"{stem}.labels.npy")
        assert labels.dtype == np.int32
        assert np.array_equal(labels, rasterloom_layers.annotate_layer(x, y)), stem
        header, rows = read_csv_table(out / f"{stem}.scanlines.csv")
        expected = rasterloom_layers.scanline_table(x, y, labels, **channels)
        assert header == list(expected.dtype.names), stem
        assert len(expected) >= 4
        for k, name in enumerate(header):
            np.testing.assert_array_equal(rows[:, k], expected[name].astype(np.float64))
        points += len(x)
    summary = result.stdout.strip().splitlines()
    assert len(summary) == 1
    assert summary[0].startswith(f"rasterloom: numbered {len(layers)} of {len(layers) + 4} "
                                 f"files (4 failed): {points:,} points")


def test_outputs_are_kept_unless_overwrite_and_plain_numbers_with_the_module(tmp_path):
    rec = sample_data.sample_layer()
    # Lines along x: annotate_layer turns them, the module alone cannot.
    layer = tmp_path / "turned.npy"
    np.save(layer, np.column_stack([rec.y, -rec.x]))
    x, y = np.ascontiguousarray(rec.y), np.ascontiguousarray(-rec.x)
    labels_file = tmp_path / "turned.labels.npy"

    assert run("annotate", layer, "--no-progress", module=True).returncode == 0
    assert np.array_equal(np.load(labels_file), rasterloom_layers.annotate_layer(x, y))
    before = labels_file.read_bytes(), (tmp_path / "turned.scanlines.csv").read_bytes()
    again = run("annotate", layer, "--plain", "--no-progress")
    assert again.returncode == 1
    assert "exists; --overwrite replaces it" in again.stderr
    assert (labels_file.read_bytes(), (tmp_path / "turned.scanlines.csv").read_bytes()) == before
    assert run("annotate", layer, "--plain", "--overwrite", "--no-progress").returncode == 0
    plain = rasterloom.annotate_scanlines(x, y)
    assert np.array_equal(np.load(labels_file), plain)
    assert not np.array_equal(plain, rasterloom_layers.annotate_layer(x, y))
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "turned.labels.npy", "turned.npy", "turned.scanlines.csv"]


@pytest.mark.parametrize("args", [
    [], ["annotate"], ["annotate", "{layer}", "--workers", "0"],
    ["annotate", "{layer}", "--columns", "x"], ["annotate", "{layer}", "--columns", "x,y,z"],
    ["annotate", "{layer}", "--workers", "2", "--scheduler", "tcp://127.0.0.1:1"],
    ["annotate", "{layer}", "--out", "{layer}"], ["annotate", "{layer}", "--colour"],
    ["plot"],
])
def test_usage_errors_exit_with_2_and_write_nothing(tmp_path, args):
    layer = sample_data.write_layers(tmp_path, 1)[0]
    result = run(*[a.format(layer=layer) for a in args])
    assert result.returncode == 2, result.stderr
    assert "usage: rasterloom" in result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == [layer.name]


def test_paths_that_name_no_layer_fail_and_the_rest_is_numbered(tmp_path):
    layer = sample_data.write_layers(tmp_path / "layers", 1)[0]
    (tmp_path / "empty").mkdir()
    result = run("annotate", tmp_path / "missing.npy", tmp_path / "empty", layer, layer.parent,
                 "--no-progress")
    assert result.returncode == 1
    assert "missing.npy: no such file or folder" in result.stderr
    assert "empty: the folder holds no layer files" in result.stderr
    # The layer named twice, directly and by its folder, is numbered once.
    assert "numbered 1 of 3 files (2 failed)" in result.stdout
    assert (layer.parent / "layer_0000.labels.npy").is_file()


def test_command_runs_on_an_existing_dask_cluster(tmp_path):
    distributed = pytest.importorskip("dask.distributed")
    paths = sample_data.write_layers(tmp_path, 3, seed=20)
    # Workers in this process, the scheduler on a port of this machine.
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  protocol="tcp", host="127.0.0.1",
                                  dashboard_address=None) as cluster:
        result = run("annotate", tmp_path, "--out", tmp_path / "out",
                     "--scheduler", cluster.scheduler_address, "--no-progress")
    assert result.returncode == 0, result.stderr
    assert "numbered 3 of 3 files" in result.stdout
    for path in paths:
        data = np.load(path)
        assert np.array_equal(np.load(tmp_path / "out" / f"{path.stem}.labels.npy"),
                              rasterloom_layers.annotate_layer(data[:, 0].copy(),
                                                               data[:, 1].copy()))


def test_worker_processes_number_with_one_thread_unless_the_user_chose(monkeypatch):
    monkeypatch.delenv("RAYON_NUM_THREADS", raising=False)
    _command.limit_numbering_threads()
    assert os.environ["RAYON_NUM_THREADS"] == "1"
    monkeypatch.setenv("RAYON_NUM_THREADS", "3")
    _command.limit_numbering_threads()
    assert os.environ["RAYON_NUM_THREADS"] == "3"


def test_plot_draws_the_labels_written_beside_the_layer(tmp_path):
    pytest.importorskip("matplotlib")
    layer = sample_data.write_layers(tmp_path, 1)[0]
    fresh = run("plot", layer, "--out", tmp_path / "fresh.png")
    assert fresh.returncode == 0, fresh.stderr
    assert "numbered now: annotate_layer" in fresh.stdout
    assert run("annotate", layer, "--no-progress").returncode == 0
    drawn = run("plot", layer)
    assert drawn.returncode == 0, drawn.stderr
    assert "labels from" in drawn.stdout
    assert (tmp_path / "layer_0000.png").read_bytes().startswith(PNG_SIGNATURE)
    np.save(tmp_path / "short.npy", np.zeros(3, np.int32))
    wrong = run("plot", layer, "--labels", tmp_path / "short.npy", "--out", tmp_path / "w.png")
    assert wrong.returncode == 1
    assert "not one integer label for each of the" in wrong.stderr
    assert not (tmp_path / "w.png").exists()


# ------------------------------------------------------------------ readers

def test_columns_name_or_number_the_x_and_y_of_any_format(tmp_path):
    x, y = np.linspace(0, 1, 7), np.linspace(5, 6, 7)
    write_csv(tmp_path / "bare.csv", None, [np.zeros(7), x, y])
    write_csv(tmp_path / "semi.csv", ["px", "py"], [x, y], delimiter=";")
    np.save(tmp_path / "wide.npy", np.column_stack([y, np.zeros(7), x]))
    np.savez(tmp_path / "named.npz", px=x, py=y)
    cases = [("bare.csv", ("2", "3")), ("semi.csv", ("PX", "py")), ("semi.csv", ("1", "py")),
             ("wide.npy", ("3", "1")), ("named.npz", ("px", "py"))]
    refused = []
    try:
        import h5py
    except ImportError:   # the NumPy matrix runs without the extras
        h5py = None
    if h5py is not None:
        with h5py.File(tmp_path / "deep.hdf5", "w") as f:
            f["scan/px"], f["scan/py"] = x, y
        cases.append(("deep.hdf5", ("/scan/px", "scan/py")))
        refused = [("deep.hdf5", None, "has no column 'x'"),
                   ("deep.hdf5", ("scan", "scan/py"), "a group, not a dataset")]
    for name, columns in cases:
        layer = _files.read_layer(tmp_path / name, columns)
        assert np.array_equal(layer.x, x) and np.array_equal(layer.y, y), name
        assert layer.x.flags.c_contiguous and layer.x.dtype == np.float64
    for name, columns, reason in [
            ("bare.csv", None, "no header row naming the x and y columns"),
            ("bare.csv", ("a", "b"), "give their numbers"),
            ("semi.csv", None, "has no column 'x'"), ("semi.csv", ("px", "9"), "no column 9"),
            ("semi.csv", ("px", "px"), "the same column"),
            ("wide.npy", None, "expected an (n, 2) array"),
            ("wide.npy", ("x", "y"), "give their numbers"),
            ("named.npz", None, "expected arrays x and y")] + refused:
        with pytest.raises(_files.LayerFileError, match=re.escape(reason)):
            _files.read_layer(tmp_path / name, columns)


@pytest.mark.parametrize("module, suffix, extra", [
    ("pyarrow.parquet", ".parquet", "parquet"), ("h5py", ".h5", "hdf5")])
def test_a_format_whose_extra_is_missing_says_which_to_install(tmp_path, monkeypatch,
                                                               module, suffix, extra):
    monkeypatch.setitem(sys.modules, module, None)   # makes importing it fail
    path = tmp_path / f"layer{suffix}"
    path.write_bytes(b"")
    with pytest.raises(_files.MissingExtra, match=rf"pip install 'rasterloom\[{extra}\]'"):
        _files.read_layer(path)
    outcome = _command.number_file(_command.Job(str(path), str(tmp_path / "l.npy"),
                                                str(tmp_path / "t.csv")))
    assert f"rasterloom[{extra}]" in outcome.error
    assert sorted(p.name for p in tmp_path.iterdir()) == [path.name]
