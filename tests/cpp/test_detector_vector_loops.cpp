// The detector's vector loops exist once per instruction set; every instance
// the machine runs must give the scalar instance's bits, on lengths around
// the vector widths, unaligned starts, and NaN, infinite, negative, zero and
// subnormal values.
#include "detector/libm.hpp"
#include "detector/vector_loops.hpp"
#include "images.hpp"
#include "simd.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace {

using namespace linora::detector;

std::vector<double> values(std::size_t n, std::mt19937& rng) {
    return test_images::values_with_specials(n, rng);
}

struct Instance {
    const char* name;
    const VectorLoops* loops;
};

// The instances that this machine runs, the scalar one first.
std::vector<Instance> instances() {
    std::vector<Instance> v;
    linora::at_every_isa([&](const char* name) { v.push_back({name, &vector_loops()}); });
    return v;
}

template <class T> bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
    // (memcmp must not see the null data() of an empty vector.)
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// The same bits, except that any NaN matches any NaN: which of two NaN
// operands a sum passes on depends on the operand order the compiler picks,
// and a NaN in the smoothed raster gives a cell without gradient whatever its
// bits.
bool same_values(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!(std::isnan(a[i]) && std::isnan(b[i])) && std::memcmp(&a[i], &b[i], sizeof a[i]) != 0)
            return false;
    return true;
}

TEST(DetectorVectorLoops, EveryInstanceGivesTheScalarBits) {
    const std::vector<Instance> all = instances();
    if (all.size() == 1) GTEST_SKIP() << "this machine runs only the scalar loops";
    std::mt19937 rng(7);
    const VectorLoops& ref = *all[0].loops;
    for (std::size_t n : {0u, 1u, 2u, 3u, 7u, 8u, 15u, 16u, 17u, 31u, 33u, 64u, 100u}) {
        for (std::size_t offset : {0u, 1u, 3u}) {
            SCOPED_TRACE(testing::Message() << "n " << n << " offset " << offset);
            const std::vector<double> a = values(n + offset, rng), b = values(n + offset, rng);
            std::vector<Px> cells(n + offset);
            for (Px& c : cells)
                c.norm = static_cast<float>(values(1, rng)[0] / 8.0);
            const float max = n > 0 ? std::fabs(cells[offset + n / 2].norm) : 1.0f;
            for (const Instance& in : all) {
                SCOPED_TRACE(in.name);
                // Up to 9 taps, over overlapping rows as the horizontal pass
                // has them.
                for (std::size_t taps : {0u, 1u, 4u, 9u}) {
                    const std::vector<double> many = values(n + offset + taps, rng);
                    const std::vector<double> weights = values(taps, rng);
                    std::vector<const double*> rows(taps);
                    for (std::size_t k = 0; k < taps; ++k)
                        rows[k] = (k % 2 ? many.data() + k : b.data()) + offset;
                    std::vector<double> want = a, got = a;
                    ref.weighted_sum(want.data() + offset, rows.data(), weights.data(), taps, n);
                    in.loops->weighted_sum(got.data() + offset, rows.data(), weights.data(), taps,
                                           n);
                    EXPECT_TRUE(same_values(want, got)) << taps;
                }

                if (n + offset >= 2) {
                    const std::size_t w = n + offset;
                    std::vector<Px> fw(w, Px{1, 2, 3}), fg(w, Px{1, 2, 3});
                    std::vector<double> scratch(3 * w);
                    ref.field_row(a.data(), b.data(), w, fw.data(), scratch.data());
                    in.loops->field_row(a.data(), b.data(), w, fg.data(), scratch.data());
                    EXPECT_TRUE(same_bits(fw, fg));
                }

                const float mw = ref.max_norm(cells.data() + offset, n);
                const float mg = in.loops->max_norm(cells.data() + offset, n);
                EXPECT_TRUE(std::memcmp(&mw, &mg, sizeof mw) == 0) << mw << " " << mg;

                std::vector<std::uint16_t> bw(n + 1, 7), bg(n + 1, 7);
                ref.seed_bins(cells.data() + offset, n, max, kGradientThreshold, bw.data());
                in.loops->seed_bins(cells.data() + offset, n, max, kGradientThreshold, bg.data());
                EXPECT_EQ(bw, bg);

                std::vector<std::uint8_t> uw(n + 1, 7), ug(n + 1, 7);
                for (std::size_t i = 0; i < n; ++i)
                    uw[i] = cells[offset + i].norm <= kGradientThreshold ? 1 : 0;
                in.loops->weak_marks(cells.data() + offset, n, kGradientThreshold, ug.data());
                EXPECT_EQ(uw, ug);
            }
        }
    }
}

// The magnitudes of the field rows are the library's hypot, bit for bit, in
// every instance (the scalar one included), on the hard cases of the hypot
// tests laid out in rows of every length around the vector widths.
TEST(DetectorVectorLoops, HypotRowIsTheLibrarysHypot) {
    double (*volatile lib)(double, double) = &::hypot;
    std::vector<double> gx, gy;
    std::uint64_t state = 99;
    for (std::size_t i = 0; i < 40000; ++i)
        for (unsigned kind = 0; kind < kHypotCaseKinds; ++kind) {
            double x, y;
            hypot_test_case(state, kind, x, y);
            gx.push_back(x);
            gy.push_back(y);
        }
    std::vector<std::uint64_t> want(gx.size());
    for (std::size_t i = 0; i < gx.size(); ++i)
        want[i] = std::bit_cast<std::uint64_t>(lib(gx[i], gy[i]));
    for (const Instance& in : instances()) {
        SCOPED_TRACE(in.name);
        std::vector<double> mag(gx.size());
        // Rows of 1 to 40 elements, then the rest in one.
        std::size_t at = 0;
        for (std::size_t n = 1; n <= 40; at += n, ++n)
            in.loops->hypot_row(gx.data() + at, gy.data() + at, mag.data() + at, n);
        in.loops->hypot_row(gx.data() + at, gy.data() + at, mag.data() + at, gx.size() - at);
        std::size_t bad = 0;
        for (std::size_t i = 0; i < gx.size(); ++i)
            bad += std::bit_cast<std::uint64_t>(mag[i]) != want[i];
        EXPECT_EQ(bad, 0u);
    }
}

} // namespace
