// The worker pool, and the process-wide pool that the core's maps run on in
// the binary that owns the workers.
//
// The chunked phases of the core cut their index space into consecutive
// ranges and hand them to `ordered_parallel_map` (ordered_map.hpp), which
// runs one call per range on the worker threads and the calling thread.
//
// There is one pool per process (`process_pool`), created on first use, sized
// once from RAYON_NUM_THREADS / RAYON_RS_NUM_CPUS or the processor count, and
// never shut down; the other binaries of the process reach it through its C
// entry points (process_pool.hpp). `WorkerPool` and `PoolSlot` can also be
// instantiated on their own, which is how the tests use pools of chosen sizes
// and simulate a thread that cannot be started.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "parallel/ordered_map.hpp"
#include "parallel/process_pool.hpp"
#include "support/memory.hpp"

namespace rasterloom::parallel {

inline constexpr std::uint64_t MAX_POOL_THREADS = 0xFFFF;

// ---------------------------------------------------------------------------
// Thread count

// Parses a count: an optional single leading '+', then one or more ASCII
// digits and nothing else; the value must fit in 64 bits. Anything else
// (blanks, a sign other than one '+', a decimal point, an empty text, bytes
// that are not ASCII) gives no value.
std::optional<std::uint64_t> parse_thread_count(std::string_view text) noexcept;

// Decides the pool size from the raw values of RAYON_NUM_THREADS and
// RAYON_RS_NUM_CPUS (nullptr when unset) and the processor count:
//  - RAYON_NUM_THREADS >= 1 decides; 0 selects the default directly;
//  - otherwise (unset or unparsable) RAYON_RS_NUM_CPUS >= 1 decides;
//  - the default is the processor count, or 1 if that is 0;
//  - the result is capped at MAX_POOL_THREADS.
std::uint64_t decide_thread_count(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                  std::uint64_t logical_processors) noexcept;

// ---------------------------------------------------------------------------
// Pools

// A fixed set of worker threads that run tasks handed to `run`.
class WorkerPool {
public:
    // Starts one worker thread that runs `body(argument)`; throws (normally
    // std::system_error) when the thread cannot be started.
    using ThreadStarter = std::thread (*)(std::uint64_t worker_index, void (*body)(void*), void* argument);
    static std::thread start_std_thread(std::uint64_t worker_index, void (*body)(void*), void* argument);

    // Starts `thread_count` workers (1 to MAX_POOL_THREADS). If one of them
    // cannot be started, the ones already running are stopped and joined and
    // the starter's exception propagates.
    explicit WorkerPool(std::uint64_t thread_count, ThreadStarter start = &start_std_thread);
    // Stops and joins the workers. Only for pools with no `run` in progress;
    // the process-wide pool is never destroyed.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    std::uint64_t thread_count() const noexcept { return thread_count_; }

    // Runs every task on the workers and the calling thread, and returns when
    // all have ended. The workers serve one map at a time: a call that finds
    // them serving another thread's map runs its tasks itself, one after
    // another, instead of waiting for them, and so does a call on a worker
    // thread (of any pool), where waiting for other workers could deadlock
    // if they all did it. Either way the tasks, and so a map's results, are
    // the same. A failure of the pool's own locking aborts the process.
    void run(std::size_t task_count, TaskFunction task, void* context) noexcept;

private:
    struct Batch;
    static void worker_main(void* pool) noexcept;
    void work() noexcept;
    void stop_workers() noexcept;
    static void run_here(std::size_t task_count, TaskFunction task, void* context) noexcept;

    const std::uint64_t thread_count_;
    std::mutex mutex_;
    std::condition_variable work_ready_;   // workers wait here for a batch or stop
    std::condition_variable batch_done_;   // the caller of run waits here
    Batch* open_batch_ = nullptr;          // the batch with unclaimed tasks, if any
    bool stopping_ = false;
    // Held by the one call of run whose batch the workers serve, from before
    // it is published until it has ended.
    std::atomic<bool> serving_{false};
    // Bumped (under the mutex) whenever a batch is published or the workers
    // are told to stop; idle workers watch it without the mutex before they
    // sleep.
    std::atomic<std::uint64_t> news_{0};
    List<std::thread> threads_;
};

// A pool created on first use. Creation runs once; if it fails, the slot
// keeps the failure and every later `get` fails with the same message.
class PoolSlot {
public:
    using CountSource = std::uint64_t (*)();

    PoolSlot(CountSource thread_count, WorkerPool::ThreadStarter start) noexcept
        : thread_count_(thread_count), start_(start) {}
    ~PoolSlot();
    PoolSlot(const PoolSlot&) = delete;
    PoolSlot& operator=(const PoolSlot&) = delete;

    // The pool, created by the first caller while the others wait. Takes no
    // lock once the pool exists. Throws InternalFailure, with a message that
    // starts with POOL_NOT_INITIALIZED, if creation failed now or before.
    WorkerPool& get();

    // Fork handling for the process-wide slot (registered as fork handlers
    // where the system has fork()).
    // The child has none of the parent's threads, so it forgets the pool (and
    // any failure) without touching it and creates a fresh one on first use.
    void before_fork() noexcept;
    void after_fork_in_parent() noexcept;
    void after_fork_in_child() noexcept;

private:
    const CountSource thread_count_;
    const WorkerPool::ThreadStarter start_;
    std::atomic<WorkerPool*> pool_{nullptr};
    std::mutex mutex_;       // held while creating
    std::string failure_;    // the message once creation has failed, else empty
};

// On a worker thread: that worker's pool. Elsewhere: the process-wide pool,
// created on first use (see PoolSlot::get for its failures).
WorkerPool& process_pool();

// ---------------------------------------------------------------------------
// Ordered parallel map on a given pool

// Calls `per_range` once for every range, on the workers of `pool`, and
// returns the results in range order (see map_ranges).
template <class F>
auto ordered_parallel_map(WorkerPool& pool, std::vector<IndexRange> ranges, F&& per_range)
    -> std::vector<std::invoke_result_t<F&, IndexRange>> {
    const auto run = [&pool](std::size_t task_count, TaskFunction task, void* context) {
        pool.run(task_count, task, context);
    };
    return map_ranges(run, ranges, per_range);
}

}  // namespace rasterloom::parallel
