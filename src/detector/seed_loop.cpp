#include "detector/seed_loop.hpp"

#include "buffer.hpp"
#include "cancel.hpp"
#include "detector/marks.hpp"
#include "detector/nfa.hpp"
#include "detector/refine.hpp"
#include "detector/region.hpp"
#include "pool.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace linora::detector {

namespace {

// Seeds lie scattered over the raster: the marks of the seed kSeedMarksAhead
// places ahead, and the cells around the seed kSeedCellsAhead places ahead
// when it is still free, are requested early so that their cache misses
// overlap the work on the current seed. A hint only.
constexpr std::size_t kSeedMarksAhead = 16;
constexpr std::size_t kSeedCellsAhead = 4;

template <MarkAccess Marks>
void prefetch_seed(const SeedLoopInput& in, std::size_t i, const Marks& marks) {
    if (i + kSeedMarksAhead < in.seeds.size()) marks.prefetch(in.seeds[i + kSeedMarksAhead]);
    if (i + kSeedCellsAhead < in.seeds.size()) {
        const std::size_t s = in.seeds[i + kSeedCellsAhead];
        if (marks.hint_used(s)) return;
        __builtin_prefetch(&in.field[s]);
        if (s >= in.w) __builtin_prefetch(&in.field[s - in.w]);
        if (s + in.w < in.field.size()) __builtin_prefetch(&in.field[s + in.w]);
    }
}

// The work on a free seed: grow (marking the region), fit, refine, improve
// and validate. Returns true with the candidate in `out` when the score is
// above 0 (or NaN). The region is left in `region`; its pixels are the
// seed's net marks.
template <MarkAccess Marks>
bool grow_candidate(std::uint32_t seed, const SeedLoopInput& in, Marks& marks,
                    std::vector<std::uint32_t>& region, Candidate& out) {
    double angle = grow_region(seed, in.field, marks, region, in.w, in.h, kAngleTolerance);
    if (region.size() < in.min_size) return false;
    Rect rect = region_to_rect(region, in.field, in.w, angle, kPointProbability);
    if (!refine(region, angle, rect, marks, in.field, in.min_size, in.w, in.h)) return false;
    const double score = improve_rect(rect, in.field, in.w, in.h, kGradientThreshold, in.log_nt);
    if (score <= 0.0) return false;
    out = Candidate{rect, score};
    return true;
}

// Seeds [begin, end) of the sequential loop, their candidates appended to
// `found`. Between two seeds the marks are final, so the loop may stop at
// any seed and go on later, or be handed to the parallel loop.
void sequential_seeds(const SeedLoopInput& in, std::span<std::uint8_t> used, std::size_t begin,
                      std::size_t end, std::vector<Candidate>& found,
                      std::vector<std::uint32_t>& region) {
    DirectMarks marks(used);
    for (std::size_t i = begin; i < end; ++i) {
        prefetch_seed(in, i, marks);
        const std::uint32_t seed = in.seeds[i];
        if (!marks.is_free(seed)) continue;
        // A cancellation point per candidate (the long steps inside poll too).
        poll();
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
// Speculation stops for the rest of a call when, among kRedoneWindow
// consecutive speculated seeds checked at commit, more than kRedoneLimit had
// to be done again: the image is one where every region takes pixels that
// the next ones read (a tilted plane), so speculation only doubles the work.
// On photographs a few hundred of tens of thousands are redone, scattered.
constexpr std::size_t kRedoneWindow = 32;
constexpr std::size_t kRedoneLimit = 24;
// Batches a thread may run ahead per thread at the start of a call.
constexpr std::size_t kInitialWindowPerThread = 2;

// A seed of a speculated batch that was not found used in the shared marks:
// either it grew a region, or it was found among this thread's own earlier
// marks (which must then have become final).
struct Speculated {
    std::uint32_t offset; // its position in the batch
    bool found;
    std::size_t reads_end;      // its reads are Slot::reads up to here
    std::size_t used_reads_end; // its used reads are Slot::used_reads up to here
    std::size_t marks_end;      // its region is Slot::marks up to here
    Candidate candidate;
};

// Where a batch is: Free (its slot holds nothing; the batch may not be taken
// yet), Speculating (a thread writes the slot), Done (the slot holds the
// speculation, for the committing thread) or TakenOver (another thread did
// the batch in order; the speculating thread frees the slot when it ends).
enum class SlotState : int { Free, Speculating, Done, TakenOver };

// The result of a speculated batch, written by the thread that runs it and
// read by the committing thread once the state is Done.
struct Slot {
    std::atomic<SlotState> state{SlotState::Free};
    std::vector<std::uint32_t> reads;      // pixels found free, passed over or let go
    std::vector<std::uint32_t> used_reads; // pixels found used by the thread's earlier seeds
    std::vector<std::uint32_t> marks;      // the grown seeds' final regions
    std::vector<Speculated> seeds;
};

// A batch of this thread whose marks are kPrior in its `own` bytes.
struct Pending {
    std::size_t batch;
    std::vector<std::uint32_t> marks;
};

// What a thread keeps for itself: the bytes of its overlay (no kMine or
// kMineInOrder between seeds), the batches behind its kPrior marks, and
// buffers. One byte per pixel and thread.
struct ThreadState {
    explicit ThreadState(std::size_t pixels) : own(pixels) {}
    Buffer<std::uint8_t> own; // zeroed
    // Oldest first: entries [pending_head, pending_end); the entries keep
    // their buffers for reuse.
    std::vector<Pending> pending;
    std::size_t pending_head = 0;
    std::size_t pending_end = 0;
    std::vector<std::uint32_t> region;
    std::vector<std::uint32_t> reads; // reads of seeds done in order (not needed)
    std::vector<std::uint32_t> used_reads;
};

// Threads in detection calls (their calling threads, each computing its own
// call) and pool workers helping a seed loop, process-wide. A seed loop takes
// helpers only while the callers leave processors free: several calls at
// once each run their seeds on their own thread, without the overhead of
// speculation, and the call that runs alone gets the spare processors.
std::atomic<std::size_t> g_busy_callers{0};
std::atomic<std::size_t> g_helpers{0};

class ParallelSeedLoop {
  public:
    ParallelSeedLoop(const SeedLoopInput& in, std::span<std::uint8_t> used,
                     const SeedSchedule& schedule)
        : in_(in), processors_(std::max<std::size_t>(schedule.threads, 1)), shared_(used.data()),
          batch_seeds_(std::max<std::size_t>(schedule.batch_seeds, 1)),
          batches_((in.seeds.size() + batch_seeds_ - 1) / batch_seeds_),
          commit_at_end_(schedule.commit_at_end), take_over_after_(schedule.take_over_after),
          caller_speculates_(schedule.caller_speculates), helper_pause_(schedule.helper_pause),
          window_(commit_at_end_ ? std::max<std::size_t>(batches_, 1)
                                 : kWindowPerThread * std::max<std::size_t>(schedule.threads, 1)),
          slots_(new Slot[window_]) {}

    // The work of one thread. The calling thread stays until every batch is
    // committed: it speculates when it can, commits what is finished, does
    // the next batch itself, in order, when nobody has taken it, and takes
    // over a speculation that is much too late; so it never waits for a
    // thread that does not run. A pool worker joins only while a processor
    // is free (see g_helpers), speculates and commits, and leaves when no
    // batch is left to take or no processor is free any more.
    void run() {
        const bool helper = std::this_thread::get_id() != caller_;
        if (helper && !join_as_helper()) return;
        if (helper) {
            helpers_.fetch_add(1, std::memory_order_relaxed);
        } else if (!caller_speculates_ && processors_ > 1) {
            const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            while (!helper_claimed_.load(std::memory_order_relaxed) &&
                   std::chrono::steady_clock::now() < give_up)
                std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        struct Leave {
            bool helper;
            std::atomic<std::size_t>& helpers;
            ~Leave() {
                if (!helper) return;
                helpers.fetch_sub(1, std::memory_order_relaxed);
                g_helpers.fetch_sub(1, std::memory_order_relaxed);
            }
        } leave{helper, helpers_};
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
        ThreadState ts(in_.field.size());
        work(ts, helper);
        stop_others.done = true;
    }

    // After every thread has returned from run().
    std::vector<Candidate> result() {
        if (commit_at_end_) {
            ThreadState ts(in_.field.size());
            advance(ts, false);
        }
        if (committed_.load(std::memory_order_acquire) != batches_)
            throw InternalError("seed loop: a batch was left uncommitted");
        return std::move(found_);
    }

    std::size_t redone() const { return redone_; }
    std::size_t taken_over() const { return taken_over_; }

  private:
    // The loop of run(): returns when this thread's part is over.
    void work(ThreadState& ts, bool helper) {
        for (;;) {
            if (failed_.load(std::memory_order_relaxed)) return;
            if (!commit_at_end_) advance(ts, false);
            if (!speculating_.load(std::memory_order_relaxed) && (helper || finish_in_order()))
                return;
            std::size_t b;
            if (!(helper && over_budget()) && (helper || caller_speculates_) && claim(b)) {
                if (helper) helper_claimed_.store(true, std::memory_order_relaxed);
                speculate(b, ts);
                if (helper && helper_pause_.count() > 0) std::this_thread::sleep_for(helper_pause_);
                finish(b);
                continue;
            }
            if (helper || commit_at_end_) {
                if (next_.load(std::memory_order_acquire) >= batches_ || (helper && over_budget()))
                    return;
            } else if (committed_.load(std::memory_order_acquire) >= batches_) {
                return;
            }
            // Nothing to take and nothing to commit yet: wait a little, then
            // do the next batch in order if it is still not there.
            const std::size_t seen = committed_.load(std::memory_order_acquire);
            if (!wait_while_committed(seen, take_over_after_) && !helper && !commit_at_end_)
                advance(ts, true);
        }
    }

    bool join_as_helper() const {
        std::size_t h = g_helpers.load(std::memory_order_relaxed);
        while (h + g_busy_callers.load(std::memory_order_relaxed) < processors_)
            if (g_helpers.compare_exchange_weak(h, h + 1, std::memory_order_relaxed)) return true;
        return false;
    }
    bool over_budget() const {
        return g_helpers.load(std::memory_order_relaxed) +
                   g_busy_callers.load(std::memory_order_relaxed) >
               processors_;
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
            // (see count_check) has speculated little before it stops.
            const std::size_t open =
                commit_at_end_ ? window_
                               : std::min(window_, kInitialWindowPerThread * processors_ + c);
            if (b >= c + open) return false;
            Slot& slot = slots_[b % window_];
            if (slot.state.load(std::memory_order_acquire) != SlotState::Free) return false;
            if (next_.compare_exchange_weak(b, b + 1, std::memory_order_relaxed)) {
                slot.state.store(SlotState::Speculating, std::memory_order_relaxed);
                return true;
            }
        }
    }

    // The end of a speculation: Done for the committing thread, unless the
    // batch was taken over meanwhile; then the slot is simply free again.
    void finish(std::size_t b) {
        Slot& slot = slots_[b % window_];
        SlotState expected = SlotState::Speculating;
        if (!slot.state.compare_exchange_strong(expected, SlotState::Done,
                                                std::memory_order_seq_cst))
            slot.state.store(SlotState::Free, std::memory_order_release);
    }

    // Runs batch b like the sequential loop, through this thread's overlay,
    // and records what the committing thread needs. The marks of this
    // thread's earlier batches stay in `prior` until those are committed.
    void speculate(std::size_t b, ThreadState& ts) {
        release_committed(ts);
        Slot& slot = slots_[b % window_];
        slot.reads.clear();
        slot.used_reads.clear();
        slot.marks.clear();
        slot.seeds.clear();
        OverlayMarks marks(shared_, ts.own.data(), true, slot.reads, slot.used_reads);
        const std::size_t first = b * batch_seeds_;
        const std::size_t last = std::min(first + batch_seeds_, in_.seeds.size());
        for (std::size_t i = first; i < last; ++i) {
            prefetch_seed(in_, i, marks);
            const std::uint32_t seed = in_.seeds[i];
            const std::size_t used_before = slot.used_reads.size();
            const auto offset = static_cast<std::uint32_t>(i - first);
            if (!marks.is_free(seed)) {
                // Used in the shared marks: final. Used by an earlier seed of
                // this thread: to be checked.
                if (slot.used_reads.size() != used_before)
                    slot.seeds.push_back({offset,
                                          false,
                                          slot.reads.size(),
                                          slot.used_reads.size(),
                                          slot.marks.size(),
                                          {}});
                continue;
            }
            poll();
            Candidate c;
            const bool found = grow_candidate(seed, in_, marks, ts.region, c);
            for (std::uint32_t p : ts.region)
                ts.own[p] = OverlayMarks::kPrior;
            slot.marks.insert(slot.marks.end(), ts.region.begin(), ts.region.end());
            slot.seeds.push_back(
                {offset, found, slot.reads.size(), slot.used_reads.size(), slot.marks.size(), c});
        }
        if (ts.pending_head == ts.pending_end) ts.pending_head = ts.pending_end = 0;
        if (ts.pending_end == ts.pending.size()) ts.pending.emplace_back();
        Pending& pending = ts.pending[ts.pending_end++];
        pending.batch = b;
        pending.marks.assign(slot.marks.begin(), slot.marks.end());
    }

    // Forgets the marks of this thread's batches that are committed: the
    // final ones are in the shared marks now, and those of seeds that were
    // done again must not count any more.
    void release_committed(ThreadState& ts) {
        // In the tests' schedule every batch starts from the initial marks.
        const std::size_t c =
            commit_at_end_ ? batches_ : committed_.load(std::memory_order_acquire);
        for (; ts.pending_head < ts.pending_end && ts.pending[ts.pending_head].batch < c;
             ++ts.pending_head)
            for (std::uint32_t p : ts.pending[ts.pending_head].marks)
                ts.own[p] &= static_cast<std::uint8_t>(~OverlayMarks::kPrior);
    }

    // Commits the batches that come next, one thread at a time: a finished
    // speculation is checked and committed, a batch nobody has taken is done
    // in order right away, and with `take_over` a speculation still running
    // is taken over and done in order. A thread that finishes a speculation
    // while another commits leaves it to that one, which looks again after it
    // stops committing.
    void advance(ThreadState& ts, bool take_over) {
        for (;;) {
            if (committing_.exchange(true, std::memory_order_seq_cst)) return;
            std::size_t c = committed_.load(std::memory_order_relaxed);
            while (c < batches_) {
                Slot& slot = slots_[c % window_];
                std::size_t n = c;
                if (slot.state.load(std::memory_order_acquire) == SlotState::Done) {
                    commit(c, ts);
                    slot.state.store(SlotState::Free, std::memory_order_release);
                } else if (!commit_at_end_ &&
                           (take_over || helpers_.load(std::memory_order_relaxed) == 0) &&
                           next_.load(std::memory_order_relaxed) == c &&
                           next_.compare_exchange_strong(n, c + 1, std::memory_order_relaxed)) {
                    // Nobody took it, and nobody else speculates (or the wait
                    // was long): no reason to speculate.
                    in_order(c, 0, ts);
                } else if (take_over &&
                           slot.state.load(std::memory_order_relaxed) == SlotState::Speculating) {
                    SlotState expected = SlotState::Speculating;
                    if (!slot.state.compare_exchange_strong(expected, SlotState::TakenOver,
                                                            std::memory_order_acq_rel))
                        continue; // it has just finished: commit it
                    in_order(c, 0, ts);
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

    // Takes batch b's seeds in order. A speculated seed counts as it is when
    // every pixel it found free is still free (those it passed over or let
    // go, and its final region) and every pixel it found used by the
    // thread's earlier seeds has become used: then its region becomes shared
    // marks and its candidate is kept. Otherwise the seed is done again,
    // alone: the seeds after it recorded what they saw of its marks and are
    // checked in turn. Seeds found used in the shared marks while speculating
    // stay used (marks are final) and left no record.
    void commit(std::size_t b, ThreadState& ts) {
        const Slot& slot = slots_[b % window_];
        std::size_t r = 0;
        std::size_t u = 0;
        std::size_t m = 0;
        auto is_used = [&](std::uint32_t p) { return OverlayMarks::shared_mark(shared_, p) & 1; };
        for (const Speculated& s : slot.seeds) {
            // A region may cover most of the image: a cancellation point per
            // seed, counting its records.
            poll(s.reads_end - r + s.marks_end - m + 1);
            bool holds = true;
            for (; r < s.reads_end && holds; ++r)
                holds = !is_used(slot.reads[r]);
            for (; u < s.used_reads_end && holds; ++u)
                holds = is_used(slot.used_reads[u]);
            for (std::size_t k = m; k < s.marks_end && holds; ++k)
                holds = !is_used(slot.marks[k]);
            r = s.reads_end;
            u = s.used_reads_end;
            count_check(!holds);
            if (!holds) {
                m = s.marks_end;
                ++redone_;
                in_order(b, s.offset, ts, 1);
                continue;
            }
            for (; m < s.marks_end; ++m)
                OverlayMarks::set_shared_mark(shared_, slot.marks[m]);
            if (s.found) found_.push_back(s.candidate);
        }
    }

    // Once speculation has stopped and every batch taken is committed, the
    // calling thread does all the rest as the sequential loop does, directly
    // on the shared marks: no other thread touches them any more (no batch
    // can be taken, and this thread holds the commit). Returns false, having
    // done nothing, while a batch is still out or another thread commits.
    bool finish_in_order() {
        if (committing_.exchange(true, std::memory_order_seq_cst)) return false;
        std::size_t c = committed_.load(std::memory_order_relaxed);
        if (!next_.compare_exchange_strong(c, batches_, std::memory_order_seq_cst)) {
            committing_.store(false, std::memory_order_seq_cst);
            return false;
        }
        std::vector<std::uint32_t> region;
        sequential_seeds(in_, std::span<std::uint8_t>(shared_, in_.field.size()), c * batch_seeds_,
                         in_.seeds.size(), found_, region);
        committed_.store(batches_, std::memory_order_seq_cst);
        committing_.store(false, std::memory_order_seq_cst);
        wake_waiters();
        return true;
    }

    // Counts a checked speculated seed (committing thread) and stops the
    // speculation when too many of the last ones were redone.
    void count_check(bool redone) {
        window_redone_ += redone ? 1 : 0;
        if (++window_checked_ < kRedoneWindow) return;
        if (window_redone_ > kRedoneLimit && !commit_at_end_)
            speculating_.store(false, std::memory_order_relaxed);
        window_checked_ = window_redone_ = 0;
    }

    // Seeds [from, from + count) of batch b at their turn (every seed before
    // them committed), through an overlay without this thread's earlier
    // marks (another thread must never see a mark that refinement may still
    // take back); each seed's region becomes shared marks at its end.
    void in_order(std::size_t b, std::size_t from, ThreadState& ts,
                  std::size_t count = static_cast<std::size_t>(-1)) {
        OverlayMarks marks(shared_, ts.own.data(), false, ts.reads, ts.used_reads);
        const std::size_t first = b * batch_seeds_ + from;
        const std::size_t last =
            std::min({b * batch_seeds_ + batch_seeds_, in_.seeds.size(),
                      count > batch_seeds_ ? in_.seeds.size() : first + count});
        for (std::size_t i = first; i < last; ++i) {
            prefetch_seed(in_, i, marks);
            const std::uint32_t seed = in_.seeds[i];
            ts.reads.clear();
            if (!marks.is_free(seed)) continue;
            poll();
            Candidate c;
            const bool found = grow_candidate(seed, in_, marks, ts.region, c);
            for (std::uint32_t p : ts.region) {
                OverlayMarks::set_shared_mark(shared_, p);
                ts.own[p] &= static_cast<std::uint8_t>(~OverlayMarks::kMineInOrder);
            }
            if (found) found_.push_back(c);
        }
        ts.reads.clear();
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
    const bool commit_at_end_;
    const std::chrono::microseconds take_over_after_;
    const bool caller_speculates_;
    const std::chrono::microseconds helper_pause_;
    const std::size_t window_;
    const std::unique_ptr<Slot[]> slots_;
    std::vector<Candidate> found_;        // appended by the committing thread
    std::size_t redone_ = 0;              // seeds done again by the committing thread
    std::size_t taken_over_ = 0;          // batches taken over by the committing thread
    std::size_t window_checked_ = 0;      // speculated seeds checked in this window
    std::size_t window_redone_ = 0;       // of those, redone
    std::atomic<bool> speculating_{true}; // false: batches are done in order
    std::atomic<std::size_t> next_{0};
    std::atomic<std::size_t> committed_{0};
    std::atomic<bool> committing_{false};
    std::atomic<bool> failed_{false};
    std::atomic<bool> helper_claimed_{false}; // tests: a pool worker took a batch
    std::atomic<std::size_t> helpers_{0};     // pool workers in this loop now
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
    std::vector<Candidate> found = loop.result();
    if (schedule.redone != nullptr) *schedule.redone = loop.redone();
    if (schedule.taken_over != nullptr) *schedule.taken_over = loop.taken_over();
    return found;
}

BusyCaller::BusyCaller() noexcept {
    g_busy_callers.fetch_add(1, std::memory_order_relaxed);
}
BusyCaller::~BusyCaller() {
    g_busy_callers.fetch_sub(1, std::memory_order_relaxed);
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
    while (g_busy_callers.load(std::memory_order_relaxed) >= workers) {
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
