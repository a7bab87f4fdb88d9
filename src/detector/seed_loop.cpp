#include "detector/seed_loop.hpp"

#include "cancel.hpp"
#include "core_errors.hpp"
#include "detector/seed_work.hpp"
#include "detector/speculation.hpp"
#include "pool.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

namespace linora::detector {

namespace {

// Seeds [begin, end) of the sequential loop, their candidates appended to
// `found`. Between two seeds the marks are final, so the loop may stop at
// any seed and go on later, or be handed to the parallel loop.
void sequential_seeds(const SeedLoopInput& in, std::span<std::uint8_t> used, std::size_t begin,
                      std::size_t end, std::vector<Candidate>& found,
                      std::vector<std::uint32_t>& region) {
    DirectMarks marks(used);
    std::size_t looked = 0;
    for (std::size_t i = begin; i < end; ++i) {
        prefetch_seed(in, i, marks);
        const std::uint32_t seed = in.seeds[i];
        if (!marks.is_free(seed)) continue;
        // A cancellation point per candidate (the long steps inside poll too).
        poll();
        prefetch_free_seeds(in, i, looked, marks);
        Candidate c;
        if (grow_candidate(seed, in, marks, region, c)) found.push_back(c);
    }
}

// At most this many threads in one seed loop: more speculate further ahead
// on marks that are about to change, and each adds a byte per pixel.
constexpr std::size_t kMaxSeedThreads = 8;
// Batches a thread may run ahead of the oldest uncommitted one, per thread:
// enough that threads seldom wait, few enough that they seldom speculate on
// marks that are about to change.
constexpr std::size_t kWindowPerThread = 32;
// Batches a thread may run ahead per thread at the start of a call.
constexpr std::size_t kInitialWindowPerThread = 2;

// Where a batch is: Free (its slot holds nothing; the batch may not be taken
// yet), Speculating (a thread writes the slot), Done (the slot holds the
// speculation, for the committing thread) or TakenOver (another thread did
// the batch in order; the speculating thread frees the slot when it ends).
enum class SlotState : int { Free, Speculating, Done, TakenOver };

// A batch's place in the ring: its state, and the speculation's record,
// written by the thread that runs it and read by the committing thread once
// the state is Done.
struct Slot {
    std::atomic<SlotState> state{SlotState::Free};
    BatchRecord record;
};

// The production schedule: no hooks. Built in static storage on first use
// and never destroyed: a daemon thread may still be in a seed loop while the
// process exits and destroys its static objects.
SeedLoopHooks& no_hooks() {
    alignas(SeedLoopHooks) static unsigned char storage[sizeof(SeedLoopHooks)];
    static SeedLoopHooks* const hooks = ::new (storage) SeedLoopHooks();
    return *hooks;
}

class ParallelSeedLoop {
  public:
    ParallelSeedLoop(const SeedLoopInput& in, std::span<std::uint8_t> used,
                     const SeedSchedule& schedule)
        : in_(in), processors_(std::max<std::size_t>(schedule.threads, 1)), shared_(used.data()),
          batch_seeds_(std::max<std::size_t>(schedule.batch_seeds, 1)),
          batches_((in.seeds.size() + batch_seeds_ - 1) / batch_seeds_),
          take_over_after_(schedule.take_over_after),
          hooks_(schedule.hooks != nullptr ? *schedule.hooks : no_hooks()),
          caller_speculates_(hooks_.caller_speculates()), window_(kWindowPerThread * processors_),
          slots_(new Slot[window_]) {}

    // The work of one thread. The calling thread stays until every batch is
    // committed: it speculates when it can, commits what is finished, does
    // the next batch itself, in order, when nobody has taken it, and takes
    // over a speculation that is much too late; so it never waits for a
    // thread that does not run. A pool worker joins only while a processor
    // is free (HelperSeat), speculates and commits, and leaves when no batch
    // is left to take or no processor is free any more.
    void run() {
        const bool helper = std::this_thread::get_id() != caller_;
        const HelperSeat seat(helper ? processors_ : 0);
        if (helper && !seat) return;
        if (!helper) hooks_.caller_starts();
        struct Count {
            std::atomic<std::size_t>& helpers;
            bool helper;
            explicit Count(std::atomic<std::size_t>& h, bool is_helper)
                : helpers(h), helper(is_helper) {
                if (helper) helpers.fetch_add(1, std::memory_order_relaxed);
            }
            ~Count() {
                if (helper) helpers.fetch_sub(1, std::memory_order_relaxed);
            }
        } count(helpers_, helper);
        // Whatever ends this thread's work early (an exception, a
        // cancellation, or the forced unwind that ends the thread itself,
        // which no catch may stop) tells the other threads to stop too: a
        // cleanup, which every kind of unwinding runs.
        struct StopOthersUnlessDone {
            ParallelSeedLoop& loop;
            bool done = false;
            ~StopOthersUnlessDone() {
                if (done) return;
                loop.failed_.store(true, std::memory_order_seq_cst);
                loop.wake_waiters();
            }
        } stop_others{*this};
        ThreadOverlay thread(in_.field.size());
        work(thread, helper ? &seat : nullptr);
        stop_others.done = true;
    }

