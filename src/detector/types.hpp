// The records and fixed parameters shared by the steps of the line-segment
// detector: one cell of the level-line field, the rectangle that stands for a
// region, and the constants of the method.
#pragma once

#include <cstdint>

namespace linora::detector {

// One cell of the level-line field: the gradient magnitude and the unit
// vector of the level-line direction (perpendicular to the gradient). A cell
// without a gradient holds zero in all three fields.
struct Px {
    float norm;
    float cos_angle;
    float sin_angle;
};

// The rectangle approximating a region. (x1, y1) is the end with the smallest
// projection on the direction (dx, dy), (x2, y2) the end with the largest.
// prec is the angle tolerance for an aligned pixel, p the probability that a
// pixel is aligned by chance; prec == p * pi.
struct Rect {
    double x1;
    double y1;
    double x2;
    double y2;
    double width;
    double dx;
    double dy;
    double prec;
    double p;
};

inline constexpr double kPi = 3.141592653589793;
inline constexpr double kTwoPi = 6.283185307179586;

// Angle tolerance pi/8 for region growing and the default rectangle prec.
inline constexpr double kAngleTolerance = 0.39269908169872414;
// Probability that a level-line direction falls within pi/8 by chance.
inline constexpr double kPointProbability = 0.125;
// Gradients at or below this magnitude are too weak to carry a direction
// (the single-precision value nearest to 2 / sin(pi/8)).
inline constexpr float kGradientThreshold = 5.226252f;
// Number of quantisation levels of the seed order.
inline constexpr std::uint32_t kSeedBins = 1024;
// A region must fill at least this fraction of its rectangle.
inline constexpr double kDensityThreshold = 0.7;

} // namespace linora::detector
