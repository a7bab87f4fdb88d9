#include "pool.hpp"
#include "sample.hpp"

#include <gtest/gtest.h>

#include <atomic>
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

} // namespace
