// The worker pool behind parallel_rows.
//
// A loop is a Job: a function, a row count and a queue of row runs still to be
// taken. The calling thread pushes the whole range [0, rows) and then works on
// its own job until every row is done; pool workers take runs from any job
// that has some. Whoever takes a run halves it repeatedly, pushing the upper
// halves back for others, until the run is at most `grain` rows long, and then
// computes its rows in increasing order.
//
// One mutex guards the queues; rows are handed out in runs of many rows, so
// it is taken a few times per worker and loop, not per row.
//
// Cancellation: a Job carries the CancelState of the thread that started the
// loop. Every thread polls it between rows (workers carry it while they run
// the job's rows); once the stop is requested, rows not yet started are
// skipped and the caller rethrows Cancelled after every row already started
// has finished. While the caller waits for workers it wakes up to run its
// tick (see cancel.hpp).
#include "pool.hpp"

#include "cancel.hpp"
#include "core_errors.hpp"
#include "float_env.hpp"
#include "forced_unwind.hpp"
#include "thread_key.hpp"
#include "thread_ready.hpp"

#include <pthread.h>
#if __has_include(<sched.h>)
#include <sched.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace linora {

namespace {

struct Run {
    std::size_t lo, hi;
};

struct Job {
    detail::RowFn fn;
    void* ctx;
    std::size_t grain;
    std::size_t row_len;          // samples per row: the work counted per row by poll()
    CancelState* cancel;          // the caller's cancellation state, or null
    std::deque<Run> pending;      // runs not yet taken; guarded by the pool mutex
    std::size_t rows_left;        // rows not yet finished; guarded by the pool mutex
    std::exception_ptr error;     // first exception thrown by a row; guarded
    std::condition_variable done; // signalled when rows_left reaches 0
};

// How long a pool that could not start all its workers waits before it tries
// again (on the next loop after that).
constexpr std::chrono::seconds kWorkerRetryDelay{1};

class Pool {
  public:
    // Starts up to `workers` threads (see start_workers).
    explicit Pool(std::size_t workers) : wanted_(workers) {
        std::lock_guard<std::mutex> lock(mutex_);
        start_workers();
    }

    ~Pool() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (auto& t : threads_)
            t.join();
    }

