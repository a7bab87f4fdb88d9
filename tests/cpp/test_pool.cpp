// The worker pool, and what it promises its users: results do not depend on
// the number of workers nor on other threads calling at the same time.
// Every suite here ends in "Threads": scripts/tsan.sh runs those suites
// under ThreadSanitizer.
#include "cancel.hpp"
#include "core_errors.hpp"
#include "detector/detect.hpp"
#include "images.hpp"
#include "pool.hpp"
#include "test_warp_util.hpp"
#include "warp/resample.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace {

using linora::parallel_rows;
using namespace test_images;

class PoolRowsThreads : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

// Every row runs exactly once, whatever the worker count and row count.
TEST_P(PoolRowsThreads, EachRowRunsOnce) {
    auto [workers, rows] = GetParam();
    linora::ScopedWorkerCount scoped(workers);
    std::vector<std::atomic<int>> hits(rows);
    parallel_rows(rows, 1, [&](std::size_t r) { hits[r].fetch_add(1); });
    for (std::size_t r = 0; r < rows; ++r)
        ASSERT_EQ(hits[r].load(), 1) << "row " << r;
}

INSTANTIATE_TEST_SUITE_P(Counts, PoolRowsThreads,
                         ::testing::Values(std::pair<std::size_t, std::size_t>{0, 17},
                                           std::pair<std::size_t, std::size_t>{1, 1},
                                           std::pair<std::size_t, std::size_t>{2, 1000},
                                           std::pair<std::size_t, std::size_t>{5, 3},
                                           std::pair<std::size_t, std::size_t>{7, 4099}));

TEST(PoolThreads, ZeroRowLengthIsRefusedEvenWithoutRows) {
    for (std::size_t rows : {0u, 5u}) {
        try {
            parallel_rows(rows, 0, [](std::size_t) {});
            FAIL() << "no exception for rows=" << rows;
        } catch (const linora::InternalError& e) {
            EXPECT_STREQ(e.what(), "chunk_size must not be zero");
        }
    }
}

TEST(PoolThreads, NoRowsRunsNothing) {
    std::atomic<int> calls{0};
    parallel_rows(0, 3, [&](std::size_t) { calls++; });
    EXPECT_EQ(calls.load(), 0);
}

// An exception thrown by a row reaches the caller; the pool stays usable.
TEST(PoolThreads, RowExceptionReachesCaller) {
    EXPECT_THROW(parallel_rows(100, 1,
                               [](std::size_t r) {
                                   if (r == 57) throw std::runtime_error("row 57");
                               }),
                 std::runtime_error);
    std::atomic<std::size_t> sum{0};
    parallel_rows(100, 1, [&](std::size_t r) { sum += r; });
    EXPECT_EQ(sum.load(), 4950u);
}

// Many threads running loops at once all finish with complete results.
TEST(PoolThreads, ConcurrentCallersDoNotDeadlock) {
    std::vector<std::thread> callers;
    std::atomic<int> bad{0};
    for (int t = 0; t < 8; ++t) {
        callers.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round) {
                std::size_t rows = 1 + (t * 37 + round * 11) % 300;
                std::vector<int> out(rows, -1);
                parallel_rows(rows, 1, [&](std::size_t r) { out[r] = static_cast<int>(r); });
                for (std::size_t r = 0; r < rows; ++r)
                    if (out[r] != static_cast<int>(r)) bad++;
            }
        });
    }
    for (auto& c : callers)
        c.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST(PoolThreads, AvailableProcessorsIsPositive) {
    EXPECT_GE(linora::available_processors(), 1u);
}

