#pragma once

// The row and column halves of the prefilter, apart for the benchmarks.

#include <cstdint>

#include "core/image/BSplineFilters.h"

namespace alignopt {

// The two halves of prefilterImage, apart so that the cost of the strided
// column pass can be measured against the row pass.
void prefilterRows(const double* input, double* output, int32_t width, int32_t height, SplineDegree degree);
void prefilterColumns(double* image, int32_t width, int32_t height, SplineDegree degree);
void prefilterRowsAt(ProcessorLevel level, const double* input, double* output, int32_t width, int32_t height,
                     SplineDegree degree);
void prefilterColumnsAt(ProcessorLevel level, double* image, int32_t width, int32_t height, SplineDegree degree);

} // namespace alignopt
