// Gaussian sub-sampling of the detector's input raster.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace linora::detector {

// A row-major raster of 64-bit samples.
struct Raster {
    std::vector<double> samples;
    std::size_t width = 0;
    std::size_t height = 0;
};

// The normalised 1-D Gaussian used before sub-sampling: 2 * half + 1 weights
// that are symmetric and sum to 1.
struct GaussianKernel {
    std::size_t half = 0;
    std::vector<double> weights;
};

// The kernel for a given scale in (0, 1): sigma = 0.6 / scale, and the kernel
// reaches sigma * sqrt(6 ln 10) to each side, where the Gaussian has fallen to
// a thousandth of its peak.
GaussianKernel gaussian_kernel(double scale);

// floor(scale * n) as an unsigned size (0 for a negative or NaN product): the
// length of one sub-sampled dimension.
std::size_t subsampled_size(double scale, std::size_t n);

// The source index picked for output index i: min(n - 1, trunc(i / scale)).
std::size_t source_index(std::size_t i, double scale, std::size_t n);

// Smooths the w x h raster with the separable Gaussian of gaussian_kernel
// (edge samples replicated, horizontal pass first), then picks the sample at
// source_index of every row and column of the
// subsampled_size(scale, w) x subsampled_size(scale, h) output. Samples are
// taken as their working values (16-bit ones divided by 257) as they are read.
// Requires w, h >= 3, 0 < scale < 1 and both output dimensions >= 3.
// Instances exist for the types of LINORA_DETECTOR_SAMPLE_TYPES.
template <class T>
Raster downscale(std::span<const T> in, std::size_t w, std::size_t h, double scale);

} // namespace linora::detector
