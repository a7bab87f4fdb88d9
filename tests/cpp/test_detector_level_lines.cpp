// The level-line field and the order of the seeds.
#include "detector/level_lines.hpp"
#include "images.hpp"
#include "saturating.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

using namespace linora::detector;
using test_images::random_norms;

// A vertical edge (0 left, 10 right) gives gx = 10, gy = 0 at the straddling
// blocks: level line pointing down (angle pi/2), cos exactly -0.
TEST(LevelLineField, VerticalStepEdge) {
    const std::size_t w = 6, h = 4;
    std::vector<double> in(w * h);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x)
            in[y * w + x] = x >= 3 ? 10.0 : 0.0;
    const Array<Px> f = level_line_field<double>(in, w, h);
    for (std::size_t y = 0; y + 1 < h; ++y)
        for (std::size_t x = 0; x + 1 < w; ++x) {
            const Px& c = f[y * w + x];
            if (x == 2) {
                EXPECT_EQ(c.norm, 10.0f);
                EXPECT_EQ(c.cos_angle, 0.0f);
                EXPECT_TRUE(std::signbit(c.cos_angle));
                EXPECT_EQ(c.sin_angle, 1.0f);
            } else {
                EXPECT_EQ(c.norm, 0.0f) << x << "," << y;
            }
        }
}

TEST(LevelLineField, HorizontalStepEdge) {
    const std::size_t w = 4, h = 5;
    std::vector<double> in(w * h);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x)
            in[y * w + x] = y >= 2 ? 10.0 : 0.0;
    const Array<Px> f = level_line_field<double>(in, w, h);
    for (std::size_t x = 0; x + 1 < w; ++x) {
        const Px& c = f[1 * w + x];
        EXPECT_EQ(c.norm, 10.0f);
        EXPECT_EQ(c.cos_angle, -1.0f);
        EXPECT_EQ(c.sin_angle, 0.0f);
        EXPECT_EQ(f[0 * w + x].norm, 0.0f);
        EXPECT_EQ(f[2 * w + x].norm, 0.0f);
    }
}

// A diagonal ramp in[y][x] = 3x + 4y: gx = 3, gy = 4, norm 5, unit vector
// (-4/5, 3/5) everywhere except the last row and column.
TEST(LevelLineField, RampAndZeroBorder) {
    const std::size_t w = 7, h = 5;
    std::vector<double> in(w * h);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x)
            in[y * w + x] = 3.0 * x + 4.0 * y;
    const Array<Px> f = level_line_field<double>(in, w, h);
    ASSERT_EQ(f.size(), w * h);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            const Px& c = f[y * w + x];
            if (x + 1 == w || y + 1 == h) {
                EXPECT_EQ(c.norm, 0.0f);
                EXPECT_EQ(c.cos_angle, 0.0f);
                EXPECT_EQ(c.sin_angle, 0.0f);
            } else {
                EXPECT_EQ(c.norm, 5.0f);
                EXPECT_EQ(c.cos_angle, static_cast<float>(-4.0 / 5.0));
                EXPECT_EQ(c.sin_angle, static_cast<float>(3.0 / 5.0));
            }
        }
}

// Non-finite samples: NaN gradients leave the cell zero; infinite ones give
// an infinite norm. Nothing else is touched.
TEST(LevelLineField, NonFiniteSamples) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> in = {nan, 0, 0, 0, 0, 0, 0, 0, inf};
    const Array<Px> f = level_line_field<double>(in, 3, 3);
    EXPECT_EQ(f[0].norm, 0.0f);
    EXPECT_EQ(f[0].cos_angle, 0.0f);
    EXPECT_EQ(f[1].norm, 0.0f);
    EXPECT_TRUE(std::isinf(f[4].norm));
}

TEST(LevelLineField, ConstantImageHasNoSeeds) {
    const std::vector<double> in(9 * 8, 42.0);
    const Array<Px> f = level_line_field<double>(in, 9, 8);
    for (const Px& c : f)
        EXPECT_EQ(c.norm, 0.0f);
    EXPECT_TRUE(seeds_by_norm(f, kGradientThreshold).empty());
}

std::vector<Px> field_of_norms(const std::vector<float>& norms) {
    std::vector<Px> f;
    for (float n : norms)
        f.push_back(Px{n, 1.0f, 0.0f});
    return f;
}

