// Row and column of a pixel index in a raster W cells wide, without a
// hardware division: region growing, rectangle fitting and refinement split
// an index for every pixel they visit, and a 32-bit division takes several
// times as long as the multiplication that replaces it here.
#pragma once

#include <cstdint>

namespace linora::detector {

// For W >= 2, m = ceil(2^64 / W) and row(i) = floor(m * i / 2^64). This is
// floor(i / W) for every 32-bit i: m * W = 2^64 + e with 0 <= e < W, so
// m * i / 2^64 = i / W + e * i / (W * 2^64), and e * i < 2^64 keeps the
// excess below 1 / W, too little to reach the next integer. W = 1 is its own
// case (m would be 2^64).
class PixelIndex {
  public:
    explicit PixelIndex(std::uint32_t w) noexcept : w_(w), m_(w > 1 ? UINT64_MAX / w + 1 : 0) {}
    std::uint32_t row(std::uint32_t i) const noexcept {
        if (w_ <= 1) return w_ == 1 ? i : 0;
        return static_cast<std::uint32_t>((static_cast<unsigned __int128>(m_) * i) >> 64);
    }
    std::uint32_t column(std::uint32_t i, std::uint32_t row) const noexcept { return i - row * w_; }

  private:
    std::uint32_t w_;
    std::uint64_t m_;
};

} // namespace linora::detector
