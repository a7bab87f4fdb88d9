// The two ways region growing and refinement reach the used marks: directly
// (the seed loop on one thread), or through a thread's overlay over marks
// that other threads read at the same time (the seed loop on several
// threads, seed_loop.hpp).
//
// Both offer the same three operations: is_free(n) (bit 0 of the mark is
// clear), mark(n) and unmark(n), plus a prefetch hint. The algorithms are
// written once, against either.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace linora::detector {

// is_free(n): bit 0 of n's mark is clear. mark(n), unmark(n): set, clear it.
// passed_over(n): n was found free and is left free (a neighbour that does
// not join the region). prefetch(n): a hint.
template <class M>
concept MarkAccess = requires(M& m, const M& cm, std::size_t n) {
    { cm.is_free(n) } -> std::same_as<bool>;
    m.mark(n);
    m.unmark(n);
    m.passed_over(n);
    cm.prefetch(n);
};

// The marks themselves, one byte per pixel.
class DirectMarks {
  public:
    explicit DirectMarks(std::span<std::uint8_t> used) noexcept : used_(used.data()) {}

    bool is_free(std::size_t n) const noexcept { return !(used_[n] & 1); }
    void mark(std::size_t n) noexcept { used_[n] = 1; }
    void unmark(std::size_t n) noexcept { used_[n] = 0; }
    void passed_over(std::size_t) noexcept {}
    void prefetch(std::size_t n) const noexcept { __builtin_prefetch(used_ + n); }
    // Whether n looks used, for hints (prefetching) only.
    bool hint_used(std::size_t n) const noexcept { return used_[n] & 1; }

  private:
    std::uint8_t* used_;
};

// A thread's private view of shared marks that other threads read at the
// same time and that one thread at a time extends with final marks (0 -> 1
// only). Nothing here writes the shared marks: another thread never sees a
// mark that may still be taken back.
//
// The thread's own marks are bits of a private byte per pixel (`own`): the
// marks of the seed at work (kMine, or kMineInOrder for a seed done at its
// turn), and what the thread's earlier seeds marked before their marks were
// known to be final (kPrior). A kPrior pixel counts as used, when
// `count_prior` is set, and is recorded in `used_reads`. A pixel found free
// everywhere either joins the region (it is marked, and is among the seed's
// final marks unless it is unmarked again) or is passed over; the pixels
// passed over and those unmarked are recorded in `reads`. The seed's work is
// then the sequential loop's exactly when, at its turn, every pixel of
// `reads` and of its final region is still free and every pixel of
// `used_reads` has become used.
class OverlayMarks {
  public:
    static constexpr std::uint8_t kMine = 1;
    static constexpr std::uint8_t kPrior = 2;
    static constexpr std::uint8_t kMineInOrder = 4;

    // count_prior: speculation (mark kMine, kPrior counts as used); else a
    // seed at its turn (mark kMineInOrder, kPrior ignored).
    OverlayMarks(std::uint8_t* shared, std::uint8_t* own, bool count_prior,
                 std::vector<std::uint32_t>& reads, std::vector<std::uint32_t>& used_reads)
        : shared_(shared), own_(own), mine_(count_prior ? kMine : kMineInOrder),
          prior_(count_prior ? kPrior : 0), reads_(&reads), used_reads_(&used_reads) {}

    bool is_free(std::size_t n) const {
        if (shared_mark(shared_, n) & 1) return false;
        const std::uint8_t v = own_[n];
        if (v & mine_) return false;
        if (v & prior_) {
            used_reads_->push_back(static_cast<std::uint32_t>(n));
            return false;
        }
        return true;
    }
    void mark(std::size_t n) noexcept { own_[n] |= mine_; }
    void unmark(std::size_t n) {
        own_[n] &= static_cast<std::uint8_t>(~mine_);
        reads_->push_back(static_cast<std::uint32_t>(n));
    }
    void passed_over(std::size_t n) { reads_->push_back(static_cast<std::uint32_t>(n)); }
    void prefetch(std::size_t n) const noexcept {
        __builtin_prefetch(shared_ + n);
        __builtin_prefetch(own_ + n);
    }
    // Whether n looks used in the shared marks, for hints only (not recorded).
    bool hint_used(std::size_t n) const noexcept { return shared_mark(shared_, n) & 1; }

    // Shared marks are read and written by several threads at once: always
    // through these (relaxed atomic byte accesses, plain moves on x86-64 and
    // aarch64; the compiler's builtins, as std::atomic_ref is missing from
    // older C++ libraries). Correctness rests on marks only ever going from
    // 0 to 1, not on the order in which other threads see them.
    static std::uint8_t shared_mark(std::uint8_t* shared, std::size_t n) noexcept {
        return __atomic_load_n(shared + n, __ATOMIC_RELAXED);
    }
    static void set_shared_mark(std::uint8_t* shared, std::size_t n) noexcept {
        __atomic_store_n(shared + n, std::uint8_t{1}, __ATOMIC_RELAXED);
    }

  private:
    std::uint8_t* shared_;
    std::uint8_t* own_;
    std::uint8_t mine_;
    std::uint8_t prior_;
    std::vector<std::uint32_t>* reads_;
    std::vector<std::uint32_t>* used_reads_;
};

} // namespace linora::detector
