#pragma once

// The Gauss-Newton sums of a chunk of pixels whose terms a family's rule
// works out as the sums go, with no array of terms in between. A rule has
//   static constexpr int32_t count;                 // N, the number of terms
//   double terms(int32_t p, double (&d)[N]) const;  // pixel p's terms; returns its residual
//   void lanes(int32_t p, Lanes& t, Residual& r) const;
// where lanes() puts the same terms in lanes 0 ... N-1 of t, each lane
// computed with exactly the operations of terms() (lanes from N on may hold
// anything), and gives the residual as the two operands of its subtraction.
// With 512-bit vectors the sums take the terms from the lanes; elsewhere
// pixel by pixel from terms(). Either way every sum adds the pixels'
// products in pixel order, the bits of GaussNewtonSums::add.

#include <immintrin.h>

#include <array>
#include <concepts>
#include <cstdint>
#include <utility>

#include "core/registration/GaussNewtonSums.h"
#include "core/simd/Avx512Lanes.h"
#include "core/simd/ProcessorLevel.h"

namespace alignopt {

using Lanes = double __attribute__((vector_size(8 * sizeof(double))));

// A residual as the operands of its subtraction, from - minus: the sums
// subtract them in the residual's lane, from broadcasts, where a residual
// worked out first would need a permute to reach its lane.
struct Residual {
    double from;
    double minus;
};

// Where the lane sums keep the products of a pixel's terms. The terms and
// the residual (when there is a lane for it) make the M values e[0 ... M-1]
// of one vector; every product of two of them is e[i] * e[(i + k) % M] for a
// distance k = 0 ... M/2, so vector k multiplies e by e turned k lanes and
// holds that product in lane i. M/2 + 1 vectors thus hold every product,
// against one vector per row of the triangle, and each costs one turn.
// (With an even M, the products at distance M/2 are each held twice.)
template <int32_t N>
struct LaneProducts {
    static constexpr bool residualInLanes = N < 8;
    static constexpr int32_t values = residualInLanes ? N + 1 : N; // M
    static constexpr int32_t vectors = values / 2 + 1;

