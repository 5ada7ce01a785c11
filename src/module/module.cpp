// The importable module: multi-phase initialisation with one execution step
// that adds annotate_scanlines and __all__ to a fresh module object.
// Importing does not touch NumPy and starts no thread.

#include "interop/boundary.hpp"
#include "interop/python.hpp"
#include "module/call_path.hpp"

namespace rasterloom::module {
namespace {

using interop::guarded;
using interop::PythonErrorSet;
using interop::Ref;

constexpr const char* MODULE_DOC =
    "A library for processing and annotating raster scanlines in powder bed fusion data.";

constexpr const char* FUNCTION_DOC =
    "annotate_scanlines(x, y)\n--\n\n"
    "Annotate in-memory scanline data from 1D x and y coordinate arrays.\n\n"
    "Args:\n"
    "    x (ndarray): 1D numpy array of x-coordinates (float32 or float64).\n"
    "    y (ndarray): 1D numpy array of y-coordinates (float32 or float64).\n\n"
    "Returns:\n"
    "    ndarray: 1D numpy array of scanline_id assignments (int32).";

PyMethodDef annotate_scanlines_def = {
    "annotate_scanlines",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&annotate_scanlines_entry)),
    METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
    FUNCTION_DOC,
};

// Returns the module's __all__ list, creating an empty one when absent.
Ref module_all(PyObject* module) {
    PyObject* existing = PyObject_GetAttrString(module, "__all__");
    if (existing == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw PythonErrorSet{};
        }
        PyErr_Clear();
        Ref created = Ref::checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", created.get()) < 0) {
            throw PythonErrorSet{};
        }
        return created;
    }
    Ref all(existing);
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        throw PythonErrorSet{};
    }
    return all;
}

int exec_module(PyObject* module) {
    return guarded(-1, [module]() -> int {
        if (module == nullptr) {
            if (PyErr_Occurred() == nullptr) {
                PyErr_SetString(PyExc_SystemError, "module execution step called without a module");
            }
            throw PythonErrorSet{};
        }
        if (!PyModule_Check(module)) {
            PyErr_SetString(PyExc_TypeError, "expected a module object");
            throw PythonErrorSet{};
        }
        Ref function;
        {
            Ref module_name = Ref::checked(PyModule_GetNameObject(module));
            function = Ref::checked(
                PyCMethod_New(&annotate_scanlines_def, module, module_name.get(), nullptr));
        }
        Ref name = Ref::checked(PyObject_GetAttrString(function.get(), "__name__"));
        if (!PyUnicode_Check(name.get())) {
            PyErr_SetString(PyExc_TypeError, "function __name__ must be a str");
            throw PythonErrorSet{};
        }
        Ref all = module_all(module);
        if (PyList_Append(all.get(), name.get()) < 0) {
            PyErr_Clear();
            fail("could not append __name__ to __all__");
        }
        if (PyObject_SetAttr(module, name.get(), function.get()) < 0) {
            throw PythonErrorSet{};
        }
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "rasterloom",
    MODULE_DOC,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace rasterloom::module

PyMODINIT_FUNC PyInit_rasterloom(void) {
    return PyModuleDef_Init(&rasterloom::module::module_def);
}