TEST(SeedsByNorm, QuantisedOrder) {
    // 6 / 12 * 1023 = 511.5 -> bin 511; 3 is under the threshold.
    EXPECT_EQ(seeds_by_norm(field_of_norms({6, 12, 12, 3}), kGradientThreshold),
              (std::vector<std::uint32_t>{1, 2, 0}));
    // Bins 511, 1023, 511, 1023, -, 767: raster order within a bin.
    EXPECT_EQ(seeds_by_norm(field_of_norms({10, 20, 10, 20, 0, 15}), kGradientThreshold),
              (std::vector<std::uint32_t>{1, 3, 5, 0, 2}));
    // Norms in one bin keep raster order even when not equal:
    // 1000.5 and 1000.9 of 1001 both fall in bin 1022.
    EXPECT_EQ(seeds_by_norm(field_of_norms({1000.5f, 1000.9f, 1001.0f}), kGradientThreshold),
              (std::vector<std::uint32_t>{2, 0, 1}));
}

TEST(SeedsByNorm, ThresholdIsExclusive) {
    const float t = kGradientThreshold;
    EXPECT_EQ(seeds_by_norm(field_of_norms({t, std::nextafter(t, 10.0f), 4.0f}), t),
              (std::vector<std::uint32_t>{1}));
}

TEST(SeedsByNorm, EmptyCases) {
    EXPECT_TRUE(seeds_by_norm({}, kGradientThreshold).empty());
    EXPECT_TRUE(seeds_by_norm(field_of_norms({0, 0, 0}), kGradientThreshold).empty());
    // The maximum is above zero but nothing is above the threshold.
    EXPECT_TRUE(seeds_by_norm(field_of_norms({5.0f, 1.0f, kGradientThreshold}), kGradientThreshold)
                    .empty());
}

// seeds_by_norm works on the field in parallel chunks with vectorised bin
// computations; its order must be exactly that of the one-pass bucket sort
// over 1024 bins, on fields large enough to be split and with the awkward
// norms: NaN, infinity, negative, subnormal, zero, equal to the threshold
// (random_norms). The definition, one cell at a time:
std::vector<std::uint32_t> reference_seeds(const std::vector<Px>& field, float threshold) {
    float max = 0.0f;
    for (const Px& c : field)
        max = std::fmax(max, c.norm);
    if (field.empty() || max <= 0.0f) return {};
    std::vector<std::vector<std::uint32_t>> bins(1024);
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i].norm <= threshold) continue;
        const std::size_t b =
            linora::saturating_trunc<std::size_t>((field[i].norm / max) * 1023.0f);
        bins[b < 1023 ? b : 1023].push_back(static_cast<std::uint32_t>(i));
    }
    std::vector<std::uint32_t> out;
    for (std::size_t b = 1024; b-- > 0;)
        out.insert(out.end(), bins[b].begin(), bins[b].end());
    return out;
}

TEST(SeedOrder, MatchesOnePassBucketSort) {
    for (std::size_t n : {1u, 17u, 1000u, 70000u, 300001u})
        for (bool awkward : {false, true}) {
            const std::vector<Px> f = random_norms(n, static_cast<std::uint32_t>(n), awkward);
            ASSERT_EQ(seeds_by_norm(f, kGradientThreshold), reference_seeds(f, kGradientThreshold))
                << n << " " << awkward;
        }
}

// A single largest norm, at every position of a field of a few hundred
// cells: the maximum must be found wherever it stands.
TEST(SeedOrder, SingleMaximumAnywhere) {
    for (std::size_t p = 0; p < 100; ++p) {
        std::vector<Px> f = random_norms(300, static_cast<std::uint32_t>(p), false);
        f[p].norm = 1000.0f;
        ASSERT_EQ(seeds_by_norm(f, kGradientThreshold), reference_seeds(f, kGradientThreshold))
            << p;
    }
}

// An infinite norm makes the maximum infinite: every finite norm falls in
// bin 0 and the infinite ones (inf / inf is NaN) too.
TEST(SeedOrder, InfiniteMaximum) {
    std::vector<Px> f = random_norms(100000, 5, true);
    f[777].norm = std::numeric_limits<float>::infinity();
    f[99999].norm = std::numeric_limits<float>::infinity();
    ASSERT_EQ(seeds_by_norm(f, kGradientThreshold), reference_seeds(f, kGradientThreshold));
}

} // namespace