    void run(std::size_t rows, std::size_t row_len, detail::RowFn fn, void* ctx) {
        if (row_len == 0) throw InternalError("chunk_size must not be zero");
        if (rows == 0) return;
        CancelState* cancel = CancelAccess::current();
        Job job{fn, ctx, 1, row_len, cancel, {}, rows, nullptr, {}};
        std::exception_ptr error;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (threads_.size() < wanted_ && std::chrono::steady_clock::now() >= retry_at_)
                start_workers();
            // Runs of about a quarter of an even share keep every thread busy
            // when rows differ in cost, without taking the lock per row.
            job.grain = std::max<std::size_t>(1, rows / (4 * (threads_.size() - ended_ + 1)));
            job.pending.push_back({0, rows});
            Registration registered(*this, job, lock);
            wake_.notify_all();
            // The calling thread works on its own job only, so it returns as
            // soon as its rows are done, and always makes progress by itself.
            while (!job.pending.empty())
                take_and_run(job, lock);
            wait_for_rows(job, lock, CancelAccess::ticks_here(cancel));
            error = job.error;
        }
        if (error) std::rethrow_exception(error);
        // Rows may have been skipped without a row throwing.
        if (cancel && cancel->stop_requested()) throw Cancelled();
    }

    std::size_t workers() {
        std::lock_guard<std::mutex> lock(mutex_);
        return threads_.size() - ended_;
    }

  private:
    // Starts workers (lock held) until there are as many as wanted. Creating
    // a thread can fail (a thread or process limit, the address space,
    // memory): the pool then keeps the workers it has, possibly none, which
    // loses nothing but speed, since the calling thread of a loop computes
    // every row that nobody else takes, and results do not depend on who
    // computes a row. A loop at least kWorkerRetryDelay later tries again, so
    // a passing shortage does not last, and a lasting one costs one failed
    // thread creation per delay.
    void start_workers() {
        try {
            threads_.reserve(wanted_);
            while (threads_.size() < wanted_)
                threads_.emplace_back([this] { work(); });
        } catch (const std::exception&) { // std::system_error, std::bad_alloc
            retry_at_ = std::chrono::steady_clock::now() + kWorkerRetryDelay;
        }
    }

    // A job's place in the list of jobs with work. The job leaves the list
    // only when no other thread can touch it any more: on the normal way out
    // every row is finished already; if the calling thread unwinds (a tick
    // that ends the thread), the runs nobody took are dropped and the rows
    // that workers are computing are waited for.
    class Registration {
      public:
        Registration(Pool& pool, Job& job, std::unique_lock<std::mutex>& lock)
            : pool_(pool), job_(job), lock_(lock), it_(pool.jobs_.insert(pool.jobs_.end(), &job)) {}
        ~Registration() {
            if (!lock_.owns_lock()) lock_.lock();
            for (const Run& r : job_.pending)
                job_.rows_left -= r.hi - r.lo;
            job_.pending.clear();
            job_.done.wait(lock_, [&] { return job_.rows_left == 0; });
            pool_.jobs_.erase(it_);
        }
        Registration(const Registration&) = delete;
        Registration& operator=(const Registration&) = delete;

      private:
        Pool& pool_;
        Job& job_;
        std::unique_lock<std::mutex>& lock_;
        std::list<Job*>::iterator it_;
    };

    // Waits (lock held) until every row of the caller's job is finished. A
    // caller that runs a tick wakes up when it is due and runs it unlocked.
    void wait_for_rows(Job& job, std::unique_lock<std::mutex>& lock, bool ticks) {
        auto finished = [&] { return job.rows_left == 0; };
        if (!ticks) {
            job.done.wait(lock, finished);
            return;
        }
        auto due = CancelAccess::next_tick(*job.cancel);
        while (!job.done.wait_until(lock, due, finished)) {
            lock.unlock();
            due = CancelAccess::tick_if_due(*job.cancel);
            lock.lock();
        }
    }

    void work() {
        // Workers inherit the floating-point mode of the thread that started
        // them, which may be any caller's.
        DefaultFloatEnv::enter_for_good();
        std::unique_lock<std::mutex> lock(mutex_);
        // A worker that could not get ready to throw must not run rows (a
        // row may throw): it ends, and the loops do without it.
        if (!ready_to_throw()) {
            ++ended_;
            return;
        }
        for (;;) {
            Job* job = nullptr;
            wake_.wait(lock, [&] { return stopping_ || (job = job_with_work()) != nullptr; });
            if (stopping_) return;
            CancelAccess::Carry carry(job->cancel);
            take_and_run(*job, lock);
        }
    }

    Job* job_with_work() {
        // While every processor runs a call of its own (BusyCaller), each
        // caller computes its loops alone: a worker joining in would only
        // take a processor from another call.
        if (busy_callers() >= wanted_) return nullptr;
        // Oldest loop first, so that no caller starves.
        for (Job* j : jobs_)
            if (!j->pending.empty()) return j;
        return nullptr;
    }

    // Takes one run of `job` (lock held), halves it down to the grain while
    // offering the upper halves to others, computes it unlocked, and records
    // its completion.
    LINORA_CATCHES_FORCED_UNWIND void take_and_run(Job& job, std::unique_lock<std::mutex>& lock) {
        Run r = job.pending.back();
        job.pending.pop_back();
        bool offered = false;
        while (r.hi - r.lo > job.grain) {
            std::size_t mid = r.lo + (r.hi - r.lo) / 2;
            job.pending.push_back({mid, r.hi});
            r.hi = mid;
            offered = true;
        }
        if (offered) wake_.notify_all();
        // Rows are skipped once a row failed or the stop was requested.
        const bool skip = job.error != nullptr || (job.cancel && job.cancel->stop_requested());
        lock.unlock();
        std::exception_ptr error;
        if (!skip) {
            try {
                for (std::size_t row = r.lo; row < r.hi; ++row) {
                    if (job.cancel) poll(job.row_len);
                    job.fn(job.ctx, row);
                }
            }
#if LINORA_FORCED_UNWIND
            catch (abi::__forced_unwind&) {
                // The thread is being ended (pthread_exit or cancellation,
                // possibly from the caller's tick): account for the run and
                // let the unwinding go on; it must not be swallowed.
                lock.lock();
                finish(job, r);
                throw;
            }
#endif
            catch (...) {
                error = std::current_exception();
            }
        }
        lock.lock();
        if (error && !job.error) job.error = error;
        finish(job, r);
    }

    // Records (lock held) that the rows of `r` are done.
    static void finish(Job& job, const Run& r) {
        job.rows_left -= r.hi - r.lo;
        if (job.rows_left == 0) job.done.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::list<Job*> jobs_;
    bool stopping_ = false;
    const std::size_t wanted_;         // workers the pool should have
    std::vector<std::thread> threads_; // the workers it started; guarded
    std::size_t ended_ = 0;            // of those, ended at their start (no memory); guarded
    std::chrono::steady_clock::time_point retry_at_{}; // when to try starting more; guarded
};

