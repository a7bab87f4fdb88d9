#include "detector/downscale.hpp"

#include "detector/samples.hpp"
#include "detector/vector_loops.hpp"

#include "buffer.hpp"
#include "pool.hpp"
#include "saturating.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>

namespace linora::detector {

namespace {

constexpr double kSigmaScale = 0.6;
// sqrt(6 ln 10): the Gaussian is 1/1000 of its peak this many sigmas away.
constexpr double kKernelReach = 3.7169221888498383;

// Index of tap k of a kernel of half-size half centred on i, clamped to
// [0, n - 1] (edge replication), computed as a signed value.
inline std::size_t clamped_tap(std::size_t i, std::size_t k, std::size_t half, std::size_t n) {
    const std::int64_t j = static_cast<std::int64_t>(i) + static_cast<std::int64_t>(k) -
                           static_cast<std::int64_t>(half);
    if (j < 0) return 0;
    if (static_cast<std::uint64_t>(j) > n - 1) return n - 1;
    return static_cast<std::size_t>(j);
}

} // namespace

GaussianKernel gaussian_kernel(double scale) {
    const double sigma = kSigmaScale / scale;
    GaussianKernel g;
    g.half = saturating_trunc<std::size_t>(std::ceil(sigma * kKernelReach));
    // Kernels this wide cannot be smoothed with; only reachable for scales
    // that leave an output dimension below 3, which the driver never passes.
    if (g.half > (std::numeric_limits<std::size_t>::max() - 1) / 2 / sizeof(double))
        throw std::bad_alloc();
    const std::size_t taps = 2 * g.half + 1;
    g.weights.resize(taps);
    double sum = 0.0;
    for (std::size_t k = 0; k < taps; ++k) {
        const double t = (static_cast<double>(k) - static_cast<double>(g.half)) / sigma;
        g.weights[k] = std::exp((t * t) * -0.5);
        sum += g.weights[k];
    }
    for (double& v : g.weights)
        v /= sum;
    return g;
}

std::size_t subsampled_size(double scale, std::size_t n) {
    return saturating_floor<std::size_t>(scale * static_cast<double>(n));
}

std::size_t source_index(std::size_t i, double scale, std::size_t n) {
    const std::size_t s = saturating_trunc<std::size_t>(static_cast<double>(i) / scale);
    return s < n - 1 ? s : n - 1;
}

SubsamplePlan::SubsamplePlan(std::size_t w_, std::size_t h_, double scale_)
    : w(w_), h(h_), ow(subsampled_size(scale_, w_)), oh(subsampled_size(scale_, h_)), scale(scale_),
      kernel(gaussian_kernel(scale_)), columns(ow) {
    for (std::size_t x = 0; x < ow; ++x)
        columns[x] = source_index(x, scale, w);
    // A strip recomputes the horizontal rows its first kernel window shares
    // with the previous strip: a few strips per worker keep that small and
    // the workers balanced.
    const std::size_t per_worker = 4 * pool_workers();
    strip_rows = std::clamp<std::size_t>((oh + per_worker - 1) / per_worker, 16, 256);
}

template <class T>
SubsampledRows<T>::SubsampledRows(const SubsamplePlan& plan, std::span<const T> in)
    : plan_(plan), in_(in), slots_(std::min(plan.kernel.weights.size(), plan.h)),
      ring_(size_product(slots_, plan.ow)), held_(slots_, SIZE_MAX),
      padded_(plan.w + 2 * plan.kernel.half), smooth_(plan.w), shifted_(plan.kernel.weights.size()),
      window_(plan.kernel.weights.size()) {
    for (std::size_t k = 0; k < shifted_.size(); ++k)
        shifted_[k] = padded_.data() + k;
}

// Row j of the horizontal pass at the picked columns. The row is first laid
// out as working values with `half` replicated edge samples on each side, so that every
// column's window is contiguous; tap k of column x is then padded[x + k], the
// sample at clamp(x + k - half, 0, w - 1). Every column of the row is summed,
// tap by tap from zero.
template <class T> const double* SubsampledRows<T>::horizontal_row(std::size_t j) {
    const std::size_t slot = j % slots_;
    double* dst = ring_.data() + slot * plan_.ow;
    if (held_[slot] == j) return dst;
    const std::size_t w = plan_.w;
    const std::size_t half = plan_.kernel.half;
    const T* src = in_.data() + j * w;
    const double first = working_value(src[0]);
    const double last = working_value(src[w - 1]);
    std::fill(padded_.begin(), padded_.begin() + static_cast<std::ptrdiff_t>(half), first);
    to_working(src, padded_.data() + half, w);
    std::fill(padded_.begin() + static_cast<std::ptrdiff_t>(half + w), padded_.end(), last);
    const std::vector<double>& kern = plan_.kernel.weights;
    vector_loops().weighted_sum(smooth_.data(), shifted_.data(), kern.data(), kern.size(), w);
    for (std::size_t x = 0; x < plan_.ow; ++x)
        dst[x] = smooth_[plan_.columns[x]];
    held_[slot] = j;
    return dst;
}

// The vertical pass of the picked row, tap by tap from zero. The window's
// rows are all in the ring at once (see the class).
template <class T> void SubsampledRows<T>::row(std::size_t r, double* dst) {
    const std::size_t sy = source_index(r, plan_.scale, plan_.h);
    const std::vector<double>& kern = plan_.kernel.weights;
    for (std::size_t k = 0; k < kern.size(); ++k)
        window_[k] = horizontal_row(clamped_tap(sy, k, plan_.kernel.half, plan_.h));
    vector_loops().weighted_sum(dst, window_.data(), kern.data(), kern.size(), plan_.ow);
}

// Each kept sample is the sum of the full-resolution smoothing, with the same
// products added in the same order; only the picked rows and columns are
// computed.
template <class T>
Raster downscale(std::span<const T> in, std::size_t w, std::size_t h, double scale) {
    const SubsamplePlan plan(w, h, scale);
    Raster out;
    out.width = plan.ow;
    out.height = plan.oh;
    out.samples = Array<double>(size_product(plan.ow, plan.oh));
    parallel_rows(plan.strips(), size_product(plan.strip_rows, plan.ow), [&](std::size_t s) {
        SubsampledRows<T> rows(plan, in);
        const std::size_t end = std::min(plan.oh, (s + 1) * plan.strip_rows);
        for (std::size_t r = s * plan.strip_rows; r < end; ++r)
            rows.row(r, out.samples.data() + r * plan.ow);
    });
    return out;
}

#define LINORA_INSTANCE(T)                                                                         \
    template class SubsampledRows<T>;                                                              \
    template Raster downscale<T>(std::span<const T>, std::size_t, std::size_t, double);
LINORA_DETECTOR_SAMPLE_TYPES(LINORA_INSTANCE)
#undef LINORA_INSTANCE

} // namespace linora::detector
