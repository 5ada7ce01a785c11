// Tests of the worker pool: thread-count rules, the ordered parallel map on
// pools of several sizes, failure propagation, one-time creation and its
// final failed state, and a fresh pool in a forked child.
#include "parallel/worker_pool.hpp"

#include <gtest/gtest.h>

#include "support.hpp"
#include "support/platform.hpp"

#if !defined(_WIN32)
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>

#if defined(__GNUC__) && !defined(_WIN32)
// Under ThreadSanitizer a child of a multi-threaded process may only start
// threads if the sanitizer is told to allow it.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_options() {
    return "die_after_fork=0";
}
#endif

namespace {

using namespace rasterloom;
using namespace rasterloom::parallel;

// ---------------------------------------------------------------------------
// Helpers

// Ranges of uneven lengths covering [0, total).
std::vector<IndexRange> uneven_ranges(std::size_t count) {
    std::vector<IndexRange> ranges;
    std::uint64_t start = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint64_t length = 1 + (k * 7919) % 13;
        ranges.push_back({start, start + length});
        start += length;
    }
    return ranges;
}

// Position of `range` in `ranges` (whose starts increase).
std::size_t index_of(const std::vector<IndexRange>& ranges, IndexRange range) {
    const auto found = std::lower_bound(ranges.begin(), ranges.end(), range.start,
                                        [](const IndexRange& r, std::uint64_t start) { return r.start < start; });
    return static_cast<std::size_t>(found - ranges.begin());
}

// A per-range result that depends on every index of the range.
std::vector<std::uint64_t> squares_of(IndexRange range) {
    std::vector<std::uint64_t> out;
    for (std::uint64_t i = range.start; i < range.end; ++i) {
        out.push_back(i * i + range.start);
    }
    return out;
}

std::vector<std::vector<std::uint64_t>> serial_squares(const std::vector<IndexRange>& ranges) {
    std::vector<std::vector<std::uint64_t>> out;
    for (const IndexRange& range : ranges) {
        out.push_back(squares_of(range));
    }
    return out;
}

