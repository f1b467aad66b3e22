// The model spline at a batch of points: one point at a time, four in AVX2
// lanes, or eight in AVX-512 lanes with the taps read in windows.
#include "core/sampling/PointBatch.h"

#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <limits>

#include "core/sampling/MarginModel.h"
#include "core/sampling/PointLanes.h"
#include "core/simd/Avx512Lanes.h"
#include "core/simd/ProcessorLevel.h"

namespace alignopt {

namespace {

using pointLanes::Outputs;

// The reference: one point at a time.
template <bool Slopes>
void scalarPoints(const PointModel& m, const double* x, const double* y, int32_t n, const Outputs<Slopes>& out) {
    for (int32_t i = 0; i < n; ++i) pointLanes::evaluatePoint(m, x[i], y[i], out, i);
}

// The wide paths run whole groups and leave the rest of the points, fewer
// than a group, to the scalar code; they return how many points they did.
// Only these functions are compiled for the wider instruction sets, and only
// called once the processor is known to have them; the shared steps are
// inlined into them. A point's four taps of a row lie side by side, so each
// point's row is one load and a transpose puts tap j of every point in one
// vector: a third less time than gathering the taps (which in turn beat
// reading them lane by lane), on the kernels and the warp alike. The points'
// first taps are 32-bit indices, which wideFits guarantees. The two loops
// are written out per width: GCC will not inline an intrinsic into a shared
// template compiled for the baseline processor.

// The lane masks as intrinsic vectors, for their sign-bit masks.
inline __m128i toM128i(const pointLanes::Index<4>& v) {
    __m128i r;
    __builtin_memcpy(&r, &v, sizeof r);
    return r;
}
ALIGNOPT_TARGET_AVX2 inline __m256i toM256i(const pointLanes::Index<8>& v) {
    __m256i r;
    __builtin_memcpy(&r, &v, sizeof r);
    return r;
}

template <bool Slopes>
ALIGNOPT_TARGET_AVX2 int32_t avx2Points(const PointModel& m, const double* x, const double* y, int32_t n,
                                                   const Outputs<Slopes>& out) {
    constexpr int N = 4;
    int32_t i = 0;
    for (; i + N <= n; i += N) {
        pointLanes::Group<N, Slopes> g;
        pointLanes::locate(m, x + i, y + i, g);
        pointLanes::Real<N> c[4][4];
        int32_t first[N];
        __builtin_memcpy(first, &g.first, sizeof first);
#pragma GCC unroll 4
        for (int k = 0; k < 4; ++k) {
            // One load a point (its taps 3, 2, 1, 0 of row k), then a 4 x 4 transpose.
            const double* row = m.coefficients - static_cast<std::ptrdiff_t>(k) * m.width - 3;
            const __m256d p0 = _mm256_loadu_pd(row + first[0]);
            const __m256d p1 = _mm256_loadu_pd(row + first[1]);
            const __m256d p2 = _mm256_loadu_pd(row + first[2]);
            const __m256d p3 = _mm256_loadu_pd(row + first[3]);
            const __m256d taps31of01 = _mm256_unpacklo_pd(p0, p1);
            const __m256d taps20of01 = _mm256_unpackhi_pd(p0, p1);
            const __m256d taps31of23 = _mm256_unpacklo_pd(p2, p3);
            const __m256d taps20of23 = _mm256_unpackhi_pd(p2, p3);
            c[k][0] = _mm256_permute2f128_pd(taps20of01, taps20of23, 0x31);
            c[k][1] = _mm256_permute2f128_pd(taps31of01, taps31of23, 0x31);
            c[k][2] = _mm256_permute2f128_pd(taps20of01, taps20of23, 0x20);
            c[k][3] = _mm256_permute2f128_pd(taps31of01, taps31of23, 0x20);
        }
        pointLanes::combine(c, g, out.from(i));
        const uint32_t folded = static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(toM128i(g.outside))));
        if (folded) pointLanes::evaluateFolded<N>(m, x + i, y + i, folded, out.from(i));
    }
    return i;
}

