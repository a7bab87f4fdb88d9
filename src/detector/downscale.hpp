// Gaussian sub-sampling of the detector's input raster.
#pragma once

#include "detector/array.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace linora::detector {

// A row-major raster of 64-bit samples.
struct Raster {
    Array<double> samples;
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

// What every row of one sub-sampling shares: the kernel, the picked source
// columns and the sizes. Requires w, h >= 3 and 0 < scale < 1.
struct SubsamplePlan {
    SubsamplePlan(std::size_t w, std::size_t h, double scale);
    std::size_t w, h;   // the input
    std::size_t ow, oh; // the output: subsampled_size of each
    double scale;
    GaussianKernel kernel;
    std::vector<std::size_t> columns; // source_index of every output column
    // Output rows per strip: a strip's rows are computed in order by one
    // thread, which computes each horizontal-pass row they read once. Only
    // the schedule depends on it.
    std::size_t strip_rows;
    std::size_t strips() const noexcept { return (oh + strip_rows - 1) / strip_rows; }
};

// Rows of the sub-sampled raster, computed on one thread in non-decreasing
// order. Output row r is the vertical pass at source row source_index(r)
// over rows of the horizontal pass, which are kept in a ring of one kernel's
// height and computed when first read: the rows of one kernel window are
// consecutive, so they never evict each other.
template <class T> class SubsampledRows {
  public:
    SubsampledRows(const SubsamplePlan& plan, std::span<const T> in);
    SubsampledRows(const SubsampledRows&) = delete; // shifted_ points into padded_
    SubsampledRows& operator=(const SubsampledRows&) = delete;
    // Output row r (plan.ow samples) into dst.
    void row(std::size_t r, double* dst);

  private:
    const double* horizontal_row(std::size_t j);

    const SubsamplePlan& plan_;
    std::span<const T> in_;
    std::size_t slots_;
    std::vector<double> ring_;      // slots_ rows of plan.ow samples
    std::vector<std::size_t> held_; // the source row in each slot
    std::vector<double> padded_, smooth_;
    std::vector<const double*> shifted_; // padded_ + k for each tap k
    std::vector<const double*> window_;  // the rows of row()'s vertical window
};

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
