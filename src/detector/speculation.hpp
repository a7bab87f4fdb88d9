// Speculation: running seeds ahead of their turn against marks that are not
// final yet, recording what each seed read, and committing the seeds at their
// turn, in order. Everything here is single-threaded: one thread speculates a
// batch into its own record, one thread at a time commits. Which thread does
// what, and when, is the seed loop's business (seed_loop.cpp).
//
// Why a committed speculation gives the sequential loop's result. Each seed
// depends only on the used marks at its turn, and it reads them only through
// is_free. Marks only ever go from 0 to 1 in the shared marks, and only
// committed seeds' final regions ever reach them. A speculating thread sees
// the shared marks, plus its own earlier seeds' regions (not final yet: they
// count as used, and each such read is recorded as a "used read"), and every
// pixel it takes (finds free and marks) is recorded as a "read". A pixel
// found free and not taken changed nothing: the algorithms either take a
// free pixel or pass it by, and passing it by is what they do with a used
// one. At the seed's turn, every seed before it committed, the marks it
// would see are the shared marks. So when every taken pixel is still free
// and every used read has become used, the seed at its turn would take the
// same pixels in the same order and pass by the same others: it computed
// what the sequential loop computes, and its region and candidate count as
// they are. Otherwise it is done again at its turn, alone; the seeds after
// it recorded what they saw of its marks and are checked in turn.
//
// The overlay records its reads itself, in mark and is_free, so no algorithm
// that reaches marks through it can leave a read unrecorded.
#pragma once

#include "buffer.hpp"
#include "detector/seed_loop.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace linora::detector {

// A thread's own marks: two bits per pixel, four pixels to a byte, so that
// a thread's marks of a large image stay in its processor's nearer caches
// (a byte per pixel is as large as the shared marks, and growing would miss
// on both). kMine marks the region of the seed at work, kPrior the thread's
// earlier seeds' regions, not final yet. Zeroed when made.
class OwnMarks {
  public:
    static constexpr std::uint8_t kMine = 1;
    static constexpr std::uint8_t kPrior = 2;

    explicit OwnMarks(std::size_t pixels) : bits_((pixels + 3) / 4) {}

    // n's two bits, in the marks at `bits` (an OwnMarks' data()).
    static std::uint8_t get(const std::uint8_t* bits, std::size_t n) noexcept {
        return static_cast<std::uint8_t>(bits[n >> 2] >> shift(n)) & 3;
    }
    static void set(std::uint8_t* bits, std::size_t n, std::uint8_t mark) noexcept {
        bits[n >> 2] |= static_cast<std::uint8_t>(mark << shift(n));
    }
    static void clear(std::uint8_t* bits, std::size_t n, std::uint8_t mark) noexcept {
        bits[n >> 2] &= static_cast<std::uint8_t>(~(mark << shift(n)));
    }
    static void prefetch(const std::uint8_t* bits, std::size_t n) noexcept {
        __builtin_prefetch(bits + (n >> 2));
    }

    std::uint8_t* data() noexcept { return bits_.data(); }
    void set(std::size_t n, std::uint8_t mark) noexcept { set(data(), n, mark); }
    void clear(std::size_t n, std::uint8_t mark) noexcept { clear(data(), n, mark); }

  private:
    static unsigned shift(std::size_t n) noexcept { return static_cast<unsigned>(n & 3) * 2; }
    Buffer<std::uint8_t> bits_;
};

// A speculating thread's view of the shared marks (which other threads read
// at the same time, and one thread at a time extends with final marks) over
// its own marks: the seed at work's are kMine (no seed's kMine marks outlive
// it), the thread's earlier seeds' regions, not final yet, kPrior; both count
// as used. Nothing here writes the shared marks: another thread never sees a
// mark that may still be taken back.
class OverlayMarks {
  public:
    // Every pixel marked is recorded in `reads`, every kPrior pixel found in
    // `used_reads`.
    OverlayMarks(std::uint8_t* shared, OwnMarks& own, std::vector<std::uint32_t>& reads,
                 std::vector<std::uint32_t>& used_reads)
        : shared_(shared), own_(own.data()), reads_(&reads), used_reads_(&used_reads) {}

