// The mapped points of a group of grid rows and the runs of them inside the
// model, on the plain path and with 512-bit lanes.
#include "core/registration/RowPoints.h"

#include <immintrin.h>

#include "core/sampling/PixelRounding.h"
#include "core/simd/Avx512Lanes.h"

namespace alignopt {

namespace {

// Two rows a vector, so that the sums stay in registers.
void pairedRows(double* points, std::size_t pitch, std::size_t width, const double (&startX)[rowsTogether],
                const double (&startY)[rowsTogether], const double (&stepX)[rowsTogether],
                const double (&stepY)[rowsTogether]) {
    constexpr int32_t pairs = rowsTogether / 2;
    __m128d x[pairs], y[pairs], sx[pairs], sy[pairs];
#pragma GCC unroll 4
    for (int32_t q = 0; q < pairs; ++q) {
        x[q] = _mm_loadu_pd(startX + 2 * q);
        y[q] = _mm_loadu_pd(startY + 2 * q);
        sx[q] = _mm_loadu_pd(stepX + 2 * q);
        sy[q] = _mm_loadu_pd(stepY + 2 * q);
    }
    for (std::size_t k = 0; k < width; ++k) {
#pragma GCC unroll 4
        for (int32_t q = 0; q < pairs; ++q) {
            double* row = points + (4 * static_cast<std::size_t>(q)) * pitch + k;
            _mm_storel_pd(row, x[q]);
            _mm_storel_pd(row + pitch, y[q]);
            _mm_storeh_pd(row + 2 * pitch, x[q]);
            _mm_storeh_pd(row + 3 * pitch, y[q]);
            x[q] = _mm_add_pd(x[q], sx[q]);
            y[q] = _mm_add_pd(y[q], sy[q]);
        }
    }
}

// Eight columns of one coordinate, a vector a column with row r in lane r,
// turned into eight rows of eight columns and stored: row r at out + r * step.
ALIGNOPT_TARGET_AVX512 inline void storeTransposed(const __m512d (&column)[8], double* out, std::size_t step) {
    __m512d row[8];
    transposeEight(column, row);
#pragma GCC unroll 8
    for (int r = 0; r < 8; ++r) _mm512_storeu_pd(out + r * step, row[r]);
}

// All eight rows in the lanes of one vector a coordinate: eight columns at a
// time are worked out, then turned into rows.
ALIGNOPT_TARGET_AVX512 void laneRows(double* points, std::size_t pitch, std::size_t width,
                                                 const double (&startX)[rowsTogether],
                                                 const double (&startY)[rowsTogether],
                                                 const double (&stepX)[rowsTogether],
                                                 const double (&stepY)[rowsTogether]) {
    static_assert(rowsTogether == 8);
    __m512d x = _mm512_loadu_pd(startX);
    __m512d y = _mm512_loadu_pd(startY);
    const __m512d sx = _mm512_loadu_pd(stepX);
    const __m512d sy = _mm512_loadu_pd(stepY);
    std::size_t k = 0;
    for (; k + 8 <= width; k += 8) {
        __m512d columnX[8], columnY[8];
#pragma GCC unroll 8
        for (int c = 0; c < 8; ++c) {
            columnX[c] = x;
            columnY[c] = y;
            x = _mm512_add_pd(x, sx);
            y = _mm512_add_pd(y, sy);
        }
        storeTransposed(columnX, points + k, 2 * pitch);
        storeTransposed(columnY, points + pitch + k, 2 * pitch);
    }
    for (; k < width; ++k) {
        alignas(64) double columnX[8], columnY[8];
        _mm512_store_pd(columnX, x);
        _mm512_store_pd(columnY, y);
        for (int r = 0; r < 8; ++r) {
            points[2 * static_cast<std::size_t>(r) * pitch + k] = columnX[r];
            points[(2 * static_cast<std::size_t>(r) + 1) * pitch + k] = columnY[r];
        }
        x = _mm512_add_pd(x, sx);
        y = _mm512_add_pd(y, sy);
    }
}

// The lanes of eight points that roundsInside accepts, with its comparisons:
// for v >= 0, v + 0.5 < size; below 0, v - 0.5 > -1 (NaN passes neither).
ALIGNOPT_TARGET_AVX512 inline __mmask8 roundInside(const double* v, int32_t size) {
    const __m512d value = _mm512_loadu_pd(v);
    const __mmask8 positive = _mm512_cmp_pd_mask(value, _mm512_setzero_pd(), _CMP_GE_OQ);
    const __mmask8 negative = _mm512_cmp_pd_mask(value, _mm512_setzero_pd(), _CMP_LT_OQ);
    const __mmask8 below = _mm512_mask_cmp_pd_mask(positive, _mm512_add_pd(value, _mm512_set1_pd(0.5)),
                                                   _mm512_set1_pd(static_cast<double>(size)), _CMP_LT_OQ);
    const __mmask8 above = _mm512_mask_cmp_pd_mask(negative, _mm512_sub_pd(value, _mm512_set1_pd(0.5)),
                                                   _mm512_set1_pd(-1.0), _CMP_GT_OQ);
    return static_cast<__mmask8>(below | above);
}

ALIGNOPT_TARGET_AVX512 inline __mmask8 roundInside(const double* px, const double* py, int32_t k,
                                                               int32_t modelWidth, int32_t modelHeight) {
    return static_cast<__mmask8>(roundInside(px + k, modelWidth) & roundInside(py + k, modelHeight));
}

// Eight columns at a time from either end, then column by column where fewer
// than eight are left.
ALIGNOPT_TARGET_AVX512 InsideRun laneRun(const double* px, const double* py, int32_t width,
                                                     int32_t modelWidth, int32_t modelHeight) {
    const auto inside = [&](int32_t k) { return roundsInside(px[k], py[k], modelWidth, modelHeight); };
    int32_t begin = 0;
    for (; begin + 8 <= width; begin += 8) {
        const __mmask8 found = roundInside(px, py, begin, modelWidth, modelHeight);
        if (found != 0) {
            begin += __builtin_ctz(found);
            break;
        }
    }
    if (begin + 8 > width)
        while (begin < width && !inside(begin)) ++begin;
    int32_t end = width;
    for (; end - 8 >= begin; end -= 8) {
        const __mmask8 found = roundInside(px, py, end - 8, modelWidth, modelHeight);
        if (found != 0) {
            end -= __builtin_clz(static_cast<uint32_t>(found)) - 24;
            return {begin, end};
        }
    }
    while (end > begin && !inside(end - 1)) --end;
    return {begin, end};
}

InsideRun plainRun(const double* px, const double* py, int32_t width, int32_t modelWidth, int32_t modelHeight) {
    const auto inside = [&](int32_t k) { return roundsInside(px[k], py[k], modelWidth, modelHeight); };
    int32_t begin = 0;
    while (begin < width && !inside(begin)) ++begin;
    int32_t end = width;
    while (end > begin && !inside(end - 1)) --end;
    return {begin, end};
}

} // namespace

InsideRun insideRunAt(ProcessorLevel level, const double* px, const double* py, int32_t width, int32_t modelWidth,
                      int32_t modelHeight) {
    return level == ProcessorLevel::Avx512 ? laneRun(px, py, width, modelWidth, modelHeight)
                                       : plainRun(px, py, width, modelWidth, modelHeight);
}

void fillRowPointsAt(ProcessorLevel level, double* points, std::size_t pitch, std::size_t width,
                     const double (&startX)[rowsTogether], const double (&startY)[rowsTogether],
                     const double (&stepX)[rowsTogether], const double (&stepY)[rowsTogether]) {
    if (level == ProcessorLevel::Avx512)
        laneRows(points, pitch, width, startX, startY, stepX, stepY);
    else
        pairedRows(points, pitch, width, startX, startY, stepX, stepY);
}

} // namespace alignopt
