// Region growing from a seed pixel and the rectangle that approximates a
// region.
#pragma once

#include "detector/marks.hpp"
#include "detector/pixel_index.hpp"
#include "detector/types.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace linora::detector {

// d reduced into (-pi, pi] by adding or subtracting 2 pi. Callers pass
// differences of two atan2 results, within [-2 pi, 2 pi]; any value outside
// [-4 pi, 4 pi] (which includes +-inf) is returned as it is, because repeated
// steps of 2 pi would never bring it into range. NaN stays NaN.
double reduce_angle(double d);

// Grows the 8-connected region of free pixels whose level-line vector lies
// within `tolerance` of the direction of the region's summed vectors,
// starting from `seed` (which must be free). Empties `region` and fills it
// with the accepted indices, seed first, in acceptance order; marks them
// used. Returns the region angle, atan2 of the summed level-line vectors.
double grow_region(std::uint32_t seed, std::span<const Px> field, std::span<std::uint8_t> used,
                   std::vector<std::uint32_t>& region, std::size_t w, std::size_t h,
                   double tolerance);

// The sum of a grown region's level-line vectors, the seed's taken as unit
// length: the region angle is its atan2, which callers that may drop the
// region leave until they keep it.
struct DirectionSum {
    double sx;
    double sy;
    double angle() const { return std::atan2(sy, sx); }
};

// The same through any kind of mark access (marks.hpp; a handle, passed by
// value); instances exist for DirectMarks, OverlayMarks and TurnMarks.
// grow_region_sum takes cos(tolerance), which the seed loop computes once.
template <MarkAccess Marks>
DirectionSum grow_region_sum(std::uint32_t seed, std::span<const Px> field, Marks marks,
                             std::vector<std::uint32_t>& region, std::size_t w, std::size_t h,
                             double cos_tolerance);
template <MarkAccess Marks>
double grow_region(std::uint32_t seed, std::span<const Px> field, Marks marks,
                   std::vector<std::uint32_t>& region, std::size_t w, std::size_t h,
                   double tolerance);

// The rectangle of a non-empty region: centre and principal axis from the
// norm-weighted first and second moments, the axis oriented to agree with
// region_angle, and the region's extent along and across it (width at least
// 1). prec is pi/8 and p the given value.
Rect region_to_rect(std::span<const std::uint32_t> region, std::span<const Px> field, std::size_t w,
                    double region_angle, double p);

// A region pixel as rectangle fitting reads it: its column, row and norm.
struct RegionPoint {
    double x;
    double y;
    double weight;
};
RegionPoint region_point(std::uint32_t idx, std::span<const Px> field, const PixelIndex& index);

// The same from the region's points (as region_point gives them), in the
// region's order: for a caller that fits rectangles to the same pixels again
// and again.
Rect region_to_rect(std::span<const RegionPoint> points, double region_angle, double p);

} // namespace linora::detector
