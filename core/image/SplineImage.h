#pragma once

// An image as the registration holds it: its spline model, gradients and
// pyramid levels.

#include <cstdint>
#include <deque>
#include <span>

#include "core/image/ImageBuffer.h"
#include "core/linalg/TransformationType.h"
#include "core/simd/ProcessorLevel.h"

namespace alignopt {

// One coarser resolution level: coefficients or samples in `values`, and the
// gradients where the image's role needs them (empty otherwise).
struct PyramidLevel {
    ImageBuffer values;
    ImageBuffer gradientX;
    ImageBuffer gradientY;
    int32_t width = 0;
    int32_t height = 0;
};

// One input image as the core holds it: a view of its pixels, their cubic
// B-spline coefficients, and the pyramid its role in the registration needs.
// The pixels are the caller's, unchanged, and must outlive the record: every
// filter only reads them, so a copy would cost a pass over the image and an
// image's worth of memory for nothing.
struct SplineImage {
    std::deque<PyramidLevel> levels; // finest reduced level at the front, coarsest at the back
    std::span<const double> samples;
    ImageBuffer coefficients;
    ImageBuffer gradientX;
    ImageBuffer gradientY;
    int32_t width = 0;
    int32_t height = 0;
    int32_t depth = 1; // resolution levels including the full one; set before buildPyramids
    TransformationType transformation = TransformationType::Translation;
    bool isTarget = false;

    SplineImage(const double* pixels, int32_t width, int32_t height, TransformationType transformation,
                bool isTarget);

    void computeCoefficients();
    void buildPyramids();

    void computeFullGradients();
    // computeCoefficients and computeFullGradients at once, sharing the
    // prefilter of the rows they both begin with.
    void computeCoefficientsAndFullGradients();
    void buildCoefficientPyramid();
    void buildSampleGradientPyramid();
    void buildSamplePyramid();

    // False when a filtered buffer (coefficients, gradients, any level) holds
    // an infinity or NaN: pixel magnitudes near or past the largest float
    // overflow the single-precision stores of the filters. Always true for
    // pixels within filterSafeMagnitude.
    bool modelIsFinite() const;
};

// Pixels of at most this magnitude cannot overflow any filtered buffer of
// their image. Every filter is linear, so it scales the largest magnitude by
// at most the absolute sum of its impulse response:
// - a prefilter pass of pole z on a mirrored line by ((1 + |z|) / (1 - |z|))^2,
//   which is 3 for the cubic pole and 18.5 for the three degree-7 poles;
// - sampling, reduction and the gradient stencils by at most 1 (B-spline
//   values and binomial taps are positive and sum to 1; the derivative's
//   taps are -1/2 and 1/2).
// A buffer goes through at most one cubic and one degree-7 prefilter, each
// on both axes, so no filtered value exceeds 9 * 18.5^2 < 3100 times the
// largest pixel, give or take the roundings (2^-24 of the value per
// single-precision store). 3100 * 1e30 lies five orders of magnitude below
// the largest float; every image of real pixels is within the bound.
inline constexpr double filterSafeMagnitude = 1e30;

// No value is an infinity or a NaN: on the widest level the processor
// supports, or on a chosen one, which it must support.
bool allFinite(std::span<const double> values);
bool allFiniteAt(ProcessorLevel level, std::span<const double> values);

// Every value is at most `bound` in magnitude (so none is an infinity or a
// NaN), likewise.
bool allWithin(std::span<const double> values, double bound);
bool allWithinAt(ProcessorLevel level, std::span<const double> values, double bound);

} // namespace alignopt
