// The line-segment detector's entry point.
#pragma once

#include "core_errors.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace linora {

// One validated segment, in pixels of the input raster; the centre of pixel
// (x, y) is (x + 0.5, y + 0.5).
struct Segment {
    double x1, y1, x2, y2; // end points, in the rectangle's direction
    double width;          // full width of the segment's rectangle
    double precision;      // point probability of the final rectangle
    double log_nfa;        // -log10(number of false alarms), > 0
};

// Finds the validated line segments of a width x height raster (row-major,
// sample (x, y) at y * width + x), longest first. Instances exist for the
// sample types of LINORA_DETECTOR_SAMPLE_TYPES (detector/samples.hpp);
// 16-bit samples are divided by 257 so that v * 257 gives the same segments
// as the 8-bit value v.
//
// Returns SizeMismatch when samples.size() != width * height. Throws
// InputTooLarge when the working raster would have 2^32 pixels or more, and
// std::bad_alloc when memory runs out.
template <class T>
Checked<std::vector<Segment>> detect(std::span<const T> samples, std::size_t width,
                                     std::size_t height, double scale);

} // namespace linora
