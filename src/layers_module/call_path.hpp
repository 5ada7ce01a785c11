// The call entries of rasterloom_layers._native (fast calls, positional
// arguments only, no self).
#pragma once

#include "interop/python.hpp"

namespace rasterloom::layers_module {

PyObject* annotate_layer_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* annotate_at_angle_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* estimate_angle_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace rasterloom::layers_module
