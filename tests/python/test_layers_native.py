"""The extension of the compiled layer pipeline, rasterloom_layers._native:
its arguments, the arrays it reads (any stride and alignment, both element
types, never written) and its result arrays."""
import numpy as np
import pytest

from rasterloom_layers import _native

from conftest import expect_arrays_checked_as_the_module_checks_them, meander

LAYER_CALLS = {
    "annotate_layer": lambda x, y: _native.annotate_layer(x, y, True),
    "annotate_at_angle": lambda x, y: _native.annotate_at_angle(x, y, 90.0, False),
    "annotate_at_estimated_angle": lambda x, y: _native.annotate_at_angle(x, y, None, True),
}


class TestArguments:
    @pytest.mark.parametrize(
        "function, args, message",
        [
            (_native.annotate_layer, (1, 2), r"annotate_layer\(\) takes exactly 3 arguments \(2 given\)"),
            (_native.annotate_at_angle, (1, 2, 3, 4, 5),
             r"annotate_at_angle\(\) takes exactly 4 arguments \(5 given\)"),
            (_native.estimate_angle, (), r"estimate_angle\(\) takes exactly 2 arguments \(0 given\)"),
            (_native.annotate_layer, (np.zeros(2), np.zeros(2), 1),
             r"annotate_layer\(\) argument 'all_lines' must be bool"),
            (_native.annotate_at_angle, (np.zeros(2), np.zeros(2), None, None),
             r"annotate_at_angle\(\) argument 'all_lines' must be bool"),
            (_native.annotate_at_angle, (np.zeros(2), np.zeros(2), "90", True), "must be real number"),
        ],
    )
    def test_wrong_arguments_raise_type_error(self, function, args, message):
        with pytest.raises(TypeError, match=message):
            function(*args)

    def test_keywords_are_refused(self):
        with pytest.raises(TypeError, match="keyword"):
            _native.annotate_layer(np.zeros(2), np.zeros(2), all_lines=True)

    @pytest.mark.parametrize("angle", [float("nan"), float("inf")])
    def test_angle_that_is_not_finite_is_refused(self, angle):
        with pytest.raises(ValueError, match="angle_deg must be finite"):
            _native.annotate_at_angle(np.zeros(2), np.zeros(2), angle, True)

    @pytest.mark.parametrize("call", [*LAYER_CALLS.values(), _native.estimate_angle])
    def test_arrays_are_checked_as_the_module_checks_them(self, call):
        expect_arrays_checked_as_the_module_checks_them(call)


def views_of(values):
    """Arrays holding `values` with other strides and alignments: a column
    of a two-column array, every other element, a negative stride, a
    misaligned contiguous array and a field of a packed record array."""
    n, dtype = len(values), values.dtype
    column = np.column_stack([values, values])[:, 1]
    every_other = np.repeat(values, 2)[::2]
    backwards = values[::-1].copy()[::-1]
    misaligned = np.zeros(n * dtype.itemsize + 1, np.uint8)[1:].view(dtype)
    misaligned[:] = values
    records = np.zeros(n, dtype=np.dtype([("pad", np.uint8), ("v", dtype)], align=False))["v"]
    records[:] = values
    assert not misaligned.flags.aligned and records.strides == (dtype.itemsize + 1,)
    return {"column": column, "every other": every_other, "backwards": backwards,
            "misaligned": misaligned, "record field": records}


class TestArrays:
    @pytest.mark.parametrize("dtype", [np.float64, np.float32])
    @pytest.mark.parametrize("name", LAYER_CALLS)
    def test_any_stride_or_alignment_reads_as_a_contiguous_copy(self, dtype, name):
        call = LAYER_CALLS[name]
        x, y, _ = meander(12, 40, 3, dtype=dtype)
        expected = call(x.copy(), y.copy())
        assert expected.dtype == np.int32 and expected.shape == x.shape and expected.max() > 0
        for (kind, x_view), y_view in zip(views_of(x).items(), views_of(y).values()):
            x_before, y_before = x_view.copy(), y_view.copy()
            labels = call(x_view, y_view)
            assert np.array_equal(labels, expected), kind
            assert np.array_equal(x_view, x_before) and np.array_equal(y_view, y_before), kind

    @pytest.mark.parametrize("name", LAYER_CALLS)
    def test_result_is_a_fresh_int32_array_of_one_label_per_point(self, name):
        estimates = name != "annotate_at_angle"
        same = np.broadcast_to(np.float64(2.0), 9)  # a constant array through a zero stride
        for n in (0, 1, 2, 50, "constant"):
            x, y = (same, same) if n == "constant" else (np.linspace(0.0, 1.0, n), np.zeros(n))
            if estimates and n in (1, 2, "constant") or name == "annotate_at_estimated_angle" and n == 0:
                # no angle from a point, a step or a point standing still (nor,
                # asked for an angle alone, from nothing)
                with pytest.raises(ValueError, match="too few points to estimate the scan line angle"):
                    LAYER_CALLS[name](x, y)
                continue
            labels = LAYER_CALLS[name](x, y)
            assert labels.dtype == np.int32 and labels.shape == x.shape
            assert labels.flags.c_contiguous and labels.flags.owndata and labels.flags.writeable
            assert ((labels == -1) | (labels >= 1)).all()

    def test_estimate_refusal_is_a_value_error_with_the_pipelines_message(self):
        with pytest.raises(ValueError, match="too few points to estimate the scan line angle"):
            _native.estimate_angle(np.zeros(0), np.zeros(0))
