// The two ways region growing and refinement reach the used marks: directly
// (the seed loop on one thread), or through a thread's overlay over marks
// that other threads read at the same time (the seed loop on several
// threads, seed_loop.hpp).
//
// Both offer the same three operations: is_free(n) (bit 0 of the mark is
// clear), mark(n) and unmark(n), plus a prefetch hint. The algorithms are
// written once, against either.
#pragma once

#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace linora::detector {

template <class M>
concept MarkAccess = requires(M& m, const M& cm, std::size_t n) {
    { cm.is_free(n) } -> std::same_as<bool>;
    m.mark(n);
    m.unmark(n);
    cm.prefetch(n);
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

// A private view of shared marks that other threads read at the same time
// and that one thread at a time extends with final marks (0 -> 1 only).
// Marks set here go to a private bitset (`mine`), never to the shared array,
// so no other thread ever sees a mark that may still be taken back. A pixel
// is free when neither has it marked; every pixel found free in the shared
// marks is recorded in `reads`, so that the result can later be checked
// against the shared marks (still free?) before it counts.
class OverlayMarks {
  public:
    OverlayMarks(std::uint8_t* shared, std::uint64_t* mine, std::vector<std::uint32_t>& reads)
        : shared_(shared), mine_(mine), reads_(&reads) {}

    bool is_free(std::size_t n) const {
        if (shared_mark(shared_, n) & 1) return false;
        if (mine_[n >> 6] >> (n & 63) & 1) return false;
        reads_->push_back(static_cast<std::uint32_t>(n));
        return true;
    }
    void mark(std::size_t n) noexcept { mine_[n >> 6] |= std::uint64_t{1} << (n & 63); }
    void unmark(std::size_t n) noexcept { mine_[n >> 6] &= ~(std::uint64_t{1} << (n & 63)); }
    void prefetch(std::size_t n) const noexcept { __builtin_prefetch(shared_ + n); }
    // Whether n looks used in the shared marks, for hints only (not recorded).
    bool hint_used(std::size_t n) const noexcept { return shared_mark(shared_, n) & 1; }

    // Shared marks are read and written by several threads at once: always
    // through these (relaxed atomic byte accesses, plain moves on x86-64 and
    // aarch64). Correctness rests on marks only ever going from 0 to 1, not
    // on the order in which other threads see them.
    static std::uint8_t shared_mark(std::uint8_t* shared, std::size_t n) noexcept {
        return std::atomic_ref<std::uint8_t>(shared[n]).load(std::memory_order_relaxed);
    }
    static void set_shared_mark(std::uint8_t* shared, std::size_t n) noexcept {
        std::atomic_ref<std::uint8_t>(shared[n]).store(1, std::memory_order_relaxed);
    }

  private:
    std::uint8_t* shared_;
    std::uint64_t* mine_;
    std::vector<std::uint32_t>* reads_;
};

} // namespace linora::detector
