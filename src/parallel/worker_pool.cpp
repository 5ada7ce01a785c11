// The worker pool: thread count, worker loop, one-time creation and fork
// handling. See worker_pool.hpp for the contract.
//
// Scheduling: `run` publishes one Batch (the tasks of one map) to the pool,
// wakes one worker for every task but one, and takes tasks of its own batch
// as well; then it waits until the workers have ended theirs. Idle workers
// take tasks from the open batch one index at a time under the pool mutex;
// the core hands over about one range per thread, so each task is a long
// scan and the lock is taken rarely. Whoever takes the last task of a batch
// closes it, and the worker that ends the last task wakes its caller.
// Nothing in this machinery allocates, so once the pool exists it cannot
// fail short of a broken mutex, which aborts the process.
//
// Several threads at once: the workers serve one map at a time. A call of
// `run` claims them (`serving_`) before it publishes its batch and lets go
// once the batch has ended; a call that finds them claimed runs its tasks on
// its own thread, one after another. It neither waits for another thread's
// map nor competes with it for the workers, so a process never has more
// busy threads than the pool's workers and the threads that call it, and
// every call makes progress on its own. Its tasks, and so its results, are
// those it would have handed to the workers.
//
// Waiting: putting a thread to sleep and waking it again costs tens of
// microseconds, more on a virtual machine whose idle processor has to be
// woken too; a map over a million points takes a few hundred. So a worker
// that runs out of tasks watches for new batches for WORKER_SPIN before it
// sleeps (the next map of the same call, or the next call, often comes
// sooner), and a caller whose tasks are taken watches its batch for
// CALLER_SPIN before it sleeps. Both are bounded: nobody spins for long.
#include "parallel/worker_pool.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "support/platform.hpp"

namespace rasterloom::parallel {

namespace {

// The pool whose worker is running on this thread, if any.
thread_local WorkerPool* current_worker_pool = nullptr;

constexpr std::chrono::microseconds WORKER_SPIN{100};
constexpr std::chrono::microseconds CALLER_SPIN{500};

// Polls `done` until it holds or `budget` has passed; true if it held.
template <class Done>
bool spin_until(Done done, std::chrono::microseconds budget) noexcept {
    const auto deadline = std::chrono::steady_clock::now() + budget;
    for (;;) {
        for (int poll = 0; poll < 64; ++poll) {
            if (done()) {
                return true;
            }
            platform::cpu_relax();
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return done();
        }
    }
}

[[noreturn]] void abort_on_pool_failure() noexcept {
    std::fputs("rasterloom: unexpected failure detected in the worker pool; aborting\n", stderr);
    std::abort();
}

}  // namespace

// ---------------------------------------------------------------------------
// Thread count

std::optional<std::uint64_t> parse_thread_count(std::string_view text) noexcept {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

// Only ASCII digits and '+' parse, so a value that is not valid UTF-8 never
// parses either and needs no separate check.
std::uint64_t decide_thread_count(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                                  std::uint64_t logical_processors) noexcept {
    auto read = [](const char* value) -> std::optional<std::uint64_t> {
        return value == nullptr ? std::nullopt : parse_thread_count(value);
    };
    std::uint64_t count = 0;  // 0: use the default
    if (const auto primary = read(rayon_num_threads)) {
        count = *primary;
    } else if (const auto secondary = read(rayon_rs_num_cpus)) {
        count = *secondary;
    }
    if (count == 0) {
        count = logical_processors == 0 ? 1 : logical_processors;
    }
    return count < MAX_POOL_THREADS ? count : MAX_POOL_THREADS;
}

// ---------------------------------------------------------------------------
// WorkerPool

// The tasks of one `run`. Lives on the caller's stack until `unfinished`
// reaches 0; all fields but the constant ones are guarded by the pool mutex.
struct WorkerPool::Batch {
    const TaskFunction task;
    void* const context;
    const std::size_t task_count;
    std::size_t next_task = 0;
    // Lowered under the pool mutex; the caller may also read it without.
    // Nothing touches the batch after lowering it to 0.
    std::atomic<std::size_t> unfinished;
};

std::thread WorkerPool::start_std_thread(std::uint64_t, void (*body)(void*), void* argument) {
    return std::thread(body, argument);
}

WorkerPool::WorkerPool(std::uint64_t thread_count, ThreadStarter start) : thread_count_(thread_count) {
    ensure(thread_count >= 1 && thread_count <= MAX_POOL_THREADS, "worker pool size out of range");
    threads_.reserve(thread_count);
    try {
        for (std::uint64_t index = 0; index < thread_count; ++index) {
            threads_.push_back(start(index, &WorkerPool::worker_main, this));
        }
    } catch (...) {
        stop_workers();
        throw;
    }
}

WorkerPool::~WorkerPool() { stop_workers(); }

void WorkerPool::stop_workers() noexcept {
    try {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            news_.fetch_add(1, std::memory_order_relaxed);
        }
        work_ready_.notify_all();
        for (std::thread& thread : threads_) {
            thread.join();
        }
    } catch (...) {
        abort_on_pool_failure();
    }
}

void WorkerPool::worker_main(void* pool) noexcept { static_cast<WorkerPool*>(pool)->work(); }

void WorkerPool::work() noexcept {
    current_worker_pool = this;
    try {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (!stopping_ && open_batch_ == nullptr) {
                const std::uint64_t seen = news_.load(std::memory_order_relaxed);
                lock.unlock();
                spin_until([this, seen] { return news_.load(std::memory_order_relaxed) != seen; },
                           WORKER_SPIN);
                lock.lock();
                work_ready_.wait(lock, [this] { return stopping_ || open_batch_ != nullptr; });
            }
            if (stopping_) {
                return;
            }
            Batch& batch = *open_batch_;
            const std::size_t index = batch.next_task++;
            if (batch.next_task == batch.task_count) {
                open_batch_ = nullptr;
            }
            lock.unlock();
            batch.task(batch.context, index);
            lock.lock();
            // Once `unfinished` is 0 the caller may return and end `batch`.
            if (batch.unfinished.fetch_sub(1, std::memory_order_acq_rel) == 1) {
                batch_done_.notify_all();
            }
        }
    } catch (...) {
        abort_on_pool_failure();
    }
}

