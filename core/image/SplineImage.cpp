#include "core/image/SplineImage.h"

#include <cstddef>
#include <stdexcept>

#include "core/image/BSplineFilters.h"

namespace alignopt {

namespace {

std::size_t pixelCount(int32_t width, int32_t height) {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
}

} // namespace

SplineImage::SplineImage(const double* pixels, int32_t width, int32_t height, TransformationType transformation,
                         bool isTarget)
    : samples(pixels, pixels + pixelCount(width, height)), width(width), height(height),
      transformation(transformation), isTarget(isTarget) {}

void SplineImage::computeCoefficients() {
    coefficients.assign(pixelCount(width, height), 0.0);
    prefilterImage(samples.data(), coefficients.data(), width, height, SplineDegree::Cubic);
}

void SplineImage::buildPyramids() { throw std::logic_error("not built yet"); }
void SplineImage::computeFullGradients() { throw std::logic_error("not built yet"); }
void SplineImage::buildCoefficientPyramid() { throw std::logic_error("not built yet"); }
void SplineImage::buildSampleGradientPyramid() { throw std::logic_error("not built yet"); }
void SplineImage::buildSamplePyramid() { throw std::logic_error("not built yet"); }

} // namespace alignopt
