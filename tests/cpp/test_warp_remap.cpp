// Coordinate-map remap.
#include "images.hpp"
#include "test_warp_util.hpp"
#include "warp/resample.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

namespace {

using linora::Filter;
using linora::SizeMismatch;
using test_images::identity_maps;
using test_images::Maps;
using test_images::random_maps;
using test_images::random_raster;
using warp_test::value_of;

constexpr Filter filters[] = {Filter::Bilinear, Filter::Lanczos3};
constexpr float nanf = std::numeric_limits<float>::quiet_NaN();

template <class T, std::size_t C>
std::vector<T> remap(const std::vector<T>& src, std::size_t w, std::size_t h,
                     const std::vector<float>& mx, const std::vector<float>& my, std::size_t ow,
                     std::size_t oh, Filter f) {
    return value_of(linora::remap<T, C>(src, w, h, mx, my, ow, oh, f));
}

// Identity maps reproduce the source; a constant source stays constant
// whatever the (inside) positions.
template <class T, std::size_t C> void check_identity_and_constant() {
    const std::size_t w = 13, h = 9;
    const auto src = random_raster<T>(w * h * C, 11);
    const Maps id = identity_maps(w, h);
    const Maps any = random_maps(7 * 5, -0.5f, w - 0.5f, -0.5f, h - 0.5f, 12);
    for (T level :
         {T(0), T(1), T(std::numeric_limits<T>::max() / 3), std::numeric_limits<T>::max()}) {
        const std::vector<T> flat(w * h * C, level);
        for (Filter f : filters) {
            EXPECT_EQ((remap<T, C>(src, w, h, id.x, id.y, w, h, f)), src);
            EXPECT_EQ((remap<T, C>(flat, w, h, any.x, any.y, 7, 5, f)),
                      std::vector<T>(7 * 5 * C, level));
        }
    }
}

TEST(WarpRemap, IdentityAndConstant) {
    check_identity_and_constant<std::uint8_t, 1>();
    check_identity_and_constant<std::uint8_t, 3>();
    check_identity_and_constant<std::uint16_t, 1>();
    check_identity_and_constant<std::uint16_t, 3>();
}

TEST(WarpRemap, NonFiniteMapValues) {
    const std::size_t w = 5, h = 4;
    const auto src = random_raster<std::uint8_t>(w * h, 14);
    const float inff = std::numeric_limits<float>::infinity();
    const std::vector<float> mx = {nanf, nanf, inff, 2, -inff};
    const std::vector<float> my = {3, nanf, 1, inff, 0};
    EXPECT_EQ((remap<std::uint8_t, 1>(src, w, h, mx, my, 5, 1, Filter::Bilinear)),
              (std::vector<std::uint8_t>{0, 0, 0, 0, 0}));
    EXPECT_EQ((remap<std::uint8_t, 1>(src, w, h, mx, my, 5, 1, Filter::Lanczos3)),
              (std::vector<std::uint8_t>{0, 0, 0, 0, 0}));
}

template <class T> SizeMismatch mismatch(linora::Checked<linora::Buffer<T>> r) {
    EXPECT_TRUE(std::holds_alternative<SizeMismatch>(r));
    return std::holds_alternative<SizeMismatch>(r) ? std::get<SizeMismatch>(r) : SizeMismatch{};
}

// The source length is checked first, then map_x, then map_y.
TEST(WarpRemap, SizeMismatchOrder) {
    const std::vector<std::uint8_t> src(4 * 3 * 3), short_src(4 * 3 * 3 - 1);
    const std::vector<float> m(6), m_short(5);
    using linora::remap;
    for (Filter f : filters) {
        EXPECT_EQ(mismatch(remap<std::uint8_t, 3>(short_src, 4, 3, m_short, m_short, 3, 2, f)),
                  (SizeMismatch{36, 35}));
        EXPECT_EQ(mismatch(remap<std::uint8_t, 3>(src, 4, 3, m_short, m, 3, 2, f)),
                  (SizeMismatch{6, 5}));
        EXPECT_EQ(mismatch(remap<std::uint8_t, 3>(src, 4, 3, m, m_short, 3, 2, f)),
                  (SizeMismatch{6, 5}));
        EXPECT_EQ(mismatch(remap<std::uint8_t, 1>(src, 4, 3, m, m, 3, 2, f)),
                  (SizeMismatch{12, 36}));
    }
}

TEST(WarpRemap, ZeroWidthRefusedZeroHeightEmpty) {
    const std::vector<std::uint16_t> src(2 * 2);
    const std::vector<float> none;
    for (Filter f : filters) {
        for (std::size_t oh : {0u, 5u}) {
            try {
                linora::remap<std::uint16_t, 1>(src, 2, 2, none, none, 0, oh, f);
                ADD_FAILURE() << "out_w = 0 accepted";
            } catch (const linora::InternalError& e) {
                EXPECT_STREQ(e.what(), "chunk_size must not be zero");
            }
        }
        EXPECT_TRUE((remap<std::uint16_t, 1>(src, 2, 2, none, none, 5, 0, f)).empty());
    }
}

// An empty source: most positions are outside (NaN ones too); -0.5 along the
// empty dimension passes the range test and stops the operation.
TEST(WarpRemap, EmptySource) {
    const std::vector<std::uint8_t> none;
    for (Filter f : filters) {
        const std::vector<float> mx = {0, -0.5f, -1, nanf}, my = {1, 5, -0.5f, nanf};
        EXPECT_EQ((remap<std::uint8_t, 3>(none, 0, 4, mx, my, 2, 2, f)),
                  std::vector<std::uint8_t>(12, 0));
        EXPECT_EQ((remap<std::uint8_t, 3>(none, 4, 0, mx, my, 2, 2, f)),
                  std::vector<std::uint8_t>(12, 0));
        for (auto [w, h, x, y] : {std::tuple{0, 4, -0.5f, 1.0f}, {4, 0, 1.0f, -0.5f}}) {
            const std::vector<float> bx = {0.0f, x}, by = {0.0f, y};
            EXPECT_THROW((linora::remap<std::uint8_t, 3>(none, w, h, bx, by, 2, 1, f)),
                         linora::InternalError);
        }
    }
}

} // namespace
