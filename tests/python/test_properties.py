"""Property tests: whatever arrays are passed, the call answers with a
well-formed result or the documented exception, and never writes its input."""
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from rasterloom import annotate_scanlines

TYPE_MESSAGE = "x and y must both be 1D numpy arrays of float64 or float32 type"

settings.register_profile(
    "default", max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.load_profile("default")


def assert_well_formed(labels, n):
    assert type(labels) is np.ndarray
    assert labels.dtype == np.int32 and labels.shape == (n,)
    assert labels.flags.owndata and labels.flags.writeable
    assert np.all((labels == -1) | (labels >= 1))
    ids = labels[labels >= 1]
    # ids increase along the path, and each id covers one contiguous stretch
    assert np.all(np.diff(ids) >= 0)
    for value in np.unique(ids):
        where = np.flatnonzero(labels == value)
        assert where[-1] - where[0] + 1 == len(where)


def coordinates(dtype, max_size=60):
    width = np.dtype(dtype).itemsize * 8
    interesting = st.sampled_from(
        [0.0, -0.0, np.inf, -np.inf, np.nan, 1.0, 1.0 + np.finfo(dtype).eps,
         np.finfo(dtype).tiny / 4, np.finfo(dtype).max, -np.finfo(dtype).max]
    )
    grid = st.integers(-4, 4).map(lambda v: v * 0.5)
    elements = st.one_of(st.floats(width=width), interesting, grid)
    return hnp.arrays(dtype, st.integers(0, max_size), elements=elements)


class Sub(np.ndarray):
    pass


VIEWS = {
    "plain": lambda a: a,
    "reversed": lambda a: a[::-1],
    "strided": lambda a: np.repeat(a, 2)[::2],
    "offset": lambda a: np.concatenate([a[:1], a])[1:],
    "swapped": lambda a: a.astype(a.dtype.newbyteorder()),
    "readonly": lambda a: np.frombuffer(a.tobytes(), dtype=a.dtype),
    "misaligned": lambda a: np.ndarray(a.shape, a.dtype, buffer=bytearray(a.nbytes + 1), offset=1),
    "subclass": lambda a: a.view(Sub),
    "column": lambda a: a.reshape(-1, 1),
    "as_list": lambda a: a.tolist(),
}


def make_view(kind, values):
    out = VIEWS[kind](values)
    if kind == "misaligned":
        out[:] = values
    return out


def expected_outcome(x, y):
    """The documented answer for a pair of objects: None for a result, or
    (exception class, message)."""
    def fits(obj, dtype):
        return (isinstance(obj, np.ndarray) and obj.ndim == 1 and obj.dtype == np.dtype(dtype)
                and obj.dtype.isnative)

    if fits(x, np.float64) and fits(y, np.float64):
        itemsize = 8
    elif fits(x, np.float32) and fits(y, np.float32):
        itemsize = 4
    else:
        return TypeError, TYPE_MESSAGE
    if len(x) != len(y):
        return ValueError, f"Input x and y length mismatch: {len(x)} vs {len(y)}"
    if len(x) >= 2 and x.strides[0] != itemsize:
        return ValueError, "x array must be contiguous"
    if len(y) >= 2 and y.strides[0] != itemsize:
        return ValueError, "y array must be contiguous"
    return None


def snapshot(obj):
    return obj.tobytes() if isinstance(obj, np.ndarray) else repr(obj)


@given(
    dtype_x=st.sampled_from([np.float64, np.float32]),
    same_dtype=st.booleans(),
    data=st.data(),
    kind_x=st.sampled_from(sorted(VIEWS)),
    kind_y=st.sampled_from(sorted(VIEWS)),
)
def test_any_pair_of_arrays(dtype_x, same_dtype, data, kind_x, kind_y):
    dtype_y = dtype_x if same_dtype else data.draw(st.sampled_from([np.float64, np.float32]))
    x_values = data.draw(coordinates(dtype_x), label="x")
    if data.draw(st.booleans(), label="equal lengths"):
        y_values = data.draw(hnp.arrays(dtype_y, len(x_values), elements=st.floats(width=np.dtype(dtype_y).itemsize * 8)), label="y")
    else:
        y_values = data.draw(coordinates(dtype_y), label="y")
    x = make_view(kind_x, x_values)
    y = make_view(kind_y, y_values)
    before = snapshot(x), snapshot(y)
    expected = expected_outcome(x, y)
    if expected is None:
        labels = annotate_scanlines(x, y)
        assert_well_formed(labels, len(x))
        # the same values, read from fresh contiguous copies, give the same labels
        assert np.array_equal(labels, annotate_scanlines(np.array(x), np.array(y)))
    else:
        kind, message = expected
        with pytest.raises(kind) as info:
            annotate_scanlines(x, y)
        assert str(info.value) == message
    assert (snapshot(x), snapshot(y)) == before


@st.composite
def meanders(draw):
    """Meander recordings with optional jitter, dropouts and travel moves."""
    dtype = draw(st.sampled_from([np.float64, np.float32]))
    lines = draw(st.integers(1, 12))
    per_line = draw(st.integers(1, 30))
    turn = draw(st.integers(0, 4))
    jitter = draw(st.sampled_from([0.0, 1e-9, 1e-4]))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    xs, ys = [], []
    for line in range(lines):
        ramp = np.linspace(0, 10, per_line)
        xs.append(np.full(per_line, float(line)))
        ys.append((ramp if line % 2 == 0 else ramp[::-1]) + rng.normal(0, jitter, per_line))
        if line + 1 < lines and turn:
            xs.append(line + np.arange(1, turn + 1) / (turn + 1))
            ys.append(np.full(turn, 10.0 if line % 2 == 0 else 0.0))
    x, y = np.concatenate(xs).astype(dtype), np.concatenate(ys).astype(dtype)
    dropouts = draw(st.lists(st.integers(0, len(x) - 1), max_size=3))
    x[dropouts] = np.nan
    return x, y


@given(meanders())
def test_meanders_with_noise_and_dropouts(path):
    x, y = path
    labels = annotate_scanlines(x, y)
    assert_well_formed(labels, len(x))
