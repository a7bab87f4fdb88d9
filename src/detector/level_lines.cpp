#include "detector/level_lines.hpp"

#include "detector/downscale.hpp"

#include "detector/samples.hpp"
#include "detector/vector_loops.hpp"

#include "buffer.hpp"
#include "huge_pages.hpp"
#include "pool.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <type_traits>

namespace linora::detector {

namespace {

// Seed ordering works on chunks of about this many cells, at most this many.
constexpr std::size_t kSeedChunkCells = 1 << 15;
constexpr std::size_t kMaxSeedChunks = 64;

} // namespace

namespace {

// Row y of the W x H field from raster rows y and y + 1 (nullptr when there is
// none): the last column and the last row have no 2 x 2 block and are zeros.
// `scratch` holds 3 * w doubles.
void field_row_of(const double* top, const double* bottom, std::size_t w, Px* out,
                  double* scratch) {
    if (bottom == nullptr || w == 1) {
        std::fill(out, out + w, Px{0.0f, 0.0f, 0.0f});
        return;
    }
    vector_loops().field_row(top, bottom, w, out, scratch);
    out[w - 1] = Px{0.0f, 0.0f, 0.0f};
}

} // namespace

template <class T> Array<Px> level_line_field(std::span<const T> in, std::size_t w, std::size_t h) {
    Array<Px> field(size_product(w, h));
    if (w == 0 || h == 0) return field;
    // Each row y of the field reads rows y and y + 1 of the raster and writes
    // only its own cells. Other sample types than double are converted two
    // rows at a time, so no converted copy of the whole raster is made.
    parallel_rows(h, w, [&](std::size_t y) {
        Px* out = field.data() + y * w;
        // Uninitialised: every element is written before it is read.
        const std::unique_ptr<double[]> scratch(
            new double[std::is_same_v<T, double> ? 3 * w : 5 * w]);
        const T* top = in.data() + y * w;
        const bool last = y + 1 == h;
        if constexpr (std::is_same_v<T, double>) {
            field_row_of(top, last ? nullptr : top + w, w, out, scratch.get());
        } else {
            double* rows = scratch.get() + 3 * w;
            if (!last) to_working(top, rows, 2 * w);
            field_row_of(rows, last ? nullptr : rows + w, w, out, scratch.get());
        }
    });
    return field;
}

template <class T>
Array<Px> subsampled_field(std::span<const T> in, std::size_t w, std::size_t h, double scale) {
    const SubsamplePlan plan(w, h, scale);
    const std::size_t ow = plan.ow;
    Array<Px> field(size_product(ow, plan.oh));
    // Strip s holds field rows [s * strip_rows, ...): its thread computes the
    // raster rows they read in order, keeping only the two current ones.
    parallel_rows(plan.strips(), size_product(plan.strip_rows, ow), [&](std::size_t s) {
        SubsampledRows<T> rows(plan, in);
        std::vector<double> buffer(size_product(std::size_t{5}, ow));
        double* top = buffer.data() + 3 * ow;
        double* bottom = top + ow;
        const std::size_t begin = s * plan.strip_rows;
        const std::size_t end = std::min(plan.oh, begin + plan.strip_rows);
        if (ow > 1) rows.row(begin, top);
        for (std::size_t y = begin; y < end; ++y) {
            const bool last = y + 1 == plan.oh;
            if (!last && ow > 1) rows.row(y + 1, bottom);
            field_row_of(top, last ? nullptr : bottom, ow, field.data() + y * ow, buffer.data());
            std::swap(top, bottom);
        }
    });
    return field;
}

#define LINORA_INSTANCE(T)                                                                         \
    template Array<Px> level_line_field<T>(std::span<const T>, std::size_t, std::size_t);          \
    template Array<Px> subsampled_field<T>(std::span<const T>, std::size_t, std::size_t, double);
LINORA_DETECTOR_SAMPLE_TYPES(LINORA_INSTANCE)
#undef LINORA_INSTANCE

std::vector<std::uint32_t> seeds_by_norm(std::span<const Px> field, float threshold) {
    std::vector<std::uint32_t> seeds;
    if (field.empty()) return seeds;
    const VectorLoops& loops = vector_loops();

    // The field is cut into consecutive chunks that workers handle in
    // parallel; combining the chunks in index order gives exactly the result
    // of one pass over the whole field.
    const std::size_t n = field.size();
    const std::size_t chunks = std::clamp<std::size_t>(n / kSeedChunkCells, 1, kMaxSeedChunks);
    auto chunk_begin = [&](std::size_t c) { return n / chunks * c + std::min(c, n % chunks); };

    // The largest norm, NaNs ignored (as std::fmax would).
    std::vector<float> chunk_max(chunks, 0.0f);
    parallel_rows(chunks, 1, [&](std::size_t c) {
        chunk_max[c] =
            loops.max_norm(field.data() + chunk_begin(c), chunk_begin(c + 1) - chunk_begin(c));
    });
    float max = 0.0f;
    for (float m : chunk_max)
        max = m > max ? m : max;
    if (max <= 0.0f) return seeds;

    // Bucket sort: 1023 * norm / max, truncated, names the bin, so the cells
    // at the maximum fill the top bin. Counting first (per chunk) lets every
    // index go straight to its place in the output: bins are emitted from
    // the highest down, and within a bin the chunks in order, each in
    // increasing index order. The bins are computed once, 2 bytes a cell.
    const std::unique_ptr<std::uint16_t[]> bins(new std::uint16_t[n]);
    advise_huge_pages(bins.get(), n * sizeof(std::uint16_t));
    std::vector<std::size_t> start(chunks * kSeedBins, 0);
    parallel_rows(chunks, 1, [&](std::size_t c) {
        const std::size_t begin = chunk_begin(c), end = chunk_begin(c + 1);
        loops.seed_bins(field.data() + begin, end - begin, max, threshold, bins.get() + begin);
        std::size_t* count = start.data() + c * kSeedBins;
        for (std::size_t i = begin; i < end; ++i)
            if (bins[i] != kNoBin) ++count[bins[i]];
    });
    std::size_t total = 0;
    for (std::size_t b = kSeedBins; b-- > 0;)
        for (std::size_t c = 0; c < chunks; ++c) {
            const std::size_t count = start[c * kSeedBins + b];
            start[c * kSeedBins + b] = total;
            total += count;
        }
    seeds.reserve(total);
    advise_huge_pages(seeds.data(), total * sizeof(std::uint32_t));
    seeds.resize(total);
    parallel_rows(chunks, 1, [&](std::size_t c) {
        std::size_t* next = start.data() + c * kSeedBins;
        for (std::size_t i = chunk_begin(c); i < chunk_begin(c + 1); ++i)
            if (bins[i] != kNoBin) seeds[next[bins[i]]++] = static_cast<std::uint32_t>(i);
    });
    return seeds;
}

} // namespace linora::detector
