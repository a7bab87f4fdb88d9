// Helpers shared by the resampling tests: random rasters from a fixed seed and
// unwrapping of Checked results.
#pragma once

#include "buffer.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <variant>
#include <vector>

namespace warp_test {

template <class T> std::vector<T> random_raster(std::size_t n, std::uint32_t seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<std::uint32_t> dist(0, std::numeric_limits<T>::max());
    std::vector<T> v(n);
    for (auto& s : v)
        s = static_cast<T>(dist(gen));
    return v;
}

template <class T> std::vector<T> to_vector(const linora::Buffer<T>& b) {
    return std::vector<T>(b.data(), b.data() + b.size());
}

// The output of a resampling call that must not report a SizeMismatch.
template <class T> std::vector<T> value_of(linora::Checked<linora::Buffer<T>> r) {
    if (auto* e = std::get_if<linora::SizeMismatch>(&r)) {
        ADD_FAILURE() << "unexpected size mismatch: " << linora::to_string(*e);
        return {};
    }
    return to_vector(std::get<linora::Buffer<T>>(r));
}

} // namespace warp_test
