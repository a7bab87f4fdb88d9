// The seed loop: speculation committed in order, and the parallel loop,
// against the sequential loop on images from friendly to hostile.
#include "detector/driver.hpp"
#include "detector/level_lines.hpp"
#include "detector/seed_loop.hpp"
#include "detector/speculation.hpp"
#include "images.hpp"
#include "pool.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace {

using namespace linora::detector;
using test_images::rotated_rectangle;

// Images for the seed loop, from friendly to hostile: noise (many tiny
// regions), a noisy rotated rectangle, a clutter of crossing bars of every
// width and direction (touching and crossing regions), one long edge whose
// pixels are all consecutive seeds of one bin, concentric rings, and a ramp
// that is a single region, where every speculated seed conflicts.
struct LoopImage {
    const char* name;
    std::size_t w, h;
    std::vector<double> pixels;
};

std::vector<LoopImage> loop_images() {
    std::vector<LoopImage> v;
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    {
        LoopImage im{"noise", 120, 90, {}};
        for (std::size_t i = 0; i < im.w * im.h; ++i)
            im.pixels.push_back(std::floor(u(rng) * 256.0));
        v.push_back(im);
    }
    {
        const std::vector<std::uint8_t> r = rotated_rectangle(160, 120, 0.35, 12.0, 5u);
        v.push_back({"rectangle", 160, 120, std::vector<double>(r.begin(), r.end())});
    }
    {
        LoopImage im{"bars", 160, 120, std::vector<double>(160 * 120, 100.0)};
        for (int b = 0; b < 40; ++b) {
            const double a = u(rng) * 3.14159, c = std::cos(a), s = std::sin(a);
            const double ox = u(rng) * im.w, oy = u(rng) * im.h, half = 0.5 + u(rng) * 4.0;
            const double level = std::floor(u(rng) * 256.0);
            for (std::size_t y = 0; y < im.h; ++y)
                for (std::size_t x = 0; x < im.w; ++x)
                    if (std::fabs(-s * (x - ox) + c * (y - oy)) <= half)
                        im.pixels[y * im.w + x] = level;
        }
        for (double& p : im.pixels)
            p += std::floor(u(rng) * 5.0);
        v.push_back(im);
    }
    {
        LoopImage im{"long edge", 300, 40, {}};
        for (std::size_t y = 0; y < im.h; ++y)
            for (std::size_t x = 0; x < im.w; ++x)
                im.pixels.push_back(y < 20 ? 40.0 : 200.0);
        v.push_back(im);
    }
    {
        LoopImage im{"rings", 120, 120, {}};
        for (std::size_t y = 0; y < im.h; ++y)
            for (std::size_t x = 0; x < im.w; ++x)
                im.pixels.push_back(std::fmod(std::hypot(x - 60.0, y - 60.0), 12.0) < 6.0 ? 60.0
                                                                                          : 180.0);
        v.push_back(im);
    }
    {
        // Every region takes pixels that the next seeds read: speculation
        // is redone seed after seed, until the loop stops speculating.
        LoopImage im{"tilted plane", 40, 40, {}};
        for (std::size_t y = 0; y < im.h; ++y)
            for (std::size_t x = 0; x < im.w; ++x)
                im.pixels.push_back(static_cast<double>(static_cast<float>(
                    static_cast<double>(x) * 3.7 + static_cast<double>(y) * 5.1)));
        v.push_back(im);
    }
    {
        LoopImage im{"ramp", 48, 32, {}};
        for (std::size_t y = 0; y < im.h; ++y)
            for (std::size_t x = 0; x < im.w; ++x)
                im.pixels.push_back(10.0 * static_cast<double>(x));
        v.push_back(im);
    }
    return v;
}

// A seed loop's input made from an image (seeds by norm, the weak pixels
// marked used), with the sequential loop's candidates and marks.
struct LoopCase {
    explicit LoopCase(const LoopImage& im)
        : field(level_line_field<double>(im.pixels, im.w, im.h)),
          seeds(seeds_by_norm(field, kGradientThreshold)),
          lnt(log_nt(im.w, im.h)), in{field, im.w, im.h, seeds, min_region_size(lnt), lnt},
          initial(field.size()) {
        for (std::size_t i = 0; i < field.size(); ++i)
            initial[i] = field[i].norm <= kGradientThreshold ? 1 : 0;
        want_used = initial;
        want = seed_loop_sequential(in, want_used);
    }

    // A loop gave the sequential loop's candidates, bit for bit and in
    // order, and left its marks.
    void expect_sequential(const std::vector<Candidate>& got,
                           const std::vector<std::uint8_t>& used) const {
        ASSERT_EQ(got.size(), want.size());
        if (!want.empty()) { // memcmp must not see the null data of empty vectors
            EXPECT_EQ(std::memcmp(got.data(), want.data(), want.size() * sizeof(Candidate)), 0);
        }
        EXPECT_EQ(used, want_used);
    }

    Array<Px> field;
    std::vector<std::uint32_t> seeds;
    double lnt;
    SeedLoopInput in;
    std::vector<std::uint8_t> initial;
    std::vector<std::uint8_t> want_used;
    std::vector<Candidate> want;
};

