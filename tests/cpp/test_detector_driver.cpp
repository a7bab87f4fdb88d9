#include "detector/detect.hpp"
#include "detector/downscale.hpp"
#include "detector/driver.hpp"
#include "detector/level_lines.hpp"
#include "images.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <variant>
#include <vector>

namespace {

using linora::Segment;
using linora::SizeMismatch;
using test_images::rotated_rectangle;

template <class T>
std::vector<Segment> run(const std::vector<T>& img, std::size_t w, std::size_t h, double scale) {
    auto r = linora::detect<T>(std::span<const T>(img), w, h, scale);
    EXPECT_TRUE(std::holds_alternative<std::vector<Segment>>(r));
    if (!std::holds_alternative<std::vector<Segment>>(r)) return {};
    return std::get<std::vector<Segment>>(r);
}

double length(const Segment& s) {
    return std::hypot(s.x2 - s.x1, s.y2 - s.y1);
}

// Bitwise equality of two segment lists.
void expect_identical(const std::vector<Segment>& a, const std::vector<Segment>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i)
        EXPECT_EQ(std::memcmp(&a[i], &b[i], sizeof(Segment)), 0) << "segment " << i;
}

template <class T> class DetectTypes : public ::testing::Test {};
using SampleTypes = ::testing::Types<double, float, std::uint8_t, std::uint16_t>;
TYPED_TEST_SUITE(DetectTypes, SampleTypes);

// The length check comes before the size check.
TYPED_TEST(DetectTypes, SizeMismatchFirst) {
    const std::vector<TypeParam> img(3);
    auto r = linora::detect<TypeParam>(std::span<const TypeParam>(img), 2, 2, 1.0);
    ASSERT_TRUE(std::holds_alternative<SizeMismatch>(r));
    EXPECT_EQ(std::get<SizeMismatch>(r), (SizeMismatch{4, 3}));
    auto big = linora::detect<TypeParam>(std::span<const TypeParam>(img), 40, 30, 0.5);
    ASSERT_TRUE(std::holds_alternative<SizeMismatch>(big));
    EXPECT_EQ(std::get<SizeMismatch>(big), (SizeMismatch{1200, 3}));
}

TYPED_TEST(DetectTypes, SmallAndConstantImagesAreEmpty) {
    EXPECT_TRUE(run(std::vector<TypeParam>(20, TypeParam(9)), 2, 10, 1.0).empty());
    EXPECT_TRUE(run(std::vector<TypeParam>(20, TypeParam(9)), 10, 2, 1.0).empty());
    for (double scale : {1.0, 0.8, 0.5})
        EXPECT_TRUE(run(std::vector<TypeParam>(64 * 48, TypeParam(200)), 64, 48, scale).empty());
}

TEST(Detect, ClearEdgeGivesOneSegment) {
    const std::size_t w = 100, h = 100;
    std::vector<std::uint8_t> img(w * h);
    for (std::size_t y = 0; y < h; ++y)
        for (std::size_t x = 0; x < w; ++x)
            img[y * w + x] = x >= 50 ? 200 : 50;
    for (double scale : {1.0, 0.8, 0.5}) {
        const std::vector<Segment> segs = run(img, w, h, scale);
        ASSERT_EQ(segs.size(), 1u) << scale;
        const Segment& s = segs[0];
        EXPECT_NEAR(s.x1, 50.0, 1.5) << scale;
        EXPECT_NEAR(s.x2, 50.0, 1.5) << scale;
        // Brighter on the right: the level line points down the image.
        EXPECT_LT(s.y1, 3.0) << scale;
        EXPECT_GT(s.y2, 96.0) << scale;
        EXPECT_GE(s.width, 1.0);
        EXPECT_EQ(s.precision, 0.125);
        EXPECT_GT(s.log_nfa, 10.0);
    }
}

