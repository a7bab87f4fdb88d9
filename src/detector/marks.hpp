// The ways region growing and refinement reach the used marks: directly
// (DirectMarks: the seed loop on one thread), or, while other threads read
// them (the seed loop on several threads, speculation.hpp), through a
// speculating thread's overlay (OverlayMarks) or as a seed at its turn
// (TurnMarks). The algorithms are written once, against any of them.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>

namespace linora::detector {

// is_free(n): bit 0 of n's mark is clear; the only way an algorithm reads
// marks, and a pixel found free is either marked or passed by exactly as a
// used one would be (speculation.hpp rests on it). mark(n), unmark(n): set,
// clear it. prefetch(n), hint_used(n): hints, never a reason for a result.
template <class M>
concept MarkAccess = requires(M& m, const M& cm, std::size_t n) {
    { cm.is_free(n) } -> std::same_as<bool>;
    m.mark(n);
    m.unmark(n);
    cm.prefetch(n);
    { cm.hint_used(n) } -> std::same_as<bool>;
};

// The marks themselves, one byte per pixel.
class DirectMarks {
  public:
    explicit DirectMarks(std::span<std::uint8_t> used) noexcept : used_(used.data()) {}

    bool is_free(std::size_t n) const noexcept { return !(used_[n] & 1); }
    void mark(std::size_t n) noexcept { used_[n] = 1; }
    void unmark(std::size_t n) noexcept { used_[n] = 0; }
    void prefetch(std::size_t n) const noexcept { __builtin_prefetch(used_ + n); }
    // Whether n looks used, for hints (prefetching) only.
    bool hint_used(std::size_t n) const noexcept { return used_[n] & 1; }

  private:
    std::uint8_t* used_;
};

} // namespace linora::detector
