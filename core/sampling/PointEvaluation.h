#pragma once

// The general-point spline evaluation written inline for the kernels' pixel
// loops: the calls into the engine's evaluation operations, through its
// fields, cost these kernels about a fifth of their time. Same
// arithmetic in the same order, so the same bits (the tests hold it against
// the engine's operations, which stay the reference). State lives in locals;
// the engine's evaluation fields are left alone.

#include <array>
#include <cstdint>

#include "core/image/MirrorFold.h"
#include "core/sampling/CubicWeights.h"
#include "core/registration/RegistrationEngine.h"

namespace alignopt::inlineEvaluation {

inline constexpr double twoThirds = 2.0 / 3.0;
inline constexpr double fourThirds = 4.0 / 3.0;

// Taps base+2 ... base-1 of coordinate v, folded into [0, n) and scaled by
// `stride`; interior taps need no fold.
inline void taps(double v, int32_t n, int32_t stride, std::array<int32_t, 4>& t) {
    const int64_t first = static_cast<int64_t>(splineBase(v)) + 2;
    if (first - 3 >= 0 && first < n) {
        for (int k = 0; k < 4; ++k) t[k] = static_cast<int32_t>(first - k) * stride;
    } else {
        for (int k = 0; k < 4; ++k) t[k] = foldMirror(first - k, n) * stride;
    }
}

inline double fraction(double v) { return v - static_cast<double>(splineBase(v)); }

// The weight rules written once for any vector of coordinates, one
// coordinate per lane: each lane runs the operations of cubicWeightRule (or of
// computeXWeights, with derivatives) in their order, so every weight keeps
// its bits.
template <class V>
[[gnu::always_inline]] inline void cubicWeightLanes(const V& t, V (&w)[4]) {
    const V s = 1.0 - t;
    w[3] = (s * s * s) / 6.0;
    const V q = t * t;
    w[2] = twoThirds - (q * 0.5) * (2.0 - t);
    w[0] = (q * t) / 6.0;
    w[1] = ((1.0 - w[0]) - w[2]) - w[3];
}

template <class V>
[[gnu::always_inline]] inline void cubicWeightAndDerivativeLanes(const V& t, V (&w)[4], V (&d)[4]) {
    d[0] = (t * 0.5) * t;
    w[0] = (d[0] * t) / 3.0;
    const V s = 1.0 - t;
    d[3] = (s * (-0.5)) * s;
    w[3] = (d[3] * s) / (-3.0);
    d[1] = (1.0 - (d[0] + d[0])) + d[3];
    w[1] = (t + 1.0) * d[3] + twoThirds;
    d[2] = (t * 1.5) * (t - fourThirds);
    w[2] = twoThirds - (2.0 - t) * d[0];
}

// Both axes at once, lane 0 for x and lane 1 for y, so the divisions, the
// slowest step of a pixel, are paired.
using AxisPair = double __attribute__((vector_size(2 * sizeof(double))));

// As weights(tx, wx) and weights(ty, wy).
[[gnu::always_inline]] inline void weightsXY(double tx, double ty, std::array<double, 4>& wx,
                                             std::array<double, 4>& wy) {
    AxisPair w[4];
    cubicWeightLanes(AxisPair{tx, ty}, w);
    wx = {w[0][0], w[1][0], w[2][0], w[3][0]};
    wy = {w[0][1], w[1][1], w[2][1], w[3][1]};
}

// As computeXWeights for tx and computeYWeights for ty.
[[gnu::always_inline]] inline void weightsAndDerivativesXY(double tx, double ty, std::array<double, 4>& wx,
                                                           std::array<double, 4>& dx, std::array<double, 4>& wy,
                                                           std::array<double, 4>& dy) {
    AxisPair w[4];
    AxisPair d[4];
    cubicWeightAndDerivativeLanes(AxisPair{tx, ty}, w, d);
    wx = {w[0][0], w[1][0], w[2][0], w[3][0]};
    dx = {d[0][0], d[1][0], d[2][0], d[3][0]};
    wy = {w[0][1], w[1][1], w[2][1], w[3][1]};
    dy = {d[0][1], d[1][1], d[2][1], d[3][1]};
}

// As interpolate after the general-point sequence with cubicWeights, on the
// model whose coefficients are c, width by height.
[[gnu::always_inline]] inline double value(const double* c, int32_t width, int32_t height, double x, double y) {
    std::array<int32_t, 4> xi;
    std::array<int32_t, 4> yo;
    taps(x, width, 1, xi);
    taps(y, height, width, yo);
    std::array<double, 4> wx;
    std::array<double, 4> wy;
    weightsXY(fraction(x), fraction(y), wx, wy);
    const double* rows[4] = {c + yo[0], c + yo[1], c + yo[2], c + yo[3]};
    // Each row sum still adds its taps j = 0..3 in order; running the four
    // rows side by side only breaks one long chain of dependent additions.
    double r[4] = {0.0, 0.0, 0.0, 0.0};
#pragma GCC unroll 4
    for (int j = 0; j < 4; ++j)
#pragma GCC unroll 4
        for (int k = 0; k < 4; ++k) r[k] += rows[k][xi[j]] * wx[j];
    double sum = 0.0;
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) sum += r[k] * wy[k];
    return sum;
}

[[gnu::always_inline]] inline double value(const RegistrationEngine& e, double x, double y) {
    return value(e.modelCoefficients.data(), e.modelWidth, e.modelHeight, x, y);
}

struct ValueAndSlopes {
    double value;
    double dx;
    double dy;
};

// As interpolate, interpolateDx and interpolateDy after the derivative
// sequence; the three share the row sums that are equal among them.
[[gnu::always_inline]] inline ValueAndSlopes valueAndSlopes(const double* c, int32_t width, int32_t height, double x,
                                                           double y) {
    std::array<int32_t, 4> xi;
    std::array<int32_t, 4> yo;
    taps(x, width, 1, xi);
    taps(y, height, width, yo);
    std::array<double, 4> wx;
    std::array<double, 4> dx;
    std::array<double, 4> wy;
    std::array<double, 4> dy;
    weightsAndDerivativesXY(fraction(x), fraction(y), wx, dx, wy, dy);
    const double* rows[4] = {c + yo[0], c + yo[1], c + yo[2], c + yo[3]};
    double r[4] = {0.0, 0.0, 0.0, 0.0};
    double rx[4] = {0.0, 0.0, 0.0, 0.0};
#pragma GCC unroll 4
    for (int j = 0; j < 4; ++j)
#pragma GCC unroll 4
        for (int k = 0; k < 4; ++k) {
            r[k] += rows[k][xi[j]] * wx[j];
            rx[k] += rows[k][xi[j]] * dx[j];
        }
    ValueAndSlopes out{0.0, 0.0, 0.0};
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
        out.value += r[k] * wy[k];
        out.dx += rx[k] * wy[k];
        out.dy += r[k] * dy[k];
    }
    return out;
}

[[gnu::always_inline]] inline ValueAndSlopes valueAndSlopes(const RegistrationEngine& e, double x, double y) {
    return valueAndSlopes(e.modelCoefficients.data(), e.modelWidth, e.modelHeight, x, y);
}

} // namespace alignopt::inlineEvaluation
