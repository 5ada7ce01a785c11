// Allocation for every list the core and the worker pool build.
//
// All lists use CoreAllocator, which reports a refused allocation as an
// AllocationFailure naming the number of bytes requested. The boundary turns
// that into a Python MemoryError, so running out of memory ends the call, not
// the interpreter. Requests are also checked against allocation_budget, a
// process-wide cap that tests lower to exercise the failure paths.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>
#include <vector>

#include "support/failure.hpp"
#include "support/platform.hpp"

namespace rasterloom {

// Largest single allocation that is attempted; a larger request fails as if
// the system had refused it. Left at its maximum outside of tests.
inline std::atomic<std::size_t> allocation_budget{std::numeric_limits<std::size_t>::max()};

// Lists of this size or more are allocated as large blocks (platform.hpp).
inline constexpr std::size_t HUGE_PAGE_MIN_BYTES = std::size_t{4} << 20;

template <class T>
struct CoreAllocator {
    using value_type = T;

    CoreAllocator() noexcept = default;
    template <class U>
    CoreAllocator(const CoreAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        constexpr std::size_t max_count = std::numeric_limits<std::size_t>::max() / sizeof(T);
        if (count > max_count) {
            throw AllocationFailure(std::numeric_limits<std::size_t>::max());
        }
        const std::size_t bytes = count * sizeof(T);
        if (bytes > allocation_budget.load(std::memory_order_relaxed)) {
            throw AllocationFailure(bytes);
        }
        if (bytes >= HUGE_PAGE_MIN_BYTES) {
            // Large lists (the label vector, the run lists of big inputs) are
            // aligned to huge pages and, where the system supports it, marked
            // for them: first touch then costs one fault per 2 MiB instead of
            // one per 4 KiB.
            void* memory = platform::allocate_large_block(bytes);
            if (memory == nullptr) {
                throw AllocationFailure(bytes);
            }
            return static_cast<T*>(memory);
        }
        void* memory = std::malloc(bytes == 0 ? 1 : bytes);
        if (memory == nullptr) {
            throw AllocationFailure(bytes);
        }
        return static_cast<T*>(memory);
    }

    // `count` is the one given to allocate, so the size decides again which
    // of the two ways the block came from.
    void deallocate(T* pointer, std::size_t count) noexcept {
        if (count * sizeof(T) >= HUGE_PAGE_MIN_BYTES) {
            platform::release_large_block(pointer);
        } else {
            std::free(pointer);
        }
    }

    template <class U>
    bool operator==(const CoreAllocator<U>&) const noexcept { return true; }
};

// The growable list of plain records used throughout the core.
template <class T>
using List = std::vector<T, CoreAllocator<T>>;

}  // namespace rasterloom