TEST(Detect, RotatedRectangleGivesItsSides) {
    const std::vector<std::uint8_t> img = rotated_rectangle(160, 120, 0.3, 6.0);
    const std::vector<Segment> segs = run(img, 160, 120, 0.8);
    ASSERT_GE(segs.size(), 4u);
    for (std::size_t i = 0; i < segs.size(); ++i) {
        EXPECT_GT(segs[i].log_nfa, 0.0);
        if (i > 0) {
            EXPECT_GE(length(segs[i - 1]), length(segs[i]));
        }
    }
    // The longest runs along a long side: direction 0.3 rad (either way).
    const double dir = std::atan2(segs[0].y2 - segs[0].y1, segs[0].x2 - segs[0].x1);
    EXPECT_NEAR(std::fabs(std::sin(dir - 0.3)), 0.0, 0.05);
    EXPECT_GT(length(segs[0]), 60.0);
}

TEST(Detect, ScaleOneAndAboveAndNaNAgree) {
    const std::vector<std::uint8_t> img = rotated_rectangle(90, 70, 0.5, 4.0);
    const std::vector<Segment> one = run(img, 90, 70, 1.0);
    ASSERT_FALSE(one.empty());
    expect_identical(one, run(img, 90, 70, 2.0));
    expect_identical(one, run(img, 90, 70, std::numeric_limits<double>::quiet_NaN()));
}

TEST(Detect, ZeroAndNegativeScalesAreEmpty) {
    const std::vector<std::uint8_t> img = rotated_rectangle(90, 70, 0.5, 4.0);
    for (double scale : {0.0, -0.0, -0.5, -2.0, 0.03, 1e-300})
        EXPECT_TRUE(run(img, 90, 70, scale).empty()) << scale;
}

// 5 x 5 at 0.5 is 2 x 2 after sub-sampling: nothing to do, although the
// full-size ramp holds a segment. 6 x 6 gives 3 x 3, where a strong vertical
// edge still makes one segment over the four cells of the field.
TEST(Detect, SmallSubsampledSizes) {
    const double ramp[] = {0, 0, 100, 200, 200};
    std::vector<double> five(25);
    for (std::size_t i = 0; i < 25; ++i)
        five[i] = ramp[i % 5];
    EXPECT_TRUE(run(five, 5, 5, 0.5).empty());
    EXPECT_EQ(run(five, 5, 5, 1.0).size(), 1u);
    std::vector<double> six(36);
    for (std::size_t i = 0; i < 36; ++i)
        six[i] = i % 6 >= 3 ? 255.0 : 0.0;
    const std::vector<Segment> segs = run(six, 6, 6, 0.5);
    ASSERT_EQ(segs.size(), 1u);
    // Cells (0..1, 0..1) of the 3 x 3 field, centred at 1 to 3 after the
    // half-pixel shift and doubling.
    EXPECT_NEAR(segs[0].x1, segs[0].x2, 1e-9);
    EXPECT_GE(segs[0].x1, 1.0);
    EXPECT_LE(segs[0].x1, 3.0);
    EXPECT_NEAR(segs[0].y1, 1.0, 1e-9);
    EXPECT_NEAR(segs[0].y2, 3.0, 1e-9);
}

// Coordinates and width found on the sub-sampled raster are scaled by
// 1 / scale after the half-pixel shift; precision and log-NFA are not.
TEST(Detect, SubsampledResultsAreScaledBack) {
    const std::vector<std::uint8_t> img8 = rotated_rectangle(120, 100, 0.2, 5.0);
    const std::vector<double> img(img8.begin(), img8.end());
    const linora::detector::Raster small = linora::detector::downscale<double>(img, 120, 100, 0.5);
    const std::vector<Segment> half = run(img, 120, 100, 0.5);
    const std::vector<double> small_samples(small.samples.begin(), small.samples.end());
    const std::vector<Segment> direct = run(small_samples, small.width, small.height, 1.0);
    ASSERT_FALSE(half.empty());
    ASSERT_EQ(half.size(), direct.size());
    for (std::size_t i = 0; i < half.size(); ++i) {
        EXPECT_EQ(half[i].x1, 2 * direct[i].x1);
        EXPECT_EQ(half[i].y1, 2 * direct[i].y1);
        EXPECT_EQ(half[i].x2, 2 * direct[i].x2);
        EXPECT_EQ(half[i].y2, 2 * direct[i].y2);
        EXPECT_EQ(half[i].width, 2 * direct[i].width);
        EXPECT_EQ(half[i].precision, direct[i].precision);
        EXPECT_EQ(half[i].log_nfa, direct[i].log_nfa);
    }
}

