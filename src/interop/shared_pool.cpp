// The process-wide pool of a binary that uses the workers of _rasterloom_pool
// (see shared_pool.hpp): its process_pool_entries() returns the table
// imported from that module.
#include "interop/shared_pool.hpp"

#include <atomic>
#include <string>

#include "interop/boundary.hpp"
#include "interop/python.hpp"
#include "parallel/process_pool.hpp"
#include "support/failure.hpp"

namespace rasterloom::interop {
namespace {

// Set once, under the interpreter lock; read by maps on any thread. The
// table lives in the pool module's static memory, and an extension module
// stays loaded until the process ends.
std::atomic<const parallel::PoolEntries*> shared_entries{nullptr};

}  // namespace

void acquire_shared_pool() {
    if (shared_entries.load(std::memory_order_acquire) != nullptr) {
        return;
    }
    void* found = PyCapsule_Import(POOL_CAPSULE_NAME, 0);
    if (found == nullptr) {
        fail(std::string("the worker pool of ") + POOL_MODULE_NAME +
             " could not be loaded: " + describe_pending_error());
    }
    const auto* entries = static_cast<const parallel::PoolEntries*>(found);
    if (entries->version != parallel::POOL_ENTRIES_VERSION) {
        fail(std::string("the worker pool of ") + POOL_MODULE_NAME + " has entry points of version " +
             std::to_string(entries->version) + ", not " +
             std::to_string(parallel::POOL_ENTRIES_VERSION) + ": it comes from another build");
    }
    shared_entries.store(entries, std::memory_order_release);
}

}  // namespace rasterloom::interop

namespace rasterloom::parallel {

const PoolEntries& process_pool_entries() {
    const PoolEntries* entries = interop::shared_entries.load(std::memory_order_acquire);
    ensure(entries != nullptr, "a map ran before the boundary acquired the worker pool");
    return *entries;
}

}  // namespace rasterloom::parallel
