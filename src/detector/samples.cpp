#include "detector/samples.hpp"

#include "detector/clones.hpp"

namespace linora::detector {

// Cloned for the vector widths of the running CPU; every clone performs the
// same per-element operations (no fused multiply-add: -ffp-contract=off).
LINORA_VECTOR_CLONES void
accumulate_scaled(double* __restrict acc, const double* __restrict src, double g, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        acc[i] = acc[i] + g * src[i];
}

} // namespace linora::detector
