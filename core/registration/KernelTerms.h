#pragma once

// Per-pixel derivative terms of the rigid-body, scaled-rotation, affine and
// bilinear kernels for one pixel and for the lanes of a vector (ChunkSums.h),
// and the chunk rules that feed them to the sums. Where the forms share
// their arithmetic (rigid body, scaled rotation) it is one template over a
// double and a vector; the others lay a pixel's terms out across the lanes.
// A lane computes its term with the operations of the one-pixel form in
// their order; only whole products swap their factors, which leaves their
// bits alone.

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "core/linalg/Matrix.h"
#include "core/registration/ChunkSums.h"
#include "core/registration/PixelChunk.h"

namespace alignopt {

// Lane helpers for the lanes() forms, which only ever run inside the 512-bit
// sums: (a, b) repeated over the lanes; eight values from memory; four
// values in lanes 0 ... 3. The pair is a blend of
// two broadcasts, which the compiler takes straight from memory: the permute
// units are the sums' narrow resource.
[[gnu::always_inline]] ALIGNOPT_TARGET_AVX512 inline Lanes pairLanes(double a, double b) {
    const __m512d both = _mm512_mask_blend_pd(0xAA, _mm512_set1_pd(a), _mm512_set1_pd(b));
    Lanes t;
    __builtin_memcpy(&t, &both, sizeof t);
    return t;
}

// The eight values from p on.
[[gnu::always_inline]] ALIGNOPT_TARGET_AVX512 inline Lanes lanesAt(const double* p) {
    Lanes t;
    __builtin_memcpy(&t, p, sizeof t);
    return t;
}

[[gnu::always_inline]] ALIGNOPT_TARGET_AVX512 inline Lanes fourLanes(double a, double b, double c,
                                                                                 double d) {
    const __m512d low = _mm512_castpd256_pd512(_mm256_set_pd(d, c, b, a));
    Lanes t;
    __builtin_memcpy(&t, &low, sizeof t);
    return t;
}

// Derivatives with respect to the angle and the two shifts, from the grid's
// own gradient: the angle moves pixel (x, y) along (-y, x).
struct RigidBodyTerms {
    static constexpr int32_t count = 3;

    struct Row {
        double y;
    };
    Row row(double y) const { return {y}; }

    // The terms of one pixel (X = T = double), of eight in the lanes of
    // vectors (X = T = Lanes), or of one pixel's terms spread over the lanes
    // (X = double, T = Lanes; see derivativeLanes).
    template <class X, class T>
    [[gnu::always_inline]] static void expressions(const X& x, double y, const T& gx, const T& gy, T (&d)[3]) {
        d[0] = x * gy - y * gx;
        d[1] = gx;
        d[2] = gy;
    }
    void derivatives(double x, double y, double gx, double gy, double (&d)[3]) const {
        expressions(x, y, gx, gy, d);
    }
    // (gy, gx, gy, ...) has gx and gy in lanes 1 and 2 already; the angle's
    // term is worked out in lane 0 from it and gx in every lane, broadcasts
    // with no permute, and moved in.
    [[gnu::always_inline]] ALIGNOPT_TARGET_AVX512 void derivativeLanes(double x, const Row& row, double gx, double gy,
                                                                     Lanes& d) const {
        const Lanes g = pairLanes(gy, gx);
        Lanes t[3];
        expressions(x, row.y, pairLanes(gx, gx), g, t);
        __m512d turn, all;
        __builtin_memcpy(&turn, &t[0], sizeof turn);
        __builtin_memcpy(&all, &g, sizeof all);
        all = _mm512_mask_mov_pd(all, 1, turn);
        __builtin_memcpy(&d, &all, sizeof d);
    }
    // Eight pixels at once, one term to a vector.
    [[gnu::always_inline]] ALIGNOPT_TARGET_AVX512 void derivativeColumns(const Lanes& x, const Row& row,
                                                                       const Lanes& gx, const Lanes& gy,
                                                                       Lanes (&d)[3]) const {
        expressions(x, row.y, gx, gy, d);
    }
};

// Derivatives with respect to (x0, y0, x1, y1). K + iW is (p - L1) / (L0 - L1)
// for the pixel p read as a complex number. D[2] and D[3] are deliberately not
// gx - D[0] and gy - D[1]: the registration's results depend on these exact
// expressions.
struct ScaledRotationTerms {
    static constexpr int32_t count = 4;
    double l, m, q, h, P, Q, R, U, a2, F, E, V;