    bool is_free(std::size_t n) const {
        if (shared_mark(shared_, n) & 1) return false;
        const std::uint8_t v = OwnMarks::get(own_, n);
        if (v == 0) return true;
        if (!(v & OwnMarks::kMine)) used_reads_->push_back(static_cast<std::uint32_t>(n));
        return false;
    }
    void mark(std::size_t n) {
        OwnMarks::set(own_, n, OwnMarks::kMine);
        reads_->push_back(static_cast<std::uint32_t>(n));
    }
    void unmark(std::size_t n) noexcept { OwnMarks::clear(own_, n, OwnMarks::kMine); }
    void prefetch(std::size_t n) const noexcept {
        __builtin_prefetch(shared_ + n);
        OwnMarks::prefetch(own_, n);
    }
    // Whether n looks used in the shared marks, for hints only (not recorded).
    bool hint_used(std::size_t n) const noexcept { return shared_mark(shared_, n) & 1; }

    // Shared marks are read and written by several threads at once: always
    // through these (relaxed atomic byte accesses, plain moves on x86-64 and
    // aarch64; the compiler's builtins, as std::atomic_ref is missing from
    // older C++ libraries). Correctness rests on bit 0 only ever going from
    // 0 to 1 (bit 1, TurnMarks', comes and goes, and only its thread looks
    // at it), not on the order in which other threads see the marks.
    static std::uint8_t shared_mark(std::uint8_t* shared, std::size_t n) noexcept {
        return __atomic_load_n(shared + n, __ATOMIC_RELAXED);
    }
    static void store_shared_mark(std::uint8_t* shared, std::size_t n, std::uint8_t v) noexcept {
        __atomic_store_n(shared + n, v, __ATOMIC_RELAXED);
    }
    static void set_shared_mark(std::uint8_t* shared, std::size_t n) noexcept {
        store_shared_mark(shared, n, 1);
    }

  private:
    std::uint8_t* shared_;
    std::uint8_t* own_; // an OwnMarks' bits
    std::vector<std::uint32_t>* reads_;
    std::vector<std::uint32_t>* used_reads_;
};

// A seed at its turn (every seed before it committed) while other threads
// read the shared marks: its marks are bit 1 of the shared marks, which the
// other threads' tests ignore (they test bit 0, OverlayMarks), until its end
// makes its final region bit 0 (finish). A free pixel's mark is 0, as only
// bit 0 is ever set for good. One thread at a time marks this way: the one
// that commits.
class TurnMarks {
  public:
    static constexpr std::uint8_t kTurn = 2;

    explicit TurnMarks(std::uint8_t* shared) noexcept : shared_(shared) {}

    bool is_free(std::size_t n) const noexcept {
        return !(OverlayMarks::shared_mark(shared_, n) & (1 | kTurn));
    }
    void mark(std::size_t n) noexcept { OverlayMarks::store_shared_mark(shared_, n, kTurn); }
    void unmark(std::size_t n) noexcept { OverlayMarks::store_shared_mark(shared_, n, 0); }
    void prefetch(std::size_t n) const noexcept { __builtin_prefetch(shared_ + n); }
    bool hint_used(std::size_t n) const noexcept {
        return OverlayMarks::shared_mark(shared_, n) & 1;
    }
    // The seed's net marks, `region`, become final.
    void finish(const std::vector<std::uint32_t>& region) noexcept {
        for (std::uint32_t p : region)
            OverlayMarks::set_shared_mark(shared_, p);
    }

  private:
    std::uint8_t* shared_;
};

// A seed of a speculated batch that was not found used in the shared marks:
// either it grew a region, or it was found among the thread's own earlier
// marks (which must then have become final).
struct Speculated {
    std::uint32_t offset; // its position in the batch
    bool found;
    std::size_t reads_end;      // its reads are BatchRecord::reads up to here
    std::size_t used_reads_end; // its used reads are BatchRecord::used_reads up to here
    std::size_t marks_end;      // its region is BatchRecord::marks up to here
    Candidate candidate;
};