TEST(Detect, SampleTypesAgree) {
    const std::vector<std::uint8_t> img8 = rotated_rectangle(100, 80, 0.7, 8.0);
    std::vector<std::uint16_t> img16(img8.size());
    std::vector<float> imgf(img8.size());
    std::vector<double> imgd(img8.size());
    for (std::size_t i = 0; i < img8.size(); ++i) {
        img16[i] = static_cast<std::uint16_t>(img8[i] * 257);
        imgf[i] = img8[i];
        imgd[i] = img8[i];
    }
    for (double scale : {1.0, 0.8}) {
        const std::vector<Segment> ref = run(img8, 100, 80, scale);
        ASSERT_FALSE(ref.empty());
        expect_identical(ref, run(img16, 100, 80, scale));
        expect_identical(ref, run(imgf, 100, 80, scale));
        expect_identical(ref, run(imgd, 100, 80, scale));
    }
}

// 16-bit samples are divided by 257, also between multiples of 257.
TEST(Detect, SixteenBitScaling) {
    const std::vector<std::uint8_t> img8 = rotated_rectangle(100, 80, 0.7, 8.0, 3u);
    std::vector<std::uint16_t> img16(img8.size());
    std::vector<double> imgd(img8.size());
    test_images::Lcg lcg{5u};
    for (std::size_t i = 0; i < img8.size(); ++i) {
        img16[i] = static_cast<std::uint16_t>(img8[i] * 256 + (lcg.next() >> 24));
        imgd[i] = img16[i] / 257.0;
    }
    for (double scale : {1.0, 0.8}) {
        const std::vector<Segment> ref = run(imgd, 100, 80, scale);
        ASSERT_FALSE(ref.empty());
        expect_identical(ref, run(img16, 100, 80, scale));
    }
}

// Equal lengths keep seed order: the stronger edge is seeded first even
// though it lies further right.
TEST(Detect, EqualLengthsInSeedOrder) {
    const std::size_t w = 80, h = 40;
    for (const double right_step : {100.0, 200.0}) {
        std::vector<double> img(w * h);
        for (std::size_t y = 0; y < h; ++y)
            for (std::size_t x = 0; x < w; ++x)
                img[y * w + x] = x < 20 ? 0.0 : x < 60 ? 100.0 : 100.0 + right_step;
        const std::vector<Segment> segs = run(img, w, h, 1.0);
        ASSERT_EQ(segs.size(), 2u);
        ASSERT_EQ(length(segs[0]), length(segs[1]));
        const bool left_first = segs[0].x1 < segs[1].x1;
        EXPECT_EQ(left_first, right_step == 100.0) << right_step;
    }
}

// Non-finite and extreme samples run to completion; whatever is returned has
// a positive (or NaN) score.
TEST(Detect, NonFiniteImagesFinish) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::size_t w = 60, h = 50;
    const std::vector<std::uint8_t> base = rotated_rectangle(w, h, 0.3, 5.0);
    const auto make = [&](auto fill) {
        std::vector<double> img(base.begin(), base.end());
        for (std::size_t i = 0; i < img.size(); ++i)
            fill(img[i], i % w, i / w);
        return img;
    };
    const std::vector<std::vector<double>> images = {
        make([&](double& v, std::size_t x, std::size_t y) {
            if (x > 20 && x < 30 && y > 10) v = nan;
        }),
        make([&](double& v, std::size_t x, std::size_t) {
            if (x == 30) v = inf;
        }),
        make([&](double& v, std::size_t, std::size_t y) {
            if (y % 7 == 0) v = -inf;
        }),
        make([&](double& v, std::size_t x, std::size_t y) { v = (x + y) % 2 ? 1e308 : -1e308; }),
        make([&](double& v, std::size_t x, std::size_t) {
            if (x >= 30) v = 1e308;
        }),
        make([&](double& v, std::size_t x, std::size_t) { v = x >= 30 ? inf : -inf; }),
        make([&](double& v, std::size_t x, std::size_t y) {
            v = (x * 7 + y * 3) % 5 == 0 ? nan : v * 1e306;
        }),
        make([&](double& v, std::size_t, std::size_t) { v = nan; }),
    };
    for (std::size_t k = 0; k < images.size(); ++k)
        for (double scale : {1.0, 0.8, 0.5}) {
            for (const Segment& s : run(images[k], w, h, scale))
                EXPECT_TRUE(s.log_nfa > 0.0 || std::isnan(s.log_nfa)) << k << " " << scale;
        }
    std::vector<float> f(base.begin(), base.end());
    for (std::size_t i = 0; i < f.size(); i += 3)
        f[i] = std::numeric_limits<float>::infinity();
    for (const Segment& s : run(f, w, h, 0.8))
        EXPECT_TRUE(s.log_nfa > 0.0 || std::isnan(s.log_nfa));
}

