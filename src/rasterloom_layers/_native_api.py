"""The public functions on the compiled layer pipeline (`_native`).

The same signatures, checks, errors and results as `_api`: the arguments are
checked here with the public messages, then the compiled pipeline numbers the
layer in C++ without the interpreter lock, so that several Python threads
number layers at once. The package exports `_api`'s functions until the
compiled pipeline numbers layers as the Python one does; switching is the
import in `__init__.py`.
"""
from __future__ import annotations

from . import _api, _native
from ._api import Coordinates, check_angle, check_pair
from ._pipeline import Labels


def estimate_angle(x: Coordinates, y: Coordinates) -> float:
    check_pair(x, y)
    return _native.estimate_angle(x, y)


def annotate_at_angle(x: Coordinates, y: Coordinates, angle_deg: float | None = None, *,
                      all_lines: bool = True) -> Labels:
    check_pair(x, y)
    angle = None if angle_deg is None else check_angle(angle_deg)
    return _native.annotate_at_angle(x, y, angle, bool(all_lines))


def annotate_layer(x: Coordinates, y: Coordinates, *, all_lines: bool = True) -> Labels:
    check_pair(x, y)
    return _native.annotate_layer(x, y, bool(all_lines))


estimate_angle.__doc__ = _api.estimate_angle.__doc__
annotate_at_angle.__doc__ = _api.annotate_at_angle.__doc__
annotate_layer.__doc__ = _api.annotate_layer.__doc__
