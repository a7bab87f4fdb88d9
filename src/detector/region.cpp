#include "detector/region.hpp"

#include "cancel.hpp"
#include "detector/libm.hpp"
#include "detector/pixel_index.hpp"
#include "detector/speculation.hpp"

#include <cmath>

namespace linora::detector {

double reduce_angle(double d) {
    // Guard: only finite values within a few turns are reduced; for those the
    // loops below run at most twice.
    if (!(std::fabs(d) <= 2.0 * kTwoPi)) return d;
    while (d <= -kPi)
        d += kTwoPi;
    while (d > kPi)
        d -= kTwoPi;
    return d;
}

template <MarkAccess Marks>
DirectionSum grow_region_sum(std::uint32_t seed, std::span<const Px> field, Marks marks,
                             std::vector<std::uint32_t>& region, std::size_t w, std::size_t h,
                             double cos_tolerance) {
    region.clear();
    region.push_back(seed);
    marks.mark(seed);

    // A neighbour is accepted when its unit vector's projection on the
    // direction sum S reaches |S| cos(tolerance), i.e. its angle to S is
    // within the tolerance. The seed's vector is taken as unit length.
    const double c = cos_tolerance;
    double sx = static_cast<double>(field[seed].cos_angle);
    double sy = static_cast<double>(field[seed].sin_angle);
    // The bound c |S| needs the library's hypot; its estimate (libm.hpp) is
    // within 2^-50 of it, so a projection outside [lo, hi], a band of 2^-40
    // around c times the estimate, is decided by the estimate alone, and only
    // one inside needs the library's value. The bounds follow S, which changes
    // less often than they are tested. The seed's bound is c itself.
    double lo = c;
    double hi = c;

    // Inlined at each of its calls: it is the innermost step of growing.
    auto visit = [&](std::size_t n) __attribute__((always_inline)) {
        if (!marks.is_free(n)) return;
        const double nc = static_cast<double>(field[n].cos_angle);
        const double ns = static_cast<double>(field[n].sin_angle);
        const double dot = sx * nc + sy * ns;
        if (dot >= hi || (dot >= lo && dot >= c * library_hypot(sx, sy))) {
            marks.mark(n);
            region.push_back(static_cast<std::uint32_t>(n));
            // n's neighbours are visited when the walk reaches n: the rows
            // above and below are requested now, which hides most of their
            // cache misses (a hint only).
            if (n > w && n + w + 1 < field.size()) {
                __builtin_prefetch(&field[n - w - 1]);
                __builtin_prefetch(&field[n - w + 1]);
                __builtin_prefetch(&field[n + w - 1]);
                __builtin_prefetch(&field[n + w + 1]);
                marks.prefetch(n - w);
                marks.prefetch(n + w);
            }
            sx += nc;
            sy += ns;
            const double approx = c * hypot_estimate(sx, sy);
            // Below this the squares may have lost bits to underflow, and a
            // NaN compares false: the library decides every test.
            if (approx >= 0x1p-400) {
                lo = approx * (1.0 - 0x1p-40);
                hi = approx * (1.0 + 0x1p-40);
            } else {
                lo = -HUGE_VAL;
                hi = HUGE_VAL;
            }
        }
    };

    const std::ptrdiff_t sw = static_cast<std::ptrdiff_t>(w);
    // Indices and W fit in 32 bits (the field has fewer than 2^32 cells).
    const PixelIndex index(static_cast<std::uint32_t>(w));
    const std::ptrdiff_t offsets[8] = {-sw - 1, -sw, -sw + 1, -1, 1, sw - 1, sw, sw + 1};

    // The region list is the queue: it grows while it is walked. A region
    // can cover most of the image: a cancellation point every 4096 pixels.
    for (std::size_t i = 0; i < region.size(); ++i) {
        if ((i & 4095) == 4095) poll(4096);
        const std::size_t idx = region[i];
        const std::uint32_t row = index.row(region[i]);
        const std::size_t y = row;
        const std::size_t x = index.column(region[i], row);
        if (x >= 1 && x + 1 < w && y >= 1 && y + 1 < h) {
            for (std::ptrdiff_t off : offsets)
                visit(static_cast<std::size_t>(static_cast<std::ptrdiff_t>(idx) + off));
        } else {
            // Border pixel: the 3 x 3 block clipped to the image, in the same
            // row-major order; the centre is used and so is skipped.
            const std::size_t y0 = y > 0 ? y - 1 : 0;
            const std::size_t y1 = y + 1 < h ? y + 1 : h - 1;
            const std::size_t x0 = x > 0 ? x - 1 : 0;
            const std::size_t x1 = x + 1 < w ? x + 1 : w - 1;
            for (std::size_t yy = y0; yy <= y1; ++yy)
                for (std::size_t xx = x0; xx <= x1; ++xx)
                    visit(yy * w + xx);
        }
    }
    return {sx, sy};
}

template <MarkAccess Marks>
double grow_region(std::uint32_t seed, std::span<const Px> field, Marks marks,
                   std::vector<std::uint32_t>& region, std::size_t w, std::size_t h,
                   double tolerance) {
    return grow_region_sum(seed, field, marks, region, w, h, std::cos(tolerance)).angle();
}

#define LINORA_INSTANCE(M)                                                                         \
    template DirectionSum grow_region_sum(std::uint32_t, std::span<const Px>, M,                   \
                                          std::vector<std::uint32_t>&, std::size_t, std::size_t,   \
                                          double);                                                 \
    template double grow_region(std::uint32_t, std::span<const Px>, M,                             \
                                std::vector<std::uint32_t>&, std::size_t, std::size_t, double);
LINORA_INSTANCE(DirectMarks)
LINORA_INSTANCE(OverlayMarks)
LINORA_INSTANCE(TurnMarks)
#undef LINORA_INSTANCE

double grow_region(std::uint32_t seed, std::span<const Px> field, std::span<std::uint8_t> used,
                   std::vector<std::uint32_t>& region, std::size_t w, std::size_t h,
                   double tolerance) {
    DirectMarks marks(used);
    return grow_region(seed, field, marks, region, w, h, tolerance);
}

namespace {

// The rectangle of the n points that point(i) gives, in that order: pixel
// positions, as region_point gives them.
template <class Points> Rect fit_rect(std::size_t n, Points point, double region_angle, double p) {
    // Centre: the norm-weighted mean position.
    double sum_w = 0.0;
    double sum_wx = 0.0;
    double sum_wy = 0.0;
    poll(n); // the region may cover most of the image
    for (std::size_t i = 0; i < n; ++i) {
        const RegionPoint q = point(i);
        sum_w += q.weight;
        sum_wx += q.weight * q.x;
        sum_wy += q.weight * q.y;
    }
    const double cx = sum_wx / sum_w;
    const double cy = sum_wy / sum_w;

    // Weighted second moments about the centre, as the matrix
    // [[ixx, ixy], [ixy, iyy]] whose eigenvector for the smaller eigenvalue
    // is the direction of least spread across, i.e. the region's axis.
    double ixx = 0.0;
    double iyy = 0.0;
    double ixy = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const RegionPoint q = point(i);
        const double dx = q.x - cx;
        const double dy = q.y - cy;
        ixx += q.weight * (dy * dy);
        iyy += q.weight * (dx * dx);
        ixy -= (q.weight * dx) * dy;
    }

