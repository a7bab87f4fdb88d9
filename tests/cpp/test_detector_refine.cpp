#include "detector/nfa.hpp"
#include "detector/refine.hpp"
#include "detector/region.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace {

using namespace linora::detector;

Px cell(double angle, float norm = 10.0f) {
    return Px{norm, static_cast<float>(std::cos(angle)), static_cast<float>(std::sin(angle))};
}

Rect horizontal(double x1, double x2, double y, double width, double p = 0.125) {
    return Rect{x1, y, x2, y, width, 1.0, 0.0, p * kPi, p};
}

void expect_same(const Rect& a, const Rect& b) {
    EXPECT_EQ(a.x1, b.x1);
    EXPECT_EQ(a.y1, b.y1);
    EXPECT_EQ(a.x2, b.x2);
    EXPECT_EQ(a.y2, b.y2);
    EXPECT_EQ(a.width, b.width);
    EXPECT_EQ(a.dx, b.dx);
    EXPECT_EQ(a.dy, b.dy);
    EXPECT_EQ(a.prec, b.prec);
    EXPECT_EQ(a.p, b.p);
}

TEST(RegionDensity, AreaAtLeastOne) {
    EXPECT_EQ(region_density(7, horizontal(0, 10, 0, 1.0)), 0.7);
    EXPECT_EQ(region_density(12, horizontal(0, 4, 0, 2.0)), 1.5);
    // L * width below 1 counts as an area of 1.
    EXPECT_EQ(region_density(3, horizontal(0, 0.5, 0, 1.0)), 3.0);
    EXPECT_EQ(region_density(2, horizontal(4, 4, 4, 1.0)), 2.0);
}

TEST(Refine, DensityExactlyAtThresholdPassesUnchanged) {
    const std::size_t w = 12, h = 3;
    std::vector<Px> field(w * h, cell(0.0));
    std::vector<std::uint8_t> used(w * h, 0);
    std::vector<std::uint32_t> region = {13, 14, 15, 16, 17, 18, 19};
    for (std::uint32_t i : region)
        used[i] = 1;
    const std::vector<std::uint32_t> region_before = region;
    const std::vector<std::uint8_t> used_before = used;
    const Rect given = horizontal(0, 10, 1, 1.0);
    Rect rect = given;
    double angle = 7.0;
    EXPECT_TRUE(refine(region, angle, rect, used, field, 4, w, h));
    EXPECT_EQ(region, region_before);
    EXPECT_EQ(used, used_before);
    EXPECT_EQ(angle, 7.0);
    expect_same(rect, given);
}

// A sparse region around a seed whose neighbours mostly disagree with it:
// the spread estimate is too tight for them, the re-grown region is the seed
// and its one identical neighbour, below the minimum size.
TEST(Refine, RegrownRegionTooSmall) {
    const std::size_t w = 10, h = 10;
    std::vector<Px> field(w * h, cell(0.3));
    field[55] = cell(0.0);
    field[56] = cell(0.0);
    std::vector<std::uint8_t> used(w * h, 0);
    std::vector<std::uint32_t> region = {55, 0, 9, 90, 99};
    for (std::uint32_t i : region)
        used[i] = 1;
    Rect rect = region_to_rect(region, field, w, 0.0, 0.125);
    ASSERT_LT(region_density(region.size(), rect), 0.7);
    double angle = 7.0;
    EXPECT_FALSE(refine(region, angle, rect, used, field, 4, w, h));
    EXPECT_EQ(region, (std::vector<std::uint32_t>{55, 56}));
    EXPECT_EQ(angle, 0.0);
    for (std::size_t i = 0; i < used.size(); ++i)
        EXPECT_EQ(used[i], i == 55 || i == 56 ? 1 : 0) << i;
}

// Only pixels strictly closer to the seed than the rectangle's width (1
// here) enter the angle spread: the seed alone, so the new tolerance is 0 and
// the seed's near-parallel neighbours are not re-grown.
TEST(Refine, SpreadOnlyWithinWidth) {
    const std::size_t w = 10, h = 10;
    std::vector<Px> field(w * h, cell(1.0));
    field[55] = cell(0.0);
    field[54] = field[56] = cell(0.3);
    field[45] = field[65] = cell(0.1);
    std::vector<std::uint8_t> used(w * h, 0);
    std::vector<std::uint32_t> region = {55, 54, 56, 50, 59};
    for (std::uint32_t i : region)
        used[i] = 1;
    Rect rect = region_to_rect(region, field, w, 0.0, 0.125);
    ASSERT_EQ(rect.width, 1.0);
    ASSERT_LT(region_density(region.size(), rect), 0.7);
    double angle = 7.0;
    EXPECT_FALSE(refine(region, angle, rect, used, field, 4, w, h));
    EXPECT_EQ(region, (std::vector<std::uint32_t>{55}));
}

