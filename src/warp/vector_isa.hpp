// The vector rows of each x86-64 instruction set, compiled from the one
// kernel source vector_kernels.inc in vector_rows_<isa>.cpp (x86-64 builds
// only).
#pragma once

#include "warp/vector_rows.hpp"

#if defined(LINORA_X86_VECTORS)
namespace linora::detail {
namespace avx2 {
template <class T> const VectorRows<T>& vector_rows() noexcept;
}
namespace avx512 {
template <class T> const VectorRows<T>& vector_rows() noexcept;
}
} // namespace linora::detail
#endif
