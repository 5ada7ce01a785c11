// The call path of annotate_scanlines(x, y): argument binding, the choice of
// element type, the coordinate views, the core call and the result array.

#include "module/call_path.hpp"

#include <cstdint>
#include <optional>
#include <span>

#include "core/compute_scanline_ids.hpp"
#include "interop/boundary.hpp"
#include "interop/numpy.hpp"
#include "interop/python.hpp"
#include "interop/shared_pool.hpp"

namespace rasterloom::module {
namespace {

using interop::PythonErrorSet;
using interop::Ref;

[[noreturn]] void raise_type_error(PyObject* message) {
    if (message != nullptr) {
        PyErr_SetObject(PyExc_TypeError, message);
        Py_DECREF(message);
    }
    throw PythonErrorSet{};
}

// Binds the positional and keyword arguments to the slots x and y with the
// interpreter's own wording for every binding error.
void bind_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject* (&slots)[2]) {
    constexpr const char* names[2] = {"x", "y"};
    if (nargs > 2) {
        raise_type_error(PyUnicode_FromFormat(
            "annotate_scanlines() takes 2 positional arguments but %zd %s given", nargs,
            nargs == 1 ? "was" : "were"));
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[i] = args[i];
    }
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    if (keyword_count < 0) {
        throw PythonErrorSet{};
    }
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GetItem(kwnames, k);
        if (keyword == nullptr) {
            throw PythonErrorSet{};
        }
        int slot = -1;
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &size) : nullptr;
        if (utf8 == nullptr) {
            PyErr_Clear();
        } else if (size == 1 && (utf8[0] == 'x' || utf8[0] == 'y')) {
            slot = utf8[0] == 'x' ? 0 : 1;
        }
        if (slot < 0) {
            raise_type_error(PyUnicode_FromFormat(
                "annotate_scanlines() got an unexpected keyword argument '%S'", keyword));
        }
        if (slots[slot] != nullptr) {
            raise_type_error(PyUnicode_FromFormat(
                "annotate_scanlines() got multiple values for argument '%s'", names[slot]));
        }
        slots[slot] = args[nargs + k];
    }
    const int missing = (slots[0] == nullptr) + (slots[1] == nullptr);
    if (missing == 2) {
        raise_type_error(PyUnicode_FromString(
            "annotate_scanlines() missing 2 required positional arguments: 'x' and 'y'"));
    }
    if (missing == 1) {
        raise_type_error(PyUnicode_FromFormat(
            "annotate_scanlines() missing 1 required positional argument: '%s'",
            names[slots[0] == nullptr ? 0 : 1]));
    }
}

template <core::Element T>
core::CoordView<T> coordinate_view(const Ref& accepted) {
    const interop::ArrayView view = interop::view_of(accepted);
    return core::CoordView<T>{view.data, view.length, view.byte_stride};
}

template <core::Element T>
PyObject* run_core(const Ref& x, const Ref& y) {
    const core::CoordView<T> x_view = coordinate_view<T>(x);
    const core::CoordView<T> y_view = coordinate_view<T>(y);
    interop::acquire_shared_pool();
    // The labels are written straight into the result array, which NumPy
    // allocates once the input has passed the checks: no second label
    // buffer and no copy.
    Ref result;
    std::optional<core::CoreError> error =
        core::compute_scanline_ids_into<T>(x_view, y_view, [&result](std::uint64_t n) {
            std::int32_t* data = nullptr;
            result = interop::new_label_array(n, data);
            return std::span<std::int32_t>(data, n);
        });
    if (error) {
        PyErr_SetString(PyExc_ValueError, error->message.c_str());
        throw PythonErrorSet{};
    }
    ensure(static_cast<bool>(result), "the core returned without labels");
    return result.release();
}

PyObject* annotate_scanlines(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* bound[2] = {nullptr, nullptr};
    bind_arguments(args, nargs, kwnames, bound);
    interop::ensure_numpy_api();

    const std::optional<interop::CoordinateArrays> arrays = interop::accept_coordinates(bound[0], bound[1]);
    if (!arrays) {
        PyErr_SetString(PyExc_TypeError, interop::ELEMENT_TYPE_MESSAGE);
        throw PythonErrorSet{};
    }
    if (arrays->type == interop::ElementType::float64) {
        return run_core<double>(arrays->x, arrays->y);
    }
    return run_core<float>(arrays->x, arrays->y);
}

}  // namespace

PyObject* annotate_scanlines_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
    return interop::guarded<PyObject*>(nullptr,
                              [&]() { return annotate_scanlines(args, nargs, kwnames); });
}

}  // namespace rasterloom::module
