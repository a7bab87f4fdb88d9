// Perspective warp of RGB images.
#include "images.hpp"
#include "test_warp_util.hpp"
#include "warp/resample.hpp"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

namespace {

using linora::Filter;
using test_images::random_raster;
using warp_test::value_of;

constexpr Filter filters[] = {Filter::Bilinear, Filter::Lanczos3};
constexpr std::array<double, 9> identity = {1, 0, 0, 0, 1, 0, 0, 0, 1};

template <class T>
std::vector<T> warp(const std::vector<T>& src, std::size_t w, std::size_t h, std::size_t ow,
                    std::size_t oh, const std::array<double, 9>& m, Filter f, double scale = 1,
                    double off_x = 0, double off_y = 0) {
    return value_of(linora::warp_rgb<T>(src, w, h, ow, oh, m, f, scale, off_x, off_y));
}

template <class T> void check_identity() {
    const std::size_t w = 14, h = 10;
    const auto src = random_raster<T>(w * h * 3, 31);
    for (Filter f : filters)
        EXPECT_EQ(warp(src, w, h, w, h, identity, f), src);
}

TEST(WarpRgb, IdentityReproducesTheSource) {
    check_identity<std::uint8_t>();
    check_identity<std::uint16_t>();
}

// Scale 2: output (x, y) samples (x / 2, y / 2); the last column of a
// double-size output samples the edge x = w - 0.5.
TEST(WarpRgb, ScaleTwo) {
    const std::size_t w = 5, h = 4;
    const auto src = random_raster<std::uint8_t>(w * h * 3, 32);
    const auto out = warp(src, w, h, 2 * w, 2 * h, identity, Filter::Bilinear, 2.0);
    auto o = [&](std::size_t x, std::size_t y, std::size_t c) {
        return out[(y * 2 * w + x) * 3 + c];
    };
    auto s = [&](std::size_t x, std::size_t y, std::size_t c) { return src[(y * w + x) * 3 + c]; };
    for (std::size_t c = 0; c < 3; ++c) {
        for (std::size_t y = 0; y < h; ++y) {
            for (std::size_t x = 0; x < w; ++x)
                EXPECT_EQ(o(2 * x, 2 * y, c), s(x, y, c));
            EXPECT_EQ(o(2 * w - 1, 2 * y, c), s(w - 1, y, c));
        }
        EXPECT_EQ(o(1, 0, c), (s(0, 0, c) + s(1, 0, c) + 1) / 2); // halves go up
    }
}

TEST(WarpRgb, OffsetShiftsColumns) {
    const std::size_t w = 16, h = 3;
    const auto src = random_raster<std::uint16_t>(w * h * 3, 33);
    for (Filter f : filters) {
        const auto out = warp(src, w, h, w, h, identity, f, 1.0, 10.0);
        for (std::size_t y = 0; y < h; ++y)
            for (std::size_t x = 0; x < w; ++x)
                for (std::size_t c = 0; c < 3; ++c)
                    EXPECT_EQ(out[(y * w + x) * 3 + c],
                              x + 10 < w ? src[(y * w + x + 10) * 3 + c] : 0)
                        << x << "," << y;
    }
}

// W = 0 (of either sign) skips the pixel; W = -1 negates the positions, so
// only the origin stays inside.
TEST(WarpRgb, ThirdRowOfTheMatrix) {
    const std::size_t w = 6, h = 5;
    const std::vector<std::uint8_t> flat(w * h * 3, 200);
    const std::vector<std::uint8_t> zeros(w * h * 3, 0);
    for (Filter f : filters) {
        EXPECT_EQ(warp(flat, w, h, w, h, {1, 0, 0, 0, 1, 0, 0, 0, 0}, f), zeros);
        EXPECT_EQ(warp(flat, w, h, w, h, {1, 0, 0, 0, 1, 0, -0.0, -0.0, -0.0}, f), zeros);
        std::vector<std::uint8_t> origin_only = zeros;
        for (std::size_t c = 0; c < 3; ++c)
            origin_only[c] = 200;
        EXPECT_EQ(warp(flat, w, h, w, h, {1, 0, 0, 0, 1, 0, 0, 0, -1}, f), origin_only);
    }
}

// The row term is added first, then the column term: with terms of 1e16 the
// textbook order would lose the 0.25 (in X) or the whole of W.
TEST(WarpRgb, RowTermIsAddedFirst) {
    const std::vector<std::uint8_t> src = {0, 0, 0, 200, 200, 200};
    const std::vector<std::uint8_t> expected = {0, 0, 0, 50, 50, 50};
    const std::array<double, 9> big_x = {0.25, 1e16, -1e16, 0, 0, 0, 0, 0, 1};
    const std::array<double, 9> big_w = {0.25, 0, 0, 0, 0, 0, 1, 1e16, -1e16};
    EXPECT_EQ(warp(src, 2, 1, 2, 1, big_x, Filter::Bilinear, 1.0, 0.0, 1.0), expected);
    EXPECT_EQ(warp(src, 2, 1, 2, 1, big_w, Filter::Bilinear, 1.0, 0.0, 1.0), expected);
}

// A NaN scale makes every position NaN: outside, 0 with either filter.
TEST(WarpRgb, NanScale) {
    const std::size_t w = 4, h = 3;
    const auto src = random_raster<std::uint8_t>(w * h * 3, 34);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (Filter f : filters)
        EXPECT_EQ(warp(src, w, h, 3, 2, identity, f, nan), std::vector<std::uint8_t>(3 * 2 * 3, 0));
}

TEST(WarpRgb, SourceLengthIsTheOnlyCheck) {
    const std::vector<std::uint16_t> src(4 * 3 * 3 - 1);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (Filter f : filters) {
        auto r = linora::warp_rgb<std::uint16_t>(src, 4, 3, 0, 7, identity, f, nan, 0, 0);
        ASSERT_TRUE(std::holds_alternative<linora::SizeMismatch>(r));
        EXPECT_EQ(std::get<linora::SizeMismatch>(r), (linora::SizeMismatch{36, 35}));
    }
}

TEST(WarpRgb, ZeroWidthRefusedZeroHeightEmpty) {
    const std::vector<std::uint8_t> src(2 * 2 * 3);
    for (Filter f : filters) {
        for (std::size_t oh : {0u, 3u}) {
            try {
                warp(src, 2, 2, 0, oh, identity, f);
                ADD_FAILURE() << "out_w = 0 accepted";
            } catch (const linora::InternalError& e) {
                EXPECT_STREQ(e.what(), "chunk_size must not be zero");
            }
        }
        EXPECT_TRUE(warp(src, 2, 2, 5, 0, identity, f).empty());
        EXPECT_TRUE(
            warp(src, 2, 2, std::numeric_limits<std::size_t>::max(), 0, identity, f).empty());
    }
}

// An output that cannot be allocated is reported, naming its size; nothing
// is computed.
TEST(WarpRgb, HugeOutputsAreRefused) {
    std::string overcommit;
    std::ifstream("/proc/sys/vm/overcommit_memory") >> overcommit;
    const std::vector<std::uint8_t> src8(3);
    const std::vector<std::uint16_t> src16(3);
    const std::size_t max = std::numeric_limits<std::size_t>::max();
    const std::size_t big[][2] = {
        {1000000, 1000000}, {1ull << 40, 1ull << 40}, {max, 2}, {1ull << 62, 1}, {max, max}};
    for (auto [ow, oh] : big) {
        // Without overcommit limits the first size could really be mapped.
        if (ow == 1000000 && overcommit == "1") continue;
        const std::string text = "cannot allocate an output of " + std::to_string(ow) + " x " +
                                 std::to_string(oh) + " x 3 samples";
        for (Filter f : filters) {
            try {
                linora::warp_rgb<std::uint8_t>(src8, 1, 1, ow, oh, identity, f, 1, 0, 0);
                ADD_FAILURE() << ow << " x " << oh << " accepted";
            } catch (const linora::OutputTooLarge& e) {
                EXPECT_EQ(e.what(), text);
            }
            EXPECT_THROW(linora::warp_rgb<std::uint16_t>(src16, 1, 1, ow, oh, identity, f, 1, 0, 0),
                         linora::OutputTooLarge);
        }
    }
}

// An empty source: positions are outside unless a coordinate is exactly -0.5,
// which stops the operation.
TEST(WarpRgb, EmptySource) {
    const std::vector<std::uint8_t> none;
    for (Filter f : filters) {
        EXPECT_EQ(warp(none, 0, 0, 2, 2, identity, f), std::vector<std::uint8_t>(12, 0));
        EXPECT_THROW(warp(none, 0, 0, 2, 2, identity, f, 1.0, -0.5, -0.5), linora::InternalError);
    }
}

} // namespace
