// The call entry of annotate_scanlines (fast call with keywords, no self).
#pragma once

#include "interop/python.hpp"

namespace rasterloom::module {

PyObject* annotate_scanlines_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept;

}  // namespace rasterloom::module
