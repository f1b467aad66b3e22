#include "core/registration/PointBatch.h"

#include <immintrin.h>

#include <cstdint>
#include <limits>

#include "core/registration/PointBatchLanes.h"

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
// inlined into them. The taps are gathered with 32-bit indices, which
// wideFits guarantees. (The masked forms with every lane set only spell out
// the start value the plain forms leave undefined.) The two loops are written
// out per width: GCC will not inline an intrinsic into a shared template
// compiled for the baseline processor. Reading the taps lane by lane instead,
// which a shared template could do, made the rigid-body kernel and the affine
// warp a third slower at 512 and 2048 pixels.

template <bool Slopes>
__attribute__((target("avx2"))) int32_t avx2Points(const PointModel& m, const double* x, const double* y, int32_t n,
                                                   const Outputs<Slopes>& out) {
    constexpr int N = 4;
    int32_t i = 0;
    for (; i + N <= n; i += N) {
        pointLanes::Group<N, Slopes> g;
        pointLanes::locate(m, x + i, y + i, g);
        pointLanes::Real<N> c[4][4];
#pragma GCC unroll 4
        for (int k = 0; k < 4; ++k)
#pragma GCC unroll 4
            for (int j = 0; j < 4; ++j) {
                const pointLanes::Index<N> at = g.first - pointLanes::tapOffset(m, k, j);
                c[k][j] = _mm256_mask_i32gather_pd(_mm256_setzero_pd(), m.coefficients, reinterpret_cast<const __m128i&>(at),
                                                   _mm256_castsi256_pd(_mm256_set1_epi64x(-1)), 8);
            }
        pointLanes::combine(c, g, out.from(i));
        if (g.folded) pointLanes::evaluateFolded<N>(m, x + i, y + i, g.folded, out.from(i));
    }
    return i;
}

template <bool Slopes>
__attribute__((target("avx512f,avx512dq,avx512vl"))) int32_t avx512Points(const PointModel& m, const double* x,
                                                                         const double* y, int32_t n,
                                                                         const Outputs<Slopes>& out) {
    constexpr int N = 8;
    int32_t i = 0;
    for (; i + N <= n; i += N) {
        pointLanes::Group<N, Slopes> g;
        pointLanes::locate(m, x + i, y + i, g);
        pointLanes::Real<N> c[4][4];
#pragma GCC unroll 4
        for (int k = 0; k < 4; ++k)
#pragma GCC unroll 4
            for (int j = 0; j < 4; ++j) {
                const pointLanes::Index<N> at = g.first - pointLanes::tapOffset(m, k, j);
                c[k][j] = _mm512_mask_i32gather_pd(_mm512_setzero_pd(), 0xff, reinterpret_cast<const __m256i&>(at),
                                                   m.coefficients, 8);
            }
        pointLanes::combine(c, g, out.from(i));
        if (g.folded) pointLanes::evaluateFolded<N>(m, x + i, y + i, g.folded, out.from(i));
    }
    return i;
}

BatchLevel detectLevel() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512vl"))
        return BatchLevel::Avx512;
    if (__builtin_cpu_supports("avx2")) return BatchLevel::Avx2;
    return BatchLevel::Scalar;
}

// Models narrower or lower than four have no interior point, and the gathers
// index with 32 bits: both are left to the scalar code.
bool wideFits(const PointModel& m) {
    return m.width >= 4 && m.height >= 4 &&
           static_cast<int64_t>(m.width) * m.height <= std::numeric_limits<int32_t>::max();
}

template <bool Slopes>
void points(BatchLevel level, const PointModel& m, const double* x, const double* y, int32_t n,
            const Outputs<Slopes>& out) {
    int32_t done = 0;
    if (wideFits(m)) {
        if (level == BatchLevel::Avx512) done = avx512Points(m, x, y, n, out);
        else if (level == BatchLevel::Avx2) done = avx2Points(m, x, y, n, out);
    }
    scalarPoints(m, x + done, y + done, n - done, out.from(done));
}

} // namespace

BatchLevel supportedBatchLevel() {
    static const BatchLevel level = detectLevel();
    return level;
}

void batchValues(const PointModel& model, const double* x, const double* y, int32_t n, double* out) {
    batchValuesAt(supportedBatchLevel(), model, x, y, n, out);
}

void batchValuesAndSlopes(const PointModel& model, const double* x, const double* y, int32_t n, double* value,
                          double* dx, double* dy) {
    batchValuesAndSlopesAt(supportedBatchLevel(), model, x, y, n, value, dx, dy);
}

void batchValuesAt(BatchLevel level, const PointModel& model, const double* x, const double* y, int32_t n,
                   double* out) {
    points(level, model, x, y, n, Outputs<false>{out, nullptr, nullptr});
}

void batchValuesAndSlopesAt(BatchLevel level, const PointModel& model, const double* x, const double* y, int32_t n,
                            double* value, double* dx, double* dy) {
    points(level, model, x, y, n, Outputs<true>{value, dx, dy});
}

} // namespace alignopt