// Counts arrivals; lets one thread wait until a number of others arrived.
// The generous limit only turns a broken pool's hang into a failure.
class Rendezvous {
public:
    void arrive() {
        {
            std::lock_guard lock(mutex_);
            ++arrived_;
        }
        changed_.notify_all();
    }
    bool wait_for(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(60), [&] { return arrived_ >= count; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int arrived_ = 0;
};

// ---------------------------------------------------------------------------
// Parsing a count

TEST(ParseThreadCount, AcceptsDigitsWithOneOptionalPlus) {
    EXPECT_EQ(parse_thread_count("4"), 4u);
    EXPECT_EQ(parse_thread_count("+4"), 4u);
    EXPECT_EQ(parse_thread_count("007"), 7u);
    EXPECT_EQ(parse_thread_count("0"), 0u);
    EXPECT_EQ(parse_thread_count("+0"), 0u);
    EXPECT_EQ(parse_thread_count("18446744073709551615"), std::numeric_limits<std::uint64_t>::max());
}

TEST(ParseThreadCount, RejectsAnythingElse) {
    for (const char* text : {" 4", "4 ", "4.0", "-4", "", "+", "++4", "+-4", "4+", "0x10", "four", "4\n",
                             "\xff" "4", "\xd9\xa4" /* ARABIC-INDIC DIGIT FOUR */}) {
        EXPECT_EQ(parse_thread_count(text), std::nullopt) << '"' << text << '"';
    }
    // Embedded NUL: the text is taken whole, not up to the NUL.
    EXPECT_EQ(parse_thread_count(std::string_view("4\0" "1", 3)), std::nullopt);
}

TEST(ParseThreadCount, RejectsValuesAbove64Bits) {
    EXPECT_EQ(parse_thread_count("18446744073709551616"), std::nullopt);
    EXPECT_EQ(parse_thread_count("18446744073709551620"), std::nullopt);
    EXPECT_EQ(parse_thread_count("99999999999999999999"), std::nullopt);
    EXPECT_EQ(parse_thread_count("000018446744073709551615"), std::numeric_limits<std::uint64_t>::max());
}

// ---------------------------------------------------------------------------
// Deciding the thread count

constexpr std::uint64_t processors = 6;

TEST(DecideThreadCount, FirstVariableDecidesWhenPositive) {
    EXPECT_EQ(decide_thread_count("4", "3", processors), 4u);
    EXPECT_EQ(decide_thread_count("+4", "3", processors), 4u);
    EXPECT_EQ(decide_thread_count("007", nullptr, processors), 7u);
    EXPECT_EQ(decide_thread_count("1", nullptr, processors), 1u);
}

TEST(DecideThreadCount, UnparsableFirstVariableIsIgnored) {
    for (const char* text : {" 4", "4 ", "4.0", "-4", "", "+", "letters", "18446744073709551616"}) {
        EXPECT_EQ(decide_thread_count(text, "3", processors), 3u) << '"' << text << '"';
        EXPECT_EQ(decide_thread_count(text, nullptr, processors), processors) << '"' << text << '"';
    }
}

TEST(DecideThreadCount, ZeroInFirstVariableSelectsDefaultAndSkipsSecond) {
    EXPECT_EQ(decide_thread_count("0", "3", processors), processors);
    EXPECT_EQ(decide_thread_count("+000", "3", processors), processors);
}

TEST(DecideThreadCount, SecondVariableDecidesOnlyWhenPositiveAndParsable) {
    EXPECT_EQ(decide_thread_count(nullptr, "3", processors), 3u);
    EXPECT_EQ(decide_thread_count(nullptr, "+3", processors), 3u);
    for (const char* text : {"0", "", "3.5", " 3", "x"}) {
        EXPECT_EQ(decide_thread_count(nullptr, text, processors), processors) << '"' << text << '"';
    }
    EXPECT_EQ(decide_thread_count(nullptr, nullptr, processors), processors);
}

TEST(DecideThreadCount, CappedAtMaximum) {
    EXPECT_EQ(MAX_POOL_THREADS, 65535u);
    EXPECT_EQ(decide_thread_count("100000", nullptr, processors), MAX_POOL_THREADS);
    EXPECT_EQ(decide_thread_count("65536", nullptr, processors), MAX_POOL_THREADS);
    EXPECT_EQ(decide_thread_count("65535", nullptr, processors), MAX_POOL_THREADS);
    EXPECT_EQ(decide_thread_count("65534", nullptr, processors), 65534u);
    EXPECT_EQ(decide_thread_count("18446744073709551615", "3", processors), MAX_POOL_THREADS);
    EXPECT_EQ(decide_thread_count(nullptr, "100000", processors), MAX_POOL_THREADS);
    EXPECT_EQ(decide_thread_count(nullptr, nullptr, 100000), MAX_POOL_THREADS);
}

TEST(DecideThreadCount, NoReportedProcessorsGivesOne) {
    EXPECT_EQ(decide_thread_count(nullptr, nullptr, 0), 1u);
    EXPECT_EQ(decide_thread_count("0", "0", 0), 1u);
    EXPECT_EQ(decide_thread_count("4", nullptr, 0), 4u);
}

TEST(LogicalProcessorCount, ReportsAtLeastOneProcessor) {
    EXPECT_GE(platform::logical_processor_count(), 1u);
}

// ---------------------------------------------------------------------------
// The map on pools of several sizes

class PoolMap : public ::testing::TestWithParam<std::uint64_t> {
protected:
    WorkerPool pool{GetParam()};
};

INSTANTIATE_TEST_SUITE_P(ThreadCounts, PoolMap, ::testing::Values(1, 2, 3, 5),
                         [](const auto& info) { return std::to_string(info.param) + "_threads"; });

TEST_P(PoolMap, EmptyVectorCallsNothing) {
    int calls = 0;
    const auto results = ordered_parallel_map(pool, {}, [&](IndexRange) { return ++calls; });
    EXPECT_TRUE(results.empty());
    EXPECT_EQ(calls, 0);
}

TEST_P(PoolMap, ResultsComeInRangeOrder) {
    for (const std::size_t count : {1u, 2u, 7u, 64u, 301u}) {
        const auto ranges = uneven_ranges(count);
        EXPECT_EQ(ordered_parallel_map(pool, ranges, squares_of), serial_squares(ranges)) << count << " ranges";
    }
}

TEST_P(PoolMap, EachRangeCalledOnceOnAWorkerOrTheCaller) {
    const auto ranges = uneven_ranges(200);
    std::vector<std::atomic<int>> calls(ranges.size());
    std::vector<std::thread::id> callers(ranges.size());
    std::vector<std::uint64_t> counts_seen(ranges.size());
    const auto results = ordered_parallel_map(pool, ranges, [&](IndexRange range) {
        const std::size_t k = index_of(ranges, range);
        calls[k].fetch_add(1);
        callers[k] = std::this_thread::get_id();
        counts_seen[k] = pool_thread_count();
        return range.end - range.start;
    });
    ASSERT_EQ(results.size(), ranges.size());
    std::set<std::thread::id> workers;
    for (std::size_t k = 0; k < ranges.size(); ++k) {
        EXPECT_EQ(calls[k].load(), 1) << "range " << k;
        EXPECT_EQ(results[k], ranges[k].end - ranges[k].start);
        EXPECT_EQ(counts_seen[k], pool.thread_count()) << "range " << k;
        workers.insert(callers[k]);
    }
    // The workers and the calling thread, which takes ranges too.
    EXPECT_LE(workers.size(), pool.thread_count() + 1);
}

TEST_P(PoolMap, MoveOnlyResultsAreMovedIntoPlace) {
    const auto ranges = uneven_ranges(50);
    const auto results = ordered_parallel_map(
        pool, ranges, [](IndexRange range) { return std::make_unique<std::uint64_t>(range.start); });
    ASSERT_EQ(results.size(), ranges.size());
    for (std::size_t k = 0; k < ranges.size(); ++k) {
        ASSERT_NE(results[k], nullptr);
        EXPECT_EQ(*results[k], ranges[k].start);
    }
}

TEST_P(PoolMap, OrderHoldsWhenTheFirstRangeEndsLast) {
    if (pool.thread_count() < 2) {
        GTEST_SKIP() << "needs a second worker to run the other ranges";
    }
    const auto ranges = uneven_ranges(40);
    Rendezvous others_done;
    const int others = static_cast<int>(ranges.size()) - 1;
    bool waited = false;
    const auto results = ordered_parallel_map(pool, ranges, [&](IndexRange range) {
        if (range.start == 0) {
            waited = others_done.wait_for(others);
        } else {
            others_done.arrive();
        }
        return squares_of(range);
    });
    EXPECT_TRUE(waited);
    EXPECT_EQ(results, serial_squares(ranges));
}

// The caller waits for the last range either by watching its batch (short
// waits) or asleep (long ones); both must hand back every result, and the
// next map must find the workers again, whether they are still watching
// for work or have gone to sleep.
TEST_P(PoolMap, CallerWaitingBrieflyOrAsleepGetsEveryResult) {
    if (pool.thread_count() < 2) {
        GTEST_SKIP() << "needs a worker to end last";
    }
    const auto ranges = uneven_ranges(2);
    for (const auto delay : {std::chrono::microseconds(0), std::chrono::microseconds(50),
                             std::chrono::microseconds(3000)}) {
        for (int round = 0; round < 20; ++round) {
            const std::thread::id caller = std::this_thread::get_id();
            const auto results = ordered_parallel_map(pool, ranges, [&](IndexRange range) {
                if (std::this_thread::get_id() != caller) {
                    std::this_thread::sleep_for(delay);
                }
                return squares_of(range);
            });
            ASSERT_EQ(results, serial_squares(ranges)) << delay.count() << " us, round " << round;
            if (round % 5 == 4) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));  // workers fall asleep
            }
        }
    }
}

