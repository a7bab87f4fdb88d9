#include "detector/pixel_index.hpp"
#include "detector/region.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

using namespace linora::detector;

Px cell(double angle, float norm = 10.0f) {
    return Px{norm, static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle))};
}

// Row and column by the reciprocal are the quotient and remainder, for widths
// and indices at the ends of the 32-bit range and pseudo-random ones.
TEST(PixelIndex, SplitsLikeDivision) {
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    auto next = [&] {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return static_cast<std::uint32_t>(state >> 32);
    };
    std::vector<std::uint32_t> widths = {1, 2, 3, 7, 1536, 65535, 65536, 0x80000001u, UINT32_MAX};
    for (int k = 0; k < 40; ++k)
        widths.push_back(next() >> (k % 31));
    for (std::uint32_t w : widths) {
        if (w == 0) continue;
        const PixelIndex index(w);
        std::vector<std::uint32_t> indices = {0, w - 1, w, UINT32_MAX, UINT32_MAX - w};
        for (int k = 0; k < 200; ++k)
            indices.push_back(next());
        for (std::uint32_t i : indices) {
            const std::uint32_t row = index.row(i);
            ASSERT_EQ(row, i / w) << i << " " << w;
            ASSERT_EQ(index.column(i, row), i % w) << i << " " << w;
        }
    }
}

TEST(ReduceAngle, IntoHalfOpenRange) {
    EXPECT_EQ(reduce_angle(0.5), 0.5);
    EXPECT_EQ(reduce_angle(kPi), kPi);
    EXPECT_EQ(reduce_angle(-kPi), -kPi + kTwoPi);
    EXPECT_EQ(reduce_angle(kPi + 0.5), kPi + 0.5 - kTwoPi);
    EXPECT_EQ(reduce_angle(-kTwoPi + 0.25), -kTwoPi + 0.25 + kTwoPi);
    EXPECT_EQ(reduce_angle(3.5 * kPi), 3.5 * kPi - kTwoPi - kTwoPi);
}

TEST(ReduceAngle, NonFiniteValuesReturn) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(reduce_angle(inf), inf);
    EXPECT_EQ(reduce_angle(-inf), -inf);
    EXPECT_TRUE(std::isnan(reduce_angle(std::numeric_limits<double>::quiet_NaN())));
    EXPECT_EQ(reduce_angle(-1e308), -1e308);
}

struct Grid {
    std::size_t w, h;
    std::vector<Px> field;
    std::vector<std::uint8_t> used;
    Grid(std::size_t w_, std::size_t h_, Px c) : w(w_), h(h_), field(w_ * h_, c), used(w_ * h_) {}
    std::uint32_t at(std::size_t x, std::size_t y) const {
        return static_cast<std::uint32_t>(y * w + x);
    }
};

struct GrowCase {
    std::size_t w, h, x, y;
    std::size_t first; // how many leading region elements are checked
    std::vector<std::uint32_t> expected;
};

class GrowOrder : public ::testing::TestWithParam<GrowCase> {};

// With every pixel aligned, the region list is the breadth-first visiting
// order: neighbours in row-major order, clipped at the borders, no wrap.
TEST_P(GrowOrder, VisitingOrder) {
    const GrowCase& c = GetParam();
    Grid g(c.w, c.h, cell(0.3));
    std::vector<std::uint32_t> region;
    grow_region(g.at(c.x, c.y), g.field, g.used, region, c.w, c.h, kAngleTolerance);
    ASSERT_EQ(region.size(), c.w * c.h);
    EXPECT_EQ(std::vector<std::uint32_t>(region.begin(), region.begin() + c.first), c.expected);
    for (std::uint8_t u : g.used)
        EXPECT_EQ(u, 1);
}

INSTANTIATE_TEST_SUITE_P(Seeds, GrowOrder,
                         ::testing::Values(
                             // (0, 0): only (1, 0), (0, 1), (1, 1).
                             GrowCase{4, 4, 0, 0, 4, {0, 1, 4, 5}},
                             // Left edge: nothing from the previous row's far end.
                             GrowCase{4, 4, 0, 1, 6, {4, 0, 1, 5, 8, 9}},
                             // Last row: nothing below.
                             GrowCase{3, 3, 1, 2, 6, {7, 3, 4, 5, 6, 8}},
                             // Interior: all eight, row-major.
                             GrowCase{3, 3, 1, 1, 9, {4, 0, 1, 2, 3, 5, 6, 7, 8}},
                             // Right edge of a wider image, then the queue moves on to (0, 0).
                             GrowCase{5, 3, 4, 0, 4, {4, 3, 8, 9}}));

