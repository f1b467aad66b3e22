#pragma once

// The steps of the batch evaluation that every vector width shares, written
// on GNU vectors of N points, one point per lane. Each lane runs the scalar
// evaluation's operations in their order. The steps are always inlined into
// the wide paths, which are compiled for their instruction sets and only add
// the loads of the taps, the one step that needs their intrinsics.

#include <cstdint>

#include "core/sampling/CubicSplineRule.h"
#include "core/sampling/PointBatch.h"
#include "core/sampling/PointEvaluation.h"
#include "core/simd/VectorTypes.h"

namespace alignopt::pointLanes {

template <int N>
using Real = typename VectorTypes<N>::Real;
template <int N>
using Index = typename VectorTypes<N>::Index;

// A group of N points located in the model: the flat index of each point's
// first tap (column base+2 of row base+2; taps (k, j) lie k rows above and j
// columns left of it), the weights, and which lanes need their taps folded.
// Folded lanes get the index of an interior point instead, so the loads stay
// inside the model, and are evaluated by the scalar code afterwards (the wide
// paths turn `outside` into a bit mask with their own instructions).
template <int N, bool Slopes>
struct Group {
    Index<N> first;
    Index<N> outside; // all bits set in the lanes to fold
    Real<N> wx[4];
    Real<N> wy[4];
    Real<N> dx[4]; // derivative weights, with Slopes only
    Real<N> dy[4];
};

// Base and fraction of N coordinates as splineBase and fraction: truncation
// towards zero, one less below zero, and the fraction taken from the base
// converted back (so a -0.0 coordinate keeps the fraction -0.0).
template <int N>
[[gnu::always_inline]] inline void baseAndFraction(const double* v, Index<N>& base, Real<N>& fraction) {
    Real<N> value;
    __builtin_memcpy(&value, v, sizeof value);
    const Index<N> below = __builtin_convertvector(value < 0.0, Index<N>); // -1 where negative
    base = __builtin_convertvector(value, Index<N>) + below;
    fraction = value - __builtin_convertvector(base, Real<N>);
}

// The weights of the fractions tx and ty.
template <int N, bool Slopes>
[[gnu::always_inline]] inline void weigh(const Real<N>& tx, const Real<N>& ty, Group<N, Slopes>& g) {
    if constexpr (Slopes) {
        cubicWeightAndDerivativeRule(tx, g.wx, g.dx);
        cubicWeightAndDerivativeRule(ty, g.wy, g.dy);
    } else {
        cubicWeightRule(tx, g.wx);
        cubicWeightRule(ty, g.wy);
    }
}

template <int N, bool Slopes>
[[gnu::always_inline]] inline void locate(const PointModel& m, const double* x, const double* y,
                                          Group<N, Slopes>& g) {
    Index<N> bx;
    Index<N> by;
    Real<N> tx;
    Real<N> ty;
    baseAndFraction<N>(x, bx, tx);
    baseAndFraction<N>(y, by, ty);
    weigh(tx, ty, g);
    // All four taps of an axis are inside when base-1 >= 0 and base+2 < size.
    const Index<N> inside = (bx >= 1) & (bx <= m.width - 3) & (by >= 1) & (by <= m.height - 3);
    bx = (bx & inside) | (1 & ~inside);
    by = (by & inside) | (1 & ~inside);
    g.first = (by + 2) * m.width + (bx + 2);
    g.outside = ~inside;
}

// Where the results of the points from i on go; the slopes only with Slopes.
template <bool Slopes>
struct Outputs {
    double* value;
    double* dx;
    double* dy;

    Outputs from(int32_t i) const {
        return Slopes ? Outputs{value + i, dx + i, dy + i} : Outputs{value + i, nullptr, nullptr};
    }
};

// The 4 x 4 sums of the group's lanes from their taps c[k][j]: each row sum
// starts at 0 and adds its taps j = 0..3, then the weighted rows are added in
// order k = 0..3 to a sum that starts at 0, as in the scalar evaluation.
template <int N, bool Slopes>
[[gnu::always_inline]] inline void combine(const Real<N> (&c)[4][4], const Group<N, Slopes>& g,
                                           const Outputs<Slopes>& out) {
    Real<N> sum = {};
    Real<N> sumDx = {};
    Real<N> sumDy = {};
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
        // The row sums start from their first product rather than from 0 + it:
        // that only turns a -0.0 row sum into +0.0, and every row sum is then
        // weighted and added to a sum that started at +0.0, where a zero of
        // either sign adds nothing and leaves +0.0 as +0.0.
        Real<N> r = c[k][0] * g.wx[0];
        Real<N> rx = Slopes ? c[k][0] * g.dx[0] : r;
#pragma GCC unroll 3
        for (int j = 1; j < 4; ++j) {
            r = r + c[k][j] * g.wx[j];
            if constexpr (Slopes) rx = rx + c[k][j] * g.dx[j];
        }
        sum = sum + r * g.wy[k];
        if constexpr (Slopes) {
            sumDx = sumDx + rx * g.wy[k];
            sumDy = sumDy + r * g.dy[k];
        }
    }
    __builtin_memcpy(out.value, &sum, sizeof sum);
    if constexpr (Slopes) {
        __builtin_memcpy(out.dx, &sumDx, sizeof sumDx);
        __builtin_memcpy(out.dy, &sumDy, sizeof sumDy);
    }
}

// Point i as the scalar evaluation does it.
template <bool Slopes>
inline void evaluatePoint(const PointModel& m, double x, double y, const Outputs<Slopes>& out, int32_t i) {
    if constexpr (Slopes) {
        const auto s = pointEvaluation::valueAndSlopes(m.coefficients, m.width, m.height, x, y);
        out.value[i] = s.value;
        out.dx[i] = s.dx;
        out.dy[i] = s.dy;
    } else {
        out.value[i] = pointEvaluation::value(m.coefficients, m.width, m.height, x, y);
    }
}

// The folded lanes of a group, point by point.
template <int N, bool Slopes>
inline void evaluateFolded(const PointModel& m, const double* x, const double* y, uint32_t folded,
                           const Outputs<Slopes>& out) {
    for (int l = 0; l < N; ++l)
        if (folded & (1u << l)) evaluatePoint(m, x[l], y[l], out, l);
}

} // namespace alignopt::pointLanes