    // After every thread has returned from run().
    std::vector<Candidate> result() {
        if (committed_.load(std::memory_order_acquire) != batches_)
            throw InternalError("seed loop: a batch was left uncommitted");
        hooks_.finished(tally_.redone(), taken_over_);
        return std::move(found_);
    }

  private:
    // The loop of run(): returns when this thread's part is over. `seat` is
    // a pool worker's, null for the calling thread.
    void work(ThreadOverlay& thread, const HelperSeat* seat) {
        const bool helper = seat != nullptr;
        for (;;) {
            if (failed_.load(std::memory_order_relaxed)) return;
            advance(thread, false);
            if (!speculating_.load(std::memory_order_relaxed) && (helper || finish_in_order()))
                return;
            std::size_t b;
            if ((helper ? !seat->over_budget() : caller_speculates_) && claim(b)) {
                if (helper) hooks_.worker_claimed();
                speculate(b, thread);
                if (helper) hooks_.worker_speculated();
                finish(b);
                continue;
            }
            if (helper) {
                if (next_.load(std::memory_order_acquire) >= batches_ || seat->over_budget())
                    return;
            } else if (committed_.load(std::memory_order_acquire) >= batches_) {
                return;
            }
            // Nothing to take and nothing to commit yet: wait a little, then
            // do the next batch in order if it is still not there.
            const std::size_t seen = committed_.load(std::memory_order_acquire);
            if (!wait_while_committed(seen, take_over_after_) && !helper) advance(thread, true);
        }
    }

    // Takes the next batch into b for speculation when it lies within the
    // window and its slot is free.
    bool claim(std::size_t& b) {
        if (!speculating_.load(std::memory_order_relaxed)) return false;
        for (;;) {
            b = next_.load(std::memory_order_relaxed);
            if (b >= batches_) return false;
            // Acquire: the slot's last reader (the committing thread) or
            // writer (a speculation taken over) is done with it.
            const std::size_t c = committed_.load(std::memory_order_acquire);
            // The window opens one batch per commit from a few batches per
            // thread, so that a call whose speculation only redoes work
            // (CheckTally) has speculated little before it stops.
            const std::size_t open = std::min(window_, kInitialWindowPerThread * processors_ + c);
            if (b >= c + open) return false;
            Slot& slot = slots_[b % window_];
            if (slot.state.load(std::memory_order_acquire) != SlotState::Free) return false;
            if (next_.compare_exchange_weak(b, b + 1, std::memory_order_relaxed)) {
                // Release: whoever takes this speculation over sees it counted.
                running_.fetch_add(1, std::memory_order_relaxed);
                slot.state.store(SlotState::Speculating, std::memory_order_release);
                return true;
            }
        }
    }

    // The end of a speculation: Done for the committing thread, unless the
    // batch was taken over meanwhile; then the slot is simply free again.
    void finish(std::size_t b) {
        running_.fetch_sub(1, std::memory_order_seq_cst);
        Slot& slot = slots_[b % window_];
        SlotState expected = SlotState::Speculating;
        if (!slot.state.compare_exchange_strong(expected, SlotState::Done,
                                                std::memory_order_seq_cst))
            slot.state.store(SlotState::Free, std::memory_order_release);
    }

    std::size_t first_seed(std::size_t b) const { return b * batch_seeds_; }
    std::size_t end_seed(std::size_t b) const {
        return std::min(first_seed(b) + batch_seeds_, in_.seeds.size());
    }

    // Runs batch b ahead of its turn into its slot's record, on the marks
    // committed so far and this thread's earlier batches' marks.
    void speculate(std::size_t b, ThreadOverlay& thread) {
        thread.release_before(committed_.load(std::memory_order_acquire));
        speculate_batch(in_, b, first_seed(b), end_seed(b), shared_, thread,
                        slots_[b % window_].record);
    }