TEST_P(PoolMap, RunsRangesOnAllWorkersAtOnce) {
    const auto threads = static_cast<int>(pool.thread_count());
    std::vector<IndexRange> ranges;
    for (int k = 0; k < threads; ++k) {
        ranges.push_back({static_cast<std::uint64_t>(k), static_cast<std::uint64_t>(k) + 1});
    }
    // Every call waits until all calls have started: only possible if they
    // run at the same time, one per worker.
    Rendezvous started;
    const auto all_met = ordered_parallel_map(pool, ranges, [&](IndexRange) {
        started.arrive();
        return started.wait_for(threads);
    });
    for (const bool met : all_met) {
        EXPECT_TRUE(met);
    }
}

TEST_P(PoolMap, CallerTakesPartWithAllWorkers) {
    // One range more than there are workers, every call waiting until all
    // have started: only possible if the calling thread runs one of them.
    const auto calls = static_cast<int>(pool.thread_count()) + 1;
    std::vector<IndexRange> ranges;
    for (int k = 0; k < calls; ++k) {
        ranges.push_back({static_cast<std::uint64_t>(k), static_cast<std::uint64_t>(k) + 1});
    }
    Rendezvous started;
    std::atomic<int> on_caller{0};
    const auto caller = std::this_thread::get_id();
    const auto all_met = ordered_parallel_map(pool, ranges, [&](IndexRange) {
        if (std::this_thread::get_id() == caller) {
            on_caller.fetch_add(1);
        }
        started.arrive();
        return started.wait_for(calls);
    });
    for (const bool met : all_met) {
        EXPECT_TRUE(met);
    }
    EXPECT_EQ(on_caller.load(), 1);
}

