// The loop over the seeds: every seed that is still free grows a region,
// which is fitted, refined and validated; a region whose score is positive
// is a found candidate.
//
// Each seed depends on the used marks that earlier seeds left, so the loop is
// defined one seed after the other (seed_loop_sequential). seed_loop_parallel
// computes the same candidates, in the same order, and leaves the same marks,
// with several threads:
//
// - Seeds are handed out in batches of consecutive seeds. A thread runs its
//   batches like the sequential loop, but against a private overlay of the
//   shared marks (OverlayMarks): its marks go to a private byte per pixel
//   (so each thread adds one byte per pixel to the call's memory), and every
//   mark it reads that another thread could still change is recorded.
// - Batches are committed strictly in seed order, by one thread at a time.
//   Marks only ever go from 0 to 1, and only finished seeds' net marks (their
//   final regions) ever reach the shared marks. So a seed saw exactly the
//   marks of the sequential loop at its turn when every pixel it found free
//   is still free and every pixel it took from its own thread's earlier seeds
//   has become used; then its work counts as it is. Otherwise that seed is
//   done again at its turn, by the committing thread, also through an
//   overlay.
// - A thread may run at most a window of batches ahead of the oldest one not
//   yet committed; while it cannot take a batch it commits, or waits. The
//   calling thread never waits long: it does the next batch itself, in
//   order, when nobody else speculates, and takes over a speculation that
//   is late (its thread stopped by the system).
#pragma once

#include "detector/types.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace linora::detector {

struct SeedLoopInput {
    std::span<const Px> field;
    std::size_t w;
    std::size_t h;
    std::span<const std::uint32_t> seeds;
    std::size_t min_size;
    double log_nt;
};

// A validated rectangle and its score (log-NFA).
struct Candidate {
    Rect rect;
    double score;
};

// The candidates in seed order. `used` holds the initial marks (the weak
// pixels) and is left with the final ones.
std::vector<Candidate> seed_loop_sequential(const SeedLoopInput& in, std::span<std::uint8_t> used);

// Consecutive seeds handed out at once: most seeds are found used or grow a
// handful of pixels, so a batch is some tens of microseconds of work.
inline constexpr std::size_t kBatchSeeds = 64;

// How seed_loop_parallel shares the work. The result never depends on it.
struct SeedSchedule {
    // At most this many threads (>= 1): the calling thread, and pool workers
    // while processors are free (BusyCaller).
    std::size_t threads = 1;
    std::size_t batch_seeds = kBatchSeeds; // seeds per batch (>= 1)
    // Tests only: speculate every batch on the initial marks (not even a
    // thread's own earlier batches count) and commit them all at the end: as
    // many conflicts as there can be.
    bool commit_at_end = false;
    // How long the calling thread waits for a speculation that the next
    // commit needs before it does that batch itself, in order: a batch is
    // some tens of microseconds of work, so a speculation this late belongs
    // to a thread that the system has stopped (other processes, other
    // calls). Tests take 0.
    std::chrono::microseconds take_over_after{1000};
    // Tests only: false keeps the calling thread from speculating, and has it
    // wait (up to a second) for a pool worker to take a batch before it
    // starts, so that it commits, and takes over, the workers' speculations;
    // and pool workers pause this long before they hand in a speculated
    // batch.
    bool caller_speculates = true;
    std::chrono::microseconds helper_pause{0};
    // If not null, receive the number of seeds done again in order because
    // their speculation saw marks that changed, and the number of batches
    // taken over.
    std::size_t* redone = nullptr;
    std::size_t* taken_over = nullptr;
};

// The same candidates and marks as seed_loop_sequential, computed by several
// threads at once.
std::vector<Candidate> seed_loop_parallel(const SeedLoopInput& in, std::span<std::uint8_t> used,
                                          const SeedSchedule& schedule);

// While alive, counts the calling thread as busy with a detection of its
// own (detect holds one for the whole call): seed loops take pool workers as
// helpers only for processors that such threads leave free.
class BusyCaller {
  public:
    BusyCaller() noexcept;
    ~BusyCaller();
    BusyCaller(const BusyCaller&) = delete;
    BusyCaller& operator=(const BusyCaller&) = delete;
};

// seed_loop_sequential when the pool has a single worker (one processor);
// otherwise seeds in order on the calling thread while every processor is
// busy with a call of its own (BusyCaller), and seed_loop_parallel with up
// to one thread per worker from the first seed at which one is free.
std::vector<Candidate> seed_loop(const SeedLoopInput& in, std::span<std::uint8_t> used);

} // namespace linora::detector
