#pragma once

// The Gauss-Newton sums of a chunk of pixels whose terms a family's rule
// works out as the sums go, with no array of terms in between. A rule has
//   static constexpr int32_t count;                 // N, the number of terms
//   double terms(int32_t p, double (&d)[N]) const;  // pixel p's terms; returns its residual
//   void lanes(int32_t p, Lanes& t, double& r) const;
// where lanes() puts the same terms in lanes 0 ... N-1 of t, each lane
// computed with exactly the operations of terms() (lanes from N on may hold
// anything). With 512-bit vectors the sums take the terms from the lanes;
// elsewhere pixel by pixel from terms(). Either way every sum adds the
// pixels' products in pixel order, the bits of GaussNewtonSums::add.

#include <immintrin.h>

#include <cstdint>

#include "core/registration/GaussNewtonSums.h"
#include "core/registration/PointBatch.h"

namespace alignopt {

using Lanes = double __attribute__((vector_size(8 * sizeof(double))));

template <int32_t N, class Rule>
__attribute__((target("avx512f"))) void addChunkLanes(GaussNewtonSums<N>& sums, const Rule& rule, int32_t count) {
    // Row a of the triangle in the lanes of one vector, h(a, b) in lane b; the
    // gradient in its own vector, g[a] in lane a, with the sum of squares in
    // lane N when there is room (its term there is the residual itself). Each
    // lane adds its own products in pixel order; lanes below the diagonal or
    // past the sums are worked and dropped. The rows stay in registers for
    // the whole chunk.
    constexpr bool squaresInLanes = N < 8;
    constexpr __mmask8 squareLane = squaresInLanes ? static_cast<__mmask8>(1u << N) : 0;
    using Sums = GaussNewtonSums<N>;
    alignas(64) double row[N][8] = {};
    for (std::size_t p = 0; p < Sums::packed; ++p) row[Sums::pairs[p][0]][Sums::pairs[p][1]] = sums.h[p];
    __m512d h[N];
    for (int32_t a = 0; a < N; ++a) h[a] = _mm512_load_pd(row[a]);
    alignas(64) double gradientRow[8] = {};
    for (int32_t a = 0; a < N; ++a) gradientRow[a] = sums.g[a];
    if constexpr (squaresInLanes) gradientRow[N % 8] = sums.s;
    __m512d g = _mm512_load_pd(gradientRow);
    double s = sums.s;
    alignas(64) double d[8];
    // Two pixels an iteration: the loop's own steps then weigh less against
    // the sums (a few per cent on every family).
#pragma GCC unroll 2
    for (int32_t p = 0; p < count; ++p) {
        Lanes t;
        double r;
        rule.lanes(p, t, r);
        __m512d terms;
        __builtin_memcpy(&terms, &t, sizeof terms);
        const __m512d residual = _mm512_set1_pd(r);
        g = _mm512_add_pd(g, _mm512_mul_pd(_mm512_mask_mov_pd(terms, squareLane, residual), residual));
        if constexpr (!squaresInLanes) s = s + r * r;
        _mm512_store_pd(d, terms);
#pragma GCC unroll 8
        for (int32_t a = 0; a < N; ++a) h[a] = _mm512_add_pd(h[a], _mm512_mul_pd(_mm512_set1_pd(d[a]), terms));
    }
    _mm512_store_pd(gradientRow, g);
    for (int32_t a = 0; a < N; ++a) sums.g[a] = gradientRow[a];
    sums.s = squaresInLanes ? gradientRow[N % 8] : s;
    for (int32_t a = 0; a < N; ++a) _mm512_store_pd(row[a], h[a]);
    for (std::size_t p = 0; p < Sums::packed; ++p) sums.h[p] = row[Sums::pairs[p][0]][Sums::pairs[p][1]];
}

// The chunk's pixels 0 ... count-1 added to `sums` on the given path (for the
// tests; the processor must have it).
template <class Rule>
void addChunkAt(BatchLevel level, GaussNewtonSums<Rule::count>& sums, const Rule& rule, int32_t count) {
    if (level == BatchLevel::Avx512) {
        addChunkLanes(sums, rule, count);
        return;
    }
    for (int32_t p = 0; p < count; ++p) {
        double d[Rule::count];
        const double r = rule.terms(p, d);
        sums.add(d, r);
    }
}

template <class Rule>
void addChunk(GaussNewtonSums<Rule::count>& sums, const Rule& rule, int32_t count) {
    addChunkAt(supportedBatchLevel(), sums, rule, count);
}

} // namespace alignopt
