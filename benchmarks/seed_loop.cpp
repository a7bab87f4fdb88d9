// The detector's seed loop alone, timed in one process: the sequential loop,
// the parallel loop with one thread (every batch done at its turn, through
// the marks that other threads would read) and with two, and every batch
// speculated and then committed on one thread (the speculation's own cost,
// with no other thread to contend with and nothing done again), on the same
// fields, one after the other for each photograph. Built and run by
// seed_loop.py.
//
//     seed_loop DIR W H ROUNDS    # DIR holds W x H grey uint8 *.raw files
#include "detector/seed_loop.hpp"
#include "detector/downscale.hpp"
#include "detector/driver.hpp"
#include "detector/level_lines.hpp"
#include "detector/speculation.hpp"
#include "pool.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <utility>
#include <vector>

using namespace linora::detector;

namespace {

constexpr double kScale = 0.8; // detect's usual scale

struct Photo {
    Array<Px> field;
    std::vector<std::uint8_t> weak;
    std::vector<std::uint32_t> seeds;
    std::size_t w = 0, h = 0;
};

Photo prepare(const std::filesystem::path& path, std::size_t width, std::size_t height) {
    std::vector<std::uint8_t> pixels(width * height);
    std::ifstream file(path, std::ios::binary);
    if (!file.read(reinterpret_cast<char*>(pixels.data()),
                   static_cast<std::streamsize>(pixels.size()))) {
        std::fprintf(stderr, "seed_loop: %s holds fewer than %zu x %zu samples\n", path.c_str(),
                     width, height);
        std::exit(2);
    }
    Photo p;
    p.w = subsampled_size(kScale, width);
    p.h = subsampled_size(kScale, height);
    p.weak.resize(p.w * p.h);
    std::vector<float> row_max(p.h);
    const FieldRowMarks marks{p.weak.data(), row_max.data(), kGradientThreshold};
    p.field = subsampled_field<std::uint8_t>(pixels, width, height, kScale, marks);
    p.seeds = seeds_by_norm(p.field, kGradientThreshold);
    return p;
}

// Each batch speculated on the marks committed so far, then committed: the
// speculation's records and checks, without waiting or redone seeds.
std::vector<Candidate> speculated_one_by_one(const SeedLoopInput& in,
                                             std::span<std::uint8_t> used) {
    ThreadOverlay thread(in.field.size());
    BatchRecord record;
    std::vector<Candidate> found;
    CheckTally tally;
    const std::size_t n = in.seeds.size();
    for (std::size_t b = 0; b * kBatchSeeds < n; ++b) {
        const std::size_t first = b * kBatchSeeds;
        thread.release_before(b);
        speculate_batch(in, b, first, std::min(n, first + kBatchSeeds), used.data(), thread,
                        record);
        commit_batch(in, record, first, used.data(), thread, found, tally);
    }
    return found;
}

// The ways the loop is timed, in this order.
enum Way : std::size_t { kSequential, kOneThread, kTwoThreads, kSpeculated, kWays };

std::vector<Candidate> run(Way way, const SeedLoopInput& in, std::span<std::uint8_t> used) {
    if (way == kSequential) return seed_loop_sequential(in, used);
    if (way == kSpeculated) return speculated_one_by_one(in, used);
    SeedSchedule schedule;
    schedule.threads = way == kTwoThreads ? 2 : 1;
    return seed_loop_parallel(in, used, schedule);
}

bool same(const std::vector<Candidate>& a, const std::vector<Candidate>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Candidate)) == 0);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: seed_loop DIR WIDTH HEIGHT ROUNDS\n");
        return 2;
    }
    const std::size_t width = std::strtoul(argv[2], nullptr, 10);
    const std::size_t height = std::strtoul(argv[3], nullptr, 10);
    const int rounds = std::atoi(argv[4]);
    std::vector<Photo> photos;
    for (const auto& entry : std::filesystem::directory_iterator(argv[1]))
        if (entry.path().extension() == ".raw")
            photos.push_back(prepare(entry.path(), width, height));
    double ms[kWays] = {};
    for (int r = 0; r < rounds; ++r)
        for (const Photo& p : photos) {
            const double lnt = log_nt(p.w, p.h);
            const SeedLoopInput in{p.field, p.w, p.h, p.seeds, min_region_size(lnt), lnt};
            std::vector<std::uint8_t> sequential_marks;
            std::vector<Candidate> sequential_found;
            for (std::size_t way = 0; way < kWays; ++way) {
                std::vector<std::uint8_t> used = p.weak;
                const linora::ScopedWorkerCount workers(way == kTwoThreads ? 2 : 1);
                const auto start = std::chrono::steady_clock::now();
                std::vector<Candidate> found = run(static_cast<Way>(way), in, used);
                ms[way] += std::chrono::duration<double, std::milli>(
                               std::chrono::steady_clock::now() - start)
                               .count();
                // Every way must give the sequential loop's candidates and marks.
                if (way == kSequential) {
                    sequential_marks = std::move(used);
                    sequential_found = std::move(found);
                } else if (used != sequential_marks || !same(found, sequential_found)) {
                    std::fprintf(stderr, "seed_loop: way %zu gave other candidates or marks\n",
                                 way);
                    return 1;
                }
            }
        }
    const double n = static_cast<double>(rounds) * static_cast<double>(photos.size());
    std::printf("seed loop per photograph: sequential %.2f ms; parallel loop, one thread %.2f ms "
                "(x%.3f of sequential), two threads %.2f ms (speed-up x%.2f); every batch "
                "speculated, then committed, on one thread %.2f ms (x%.3f of sequential)\n",
                ms[0] / n, ms[1] / n, ms[1] / ms[0], ms[2] / n, ms[0] / ms[2], ms[3] / n,
                ms[3] / ms[0]);
}
