// The system-specific parts of platform.hpp. Linux and the other POSIX
// systems (macOS, the BSDs) share the allocation and fork code; Windows
// (MSVC and MinGW-w64) has its own. Whatever a system lacks falls back to
// what the C++ library offers.
#include "support/platform.hpp"

#include <thread>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <intrin.h>
#include <malloc.h>
#include <windows.h>
#else
#include <pthread.h>
#include <stdlib.h>
#if defined(__linux__)
#include <sched.h>
#include <sys/mman.h>
#endif
#endif

namespace rasterloom::platform {

namespace {

std::uint64_t reported_processor_count() noexcept {
    return std::thread::hardware_concurrency();
}

}  // namespace

// ---------------------------------------------------------------------------
// Processor count

#if defined(__linux__)

std::uint64_t logical_processor_count() noexcept {
    // The affinity mask honours taskset, cgroup cpusets and the like. A mask
    // larger than the fixed cpu_set_t (over 1024 processors) fails here and
    // falls back to the system's count.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        const int count = CPU_COUNT(&allowed);
        if (count > 0) {
            return static_cast<std::uint64_t>(count);
        }
    }
    return reported_processor_count();
}

#elif defined(_WIN32)

std::uint64_t logical_processor_count() noexcept {
    // The process affinity mask covers one processor group. A process that
    // spans several groups (the default on Windows 11 for machines with more
    // than 64 processors) gets zero masks; it may then run on every active
    // processor of every group.
    DWORD_PTR process_mask = 0;
    DWORD_PTR system_mask = 0;
    if (GetActiveProcessorGroupCount() == 1 &&
        GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) != 0 && process_mask != 0) {
        std::uint64_t count = 0;
        for (DWORD_PTR mask = process_mask; mask != 0; mask &= mask - 1) {
            ++count;
        }
        return count;
    }
    const DWORD active = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    return active != 0 ? active : reported_processor_count();
}

#else

// macOS and the BSDs: no process affinity to honour; the library asks the
// system (sysctl on macOS) for the processors that are online.
std::uint64_t logical_processor_count() noexcept { return reported_processor_count(); }

#endif

// ---------------------------------------------------------------------------
// Large blocks

#if defined(_WIN32)

void* allocate_large_block(std::size_t bytes) noexcept {
    return _aligned_malloc(bytes, LARGE_BLOCK_ALIGNMENT);
}

void release_large_block(void* block) noexcept { _aligned_free(block); }

#else

void* allocate_large_block(std::size_t bytes) noexcept {
    void* block = nullptr;
    if (posix_memalign(&block, LARGE_BLOCK_ALIGNMENT, bytes) != 0) {
        return nullptr;
    }
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Lists are often reserved for far more than they come to hold. The
    // first huge page keeps ordinary pages, so a list that stays small never
    // pays for zeroing a whole huge page; the rest is marked for huge pages.
    // Advisory; failure is harmless.
    if (bytes > LARGE_BLOCK_ALIGNMENT) {
        madvise(static_cast<char*>(block) + LARGE_BLOCK_ALIGNMENT, bytes - LARGE_BLOCK_ALIGNMENT,
                MADV_HUGEPAGE);
    }
#endif
    return block;
}

void release_large_block(void* block) noexcept { free(block); }

#endif

// ---------------------------------------------------------------------------
// Waiting in a loop

void cpu_relax() noexcept {
#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
    _mm_pause();
#elif defined(_MSC_VER) && defined(_M_ARM64)
    __yield();
#elif defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __builtin_ia32_pause();
#elif defined(__GNUC__) && defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

// ---------------------------------------------------------------------------
// Fork handlers

#if defined(_WIN32)

bool register_fork_handlers(ForkHandler, ForkHandler, ForkHandler) noexcept { return true; }

#else

bool register_fork_handlers(ForkHandler prepare, ForkHandler parent, ForkHandler child) noexcept {
    return pthread_atfork(prepare, parent, child) == 0;
}

#endif

}  // namespace rasterloom::platform
