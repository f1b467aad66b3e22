#include "core/registration/GaussNewtonSums.h"

#include <immintrin.h>

#include <cstddef>

namespace alignopt {

namespace {

// Eight lanes a row: row a of the triangle holds h(a, b) in lane b, and the
// gradient g[a] sits in lane a of its own row, with the sum of squares in
// lane N when there is room (its term there is the residual itself). Each
// lane adds its own products in pixel order, so it computes exactly the
// scalar sums; lanes below the diagonal or past the sums are worked and
// dropped. The rows stay in registers for the whole block. Only this is
// compiled for 512-bit vectors, and only called once the processor is known
// to have them.
template <int32_t N>
__attribute__((target("avx512f"))) void addAllLanes(GaussNewtonSums<N>& sums, const double (*d)[N],
                                                    const double* r, int32_t count) {
    constexpr __mmask8 used = static_cast<__mmask8>((1u << N) - 1u);
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
    for (int32_t p = 0; p < count; ++p) {
        const __m512d residual = _mm512_set1_pd(r[p]);
        const __m512d terms = _mm512_maskz_loadu_pd(used, d[p]);
        g = _mm512_add_pd(g, _mm512_mul_pd(_mm512_mask_mov_pd(terms, squareLane, residual), residual));
        if constexpr (!squaresInLanes) s = s + r[p] * r[p];
#pragma GCC unroll 8
        for (int32_t a = 0; a < N; ++a) h[a] = _mm512_add_pd(h[a], _mm512_mul_pd(_mm512_set1_pd(d[p][a]), terms));
    }
    _mm512_store_pd(gradientRow, g);
    for (int32_t a = 0; a < N; ++a) sums.g[a] = gradientRow[a];
    sums.s = squaresInLanes ? gradientRow[N % 8] : s;
    for (int32_t a = 0; a < N; ++a) _mm512_store_pd(row[a], h[a]);
    for (std::size_t p = 0; p < Sums::packed; ++p) sums.h[p] = row[Sums::pairs[p][0]][Sums::pairs[p][1]];
}

} // namespace

template <int32_t N>
bool addAllWide(BatchLevel level, GaussNewtonSums<N>& sums, const double (*d)[N], const double* r, int32_t count) {
    static_assert(hasWideSums<N>);
    if (level != BatchLevel::Avx512) return false;
    addAllLanes<N>(sums, d, r, count);
    return true;
}

template bool addAllWide<3>(BatchLevel, GaussNewtonSums<3>&, const double (*)[3], const double*, int32_t);
template bool addAllWide<4>(BatchLevel, GaussNewtonSums<4>&, const double (*)[4], const double*, int32_t);
template bool addAllWide<6>(BatchLevel, GaussNewtonSums<6>&, const double (*)[6], const double*, int32_t);
template bool addAllWide<8>(BatchLevel, GaussNewtonSums<8>&, const double (*)[8], const double*, int32_t);

} // namespace alignopt
