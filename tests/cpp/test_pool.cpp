#include "cancel.hpp"
#include "pool.hpp"
#include "core_errors.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using linora::parallel_rows;

class PoolRows : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

// Every row runs exactly once, whatever the worker count and row count.
TEST_P(PoolRows, EachRowRunsOnce) {
    auto [workers, rows] = GetParam();
    linora::ScopedWorkerCount scoped(workers);
    std::vector<std::atomic<int>> hits(rows);
    parallel_rows(rows, 1, [&](std::size_t r) { hits[r].fetch_add(1); });
    for (std::size_t r = 0; r < rows; ++r) ASSERT_EQ(hits[r].load(), 1) << "row " << r;
}

INSTANTIATE_TEST_SUITE_P(Counts, PoolRows,
                         ::testing::Values(std::pair<std::size_t, std::size_t>{0, 17},
                                           std::pair<std::size_t, std::size_t>{1, 1},
                                           std::pair<std::size_t, std::size_t>{2, 1000},
                                           std::pair<std::size_t, std::size_t>{5, 3},
                                           std::pair<std::size_t, std::size_t>{7, 4099}));

TEST(Pool, ZeroRowLengthIsRefusedEvenWithoutRows) {
    for (std::size_t rows : {0u, 5u}) {
        try {
            parallel_rows(rows, 0, [](std::size_t) {});
            FAIL() << "no exception for rows=" << rows;
        } catch (const linora::InternalError& e) {
            EXPECT_STREQ(e.what(), "chunk_size must not be zero");
        }
    }
}

TEST(Pool, NoRowsRunsNothing) {
    std::atomic<int> calls{0};
    parallel_rows(0, 3, [&](std::size_t) { calls++; });
    EXPECT_EQ(calls.load(), 0);
}

// An exception thrown by a row reaches the caller; the pool stays usable.
TEST(Pool, RowExceptionReachesCaller) {
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
TEST(Pool, ConcurrentCallersDoNotDeadlock) {
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
    for (auto& c : callers) c.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST(Pool, AvailableProcessorsIsPositive) { EXPECT_GE(linora::available_processors(), 1u); }

// Cancellation: a stop requested from inside a loop skips the rows not yet
// started, on every thread, and reaches the caller as Cancelled once the
// started rows are done; the tick runs on the installing thread only, from
// poll() and while the caller waits for workers.
TEST(PoolCancel, StopSkipsRemainingRowsAndTicksStayOnTheCaller) {
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

} // namespace
