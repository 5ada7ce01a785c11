"""Argument binding, element-type dispatch, input checks and the result array."""
import sys

import numpy as np
import pytest

from rasterloom import annotate_scanlines

from conftest import meander

TYPE_MESSAGE = "x and y must both be 1D numpy arrays of float64 or float32 type"
FLOAT_TYPES = [np.float64, np.float32]


@pytest.fixture(params=FLOAT_TYPES, ids=["float64", "float32"])
def path(request):
    x, y, _ = meander(4, 8, 3, dtype=request.param)
    return x, y


class TestBinding:
    def test_every_binding_order_gives_the_same_labels(self, path):
        x, y = path
        expected = annotate_scanlines(x, y)
        assert np.array_equal(annotate_scanlines(x=x, y=y), expected)
        assert np.array_equal(annotate_scanlines(y=y, x=x), expected)
        assert np.array_equal(annotate_scanlines(x, y=y), expected)
        # the order of the arguments matters: swapping x and y is another path
        assert annotate_scanlines(y, x).shape == expected.shape

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((), {}, "annotate_scanlines() missing 2 required positional arguments: 'x' and 'y'"),
            ((1.0,), {}, "annotate_scanlines() missing 1 required positional argument: 'y'"),
            ((), {"y": 1.0}, "annotate_scanlines() missing 1 required positional argument: 'x'"),
            ((1, 2, 3), {}, "annotate_scanlines() takes 2 positional arguments but 3 were given"),
            ((1, 2, 3, 4), {"z": 1}, "annotate_scanlines() takes 2 positional arguments but 4 were given"),
            ((1.0,), {"x": 2.0}, "annotate_scanlines() got multiple values for argument 'x'"),
            ((1.0, 2.0), {"y": 2.0}, "annotate_scanlines() got multiple values for argument 'y'"),
            ((1.0, 2.0), {"z": 3.0}, "annotate_scanlines() got an unexpected keyword argument 'z'"),
            ((), {"X": 1.0, "y": 2.0}, "annotate_scanlines() got an unexpected keyword argument 'X'"),
        ],
    )
    def test_binding_errors(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            annotate_scanlines(*args, **kwargs)
        assert str(info.value) == message

    def test_binding_is_checked_before_element_types(self):
        # the arguments are not arrays at all, yet the binding message wins
        with pytest.raises(TypeError, match="unexpected keyword argument 'w'"):
            annotate_scanlines("a", w=None, y="b")


def big_endian(values):
    return np.asarray(values, dtype=">f8")


class TestElementTypes:
    @pytest.mark.parametrize(
        "make_x, make_y",
        [
            (lambda: np.zeros(3), lambda: np.zeros(3, np.float32)),
            (lambda: np.zeros(3, np.float32), lambda: np.zeros(3)),
            (lambda: [0.0, 1.0, 2.0], lambda: np.zeros(3)),
            (lambda: np.zeros(3), lambda: None),
            (lambda: 1.0, lambda: 2.0),
            (lambda: np.zeros((3, 1)), lambda: np.zeros((3, 1))),
            (lambda: np.zeros((2, 2)), lambda: np.zeros(4)),
            (lambda: np.array(1.0), lambda: np.array(1.0)),
            (lambda: np.zeros(3, np.int32), lambda: np.zeros(3, np.int32)),
            (lambda: np.zeros(3, np.int64), lambda: np.zeros(3)),
            (lambda: np.zeros(3, np.float16), lambda: np.zeros(3, np.float16)),
            (lambda: np.zeros(3, np.longdouble), lambda: np.zeros(3, np.longdouble)),
            (lambda: np.zeros(3, np.complex128), lambda: np.zeros(3, np.complex128)),
            (lambda: big_endian([0, 1, 2]), lambda: big_endian([0, 1, 2])),
            (lambda: np.zeros(3, ">f4"), lambda: np.zeros(3, ">f4")),
            (lambda: np.zeros(0, np.int8), lambda: np.zeros(0, np.int8)),
        ],
    )
    def test_rejected_pairs(self, make_x, make_y):
        with pytest.raises(TypeError) as info:
            annotate_scanlines(make_x(), make_y())
        assert str(info.value) == TYPE_MESSAGE

    @pytest.mark.parametrize("dtype", FLOAT_TYPES)
    def test_accepted_kinds_of_array(self, dtype):
        x, y, _ = meander(3, 6, 2, dtype=dtype)
        expected = annotate_scanlines(x, y)

        class Sub(np.ndarray):
            pass

        sub_x, sub_y = x.view(Sub), y.view(Sub)
        result = annotate_scanlines(sub_x, sub_y)
        assert type(result) is np.ndarray
        assert np.array_equal(result, expected)

        ro_x, ro_y = x.copy(), y.copy()
        ro_x.flags.writeable = False
        ro_y.flags.writeable = False
        assert np.array_equal(annotate_scanlines(ro_x, ro_y), expected)

        native = np.dtype(dtype).newbyteorder("=")
        assert np.array_equal(annotate_scanlines(x.astype(native), y.astype(native)), expected)

    def test_same_array_for_both_coordinates(self):
        data = np.linspace(0, 1, 20)
        result = annotate_scanlines(data, data)
        assert result.shape == (20,)


class TestInputChecks:
    @pytest.mark.parametrize("dtype", FLOAT_TYPES)
    @pytest.mark.parametrize("nx, ny", [(3, 5), (0, 2), (2, 0), (5, 3)])
    def test_length_mismatch(self, dtype, nx, ny):
        with pytest.raises(ValueError) as info:
            annotate_scanlines(np.zeros(nx, dtype), np.zeros(ny, dtype))
        assert str(info.value) == f"Input x and y length mismatch: {nx} vs {ny}"

    def test_length_is_checked_before_contiguity(self):
        with pytest.raises(ValueError, match="length mismatch: 3 vs 2"):
            annotate_scanlines(np.zeros(6)[::2], np.zeros(4)[::2])

    @pytest.mark.parametrize("dtype", FLOAT_TYPES)
    def test_empty_inputs(self, dtype):
        result = annotate_scanlines(np.zeros(0, dtype), np.zeros(0, dtype))
        assert result.dtype == np.int32 and result.shape == (0,)
        # empty views with odd strides are still empty
        result = annotate_scanlines(np.zeros(4, dtype)[4:4:-2], np.zeros(4, dtype)[:0:3])
        assert result.shape == (0,)

    @pytest.mark.parametrize("dtype", FLOAT_TYPES)
    @pytest.mark.parametrize(
        "view", [lambda a: a[::-1], lambda a: a[::2], lambda a: np.broadcast_to(a[:1], a.shape)],
        ids=["reversed", "strided", "broadcast"],
    )
    def test_non_contiguous(self, dtype, view):
        base = np.arange(8, dtype=dtype)
        contiguous = np.arange(len(view(base)), dtype=dtype)
        with pytest.raises(ValueError) as info:
            annotate_scanlines(view(base), contiguous)
        assert str(info.value) == "x array must be contiguous"
        with pytest.raises(ValueError) as info:
            annotate_scanlines(contiguous, view(base))
        assert str(info.value) == "y array must be contiguous"
        with pytest.raises(ValueError) as info:
            annotate_scanlines(view(base), view(base))
        assert str(info.value) == "x array must be contiguous"

    def test_byte_stride_that_is_not_a_whole_item(self):
        # Seven bytes between elements: not contiguous, however the stride
        # would round when counted in items.
        buffer = np.zeros(64, np.uint8)
        x = np.ndarray(shape=(5,), dtype=np.float64, buffer=buffer, strides=(7,))
        with pytest.raises(ValueError, match="x array must be contiguous"):
            annotate_scanlines(x, np.zeros(5))
        with pytest.raises(ValueError, match="y array must be contiguous"):
            annotate_scanlines(np.zeros(5), x)
        wide = np.ndarray(shape=(3,), dtype=np.float64, buffer=buffer, strides=(9,))
        with pytest.raises(ValueError, match="x array must be contiguous"):
            annotate_scanlines(wide, np.zeros(3))

    @pytest.mark.parametrize("dtype", FLOAT_TYPES)
    def test_single_point_views_are_accepted_whatever_their_stride(self, dtype):
        base = np.arange(6, dtype=dtype)
        result = annotate_scanlines(base[::-3][:1], base[::4][:1])
        assert result.tolist() == [-1]


class TestResultArray:
    @pytest.mark.parametrize("dtype", FLOAT_TYPES)
    def test_result_is_a_fresh_owned_int32_array(self, dtype):
        x, y, _ = meander(3, 5, 1, dtype=dtype)
        first = annotate_scanlines(x, y)
        assert type(first) is np.ndarray
        assert first.dtype == np.dtype(np.int32) and first.dtype.isnative
        assert first.shape == x.shape
        assert first.strides == (4,)
        assert first.flags.c_contiguous and first.flags.aligned
        assert first.flags.writeable and first.flags.owndata
        assert first.base is None
        snapshot = first.copy()
        first[:] = 7
        second = annotate_scanlines(x, y)
        assert np.array_equal(second, snapshot)
        assert not np.shares_memory(first, second)

    def test_inputs_are_never_written(self):
        x, y, _ = meander(4, 7, 3)
        x_bytes, y_bytes = x.tobytes(), y.tobytes()
        annotate_scanlines(x, y)
        with pytest.raises(ValueError):
            annotate_scanlines(x, y[:-1])
        assert x.tobytes() == x_bytes and y.tobytes() == y_bytes

    @pytest.mark.parametrize("dtype", FLOAT_TYPES)
    def test_unaligned_data_is_read_correctly(self, dtype):
        x, y, _ = meander(5, 9, 3, dtype=dtype)
        itemsize = np.dtype(dtype).itemsize

        def misaligned(values):
            raw = bytearray(values.nbytes + 1)
            out = np.ndarray(values.shape, dtype, buffer=raw, offset=1)
            out[:] = values
            return out

        mx, my = misaligned(x), misaligned(y)
        assert mx.ctypes.data % itemsize != 0 and not mx.flags.aligned
        assert np.array_equal(annotate_scanlines(mx, my), annotate_scanlines(x, y))


class TestReferences:
    def test_no_reference_is_leaked_on_any_way_out(self):
        x, y, _ = meander(3, 6, 2)
        short = y[:-1]
        f32 = y.astype(np.float32)
        objects = [x, y, short, f32]
        before = [sys.getrefcount(o) for o in objects]
        for _ in range(200):
            annotate_scanlines(x, y)
            annotate_scanlines(x=x, y=y)
            with pytest.raises(ValueError):
                annotate_scanlines(x, short)
            with pytest.raises(TypeError):
                annotate_scanlines(x, f32)
            with pytest.raises(TypeError):
                annotate_scanlines(x, y, x)
            with pytest.raises(TypeError):
                annotate_scanlines(x, x=y)
        assert [sys.getrefcount(o) for o in objects] == before

    def test_result_holds_no_reference_to_the_inputs(self):
        x, y, _ = meander(3, 6, 2)
        before = sys.getrefcount(x), sys.getrefcount(y)
        results = [annotate_scanlines(x, y) for _ in range(50)]
        assert (sys.getrefcount(x), sys.getrefcount(y)) == before
        assert all(r.base is None for r in results)
