#pragma once

// The B-spline filters: prefilter, sampling and gradients, for one line and for
// whole images, each image pass a thin wrapper over its per-level twin.

#include <cstdint>
#include <span>

#include "core/simd/ProcessorLevel.h"

namespace alignopt {

// Cubic (3) or degree-7 B-splines; no other degree is used.
enum class SplineDegree : int32_t { Cubic = 3, Septic = 7 };

// Line operations; never round. Lines have at least one sample.
void prefilterLine(std::span<double> line, SplineDegree degree);
double initialCausalCoefficient(std::span<const double> line, double z);
void sampleLine(std::span<const double> halfKernel, std::span<const double> input, std::span<double> output);
void differentiateLine(std::span<double> line);

// The degree's sampling half kernel (2 values for cubic, 4 for degree 7).
std::span<const double> samplingKernel(SplineDegree degree);

// Separable image operations on width x height row-major images, rows first,
// then columns; every value written is rounded to single precision.
void prefilterImage(const double* input, double* output, int32_t width, int32_t height, SplineDegree degree);
// `output` may alias `input`.
void sampleImage(const double* input, double* output, int32_t width, int32_t height, SplineDegree degree);
void gradientsFromCoefficients(const double* coefficients, double* gradientX, double* gradientY,
                               int32_t width, int32_t height);
void gradientsFromSamples(const double* samples, double* gradientX, double* gradientY,
                          int32_t width, int32_t height);
// prefilterImage (cubic) of the samples into `coefficients` and
// gradientsFromSamples at once: both begin with the same prefilter of the
// rows, which runs once. `coefficients` must not be `samples`.
void coefficientsAndGradientsFromSamples(const double* samples, double* coefficients, double* gradientX,
                                         double* gradientY, int32_t width, int32_t height);

// The same on a chosen level, which the processor must support; for the tests.
void prefilterImageAt(ProcessorLevel level, const double* input, double* output, int32_t width, int32_t height,
                      SplineDegree degree);
void sampleImageAt(ProcessorLevel level, const double* input, double* output, int32_t width, int32_t height,
                   SplineDegree degree);
void gradientsFromCoefficientsAt(ProcessorLevel level, const double* coefficients, double* gradientX, double* gradientY,
                                 int32_t width, int32_t height);
void gradientsFromSamplesAt(ProcessorLevel level, const double* samples, double* gradientX, double* gradientY,
                            int32_t width, int32_t height);
void coefficientsAndGradientsFromSamplesAt(ProcessorLevel level, const double* samples, double* coefficients,
                                           double* gradientX, double* gradientY, int32_t width, int32_t height);

} // namespace alignopt
