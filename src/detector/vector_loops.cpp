// The scalar instance of the detector's vector loops, compiled for the
// target's baseline, and the choice of instance at run time.
#include "detector/vector_loops.hpp"

#include "simd.hpp"

#include <cmath>

namespace linora::detector {

namespace scalar {
#include "detector/vector_loops.inc"
} // namespace scalar

const VectorLoops& vector_loops() noexcept {
#if defined(LINORA_X86_VECTORS)
    switch (active_isa()) {
    case Isa::Avx512:
        return avx512::vector_loops;
    case Isa::Avx2:
        return avx2::vector_loops;
    case Isa::Scalar:
        break;
    }
#endif
    return scalar::vector_loops;
}

} // namespace linora::detector