// The process-wide pool, created by the first loop. Guarded by a plain mutex
// rather than std::call_once so that a forked child can start afresh.
std::mutex g_pool_mutex;
Pool* g_pool = nullptr;
bool g_atfork_registered = false;

// The pool of a ScopedWorkerCount on this thread (thread_key.hpp).
const ThreadKey& override_key() noexcept {
    static const ThreadKey k;
    return k;
}

Pool* override_pool() noexcept {
    return static_cast<Pool*>(override_key().get());
}

void after_fork_in_child() {
    // Only the forking thread exists in the child. The parent's pool (and the
    // mutex guarding it, which another parent thread may have held) cannot
    // be used: forget the pool and give the mutex a fresh state.
    // The old pool is leaked on purpose: its threads do not exist here, so
    // neither destroying nor detaching them would be meaningful.
    g_pool = nullptr;
    new (&g_pool_mutex) std::mutex();
}

Pool& global_pool() {
    std::lock_guard<std::mutex> lock(g_pool_mutex);
    if (g_pool == nullptr) {
        if (!g_atfork_registered) {
            pthread_atfork(nullptr, nullptr, after_fork_in_child);
            g_atfork_registered = true;
        }
        // The calling thread works too, so the pool's workers plus the
        // caller give one thread more than there are processors; a caller
        // waiting for its last rows is asleep, not spinning.
        g_pool = new Pool(available_processors());
    }
    return *g_pool;
}

} // namespace

// The processors this process may run on where the C library tells
// (sched_getaffinity, with CPU_COUNT: glibc and musl), else the processors
// of the machine.
std::size_t available_processors() {
#if defined(CPU_COUNT)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
#endif
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

namespace {
std::atomic<std::size_t> g_busy_callers{0};
std::atomic<std::size_t> g_helpers{0};
} // namespace

BusyCaller::BusyCaller() noexcept {
    g_busy_callers.fetch_add(1, std::memory_order_relaxed);
}
BusyCaller::~BusyCaller() {
    g_busy_callers.fetch_sub(1, std::memory_order_relaxed);
}

std::size_t busy_callers() noexcept {
    return g_busy_callers.load(std::memory_order_relaxed);
}

HelperSeat::HelperSeat(std::size_t processors) noexcept : processors_(processors), taken_(false) {
    std::size_t h = g_helpers.load(std::memory_order_relaxed);
    while (!taken_ && h + g_busy_callers.load(std::memory_order_relaxed) < processors_)
        taken_ = g_helpers.compare_exchange_weak(h, h + 1, std::memory_order_relaxed);
}

HelperSeat::~HelperSeat() {
    if (taken_) g_helpers.fetch_sub(1, std::memory_order_relaxed);
}

bool HelperSeat::over_budget() const noexcept {
    return g_helpers.load(std::memory_order_relaxed) +
               g_busy_callers.load(std::memory_order_relaxed) >
           processors_;
}

ScopedWorkerCount::ScopedWorkerCount(std::size_t workers)
    : pool_(nullptr), previous_(override_pool()) {
    if (!override_key().created()) throw InternalError("no thread-specific key could be created");
    std::unique_ptr<Pool> pool(new Pool(workers));
    if (!override_key().set(pool.get())) throw std::bad_alloc();
    pool_ = pool.release();
}

ScopedWorkerCount::~ScopedWorkerCount() {
    override_key().set(previous_);
    delete static_cast<Pool*>(pool_);
}

std::size_t pool_workers() {
    Pool* scoped = override_pool();
    return (scoped != nullptr ? *scoped : global_pool()).workers();
}

namespace detail {
void parallel_rows_impl(std::size_t rows, std::size_t row_len, RowFn fn, void* ctx) {
    Pool* scoped = override_pool();
    (scoped != nullptr ? *scoped : global_pool()).run(rows, row_len, fn, ctx);
}
} // namespace detail

} // namespace linora