// A line with a block hanging from its far end: too sparse for its
// rectangle, so the region shrinks around the seed at the line's start until
// only part of the line is left.
TEST(Refine, ShrinksAroundSeed) {
    constexpr std::size_t w = 32, h = 12;
    std::vector<Px> field(w * h, cell(kPi / 2));
    auto idx = [](std::size_t x, std::size_t y) { return static_cast<std::uint32_t>(y * w + x); };
    for (std::size_t x = 0; x < 30; ++x)
        field[idx(x, 5)] = cell(0.0);
    for (std::size_t y = 6; y <= 10; ++y)
        for (std::size_t x = 25; x < 30; ++x)
            field[idx(x, y)] = cell(0.0);
    std::vector<std::uint8_t> used(w * h, 0);
    std::vector<std::uint32_t> region;
    const std::uint32_t seed = idx(0, 5);
    double angle = grow_region(seed, field, used, region, w, h, kAngleTolerance);
    ASSERT_EQ(region.size(), 55u);
    Rect rect = region_to_rect(region, field, w, angle, 0.125);
    ASSERT_LT(region_density(region.size(), rect), 0.7);
    // The first pass keeps the line pixels within 0.75 of the distance from
    // the seed to the farther rectangle end, and already drops the block.
    const double r0 = std::fmax(std::hypot(rect.x1, rect.y1 - 5), std::hypot(rect.x2, rect.y2 - 5));
    const double r1 = 0.75 * r0;
    ASSERT_GT(r1 - std::floor(r1), 1e-6);
    ASSERT_LT(r1, std::hypot(25.0, 1.0));

    ASSERT_TRUE(refine(region, angle, rect, used, field, 4, w, h));
    EXPECT_EQ(region[0], seed);
    EXPECT_EQ(angle, 0.0);
    // A prefix of the line is left; the block and the rest are free again.
    std::size_t last = 0;
    for (std::uint32_t i : region) {
        ASSERT_EQ(i / w, 5u) << i;
        last = std::max<std::size_t>(last, i % w);
    }
    EXPECT_EQ(region.size(), last + 1);
    EXPECT_EQ(last, static_cast<std::size_t>(std::floor(r1)));
    for (std::size_t i = 0; i < used.size(); ++i) {
        const bool in_region = i / w == 5 && i % w <= last;
        EXPECT_EQ(used[i], in_region ? 1 : 0) << i;
    }
    EXPECT_GE(region_density(region.size(), rect), 0.7);
    expect_same(rect, region_to_rect(region, field, w, angle, 0.125));
}

// Rows of a 12 x 10 field: everything at 90 degrees except the rows listed,
// whose cells point at 20 degrees (aligned at pi/8, not at pi/16).
std::vector<Px> rows_at_20_degrees(std::initializer_list<std::size_t> rows) {
    std::vector<Px> f(12 * 10, cell(kPi / 2));
    for (std::size_t y : rows)
        for (std::size_t x = 0; x < 12; ++x)
            f[y * 12 + x] = cell(20 * kPi / 180);
    return f;
}

TEST(ImproveRect, MeaningfulRectangleReturnedAtOnce) {
    const std::vector<Px> f = rows_at_20_degrees({5});
    const Rect given = horizontal(1, 10, 5, 1.0);
    Rect rect = given;
    const double v = improve_rect(rect, f, 12, 10, kGradientThreshold, 0.0);
    EXPECT_EQ(v, log_nfa(10, 10, 0.125, 0.0));
    EXPECT_GT(v, 0.0);
    expect_same(rect, given);
}

// Width 3 tries 2.5, 2.0, 1.5, 1.0, 0.5: from 1.5 on only the aligned row is
// inside, and the later trials with the same value do not replace it.
TEST(ImproveRect, NarrowingKeepsFirstBest) {
    const std::vector<Px> f = rows_at_20_degrees({5});
    Rect rect = horizontal(1, 10, 5, 3.0);
    const double v = improve_rect(rect, f, 12, 10, kGradientThreshold, 100.0);
    EXPECT_EQ(v, log_nfa(10, 10, 0.125, 100.0));
    expect_same(rect, horizontal(1, 10, 5, 1.5));
}

struct SideCase {
    std::size_t aligned_row;
    double centre;
};