TEST(GrowRegion, MisalignedNeighboursGiveOnePixel) {
    Grid g(3, 3, cell(kPi / 2));
    g.field[4] = cell(2.0);
    std::vector<std::uint32_t> region = {7, 7, 7}; // emptied first
    const double angle = grow_region(4, g.field, g.used, region, 3, 3, kAngleTolerance);
    EXPECT_EQ(region, (std::vector<std::uint32_t>{4}));
    EXPECT_EQ(angle, std::atan2(static_cast<double>(g.field[4].sin_angle), g.field[4].cos_angle));
    EXPECT_EQ(g.used[4], 1);
    EXPECT_EQ(g.used[0] + g.used[1] + g.used[8], 0);
}

TEST(GrowRegion, UsedPixelsAreSkipped) {
    Grid g(3, 3, cell(0.0));
    g.used[1] = 1;
    g.used[3] = 3; // only bit 0 counts
    g.used[5] = 2;
    std::vector<std::uint32_t> region;
    grow_region(4, g.field, g.used, region, 3, 3, kAngleTolerance);
    EXPECT_EQ(region, (std::vector<std::uint32_t>{4, 0, 2, 5, 6, 7, 8}));
}

// An early acceptance turns S before later neighbours of the same pixel are
// tested: (0, 0) at +20 degrees pulls S to +10, so (1, 0) at -20 degrees is
// 30 degrees off and rejected, although it is within 22.5 of the seed.
TEST(GrowRegion, AcceptanceUpdatesDirectionAtOnce) {
    const double deg = kPi / 180.0;
    Grid g(3, 3, cell(kPi / 2));
    g.field[4] = cell(0.0);
    g.field[0] = cell(20 * deg);
    g.field[1] = cell(-20 * deg);
    g.field[2] = cell(30 * deg);
    std::vector<std::uint32_t> region;
    const double angle = grow_region(4, g.field, g.used, region, 3, 3, kAngleTolerance);
    EXPECT_EQ(region, (std::vector<std::uint32_t>{4, 0, 2}));
    EXPECT_EQ(g.used[1], 0);
    EXPECT_NEAR(angle, 50 * deg / 3, 1e-3);
}

// Directions near +-pi are compared as vectors: no seam.
TEST(GrowRegion, AnglesAcrossPi) {
    Grid g(4, 4, cell(kPi - 0.1));
    for (std::size_t i = 0; i < 16; i += 2)
        g.field[i] = cell(-kPi + 0.1);
    std::vector<std::uint32_t> region;
    const double angle = grow_region(5, g.field, g.used, region, 4, 4, kAngleTolerance);
    EXPECT_EQ(region.size(), 16u);
    EXPECT_GT(std::fabs(angle), kPi - 0.1);
}

// Growing as defined: the bound c |S| from the library's hypot after every
// acceptance; each region pixel's neighbours in row-major order, clipped.
DirectionSum reference_grow(std::uint32_t seed, const Grid& g, double c,
                            std::vector<std::uint32_t>& region) {
    std::vector<std::uint8_t> used = g.used;
    region = {seed};
    used[seed] = 1;
    double sx = g.field[seed].cos_angle, sy = g.field[seed].sin_angle, bound = c;
    for (std::size_t i = 0; i < region.size(); ++i) {
        const std::size_t x = region[i] % g.w, y = region[i] / g.w;
        for (std::size_t yy = y > 0 ? y - 1 : 0; yy <= std::min(y + 1, g.h - 1); ++yy)
            for (std::size_t xx = x > 0 ? x - 1 : 0; xx <= std::min(x + 1, g.w - 1); ++xx) {
                const std::size_t n = yy * g.w + xx;
                const double nc = g.field[n].cos_angle, ns = g.field[n].sin_angle;
                if ((used[n] & 1) || !(sx * nc + sy * ns >= bound)) continue;
                used[n] = 1;
                region.push_back(static_cast<std::uint32_t>(n));
                sx += nc;
                sy += ns;
                bound = c * std::hypot(sx, sy);
            }
    }
    return {sx, sy};
}

