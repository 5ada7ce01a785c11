"""Checks an installed rasterloom from outside the checkout: the compiled
module with its stub package, the layer extension with its stub and the
worker pool's module beside them, the metadata of pyproject.toml, the
numbering of the 81-point example in docs/numbering.md, and the command
`rasterloom` installed as a console script, run on that example.

    python check_installed.py PYPROJECT_TOML
"""
import importlib.metadata
import subprocess
import sys
import sysconfig
import tempfile
import tomllib
from pathlib import Path

import numpy as np

import rasterloom

project = tomllib.loads(Path(sys.argv[1]).read_text())["project"]
module = Path(rasterloom.__file__)
assert "site-packages" in module.parts, module
assert module.name.startswith("rasterloom.") and module.suffix in (".so", ".pyd"), module
assert (module.with_name("rasterloom-stubs") / "__init__.pyi").is_file()
assert rasterloom.__all__ == ["annotate_scanlines"]
assert rasterloom.annotate_scanlines.__module__ == "rasterloom"

# The layer extension in the package, and the one module that owns the
# workers of both, next to rasterloom; the extension imports it on its first
# call (below).
from rasterloom_layers import _native  # noqa: E402

native = Path(_native.__file__)
assert native.parent == module.parent / "rasterloom_layers", native
assert native.name.startswith("_native.") and native.suffix in (".so", ".pyd"), native
assert native.with_name("_native.pyi").is_file()

metadata = importlib.metadata.metadata("rasterloom")
assert metadata["Version"] == project["version"], (metadata["Version"], project["version"])
assert sorted(metadata.get_all("Classifier")) == sorted(project["classifiers"])

# Six lines of 11 points at x = 0..5, upward on even lines, three turn-around
# points between neighbours: ids 1, 2, 3 on points 28-40, 41-54 and 55-68.
xs, ys = [], []
for line in range(6):
    ramp = np.linspace(0.0, 10.0, 11)
    xs += [float(line)] * 11
    ys += list(ramp if line % 2 == 0 else ramp[::-1])
    if line < 5:
        xs += [line + 0.25, line + 0.5, line + 0.75]
        ys += [10.0 if line % 2 == 0 else 0.0] * 3
labels = rasterloom.annotate_scanlines(np.array(xs), np.array(ys))
expected = np.full(81, -1, dtype=np.int32)
expected[28:41], expected[41:55], expected[55:69] = 1, 2, 3
assert labels.dtype == np.int32 and np.array_equal(labels, expected), labels
layer_labels = _native.annotate_layer(np.array(xs), np.array(ys), True)
assert layer_labels.dtype == np.int32 and layer_labels.shape == (81,), layer_labels
pool = Path(sys.modules["_rasterloom_pool"].__file__)
assert pool.parent == module.parent and pool.suffix in (".so", ".pyd"), pool

# The console script, where the installer puts the scripts of this
# interpreter, names the entry point of pyproject.toml.
scripts = {e.name: e.value for e in importlib.metadata.entry_points(group="console_scripts")
           if e.dist is not None and e.dist.name == "rasterloom"}
assert scripts == project["scripts"], scripts
command = Path(sysconfig.get_path("scripts")) / ("rasterloom.exe" if sys.platform == "win32"
                                                  else "rasterloom")
assert command.is_file(), command
version = subprocess.run([str(command), "--version"], capture_output=True, text=True, check=True)
assert version.stdout.strip() == f"rasterloom {project['version']}", version.stdout
with tempfile.TemporaryDirectory() as folder:
    layer = Path(folder) / "example.csv"
    layer.write_text("x,y\n" + "".join(f"{float(a)!r},{float(b)!r}\n" for a, b in zip(xs, ys)))
    subprocess.run([str(command), "annotate", folder, "--plain", "--no-progress"], check=True)
    written = np.load(Path(folder) / "example.labels.npy")
    assert np.array_equal(written, expected), written
    table = (Path(folder) / "example.scanlines.csv").read_text().splitlines()
    assert len(table) == 4 and table[0].startswith("id,first,last,points,"), table
print(f"rasterloom {metadata['Version']} from {module.name}, command {command.name}: ok")