// Cancellation: a stop requested from inside a loop skips the rows not yet
// started, on every thread, and reaches the caller as Cancelled once the
// started rows are done; the tick runs on the installing thread only, from
// poll() and while the caller waits for workers.
TEST(PoolCancelThreads, StopSkipsRemainingRowsAndTicksStayOnTheCaller) {
    using namespace std::chrono_literals;
    linora::poll(); // no scope: nothing to do
    struct Ticks {
        std::thread::id caller = std::this_thread::get_id();
        std::atomic<int> count{0}, elsewhere{0};
    } ticks;
    auto tick = [](void* ctx) {
        auto* t = static_cast<Ticks*>(ctx);
        t->count++;
        if (std::this_thread::get_id() != t->caller) t->elsewhere++;
    };
    for (std::size_t workers : {0u, 3u}) {
        linora::ScopedWorkerCount scoped(workers);
        linora::CancelState state(tick, &ticks);
        linora::CancelScope scope(state);
        const std::size_t rows = 4000;
        std::atomic<std::size_t> ran{0};
        EXPECT_THROW(parallel_rows(rows, 1,
                                   [&](std::size_t) {
                                       if (ran.fetch_add(1) == 10) state.request_stop();
                                   }),
                     linora::Cancelled)
            << workers << " workers";
        // Rows already started when the stop came may finish (one per
        // thread); no other row starts.
        EXPECT_LE(ran.load(), 11 + workers) << workers << " workers";
        EXPECT_THROW(linora::poll(), linora::Cancelled);
    }
    {
        // Rows that keep workers busy: the caller ticks while it waits.
        linora::ScopedWorkerCount scoped(2);
        linora::CancelState state(tick, &ticks);
        linora::CancelScope scope(state);
        const int before = ticks.count.load();
        std::atomic<bool> worker_started{false};
        parallel_rows(8, 1, [&](std::size_t) {
            if (std::this_thread::get_id() != ticks.caller) {
                worker_started = true;
                std::this_thread::sleep_for(150ms);
            } else {
                // Leave time for a worker to take rows, which the caller
                // then waits for.
                for (int i = 0; i < 1000 && !worker_started; ++i)
                    std::this_thread::sleep_for(1ms);
            }
        });
        EXPECT_GE(ticks.count.load() - before, 2);
        // A sequential loop ticks from poll(); here the tick stops it.
        struct Stopper {
            linora::CancelState state{
                [](void* self) { static_cast<Stopper*>(self)->state.request_stop(); }, this};
        } stopper;
        const auto start = std::chrono::steady_clock::now();
        linora::CancelScope inner(stopper.state);
        EXPECT_THROW(for (;;) linora::poll(), linora::Cancelled);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    }
    EXPECT_EQ(ticks.elsewhere.load(), 0);
    // Without a scope, later loops run every row.
    std::atomic<std::size_t> sum{0};
    parallel_rows(100, 1, [&](std::size_t r) { sum += r; });
    EXPECT_EQ(sum.load(), 4950u);
}

// The same call with 1, 2 and 5 workers gives the same bytes; returns the
// result of one worker.
template <class F> auto same_with_any_worker_count(F call) {
    decltype(call()) one;
    {
        linora::ScopedWorkerCount scoped(1);
        one = call();
    }
    for (std::size_t workers : {2u, 5u}) {
        linora::ScopedWorkerCount scoped(workers);
        EXPECT_TRUE(call() == one) << workers << " workers";
    }
    return one;
}

// The bytes of the segments that detect finds.
template <class T>
std::vector<unsigned char> segment_bytes(const std::vector<T>& img, std::size_t w, std::size_t h,
                                         double scale) {
    const auto r = linora::detect<T>(std::span<const T>(img), w, h, scale);
    EXPECT_TRUE(std::holds_alternative<std::vector<linora::Segment>>(r));
    if (!std::holds_alternative<std::vector<linora::Segment>>(r)) return {};
    const auto& segments = std::get<std::vector<linora::Segment>>(r);
    std::vector<unsigned char> bytes(segments.size() * sizeof(linora::Segment));
    if (!bytes.empty()) std::memcpy(bytes.data(), segments.data(), bytes.size());
    return bytes;
}

template <class T, std::size_t C> void check_remap_worker_counts(std::uint32_t seed) {
    const std::size_t w = 37, h = 23, ow = 41, oh = 29;
    const auto src = random_raster<T>(w * h * C, seed);
    const Maps m = random_maps(ow * oh, -2, w + 1, -2, h + 1, seed);
    for (linora::Filter f : {linora::Filter::Bilinear, linora::Filter::Lanczos3}) {
        const std::vector<T> one = same_with_any_worker_count([&] {
            return warp_test::value_of(linora::remap<T, C>(src, w, h, m.x, m.y, ow, oh, f));
        });
        EXPECT_EQ(one.size(), ow * oh * C);
    }
}

