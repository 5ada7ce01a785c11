"""A library for processing and annotating raster scanlines in powder bed fusion data."""

from typing import TypeVar

import numpy as np
import numpy.typing as npt

__all__ = ["annotate_scanlines"]

# Both coordinate arrays share one element type, float64 or float32 (a
# constrained type variable rather than two overloads: mypy infers an inline
# np.zeros(n, dtype=np.int32) argument against overloads loosely and lets it
# pass); the result is always a one-dimensional int32 array.
_Float = TypeVar("_Float", np.float64, np.float32)

def annotate_scanlines(
    x: npt.NDArray[_Float], y: npt.NDArray[_Float]
) -> np.ndarray[tuple[int], np.dtype[np.int32]]:
    """Annotate in-memory scanline data from 1D x and y coordinate arrays.

    Args:
        x (ndarray): 1D numpy array of x-coordinates (float32 or float64).
        y (ndarray): 1D numpy array of y-coordinates (float32 or float64).

    Returns:
        ndarray: 1D numpy array of scanline_id assignments (int32).
    """
