#pragma once

// The model spline at many general points at once, for the pixel loops of the
// kernels and the warp. Each point is evaluated with exactly the operations of
// pointEvaluation::value (or valueAndSlopes) in their order, whichever path
// runs: the wide paths put one point in each lane, so every lane computes the
// scalar bits. The widest path the processor supports is chosen once at run
// time; the library itself is built for any x86-64.

#include <cstdint>

#include "core/simd/ProcessorLevel.h"

namespace alignopt {

// The model: coefficients of a width x height spline, row by row, and
// optionally the same with mirrored margins (MarginModel), given by its
// coefficient (0, 0): the widest path then reads every tap unfolded.
struct PointModel {
    const double* coefficients;
    int32_t width;
    int32_t height;
    const double* withMargins = nullptr;
};

// Model values at the n points (x[i], y[i]), each of which must be inside
// (nearestPixelInside holds), written to out[i]. `level` is the pass's,
// which the processor must run: one point at a time at the baseline, four in
// AVX2 lanes, eight in AVX-512 lanes.
void batchValuesAt(ProcessorLevel level, const PointModel& model, const double* x, const double* y, int32_t n,
                   double* out);

// The same with value, x slope and y slope, as valueAndSlopes.
void batchValuesAndSlopesAt(ProcessorLevel level, const PointModel& model, const double* x, const double* y, int32_t n,
                            double* value, double* dx, double* dy);

} // namespace alignopt
