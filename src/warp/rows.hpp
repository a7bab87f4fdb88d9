// One output row of a resampling operation, shared by the remap and the
// warp: the rows of the active instruction set compute the leading pixels,
// then the scalar kernel computes the rest, each pixel at the position the
// row's position generator gives. Which thread runs a row never matters:
// a row reads the source and writes only its own output pixels.
#pragma once

#include "warp/kernels.hpp"
#include "warp/vector_rows.hpp"

#include <cstddef>

namespace linora::detail {

// Remap positions: the map entries, widened exactly to double.
struct RemapRowPositions {
    const float* mx;
    const float* my;
    bool at(std::size_t x, double& sx, double& sy) const {
        sx = static_cast<double>(mx[x]);
        sy = static_cast<double>(my[x]);
        return true;
    }
};

// Warp positions: with u = u[x] (x / scale + off_x), W = bw + h6 * u, and the
// source position ((bx + u * h0) / W, (by + u * h3) / W); none where W == 0
// (the pixel stays 0). The row terms come first in each sum; that order fixes
// the results to the last bit. The products with u are the column terms of
// WarpRowTerms.
struct WarpRowPositions {
    const WarpRowTerms& t;
    bool at(std::size_t x, double& sx, double& sy) const {
        const double W = t.bw + t.uh6[x];
        if (W == 0.0) return false;
        sx = (t.bx + t.uh0[x]) / W;
        sy = (t.by + t.uh3[x]) / W;
        return true;
    }
};

// Pixels [x, n) of a row of C-channel pixels, by kernel K. The output is not
// initialised: a pixel is set to 0 first, which the sample then overwrites
// unless its position lies outside the source (or there is none).
template <class K, class T, std::size_t C, class Positions>
void scalar_row(const SourceView<T>& src, const Positions& pos, std::size_t x, std::size_t n,
                T* out) {
    for (; x < n; ++x) {
        T* pixel = out + x * C;
        for (std::size_t c = 0; c < C; ++c)
            pixel[c] = T{0};
        double sx, sy;
        if (pos.at(x, sx, sy)) K::template sample<T, C>(src, sx, sy, pixel);
    }
}

} // namespace linora::detail