// Helpers of the AVX-512 taps (allLanes: see Avx512Lanes.h).

// The four doubles at a and the four at b as one vector.
ALIGNOPT_TARGET_AVX512 inline __m512d pairOfPoints(const double* a, const double* b) {
    return _mm512_mask_insertf64x4(_mm512_castpd256_pd512(_mm256_loadu_pd(a)), allLanes,
                                   _mm512_castpd256_pd512(_mm256_loadu_pd(a)), _mm256_loadu_pd(b), 1);
}

// The low four lanes of a, then those of b; and the high four of each.
ALIGNOPT_TARGET_AVX512 inline __m512d lowHalves(__m512d a, __m512d b) {
    return _mm512_mask_shuffle_f64x2(a, allLanes, a, b, 0x44);
}
ALIGNOPT_TARGET_AVX512 inline __m512d highHalves(__m512d a, __m512d b) {
    return _mm512_mask_shuffle_f64x2(a, allLanes, a, b, 0xEE);
}

// The coefficients the 512-bit path reads its taps from: the model's own, or
// the copy with margins. Offsets from (0, 0) from `lowest` on and below
// `readable` lie in the buffer.
struct TapGrid {
    const double* origin;
    int32_t stride; // from one row to the next
    int64_t lowest;
    int64_t readable;
    bool margins;

    static TapGrid of(const PointModel& m) {
        if (m.withMargins == nullptr)
            return {m.coefficients, m.width, 0, static_cast<int64_t>(m.width) * m.height, false};
        constexpr int32_t margin = MarginModel::margin;
        const int32_t stride = m.width + 2 * margin;
        return {m.withMargins, stride, -(static_cast<int64_t>(margin) * stride + margin),
                static_cast<int64_t>(m.height + margin) * stride - margin, true};
    }
};

// The taps of eight points anywhere: each point's four taps of a row lie side
// by side, tap 3 first, so one load a point and a transpose give tap j of
// every point in one vector (far faster than gathers).
ALIGNOPT_TARGET_AVX512 inline void transposedTaps(const TapGrid& m,
                                                                              const int32_t (&first)[8],
                                                                              pointLanes::Real<8> (&c)[4][4]) {
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
        const double* row = m.origin - static_cast<std::ptrdiff_t>(k) * m.stride - 3;
        const __m512d p01 = pairOfPoints(row + first[0], row + first[1]);
        const __m512d p23 = pairOfPoints(row + first[2], row + first[3]);
        const __m512d p45 = pairOfPoints(row + first[4], row + first[5]);
        const __m512d p67 = pairOfPoints(row + first[6], row + first[7]);
        // Taps 0 and 1 (2 and 3) of four points: point q's tap j sits at
        // 4q + 3 - j of a pair of inputs.
        const __m512i taps01 = _mm512_setr_epi64(3, 7, 11, 15, 2, 6, 10, 14);
        const __m512i taps23 = _mm512_setr_epi64(1, 5, 9, 13, 0, 4, 8, 12);
        const __m512d low01 = _mm512_permutex2var_pd(p01, taps01, p23);
        const __m512d low23 = _mm512_permutex2var_pd(p01, taps23, p23);
        const __m512d high01 = _mm512_permutex2var_pd(p45, taps01, p67);
        const __m512d high23 = _mm512_permutex2var_pd(p45, taps23, p67);
        c[k][0] = lowHalves(low01, high01);
        c[k][1] = highHalves(low01, high01);
        c[k][2] = lowHalves(low23, high23);
        c[k][3] = highHalves(low23, high23);
    }
}

// The most the first taps of a group may lie after the first point's (for
// twoBandTaps, in each band) for nearTaps: then every tap of a row lies in
// sixteen coefficients.
constexpr int32_t nearSpread = 12;