    struct Slot {
        int32_t vector;
        int32_t lane;
    };
    // The slot of e[a] * e[b].
    static constexpr Slot slot(int32_t a, int32_t b) {
        if (a > b) return slot(b, a);
        const int32_t k = b - a;
        return k <= values / 2 ? Slot{k, a} : Slot{values - k, b};
    }
    // The lane turns: lane i of turn k takes e[(i + k) % M].
    static constexpr auto turns = [] {
        std::array<std::array<int64_t, 8>, vectors> t{};
        for (int32_t k = 0; k < vectors; ++k)
            for (int32_t i = 0; i < 8; ++i) t[k][i] = i < values ? (i + k) % values : i;
        return t;
    }();
};

// Rules whose terms also come eight pixels at a time, one term to a vector
// (pixel p + i in lane i), each lane computed with the operations of
// terms(); the residual is the last vector. Only for pixels whose columns
// follow one another, which runs give and masked walks may not.
template <class Rule>
concept TermColumns = requires(const Rule& rule, int32_t p, Lanes (&t)[Rule::count + 1]) {
    { rule.columnsConsecutive() } -> std::convertible_to<bool>;
    rule.termColumns(p, t);
};

// Three terms and the residual fill half a vector, so two pixels share one:
// pixel 2j of a group of eight in lanes 0-3, pixel 2j + 1 in lanes 4-7. A
// product vector then serves both pixels, and the terms take a handful of
// operations for eight pixels before a transpose, against as many for each
// pixel alone. The sums keep products k = 0 and 1 in one vector and k = 2
// in the low half of another, and add the lower pixel's products first, so
// every lane still adds in pixel order. Returns the pixels done, a multiple
// of eight.
template <class Rule>
ALIGNOPT_TARGET_AVX512 inline int32_t addPixelPairs(__m512d (&products)[3], const Rule& rule,
                                                                int32_t count) {
    // Lane i of a half takes e[(i + k) % 4] of its own half.
    constexpr int turnOne = 1 | 2 << 2 | 3 << 4 | 0 << 6;
    constexpr int turnTwo = 2 | 3 << 2 | 0 << 4 | 1 << 6;
    __m512d nearSums = _mm512_mask_shuffle_f64x2(products[0], allLanes, products[0], products[1], 0x44);
    __m512d farSums = products[2];
    // The pairs of the next group are formed before the current group's are
    // added, as addChunkLanes does for single pixels.
    const auto pairsOf = [&](int32_t p, __m512d (&pair)[4]) ALIGNOPT_TARGET_AVX512 __attribute__((always_inline)) {
        Lanes t[4];
        rule.termColumns(p, t);
        __m512d term[4];
        __builtin_memcpy(term, t, sizeof term);
        // (a, b) of pixels 0, 2, 4, 6 and of 1, 3, 5, 7 in each pair of lanes;
        // then the quarters regrouped into pixel pairs.
        const __m512d ab0 = _mm512_mask_unpacklo_pd(term[0], allLanes, term[0], term[1]);
        const __m512d ab1 = _mm512_mask_unpackhi_pd(term[0], allLanes, term[0], term[1]);
        const __m512d cd0 = _mm512_mask_unpacklo_pd(term[2], allLanes, term[2], term[3]);
        const __m512d cd1 = _mm512_mask_unpackhi_pd(term[2], allLanes, term[2], term[3]);
        const __m512d low0 = _mm512_mask_shuffle_f64x2(ab0, allLanes, ab0, cd0, 0x44);
        const __m512d low1 = _mm512_mask_shuffle_f64x2(ab1, allLanes, ab1, cd1, 0x44);
        const __m512d high0 = _mm512_mask_shuffle_f64x2(ab0, allLanes, ab0, cd0, 0xEE);
        const __m512d high1 = _mm512_mask_shuffle_f64x2(ab1, allLanes, ab1, cd1, 0xEE);
        pair[0] = _mm512_mask_shuffle_f64x2(low0, allLanes, low0, low1, 0x88);
        pair[1] = _mm512_mask_shuffle_f64x2(low0, allLanes, low0, low1, 0xDD);
        pair[2] = _mm512_mask_shuffle_f64x2(high0, allLanes, high0, high1, 0x88);
        pair[3] = _mm512_mask_shuffle_f64x2(high0, allLanes, high0, high1, 0xDD);
    };
    const auto add = [&](const __m512d& e) ALIGNOPT_TARGET_AVX512 __attribute__((always_inline)) {
        const __m512d same = _mm512_mul_pd(e, e);
        const __m512d one = _mm512_mul_pd(e, _mm512_mask_permutex_pd(e, allLanes, e, turnOne));
        const __m512d two = _mm512_mul_pd(e, _mm512_mask_permutex_pd(e, allLanes, e, turnTwo));
        nearSums = _mm512_add_pd(nearSums, _mm512_mask_shuffle_f64x2(same, allLanes, same, one, 0x44));
        nearSums = _mm512_add_pd(nearSums, _mm512_mask_shuffle_f64x2(same, allLanes, same, one, 0xEE));
        farSums = _mm512_add_pd(farSums, two);
        farSums = _mm512_add_pd(farSums, _mm512_mask_shuffle_f64x2(two, allLanes, two, two, 0xEE));
    };
    int32_t p = 0;
    if (count >= 8) {
        __m512d now[4];
        pairsOf(0, now);
        for (p = 8; p + 8 <= count; p += 8) {
            __m512d next[4];
            pairsOf(p, next);
#pragma GCC unroll 4
            for (int32_t j = 0; j < 4; ++j) add(now[j]);
#pragma GCC unroll 4
            for (int32_t j = 0; j < 4; ++j) now[j] = next[j];
        }
#pragma GCC unroll 4
        for (int32_t j = 0; j < 4; ++j) add(now[j]);
    }
    products[0] = _mm512_mask_shuffle_f64x2(products[0], allLanes, nearSums, products[0], 0xE4);
    products[1] = _mm512_mask_shuffle_f64x2(products[1], allLanes, nearSums, products[1], 0xEE);
    products[2] = farSums;
    return p;
}

// Up to eight vectors turned: lane i of vector j goes to lane j of vector i
// (the vectors past `count` count as zeros).
template <int32_t count>
[[gnu::always_inline]] ALIGNOPT_TARGET_AVX512 inline void transposeEight(const Lanes (&in)[count],
                                                                       __m512d (&out)[8]) {
    static_assert(count <= 8);
    __m512d v[8];
#pragma GCC unroll 8
    for (int32_t j = 0; j < count; ++j) __builtin_memcpy(&v[j], &in[j], sizeof v[j]);
#pragma GCC unroll 8
    for (int32_t j = count; j < 8; ++j) v[j] = _mm512_setzero_pd();
    transposeEight(v, out);
}

template <int32_t N, class Rule>
ALIGNOPT_TARGET_AVX512 void addChunkLanes(GaussNewtonSums<N>& sums, const Rule& rule, int32_t count) {
    // Each lane adds its own products in pixel order; lanes past the values
    // are worked and dropped. The sums stay in registers for the whole chunk.
    using Layout = LaneProducts<N>;
    using Sums = GaussNewtonSums<N>;
    constexpr int32_t K = Layout::vectors;
    constexpr __mmask8 residualLane = Layout::residualInLanes ? static_cast<__mmask8>(1u << N) : 0;

    // e[N] is the residual: its products are the gradient (with e[a]) and the
    // sum of squares (with itself).
    const auto sumOf = [&](int32_t a, int32_t b) {
        if (a > b) std::swap(a, b);
        if (b < N) return sums.h[Sums::at(a, b)];
        return a < N ? sums.g[a] : sums.s;
    };
    alignas(64) double lanes[K][8] = {};
    for (int32_t k = 0; k < K; ++k)
        for (int32_t i = 0; i < Layout::values; ++i) lanes[k][i] = sumOf(i, static_cast<int32_t>(Layout::turns[k][i]));
    alignas(64) double gradientRow[8] = {};
    if constexpr (!Layout::residualInLanes)
        for (int32_t a = 0; a < N; ++a) gradientRow[a] = sums.g[a];

    __m512d products[K];
    __m512i turn[K];
    for (int32_t k = 0; k < K; ++k) {
        products[k] = _mm512_load_pd(lanes[k]);
        turn[k] = _mm512_loadu_si512(Layout::turns[k].data());
    }
    __m512d g = _mm512_load_pd(gradientRow); // only when the residual has no lane
    double s = sums.s;

    struct PixelTerms {
        __m512d e;
        double residual; // only when it has no lane
    };
    const auto termsOf = [&](int32_t p) ALIGNOPT_TARGET_AVX512 __attribute__((always_inline)) {
        Lanes t;
        Residual r;
        rule.lanes(p, t, r);
        PixelTerms terms;
        __builtin_memcpy(&terms.e, &t, sizeof terms.e);
        if constexpr (Layout::residualInLanes) {
            terms.e = _mm512_mask_sub_pd(terms.e, residualLane, _mm512_set1_pd(r.from), _mm512_set1_pd(r.minus));
            terms.residual = 0.0;
        } else {
            terms.residual = r.from - r.minus;
        }
        return terms;
    };
    const auto add = [&](const PixelTerms& terms) ALIGNOPT_TARGET_AVX512 __attribute__((always_inline)) {
        const __m512d e = terms.e;
        if constexpr (!Layout::residualInLanes) {
            g = _mm512_add_pd(g, _mm512_mul_pd(e, _mm512_set1_pd(terms.residual)));
            s = s + terms.residual * terms.residual;
        }
        products[0] = _mm512_add_pd(products[0], _mm512_mul_pd(e, e));
#pragma GCC unroll 8
        for (int32_t k = 1; k < K; ++k) {
            const __m512d turned = _mm512_mask_permutexvar_pd(e, allLanes, turn[k], e);
            products[k] = _mm512_add_pd(products[k], _mm512_mul_pd(e, turned));
        }
    };

    // A pixel's terms are a long chain of dependent steps (loads, products,
    // the residual's subtraction) and its sums one addition each. Run in
    // that order, pixel after pixel, the processor's queues fill with steps
    // that wait and it overlaps few pixels. So the terms of the next few
    // pixels are worked out before the sums of the current ones, whose terms
    // are then ready: a sixth to a fifth less time. The sums still add the
    // pixels in order.
    int32_t p = 0;
    if constexpr (Layout::values == 4 && TermColumns<Rule>) {
        if (rule.columnsConsecutive()) p = addPixelPairs(products, rule, count);
    } else if constexpr (Layout::residualInLanes && TermColumns<Rule>) {
        // Terms worked out eight pixels at a time, one term to a vector, then
        // turned into one vector a pixel: for families whose terms take many
        // operations each (scaled rotation), against working each pixel's
        // one by one. The next group's are turned before the current one's
        // are added, as below.
        if (rule.columnsConsecutive() && count >= 8) {
            const auto columnsOf = [&](int32_t q, __m512d (&e)[8]) ALIGNOPT_TARGET_AVX512 __attribute__((always_inline)) {
                Lanes t[N + 1];
                rule.termColumns(q, t);
                transposeEight(t, e);
            };
            __m512d now[8];
            columnsOf(0, now);
            for (p = 8; p + 8 <= count; p += 8) {
                __m512d next[8];
                columnsOf(p, next);
#pragma GCC unroll 8
                for (int32_t j = 0; j < 8; ++j) add(PixelTerms{now[j], 0.0});
#pragma GCC unroll 8
                for (int32_t j = 0; j < 8; ++j) now[j] = next[j];
            }
#pragma GCC unroll 8
            for (int32_t j = 0; j < 8; ++j) add(PixelTerms{now[j], 0.0});
        }
    }
    constexpr int32_t ahead = 4;
    if (count - p >= 2 * ahead) {
        PixelTerms now[ahead];
        PixelTerms next[ahead];
#pragma GCC unroll 4
        for (int32_t q = 0; q < ahead; ++q) now[q] = termsOf(p + q);
        for (; p + 2 * ahead <= count; p += ahead) {
#pragma GCC unroll 4
            for (int32_t q = 0; q < ahead; ++q) next[q] = termsOf(p + ahead + q);
#pragma GCC unroll 4
            for (int32_t q = 0; q < ahead; ++q) add(now[q]);
#pragma GCC unroll 4
            for (int32_t q = 0; q < ahead; ++q) now[q] = next[q];
        }
#pragma GCC unroll 4
        for (int32_t q = 0; q < ahead; ++q) add(now[q]);
        p += ahead;
    }
    for (; p < count; ++p) add(termsOf(p));

    for (int32_t k = 0; k < K; ++k) _mm512_store_pd(lanes[k], products[k]);
    const auto at = [&](int32_t a, int32_t b) {
        const auto where = Layout::slot(a, b);
        return lanes[where.vector][where.lane];
    };
    for (std::size_t p = 0; p < Sums::packed; ++p) sums.h[p] = at(Sums::pairs[p][0], Sums::pairs[p][1]);
    if constexpr (Layout::residualInLanes) {
        for (int32_t a = 0; a < N; ++a) sums.g[a] = at(a, N);
        sums.s = at(N, N);
    } else {
        _mm512_store_pd(gradientRow, g);
        for (int32_t a = 0; a < N; ++a) sums.g[a] = gradientRow[a];
        sums.s = s;
    }
}

// The chunk's pixels 0 ... count-1 added to `sums` at `level`, which the
// processor must run: from the lanes at ProcessorLevel::Avx512, pixel by
// pixel at every other level. The kernels pass the level of their pass.
template <class Rule>
void addChunkAt(ProcessorLevel level, GaussNewtonSums<Rule::count>& sums, const Rule& rule, int32_t count) {
    if (level == ProcessorLevel::Avx512) {
        addChunkLanes(sums, rule, count);
        return;
    }
    for (int32_t p = 0; p < count; ++p) {
        double d[Rule::count];
        const double r = rule.terms(p, d);
        sums.add(d, r);
    }
}

} // namespace alignopt