TEST_P(PoolMap, MapsFromSeveralThreadsAtOnce) {
    // Whichever caller claims the workers shares its ranges with them; the
    // others run theirs on their own threads meanwhile.
    std::vector<std::thread> callers;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            for (int round = 0; round < 40; ++round) {
                const auto ranges = uneven_ranges(static_cast<std::size_t>(1 + (t + round) % 9));
                if (ordered_parallel_map(pool, ranges, squares_of) != serial_squares(ranges)) {
                    wrong.fetch_add(1);
                }
            }
        });
    }
    for (std::thread& thread : callers) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

TEST_P(PoolMap, MapFindingTheWorkersBusyRunsOnItsOwnThreadAndFreesThemAfter) {
    // Another thread's map of two ranges holds the workers (its caller and
    // one worker run them, the other workers are idle) until this thread's
    // map has ended: that map runs on this thread alone, without waiting.
    Rendezvous holding;
    Rendezvous released;
    std::vector<bool> held_results;
    std::thread holder([&] {
        held_results = ordered_parallel_map(pool, uneven_ranges(2), [&](IndexRange) {
            holding.arrive();
            return released.wait_for(1);
        });
    });
    ASSERT_TRUE(holding.wait_for(2));
    const auto ranges = uneven_ranges(30);
    const auto caller = std::this_thread::get_id();
    std::atomic<int> elsewhere{0};
    std::atomic<int> wrong_count{0};
    const auto results = ordered_parallel_map(pool, ranges, [&](IndexRange range) {
        // Long enough for idle workers to wake and take ranges, were they
        // handed any.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        elsewhere.fetch_add(std::this_thread::get_id() != caller);
        wrong_count.fetch_add(pool_thread_count() != pool.thread_count());
        return squares_of(range);
    });
    released.arrive();
    holder.join();
    EXPECT_EQ(results, serial_squares(ranges));
    EXPECT_EQ(elsewhere.load(), 0);
    EXPECT_EQ(wrong_count.load(), 0);
    EXPECT_EQ(held_results, std::vector<bool>(2, true));

    // The holder has let go: every worker takes part in the next map.
    const auto calls = static_cast<int>(pool.thread_count()) + 1;
    Rendezvous started;
    const auto all_met = ordered_parallel_map(pool, uneven_ranges(static_cast<std::size_t>(calls)),
                                              [&](IndexRange) {
                                                  started.arrive();
                                                  return started.wait_for(calls);
                                              });
    EXPECT_EQ(std::count(all_met.begin(), all_met.end(), true), calls);
}

