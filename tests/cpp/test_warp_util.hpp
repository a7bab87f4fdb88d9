// Unwrapping of the resampling calls' Checked results, for the tests (their
// inputs come from images.hpp).
#pragma once

#include "buffer.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <variant>
#include <vector>

namespace warp_test {

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
