#pragma once

#include <array>

namespace alignopt {

// The one formula for the four cubic B-spline weights beta3(t - 2 + k), in
// its fixed order and grouping; inline so the per-pixel loops that call it
// millions of times pay no call. cubicWeights() is this rule.
inline void cubicWeightRule(double t, std::array<double, 4>& w) {
    constexpr double twoThirds = 2.0 / 3.0; // nearest double to 2/3
    const double s = 1.0 - t;
    w[3] = (s * s * s) / 6.0;
    const double q = t * t;
    w[2] = twoThirds - (q * 0.5) * (2.0 - t);
    w[0] = (q * t) / 6.0;
    w[1] = ((1.0 - w[0]) - w[2]) - w[3]; // the weights sum to one
}

} // namespace alignopt
