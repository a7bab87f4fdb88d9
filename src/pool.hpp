// The process-wide worker pool and the one helper through which every
// data-parallel loop of the library runs.
//
// Schedule, not algorithm: a loop body computes one output row and writes only
// that row; which thread runs which row never changes a result. The pool is
// created by the first parallel loop, has one worker per processor available
// to the process (its CPU affinity), and lives until the process exits. A
// child created by fork() gets a fresh pool on its first loop. When the
// system refuses threads, the pool works with those it could start (possibly
// none: callers then compute every row themselves) and tries again later.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

namespace linora {

namespace detail {
using RowFn = void (*)(void* ctx, std::size_t row);
void parallel_rows_impl(std::size_t rows, std::size_t row_len, RowFn fn, void* ctx);
} // namespace detail

// Runs body(row) for every row in [0, rows) and returns when all are done.
//
// Rows are handed out by recursive halving: a thread that holds a run of rows
// splits off its upper half for others to take until its run is short, then
// computes its rows in increasing order. The calling thread works on its own
// loop too, so a loop always progresses even when every worker is busy with
// other callers' loops. Any number of threads may call this at once.
//
// row_len is the number of samples in one output row; a loop over rows of
// length zero is refused with InternalError("chunk_size must not be zero"),
// even when rows is 0. If a body throws, the remaining rows are skipped and
// the first exception is rethrown on the calling thread. Every row is a
// cancellation point of the calling thread's CancelState (cancel.hpp): once
// its stop is requested, rows not yet started are skipped and Cancelled is
// thrown; while the caller waits for workers it runs the state's tick.
template <class Body> void parallel_rows(std::size_t rows, std::size_t row_len, Body&& body) {
    using B = std::remove_reference_t<Body>;
    detail::parallel_rows_impl(
        rows, row_len, [](void* ctx, std::size_t row) { (*static_cast<B*>(ctx))(row); },
        const_cast<void*>(static_cast<const void*>(&body)));
}

// The number of processors available to this process (its CPU affinity), at
// least 1: the number of workers of the process-wide pool.
std::size_t available_processors();

// While alive, makes the parallel loops started on this thread run on a
// private pool of `workers` threads instead of the process-wide one. Tests
// use it to show that results do not depend on the number of workers.
class ScopedWorkerCount {
  public:
    explicit ScopedWorkerCount(std::size_t workers);
    ~ScopedWorkerCount();
    ScopedWorkerCount(const ScopedWorkerCount&) = delete;
    ScopedWorkerCount& operator=(const ScopedWorkerCount&) = delete;

  private:
    void* pool_;
    void* previous_;
};

} // namespace linora