void WorkerPool::run_here(std::size_t task_count, TaskFunction task, void* context) noexcept {
    for (std::size_t index = 0; index < task_count; ++index) {
        task(context, index);
    }
}

void WorkerPool::run(std::size_t task_count, TaskFunction task, void* context) noexcept {
    if (task_count == 0) {
        return;
    }
    if (current_worker_pool != nullptr) {
        run_here(task_count, task, context);
        return;
    }
    // While it runs tasks, the calling thread counts as one of this pool's
    // workers: a map inside a task runs there too, and the thread count is
    // this pool's. A single task runs here without claiming the workers.
    if (task_count == 1 || serving_.exchange(true, std::memory_order_acquire)) {
        current_worker_pool = this;
        run_here(task_count, task, context);
        current_worker_pool = nullptr;
        return;
    }
    // Lets go of the workers on every way out, once the batch has ended.
    struct Release {
        std::atomic<bool>& serving;
        ~Release() { serving.store(false, std::memory_order_release); }
    } release{serving_};
    Batch batch{task, context, task_count, 0, task_count};
    try {
        std::unique_lock lock(mutex_);
        open_batch_ = &batch;
        news_.fetch_add(1, std::memory_order_relaxed);
        // The caller takes tasks of its own batch too, so one task fewer
        // needs a worker to wake up.
        for (std::size_t wake = 1; wake < task_count && wake <= thread_count_; ++wake) {
            work_ready_.notify_one();
        }
        current_worker_pool = this;
        while (batch.next_task < batch.task_count) {
            const std::size_t index = batch.next_task++;
            if (batch.next_task == batch.task_count) {
                open_batch_ = nullptr;
            }
            lock.unlock();
            task(context, index);
            lock.lock();
            batch.unfinished.fetch_sub(1, std::memory_order_acq_rel);
        }
        current_worker_pool = nullptr;
        const auto finished = [&batch] { return batch.unfinished.load(std::memory_order_acquire) == 0; };
        if (!finished()) {
            lock.unlock();
            if (spin_until(finished, CALLER_SPIN)) {
                return;
            }
            lock.lock();
            batch_done_.wait(lock, finished);
        }
    } catch (...) {
        abort_on_pool_failure();
    }
}

