#include "detector/refine.hpp"

#include "cancel.hpp"
#include "detector/libm.hpp"
#include "detector/nfa.hpp"
#include "detector/pixel_index.hpp"
#include "detector/region.hpp"
#include "detector/speculation.hpp"

#include <array>
#include <cmath>
#include <vector>

namespace linora::detector {

namespace {

constexpr double kRadiusFactor = 0.75;
constexpr double kPrecisionFactor = 0.5;
constexpr double kWidthStep = 0.5;
constexpr double kSideShift = 0.25;
constexpr double kMinTrialWidth = 0.5;
constexpr int kTrialsPerPhase = static_cast<int>(kPrecisionTrials);

double level_line_angle(const Px& c) {
    return std::atan2(static_cast<double>(c.sin_angle), static_cast<double>(c.cos_angle));
}

} // namespace

double region_density(std::size_t region_size, const Rect& rect) {
    const double len = library_hypot(rect.x2 - rect.x1, rect.y2 - rect.y1);
    return static_cast<double>(region_size) / fmax_fixed(len * rect.width, 1.0);
}

template <MarkAccess Marks>
bool refine(std::vector<std::uint32_t>& region, double& region_angle, Rect& rect, Marks marks,
            std::span<const Px> field, std::size_t min_size, std::size_t w, std::size_t h) {
    if (region_density(region.size(), rect) >= kDensityThreshold) return true;
    // Pixel indices and W fit in 32 bits.
    const PixelIndex index(static_cast<std::uint32_t>(w));

    // Spread of level-line angles within one rectangle width of the seed:
    // twice its standard deviation becomes the new growing tolerance.
    const std::uint32_t seed = region[0];
    const double x0 = static_cast<double>(seed % w);
    const double y0 = static_cast<double>(seed / w);
    const double a_c = level_line_angle(field[seed]);
    double sum = 0.0;
    double sum2 = 0.0;
    double m = 0.0;
    for (std::size_t k = 0; k < region.size(); ++k) {
        if ((k & 4095) == 4095) poll(4096); // the region may cover most of the image
        const std::uint32_t idx = region[k];
        const std::uint32_t row = index.row(idx);
        const double dx = static_cast<double>(index.column(idx, row)) - x0;
        const double dy = static_cast<double>(row) - y0;
        if (hypot_below(hypot_estimate(dx, dy), dx, dy, rect.width)) {
            const double d = reduce_angle(level_line_angle(field[idx]) - a_c);
            sum += d;
            sum2 += d * d;
            m += 1.0;
        }
    }
    const double mean = sum / m;
    const double tau = 2.0 * std::sqrt(fmax_fixed(sum2 / m - mean * mean, 0.0));

    // Re-grow from the seed with that tolerance.
    for (std::uint32_t idx : region)
        marks.unmark(idx);
    region_angle = grow_region(seed, field, marks, region, w, h, tau);
    if (region.size() < min_size) return false;
    rect = region_to_rect(region, field, w, region_angle, rect.p);
    if (region_density(region.size(), rect) >= kDensityThreshold) return true;

    // Shrink around the seed: drop the pixels beyond a radius that starts at
    // the farther rectangle end and decreases geometrically.
    double r = fmax_fixed(library_hypot(rect.x1 - x0, rect.y1 - y0),
                          library_hypot(rect.x2 - x0, rect.y2 - y0));
    // Every pass compares the same distances with a smaller radius and fits
    // a rectangle to the same points: both are computed once, kept beside
    // their pixels and moved with them (the distances as their estimates).
    std::vector<RegionPoint> points(region.size());
    std::vector<double> distance(region.size());
    for (std::size_t j = 0; j < region.size(); ++j) {
        points[j] = region_point(region[j], field, index);
        distance[j] = hypot_estimate(points[j].x - x0, points[j].y - y0);
    }
    for (;;) {
        // Each pass walks the whole region: a cancellation point.
        poll(region.size());
        // Guard: a radius that is NaN or infinite stays so after scaling and
        // can never exclude a pixel, so the region and its rectangle would
        // repeat forever; the candidate is rejected instead. Every finite
        // radius reaches the exclusions below in finitely many passes.
        if (!std::isfinite(r)) return false;
        r *= kRadiusFactor;
        for (std::size_t j = 0; j < region.size();) {
            if (hypot_above(distance[j], points[j].x - x0, points[j].y - y0, r)) {
                marks.unmark(region[j]);
                region[j] = region.back();
                region.pop_back();
                points[j] = points.back();
                points.pop_back();
                distance[j] = distance.back();
                distance.pop_back();
            } else {
                ++j;
            }
        }
        if (region.size() < min_size) return false;
        rect = region_to_rect(points, region_angle, rect.p);
        if (region_density(region.size(), rect) >= kDensityThreshold) return true;
    }
}

template bool refine(std::vector<std::uint32_t>&, double&, Rect&, DirectMarks, std::span<const Px>,
                     std::size_t, std::size_t, std::size_t);
template bool refine(std::vector<std::uint32_t>&, double&, Rect&, OverlayMarks, std::span<const Px>,
                     std::size_t, std::size_t, std::size_t);
template bool refine(std::vector<std::uint32_t>&, double&, Rect&, TurnMarks, std::span<const Px>,
                     std::size_t, std::size_t, std::size_t);

bool refine(std::vector<std::uint32_t>& region, double& region_angle, Rect& rect,
            std::span<std::uint8_t> used, std::span<const Px> field, std::size_t min_size,
            std::size_t w, std::size_t h) {
    DirectMarks marks(used);
    return refine(region, region_angle, rect, marks, field, min_size, w, h);
}

double improve_rect(Rect& rect, std::span<const Px> field, std::size_t w, std::size_t h,
                    float threshold, double log_nt) {
    // The kept rectangle at its own precision and at kPrecisionTrials finer
    // ones, each halving the previous p: they differ in their precision
    // only, so one scan counts them all.
    std::array<Rect, kPrecisionTrials + 1> trials;
    auto precision_scan = [&] {
        trials[0] = rect;
        std::array<double, kPrecisionTrials + 1> precs;
        precs[0] = rect.prec;
        for (std::size_t i = 1; i < trials.size(); ++i) {
            trials[i] = trials[i - 1];
            trials[i].p = trials[i].p * kPrecisionFactor;
            trials[i].prec = trials[i].p * kPi;
            precs[i] = trials[i].prec;
        }
        return rect_pixel_counts(rect, field, w, h, threshold, precs);
    };
    PrecisionCounts counts = precision_scan();
    double best = log_nfa(counts.n, counts.k[0], rect.p, log_nt);
    if (best > 0.0) return best;

    // A trial replaces the kept rectangle only when strictly better.
    auto keep_if_better = [&](const Rect& r, double v) {
        if (v > best) {
            best = v;
            rect = r;
        }
    };
    auto attempt = [&](const Rect& r) {
        keep_if_better(r, rect_log_nfa(r, field, w, h, threshold, log_nt));
    };
    auto finer_precision = [&] {
        for (std::size_t i = 1; i < trials.size(); ++i)
            keep_if_better(trials[i], log_nfa(counts.n, counts.k[i], trials[i].p, log_nt));
    };

    finer_precision();
    if (best > 0.0) return best;

    {
        Rect r = rect;
        for (int i = 0; i < kTrialsPerPhase; ++i) {
            if (r.width - kWidthStep < kMinTrialWidth) break;
            r.width = r.width - kWidthStep;
            attempt(r);
        }
    }
    if (best > 0.0) return best;

    // Move one long side inwards by half a pixel, keeping the other: the
    // centre line shifts by a quarter pixel across the axis.
    for (double side : {1.0, -1.0}) {
        Rect r = rect;
        for (int i = 0; i < kTrialsPerPhase; ++i) {
            if (r.width - kWidthStep < kMinTrialWidth) break;
            const double sx = side > 0.0 ? -r.dy * kSideShift : r.dy * kSideShift;
            const double sy = side > 0.0 ? r.dx * kSideShift : -r.dx * kSideShift;
            r.x1 += sx;
            r.x2 += sx;
            r.y1 += sy;
            r.y2 += sy;
            r.width = r.width - kWidthStep;
            attempt(r);
        }
        if (best > 0.0) return best;
    }

    counts = precision_scan();
    finer_precision();
    return best;
}

} // namespace linora::detector