// The taps of eight points whose first taps lie 0 ... nearSpread after the
// first point's, as consecutive pixels of a walk usually do: two loads a row
// and one permute a tap. `spread` holds each point's distance from the first.
ALIGNOPT_TARGET_AVX512 inline void nearTaps(const TapGrid& m, int32_t first0,
                                                                        __m256i spread,
                                                                        pointLanes::Real<8> (&c)[4][4]) {
    const __m512i offset = _mm512_maskz_cvtepi32_epi64(allLanes, spread);
    __m512i tap[4];
#pragma GCC unroll 4
    for (int j = 0; j < 4; ++j) tap[j] = _mm512_add_epi64(offset, _mm512_set1_epi64(3 - j));
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
        // Tap j of point p in row k: first_p - k * stride - j, which is
        // spread_p + 3 - j into a window starting at first0 - k * stride - 3.
        const double* window = m.origin + first0 - static_cast<std::ptrdiff_t>(k) * m.stride - 3;
        const __m512d low = _mm512_loadu_pd(window);
        const __m512d high = _mm512_loadu_pd(window + 8);
#pragma GCC unroll 4
        for (int j = 0; j < 4; ++j) {
            const __m512d taps = _mm512_permutex2var_pd(low, tap[j], high);
            __builtin_memcpy(&c[k][j], &taps, sizeof taps);
        }
    }
}

// The lanes whose first taps lie 0 ... nearSpread after the first point's
// moved by `band`.
ALIGNOPT_TARGET_AVX512 inline __mmask8 nearLanes(__m256i spread, int32_t band) {
    return _mm256_cmple_epu32_mask(_mm256_sub_epi32(spread, _mm256_set1_epi32(band)),
                                   _mm256_set1_epi32(nearSpread));
}

// The taps of eight points that straddle two rows of the model: the points
// whose first taps lie 0 ... nearSpread after the first point's, and those
// that lie so after the first point's moved by `band` (a row down or up).
// Each band reads its own two-load windows; a blend takes each lane from its
// band. Two permutes and a blend a tap, against the transpose's three
// shuffles and a load.
ALIGNOPT_TARGET_AVX512 inline void twoBandTaps(const TapGrid& m, int32_t first0,
                                                                           int32_t band, __m256i spread,
                                                                           __mmask8 inBand,
                                                                           pointLanes::Real<8> (&c)[4][4]) {
    const __m512i offset = _mm512_maskz_cvtepi32_epi64(allLanes, spread);
    const __m512i bandOffset =
        _mm512_maskz_cvtepi32_epi64(allLanes, _mm256_sub_epi32(spread, _mm256_set1_epi32(band)));
    __m512i tap[4], bandTap[4];
#pragma GCC unroll 4
    for (int j = 0; j < 4; ++j) {
        tap[j] = _mm512_add_epi64(offset, _mm512_set1_epi64(3 - j));
        bandTap[j] = _mm512_add_epi64(bandOffset, _mm512_set1_epi64(3 - j));
    }
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
        const double* window = m.origin + first0 - static_cast<std::ptrdiff_t>(k) * m.stride - 3;
        const __m512d low = _mm512_loadu_pd(window);
        const __m512d high = _mm512_loadu_pd(window + 8);
        const __m512d bandLow = _mm512_loadu_pd(window + band);
        const __m512d bandHigh = _mm512_loadu_pd(window + band + 8);
#pragma GCC unroll 4
        for (int j = 0; j < 4; ++j) {
            const __m512d taps = _mm512_mask_blend_pd(inBand, _mm512_permutex2var_pd(low, tap[j], high),
                                                      _mm512_permutex2var_pd(bandLow, bandTap[j], bandHigh));
            __builtin_memcpy(&c[k][j], &taps, sizeof taps);
        }
    }
}

