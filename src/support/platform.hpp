// The few operating-system services that differ between Linux, macOS and
// Windows, behind one interface so that no other file needs a system header.
//
//  - the number of logical processors this process may run on;
//  - large blocks of memory, aligned for huge pages and advised to use them
//    where the system supports that (Linux), plainly aligned elsewhere;
//  - handlers run around fork(), on the systems that have it;
//  - the processor's hint for a thread that waits in a loop.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rasterloom::platform {

// The number of logical processors this process may run on: the processors
// of its affinity mask where the system has one (Linux, Windows), else the
// processors the system reports. 0 when the system reports nothing.
std::uint64_t logical_processor_count() noexcept;

// Alignment of every block from allocate_large_block: one huge page on
// x86-64 and most 64-bit ARM systems.
inline constexpr std::size_t LARGE_BLOCK_ALIGNMENT = std::size_t{2} << 20;

// A block of at least `bytes` bytes (more than 0), aligned to
// LARGE_BLOCK_ALIGNMENT; on Linux marked for transparent huge pages beyond
// its first 2 MiB, so that first touch there costs one fault per 2 MiB
// instead of one per 4 KiB, while a block that is barely used never has a
// whole huge page zeroed for it. nullptr
// when the system refuses. Release it with release_large_block only.
void* allocate_large_block(std::size_t bytes) noexcept;
void release_large_block(void* block) noexcept;

// Tells the processor that the calling thread is waiting in a loop (x86
// `pause`, ARM `yield`), so that it spends less power and leaves more of the
// core to the other hardware thread; does nothing elsewhere.
void cpu_relax() noexcept;

// Registers functions that run before fork() in the parent and after it in
// the parent and in the child. Where there is no fork() (Windows) there is
// nothing to guard and this does nothing. false if registration failed.
using ForkHandler = void (*)();
bool register_fork_handlers(ForkHandler prepare, ForkHandler parent, ForkHandler child) noexcept;

// Whether this system has fork() and so ever calls the handlers above.
#if defined(_WIN32)
inline constexpr bool HAS_FORK = false;
#else
inline constexpr bool HAS_FORK = true;
#endif

}  // namespace rasterloom::platform
