#pragma once

// Halving of spline images for the pyramids.

#include <cstdint>
#include <span>

#include "core/image/ImageBuffer.h"
#include "core/simd/ProcessorLevel.h"

namespace alignopt {

// Least-squares halving of a cubic spline held as its dual (degree-7 sampled)
// image: a binomial filter-and-subsample with the mirror rule at the ends.
void reduceLine(std::span<const double> input, std::span<double> output);
// Returns floor(width/2) x floor(height/2) values, rows first, each pass rounded to single precision.
ImageBuffer reduceImage(const double* input, int32_t width, int32_t height);
// The same on a chosen level, which the processor must support; for the tests.
ImageBuffer reduceImageAt(ProcessorLevel level, const double* input, int32_t width, int32_t height);
// reduceImage of the degree-7 sampling (sampleImage) of cubic coefficients,
// the same bits, without the full dual image held whole.
ImageBuffer reducedDual(const double* coefficients, int32_t width, int32_t height);
ImageBuffer reducedDualAt(ProcessorLevel level, const double* coefficients, int32_t width, int32_t height);
void dualFromSamples(const double* samples, double* dual, int32_t width, int32_t height);
void samplesFromDual(const double* dual, double* samples, int32_t width, int32_t height);

} // namespace alignopt