// The region, its order and its direction sum are the definition's, bit for
// bit: on fields whose directions cluster at the tolerance from a common one,
// so that many tests are close, and on exact ties, where the projection
// equals the bound: after the seed (1, 0) takes (1, 0), S = (2, 0) and the
// bound is 2c, so a neighbour (x, y) with c = x is taken and with c just
// above x is not.
TEST(GrowRegion, MatchesDefinition) {
    std::uint64_t state = 12345;
    auto uniform = [&] {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return static_cast<double>(state >> 11) * 0x1p-53;
    };
    auto check = [](const Grid& g, std::uint32_t seed, double c) {
        std::vector<std::uint32_t> expected, region;
        const DirectionSum want = reference_grow(seed, g, c, expected);
        std::vector<std::uint8_t> used = g.used;
        const DirectionSum got =
            grow_region_sum(seed, g.field, DirectMarks(used), region, g.w, g.h, c);
        ASSERT_EQ(region, expected) << seed << " " << c;
        ASSERT_EQ(got.sx, want.sx);
        ASSERT_EQ(got.sy, want.sy);
    };
    const double c = std::cos(kAngleTolerance);
    for (int k = 0; k < 300; ++k) {
        Grid g(24, 17, cell(0.0));
        const double base = uniform() * kTwoPi;
        for (Px& p : g.field) {
            const double side = uniform() < 0.5 ? -1.0 : 1.0;
            p = uniform() < 0.1
                    ? cell(uniform() * kTwoPi)
                    : cell(base + side * kAngleTolerance * (1.0 + (uniform() - 0.5) * 0.1));
        }
        for (std::uint8_t& u : g.used)
            u = uniform() < 0.05;
        const std::uint32_t seed = static_cast<std::uint32_t>(uniform() * 24 * 17);
        g.used[seed] = 0;
        check(g, seed, c);
    }
    Grid g(3, 1, Px{10.0f, 1.0f, 0.0f});
    g.field[2] = Px{10.0f, 0.875f, 0.484375f};
    for (double tie : {0.875, std::nextafter(0.875, 1.0)})
        check(g, 0, tie);
    // The seed's own bound is c, though its vector's length is not quite 1:
    // a neighbour equal to the seed projects to exactly this c.
    Grid pair(2, 1, Px{10.0f, 0.6f, 0.8f});
    const double d = double{0.6f} * double{0.6f} + double{0.8f} * double{0.8f};
    for (double tie : {d, std::nextafter(d, 2.0)})
        check(pair, 0, tie);
}

// Three equal pixels on row 0.
std::vector<Px> row_field() {
    return std::vector<Px>(9, Px{7.0f, 1.0f, 0.0f});
}

TEST(RegionToRect, HorizontalRunFlippedToRegionAngle) {
    const std::vector<std::uint32_t> region = {0, 1, 2};
    const Rect r = region_to_rect(region, row_field(), 3, 0.0, 0.125);
    EXPECT_NEAR(r.x1, 0.0, 1e-12);
    EXPECT_NEAR(r.x2, 2.0, 1e-12);
    EXPECT_NEAR(r.y1, 0.0, 1e-12);
    EXPECT_NEAR(r.y2, 0.0, 1e-12);
    EXPECT_EQ(r.width, 1.0);
    EXPECT_EQ(r.dx, std::cos(2 * kPi));
    EXPECT_EQ(r.dy, std::sin(2 * kPi));
    EXPECT_EQ(r.prec, kAngleTolerance);
    EXPECT_EQ(r.p, 0.125);
}

TEST(RegionToRect, HorizontalRunAtPiKeepsDirection) {
    const std::vector<std::uint32_t> region = {0, 1, 2};
    const Rect r = region_to_rect(region, row_field(), 3, kPi, 0.0625);
    EXPECT_EQ(r.dx, -1.0);
    EXPECT_NEAR(r.x1, 2.0, 1e-12);
    EXPECT_NEAR(r.x2, 0.0, 1e-12);
    EXPECT_NEAR(r.y1, 0.0, 1e-12);
    EXPECT_EQ(r.width, 1.0);
    EXPECT_EQ(r.prec, kAngleTolerance);
    EXPECT_EQ(r.p, 0.0625);
}

