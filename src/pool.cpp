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
#include "pool.hpp"

#include "sample.hpp"

#include <pthread.h>
#if __has_include(<sched.h>)
#include <sched.h>
#endif

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <list>
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
    std::deque<Run> pending;      // runs not yet taken; guarded by the pool mutex
    std::size_t rows_left;        // rows not yet finished; guarded by the pool mutex
    std::exception_ptr error;     // first exception thrown by a row; guarded
    std::condition_variable done; // signalled when rows_left reaches 0
};

class Pool {
  public:
    explicit Pool(std::size_t workers) {
        threads_.reserve(workers);
        for (std::size_t i = 0; i < workers; ++i)
            threads_.emplace_back([this] { work(); });
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
        Job job{fn, ctx, 1, {}, rows, nullptr, {}};
        // Runs of about a quarter of an even share keep every thread busy
        // when rows differ in cost, without taking the lock per row.
        job.grain = std::max<std::size_t>(1, rows / (4 * (threads_.size() + 1)));
        std::unique_lock<std::mutex> lock(mutex_);
        job.pending.push_back({0, rows});
        auto it = jobs_.insert(jobs_.end(), &job);
        wake_.notify_all();
        // The calling thread works on its own job only, so it returns as soon
        // as its rows are done, and always makes progress by itself.
        while (!job.pending.empty())
            take_and_run(job, lock);
        job.done.wait(lock, [&] { return job.rows_left == 0; });
        jobs_.erase(it);
        lock.unlock();
        if (job.error) std::rethrow_exception(job.error);
    }

  private:
    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            Job* job = nullptr;
            wake_.wait(lock, [&] { return stopping_ || (job = job_with_work()) != nullptr; });
            if (stopping_) return;
            take_and_run(*job, lock);
        }
    }

    Job* job_with_work() {
        // Oldest loop first, so that no caller starves.
        for (Job* j : jobs_)
            if (!j->pending.empty()) return j;
        return nullptr;
    }

    // Takes one run of `job` (lock held), halves it down to the grain while
    // offering the upper halves to others, computes it unlocked, and records
    // its completion.
    void take_and_run(Job& job, std::unique_lock<std::mutex>& lock) {
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
        bool failed = job.error != nullptr;
        lock.unlock();
        std::exception_ptr error;
        if (!failed) {
            try {
                for (std::size_t row = r.lo; row < r.hi; ++row)
                    job.fn(job.ctx, row);
            } catch (...) {
                error = std::current_exception();
            }
        }
        lock.lock();
        if (error && !job.error) job.error = error;
        job.rows_left -= r.hi - r.lo;
        if (job.rows_left == 0) job.done.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::list<Job*> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// The process-wide pool, created by the first loop. Guarded by a plain mutex
// rather than std::call_once so that a forked child can start afresh.
std::mutex g_pool_mutex;
Pool* g_pool = nullptr;
bool g_atfork_registered = false;

thread_local Pool* t_override = nullptr;

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

ScopedWorkerCount::ScopedWorkerCount(std::size_t workers)
    : pool_(new Pool(workers)), previous_(t_override) {
    t_override = static_cast<Pool*>(pool_);
}

ScopedWorkerCount::~ScopedWorkerCount() {
    t_override = static_cast<Pool*>(previous_);
    delete static_cast<Pool*>(pool_);
}

namespace detail {
void parallel_rows_impl(std::size_t rows, std::size_t row_len, RowFn fn, void* ctx) {
    Pool& pool = t_override != nullptr ? *t_override : global_pool();
    pool.run(rows, row_len, fn, ctx);
}
} // namespace detail

} // namespace linora
