"""Scan line numbering for real layers, on top of `rasterloom`.

`rasterloom.annotate_scanlines` numbers the lines of one meander whose lines
run along y at exactly constant x. This package brings real layers into that
form first:

- `annotate_at_angle(x, y, angle_deg=None)`: a meander at any hatch angle,
  given or estimated from the path, with exact or measured (noisy) positions;
- `annotate_layer(x, y)`: a whole layer in any strategy (one meander,
  stripes, islands whose hatch direction alternates, with contours and travel
  moves between them), recorded however a scanner logs it: every scan line
  numbered, in C++ without the interpreter lock;
- `scanline_table(x, y, labels, **channels)`: one record per numbered scan
  line: where it starts and ends, its length and direction, and the mean,
  least and greatest value of every channel recorded along it.

The numbering functions take and return arrays as
`rasterloom.annotate_scanlines` does; none of the functions writes to its
inputs. The command `rasterloom` (also `python -m rasterloom_layers`) numbers
layer files and writes their labels and tables.
"""
from __future__ import annotations

from ._api import annotate_at_angle, annotate_layer, estimate_angle
from ._table import scanline_table

__all__ = ["annotate_at_angle", "annotate_layer", "estimate_angle", "scanline_table"]