// Speculating every batch before any is committed, and committing them all
// in order, gives the sequential loop's candidates and marks: each batch on
// the initial marks alone, or the batches dealt round to two or three
// threads' overlays, on which each thread's earlier batches count as used.
// These are the schedules with the most conflicts there can be.
TEST(Speculation, CommittedInOrderIsTheSequentialLoop) {
    for (const LoopImage& im : loop_images()) {
        SCOPED_TRACE(im.name);
        const LoopCase lc(im);
        const SeedLoopInput& in = lc.in;

        for (std::size_t batch : {std::size_t{1}, std::size_t{7}, kBatchSeeds})
            for (std::size_t threads : {0u, 2u, 3u}) { // 0: alone on the initial marks
                SCOPED_TRACE(testing::Message()
                             << "batches of " << batch << ", " << threads << " threads");
                std::vector<std::uint8_t> used = lc.initial;
                const std::size_t batches = (in.seeds.size() + batch - 1) / batch;
                std::vector<ThreadOverlay> overlays;
                for (std::size_t t = 0; t < std::max<std::size_t>(threads, 1); ++t)
                    overlays.emplace_back(lc.field.size());
                std::vector<BatchRecord> records(batches);
                for (std::size_t b = 0; b < batches; ++b) {
                    ThreadOverlay& o = overlays[threads == 0 ? 0 : b % threads];
                    if (threads == 0) o.release_before(batches);
                    speculate_batch(in, b, b * batch, std::min(b * batch + batch, in.seeds.size()),
                                    used.data(), o, records[b]);
                }
                std::vector<Candidate> got;
                CheckTally tally;
                for (std::size_t b = 0; b < batches; ++b)
                    commit_batch(in, records[b], b * batch, used.data(), overlays[0], got, tally);
                lc.expect_sequential(got, used);
                // Conflicts wherever regions span batches (all but noise).
                if (std::strcmp(im.name, "noise") != 0) {
                    EXPECT_GT(tally.redone(), 0u);
                }
            }
    }
}

// A schedule in which the calling thread only commits and takes over: it
// waits (up to a second) for a pool worker to take a batch before it starts,
// and workers pause before they hand in a speculated batch, long enough that
// the calling thread surely finds one unfinished when it is next.
class TakeOverHooks : public linora::detector::SeedLoopHooks {
  public:
    bool caller_speculates() override { return false; }
    void caller_starts() override {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (!claimed_.load() && std::chrono::steady_clock::now() < give_up)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    void worker_claimed() override { claimed_.store(true); }
    void worker_speculated() override {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    void finished(std::size_t, std::size_t taken_over) override { taken_over_ = taken_over; }
    std::size_t taken_over_ = 0;

  private:
    std::atomic<bool> claimed_{false};
};

// The parallel seed loop gives the sequential loop's candidates, bit for
// bit and in order, and leaves the same marks: at 1, 2 and 5 threads, with
// batches of 1, 7 and the default number of seeds, and with the pool
// workers' speculations taken over as soon as the calling thread waits for
// one.
TEST(SeedLoopThreads, ParallelLoopIsTheSequentialLoop) {
    for (const LoopImage& im : loop_images()) {
        SCOPED_TRACE(im.name);
        const LoopCase lc(im);
        const SeedLoopInput& in = lc.in;
        ASSERT_GT(in.seeds.size(), kBatchSeeds);

        for (std::size_t threads : {1u, 2u, 5u})
            for (std::size_t batch : {std::size_t{1}, std::size_t{7}, kBatchSeeds})
                for (bool take_over : {false, true}) {
                    if (take_over && batch == 1) continue; // slow and adds nothing
                    SCOPED_TRACE(
                        testing::Message()
                        << threads << " threads, batches of " << batch
                        << (take_over ? ", workers' speculations taken over at once" : ""));
                    linora::ScopedWorkerCount workers(threads);
                    std::vector<std::uint8_t> used = lc.initial;
                    SeedSchedule schedule;
                    schedule.threads = threads;
                    schedule.batch_seeds = batch;
                    TakeOverHooks hooks;
                    if (take_over) {
                        schedule.take_over_after = std::chrono::microseconds(0);
                        schedule.hooks = &hooks;
                    }
                    const std::vector<Candidate> got = seed_loop_parallel(in, used, schedule);
                    lc.expect_sequential(got, used);
                    // Paused workers' speculations are taken over.
                    if (take_over && threads > 1) {
                        EXPECT_GT(hooks.taken_over_, 0u);
                    }
                }
        // Handing over from the sequential loop to the parallel one at any
        // seed (as detect does when a processor becomes free) changes
        // nothing: between two seeds the marks are final.
        {
            linora::ScopedWorkerCount workers(2);
            std::vector<std::uint8_t> used = lc.initial;
            SeedLoopInput first = in, rest = in;
            first.seeds = in.seeds.first(in.seeds.size() / 3);
            rest.seeds = in.seeds.subspan(in.seeds.size() / 3);
            std::vector<Candidate> got = seed_loop_sequential(first, used);
            SeedSchedule schedule;
            schedule.threads = 2;
            const std::vector<Candidate> more = seed_loop_parallel(rest, used, schedule);
            got.insert(got.end(), more.begin(), more.end());
            lc.expect_sequential(got, used);
        }
    }
}

} // namespace
