// Image resampling: coordinate-map remap and perspective warp of 8-bit and
// 16-bit images with a bilinear or Lanczos-3 kernel.
#pragma once

#include "buffer.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace linora {

// The sample types, as one list: X(type) for each, in the order messages
// name them. Every instantiation per sample type expands it, so another type
// is a line here, a SampleRange specialisation and a SampleName
// (sample_names.hpp).
#define LINORA_RESAMPLE_SAMPLE_TYPES(X) X(std::uint8_t) X(std::uint16_t)

// The largest value and the width in bits of a sample type.
template <class T> struct SampleRange;
template <> struct SampleRange<std::uint8_t> {
    static constexpr std::uint32_t max = 255;
    static constexpr int bits = 8;
};
template <> struct SampleRange<std::uint16_t> {
    static constexpr std::uint32_t max = 65535;
    static constexpr int bits = 16;
};

// The filters, one row each: X(kernel, name), the enumerator of Filter, which
// also names the filter's kernel type (warp/kernels.hpp), and the name the
// Python functions take.
#define LINORA_FILTERS(X) X(Bilinear, "bilinear") X(Lanczos3, "lanczos3")

#define LINORA_FILTER_ENUMERATOR(kernel, name) kernel,
enum class Filter { LINORA_FILTERS(LINORA_FILTER_ENUMERATOR) };
#undef LINORA_FILTER_ENUMERATOR

// The filters' names, indexed by Filter.
#define LINORA_FILTER_NAME(kernel, name) name,
inline constexpr const char* filter_names[] = {LINORA_FILTERS(LINORA_FILTER_NAME)};
#undef LINORA_FILTER_NAME

// Resamples a w x h source of C interleaved channels (C = 1 or 3, samples of
// a type of LINORA_RESAMPLE_SAMPLE_TYPES) through
// per-pixel coordinate maps: output pixel (x, y) takes the source value at
// (map_x[y * out_w + x], map_y[y * out_w + x]). Pixel centres are at integer
// coordinates. Returns the out_w x out_h x C output, zero where the position
// falls outside the source, or SizeMismatch for a source or map of the wrong
// length (checked in that order, before anything is allocated).
//
// Throws InternalError("chunk_size must not be zero") when out_w is 0, and
// OutputTooLarge / std::bad_alloc when the output cannot be allocated.
template <class T, std::size_t C>
Checked<Buffer<T>> remap(std::span<const T> src, std::size_t w, std::size_t h,
                         std::span<const float> map_x, std::span<const float> map_y,
                         std::size_t out_w, std::size_t out_h, Filter filter);

// Warps a w x h RGB source: output pixel (x, y) is the plane point
// u = x / scale + off_x, v = y / scale + off_y, which `inverse` (row-major
// 3x3) maps to the source position (X / W, Y / W). Returns the out_w x out_h
// x 3 output, or SizeMismatch when src.size() != w * h * 3.
//
// Throws as remap does.
template <class T>
Checked<Buffer<T>> warp_rgb(std::span<const T> src, std::size_t w, std::size_t h, std::size_t out_w,
                            std::size_t out_h, const std::array<double, 9>& inverse, Filter filter,
                            double scale, double off_x, double off_y);

} // namespace linora
