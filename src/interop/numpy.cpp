#include "interop/numpy.hpp"

#include <string>

#include "interop/boundary.hpp"
#include "support/failure.hpp"

#include <numpy/ndarrayobject.h>

namespace rasterloom::interop {
namespace {

// Whether `object` is a one-dimensional array whose data type is equivalent
// to `type_number`.
bool fits(PyObject* object, int type_number) {
    if (!PyObject_TypeCheck(object, &PyArray_Type)) {
        return false;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_NDIM(array) != 1) {
        return false;
    }
    PyArray_Descr* wanted = PyArray_DescrFromType(type_number);
    if (wanted == nullptr) {
        throw PythonErrorSet{};
    }
    const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(array), wanted) != 0;
    Py_DECREF(reinterpret_cast<PyObject*>(wanted));
    return equivalent;
}

PyArrayObject* array_of(const Ref& accepted) {
    return reinterpret_cast<PyArrayObject*>(accepted.get());
}

// Running out of memory is reported as such; anything else NumPy refuses
// when it makes an array is a fault of this code.
[[noreturn]] void array_refused() {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
        throw PythonErrorSet{};
    }
    PyErr_WriteUnraisable(nullptr);
    fail("PyObject pointer is null");
}

}  // namespace

void ensure_numpy_api() {
    if (PyArray_API != nullptr) {
        return;
    }
    if (_import_array() < 0) {
        PyArray_API = nullptr;
        fail("Failed to access NumPy array API capsule: " + describe_pending_error());
    }
}

std::optional<CoordinateArrays> accept_coordinates(PyObject* x, PyObject* y) {
    if (fits(x, NPY_DOUBLE) && fits(y, NPY_DOUBLE)) {
        return CoordinateArrays{Ref::borrowed(x), Ref::borrowed(y), ElementType::float64};
    }
    if (fits(x, NPY_FLOAT) && fits(y, NPY_FLOAT)) {
        return CoordinateArrays{Ref::borrowed(x), Ref::borrowed(y), ElementType::float32};
    }
    return std::nullopt;
}

ArrayView view_of(const Ref& accepted) {
    PyArrayObject* array = array_of(accepted);
    const auto item = static_cast<std::int64_t>(PyArray_ITEMSIZE(array));
    const auto stride = static_cast<std::int64_t>(PyArray_STRIDE(array, 0));
    const auto address = reinterpret_cast<std::uintptr_t>(PyArray_DATA(array));
    const auto length = static_cast<std::uint64_t>(PyArray_DIM(array, 0));
    const bool aligned = length == 0 || (address % static_cast<std::uintptr_t>(item) == 0 &&
                                         (length == 1 || stride % item == 0));
    return ArrayView{PyArray_DATA(array), length, stride, aligned};
}

Ref aligned_copy(const Ref& accepted) {
    PyObject* copy = PyArray_NewCopy(array_of(accepted), NPY_CORDER);
    if (copy == nullptr) {
        array_refused();
    }
    return Ref(copy);
}

Ref new_label_array(std::uint64_t n, std::int32_t*& data) {
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    npy_intp strides[1] = {n == 0 ? 0 : static_cast<npy_intp>(sizeof(std::int32_t))};
    PyObject* result = PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_INT32), 1,
                                            dims, strides, nullptr, 0, nullptr);
    if (result == nullptr) {
        array_refused();
    }
    data = static_cast<std::int32_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result)));
    return Ref(result);
}

}  // namespace rasterloom::interop
