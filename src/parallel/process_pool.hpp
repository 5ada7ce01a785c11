// The process-wide worker pool as the core sees it: its thread count and the
// ordered map over its workers.
//
// A process has one set of workers, however many binaries of this project
// it loads. The pool is reached through PoolEntries, a table of plain C
// entry points: only integers, pointers and functions that throw nothing
// cross it, so that the table can come from another binary with a C++
// runtime of its own (each extension module links its own copy). Every
// binary that runs maps defines `process_pool_entries` once:
//  - the binary that owns the workers returns its own pool's table
//    (worker_pool.cpp: the C++ tests, the benchmarks, the fuzz targets and
//    the extension module _rasterloom_pool);
//  - an extension module that uses them returns the table it was handed
//    (interop/shared_pool.cpp: rasterloom and rasterloom_layers._native).
// Which of the two a binary has is decided when it is linked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "parallel/ordered_map.hpp"
#include "support/failure.hpp"

namespace rasterloom::parallel {

// The layout of PoolEntries; a table of another layout is refused.
inline constexpr std::uint32_t POOL_ENTRIES_VERSION = 1;
// The message that every failure to create a pool starts with.
inline constexpr std::string_view POOL_NOT_INITIALIZED = "The global thread pool has not been initialized.";

// The size of the buffer that receives the reason of a failure.
inline constexpr std::size_t POOL_MESSAGE_SIZE = 256;

struct PoolEntries {
    std::uint32_t version;  // POOL_ENTRIES_VERSION
    // The thread count of the process-wide pool (on a worker thread: of that
    // worker's pool), creating the pool on first use. 0 when the pool could
    // not be created; the reason is then in `message` (POOL_MESSAGE_SIZE
    // bytes, NUL-terminated).
    std::uint64_t (*thread_count)(char* message) noexcept;
    // Runs `task(context, i)` for every i in [0, task_count) on that pool
    // (WorkerPool::run) and returns when all have ended. false, with no task
    // run, when the pool could not be created (the reason as above).
    bool (*run)(std::size_t task_count, TaskFunction task, void* context, char* message) noexcept;
};

// The table of the pool that this binary's maps run on (see above). Throws
// InternalFailure when the binary has no pool to use.
const PoolEntries& process_pool_entries();

// The thread count of the process-wide pool, at least 1. Throws
// InternalFailure, with a message that starts with POOL_NOT_INITIALIZED, if
// the pool could not be created now or before.
inline std::uint64_t pool_thread_count() {
    char message[POOL_MESSAGE_SIZE];
    message[0] = '\0';
    const std::uint64_t count = process_pool_entries().thread_count(message);
    if (count == 0) {
        fail(message);
    }
    return count;
}

// The ordered map on the process-wide pool. An empty vector returns an empty
// result without creating the pool.
template <class F>
auto ordered_parallel_map(std::vector<IndexRange> ranges, F&& per_range)
    -> std::vector<std::invoke_result_t<F&, IndexRange>> {
    if (ranges.empty()) {
        return {};
    }
    const PoolEntries& pool = process_pool_entries();
    const auto run = [&pool](std::size_t task_count, TaskFunction task, void* context) {
        char message[POOL_MESSAGE_SIZE];
        message[0] = '\0';
        if (!pool.run(task_count, task, context, message)) {
            fail(message);
        }
    };
    return map_ranges(run, ranges, per_range);
}

}  // namespace rasterloom::parallel
