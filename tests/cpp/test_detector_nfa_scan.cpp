// rect_pixel_counts finds each row's run of inside pixels instead of testing
// every pixel of the bounding box; these tests compare it with the plain box
// scan on many rectangles, including the awkward ones.
#include "detector/nfa.hpp"
#include "saturating.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace {

using namespace linora::detector;

// The definition: every pixel of the clipped bounding box, tested one by one.
RectCounts box_scan(const Rect& r, const std::vector<Px>& f, std::size_t w, std::size_t h,
                    float threshold) {
    const double cx = (r.x1 + r.x2) / 2.0;
    const double cy = (r.y1 + r.y2) / 2.0;
    const double hl = std::hypot(r.x2 - r.x1, r.y2 - r.y1) * 0.5;
    const double hw = r.width * 0.5;
    const double ex = hl * std::fabs(r.dx) + hw * std::fabs(r.dy);
    const double ey = hw * std::fabs(r.dx) + hl * std::fabs(r.dy);
    using linora::saturating_floor;
    const std::size_t x_min = saturating_floor<std::size_t>(cx - ex);
    const std::size_t y_min = saturating_floor<std::size_t>(cy - ey);
    const std::size_t x_max = std::min(w - 1, saturating_floor<std::size_t>(std::ceil(cx + ex)));
    const std::size_t y_max = std::min(h - 1, saturating_floor<std::size_t>(std::ceil(cy + ey)));
    RectCounts c{0, 0};
    if (y_min > y_max || x_min > x_max) return c;
    const float fdx = static_cast<float>(r.dx), fdy = static_cast<float>(r.dy);
    const float fcos = static_cast<float>(std::cos(r.prec));
    for (std::size_t y = y_min; y <= y_max; ++y)
        for (std::size_t x = x_min; x <= x_max; ++x) {
            const double px = static_cast<double>(x) - cx, py = static_cast<double>(y) - cy;
            const double l = r.dx * px + r.dy * py, t = r.dx * py - r.dy * px;
            if (!(std::fabs(l) <= hl && std::fabs(t) <= hw)) continue;
            ++c.n;
            const Px& p = f[y * w + x];
            if (p.norm > threshold && p.cos_angle * fdx + p.sin_angle * fdy >= fcos) ++c.k;
        }
    return c;
}

struct Field {
    std::size_t w, h;
    std::vector<Px> f;
};

Field random_field(std::size_t w, std::size_t h, std::mt19937_64& rng) {
    std::uniform_real_distribution<float> angle(-3.1415927f, 3.1415927f);
    std::uniform_real_distribution<float> norm(0.0f, 12.0f);
    Field fd{w, h, std::vector<Px>(w * h)};
    for (Px& p : fd.f) {
        const float a = angle(rng);
        p = Px{norm(rng), std::cos(a), std::sin(a)};
    }
    return fd;
}

Rect make_rect(double cx, double cy, double angle, double len, double width, double prec) {
    const double dx = std::cos(angle), dy = std::sin(angle);
    return Rect{cx - dx * len / 2,
                cy - dy * len / 2,
                cx + dx * len / 2,
                cy + dy * len / 2,
                width,
                dx,
                dy,
                prec,
                prec / 3.141592653589793};
}

void expect_same(const Rect& r, const Field& fd) {
    const RectCounts got = rect_pixel_counts(r, fd.f, fd.w, fd.h, kGradientThreshold);
    const RectCounts want = box_scan(r, fd.f, fd.w, fd.h, kGradientThreshold);
    ASSERT_EQ(got.n, want.n) << r.x1 << " " << r.y1 << " " << r.x2 << " " << r.y2 << " w "
                             << r.width << " d " << r.dx << " " << r.dy;
    ASSERT_EQ(got.k, want.k);
}

// Random rectangles of every direction, length and width, many partly or
// wholly outside the field.
TEST(RectPixelCounts, MatchesBoxScanOnRandomRectangles) {
    std::mt19937_64 rng(7);
    const Field fd = random_field(61, 47, rng);
    std::uniform_real_distribution<double> pos(-15.0, 75.0), ang(-4.0, 4.0), len(0.0, 60.0),
        wid(0.0, 9.0);
    for (int i = 0; i < 20000; ++i) {
        const double prec = 0.39269908169872414 / static_cast<double>(1 << (i % 6));
        expect_same(make_rect(pos(rng), pos(rng), ang(rng), len(rng), wid(rng), prec), fd);
    }
}

// Centres, lengths and widths on the half-pixel lattice and axis-aligned or
// diagonal directions put many pixels exactly on the boundary, where the
// run ends are decided by the last bit of l and t.
TEST(RectPixelCounts, MatchesBoxScanOnBoundaryPixels) {
    std::mt19937_64 rng(11);
    const Field fd = random_field(40, 30, rng);
    const double angles[] = {0.0,
                             3.141592653589793 / 2,
                             3.141592653589793,
                             -3.141592653589793 / 2,
                             0.7853981633974483,
                             -2.356194490192345,
                             1e-17,
                             3.141592653589793 / 2 + 1e-16};
    for (double a : angles)
        for (int cx2 = 0; cx2 < 80; cx2 += 3)
            for (int cy2 = 0; cy2 < 60; cy2 += 5)
                for (int l2 = 0; l2 <= 24; l2 += 4)
                    for (int w2 = 1; w2 <= 8; w2 += 3)
                        expect_same(make_rect(cx2 * 0.5, cy2 * 0.5, a, l2 * 0.5, w2 * 0.5,
                                              0.39269908169872414),
                                    fd);
}

// Far-away centres, huge and tiny extents, and non-finite fields.
TEST(RectPixelCounts, MatchesBoxScanOnExtremeRectangles) {
    std::mt19937_64 rng(13);
    const Field fd = random_field(20, 15, rng);
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Rect rects[] = {
        make_rect(1e6, 7.0, 1e-12, 2e6 + 40, 3.0, 0.39),
        make_rect(10.0, -1e9, 3.141592653589793 / 2 - 1e-15, 2e9 + 20, 2.0, 0.39),
        make_rect(10.0, 7.0, 0.3, 1e300, 1.0, 0.39),
        make_rect(10.0, 7.0, 0.3, 3.0, 1e300, 0.39),
        make_rect(10.0, 7.0, 0.3, 0.0, 0.0, 0.39),
        Rect{0.0, 0.0, 19.0, 14.0, inf, 0.8, 0.6, 0.39, 0.125},
        Rect{nan, 0.0, 19.0, 14.0, 2.0, 0.8, 0.6, 0.39, 0.125},
        Rect{0.0, 0.0, 19.0, 14.0, 2.0, nan, 0.6, 0.39, 0.125},
        Rect{-inf, 3.0, inf, 3.0, 2.0, 1.0, 0.0, 0.39, 0.125},
        Rect{2.0, 3.0, 2.0, 3.0, 2.0, 0.0, 0.0, 0.39, 0.125},
    };
    for (const Rect& r : rects)
        expect_same(r, fd);
}

} // namespace
