// The importable module rasterloom_layers._native: the layer pipeline's
// three entries, called by the package once it has checked their arguments.
// Importing it does not touch NumPy and starts no thread.

#include "interop/python.hpp"
#include "layers_module/call_path.hpp"

namespace rasterloom::layers_module {
namespace {

constexpr const char* MODULE_DOC = "The compiled layer pipeline of rasterloom_layers (private).";

template <PyObject* (*Entry)(PyObject*, PyObject* const*, Py_ssize_t) noexcept>
constexpr PyCFunction fast_call() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry));
}

PyMethodDef methods[] = {
    {"annotate_layer", fast_call<&annotate_layer_entry>(), METH_FASTCALL,
     "annotate_layer($module, x, y, all_lines, /)\n--\n\n"
     "Scan line ids of a whole layer (see rasterloom_layers.annotate_layer)."},
    {"annotate_at_angle", fast_call<&annotate_at_angle_entry>(), METH_FASTCALL,
     "annotate_at_angle($module, x, y, angle_deg, all_lines, /)\n--\n\n"
     "Scan line ids of one meander at an angle, or at the estimated one for None\n"
     "(see rasterloom_layers.annotate_at_angle)."},
    {"estimate_angle", fast_call<&estimate_angle_entry>(), METH_FASTCALL,
     "estimate_angle($module, x, y, /)\n--\n\n"
     "The direction of the scan lines in degrees in [0, 180) (see rasterloom_layers.estimate_angle)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "rasterloom_layers._native", MODULE_DOC, 0, methods, module_slots, nullptr, nullptr,
    nullptr,
};

}  // namespace
}  // namespace rasterloom::layers_module

PyMODINIT_FUNC PyInit__native(void) {
    return PyModuleDef_Init(&rasterloom::layers_module::module_def);
}