    // Commits the batches that come next, one thread at a time: a finished
    // speculation is checked and committed, a batch nobody has taken is done
    // in order right away, and with `take_over` a speculation still running
    // is taken over and done in order. A thread that finishes a speculation
    // while another commits leaves it to that one, which looks again after it
    // stops committing.
    void advance(ThreadOverlay& thread, bool take_over) {
        for (;;) {
            if (committing_.exchange(true, std::memory_order_seq_cst)) return;
            std::size_t c = committed_.load(std::memory_order_relaxed);
            while (c < batches_) {
                Slot& slot = slots_[c % window_];
                std::size_t n = c;
                if (slot.state.load(std::memory_order_acquire) == SlotState::Done) {
                    commit_batch(in_, slot.record, first_seed(c), shared_, thread, found_, tally_);
                    if (tally_.only_redoing()) speculating_.store(false, std::memory_order_relaxed);
                    slot.state.store(SlotState::Free, std::memory_order_release);
                } else if ((take_over || helpers_.load(std::memory_order_relaxed) == 0) &&
                           next_.load(std::memory_order_relaxed) == c &&
                           next_.compare_exchange_strong(n, c + 1, std::memory_order_relaxed)) {
                    // Nobody took it, and nobody else speculates (or the wait
                    // was long): no reason to speculate.
                    seeds_in_order(in_, first_seed(c), end_seed(c), shared_, thread, found_);
                } else if (take_over &&
                           slot.state.load(std::memory_order_relaxed) == SlotState::Speculating) {
                    SlotState expected = SlotState::Speculating;
                    if (!slot.state.compare_exchange_strong(expected, SlotState::TakenOver,
                                                            std::memory_order_acq_rel))
                        continue; // it has just finished: commit it
                    seeds_in_order(in_, first_seed(c), end_seed(c), shared_, thread, found_);
                    ++taken_over_;
                    take_over = false;
                } else {
                    break;
                }
                ++c;
                committed_.store(c, std::memory_order_seq_cst);
                wake_waiters();
            }
            committing_.store(false, std::memory_order_seq_cst);
            if (c >= batches_ ||
                slots_[c % window_].state.load(std::memory_order_seq_cst) != SlotState::Done)
                return;
        }
    }

    // Once speculation has stopped, every batch taken is committed and no
    // speculation runs any more (one taken over may still run), the calling
    // thread does all the rest as the sequential loop does, directly on the
    // shared marks: no other thread touches them any more (no batch can be
    // taken, and this thread holds the commit). Returns false, having done
    // nothing, while a batch is still out, a speculation still reads the
    // shared marks or another thread commits.
    bool finish_in_order() {
        if (committing_.exchange(true, std::memory_order_seq_cst)) return false;
        std::size_t c = committed_.load(std::memory_order_relaxed);
        // A claim after this look fails: it would need next_ to be c.
        if (running_.load(std::memory_order_seq_cst) != 0 ||
            !next_.compare_exchange_strong(c, batches_, std::memory_order_seq_cst)) {
            committing_.store(false, std::memory_order_seq_cst);
            return false;
        }
        std::vector<std::uint32_t> region;
        sequential_seeds(in_, std::span<std::uint8_t>(shared_, in_.field.size()), first_seed(c),
                         in_.seeds.size(), found_, region);
        committed_.store(batches_, std::memory_order_seq_cst);
        committing_.store(false, std::memory_order_seq_cst);
        wake_waiters();
        return true;
    }

    // Sleeps until a batch beyond `seen` is committed or a thread failed, or
    // for `limit`; a cancellation point. Returns whether something changed.
    bool wait_while_committed(std::size_t seen, std::chrono::microseconds limit) {
        // Commits come every few microseconds while threads speculate: look
        // for a while before sleeping, which costs a switch of threads both
        // ways; after the first microseconds, yield the processor at each
        // look, in case the thread waited for shares it.
        const auto start = std::chrono::steady_clock::now();
        const auto until = start + limit;
        const auto spin_until = start + std::min(limit, std::chrono::microseconds(kSpin));
        const auto yield_from = start + std::chrono::microseconds(kSpinBeforeYield);
        for (unsigned k = 0;; ++k) {
            if (committed_.load(std::memory_order_acquire) != seen ||
                failed_.load(std::memory_order_relaxed))
                return true;
            if ((k & 15) == 15) {
                const auto now = std::chrono::steady_clock::now();
                if (now >= spin_until) break;
                if (now >= yield_from) {
                    std::this_thread::yield();
                    continue;
                }
            }
            spin_pause();
        }
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(wait_mutex_);
                waiters_.fetch_add(1, std::memory_order_seq_cst);
                const bool changed = committed_.load(std::memory_order_seq_cst) != seen ||
                                     failed_.load(std::memory_order_seq_cst);
                if (!changed) wait_cv_.wait_until(lock, until);
                waiters_.fetch_sub(1, std::memory_order_relaxed);
                if (changed) return true;
            }
            poll(kWaitPollWork);
            if (committed_.load(std::memory_order_acquire) != seen ||
                failed_.load(std::memory_order_relaxed))
                return true;
            if (std::chrono::steady_clock::now() >= until) return false;
        }
    }