TEST_P(PoolMap, MapInsideARangeRunsOnThatWorker) {
    const auto outer = uneven_ranges(pool.thread_count() + 1);
    const auto inner = uneven_ranges(9);
    const auto results = ordered_parallel_map(pool, outer, [&](IndexRange) {
        const auto worker = std::this_thread::get_id();
        bool same_thread = true;
        auto values = ordered_parallel_map(inner, [&](IndexRange range) {
            same_thread = same_thread && std::this_thread::get_id() == worker;
            return squares_of(range);
        });
        return same_thread && values == serial_squares(inner);
    });
    for (const bool ok : results) {
        EXPECT_TRUE(ok);
    }
}

// ---------------------------------------------------------------------------
// Failures inside a range

TEST_P(PoolMap, LeftmostFailureIsRaisedUnchanged) {
    const auto ranges = uneven_ranges(30);
    const std::set<std::uint64_t> failing = {ranges[4].start, ranges[11].start, ranges[25].start};
    const std::uint64_t leftmost = ranges[4].start;
    std::atomic<int> started{0};
    std::atomic<int> ended{0};
    std::atomic<int> failure_line{0};
    // With two or more workers, the leftmost failure is raised last in time.
    Rendezvous later_failures;
    auto per_range = [&](IndexRange range) {
        started.fetch_add(1);
        struct End {
            std::atomic<int>& ended;
            ~End() { ended.fetch_add(1); }
        } end{ended};
        if (failing.count(range.start) != 0) {
            if (range.start == leftmost) {
                if (pool.thread_count() >= 2) {
                    later_failures.wait_for(2);
                }
                const auto here = SourcePlace::current();
                failure_line = static_cast<int>(here.line);
                fail("range starting at " + std::to_string(range.start) + " failed", here);
            }
            later_failures.arrive();
            fail("range starting at " + std::to_string(range.start) + " failed");
        }
        return squares_of(range);
    };
    try {
        ordered_parallel_map(pool, ranges, per_range);
        ADD_FAILURE() << "the map returned although ranges failed";
    } catch (const InternalFailure& failure) {
        EXPECT_EQ(failure.message(), "range starting at " + std::to_string(leftmost) + " failed");
        EXPECT_STREQ(failure.what(), failure.message().c_str());
        EXPECT_EQ(static_cast<int>(failure.where().line), failure_line.load());
    }
    // Every call that started had ended before the failure reached us.
    EXPECT_EQ(started.load(), ended.load());
    EXPECT_LE(started.load(), static_cast<int>(ranges.size()));
}

TEST_P(PoolMap, AnyFailureKindPassesThrough) {
    const auto ranges = uneven_ranges(12);
    const std::uint64_t target = ranges[7].start;
    try {
        ordered_parallel_map(pool, ranges, [&](IndexRange range) {
            if (range.start == target) {
                throw AllocationFailure(123456789);
            }
            return range.start;
        });
        ADD_FAILURE() << "no failure raised";
    } catch (const AllocationFailure& failure) {
        EXPECT_EQ(failure.bytes(), 123456789u);
    }
    EXPECT_THROW(ordered_parallel_map(pool, ranges,
                                      [&](IndexRange range) -> int {
                                          if (range.start == target) {
                                              throw std::out_of_range("outside the slice");
                                          }
                                          return 0;
                                      }),
                 std::out_of_range);
}

TEST_P(PoolMap, PoolKeepsItsWorkersAfterAFailure) {
    const auto ranges = uneven_ranges(60);
    std::mutex mutex;
    std::set<std::thread::id> workers;
    const auto caller = std::this_thread::get_id();
    auto note_worker = [&] {
        std::lock_guard lock(mutex);
        if (std::this_thread::get_id() != caller) {  // the caller takes part too
            workers.insert(std::this_thread::get_id());
        }
    };
    for (int round = 0; round < 3; ++round) {
        EXPECT_THROW(ordered_parallel_map(pool, ranges,
                                          [&](IndexRange range) {
                                              note_worker();
                                              if (range.start % 2 == 1) {
                                                  fail("odd start");
                                              }
                                              return squares_of(range);
                                          }),
                     InternalFailure);
        EXPECT_EQ(ordered_parallel_map(pool, ranges,
                                       [&](IndexRange range) {
                                           note_worker();
                                           return squares_of(range);
                                       }),
                  serial_squares(ranges));
    }
    EXPECT_LE(workers.size(), pool.thread_count());
}

