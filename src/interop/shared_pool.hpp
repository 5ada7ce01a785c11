// One set of workers per process, shared by the extension modules.
//
// The workers belong to the extension module _rasterloom_pool (src/pool_module/),
// which links the worker pool and hands the C entry points of its
// process-wide pool (parallel/process_pool.hpp) out as the capsule
// `_rasterloom_pool.entries`. rasterloom and rasterloom_layers._native link
// no pool of their own: before their first map they import that capsule, and
// all their maps run on its workers. Only plain C types cross between the
// binaries, each of which may carry its own copy of the C++ runtime.
//
// Python's import system finds and loads _rasterloom_pool by its full path
// on every system, so no binary depends on the dynamic loader's search rules
// for a library of its own (an RPATH on Linux, @loader_path on macOS, the DLL
// search of Windows, which does not look in site-packages).
#pragma once

namespace rasterloom::interop {

// The module that owns the workers, and the name of its capsule.
inline constexpr const char* POOL_MODULE_NAME = "_rasterloom_pool";
inline constexpr const char* POOL_CAPSULE_NAME = "_rasterloom_pool.entries";

// Makes the process-wide pool of _rasterloom_pool the one that this binary's
// maps run on; imports the module on the first call. Needs the interpreter
// lock. Throws InternalFailure naming the cause when the module or its
// capsule cannot be had or is of another layout.
void acquire_shared_pool();

}  // namespace rasterloom::interop
