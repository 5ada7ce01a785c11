// The call path of annotate_scanlines(x, y): argument binding, the choice of
// element type, the coordinate views, the core call and the result array.
//
// NumPy is reached only through its C API table, obtained on the first call
// (importing the module does not import NumPy). This is the only translation
// unit that uses NumPy's API.

#include "module/call_path.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>

#include "core/compute_scanline_ids.hpp"
#include "module/boundary.hpp"
#include "module/python.hpp"

#include <numpy/ndarrayobject.h>

namespace rasterloom::module {
namespace {

constexpr const char* ELEMENT_TYPE_MESSAGE =
    "x and y must both be 1D numpy arrays of float64 or float32 type";

// str() of the pending exception, which is cleared.
std::string describe_pending_error() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type(type), owned_value(value), owned_traceback(traceback);
    std::string text = "unknown error";
    if (owned_value) {
        Ref rendered(PyObject_Str(owned_value.get()));
        Ref type_name(owned_type ? PyType_GetName(reinterpret_cast<PyTypeObject*>(type)) : nullptr);
        Py_ssize_t size = 0;
        const char* utf8 = rendered ? PyUnicode_AsUTF8AndSize(rendered.get(), &size) : nullptr;
        Py_ssize_t name_size = 0;
        const char* name = type_name ? PyUnicode_AsUTF8AndSize(type_name.get(), &name_size) : nullptr;
        if (utf8 != nullptr) {
            text = name != nullptr ? std::string(name, name_size) + ": " + std::string(utf8, size)
                                   : std::string(utf8, size);
        }
        PyErr_Clear();
    }
    return text;
}

// Obtains NumPy's C API table once per process. A failed attempt leaves the
// table unset, so a later call tries again (for example after NumPy has been
// installed or repaired in a long-running session).
void ensure_numpy_api() {
    if (PyArray_API != nullptr) {
        return;
    }
    if (_import_array() < 0) {
        PyArray_API = nullptr;
        fail("Failed to access NumPy array API capsule: " + describe_pending_error());
    }
}

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

// The element-type test: a NumPy array (or subclass) of one dimension whose
// data type is equivalent to `type_number`. Returns a new reference to the
// array, or an empty Ref when the object does not fit; nothing is raised.
Ref accept_array(PyObject* object, int type_number) {
    if (!PyObject_TypeCheck(object, &PyArray_Type)) {
        return Ref();
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != 1) {
        return Ref();
    }
    PyArray_Descr* wanted = PyArray_DescrFromType(type_number);
    if (wanted == nullptr) {
        throw PythonErrorSet{};
    }
    const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), wanted) != 0;
    Py_DECREF(reinterpret_cast<PyObject*>(wanted));
    return equivalent ? Ref::borrowed(object) : Ref();
}

template <core::Element T>
core::CoordView<T> coordinate_view(const Ref& accepted) {
    auto* array = reinterpret_cast<PyArrayObject*>(accepted.get());
    return core::CoordView<T>{PyArray_DATA(array), static_cast<std::uint64_t>(PyArray_DIM(array, 0)),
                              static_cast<std::int64_t>(PyArray_STRIDE(array, 0))};
}

// A new int32 NumPy array of n entries, in memory that NumPy owns.
Ref new_label_array(std::uint64_t n) {
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    npy_intp strides[1] = {n == 0 ? 0 : static_cast<npy_intp>(sizeof(std::int32_t))};
    PyObject* result = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_INT32), 1,
                                            dims, strides, nullptr, 0, nullptr);
    if (result == nullptr) {
        // Running out of memory is reported as such; anything else NumPy
        // refuses here is a fault of this module.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            throw PythonErrorSet{};
        }
        PyErr_WriteUnraisable(nullptr);
        fail("PyObject pointer is null");
    }
    return Ref(result);
}

template <core::Element T>
PyObject* run_core(const Ref& x, const Ref& y) {
    const core::CoordView<T> x_view = coordinate_view<T>(x);
    const core::CoordView<T> y_view = coordinate_view<T>(y);
    // The labels are written straight into the result array, which NumPy
    // allocates once the input has passed the checks: no second label
    // buffer and no copy.
    Ref result;
    std::optional<core::CoreError> error =
        core::compute_scanline_ids_into<T>(x_view, y_view, [&result](std::uint64_t n) {
            result = new_label_array(n);
            auto* data = static_cast<std::int32_t*>(
                PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
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
    ensure_numpy_api();

    // Declared y after x, so that on every way out y is released first.
    Ref x = accept_array(bound[0], NPY_DOUBLE);
    Ref y = accept_array(bound[1], NPY_DOUBLE);
    if (x && y) {
        return run_core<double>(x, y);
    }
    x = accept_array(bound[0], NPY_FLOAT);
    y = accept_array(bound[1], NPY_FLOAT);
    if (x && y) {
        return run_core<float>(x, y);
    }
    PyErr_SetString(PyExc_TypeError, ELEMENT_TYPE_MESSAGE);
    throw PythonErrorSet{};
}

}  // namespace

PyObject* annotate_scanlines_entry(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
    return guarded<PyObject*>(nullptr,
                              [&]() { return annotate_scanlines(args, nargs, kwnames); });
}

}  // namespace rasterloom::module
