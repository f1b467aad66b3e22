#include "core/registration/PointBatch.h"

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

// Only these two functions are compiled for the wider instruction sets, and
// only called once the processor is known to have them; the shared group loop
// is inlined into each.
template <bool Slopes>
__attribute__((target("avx2"))) int32_t avx2Points(const PointModel& m, const double* x, const double* y, int32_t n,
                                                   const Outputs<Slopes>& out) {
    return pointLanes::evaluateGroups<4>(m, x, y, n, out);
}

template <bool Slopes>
__attribute__((target("avx512f,avx512dq,avx512vl"))) int32_t avx512Points(const PointModel& m, const double* x,
                                                                         const double* y, int32_t n,
                                                                         const Outputs<Slopes>& out) {
    return pointLanes::evaluateGroups<8>(m, x, y, n, out);
}

BatchLevel detectLevel() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
        __builtin_cpu_supports("avx512vl"))
        return BatchLevel::Avx512;
    if (__builtin_cpu_supports("avx2")) return BatchLevel::Avx2;
    return BatchLevel::Scalar;
}

// Models narrower or lower than four have no interior point, and the lanes
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
