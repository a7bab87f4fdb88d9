// The work on one seed, written once for every way the seed loop reaches the
// used marks (marks.hpp, speculation.hpp).
#pragma once

#include "detector/marks.hpp"
#include "detector/nfa.hpp"
#include "detector/refine.hpp"
#include "detector/region.hpp"
#include "detector/seed_loop.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace linora::detector {

// Seeds lie scattered over the raster: the marks of the seed kSeedMarksAhead
// places ahead, and the cells around the seed kSeedCellsAhead places ahead
// when it is still free, are requested early so that their cache misses
// overlap the work on the current seed. A hint only.
inline constexpr std::size_t kSeedMarksAhead = 16;
inline constexpr std::size_t kSeedCellsAhead = 4;

template <MarkAccess Marks>
void prefetch_seed(const SeedLoopInput& in, std::size_t i, const Marks& marks) {
    if (i + kSeedMarksAhead < in.seeds.size()) marks.prefetch(in.seeds[i + kSeedMarksAhead]);
    if (i + kSeedCellsAhead < in.seeds.size()) {
        const std::size_t s = in.seeds[i + kSeedCellsAhead];
        if (marks.hint_used(s)) return;
        __builtin_prefetch(&in.field[s]);
        if (s >= in.w) __builtin_prefetch(&in.field[s - in.w]);
        if (s + in.w < in.field.size()) __builtin_prefetch(&in.field[s + in.w]);
    }
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
