// The call paths of rasterloom_layers._native: the arguments, the coordinate
// arrays as the layer pipeline reads them, and the result, with the
// interpreter lock released while the pipeline computes.
//
// The package's public functions (src/rasterloom_layers/) check their
// arguments with the public messages before they call these; the checks
// here only make sure that no argument whatever reaches the pipeline unfit.

#include "layers_module/call_path.hpp"

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "interop/boundary.hpp"
#include "interop/numpy.hpp"
#include "interop/python.hpp"
#include "interop/shared_pool.hpp"
#include "layers/pipeline.hpp"

namespace rasterloom::layers_module {
namespace {

using interop::PythonErrorSet;
using interop::Ref;

[[noreturn]] void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw PythonErrorSet{};
}

void expect_arguments(const char* function, Py_ssize_t nargs, Py_ssize_t expected) {
    if (nargs != expected) {
        raise(PyExc_TypeError, std::string(function) + "() takes exactly " + std::to_string(expected) +
                                   " arguments (" + std::to_string(nargs) + " given)");
    }
}

bool flag_argument(PyObject* object, const char* function) {
    if (!PyBool_Check(object)) {
        raise(PyExc_TypeError, std::string(function) + "() argument 'all_lines' must be bool");
    }
    return object == Py_True;
}

std::optional<double> angle_argument(PyObject* object) {
    if (object == Py_None) {
        return std::nullopt;
    }
    const double angle = PyFloat_AsDouble(object);
    if (angle == -1.0 && PyErr_Occurred() != nullptr) {
        throw PythonErrorSet{};
    }
    if (!std::isfinite(angle)) {
        raise(PyExc_ValueError, "angle_deg must be finite");
    }
    return angle;
}

// The coordinate arrays of one call, held until it returns (the caller's
// arrays, or aligned copies of them), and the pipeline's view of them.
struct LayerInput {
    interop::CoordinateArrays arrays;
    layers::Coordinates xy;
};

std::int64_t element_stride(const interop::ArrayView& view, std::int64_t item) {
    return view.length <= 1 ? 1 : view.byte_stride / item;
}

LayerInput layer_input(PyObject* x, PyObject* y) {
    interop::ensure_numpy_api();
    std::optional<interop::CoordinateArrays> arrays = interop::accept_coordinates(x, y);
    if (!arrays) {
        raise(PyExc_TypeError, interop::ELEMENT_TYPE_MESSAGE);
    }
    interop::ArrayView x_view = interop::view_of(arrays->x);
    interop::ArrayView y_view = interop::view_of(arrays->y);
    if (x_view.length != y_view.length) {
        raise(PyExc_ValueError, "Input x and y length mismatch: " + std::to_string(x_view.length) + " vs " +
                                    std::to_string(y_view.length));
    }
    // Misaligned arrays (from a byte buffer or a record array) are rare; the
    // pipeline reads aligned copies of them.
    if (!x_view.aligned) {
        arrays->x = interop::aligned_copy(arrays->x);
        x_view = interop::view_of(arrays->x);
    }
    if (!y_view.aligned) {
        arrays->y = interop::aligned_copy(arrays->y);
        y_view = interop::view_of(arrays->y);
    }
    const bool single = arrays->type == interop::ElementType::float32;
    const std::int64_t item = single ? 4 : 8;
    const layers::Coordinates xy{x_view.data, y_view.data, x_view.length,
                                 element_stride(x_view, item), element_stride(y_view, item), single};
    return LayerInput{std::move(*arrays), xy};
}

// A new label array numbered by `numbering(labels)` without the interpreter
// lock; ValueError with the message it returns instead.
template <class Numbering>
PyObject* labels_of(const LayerInput& input, Numbering&& numbering) {
    interop::acquire_shared_pool();
    std::int32_t* labels = nullptr;
    Ref result = interop::new_label_array(input.xy.n, labels);
    const std::optional<std::string> error =
        interop::without_interpreter_lock([&numbering, labels] { return numbering(labels); });
    if (error) {
        raise(PyExc_ValueError, *error);
    }
    return result.release();
}

PyObject* annotate_layer(PyObject* const* args, Py_ssize_t nargs) {
    expect_arguments("annotate_layer", nargs, 3);
    const bool all_lines = flag_argument(args[2], "annotate_layer");
    const LayerInput input = layer_input(args[0], args[1]);
    return labels_of(input, [&input, all_lines](std::int32_t* labels) {
        return layers::annotate_layer(input.xy, all_lines, labels);
    });
}

PyObject* annotate_at_angle(PyObject* const* args, Py_ssize_t nargs) {
    expect_arguments("annotate_at_angle", nargs, 4);
    const std::optional<double> angle = angle_argument(args[2]);
    const bool all_lines = flag_argument(args[3], "annotate_at_angle");
    const LayerInput input = layer_input(args[0], args[1]);
    return labels_of(input, [&input, angle, all_lines](std::int32_t* labels) {
        return layers::annotate_at_angle(input.xy, angle, all_lines, labels);
    });
}

PyObject* estimate_angle(PyObject* const* args, Py_ssize_t nargs) {
    expect_arguments("estimate_angle", nargs, 2);
    const LayerInput input = layer_input(args[0], args[1]);
    interop::acquire_shared_pool();
    const std::variant<double, std::string> estimate =
        interop::without_interpreter_lock([&input] { return layers::estimate_angle(input.xy); });
    if (const std::string* message = std::get_if<std::string>(&estimate)) {
        raise(PyExc_ValueError, *message);
    }
    return Ref::checked(PyFloat_FromDouble(std::get<double>(estimate))).release();
}

}  // namespace

PyObject* annotate_layer_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return interop::guarded<PyObject*>(nullptr, [&]() { return annotate_layer(args, nargs); });
}

PyObject* annotate_at_angle_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return interop::guarded<PyObject*>(nullptr, [&]() { return annotate_at_angle(args, nargs); });
}

PyObject* estimate_angle_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return interop::guarded<PyObject*>(nullptr, [&]() { return estimate_angle(args, nargs); });
}

}  // namespace rasterloom::layers_module