    const double diff = ixx - iyy;
    const double lambda = 0.5 * ((ixx + iyy) - std::sqrt(diff * diff + 4.0 * (ixy * ixy)));

    // Either form of the eigenvector; the one with the larger component is
    // better conditioned.
    double theta = std::fabs(ixx - lambda) > std::fabs(iyy - lambda)
                       ? std::atan2(lambda - ixx, ixy)
                       : std::atan2(ixy, lambda - iyy);

    // The axis has two directions; take the one that agrees with the
    // level-line direction of the region.
    if (std::fabs(reduce_angle(theta - region_angle)) > kAngleTolerance) theta += kPi;

    const double dx = std::cos(theta);
    const double dy = std::sin(theta);

    double l_min = 0.0;
    double l_max = 0.0;
    double w_min = 0.0;
    double w_max = 0.0;
    auto extremes = [&](auto min_of, auto max_of) {
        for (std::size_t i = 0; i < n; ++i) {
            const RegionPoint q = point(i);
            const double px = q.x - cx;
            const double py = q.y - cy;
            const double l = dx * px + dy * py;
            const double t = dx * py - dy * px;
            l_min = min_of(l_min, l);
            l_max = max_of(l_max, l);
            w_min = min_of(w_min, t);
            w_max = max_of(w_max, t);
        }
    };
    // Pixel positions minus a finite centre, projected on a finite direction,
    // are finite: then fmin_fixed and fmax_fixed are their comparisons alone.
    // A NaN or infinite norm among the weights leaves the centre NaN.
    if (std::isfinite(cx) && std::isfinite(cy) && std::isfinite(dx) && std::isfinite(dy))
        extremes([](double a, double b) { return a < b ? a : b; },
                 [](double a, double b) { return a > b ? a : b; });
    else
        extremes([](double a, double b) { return fmin_fixed(a, b); },
                 [](double a, double b) { return fmax_fixed(a, b); });

    Rect r;
    r.x1 = cx + dx * l_min;
    r.y1 = cy + dy * l_min;
    r.x2 = cx + dx * l_max;
    r.y2 = cy + dy * l_max;
    r.width = fmax_fixed(w_max - w_min, 1.0);
    r.dx = dx;
    r.dy = dy;
    r.prec = kAngleTolerance;
    r.p = p;
    return r;
}

} // namespace

RegionPoint region_point(std::uint32_t idx, std::span<const Px> field, const PixelIndex& index) {
    const std::uint32_t y = index.row(idx);
    return {static_cast<double>(index.column(idx, y)), static_cast<double>(y),
            static_cast<double>(field[idx].norm)};
}

Rect region_to_rect(std::span<const std::uint32_t> region, std::span<const Px> field, std::size_t w,
                    double region_angle, double p) {
    const PixelIndex index(static_cast<std::uint32_t>(w)); // see grow_region
    return fit_rect(
        region.size(), [&](std::size_t i) { return region_point(region[i], field, index); },
        region_angle, p);
}

Rect region_to_rect(std::span<const RegionPoint> points, double region_angle, double p) {
    return fit_rect(
        points.size(), [&](std::size_t i) { return points[i]; }, region_angle, p);
}

} // namespace linora::detector
