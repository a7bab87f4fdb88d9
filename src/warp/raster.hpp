// Sizes and output allocation shared by the remap and the warp.
#pragma once

#include "huge_pages.hpp"
#include "sample.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <string>

namespace linora::detail {

// a * b, or the largest size_t when the product overflows: a length that no
// buffer can have, so a length check against it always fails.
inline std::size_t saturating_mul(std::size_t a, std::size_t b) noexcept {
    std::size_t r;
    return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<std::size_t>::max() : r;
}

// Creates the zero-filled out_w x out_h x channels output of a resampling
// operation. Throws OutputTooLarge, naming the requested size, when the sample
// count or its size in bytes overflows or the memory cannot be had.
template <class T>
Buffer<T> allocate_output(std::size_t out_w, std::size_t out_h, std::size_t channels) {
    std::size_t n, bytes;
    const bool overflow =
        __builtin_mul_overflow(out_w, out_h, &n) || __builtin_mul_overflow(n, channels, &n) ||
        __builtin_mul_overflow(n, sizeof(T), &bytes) ||
        bytes > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
    auto too_large = [&] {
        return OutputTooLarge("cannot allocate an output of " + std::to_string(out_w) + " x " +
                              std::to_string(out_h) + " x " + std::to_string(channels) +
                              " samples");
    };
    if (overflow) throw too_large();
    try {
        Buffer<T> out(n);
        // Large outputs are fresh, untouched memory from calloc: the row
        // loops then fault it in by huge pages.
        advise_huge_pages(out.data(), bytes);
        return out;
    } catch (const std::bad_alloc&) {
        throw too_large();
    }
}

} // namespace linora::detail
