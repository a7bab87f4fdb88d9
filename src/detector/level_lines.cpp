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
// `scratch` holds 3 * w doubles. With `marks`, also the row's weak marks and
// largest norm.
void field_row_of(const double* top, const double* bottom, std::size_t w, std::size_t y, Px* out,
                  double* scratch, const FieldRowMarks* marks) {
    const VectorLoops& loops = vector_loops();
    if (bottom == nullptr || w == 1) {
        std::fill(out, out + w, Px{0.0f, 0.0f, 0.0f});
    } else {
        loops.field_row(top, bottom, w, out, scratch);
        out[w - 1] = Px{0.0f, 0.0f, 0.0f};
    }
    if (marks == nullptr) return;
    loops.weak_marks(out, w, marks->threshold, marks->weak + y * w);
    marks->row_max[y] = loops.max_norm(out, w);
}

template <class T>
Array<Px> field_with(std::span<const T> in, std::size_t w, std::size_t h,
                     const FieldRowMarks* marks) {
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
            field_row_of(top, last ? nullptr : top + w, w, y, out, scratch.get(), marks);
        } else {
            double* rows = scratch.get() + 3 * w;
            if (!last) to_working(top, rows, 2 * w);
            field_row_of(rows, last ? nullptr : rows + w, w, y, out, scratch.get(), marks);
        }
    });
    return field;
}

template <class T>
Array<Px> subsampled_field_with(std::span<const T> in, std::size_t w, std::size_t h, double scale,
                                const FieldRowMarks* marks) {
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
            field_row_of(top, last ? nullptr : bottom, ow, y, field.data() + y * ow, buffer.data(),
                         marks);
            std::swap(top, bottom);
        }
    });
    return field;
}

} // namespace

template <class T> Array<Px> level_line_field(std::span<const T> in, std::size_t w, std::size_t h) {
    return field_with(in, w, h, nullptr);
}

template <class T>
Array<Px> level_line_field(std::span<const T> in, std::size_t w, std::size_t h,
                           const FieldRowMarks& marks) {
    return field_with(in, w, h, &marks);
}

template <class T>
Array<Px> subsampled_field(std::span<const T> in, std::size_t w, std::size_t h, double scale) {
    return subsampled_field_with(in, w, h, scale, nullptr);
}

template <class T>
Array<Px> subsampled_field(std::span<const T> in, std::size_t w, std::size_t h, double scale,
                           const FieldRowMarks& marks) {
    return subsampled_field_with(in, w, h, scale, &marks);
}

#define LINORA_INSTANCE(T)                                                                         \
    template Array<Px> level_line_field<T>(std::span<const T>, std::size_t, std::size_t);          \
    template Array<Px> level_line_field<T>(std::span<const T>, std::size_t, std::size_t,           \
                                           const FieldRowMarks&);                                  \
    template Array<Px> subsampled_field<T>(std::span<const T>, std::size_t, std::size_t, double);  \
    template Array<Px> subsampled_field<T>(std::span<const T>, std::size_t, std::size_t, double,   \
                                           const FieldRowMarks&);
LINORA_DETECTOR_SAMPLE_TYPES(LINORA_INSTANCE)
#undef LINORA_INSTANCE

namespace {

// The field is cut into consecutive chunks that workers handle in parallel,
// each chunk into kSeedRuns runs that one worker walks side by side (their
// counters are apart, so the walks do not wait on each other). Combining the
// runs in index order gives exactly the result of one pass over the field.
constexpr std::size_t kSeedRuns = 2;

struct SeedChunks {
    std::size_t n;
    std::size_t chunks;
    std::size_t begin(std::size_t c) const { return n / chunks * c + std::min(c, n % chunks); }
    std::size_t end(std::size_t c) const { return begin(c + 1); }
};

// A listed cell is one word: its bin above its offset in the chunk, so a
// chunk has at most 2^kOffsetBits cells (more chunks than kMaxSeedChunks for
// fields of more than 2^28 cells).
constexpr unsigned kOffsetBits = 22;
constexpr std::uint32_t kOffsetMask = (std::uint32_t{1} << kOffsetBits) - 1;
static_assert(kSeedBins <= (std::uint64_t{1} << (32 - kOffsetBits)));

SeedChunks seed_chunks(std::size_t n) {
    const std::size_t least = (n >> kOffsetBits) + 1;
    return {n, std::max(least, std::clamp<std::size_t>(n / kSeedChunkCells, 1, kMaxSeedChunks))};
}

} // namespace

