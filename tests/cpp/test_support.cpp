// Tests of the support code: the list allocator and the platform unit's
// large blocks, which every system implements differently.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>

#include "support/failure.hpp"
#include "support/memory.hpp"
#include "support/platform.hpp"

namespace rasterloom {
namespace {

bool aligned_to_large_block(const void* pointer) {
    return reinterpret_cast<std::uintptr_t>(pointer) % platform::LARGE_BLOCK_ALIGNMENT == 0;
}

TEST(LargeBlocks, AreAlignedAndWritableToTheEnd) {
    const std::size_t bytes = HUGE_PAGE_MIN_BYTES + 12345;
    void* block = platform::allocate_large_block(bytes);
    ASSERT_NE(block, nullptr);
    EXPECT_TRUE(aligned_to_large_block(block));
    auto* bytes_of = static_cast<unsigned char*>(block);
    std::memset(bytes_of, 0xA5, bytes);
    EXPECT_EQ(bytes_of[0], 0xA5);
    EXPECT_EQ(bytes_of[bytes - 1], 0xA5);
    platform::release_large_block(block);
}

#if defined(__linux__)
// The memory-map flags ("VmFlags") of the mapping that holds `address`,
// from /proc/self/smaps; empty when it is not found.
std::string mapping_flags(const void* address) {
    std::ifstream smaps("/proc/self/smaps");
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        std::uintptr_t from = 0, to = 0;
        if (std::sscanf(line.c_str(), "%" SCNxPTR "-%" SCNxPTR " ", &from, &to) == 2 &&
            line.find(':') > line.find(' ')) {
            inside = from <= at && at < to;
        } else if (inside && line.rfind("VmFlags:", 0) == 0) {
            return line;
        }
    }
    return {};
}

// A list that stays within its first huge page never makes the system zero
// a whole huge page; the rest of a large block is marked for huge pages.
TEST(LargeBlocks, OnlyThePartBeyondTheFirstHugePageIsMarkedForHugePages) {
    const std::size_t bytes = 4 * platform::LARGE_BLOCK_ALIGNMENT;
    auto* block = static_cast<unsigned char*>(platform::allocate_large_block(bytes));
    ASSERT_NE(block, nullptr);
    const std::string head = mapping_flags(block);
    const std::string tail = mapping_flags(block + platform::LARGE_BLOCK_ALIGNMENT);
    platform::release_large_block(block);
    if (std::ifstream("/sys/kernel/mm/transparent_hugepage/enabled").fail()) {
        GTEST_SKIP() << "this kernel has no transparent huge pages";
    }
    ASSERT_FALSE(head.empty());
    ASSERT_FALSE(tail.empty());
    EXPECT_EQ(head.find(" hg"), std::string::npos) << head;
    EXPECT_NE(tail.find(" hg"), std::string::npos) << tail;
}
#endif

TEST(CoreAllocator, LargeListsAreAlignedSmallOnesAreNot) {
    constexpr std::size_t large_count = HUGE_PAGE_MIN_BYTES / sizeof(std::int32_t);
    List<std::int32_t> list(large_count, 7);
    EXPECT_TRUE(aligned_to_large_block(list.data()));
    EXPECT_EQ(list.back(), 7);

    // Shrinking moves the elements into a small block and releases the large
    // one; growing again does the reverse. Each block goes back to the
    // allocation it came from, which the systems' allocators check.
    list.resize(10);
    list.shrink_to_fit();
    EXPECT_EQ(list.capacity(), 10u);
    EXPECT_EQ(list[9], 7);
    list.resize(large_count + 1, 8);
    EXPECT_TRUE(aligned_to_large_block(list.data()));
    EXPECT_EQ(list[9], 7);
    EXPECT_EQ(list.back(), 8);
}

TEST(CoreAllocator, OversizedRequestsFailWithTheirSize) {
    CoreAllocator<std::uint64_t> allocator;
    try {
        (void)allocator.allocate(std::numeric_limits<std::size_t>::max() / 4);
        ADD_FAILURE() << "an impossible size was allocated";
    } catch (const AllocationFailure& failure) {
        EXPECT_EQ(failure.bytes(), std::numeric_limits<std::size_t>::max());
    }
    const std::size_t saved = allocation_budget.load();
    allocation_budget = HUGE_PAGE_MIN_BYTES;
    try {
        (void)allocator.allocate(HUGE_PAGE_MIN_BYTES / 8 + 1);
        ADD_FAILURE() << "the budget was exceeded";
    } catch (const AllocationFailure& failure) {
        EXPECT_EQ(failure.bytes(), HUGE_PAGE_MIN_BYTES + 8);
    }
    allocation_budget = saved;
}

}  // namespace
}  // namespace rasterloom
