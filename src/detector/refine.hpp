// Refinement of a candidate region until it fills its rectangle densely, and
// the search for the rectangle variant with the best NFA.
#pragma once

#include "detector/marks.hpp"
#include "detector/types.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace linora::detector {

// Number of region pixels per unit of rectangle area (the area taken as at
// least 1).
double region_density(std::size_t region_size, const Rect& rect);

// Returns true when the region fills `rect` with density >= 0.7, at once or
// after re-growing it from its seed (element 0) with a tolerance estimated
// from the angle spread near the seed, and then shrinking it around the seed.
// Returns false when the region falls below min_size. Rewrites the region,
// the rectangle, the used marks and (when it re-grows) region_angle.
bool refine(std::vector<std::uint32_t>& region, double& region_angle, Rect& rect,
            std::span<std::uint8_t> used, std::span<const Px> field, std::size_t min_size,
            std::size_t w, std::size_t h);

// The same through any kind of mark access (marks.hpp; a handle, passed by
// value); instances exist for DirectMarks, OverlayMarks and TurnMarks.
template <MarkAccess Marks>
bool refine(std::vector<std::uint32_t>& region, double& region_angle, Rect& rect, Marks marks,
            std::span<const Px> field, std::size_t min_size, std::size_t w, std::size_t h);

double improve_rect(Rect& rect, std::span<const Px> field, std::size_t w, std::size_t h,
                    float threshold, double log_nt);

} // namespace linora::detector