    explicit ScaledRotationTerms(const LandmarkSet& L) {
        const double x0 = L(0, 0), y0 = L(0, 1), x1 = L(1, 0), y1 = L(1, 1);
        const double e = x0 - x1;
        const double f = y0 - y1;
        const double G = e * e + f * f;
        const double beta = ((y0 * x1 - y1 * x0) * 0.5) / G;
        h = beta + beta;
        l = f / G;
        m = e / G;
        q = l * y1 + m * x1;
        P = (m - l) - (l * m) * f;
        Q = (f * e + G) / G;
        R = Q * m;
        const double T = ((e * e - f * f) * beta) / G;
        const double a1 = (m * x0 + beta) + l * x1;
        U = T + a1;
        a2 = a1 - T;
        F = (G - f * e) / G;
        E = (l + m) - (l * m) * e;
        V = F * l;
    }

    struct Row {
        double y;
    };
    Row row(double y) const { return {y}; }

    // The terms of one pixel (T = double), or of eight in the lanes of a
    // vector (T = Lanes), where the products with y alone are the same
    // doubles for every pixel of the row.
    template <class T>
    [[gnu::always_inline]] void expressions(const T& x, double y, const T& gx, const T& gy, T (&d)[4]) const {
        const T K = (y * l + x * m) - q;
        const T W = (y * m - x * l) + h;
        d[0] = gx * K + gy * W;
        d[1] = (-W) * gx + gy * K;
        d[2] = ((y * P - x * R) + U) * gx + ((-F) * W) * gy;
        d[3] = ((a2 - x * E) - y * V) * gy + (W * Q) * gx;
    }
    void derivatives(double x, double y, double gx, double gy, double (&d)[4]) const {
        expressions(x, y, gx, gy, d);
    }
    // Eight pixels at once, one term to a vector.
    [[gnu::always_inline]] ALIGNOPT_TARGET_AVX512 void derivativeColumns(const Lanes& x, const Row& row,
                                                                                    const Lanes& gx, const Lanes& gy,
                                                                                    Lanes (&d)[4]) const {
        expressions(x, row.y, gx, gy, d);
    }
    // Four different expressions: worked one by one, then put in lanes.
    [[gnu::always_inline]] ALIGNOPT_TARGET_AVX512 void derivativeLanes(double x, const Row& row,
                                                                                  double gx, double gy,
                                                                                  Lanes& d) const {
        double t[4];
        derivatives(x, row.y, gx, gy, t);
        d = fourLanes(t[0], t[1], t[2], t[3]);
    }
};

// Derivatives with respect to (x0, y0, x1, y1, x2, y2): the gradient weighted
// by the pixel's barycentric coordinates in the candidate triangle. In lanes
// each weight sits in the two lanes of its landmark.
struct AffineTerms {
    static constexpr int32_t count = 6;
    double yFactor[3], xFactor[3], c[3];
    Lanes xFactors, constants;

    AffineTerms(const LandmarkSet& L, double o) {
        const double x0 = L(0, 0), y0 = L(0, 1), x1 = L(1, 0), y1 = L(1, 1), x2 = L(2, 0), y2 = L(2, 1);
        yFactor[0] = (x1 - x2) / o;
        xFactor[0] = (y1 - y2) / o;
        c[0] = (y1 * x2 - y2 * x1) / o;
        yFactor[1] = (x2 - x0) / o;
        xFactor[1] = (y2 - y0) / o;
        c[1] = (y2 * x0 - y0 * x2) / o;
        yFactor[2] = (x0 - x1) / o;
        xFactor[2] = (y0 - y1) / o;
        c[2] = (y0 * x1 - y1 * x0) / o;
        xFactors = Lanes{xFactor[0], xFactor[0], xFactor[1], xFactor[1], xFactor[2], xFactor[2], 0.0, 0.0};
        constants = Lanes{c[0], c[0], c[1], c[1], c[2], c[2], 0.0, 0.0};
    }

    struct Row {
        double y;
        Lanes yTerms; // y * yFactor, in the lanes of each landmark
    };
    Row row(double y) const {
        return {y, Lanes{y * yFactor[0], y * yFactor[0], y * yFactor[1], y * yFactor[1], y * yFactor[2],
                         y * yFactor[2], 0.0, 0.0}};
    }

    void derivatives(double x, double y, double gx, double gy, double (&d)[6]) const {
        for (int32_t p = 0; p < 3; ++p) {
            const double lambda = (y * yFactor[p] - x * xFactor[p]) + c[p];
            d[2 * p] = gx * lambda;
            d[2 * p + 1] = gy * lambda;
        }
    }
    [[gnu::always_inline]] ALIGNOPT_TARGET_AVX512 void derivativeLanes(double x, const Row& row,
                                                                                  double gx, double gy,
                                                                                  Lanes& d) const {
        const Lanes lambda = (row.yTerms - x * xFactors) + constants;
        d = pairLanes(gx, gy) * lambda;
    }
};

// s plus the chunk's squared residuals (grid minus model), added in pixel
// order: the error-only kernels' sum.
inline double addSquaredResiduals(double s, const PixelChunk& c, const double* grid) {
    const double* row = grid + c.rowStart;
    for (int32_t p = 0; p < c.count; ++p) {
        const double r = row[c.column[p]] - c.value[p];
        s = s + r * r;
    }
    return s;
}

// A chunk's residuals (grid minus model) and terms from the grid gradient at
// each pixel (k, j), for the kernels whose grid carries the gradient.
template <class Terms>
struct GridGradientRule {
    static constexpr int32_t count = Terms::count;
    const Terms& family;
    const PixelChunk& chunk;
    const double* grid; // each from the chunk's row on
    const double* gradientX;
    const double* gradientY;
    typename Terms::Row row;

