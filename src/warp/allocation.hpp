// The output allocation shared by the remap and the warp.
#pragma once

#include "buffer.hpp"
#include "huge_pages.hpp"

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

namespace linora::detail {

// Creates the out_w x out_h x channels output of a resampling operation, not
// initialised: the rows write every pixel, 0 where they sample nothing. Throws OutputTooLarge,
// naming the requested size, when the sample count or its size in bytes overflows or the memory
// cannot be had.
template <class T>
Buffer<T> allocate_output(std::size_t out_w, std::size_t out_h, std::size_t channels) {
    const std::size_t n = size_product(out_w, out_h, channels);
    const std::size_t bytes = size_product(n, sizeof(T));
    auto too_large = [&] {
        return OutputTooLarge("cannot allocate an output of " + std::to_string(out_w) + " x " +
                              std::to_string(out_h) + " x " + std::to_string(channels) +
                              " samples");
    };
    if (bytes > static_cast<std::size_t>(PTRDIFF_MAX)) throw too_large();
    try {
        Buffer<T> out = Buffer<T>::uninitialised(n);
        // Large outputs that are fresh, untouched memory from malloc are then
        // faulted in by huge pages as the row loops write them.
        advise_huge_pages(out.data(), bytes);
        return out;
    } catch (const std::bad_alloc&) {
        throw too_large();
    }
}

} // namespace linora::detail
