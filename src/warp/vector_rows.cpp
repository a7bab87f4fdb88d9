// Chooses the widest vector rows the CPU runs.
#include "warp/vector_rows.hpp"

#include "simd.hpp"
#include "warp/vector_isa.hpp"

#include <cstdint>
#include <limits>

namespace linora::detail {

bool vector_rows_fit(std::size_t samples) noexcept {
    return samples < static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) - 64;
}

template <class T> const VectorRows<T>* vector_rows(std::size_t samples) noexcept {
    if (samples == 0 || !vector_rows_fit(samples)) return nullptr;
#if defined(LINORA_X86_VECTORS)
    switch (active_isa()) {
    case Isa::Avx512:
        return &avx512::vector_rows<T>();
    case Isa::Avx2:
        return &avx2::vector_rows<T>();
    case Isa::Scalar:
        break;
    }
#endif
    return nullptr;
}

#define LINORA_INSTANCE(T) template const VectorRows<T>* vector_rows<T>(std::size_t) noexcept;
LINORA_RESAMPLE_SAMPLE_TYPES(LINORA_INSTANCE)
#undef LINORA_INSTANCE

} // namespace linora::detail
