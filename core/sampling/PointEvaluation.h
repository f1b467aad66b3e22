#pragma once

// The model spline at one general point, written inline for the pixel loops
// that evaluate points one at a time (the baseline path of the point batch
// and its folded lanes): calls into the engine's evaluation operations,
// through its fields, cost those loops about a fifth of their time. The same
// rule (CubicSplineRule.h) in the same order, so the same bits as the
// engine's operations, which stay the tests' reference. State lives in
// locals.

#include <array>
#include <cstdint>

#include "core/sampling/CubicSplineRule.h"

namespace alignopt::pointEvaluation {

// Both axes at once, lane 0 for x and lane 1 for y, so the divisions, the
// slowest step of a pixel, are paired.
using AxisPair = double __attribute__((vector_size(2 * sizeof(double))));

// As cubicWeightRule for tx and for ty.
[[gnu::always_inline]] inline void weightsXY(double tx, double ty, std::array<double, 4>& wx,
                                             std::array<double, 4>& wy) {
    AxisPair w[4];
    cubicWeightRule(AxisPair{tx, ty}, w);
    wx = {w[0][0], w[1][0], w[2][0], w[3][0]};
    wy = {w[0][1], w[1][1], w[2][1], w[3][1]};
}

// As cubicWeightAndDerivativeRule for tx and for ty.
[[gnu::always_inline]] inline void weightsAndDerivativesXY(double tx, double ty, std::array<double, 4>& wx,
                                                           std::array<double, 4>& dx, std::array<double, 4>& wy,
                                                           std::array<double, 4>& dy) {
    AxisPair w[4];
    AxisPair d[4];
    cubicWeightAndDerivativeRule(AxisPair{tx, ty}, w, d);
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
    coordinateTaps(x, width, 1, xi);
    coordinateTaps(y, height, width, yo);
    std::array<double, 4> wx;
    std::array<double, 4> wy;
    weightsXY(splineFraction(x), splineFraction(y), wx, wy);
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
    coordinateTaps(x, width, 1, xi);
    coordinateTaps(y, height, width, yo);
    std::array<double, 4> wx;
    std::array<double, 4> dx;
    std::array<double, 4> wy;
    std::array<double, 4> dy;
    weightsAndDerivativesXY(splineFraction(x), splineFraction(y), wx, dx, wy, dy);
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

} // namespace alignopt::pointEvaluation
