// The remap and the warp compute rows eight pixels at a time with AVX-512 or
// four with AVX2, where the CPU has them; every pixel must still be exactly
// what the scalar sampler gives at its position, at every width the CPU runs. These tests compare
// whole outputs with per-pixel sampler calls on positions chosen to hit the lanes' special cases:
// borders and the half-pixel margin, the last pixels of the buffer, NaN and infinities, W = 0, tiny
// rasters, row lengths that are not multiples of four, and rows longer than the
// look-ahead of the rows' position planning.
#include "images.hpp"
#include "simd.hpp"
#include "test_warp_util.hpp"
#include "warp/kernels.hpp"
#include "warp/resample.hpp"
#include "warp/rows.hpp"
#include "warp/samplers.hpp"
#include "warp/vector_rows.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace {

using linora::Filter;
using test_images::positions_with_specials;
using test_images::random_raster;
using test_images::sweep;
using warp_test::value_of;

template <class T, std::size_t C>
void sample_at(const std::vector<T>& src, std::size_t w, std::size_t h, Filter f,
               const linora::LanczosTable& table, double x, double y, T* out) {
    const std::span<const T> s(src);
    if (f == Filter::Bilinear)
        linora::sample_bilinear<T, C>(s, w, h, x, y, std::span<T, C>(out, C));
    else
        linora::sample_lanczos3<T, C>(s, w, h, table, x, y, std::span<T, C>(out, C));
}

template <class T, std::size_t C>
void check_remap(std::size_t w, std::size_t h, std::uint32_t seed) {
    std::mt19937 rng(seed);
    const std::vector<T> src = random_raster<T>(w * h * C, seed);
    const auto table = linora::lanczos3_table();
    for (std::size_t out_w : {1u, 3u, 4u, 7u, 33u, 70u, 150u})
        for (bool smooth : {false, true}) {
            const std::size_t out_h = smooth ? 2 * h + 5 : 9;
            const std::vector<float> mx = smooth ? sweep(out_w, out_h, w, true, rng)
                                                 : positions_with_specials(out_w * out_h, w, rng);
            const std::vector<float> my = smooth ? sweep(out_w, out_h, h, false, rng)
                                                 : positions_with_specials(out_w * out_h, h, rng);
            for (Filter f : {Filter::Bilinear, Filter::Lanczos3}) {
                const std::vector<T> got =
                    value_of(linora::remap<T, C>(src, w, h, mx, my, out_w, out_h, f));
                std::vector<T> want(out_w * out_h * C, 0);
                for (std::size_t i = 0; i < out_w * out_h; ++i)
                    sample_at<T, C>(src, w, h, f, *table, mx[i], my[i], want.data() + i * C);
                ASSERT_EQ(got, want) << w << "x" << h << " C=" << C << " out_w " << out_w
                                     << " filter " << static_cast<int>(f);
            }
        }
}

TEST(VectorRows, RemapMatchesScalarSamplers) {
    linora::at_every_isa([](const char* isa) {
        SCOPED_TRACE(isa);
        for (auto [w, h] : {std::array<std::size_t, 2>{1, 1},
                            {2, 1},
                            {1, 3},
                            {2, 2},
                            {5, 4},
                            {6, 7},
                            {17, 11},
                            {40, 23}}) {
            check_remap<std::uint8_t, 1>(w, h, 1);
            check_remap<std::uint8_t, 3>(w, h, 2);
            check_remap<std::uint16_t, 1>(w, h, 3);
            check_remap<std::uint16_t, 3>(w, h, 4);
        }
    });
}

// A row as the remap computes it (the rows of the active width, then the
// scalar kernel), written over `fill`: the output is not initialised, so the
// row must write every pixel, 0 where the samplers write nothing.
template <class K, class T, std::size_t C>
void check_row_writes_all(std::size_t w, std::size_t h, const std::vector<float>& mx,
                          const std::vector<float>& my, T fill) {
    namespace d = linora::detail;
    const std::vector<T> src = random_raster<T>(w * h * C, 5);
    const auto table = linora::lanczos3_table();
    const d::SourceView<T> view{
        src.data(), w, h, table.get(), (*table)[0].data(), &d::kernel_pixel<K, T, C>};
    const std::size_t n = mx.size();
    std::vector<T> got(n * C, fill);
    const std::size_t x = d::vector_rows<T>(src.size())
                              .remap[d::kernel_index<K>][d::channel_index<C>](
                                  view, mx.data(), my.data(), n, got.data());
    d::scalar_row<K, T, C>(view, d::RemapRowPositions{mx.data(), my.data()}, x, n, got.data());
    std::vector<T> want(n * C, 0);
    for (std::size_t i = 0; i < n; ++i)
        sample_at<T, C>(src, w, h, d::FilterOf<K>::value, *table, mx[i], my[i],
                        want.data() + i * C);
    ASSERT_EQ(got, want) << w << "x" << h << " C=" << C << " n " << n;
}