// ---------------------------------------------------------------------------
// Creating a pool once

struct StarterLog {
    static inline std::atomic<int> started{0};
    static inline std::atomic<int> exited{0};
    static inline std::atomic<int> count_reads{0};
    static void reset() {
        started = 0;
        exited = 0;
        count_reads = 0;
    }
};

std::thread start_logged(std::uint64_t, void (*body)(void*), void* argument) {
    std::thread thread([body, argument] {
        body(argument);
        StarterLog::exited.fetch_add(1);
    });
    StarterLog::started.fetch_add(1);
    return thread;
}

// The third worker cannot be started.
std::thread start_two_then_fail(std::uint64_t index, void (*body)(void*), void* argument) {
    if (index == 2) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "cannot start worker 2");
    }
    return start_logged(index, body, argument);
}

std::uint64_t four_threads() {
    StarterLog::count_reads.fetch_add(1);
    return 4;
}

TEST(PoolCreation, FailureStopsStartedWorkersAndIsFinal) {
    StarterLog::reset();
    PoolSlot slot(&four_threads, &start_two_then_fail);
    std::string first_message;
    try {
        slot.get();
        ADD_FAILURE() << "creation succeeded";
    } catch (const InternalFailure& failure) {
        first_message = failure.message();
    }
    const std::string prefix = std::string(POOL_NOT_INITIALIZED) + ": ";
    EXPECT_EQ(first_message.rfind(prefix, 0), 0u) << first_message;
    EXPECT_NE(first_message.find("cannot start worker 2"), std::string::npos) << first_message;
    EXPECT_EQ(StarterLog::started.load(), 2);
    EXPECT_EQ(StarterLog::exited.load(), 2) << "started workers were not stopped";

    for (int attempt = 0; attempt < 3; ++attempt) {
        try {
            slot.get();
            ADD_FAILURE() << "creation succeeded on a later attempt";
        } catch (const InternalFailure& failure) {
            EXPECT_EQ(failure.message().rfind(std::string(POOL_NOT_INITIALIZED), 0), 0u) << failure.message();
        }
    }
    EXPECT_EQ(StarterLog::count_reads.load(), 1) << "creation was attempted again";
    EXPECT_EQ(StarterLog::started.load(), 2);
}