TEST(DetectParameters, LogNtAndMinimumRegionSize) {
    using namespace linora::detector;
    EXPECT_EQ(log_nt(3, 3), 3.426998958756537);
    EXPECT_EQ(min_region_size(log_nt(3, 3)), 4u);
    EXPECT_EQ(log_nt(100, 100), 11.041392685158225);
    EXPECT_EQ(min_region_size(log_nt(100, 100)), 13u);
    // 640 x 480: logNT / log10 8 is 16.something, rounded up.
    EXPECT_EQ(min_region_size(log_nt(640, 480)), 17u);
}

TEST(DetectParameters, WorkingSizeLimit) {
    using linora::detector::check_working_size;
    EXPECT_NO_THROW(check_working_size(65536, 65535));
    EXPECT_NO_THROW(check_working_size(4294967295u, 1));
    EXPECT_THROW(check_working_size(65536, 65536), linora::InputTooLarge);
    EXPECT_THROW(check_working_size(4294967296u, 1), linora::InputTooLarge);
    EXPECT_THROW(check_working_size(std::numeric_limits<std::size_t>::max(), 3),
                 linora::InputTooLarge);
    try {
        check_working_size(70000, 70000);
        FAIL();
    } catch (const linora::InputTooLarge& e) {
        EXPECT_NE(std::string(e.what()).find("70000 x 70000"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("32-bit"), std::string::npos);
    }
}

// Lengths 0..4 repeated; the original position is kept in log_nfa.
std::vector<Segment> numbered(std::size_t n) {
    std::vector<Segment> v;
    for (std::size_t i = 0; i < n; ++i)
        v.push_back(
            Segment{0, 0, static_cast<double>((i * 7) % 5), 0, 1, 0.125, static_cast<double>(i)});
    return v;
}

TEST(SortByLength, StableDecreasing) {
    for (std::size_t n : {0u, 1u, 2u, 7u, 20u, 21u, 64u}) {
        std::vector<Segment> v = numbered(n);
        linora::detector::sort_by_length(v);
        ASSERT_EQ(v.size(), n);
        std::vector<bool> seen(n);
        for (std::size_t i = 0; i < n; ++i) {
            seen[static_cast<std::size_t>(v[i].log_nfa)] = true;
            if (i == 0) continue;
            ASSERT_GE(v[i - 1].x2, v[i].x2) << n;
            if (v[i - 1].x2 == v[i].x2) {
                ASSERT_LT(v[i - 1].log_nfa, v[i].log_nfa) << n;
            }
        }
        for (bool b : seen)
            EXPECT_TRUE(b);
    }
}

// totalOrder: a positive NaN length comes before every number.
TEST(SortByLength, NaNLengthFirst) {
    for (std::size_t n : {5u, 30u}) {
        std::vector<Segment> v = numbered(n);
        v[n - 2].x2 = std::numeric_limits<double>::quiet_NaN();
        v[n - 1].x2 = std::numeric_limits<double>::infinity();
        linora::detector::sort_by_length(v);
        EXPECT_TRUE(std::isnan(v[0].x2));
        EXPECT_EQ(v[0].log_nfa, static_cast<double>(n - 2));
        EXPECT_TRUE(std::isinf(v[1].x2));
    }
}

} // namespace
