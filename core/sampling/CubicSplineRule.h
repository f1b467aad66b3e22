#pragma once

// The rule of the cubic B-spline model at a point, written once for every
// evaluation of the core: the integer base of a coordinate, its four taps
// folded into the model, and the four weights (with or without their
// derivatives) of its fraction. The weights are templates over the scalar
// and the vector type, so that a lane of a vector runs exactly the scalar
// operations in their order and gets the same bits; they are inline, so that
// the per-pixel loops that call them millions of times pay no call.

#include <array>
#include <cstdint>

#include "core/image/MirrorFold.h"

namespace alignopt {

inline constexpr double twoThirds = 2.0 / 3.0;  // nearest double to 2/3
inline constexpr double fourThirds = 4.0 / 3.0; // nearest double to 4/3

// Integer part of a spline coordinate: trunc(v), minus one when v < 0
// (-0.0 is not negative). Equals floor(v) except at negative integers, where
// taps and weights shift together so the value is unchanged.
inline int32_t splineBase(double v) {
    const auto t = static_cast<int32_t>(v);
    return v < 0.0 ? t - 1 : t;
}

// The fraction the weights of coordinate v take.
inline double splineFraction(double v) { return v - static_cast<double>(splineBase(v)); }

// Taps first, first-1, first-2, first-3 (highest index first, first being
// the base plus 2), folded into [0, n) and scaled by `stride`. Interior taps
// skip the fold; the 64-bit arithmetic keeps first-k defined whatever the
// coordinate was.
inline void foldTaps(int64_t first, int32_t n, int32_t stride, std::array<int32_t, 4>& taps) {
    if (first - 3 >= 0 && first < n) {
        for (int k = 0; k < 4; ++k) taps[k] = static_cast<int32_t>(first - k) * stride;
    } else {
        for (int k = 0; k < 4; ++k) taps[k] = foldMirror(first - k, n) * stride;
    }
}

// The taps of coordinate v along an axis of n.
inline void coordinateTaps(double v, int32_t n, int32_t stride, std::array<int32_t, 4>& taps) {
    foldTaps(static_cast<int64_t>(splineBase(v)) + 2, n, stride, taps);
}

// The four weights beta3(t - 2 + k) of the taps base+2, base+1, base, base-1
// for the fraction t, in their fixed order and grouping; T is a double or a
// vector of them, w anything indexable by 0 ... 3 that holds T.
template <class T, class Weights>
[[gnu::always_inline]] inline void cubicWeightRule(const T& t, Weights& w) {
    const T s = 1.0 - t;
    w[3] = (s * s * s) / 6.0;
    const T q = t * t;
    w[2] = twoThirds - (q * 0.5) * (2.0 - t);
    w[0] = (q * t) / 6.0;
    w[1] = ((1.0 - w[0]) - w[2]) - w[3]; // the weights sum to one
}

// The weights with their derivatives d with respect to t. w[1] and w[2] are
// formed differently from cubicWeightRule, so their last bits may differ.
template <class T, class Weights>
[[gnu::always_inline]] inline void cubicWeightAndDerivativeRule(const T& t, Weights& w, Weights& d) {
    d[0] = (t * 0.5) * t;
    w[0] = (d[0] * t) / 3.0;
    const T s = 1.0 - t;
    d[3] = (s * (-0.5)) * s;
    w[3] = (d[3] * s) / (-3.0);
    d[1] = (1.0 - (d[0] + d[0])) + d[3];
    w[1] = (t + 1.0) * d[3] + twoThirds;
    d[2] = (t * 1.5) * (t - fourThirds);
    w[2] = twoThirds - (2.0 - t) * d[0];
}

} // namespace alignopt
