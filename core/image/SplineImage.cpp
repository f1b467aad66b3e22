// The spline image record: coefficients, gradients and pyramids.
#include "core/image/SplineImage.h"

#include <cstddef>
#include <utility>

#include "core/image/BSplineFilters.h"
#include "core/image/Reduction.h"

namespace alignopt {

namespace {

std::size_t pixelCount(int32_t width, int32_t height) {
    return static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
}

} // namespace

SplineImage::SplineImage(const double* pixels, int32_t width, int32_t height, TransformationType transformation,
                         bool isTarget)
    : samples(pixels, pixelCount(width, height)), width(width), height(height),
      transformation(transformation), isTarget(isTarget) {}

void SplineImage::computeCoefficients() {
    coefficients = ImageBuffer(pixelCount(width, height));
    prefilterImage(samples.data(), coefficients.data(), width, height, SplineDegree::Cubic);
}

void SplineImage::buildPyramids() {
    const bool bilinear = transformation == TransformationType::Bilinear;
    if (isTarget != bilinear) {
        computeCoefficients();
        buildCoefficientPyramid(); // the model image
    } else if (bilinear) {
        computeCoefficients();
        buildSamplePyramid();
    } else {
        computeCoefficientsAndFullGradients();
        buildSampleGradientPyramid();
    }
}

void SplineImage::computeFullGradients() {
    gradientX = ImageBuffer(pixelCount(width, height));
    gradientY = ImageBuffer(pixelCount(width, height));
    gradientsFromSamples(samples.data(), gradientX.data(), gradientY.data(), width, height);
}

void SplineImage::computeCoefficientsAndFullGradients() {
    coefficients = ImageBuffer(pixelCount(width, height));
    gradientX = ImageBuffer(pixelCount(width, height));
    gradientY = ImageBuffer(pixelCount(width, height));
    coefficientsAndGradientsFromSamples(samples.data(), coefficients.data(), gradientX.data(), gradientY.data(),
                                        width, height);
}

namespace {

enum class LevelKind { Coefficients, SamplesAndGradients, Samples };

// Each level comes from the reduced dual image of the level above, never from
// that level's coefficients or samples, so the rounding of one level's
// contents does not feed into the next.
void appendLevels(SplineImage& image, LevelKind kind) {
    if (image.depth <= 1) return;
    int32_t w = image.width;
    int32_t h = image.height;
    // The dual image of the level above. At full resolution it is the
    // degree-7 sampling of the cubic coefficients (the same bits as
    // dualFromSamples of the samples), reduced as it is formed.
    ImageBuffer dual;
    for (int32_t k = 1; k < image.depth; ++k) {
        ImageBuffer reduced =
            k == 1 ? reducedDual(image.coefficients.data(), w, h) : reduceImage(dual.data(), w, h);
        w /= 2;
        h /= 2;
        PyramidLevel level;
        level.width = w;
        level.height = h;
        level.values = ImageBuffer(pixelCount(w, h));
        switch (kind) {
        case LevelKind::Coefficients:
            prefilterImage(reduced.data(), level.values.data(), w, h, SplineDegree::Septic);
            break;
        case LevelKind::SamplesAndGradients:
            prefilterImage(reduced.data(), level.values.data(), w, h, SplineDegree::Septic);
            level.gradientX = ImageBuffer(pixelCount(w, h));
            level.gradientY = ImageBuffer(pixelCount(w, h));
            gradientsFromCoefficients(level.values.data(), level.gradientX.data(), level.gradientY.data(), w, h);
            sampleImage(level.values.data(), level.values.data(), w, h, SplineDegree::Cubic);
            break;
        case LevelKind::Samples:
            samplesFromDual(reduced.data(), level.values.data(), w, h);
            break;
        }
        image.levels.push_back(std::move(level));
        dual = std::move(reduced);
    }
}

} // namespace

void SplineImage::buildCoefficientPyramid() { appendLevels(*this, LevelKind::Coefficients); }
void SplineImage::buildSampleGradientPyramid() { appendLevels(*this, LevelKind::SamplesAndGradients); }
void SplineImage::buildSamplePyramid() { appendLevels(*this, LevelKind::Samples); }

} // namespace alignopt
