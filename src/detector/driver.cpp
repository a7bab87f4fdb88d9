// The detection pipeline: input checks, conversion to 64-bit samples,
// optional Gaussian sub-sampling, the level-line field and seed order, then
// one candidate per free seed (grow, fit, refine, improve, validate), and
// the final sort.
#include "detector/driver.hpp"
#include "cancel.hpp"
#include "detector/detect.hpp"
#include "detector/downscale.hpp"
#include "detector/level_lines.hpp"
#include "detector/libm.hpp"
#include "detector/nfa.hpp"
#include "detector/refine.hpp"
#include "detector/region.hpp"
#include "detector/samples.hpp"
#include "detector/seed_loop.hpp"
#include "detector/vector_loops.hpp"
#include "float_env.hpp"
#include "pool.hpp"
#include "saturating.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <type_traits>

namespace linora {

namespace detector {

namespace {

constexpr double kLog10Of11 = 1.041392685158225;
constexpr double kLog10Of8 = 0.9030899869919435;
// Sorting by insertion up to this many segments, by std::stable_sort above.
constexpr std::size_t kInsertionSortLimit = 20;

// Key that orders doubles as IEEE totalOrder does when compared as signed
// integers: negative values have their magnitude bits flipped.
std::int64_t total_order_key(double v) {
    const std::int64_t bits = std::bit_cast<std::int64_t>(v);
    return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

struct Keyed {
    std::int64_t key;
    Segment segment;
};

// Runs the seed loop on the W x H level-line field, whose weak pixels are
// marked used and whose row maxima are given, and maps the accepted
// rectangles to input coordinates with the inverse scale.
std::vector<Segment> detect_on_field(const Array<Px>& field, std::span<std::uint8_t> used,
                                     std::span<const float> row_max, std::size_t w, std::size_t h,
                                     double inv_scale) {
    const double lnt = log_nt(w, h);
    const std::size_t min_size = min_region_size(lnt);
    float max = 0.0f;
    for (float m : row_max)
        max = m > max ? m : max;
    const std::vector<std::uint32_t> seeds = seeds_by_norm(field, kGradientThreshold, max);

    const SeedLoopInput in{field, w, h, seeds, min_size, lnt};
    std::vector<Segment> segments;
    for (const Candidate& c : seed_loop(in, used)) {
        const Rect& r = c.rect;
        segments.push_back(Segment{(r.x1 + 0.5) * inv_scale, (r.y1 + 0.5) * inv_scale,
                                   (r.x2 + 0.5) * inv_scale, (r.y2 + 0.5) * inv_scale,
                                   r.width * inv_scale, r.p, c.score});
    }
    sort_by_length(segments);
    return segments;
}

} // namespace

double log_nt(std::size_t w, std::size_t h) {
    return 2.5 * (std::log10(static_cast<double>(w)) + std::log10(static_cast<double>(h))) +
           kLog10Of11;
}

std::size_t min_region_size(double log_nt) {
    return saturating_trunc<std::size_t>(std::ceil(log_nt / kLog10Of8));
}

void check_working_size(std::size_t w, std::size_t h) {
    if (size_product(w, h) > UINT32_MAX)
        throw InputTooLarge("image too large: the working raster of " + std::to_string(w) + " x " +
                            std::to_string(h) +
                            " pixels exceeds the detector's 32-bit pixel indices");
}

void sort_by_length(std::vector<Segment>& segments) {
    if (segments.size() < 2) return;
    std::vector<Keyed> keyed;
    keyed.reserve(segments.size());
    for (const Segment& s : segments)
        keyed.push_back({total_order_key(library_hypot(s.x2 - s.x1, s.y2 - s.y1)), s});
    auto longer = [](const Keyed& a, const Keyed& b) { return a.key > b.key; };
    if (keyed.size() <= kInsertionSortLimit) {
        for (std::size_t i = 1; i < keyed.size(); ++i) {
            const Keyed item = keyed[i];
            std::size_t j = i;
            for (; j > 0 && longer(item, keyed[j - 1]); --j)
                keyed[j] = keyed[j - 1];
            keyed[j] = item;
        }
    } else {
        std::stable_sort(keyed.begin(), keyed.end(), longer);
    }
    for (std::size_t i = 0; i < keyed.size(); ++i)
        segments[i] = keyed[i].segment;
}

} // namespace detector

template <class T>
Checked<std::vector<Segment>> detect(std::span<const T> samples, std::size_t width,
                                     std::size_t height, double scale) {
    const DefaultFloatEnv float_env;
    const std::uint64_t expected = size_product(width, height); // saturated: no buffer has it
    if (samples.size() != expected) return SizeMismatch{expected, samples.size()};
    if (width < 3 || height < 3) return std::vector<Segment>{};

    // The working size; sub-sampled dimensions below 3 leave nothing to do.
    const bool subsample = scale < 1.0;
    std::size_t w = width;
    std::size_t h = height;
    if (subsample) {
        w = detector::subsampled_size(scale, width);
        h = detector::subsampled_size(scale, height);
        if (w < 3 || h < 3) return std::vector<Segment>{};
    }
    detector::check_working_size(w, h);
    const BusyCaller busy;

    // The samples are converted to working values where they are read: by
    // the sub-sampling, or by the level-line field when there is none. No
    // converted copy of the whole input is made.
    //
    // Weak pixels carry no direction: they start used and never join a
    // region. The field rows mark them, and find their largest norms, while
    // they are in cache.
    detector::Array<std::uint8_t> used(size_product(w, h));
    std::vector<float> row_max(h);
    const detector::FieldRowMarks marks{used.data(), row_max.data(), detector::kGradientThreshold};
    const detector::Array<detector::Px> field =
        subsample ? detector::subsampled_field(samples, width, height, scale, marks)
                  : detector::level_line_field(samples, w, h, marks);
    return detector::detect_on_field(field, std::span(used.data(), used.size()), row_max, w, h,
                                     subsample ? 1.0 / scale : 1.0);
}

#define LINORA_INSTANCE(T)                                                                         \
    template Checked<std::vector<Segment>> detect<T>(std::span<const T>, std::size_t, std::size_t, \
                                                     double);
LINORA_DETECTOR_SAMPLE_TYPES(LINORA_INSTANCE)
#undef LINORA_INSTANCE

} // namespace linora