    GridGradientRule(const Terms& t, const PixelChunk& c, const double* g, const double* gx, const double* gy)
        : family(t), chunk(c), grid(g + c.rowStart), gradientX(gx + c.rowStart), gradientY(gy + c.rowStart),
          row(t.row(static_cast<double>(c.row))) {}

    double terms(int32_t p, double (&d)[count]) const {
        const int32_t k = chunk.column[p];
        family.derivatives(chunk.columnValue[p], row.y, gradientX[k], gradientY[k], d);
        return grid[k] - chunk.value[p];
    }
    [[gnu::always_inline]] ALIGNOPT_TARGET_AVX512 void lanes(int32_t p, Lanes& d, Residual& r) const {
        const int32_t k = chunk.column[p];
        family.derivativeLanes(chunk.columnValue[p], row, gradientX[k], gradientY[k], d);
        r = {grid[k], chunk.value[p]};
    }

    // The columns of a chunk rise, so they follow one another when the last
    // lies count - 1 after the first.
    bool columnsConsecutive() const {
        return chunk.count > 0 && chunk.column[chunk.count - 1] - chunk.column[0] == chunk.count - 1;
    }
    // Pixels p ... p + 7, for families with derivativeColumns.
    [[gnu::always_inline]] ALIGNOPT_TARGET_AVX512 void termColumns(int32_t p,
                                                                              Lanes (&t)[count + 1]) const
        requires requires(const Terms& f, const typename Terms::Row& r, const Lanes& v, Lanes (&d)[count]) {
            f.derivativeColumns(v, r, v, v, d);
        }
    {
        const int32_t k = chunk.column[p];
        Lanes d[count];
        family.derivativeColumns(lanesAt(chunk.columnValue + p), row, lanesAt(gradientX + k), lanesAt(gradientY + k),
                                 d);
        for (int32_t a = 0; a < count; ++a) t[a] = d[a];
        t[count] = lanesAt(grid + k) - lanesAt(chunk.value + p);
    }
};

// Bilinear: residuals are model minus grid, and landmark l moves the image of
// pixel (k, j) with weight c_l, its bilinear basis function, which the model
// slope turns into residual change. `inverse` holds G^-1 column by column:
// column l is (c_l's constant, k, j and kj coefficients).
struct BilinearRule {
    static constexpr int32_t count = 8;
    const PixelChunk& chunk;
    const double* grid; // from the chunk's row on
    const double* inverse;
    double j;
    Lanes constant, kFactor, jkFactor, jTerm; // in the two lanes of each landmark

    BilinearRule(const PixelChunk& c, const double* g, const double* inv)
        : chunk(c), grid(g + c.rowStart), inverse(inv), j(static_cast<double>(c.row)) {
        for (int32_t l = 0; l < 4; ++l)
            for (int32_t lane = 2 * l; lane < 2 * l + 2; ++lane) {
                constant[lane] = inverse[4 * l];
                kFactor[lane] = inverse[4 * l + 1];
                jTerm[lane] = j * inverse[4 * l + 2];
                jkFactor[lane] = inverse[4 * l + 3];
            }
    }

    double terms(int32_t p, double (&d)[8]) const {
        const double k = chunk.columnValue[p];
        const double jk = j * k;
        for (int32_t l = 0; l < 4; ++l) {
            const double* column = inverse + 4 * l;
            const double w = ((k * column[1] + jk * column[3]) + j * column[2]) + column[0];
            d[2 * l] = w * chunk.slopeX[p];
            d[2 * l + 1] = w * chunk.slopeY[p];
        }
        return chunk.value[p] - grid[chunk.column[p]];
    }
    [[gnu::always_inline]] ALIGNOPT_TARGET_AVX512 void lanes(int32_t p, Lanes& d, Residual& r) const {
        const double k = chunk.columnValue[p];
        const double jk = j * k;
        const Lanes w = ((k * kFactor + jk * jkFactor) + jTerm) + constant;
        d = w * pairLanes(chunk.slopeX[p], chunk.slopeY[p]);
        r = {chunk.value[p], grid[chunk.column[p]]};
    }
};

} // namespace alignopt
