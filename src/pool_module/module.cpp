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

using interop::PythonErrorSet;
using interop::Ref;

constexpr const char* MODULE_DOC =
    "The worker pool shared by rasterloom and rasterloom_layers (private).";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_rasterloom_pool", MODULE_DOC, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Single-phase initialisation: the module's one attribute is process-wide
// anyway.
PyObject* create_module() {
    Ref module = Ref::checked(PyModule_Create(&module_def));
    // The capsule holds the table as a plain pointer; nobody writes through
    // it.
    auto* entries = const_cast<parallel::PoolEntries*>(&parallel::process_pool_entries());
    Ref capsule = Ref::checked(PyCapsule_New(entries, interop::POOL_CAPSULE_NAME, nullptr));
    if (PyModule_AddObjectRef(module.get(), "entries", capsule.get()) < 0) {
        throw PythonErrorSet{};
    }
    return module.release();
}

}  // namespace
}  // namespace rasterloom::pool_module

PyMODINIT_FUNC PyInit__rasterloom_pool(void) {
    return rasterloom::interop::guarded<PyObject*>(nullptr, &rasterloom::pool_module::create_module);
}