class ImproveSides : public ::testing::TestWithParam<SideCase> {};

// Width 1 centred between rows 5 and 6: narrowing to 0.5 keeps no pixel;
// each side trial keeps one row, and only the aligned one improves.
TEST_P(ImproveSides, OneTrialPerSide) {
    const auto [row, centre] = GetParam();
    const std::vector<Px> f = rows_at_20_degrees({row});
    Rect rect = horizontal(1, 10, 5.5, 1.0);
    const double v = improve_rect(rect, f, 12, 10, kGradientThreshold, 100.0);
    EXPECT_EQ(v, log_nfa(10, 10, 0.125, 100.0));
    expect_same(rect, horizontal(1, 10, centre, 0.5));
}

INSTANTIATE_TEST_SUITE_P(Rows, ImproveSides,
                         ::testing::Values(SideCase{6, 5.75}, SideCase{5, 5.25}));

// A rectangle along (0.8, 0.6) over a field whose pixels are aligned (20
// degrees off the axis) only within 0.25 of the centre line: the single
// narrowing trial of width 1.0, to 0.5, drops the misaligned ones.
TEST(ImproveRect, NarrowingFromWidthOne) {
    const std::size_t w = 14, h = 14;
    const double theta = std::atan2(0.6, 0.8);
    std::vector<Px> f(w * h);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x) {
            const double t = 0.8 * (y - 6.0) - 0.6 * (x - 6.0);
            f[y * w + x] = cell(std::fabs(t) <= 0.25 ? theta + 20 * kPi / 180 : theta + kPi / 2);
        }
    const Rect given{2, 3, 10, 9, 1.0, 0.8, 0.6, 0.125 * kPi, 0.125};
    Rect expected = given;
    expected.width = 0.5;
    ASSERT_GT(rect_log_nfa(expected, f, w, h, kGradientThreshold, 100.0),
              rect_log_nfa(given, f, w, h, kGradientThreshold, 100.0));
    Rect rect = given;
    const double v = improve_rect(rect, f, w, h, kGradientThreshold, 100.0);
    expect_same(rect, expected);
    EXPECT_EQ(v, rect_log_nfa(expected, f, w, h, kGradientThreshold, 100.0));
}

// Side trials move the long sides perpendicular to the axis: on a diagonal
// rectangle the second side trial drops the misaligned diagonal above the
// centre line, shifting both ends by (dy, -dx) / 4.
TEST(ImproveRect, SideShiftIsAcrossTheAxis) {
    const std::size_t w = 14, h = 14;
    std::vector<Px> f(w * h);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x)
            f[y * w + x] = cell(y == x + 1 ? 3 * kPi / 4 : kPi / 4 + 20 * kPi / 180);
    const double s = std::sqrt(0.5);
    const Rect given{2, 2, 10, 10, 2.0, s, s, 0.125 * kPi, 0.125};
    Rect rect = given;
    const double v = improve_rect(rect, f, w, h, kGradientThreshold, 100.0);
    const Rect expected{2 + s * 0.25, 2 + -s * 0.25, 10 + s * 0.25, 10 + -s * 0.25, 1.5, s, s,
                        0.125 * kPi,  0.125};
    expect_same(rect, expected);
    EXPECT_EQ(v, rect_log_nfa(expected, f, w, h, kGradientThreshold, 100.0));
    EXPECT_EQ(v, log_nfa(17, 17, 0.125, 100.0));
}

// Exactly aligned pixels gain from every halving of p: five in the first
// precision phase and five more in the last.
TEST(ImproveRect, PrecisionPhases) {
    std::vector<Px> f(12 * 10, cell(0.0));
    Rect rect = horizontal(1, 10, 5, 1.0);
    const double v = improve_rect(rect, f, 12, 10, kGradientThreshold, 100.0);
    const double p = 0.125 / 1024;
    EXPECT_EQ(rect.p, p);
    EXPECT_EQ(rect.prec, p * kPi);
    EXPECT_EQ(rect.width, 1.0);
    EXPECT_EQ(v, log_nfa(10, 10, p, 100.0));
}

TEST(ImproveRect, NoImprovementLeavesRectangle) {
    const std::vector<Px> f = rows_at_20_degrees({5});
    for (double width : {0.5, 0.75}) {
        const Rect given = horizontal(1, 10, 5, width);
        Rect rect = given;
        const double v = improve_rect(rect, f, 12, 10, kGradientThreshold, 100.0);
        EXPECT_EQ(v, log_nfa(10, 10, 0.125, 100.0));
        expect_same(rect, given);
    }
}

} // namespace
