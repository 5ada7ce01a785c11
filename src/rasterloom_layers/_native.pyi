"""The compiled layer pipeline of rasterloom_layers (private).

Called by rasterloom_layers._api once it has checked the arguments:
x and y one-dimensional arrays of equal length, both float64 or both
float32, any stride.
"""

from typing import Any

import numpy as np
from numpy.typing import NDArray

def annotate_layer(x: NDArray[np.floating[Any]], y: NDArray[np.floating[Any]],
                   all_lines: bool, /) -> NDArray[np.int32]:
    """Scan line ids of a whole layer (see rasterloom_layers.annotate_layer)."""

def annotate_at_angle(x: NDArray[np.floating[Any]], y: NDArray[np.floating[Any]],
                      angle_deg: float | None, all_lines: bool, /) -> NDArray[np.int32]:
    """Scan line ids of one meander at an angle, or at the estimated one for None
    (see rasterloom_layers.annotate_at_angle)."""

def estimate_angle(x: NDArray[np.floating[Any]], y: NDArray[np.floating[Any]], /) -> float:
    """The direction of the scan lines in degrees in [0, 180) (see rasterloom_layers.estimate_angle)."""