TEST(VectorRows, RowsWriteEveryPixel) {
    linora::at_every_isa([](const char* isa) {
        SCOPED_TRACE(isa);
        std::mt19937 rng(9);
        for (std::size_t n : {5u, 16u, 70u}) {
            // Positions inside, on the margins, outside, NaN; then all outside.
            const std::vector<float> mx = positions_with_specials(n, 17, rng);
            const std::vector<float> my = positions_with_specials(n, 11, rng);
            const std::vector<float> away(n, -7.0f);
            for (const auto* m : {&mx, &away}) {
                check_row_writes_all<linora::detail::Bilinear, std::uint8_t, 3>(17, 11, *m, my,
                                                                                0xab);
                check_row_writes_all<linora::detail::Lanczos3, std::uint8_t, 1>(17, 11, *m, my,
                                                                                0xab);
                check_row_writes_all<linora::detail::Bilinear, std::uint16_t, 3>(17, 11, *m, my,
                                                                                 0xabcd);
            }
        }
    });
}

template <class T>
void check_warp(std::size_t w, std::size_t h, const std::array<double, 9>& m, double scale,
                double off_x, double off_y) {
    const std::vector<T> src = random_raster<T>(w * h * 3, 7);
    const auto table = linora::lanczos3_table();
    const std::size_t out_w = 2 * w + 3, out_h = h + 2;
    for (Filter f : {Filter::Bilinear, Filter::Lanczos3}) {
        const std::vector<T> got =
            value_of(linora::warp_rgb<T>(src, w, h, out_w, out_h, m, f, scale, off_x, off_y));
        std::vector<T> want(out_w * out_h * 3, 0);
        for (std::size_t y = 0; y < out_h; ++y) {
            const double v = static_cast<double>(y) / scale + off_y;
            const double bx = v * m[1] + m[2], by = v * m[4] + m[5], bw = v * m[7] + m[8];
            for (std::size_t x = 0; x < out_w; ++x) {
                const double u = static_cast<double>(x) / scale + off_x;
                const double W = bw + m[6] * u;
                if (W == 0.0) continue;
                sample_at<T, 3>(src, w, h, f, *table, (bx + u * m[0]) / W, (by + u * m[3]) / W,
                                want.data() + (y * out_w + x) * 3);
            }
        }
        ASSERT_EQ(got, want) << w << "x" << h << " filter " << static_cast<int>(f);
    }
}

TEST(VectorRows, WarpMatchesScalarSamplers) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::array<std::array<double, 9>, 5> matrices = {{
        {1.1, 0.2, -1.5, -0.1, 0.9, 0.5, 0.01, -0.02, 1.0},
        {0.5, 0.0, -0.5, 0.0, 0.5, -0.5, 0.0, 0.0, 1.0}, // lands on -0.5 exactly
        {1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0},   // W = 0 everywhere
        {1.0, 0.0, nan, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0},   // NaN positions
        {1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.1, 0.0, -0.3},  // W crosses 0
    }};
    linora::at_every_isa([&](const char* isa) {
        SCOPED_TRACE(isa);
        for (const auto& m : matrices)
            for (auto [w, h] : {std::array<std::size_t, 2>{1, 1}, {3, 2}, {13, 9}, {70, 9}}) {
                check_warp<std::uint8_t>(w, h, m, 1.7, -1.25, 0.5);
                check_warp<std::uint16_t>(w, h, m, 0.9, 0.0, -0.75);
                // Pixel (0, 0) maps to u = v = 0: 0 / 0 where W = 0.
                check_warp<std::uint8_t>(w, h, m, 1.0, 0.0, 0.0);
                // Powers of two (and a negative scale).
                check_warp<std::uint8_t>(w, h, m, 0.5, 0.25, 0.0);
                check_warp<std::uint16_t>(w, h, m, -4.0, 3.0, 1.0);
            }
    });
}

} // namespace