// Base and fraction of eight coordinates, as pointLanes::baseAndFraction.
ALIGNOPT_TARGET_AVX512 inline void baseAndFraction512(const double* v, __m256i& base,
                                                                                  __m512d& fraction) {
    const __m512d value = _mm512_loadu_pd(v);
    const __mmask8 below = _mm512_cmp_pd_mask(value, _mm512_setzero_pd(), _CMP_LT_OQ);
    base = _mm512_mask_cvttpd_epi32(_mm256_setzero_si256(), allLanes, value);
    base = _mm256_mask_sub_epi32(base, below, base, _mm256_set1_epi32(1));
    fraction = _mm512_sub_pd(value, _mm512_mask_cvtepi32_pd(value, allLanes, base));
}

// The lanes whose four taps along an axis of `size` are all inside: those of
// base 1 ... size - 3, which are the coordinates 1 <= v < size - 2.
ALIGNOPT_TARGET_AVX512 inline __mmask8 tapsInside(const double* v, int32_t size) {
    const __m512d value = _mm512_loadu_pd(v);
    return static_cast<__mmask8>(_mm512_cmp_pd_mask(value, _mm512_set1_pd(1.0), _CMP_GE_OQ) &
                                 _mm512_cmp_pd_mask(value, _mm512_set1_pd(static_cast<double>(size) - 2.0),
                                                    _CMP_LT_OQ));
}

// Where the eight points of a group lie in the model: the flat index of each
// point's first tap and the fractions of its coordinates.
struct Located512 {
    __m256i first;
    __m512d fractionX;
    __m512d fractionY;
};

// pointLanes::locate with the instructions of 512-bit lanes, up to the
// weights: conversions a vector at a time and the lane tests in mask
// registers. `folded` gets the lanes to fold; with margins there are none,
// every point given rounding inside the model.
ALIGNOPT_TARGET_AVX512 inline void locate512(const PointModel& m, const TapGrid& taps,
                                                                         const double* x, const double* y,
                                                                         Located512& at, __mmask8& folded) {
    __m256i bx, by;
    baseAndFraction512(x, bx, at.fractionX);
    baseAndFraction512(y, by, at.fractionY);
    folded = 0;
    if (!taps.margins) {
        const __mmask8 inside = tapsInside(x, m.width) & tapsInside(y, m.height);
        const __m256i one = _mm256_set1_epi32(1);
        bx = _mm256_mask_mov_epi32(one, inside, bx);
        by = _mm256_mask_mov_epi32(one, inside, by);
        folded = static_cast<__mmask8>(~inside);
    }
    at.first = _mm256_add_epi32(_mm256_mullo_epi32(_mm256_add_epi32(by, _mm256_set1_epi32(2)),
                                                   _mm256_set1_epi32(taps.stride)),
                                _mm256_add_epi32(bx, _mm256_set1_epi32(2)));
}