TEST(PoolCreation, ConcurrentFirstUsersShareOnePool) {
    StarterLog::reset();
    {
        PoolSlot slot(&four_threads, &start_logged);
        constexpr int users = 6;
        std::vector<WorkerPool*> seen(users, nullptr);
        std::vector<std::thread> threads;
        for (int u = 0; u < users; ++u) {
            threads.emplace_back([&, u] { seen[u] = &slot.get(); });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        for (WorkerPool* pool : seen) {
            EXPECT_EQ(pool, &slot.get());
        }
        EXPECT_EQ(slot.get().thread_count(), 4u);
        EXPECT_EQ(StarterLog::count_reads.load(), 1);
        EXPECT_EQ(StarterLog::started.load(), 4);

        const auto ranges = uneven_ranges(20);
        EXPECT_EQ(ordered_parallel_map(slot.get(), ranges, squares_of), serial_squares(ranges));
    }
    EXPECT_EQ(StarterLog::exited.load(), 4);
}

TEST(PoolCreation, ExceptionsFromAFailedStartAreNotLeftRunning) {
    // A pool built directly reports the starter's own exception.
    StarterLog::reset();
    EXPECT_THROW(WorkerPool(4, &start_two_then_fail), std::system_error);
    EXPECT_EQ(StarterLog::exited.load(), StarterLog::started.load());
}

// ---------------------------------------------------------------------------
// The process-wide pool

TEST(ProcessPool, SizedFromEnvironmentOnceAndFixed) {
    const std::uint64_t count = pool_thread_count();
    EXPECT_EQ(count, decide_thread_count(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                                         platform::logical_processor_count()));
    EXPECT_EQ(&process_pool(), &process_pool());

    const char* saved = std::getenv("RAYON_NUM_THREADS");
    const std::string restore = saved ? saved : "";
    ASSERT_TRUE(set_environment_variable("RAYON_NUM_THREADS", std::to_string(count + 3).c_str()));
    EXPECT_EQ(pool_thread_count(), count);
    if (saved) {
        set_environment_variable("RAYON_NUM_THREADS", restore.c_str());
    } else {
        unset_environment_variable("RAYON_NUM_THREADS");
    }
}

TEST(ProcessPool, MapRunsOnItsWorkersAndTheCallerAndPropagatesFailures) {
    EXPECT_TRUE(ordered_parallel_map({}, [](IndexRange) -> int { throw std::logic_error("called"); }).empty());

    const auto ranges = uneven_ranges(33);
    const auto caller = std::this_thread::get_id();
    std::atomic<int> on_caller{0};
    const auto results = ordered_parallel_map(ranges, [&](IndexRange range) {
        if (std::this_thread::get_id() == caller) {
            on_caller.fetch_add(1);
        }
        return squares_of(range);
    });
    EXPECT_EQ(results, serial_squares(ranges));
    // The caller takes the first range before any worker can.
    EXPECT_GE(on_caller.load(), 1);

    try {
        ordered_parallel_map(ranges, [&](IndexRange range) {
            if (range.start >= ranges[5].start) {
                fail("from range " + std::to_string(range.start));
            }
            return 0;
        });
        ADD_FAILURE() << "no failure raised";
    } catch (const InternalFailure& failure) {
        EXPECT_EQ(failure.message(), "from range " + std::to_string(ranges[5].start));
    }
    EXPECT_EQ(ordered_parallel_map(ranges, squares_of), serial_squares(ranges));
}

#if !defined(_WIN32)
// True when a map of one range per worker and one for the caller has all its
// calls running at once: every worker of the process pool is up.
bool all_workers_meet_the_caller(std::uint64_t workers) {
    const int calls = static_cast<int>(workers) + 1;
    Rendezvous started;
    const auto met = ordered_parallel_map(uneven_ranges(static_cast<std::size_t>(calls)),
                                          [&](IndexRange) {
                                              started.arrive();
                                              return started.wait_for(calls);
                                          });
    return std::count(met.begin(), met.end(), true) == calls;
}
#endif

TEST(ProcessPool, ForkedChildGetsAWorkingPool) {
#if defined(_WIN32)
    static_assert(!platform::HAS_FORK);
    EXPECT_TRUE(platform::register_fork_handlers(nullptr, nullptr, nullptr));
    GTEST_SKIP() << "this system has no fork()";
#else
    const auto ranges = uneven_ranges(25);
    const auto expected = serial_squares(ranges);
    const std::uint64_t count = pool_thread_count();
    ASSERT_EQ(ordered_parallel_map(ranges, squares_of), expected);
    // The parent's workers exist and have finished starting (the caller may
    // have run the map above alone while they were still starting).
    ASSERT_TRUE(all_workers_meet_the_caller(count));

    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_NE(child, -1) << "fork failed";
    if (child == 0) {
        alarm(60);  // a hang ends the child with SIGALRM
        int status = 0;
        try {
            if (pool_thread_count() != count) {
                status |= 1;
            }
            if (ordered_parallel_map(ranges, squares_of) != expected) {
                status |= 2;
            }
            // Every worker and the caller at once: the child's workers run.
            if (!all_workers_meet_the_caller(count)) {
                status |= 4;
            }
        } catch (...) {
            status |= 8;
        }
        _exit(status);
    }
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(child, &status, 0);
    } while (waited == -1 && errno == EINTR);
    ASSERT_EQ(waited, child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: wrong count, 2: wrong results, 4: workers missing, 8: threw";

    EXPECT_EQ(ordered_parallel_map(ranges, squares_of), expected) << "parent pool broken by fork";
#endif
}

}  // namespace
