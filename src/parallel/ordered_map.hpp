// The ordered map over index ranges, written once over whatever runs its
// tasks: a WorkerPool of this binary (worker_pool.hpp) or the process-wide
// pool behind its C entry points (process_pool.hpp).
//
// A map runs one call per range, on the worker threads and the calling
// thread, and returns the per-range results in range order. The result is
// therefore the same for any thread count and any timing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "support/failure.hpp"
#include "support/memory.hpp"

namespace rasterloom::parallel {

// A half-open range [start, end) of item indices.
struct IndexRange {
    std::uint64_t start;
    std::uint64_t end;
};

// A tiny job: `task(context, i)` for every i in [0, task_count).
using TaskFunction = void (*)(void* context, std::size_t index) noexcept;

// Calls `per_range` once for every range through `run(task_count, task,
// context)`, which runs every task once and returns when all have ended, and
// returns the results in range order. If calls fail, every started call has
// ended by then, and the failure of the leftmost failing range is rethrown.
// A failure stays inside the task that caught it and is rethrown on the
// calling thread, so no exception passes through `run`.
template <class Run, class F>
auto map_ranges(Run&& run, const std::vector<IndexRange>& ranges, F& per_range)
    -> std::vector<std::invoke_result_t<F&, IndexRange>> {
    using Result = std::invoke_result_t<F&, IndexRange>;
    static_assert(!std::is_void_v<Result> && std::is_move_constructible_v<Result>,
                  "the per-range function must return a movable value");

    std::vector<Result> results;
    if (ranges.empty()) {
        return results;
    }

    // One slot per range, written only by the call for that range.
    struct Slot {
        std::optional<Result> value;
        std::exception_ptr failure;
    };
    struct Job {
        const std::vector<IndexRange>& ranges;
        F& per_range;
        List<Slot>& slots;
    };
    List<Slot> slots(ranges.size());
    Job job{ranges, per_range, slots};
    run(ranges.size(), [](void* context, std::size_t index) noexcept {
        Job& running = *static_cast<Job*>(context);
        Slot& slot = running.slots[index];
        try {
            slot.value.emplace(std::invoke(running.per_range, running.ranges[index]));
        } catch (...) {
            slot.failure = std::current_exception();
        }
    }, static_cast<void*>(&job));

    for (Slot& slot : slots) {
        if (slot.failure) {
            std::rethrow_exception(slot.failure);
        }
    }
    try {
        results.reserve(slots.size());
    } catch (const std::bad_alloc&) {
        throw AllocationFailure(slots.size() * sizeof(Result));
    }
    for (Slot& slot : slots) {
        results.push_back(std::move(*slot.value));
    }
    return results;
}

}  // namespace rasterloom::parallel
