#include "detector/level_lines.hpp"

#include "detector/samples.hpp"

#include "pool.hpp"
#include "sample.hpp"

#include <cmath>
#include <type_traits>

namespace linora::detector {

namespace {

// Row y of the field from rows y and y + 1 of the raster (as 64-bit values).
void field_row(const double* top, const double* bottom, std::size_t w, Px* out) {
    for (std::size_t x = 0; x + 1 < w; ++x) {
        const double a = top[x];
        const double b = top[x + 1];
        const double c = bottom[x];
        const double d = bottom[x + 1];
        const double gx = (((b + d) - a) - c) * 0.5;
        const double gy = (((c + d) - a) - b) * 0.5;
        const double mag = std::hypot(gx, gy);
        if (mag > 0.0) {
            // The level line is perpendicular to the gradient: its angle
            // is atan2(gx, -gy), stored as a unit vector.
            out[x].norm = static_cast<float>(mag);
            out[x].cos_angle = static_cast<float>(-gy / mag);
            out[x].sin_angle = static_cast<float>(gx / mag);
        }
    }
}

template <class T>
std::vector<Px> level_line_field_of(std::span<const T> in, std::size_t w, std::size_t h) {
    std::vector<Px> field(checked_mul(w, h), Px{0.0f, 0.0f, 0.0f});
    if (w < 2 || h < 2) return field;
    // Each row y of the field reads rows y and y + 1 of the raster and writes
    // only its own cells. Other sample types than double are converted two
    // rows at a time, so no converted copy of the whole raster is made.
    parallel_rows(h - 1, w, [&](std::size_t y) {
        const T* top = in.data() + y * w;
        Px* out = field.data() + y * w;
        if constexpr (std::is_same_v<T, double>) {
            field_row(top, top + w, w, out);
        } else {
            std::vector<double> rows(2 * w);
            to_working(top, rows.data(), 2 * w);
            field_row(rows.data(), rows.data() + w, w, out);
        }
    });
    return field;
}

} // namespace

std::vector<Px> level_line_field(std::span<const double> in, std::size_t w, std::size_t h) {
    return level_line_field_of(in, w, h);
}
std::vector<Px> level_line_field(std::span<const float> in, std::size_t w, std::size_t h) {
    return level_line_field_of(in, w, h);
}
std::vector<Px> level_line_field(std::span<const std::uint8_t> in, std::size_t w, std::size_t h) {
    return level_line_field_of(in, w, h);
}
std::vector<Px> level_line_field(std::span<const std::uint16_t> in, std::size_t w, std::size_t h) {
    return level_line_field_of(in, w, h);
}

std::vector<std::uint32_t> seeds_by_norm(std::span<const Px> field, float threshold) {
    std::vector<std::uint32_t> seeds;
    if (field.empty()) return seeds;
    float max = 0.0f;
    for (const Px& c : field)
        max = std::fmax(max, c.norm);
    if (max <= 0.0f) return seeds;

    // Bucket sort: 1023 * norm / max, truncated, names the bin, so the cells
    // at the maximum fill the top bin. Counting first lets every index go
    // straight to its place in the output.
    auto bin_of = [max](float norm) {
        const std::size_t b = saturating_trunc<std::size_t>((norm / max) * 1023.0f);
        return b < kSeedBins - 1 ? b : std::size_t{kSeedBins - 1};
    };
    std::vector<std::size_t> start(kSeedBins, 0);
    for (const Px& c : field)
        if (!(c.norm <= threshold)) ++start[bin_of(c.norm)];
    // Bins are emitted from the highest down: bin b starts after all higher
    // bins.
    std::size_t total = 0;
    for (std::size_t b = kSeedBins; b-- > 0;) {
        const std::size_t count = start[b];
        start[b] = total;
        total += count;
    }
    seeds.resize(total);
    for (std::size_t i = 0; i < field.size(); ++i)
        if (!(field[i].norm <= threshold))
            seeds[start[bin_of(field[i].norm)]++] = static_cast<std::uint32_t>(i);
    return seeds;
}

} // namespace linora::detector