template <class T> void check_warp_worker_counts(std::uint32_t seed) {
    const std::size_t w = 33, h = 21, ow = 47, oh = 31;
    const auto src = random_raster<T>(w * h * 3, seed);
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> jitter(-0.1, 0.1), persp(-2e-3, 2e-3);
    for (int trial = 0; trial < 3; ++trial) {
        const std::array<double, 9> m = {1 + jitter(gen), jitter(gen),     10 * jitter(gen),
                                         jitter(gen),     1 + jitter(gen), 10 * jitter(gen),
                                         persp(gen),      persp(gen),      1 + jitter(gen)};
        for (linora::Filter f : {linora::Filter::Bilinear, linora::Filter::Lanczos3}) {
            const std::vector<T> one = same_with_any_worker_count([&] {
                return warp_test::value_of(
                    linora::warp_rgb<T>(src, w, h, ow, oh, m, f, 1.4, -3.0, -2.0));
            });
            EXPECT_EQ(one.size(), ow * oh * 3);
        }
    }
}

// The split of rows among workers never changes a result: detection at
// three scales (the sub-sampling, the field, the seed loop and the
// validation all run in parallel loops), and the warp and the remap of both
// sample types, one and three channels and both filters.
TEST(PoolThreads, ResultsDoNotDependOnTheWorkerCount) {
    const std::vector<std::uint8_t> img = rotated_rectangle(160, 120, 0.4, 10.0, 7u);
    for (double scale : {1.0, 0.8, 0.45}) {
        SCOPED_TRACE(scale);
        const auto one =
            same_with_any_worker_count([&] { return segment_bytes(img, 160, 120, scale); });
        EXPECT_GE(one.size(), 4 * sizeof(linora::Segment));
    }
    check_remap_worker_counts<std::uint8_t, 1>(21);
    check_remap_worker_counts<std::uint8_t, 3>(22);
    check_remap_worker_counts<std::uint16_t, 1>(23);
    check_remap_worker_counts<std::uint16_t, 3>(24);
    check_warp_worker_counts<std::uint8_t>(41);
    check_warp_worker_counts<std::uint16_t>(42);
}

// Several threads running detection, resampling and bare parallel loops at
// once get exactly the results of the same calls made one after another.
struct Outputs {
    std::vector<unsigned char> segments;
    std::vector<std::uint8_t> warped, remapped;
    std::vector<std::size_t> loop;
    bool operator==(const Outputs&) const = default;
};

Outputs run_all(std::uint32_t seed) {
    const std::size_t w = 96, h = 72;
    Outputs o;
    auto gray = bars_scene(seed, w, h);
    o.segments = segment_bytes(gray, w, h, 0.8);

    std::vector<std::uint8_t> rgb(w * h * 3);
    for (std::size_t i = 0; i < w * h; ++i)
        for (std::size_t c = 0; c < 3; ++c)
            rgb[i * 3 + c] = static_cast<std::uint8_t>(gray[i] + 40 * c);
    const std::array<double, 9> inv{0.9, 0.1, 3.0, -0.05, 1.1, -2.0, 1e-4, 2e-4, 1.0};
    o.warped = warp_test::value_of(linora::warp_rgb<std::uint8_t>(
        rgb, w, h, 80, 60, inv, linora::Filter::Lanczos3, 1.2, 0.5, -1.0));

    std::vector<float> mx(50 * 40), my(50 * 40);
    for (std::size_t i = 0; i < mx.size(); ++i) {
        mx[i] = static_cast<float>((i * 7 + seed) % 110) - 5.5f;
        my[i] = static_cast<float>((i * 3 + seed) % 80) * 0.9f;
    }
    o.remapped = warp_test::value_of(
        linora::remap<std::uint8_t, 1>(gray, w, h, mx, my, 50, 40, linora::Filter::Bilinear));

    o.loop.assign(301, 0);
    parallel_rows(o.loop.size(), 1, [&](std::size_t r) { o.loop[r] = r * r + seed; });
    return o;
}

TEST(PoolThreads, ConcurrentCallersGetTheSequentialResults) {
    constexpr int kThreads = 6, kRounds = 4;
    std::vector<Outputs> expected;
    for (int t = 0; t < kThreads; ++t)
        expected.push_back(run_all(static_cast<std::uint32_t>(t)));
    ASSERT_FALSE(expected[0].segments.empty());

    std::vector<int> mismatches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r)
                if (!(run_all(static_cast<std::uint32_t>(t)) == expected[t])) mismatches[t]++;
        });
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(mismatches[t], 0) << "thread " << t;
}

} // namespace
