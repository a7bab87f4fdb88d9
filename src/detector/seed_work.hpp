// The work on one seed, written once for every way the seed loop reaches the
// used marks (marks.hpp, speculation.hpp).
#pragma once

#include "detector/marks.hpp"
#include "detector/nfa.hpp"
#include "detector/refine.hpp"
#include "detector/region.hpp"
#include "detector/seed_loop.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace linora::detector {

// Seeds lie scattered over the raster. At every seed, the marks of the seed
// kSeedMarksAhead places ahead are requested (prefetch_seed); before a seed
// is grown, the long step, the cells around the next kSeedCellsAhead seeds
// that look free, within kSeedLookAhead places, and the marks of the rows
// above and below them are requested
// (prefetch_free_seeds), so that their cache misses overlap the growing.
// Hints only: what is requested never decides anything.
inline constexpr std::size_t kSeedMarksAhead = 48;
inline constexpr std::size_t kSeedCellsAhead = 4;
inline constexpr std::size_t kSeedLookAhead = 32;

template <MarkAccess Marks>
void prefetch_seed(const SeedLoopInput& in, std::size_t i, const Marks& marks) {
    if (i + kSeedMarksAhead < in.seeds.size()) marks.prefetch(in.seeds[i + kSeedMarksAhead]);
}

// `next`: the seeds before it have been looked at already (the loop's own
// counter, 0 at its start).
template <MarkAccess Marks>
void prefetch_free_seeds(const SeedLoopInput& in, std::size_t i, std::size_t& next,
                         const Marks& marks) {
    std::size_t j = next > i ? next : i + 1;
    const std::size_t limit = std::min(in.seeds.size(), i + 1 + kSeedLookAhead);
    for (std::size_t requested = 0; j < limit && requested < kSeedCellsAhead; ++j) {
        const std::size_t s = in.seeds[j];
        if (marks.hint_used(s)) continue;
        __builtin_prefetch(&in.field[s]);
        if (s >= in.w) {
            __builtin_prefetch(&in.field[s - in.w]);
            marks.prefetch(s - in.w);
        }
        if (s + in.w < in.field.size()) {
            __builtin_prefetch(&in.field[s + in.w]);
            marks.prefetch(s + in.w);
        }
        ++requested;
    }
    next = j;
}

// The work on a free seed: grow (marking the region), fit, refine, improve
// and validate. Returns true with the candidate in `out` when the score is
// above 0 (or NaN). The region is left in `region`; its pixels are the
// seed's net marks.
template <MarkAccess Marks>
bool grow_candidate(std::uint32_t seed, const SeedLoopInput& in, Marks& marks,
                    std::vector<std::uint32_t>& region, Candidate& out) {
    const DirectionSum sum =
        grow_region_sum(seed, in.field, marks, region, in.w, in.h, in.cos_tolerance);
    if (region.size() < in.min_size) return false;
    double angle = sum.angle();
    Rect rect = region_to_rect(region, in.field, in.w, angle, kPointProbability);
    if (!refine(region, angle, rect, marks, in.field, in.min_size, in.w, in.h)) return false;
    const double score = improve_rect(rect, in.field, in.w, in.h, kGradientThreshold, in.log_nt);
    if (score <= 0.0) return false;
    out = Candidate{rect, score};
    return true;
}

} // namespace linora::detector