// What a speculated batch leaves for its commit. Its buffers are reused.
struct BatchRecord {
    std::vector<std::uint32_t> reads;      // pixels taken (found free, then marked)
    std::vector<std::uint32_t> used_reads; // pixels found used by the thread's earlier seeds
    std::vector<std::uint32_t> marks;      // the grown seeds' final regions
    std::vector<Speculated> seeds;
};

// What a thread keeps for itself between batches: its own marks (no kMine
// between seeds), the batches behind its kPrior marks, and buffers.
struct ThreadOverlay {
    explicit ThreadOverlay(std::size_t pixels) : own(pixels) {}

    // Keeps the marks of this thread's batch `batch` as kPrior until
    // release_before passes it.
    void hold(std::size_t batch, const std::vector<std::uint32_t>& marks);
    // Forgets the kPrior marks of this thread's batches before `committed`:
    // the final ones are in the shared marks now, and those of seeds that
    // were done again must not count any more.
    void release_before(std::size_t committed);

    OwnMarks own;
    std::vector<std::uint32_t> region;

  private:
    // A batch of this thread whose marks are kPrior in `own`.
    struct Pending {
        std::size_t batch;
        std::vector<std::uint32_t> marks;
    };
    // Oldest first: entries [pending_head_, pending_end_); the entries keep
    // their buffers for reuse.
    std::vector<Pending> pending_;
    std::size_t pending_head_ = 0;
    std::size_t pending_end_ = 0;
};

// Counts the checked speculated seeds and tells when speculation only redoes
// work: more than kRedoneLimit of kRedoneWindow consecutive checked seeds
// were redone. The image is then one where every region takes pixels that
// the next ones read (a tilted plane), so speculation only doubles the work.
// On photographs a few hundred of tens of thousands are redone, scattered.
class CheckTally {
  public:
    static constexpr std::size_t kRedoneWindow = 32;
    static constexpr std::size_t kRedoneLimit = 24;

    void count(bool redone) noexcept;
    std::size_t redone() const noexcept { return redone_; }
    bool only_redoing() const noexcept { return only_redoing_; }

  private:
    std::size_t redone_ = 0;
    std::size_t window_checked_ = 0;
    std::size_t window_redone_ = 0;
    bool only_redoing_ = false;
};

// Speculates seeds [first, last) of the loop, which form batch `batch`: runs
// them like the sequential loop through the thread's overlay over `shared`,
// into `record`. Their regions stay kPrior marks of the thread until
// release_before passes the batch.
void speculate_batch(const SeedLoopInput& in, std::size_t batch, std::size_t first,
                     std::size_t last, std::uint8_t* shared, ThreadOverlay& thread,
                     BatchRecord& record);

// Commits a speculated batch whose first seed is `first`, at its turn (every
// seed before it committed): each seed whose reads hold has its region set
// in the shared marks and its candidate appended to `found`; the others are
// done again in order by `thread` (seeds_in_order). Every check is counted
// in `tally`. Seeds found used in the shared marks while speculating stay
// used (marks are final) and left no record.
void commit_batch(const SeedLoopInput& in, const BatchRecord& record, std::size_t first,
                  std::uint8_t* shared, ThreadOverlay& thread, std::vector<Candidate>& found,
                  CheckTally& tally);

// Seeds [first, last) at their turn (every seed before them committed),
// through TurnMarks (no other thread's test sees a mark that refinement may
// still take back); each seed's region becomes final shared marks at its
// end, its candidate is appended to `found`. `thread` lends its buffers.
void seeds_in_order(const SeedLoopInput& in, std::size_t first, std::size_t last,
                    std::uint8_t* shared, ThreadOverlay& thread, std::vector<Candidate>& found);

} // namespace linora::detector