// ---------------------------------------------------------------------------
// PoolSlot

PoolSlot::~PoolSlot() { delete pool_.load(std::memory_order_acquire); }

WorkerPool& PoolSlot::get() {
    if (WorkerPool* pool = pool_.load(std::memory_order_acquire)) {
        return *pool;
    }
    std::lock_guard lock(mutex_);
    if (WorkerPool* pool = pool_.load(std::memory_order_relaxed)) {
        return *pool;
    }
    if (!failure_.empty()) {
        fail(failure_);
    }
    const std::uint64_t thread_count = thread_count_();
    try {
        WorkerPool* pool = new WorkerPool(thread_count, start_);
        pool_.store(pool, std::memory_order_release);
        return *pool;
    } catch (const std::exception& cause) {
        failure_ = std::string(POOL_NOT_INITIALIZED) + ": " + cause.what();
        fail(failure_);
    }
}

void PoolSlot::before_fork() noexcept {
    try {
        mutex_.lock();
    } catch (...) {
        abort_on_pool_failure();
    }
}

void PoolSlot::after_fork_in_parent() noexcept { mutex_.unlock(); }

void PoolSlot::after_fork_in_child() noexcept {
    // The old pool is abandoned, not destroyed: its mutex may be held by a
    // thread that does not exist here, and its workers are gone.
    pool_.store(nullptr, std::memory_order_relaxed);
    failure_.clear();
    current_worker_pool = nullptr;
    mutex_.unlock();
}

// ---------------------------------------------------------------------------
// The process-wide pool

namespace {

std::uint64_t thread_count_from_environment() {
    return decide_thread_count(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                               platform::logical_processor_count());
}

// Set once, before the fork handlers that use it are registered.
PoolSlot* process_slot_for_fork = nullptr;

void process_slot_before_fork() { process_slot_for_fork->before_fork(); }
void process_slot_after_fork_in_parent() { process_slot_for_fork->after_fork_in_parent(); }
void process_slot_after_fork_in_child() { process_slot_for_fork->after_fork_in_child(); }

// Never destroyed, so that workers and late callers can use it during exit.
PoolSlot& process_slot() {
    static PoolSlot* const slot = [] {
        auto* created = new PoolSlot(&thread_count_from_environment, &WorkerPool::start_std_thread);
        process_slot_for_fork = created;
        if (!platform::register_fork_handlers(&process_slot_before_fork, &process_slot_after_fork_in_parent,
                                              &process_slot_after_fork_in_child)) {
            abort_on_pool_failure();
        }
        return created;
    }();
    return *slot;
}

}  // namespace

WorkerPool& process_pool() {
    if (current_worker_pool != nullptr) {
        return *current_worker_pool;
    }
    return process_slot().get();
}

// ---------------------------------------------------------------------------
// The C entry points of the process-wide pool

namespace {

void copy_message(const char* text, char* message) noexcept {
    std::size_t length = 0;
    while (text[length] != '\0' && length + 1 < POOL_MESSAGE_SIZE) {
        message[length] = text[length];
        ++length;
    }
    message[length] = '\0';
}

// The pool, or nullptr with the reason in `message`.
WorkerPool* pool_or_message(char* message) noexcept {
    try {
        return &process_pool();
    } catch (const std::exception& failure) {
        copy_message(failure.what(), message);
    } catch (...) {
        copy_message(POOL_NOT_INITIALIZED.data(), message);
    }
    return nullptr;
}

std::uint64_t entry_thread_count(char* message) noexcept {
    WorkerPool* pool = pool_or_message(message);
    return pool == nullptr ? 0 : pool->thread_count();
}

bool entry_run(std::size_t task_count, TaskFunction task, void* context, char* message) noexcept {
    WorkerPool* pool = pool_or_message(message);
    if (pool == nullptr) {
        return false;
    }
    pool->run(task_count, task, context);
    return true;
}

constexpr PoolEntries OWN_ENTRIES{POOL_ENTRIES_VERSION, &entry_thread_count, &entry_run};

}  // namespace

const PoolEntries& process_pool_entries() { return OWN_ENTRIES; }

}  // namespace rasterloom::parallel
