"""Checks an installed rasterloom from outside the checkout: the compiled
module with its stub package, the metadata of pyproject.toml, and the
numbering of the README's 81-point example.

    python check_installed.py PYPROJECT_TOML
"""
import importlib.metadata
import sys
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
print(f"rasterloom {metadata['Version']} from {module.name}: ok")