std::vector<std::uint32_t> seeds_by_norm(std::span<const Px> field, float threshold) {
    // The largest norm, NaNs ignored (as std::fmax would).
    return seeds_by_norm(field, threshold, vector_loops().max_norm(field.data(), field.size()));
}

std::vector<std::uint32_t> seeds_by_norm(std::span<const Px> field, float threshold, float max) {
    std::vector<std::uint32_t> seeds;
    if (field.empty() || max <= 0.0f) return seeds;
    const VectorLoops& loops = vector_loops();
    const std::size_t n = field.size();
    const SeedChunks parts = seed_chunks(n);
    const std::size_t runs = parts.chunks * kSeedRuns;

    // Bucket sort: 1023 * norm / max, truncated, names the bin, so the cells
    // at the maximum fill the top bin. Each chunk first lists its cells above
    // the threshold, bin and offset in one word, at its own place in `listed`
    // (a branch per cell would be mispredicted at every edge); counting the
    // list per run lets every index go straight to its place in the output:
    // bins are emitted from the highest down, and within a bin the runs in
    // order, each in increasing index order. Only the listed words are ever
    // written: the pages of the rest are never touched.
    const std::unique_ptr<std::uint32_t[]> listed(new std::uint32_t[n]);
    advise_huge_pages(listed.get(), n * sizeof(std::uint32_t));
    std::vector<std::size_t> listed_count(parts.chunks);
    // count[r * kSeedBins + b]: run r's cells in bin b, then where they start.
    std::vector<std::uint32_t> count(runs * kSeedBins, 0);
    // Walks chunk c's list as its two runs side by side: f(r, e) for each
    // listed word e of run r, each run in order.
    static_assert(kSeedRuns == 2);
    auto walk_runs = [&](std::size_t c, auto f) {
        const std::uint32_t* list = listed.get() + parts.begin(c);
        const std::size_t in_list = listed_count[c], half = in_list / 2;
        for (std::size_t j = 0; j < half; ++j) {
            f(0, list[j]);
            f(1, list[half + j]);
        }
        for (std::size_t j = 2 * half; j < in_list; ++j)
            f(1, list[j]);
    };
    parallel_rows(parts.chunks, 1, [&](std::size_t c) {
        const std::size_t begin = parts.begin(c), m = parts.end(c) - begin;
        // The chunk's bins, kept while it is listed (in cache).
        const std::unique_ptr<std::uint16_t[]> bins(new std::uint16_t[m]);
        loops.seed_bins(field.data() + begin, m, max, threshold, bins.get());
        std::uint32_t* list = listed.get() + begin;
        std::size_t k = 0;
        for (std::size_t i = 0; i < m; ++i) {
            const std::uint16_t v = bins[i];
            // Written for every cell, kept for those above the threshold.
            list[k] =
                (static_cast<std::uint32_t>(v) << kOffsetBits) | static_cast<std::uint32_t>(i);
            k += v != kNoBin;
        }
        listed_count[c] = k;
        std::uint32_t* run_count = count.data() + c * kSeedRuns * kSeedBins;
        walk_runs(c, [&](std::size_t r, std::uint32_t e) {
            ++run_count[r * kSeedBins + (e >> kOffsetBits)];
        });
    });

    // Where each run's cells of each bin start: after all higher bins, and
    // after the earlier runs' cells of the same bin.
    std::vector<std::size_t> base(kSeedBins, 0);
    for (std::size_t r = 0; r < runs; ++r)
        for (std::size_t b = 0; b < kSeedBins; ++b)
            base[b] += count[r * kSeedBins + b];
    std::size_t total = 0;
    for (std::size_t b = kSeedBins; b-- > 0;) {
        const std::size_t in_bin = base[b];
        base[b] = total;
        total += in_bin;
    }
    for (std::size_t r = 0; r < runs; ++r)
        for (std::size_t b = 0; b < kSeedBins; ++b) {
            const std::size_t in_run = count[r * kSeedBins + b];
            count[r * kSeedBins + b] = static_cast<std::uint32_t>(base[b]);
            base[b] += in_run;
        }

    seeds.reserve(total);
    advise_huge_pages(seeds.data(), total * sizeof(std::uint32_t));
    seeds.resize(total);
    parallel_rows(parts.chunks, 1, [&](std::size_t c) {
        const std::uint32_t begin = static_cast<std::uint32_t>(parts.begin(c));
        std::uint32_t* next = count.data() + c * kSeedRuns * kSeedBins;
        walk_runs(c, [&](std::size_t r, std::uint32_t e) {
            seeds[next[r * kSeedBins + (e >> kOffsetBits)]++] = begin + (e & kOffsetMask);
        });
    });
    return seeds;
}

} // namespace linora::detector