// The axis angle is pi; a region angle exactly pi/8 away keeps it, one a
// little further flips it.
TEST(RegionToRect, FlipOnlyBeyondTolerance) {
    const std::vector<std::uint32_t> region = {0, 1, 2};
    const double at_limit = kPi - kAngleTolerance;
    ASSERT_EQ(kPi - at_limit, kAngleTolerance);
    EXPECT_EQ(region_to_rect(region, row_field(), 3, at_limit, 0.125).dx, -1.0);
    const double beyond = std::nextafter(at_limit, 0.0);
    EXPECT_GT(region_to_rect(region, row_field(), 3, beyond, 0.125).dx, 0.999);
}

TEST(RegionToRect, OnePixel) {
    std::vector<Px> f(25, Px{9.0f, 0.0f, 1.0f});
    const std::vector<std::uint32_t> region = {12};
    const Rect r = region_to_rect(region, f, 5, kPi / 2, 0.125);
    EXPECT_EQ(r.x1, 2.0);
    EXPECT_EQ(r.y1, 2.0);
    EXPECT_EQ(r.x2, 2.0);
    EXPECT_EQ(r.y2, 2.0);
    EXPECT_EQ(r.width, 1.0);
}

// A 3-row, 6-column block: axis horizontal, width 2 across.
TEST(RegionToRect, BlockExtent) {
    const std::size_t w = 8;
    std::vector<Px> f(w * 5, Px{1.0f, 1.0f, 0.0f});
    std::vector<std::uint32_t> region;
    for (std::size_t y = 1; y <= 3; ++y)
        for (std::size_t x = 1; x <= 6; ++x)
            region.push_back(static_cast<std::uint32_t>(y * w + x));
    const Rect r = region_to_rect(region, f, w, 0.0, 0.125);
    EXPECT_NEAR(r.dx, 1.0, 1e-12);
    EXPECT_NEAR(r.x1, 1.0, 1e-12);
    EXPECT_NEAR(r.x2, 6.0, 1e-12);
    EXPECT_NEAR(r.y1, 2.0, 1e-12);
    EXPECT_NEAR(r.width, 2.0, 1e-12);
}

// A plus sign: the axis follows the arm that carries the larger norms.
TEST(RegionToRect, NormsWeightTheAxis) {
    const std::vector<std::uint32_t> region = {4, 1, 3, 5, 7};
    std::vector<Px> f(9, Px{1.0f, 1.0f, 0.0f});
    f[3].norm = f[4].norm = f[5].norm = 10.0f;
    const Rect across = region_to_rect(region, f, 3, 0.0, 0.125);
    EXPECT_NEAR(across.dx, 1.0, 1e-12);
    EXPECT_NEAR(across.x1, 0.0, 1e-12);
    EXPECT_NEAR(across.x2, 2.0, 1e-12);
    EXPECT_NEAR(across.width, 2.0, 1e-12);
    std::vector<Px> g(9, Px{1.0f, 0.0f, 1.0f});
    g[1].norm = g[4].norm = g[7].norm = 10.0f;
    const Rect down = region_to_rect(region, g, 3, kPi / 2, 0.125);
    EXPECT_NEAR(down.dy, 1.0, 1e-12);
    EXPECT_NEAR(down.y1, 0.0, 1e-12);
    EXPECT_NEAR(down.y2, 2.0, 1e-12);
}

// A diagonal run follows its own direction and the region's orientation.
TEST(RegionToRect, Diagonal) {
    const std::size_t w = 4;
    std::vector<Px> f(16, Px{5.0f, 0.7071f, 0.7071f});
    const std::vector<std::uint32_t> region = {0, 5, 10, 15};
    const Rect r = region_to_rect(region, f, w, kPi / 4, 0.125);
    EXPECT_NEAR(r.dx, std::sqrt(0.5), 1e-12);
    EXPECT_NEAR(r.dy, std::sqrt(0.5), 1e-12);
    EXPECT_NEAR(r.x1, 0.0, 1e-12);
    EXPECT_NEAR(r.y1, 0.0, 1e-12);
    EXPECT_NEAR(r.x2, 3.0, 1e-12);
    EXPECT_NEAR(r.y2, 3.0, 1e-12);
    EXPECT_EQ(r.width, 1.0);
    const Rect back = region_to_rect(region, f, w, -3 * kPi / 4, 0.125);
    EXPECT_NEAR(back.x1, 3.0, 1e-12);
    EXPECT_NEAR(back.x2, 0.0, 1e-12);
}

} // namespace
