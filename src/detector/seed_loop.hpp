// The loop over the seeds: every seed that is still free grows a region,
// which is fitted, refined and validated; a region whose score is positive
// is a found candidate.
//
// Each seed depends on the used marks that earlier seeds left, so the loop is
// defined one seed after the other (seed_loop_sequential). seed_loop_parallel
// computes the same candidates, in the same order, and leaves the same marks,
// with several threads: seeds are handed out in batches of consecutive
// seeds, which threads speculate ahead of their turn and which are committed
// strictly in seed order, one thread at a time (speculation.hpp says why
// that gives the sequential loop's result). A thread may run at most a
// window of batches ahead of the oldest one not yet committed; while it
// cannot take a batch it commits, or waits. The calling thread never waits
// long: it does the next batch itself, in order, when nobody else
// speculates, and takes over a speculation that is late (its thread stopped
// by the system). Each thread adds a byte per pixel to the call's memory.
#pragma once

#include "detector/types.hpp"

#include <chrono>
#include <cmath>
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
    // The growing tolerance's cosine, computed once for every seed.
    double cos_tolerance = std::cos(kAngleTolerance);
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

// Where tests steer the threads of seed_loop_parallel into the schedules
// they check; the loop calls these at fixed points and runs with none in
// production. Called from several threads at once.
class SeedLoopHooks {
  public:
    virtual ~SeedLoopHooks() = default;
    // Whether the calling thread speculates; if not, it only commits, does
    // batches in order and takes over the workers' speculations.
    virtual bool caller_speculates() { return true; }
    // The calling thread is about to start its work.
    virtual void caller_starts() {}
    // A pool worker has taken a batch to speculate / has speculated it and
    // is about to hand it in.
    virtual void worker_claimed() {}
    virtual void worker_speculated() {}
    // At the end: the number of seeds done again in order because their
    // speculation saw marks that changed, and of batches taken over.
    virtual void finished(std::size_t /*redone*/, std::size_t /*taken_over*/) {}
};

// How seed_loop_parallel shares the work. The result never depends on it.
struct SeedSchedule {
    // At most this many threads (>= 1): the calling thread, and pool workers
    // while processors are free (HelperSeat, pool.hpp).
    std::size_t threads = 1;
    std::size_t batch_seeds = kBatchSeeds; // seeds per batch (>= 1)
    // How long the calling thread waits for a speculation that the next
    // commit needs before it does that batch itself, in order: a batch is
    // some tens of microseconds of work, so a speculation this late belongs
    // to a thread that the system has stopped (other processes, other
    // calls). Tests take 0.
    std::chrono::microseconds take_over_after{1000};
    SeedLoopHooks* hooks = nullptr;
};

// The same candidates and marks as seed_loop_sequential, computed by several
// threads at once.
std::vector<Candidate> seed_loop_parallel(const SeedLoopInput& in, std::span<std::uint8_t> used,
                                          const SeedSchedule& schedule);

// seed_loop_sequential when the pool has a single worker (one processor);
// otherwise seeds in order on the calling thread while every processor is
// busy with a call of its own (BusyCaller, pool.hpp), and seed_loop_parallel with up
// to one thread per worker from the first seed at which one is free.
std::vector<Candidate> seed_loop(const SeedLoopInput& in, std::span<std::uint8_t> used);

} // namespace linora::detector
