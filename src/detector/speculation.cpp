#include "detector/speculation.hpp"

#include "cancel.hpp"
#include "detector/seed_work.hpp"

namespace linora::detector {

void ThreadOverlay::hold(std::size_t batch, const std::vector<std::uint32_t>& marks) {
    if (pending_head_ == pending_end_) pending_head_ = pending_end_ = 0;
    if (pending_end_ == pending_.size()) pending_.emplace_back();
    Pending& pending = pending_[pending_end_++];
    pending.batch = batch;
    pending.marks.assign(marks.begin(), marks.end());
}

void ThreadOverlay::release_before(std::size_t committed) {
    for (; pending_head_ < pending_end_ && pending_[pending_head_].batch < committed;
         ++pending_head_)
        for (std::uint32_t p : pending_[pending_head_].marks)
            own.clear(p, OwnMarks::kPrior);
}

void CheckTally::count(bool redone) noexcept {
    redone_ += redone ? 1 : 0;
    window_redone_ += redone ? 1 : 0;
    if (++window_checked_ < kRedoneWindow) return;
    if (window_redone_ > kRedoneLimit) only_redoing_ = true;
    window_checked_ = window_redone_ = 0;
}

void speculate_batch(const SeedLoopInput& in, std::size_t batch, std::size_t first,
                     std::size_t last, std::uint8_t* shared, ThreadOverlay& thread,
                     BatchRecord& record) {
    record.reads.clear();
    record.used_reads.clear();
    record.marks.clear();
    record.seeds.clear();
    OverlayMarks marks(shared, thread.own, record.reads, record.used_reads);
    std::size_t looked = 0;
    for (std::size_t i = first; i < last; ++i) {
        prefetch_seed(in, i, marks);
        const std::uint32_t seed = in.seeds[i];
        const std::size_t used_before = record.used_reads.size();
        const auto offset = static_cast<std::uint32_t>(i - first);
        if (!marks.is_free(seed)) {
            // Used in the shared marks: final. Used by an earlier seed of
            // this thread: to be checked.
            if (record.used_reads.size() != used_before)
                record.seeds.push_back({offset,
                                        false,
                                        record.reads.size(),
                                        record.used_reads.size(),
                                        record.marks.size(),
                                        {}});
            continue;
        }
        poll();
        prefetch_free_seeds(in, i, looked, marks);
        Candidate c{}; // copied into the record whether or not it was found
        const bool found = grow_candidate(seed, in, marks, thread.region, c);
        for (std::uint32_t p : thread.region) {
            thread.own.clear(p, OwnMarks::kMine);
            thread.own.set(p, OwnMarks::kPrior);
        }
        record.marks.insert(record.marks.end(), thread.region.begin(), thread.region.end());
        record.seeds.push_back(
            {offset, found, record.reads.size(), record.used_reads.size(), record.marks.size(), c});
    }
    thread.hold(batch, record.marks);
}

void commit_batch(const SeedLoopInput& in, const BatchRecord& record, std::size_t first,
                  std::uint8_t* shared, ThreadOverlay& thread, std::vector<Candidate>& found,
                  CheckTally& tally) {
    std::size_t r = 0;
    std::size_t u = 0;
    std::size_t m = 0;
    auto is_used = [&](std::uint32_t p) { return OverlayMarks::shared_mark(shared, p) & 1; };
    for (const Speculated& s : record.seeds) {
        // A region may cover most of the image: a cancellation point per
        // seed, counting its records.
        poll(s.reads_end - r + s.marks_end - m + 1);
        // The region's pixels are among the reads (recorded when marked).
        bool holds = true;
        for (; r < s.reads_end && holds; ++r)
            holds = !is_used(record.reads[r]);
        for (; u < s.used_reads_end && holds; ++u)
            holds = is_used(record.used_reads[u]);
        r = s.reads_end;
        u = s.used_reads_end;
        tally.count(!holds);
        if (!holds) {
            m = s.marks_end;
            seeds_in_order(in, first + s.offset, first + s.offset + 1, shared, thread, found);
            continue;
        }
        for (; m < s.marks_end; ++m)
            OverlayMarks::set_shared_mark(shared, record.marks[m]);
        if (s.found) found.push_back(s.candidate);
    }
}

void seeds_in_order(const SeedLoopInput& in, std::size_t first, std::size_t last,
                    std::uint8_t* shared, ThreadOverlay& thread, std::vector<Candidate>& found) {
    TurnMarks marks(shared);
    std::size_t looked = 0;
    for (std::size_t i = first; i < last; ++i) {
        prefetch_seed(in, i, marks);
        const std::uint32_t seed = in.seeds[i];
        if (!marks.is_free(seed)) continue;
        poll();
        prefetch_free_seeds(in, i, looked, marks);
        Candidate c;
        const bool ok = grow_candidate(seed, in, marks, thread.region, c);
        marks.finish(thread.region);
        if (ok) found.push_back(c);
    }
}

} // namespace linora::detector
