// Stopping a long computation early, and giving its caller a periodic turn.
//
// A caller that wants to be able to stop a computation installs a
// CancelState on its thread with a CancelScope and runs the computation in
// that scope. The long loops call poll(): once a stop is requested it throws
// Cancelled, which unwinds the computation (every buffer is owned, so
// everything is freed) back to the caller. Parallel loops carry the state to
// the pool's workers, which skip their remaining rows; the calling thread
// rethrows once every row taken by a worker has finished.
//
// The state may also hold a tick: a function called about every
// kTickInterval, only on the thread that installed the scope, from poll() and
// while that thread waits for pool workers. The tick may request the stop
// (the Python binding runs the interpreter's signal handlers there).
//
// Without a scope on the thread, poll() does nothing: computations called
// directly run to the end as before.
//
// Which state a thread polls is kept under a ThreadKey (thread_key.hpp), not
// in thread_local storage.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <exception>

namespace linora {

// Thrown by poll() once the stop of the computation has been requested.
class Cancelled : public std::exception {
  public:
    const char* what() const noexcept override { return "the computation was cancelled"; }
};

// About how often the tick runs while a computation goes on.
inline constexpr std::chrono::milliseconds kTickInterval{40};

class CancelState;

// The cache line size that CancelState's layout assumes (a larger line only
// makes its separation less complete).
inline constexpr std::size_t kCancelLine = 64;

// What a thread polls: a state, and whether this thread installed it (and so
// runs its tick). The thread's key points at the record of the innermost
// scope or carry.
struct ThreadCancel {
    CancelState* state;
    bool owner;
};

// The cancellation state of one call.
class CancelState {
  public:
    using Tick = void (*)(void* context);

    // `tick` (may be null) is called with `context` on the installing thread
    // about every kTickInterval; it must not throw C++ exceptions other than
    // the forced unwind of a thread that exits.
    explicit CancelState(Tick tick = nullptr, void* context = nullptr) noexcept
        : tick_(tick), context_(context) {}
    CancelState(const CancelState&) = delete;
    CancelState& operator=(const CancelState&) = delete;

    // Asks the computation to stop; any thread may call it.
    void request_stop() noexcept { stop_.store(true, std::memory_order_relaxed); }
    bool stop_requested() const noexcept { return stop_.load(std::memory_order_relaxed); }

  private:
    friend class CancelScope;
    friend void poll(std::size_t);
    friend struct CancelAccess;

    // Every thread of the call reads stop_ at each poll, and the installing
    // thread writes budget_ at each of its own: the two are kept on cache
    // lines of their own, or each of those writes would take the line away
    // from the other threads' reads.
    alignas(kCancelLine) std::atomic<bool> stop_{false};
    Tick tick_;
    void* context_;
    // Used only by the installing thread: work left before the clock is read
    // again, and when the tick is due.
    alignas(kCancelLine) std::size_t budget_ = 0;
    std::chrono::steady_clock::time_point next_tick_{};
};

// Installs `state` on the calling thread for the scope's lifetime (scopes
// nest: the previous one comes back at the end). The calling thread becomes
// the one that runs the state's tick. Throws std::bad_alloc when the thread's
// key slot cannot be allocated (the first scope on a thread may need a few
// hundred bytes), InternalError when no key can be created.
class CancelScope {
  public:
    explicit CancelScope(CancelState& state);
    ~CancelScope();
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

  private:
    ThreadCancel record_;
    void* previous_;
};

// A cancellation point. Throws Cancelled if the stop of the computation
// running on this thread (installed by a CancelScope, or carried to a pool
// worker by a parallel loop) has been requested. On the installing thread it
// also runs the tick when due; `work` is a rough count of the elementary steps
// (pixels, rows) done since the last call, so that the clock is read about
// every few thousand steps rather than at each call. Costs a thread-local read
// and a relaxed atomic load when nothing is due.
void poll(std::size_t work = 1);

// What the worker pool needs: the state of the calling thread, carrying it to
// a worker, and running the tick while the caller waits.
struct CancelAccess {
    // The state installed on (or carried to) this thread, or null.
    static CancelState* current() noexcept;
    // True when this thread installed `state` and the state has a tick.
    static bool ticks_here(const CancelState* state) noexcept;
    // When the tick of `state` is due next.
    static std::chrono::steady_clock::time_point next_tick(const CancelState& state) noexcept {
        return state.next_tick_;
    }
    // Runs the tick if it is due and the stop was not requested yet
    // (installing thread only), and returns when the next one is due. Never
    // throws Cancelled.
    static std::chrono::steady_clock::time_point tick_if_due(CancelState& state);

    // While alive, makes poll() on this (worker) thread check `state`, without
    // running its tick. If the thread's key slot cannot be allocated, polls
    // on this thread do not see `state`: its rows run to their end, and the
    // pool still skips the rows not yet started once the stop is requested.
    class Carry {
      public:
        explicit Carry(CancelState* state) noexcept;
        ~Carry();
        Carry(const Carry&) = delete;
        Carry& operator=(const Carry&) = delete;

      private:
        ThreadCancel record_;
        void* previous_;
        bool installed_;
    };
};

} // namespace linora
