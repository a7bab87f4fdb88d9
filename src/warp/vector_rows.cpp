// The scalar rows, and the choice of rows at run time among those of every
// instruction set (the vector ones in vector_rows_<isa>.cpp).
#include "warp/vector_rows.hpp"

#include "simd.hpp"
#include "warp/rows.hpp"

#include <cstdint>
#include <limits>

namespace linora::detail {

#define LINORA_DECLARE_ROWS(isa, name)                                                             \
    namespace isa {                                                                                \
    template <class T> const VectorRows<T>& vector_rows() noexcept;                                \
    }
LINORA_ISAS(LINORA_DECLARE_ROWS)
#undef LINORA_DECLARE_ROWS

namespace scalar {

// Every pixel of the row by the scalar kernel.
struct Rows {
    template <class K, class T, std::size_t C>
    static std::size_t remap(const SourceView<T>& src, const float* mx, const float* my,
                             std::size_t n, T* out) {
        scalar_row<K, T, C>(src, RemapRowPositions{mx, my}, 0, n, out);
        return n;
    }
    template <class K, class T>
    static std::size_t warp(const SourceView<T>& src, const WarpRowTerms& row, std::size_t n,
                            T* out) {
        scalar_row<K, T, 3>(src, WarpRowPositions{row}, 0, n, out);
        return n;
    }
};

template <class T> const VectorRows<T>& vector_rows() noexcept {
    static constexpr VectorRows<T> rows = rows_of<Rows, T>();
    return rows;
}

} // namespace scalar

template <class T> const VectorRows<T>& vector_rows(std::size_t samples) noexcept {
#define LINORA_ROWS_OF(isa, name) &isa::vector_rows<T>,
    static constexpr const VectorRows<T>& (*by_isa[])() noexcept = {LINORA_ISAS(LINORA_ROWS_OF)};
#undef LINORA_ROWS_OF
    const auto limit = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) - 64;
    if (samples == 0 || samples >= limit) return scalar::vector_rows<T>();
    return for_active_isa(by_isa)();
}

#define LINORA_INSTANCE(T) template const VectorRows<T>& vector_rows<T>(std::size_t) noexcept;
LINORA_RESAMPLE_SAMPLE_TYPES(LINORA_INSTANCE)
#undef LINORA_INSTANCE

} // namespace linora::detail
