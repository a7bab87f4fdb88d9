// The pieces of the detection driver that stand on their own: the number of
// tests, the minimum region size, the size limit of the working raster and
// the final ordering of the segments.
#pragma once

#include "detector/detect.hpp"

#include <cstddef>
#include <span>
#include <vector>

namespace linora::detector {

// log10 of the number of rectangles that could be tested in a w x h raster:
// 2.5 * (log10 w + log10 h) + log10 11.
double log_nt(std::size_t w, std::size_t h);

// The smallest region that can be meaningful at all: even with every pixel
// aligned at p = 1/8, a region of n pixels scores n * log10 8 - log_nt, so
// smaller regions are skipped. ceil(log_nt / log10 8).
std::size_t min_region_size(double log_nt);

// Throws InputTooLarge when a w x h working raster has 2^32 pixels or more,
// since regions and seeds hold 32-bit pixel indices.
void check_working_size(std::size_t w, std::size_t h);

// Stable sort by decreasing length hypot(x2 - x1, y2 - y1), lengths compared
// by IEEE totalOrder (a positive NaN comes before every number).
void sort_by_length(std::vector<Segment>& segments);

} // namespace linora::detector
