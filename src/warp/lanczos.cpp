// The Lanczos-3 weight table.
#include "warp/samplers.hpp"

#include <cmath>
#include <numbers>

namespace linora {

namespace {

// The Lanczos-3 kernel sinc(d) * sinc(d / 3), zero from |d| = 3 on. Each sine
// is divided by its own argument before the two quotients are multiplied.
double lanczos3(double d) {
    if (d == 0.0) return 1.0;
    if (std::fabs(d) >= 3.0) return 0.0;
    const double p = d * std::numbers::pi;
    const double p3 = p / 3.0;
    return (std::sin(p) / p) * (std::sin(p3) / p3);
}

} // namespace

std::unique_ptr<const LanczosTable> lanczos3_table() {
    auto table = std::make_unique<LanczosTable>();
    for (std::size_t k = 0; k <= lanczos_phases; ++k) {
        // t = k / 1024 is exact, and so are the tap distances t + 2 - j.
        const double t = static_cast<double>(k) / static_cast<double>(lanczos_phases);
        LanczosRow a;
        for (int j = 0; j < 6; ++j)
            a[j] = lanczos3(t + static_cast<double>(2 - j));
        const double s = (((((0.0 + a[0]) + a[1]) + a[2]) + a[3]) + a[4]) + a[5];
        for (int j = 0; j < 6; ++j)
            (*table)[k][j] = a[j] / s;
    }
    return table;
}

} // namespace linora
