"""A user's own code: type-checked by mypy and pyright in an environment that
holds only the installed wheel and its dependencies, never run."""
import numpy as np

import rasterloom

x = np.zeros(5)
y = np.arange(5.0)
labels = rasterloom.annotate_scanlines(x, y)
reveal_type(labels)
reveal_type(rasterloom.annotate_scanlines(x.astype(np.float32), y.astype(np.float32)))
rasterloom.annotate_scanlines([0.0, 1.0], [0.0, 1.0])
