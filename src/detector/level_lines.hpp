// The level-line field of a raster and the order in which its pixels are
// tried as seeds.
#pragma once

#include "detector/array.hpp"
#include "detector/types.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace linora::detector {

// The W x H field of gradient magnitudes and level-line unit vectors of a
// W x H raster (W, H >= 1). The gradient of pixel (x, y) comes from the 2 x 2
// block whose top-left pixel it is, so the last row and the last column have
// no block and stay zero, as does every cell with a zero (or NaN) gradient.
// Samples are taken as their working values (16-bit ones divided by 257).
// Instances exist for the types of LINORA_DETECTOR_SAMPLE_TYPES.
template <class T> Array<Px> level_line_field(std::span<const T> in, std::size_t w, std::size_t h);

// What the detector takes from each field row y while the row is still in
// cache: its weak marks (weak_marks: 1 where the norm is at or below
// `threshold`) into weak[y * W, (y + 1) * W), and its largest norm
// (max_norm: NaNs ignored, never below 0) into row_max[y].
struct FieldRowMarks {
    std::uint8_t* weak;
    float* row_max;
    float threshold;
};

// level_line_field, also filling `marks` for every row.
template <class T>
Array<Px> level_line_field(std::span<const T> in, std::size_t w, std::size_t h,
                           const FieldRowMarks& marks);

// level_line_field of downscale(in, w, h, scale), bit for bit, without the
// sub-sampled raster: each thread computes the raster rows of a strip of
// field rows as it needs them, two at a time. Requirements as for downscale.
template <class T>
Array<Px> subsampled_field(std::span<const T> in, std::size_t w, std::size_t h, double scale);
// subsampled_field, also filling `marks` for every row of the field.
template <class T>
Array<Px> subsampled_field(std::span<const T> in, std::size_t w, std::size_t h, double scale,
                           const FieldRowMarks& marks);

// The indices of the cells whose norm is above threshold, ordered by
// decreasing norm quantised to kSeedBins levels of the largest norm; cells of
// one level stay in raster order. The field must have fewer than 2^32 cells.
std::vector<std::uint32_t> seeds_by_norm(std::span<const Px> field, float threshold);
// The same, given the field's largest norm as max_norm finds it (NaNs
// ignored, never below 0).
std::vector<std::uint32_t> seeds_by_norm(std::span<const Px> field, float threshold, float max);

} // namespace linora::detector