    void wake_waiters() {
        if (waiters_.load(std::memory_order_seq_cst) == 0) return;
        { std::lock_guard<std::mutex> lock(wait_mutex_); }
        wait_cv_.notify_all();
    }

    static void spin_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    }
    // Microseconds a waiting thread looks before it sleeps, and before it
    // starts yielding between looks.
    static constexpr long kSpin = 30;
    static constexpr long kSpinBeforeYield = 3;

    // Enough to read the clock at each poll of a wait.
    static constexpr std::size_t kWaitPollWork = 1 << 20;

    const SeedLoopInput& in_;
    const std::thread::id caller_ = std::this_thread::get_id();
    const std::size_t processors_;
    std::uint8_t* shared_;
    const std::size_t batch_seeds_;
    const std::size_t batches_;
    const std::chrono::microseconds take_over_after_;
    SeedLoopHooks& hooks_;
    const bool caller_speculates_;
    const std::size_t window_;
    const std::unique_ptr<Slot[]> slots_;
    std::vector<Candidate> found_;        // appended by the committing thread
    CheckTally tally_;                    // the committing thread's checks
    std::size_t taken_over_ = 0;          // batches taken over by the committing thread
    std::atomic<bool> speculating_{true}; // false: batches are done in order
    std::atomic<std::size_t> next_{0};
    std::atomic<std::size_t> committed_{0};
    std::atomic<bool> committing_{false};
    std::atomic<bool> failed_{false};
    std::atomic<std::size_t> helpers_{0}; // pool workers in this loop now
    std::atomic<std::size_t> running_{0}; // speculations claimed and not finished
    std::atomic<std::size_t> waiters_{0};
    std::mutex wait_mutex_;
    std::condition_variable wait_cv_;
};

// Seeds the sequential loop does between two looks at whether a processor
// has become free: a few milliseconds of work at most.
constexpr std::size_t kSeedsBetweenLooks = 4096;

} // namespace

std::vector<Candidate> seed_loop_sequential(const SeedLoopInput& in, std::span<std::uint8_t> used) {
    std::vector<Candidate> found;
    std::vector<std::uint32_t> region;
    sequential_seeds(in, used, 0, in.seeds.size(), found, region);
    return found;
}

std::vector<Candidate> seed_loop_parallel(const SeedLoopInput& in, std::span<std::uint8_t> used,
                                          const SeedSchedule& schedule) {
    ParallelSeedLoop loop(in, used, schedule);
    parallel_rows(std::max<std::size_t>(schedule.threads, 1), 1, [&](std::size_t) { loop.run(); });
    return loop.result();
}

std::vector<Candidate> seed_loop(const SeedLoopInput& in, std::span<std::uint8_t> used) {
    const std::size_t workers = pool_workers();
    // One processor, or a handful of seeds: nobody would help.
    if (workers <= 1 || in.seeds.size() <= kBatchSeeds) return seed_loop_sequential(in, used);
    // While every processor is busy with a call of its own, the seeds are
    // done in order on this thread; once one is free (another call ended),
    // the parallel loop takes the rest from the marks reached so far.
    std::vector<Candidate> found;
    std::vector<std::uint32_t> region;
    std::size_t done = 0;
    while (busy_callers() >= workers) {
        const std::size_t end = std::min(done + kSeedsBetweenLooks, in.seeds.size());
        sequential_seeds(in, used, done, end, found, region);
        done = end;
        if (in.seeds.size() - done <= kBatchSeeds) {
            sequential_seeds(in, used, done, in.seeds.size(), found, region);
            return found;
        }
    }
    SeedLoopInput rest = in;
    rest.seeds = in.seeds.subspan(done);
    SeedSchedule schedule;
    schedule.threads = std::min(workers, kMaxSeedThreads);
    std::vector<Candidate> more = seed_loop_parallel(rest, used, schedule);
    found.insert(found.end(), more.begin(), more.end());
    return found;
}

} // namespace linora::detector
