// The extension module _rasterloom_pool: the one binary of the process that
// links the worker pool and so starts its workers. Its only attribute is the
// capsule `entries`, the C entry points of the process-wide pool
// (parallel/process_pool.hpp), which the other extension modules import
// before their first map (interop/shared_pool.hpp). Importing it starts no
// thread: the pool is created by the first map that needs it.

#include "interop/boundary.hpp"
#include "interop/python.hpp"
#include "interop/shared_pool.hpp"
#include "parallel/process_pool.hpp"

namespace rasterloom::pool_module {
namespace {

using interop::guarded;
using interop::PythonErrorSet;
using interop::Ref;

constexpr const char* MODULE_DOC =
    "The worker pool shared by rasterloom and rasterloom_layers (private).";

int exec_module(PyObject* module) {
    return guarded(-1, [module]() -> int {
        // The capsule holds the table as a plain pointer; nobody writes
        // through it.
        auto* entries = const_cast<parallel::PoolEntries*>(&parallel::process_pool_entries());
        Ref capsule = Ref::checked(PyCapsule_New(entries, interop::POOL_CAPSULE_NAME, nullptr));
        if (PyModule_AddObjectRef(module, "entries", capsule.get()) < 0) {
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
    PyModuleDef_HEAD_INIT, "_rasterloom_pool", MODULE_DOC, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace rasterloom::pool_module

PyMODINIT_FUNC PyInit__rasterloom_pool(void) {
    return PyModuleDef_Init(&rasterloom::pool_module::module_def);
}