template <bool Slopes>
ALIGNOPT_TARGET_AVX512 int32_t avx512Points(const PointModel& m, const double* x,
                                                                         const double* y, int32_t n,
                                                                         const Outputs<Slopes>& out) {
    constexpr int N = 8;
    // A block of groups is located before any of them reads its taps. A
    // group's work is one long chain of dependent steps (coordinates,
    // weights, taps, sums); in two shorter passes the processor overlaps
    // more groups: a sixth less time. The weights are worked out in the
    // second pass, from the fractions: kept from the first, their eight
    // vectors a group were stores that held up the rest (a tenth slower).
    constexpr int block = 16;
    const TapGrid taps = TapGrid::of(m);
    int32_t i = 0;
    while (i + N <= n) {
        const int groups = std::min(block, (n - i) / N);
        Located512 located[block];
        __mmask8 folded[block];
        for (int q = 0; q < groups; ++q) locate512(m, taps, x + i + q * N, y + i + q * N, located[q], folded[q]);
        for (int q = 0; q < groups; ++q, i += N) {
            pointLanes::Group<N, Slopes> g;
            pointLanes::Real<N> fx, fy;
            __builtin_memcpy(&fx, &located[q].fractionX, sizeof fx);
            __builtin_memcpy(&fy, &located[q].fractionY, sizeof fy);
            pointLanes::weigh(fx, fy, g);
            pointLanes::Real<N> c[4][4];
            const __m256i firsts = located[q].first;
            const int32_t first0 = _mm256_cvtsi256_si32(firsts);
            const __m256i spread = _mm256_sub_epi32(firsts, _mm256_set1_epi32(first0));
            // The windows end nearSpread after the first point's first tap (or
            // the next row's), which must still be readable. The windows of the
            // first point's row start inside the buffer: every first tap is at
            // least three rows and three columns in, margins included. Those
            // of the row before start one row earlier, which must be checked:
            // that band may also hold points of the first point's own row, far
            // to its left.
            const __mmask8 inRow = nearLanes(spread, 0);
            const __mmask8 below = nearLanes(spread, taps.stride);
            const __mmask8 above = nearLanes(spread, -taps.stride);
            if (inRow == 0xFF && first0 + nearSpread < taps.readable) {
                nearTaps(taps, first0, spread, c);
            } else if ((inRow | below) == 0xFF && first0 + taps.stride + nearSpread < taps.readable) {
                twoBandTaps(taps, first0, taps.stride, spread, static_cast<__mmask8>(below & ~inRow), c);
            } else if ((inRow | above) == 0xFF && first0 + nearSpread < taps.readable &&
                       first0 - 4 * static_cast<int64_t>(taps.stride) - 3 >= taps.lowest) {
                twoBandTaps(taps, first0, -taps.stride, spread, static_cast<__mmask8>(above & ~inRow), c);
            } else {
                int32_t first[N];
                __builtin_memcpy(first, &firsts, sizeof first);
                transposedTaps(taps, first, c);
            }
            pointLanes::combine(c, g, out.from(i));
            if (folded[q]) pointLanes::evaluateFolded<N>(m, x + i, y + i, folded[q], out.from(i));
        }
    }
    return i;
}

// Models narrower or lower than four have no interior point, and the lanes
// hold the points' first taps as 32-bit indices: models too small for either
// are left to the scalar code.
bool wideFits(const PointModel& m) {
    const int64_t around = m.withMargins != nullptr ? 2 * MarginModel::margin : 0;
    return m.width >= 4 && m.height >= 4 &&
           (m.width + around) * (m.height + around) <= std::numeric_limits<int32_t>::max();
}

template <bool Slopes>
void points(ProcessorLevel level, const PointModel& m, const double* x, const double* y, int32_t n,
            const Outputs<Slopes>& out) {
    int32_t done = 0;
    if (wideFits(m) && level != ProcessorLevel::Baseline) {
        const auto wide = [&](int32_t first, int32_t count) {
            return level == ProcessorLevel::Avx512 ? avx512Points(m, x + first, y + first, count, out.from(first))
                                               : avx2Points(m, x + first, y + first, count, out.from(first));
        };
        const int32_t group = level == ProcessorLevel::Avx512 ? 8 : 4;
        done = wide(0, n);
        // The last few points as one more whole group that overlaps the one
        // before: those points are worked out twice, to the same bits.
        if (done < n && n >= group) done = n - group + wide(n - group, group);
    }
    scalarPoints(m, x + done, y + done, n - done, out.from(done));
}

} // namespace

void batchValuesAt(ProcessorLevel level, const PointModel& model, const double* x, const double* y, int32_t n,
                   double* out) {
    points(level, model, x, y, n, Outputs<false>{out, nullptr, nullptr});
}

void batchValuesAndSlopesAt(ProcessorLevel level, const PointModel& model, const double* x, const double* y, int32_t n,
                            double* value, double* dx, double* dy) {
    points(level, model, x, y, n, Outputs<true>{value, dx, dy});
}

} // namespace alignopt
