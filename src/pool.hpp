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

// The number of workers of the pool that parallel loops started on this
// thread run on (a ScopedWorkerCount's, else the process-wide one, which
// this creates): usually the number it was made for, fewer when the system
// refused threads. Loops that keep every thread busy at once size their work
// by it.
std::size_t pool_workers();

// The admission budget of loops whose threads join while processors are
// free (the detector's seed loop), process-wide: threads busy with a call of
// their own (BusyCaller) and pool workers helping such a loop (HelperSeat)
// share the processors. Several calls at once each run on their own thread,
// without the overhead of sharing; the call that runs alone gets the spare
// processors.
//
// While alive, counts the calling thread as busy with a call of its own.
class BusyCaller {
  public:
    BusyCaller() noexcept;
    ~BusyCaller();
    BusyCaller(const BusyCaller&) = delete;
    BusyCaller& operator=(const BusyCaller&) = delete;
};

// The threads counted by BusyCaller now.
std::size_t busy_callers() noexcept;

// A pool worker's seat as a helper, among `processors`: taken when busy
// callers and helpers leave one free (check with bool), given back when the
// seat ends. over_budget(): more threads than processors are counted now
// (callers arrived since), so a helper should leave.
class HelperSeat {
  public:
    explicit HelperSeat(std::size_t processors) noexcept;
    ~HelperSeat();
    HelperSeat(const HelperSeat&) = delete;
    HelperSeat& operator=(const HelperSeat&) = delete;
    explicit operator bool() const noexcept { return taken_; }
    bool over_budget() const noexcept;

  private:
    std::size_t processors_;
    bool taken_;
};

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
