// The registration as a whole: images, masks, landmarks and pyramids built
// once, then coarse to fine through the levels with the family's optimiser.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/image/ImageMask.h"
#include "core/image/SplineImage.h"
#include "core/linalg/LandmarkTransform.h"
#include "core/registration/Driver.h"
#include "core/registration/Landmarks.h"
#include "core/registration/Registration.h"
#include "core/registration/RegistrationOptions.h"
#include "core/registration/RegistrationEngine.h"
#include "core/simd/ProcessorLevel.h"

namespace alignopt {

namespace {

constexpr int32_t minimumPyramidSize = 24;

void scaleLandmarks(LandmarkSet& set, double factor) {
    for (double& v : set.values) v *= factor;
}

// Model and grid roles: the bilinear family interpolates the source and walks
// the target, every other family the other way round.
struct LevelViews {
    std::span<const double> targetValues, targetGradientX, targetGradientY, targetMask;
    std::span<const double> sourceValues, sourceGradientX, sourceGradientY, sourceMask;
    int32_t targetWidth, targetHeight, sourceWidth, sourceHeight;
};

void install(RegistrationEngine& e, const LevelViews& v) {
    if (e.transformation == TransformationType::Bilinear) {
        e.modelCoefficients = v.sourceValues;
        e.modelWidth = v.sourceWidth;
        e.modelHeight = v.sourceHeight;
        e.modelMask = v.sourceMask;
        e.gridSamples = v.targetValues;
        e.gridWidth = v.targetWidth;
        e.gridHeight = v.targetHeight;
        e.gridMask = v.targetMask;
    } else {
        e.modelCoefficients = v.targetValues;
        e.modelWidth = v.targetWidth;
        e.modelHeight = v.targetHeight;
        e.modelMask = v.targetMask;
        e.gridSamples = v.sourceValues;
        e.gridGradientX = v.sourceGradientX;
        e.gridGradientY = v.sourceGradientY;
        e.gridWidth = v.sourceWidth;
        e.gridHeight = v.sourceHeight;
        e.gridMask = v.sourceMask;
    }
    // Only the 512-bit point batch reads the margins, and translation reads
    // the model a row of weights at a time, never through the point batch.
    if (e.transformation != TransformationType::Translation &&
        supportedProcessorLevel() == ProcessorLevel::Avx512)
        e.modelMargins.build(e.modelCoefficients, e.modelWidth, e.modelHeight);
}

} // namespace

// The general kernels divide by a size measure of the target landmarks at
// the current scale, so it is refreshed for every level.
void optimiseLevel(RegistrationEngine& e) {
    const LandmarkSet& t = e.targetLandmarks;
    switch (e.transformation) {
    case TransformationType::Translation:
        e.landmarkNormaliser = 1.0;
        e.optimiseGeneral();
        break;
    case TransformationType::RigidBody: e.optimiseRigidBody(); break;
    case TransformationType::ScaledRotation: {
        const double dy = t(0, 1) - t(1, 1);
        const double dx = t(0, 0) - t(1, 0);
        e.landmarkNormaliser = dy * dy + dx * dx;
        e.optimiseGeneral();
        break;
    }
    case TransformationType::Affine:
        e.landmarkNormaliser =
            ((t(2, 0) - t(0, 0)) * t(1, 1) + (t(1, 0) - t(2, 0)) * t(0, 1)) + (t(0, 0) - t(1, 0)) * t(2, 1);
        e.optimiseGeneral();
        break;
    case TransformationType::Bilinear: e.optimiseBilinear(); break;
    }
}

int32_t pyramidDepthFor(int32_t width, int32_t height) {
    int32_t depth = 1;
    while (width >= minimumPyramidSize && height >= minimumPyramidSize) {
        width /= 2;
        height /= 2;
        ++depth;
    }
    return depth;
}

void RegistrationEngine::runLevels() { runLevelsWith(*this, optimiseLevel); }

void runLevelsWith(RegistrationEngine& e, const std::function<void(RegistrationEngine&)>& optimise) {
    // The levels are visited from the coarsest (the back of each queue)
    // without consuming the images' and masks' own queues.
    const auto& sourceLevels = e.sourceImage->levels;
    const auto& targetLevels = e.targetImage->levels;

    e.pyramidDepth = e.targetImage->depth;
    e.levelScale = static_cast<int32_t>(std::pow(2.0, e.pyramidDepth));
    for (int32_t i = 1; i < e.pyramidDepth; ++i) {
        scaleLandmarks(e.sourceLandmarks, 0.5);
        scaleLandmarks(e.targetLandmarks, 0.5);
    }

    // A mask known non-zero everywhere has no values: its view stays empty and
    // the walks skip its reads.
    const auto maskLevel = [](const ImageMask& mask, std::size_t at) {
        return mask.allNonZero ? std::span<const double>() : std::span<const double>(mask.levels[at]);
    };
    const auto fullMask = [](const ImageMask& mask) {
        return mask.allNonZero ? std::span<const double>() : std::span<const double>(mask.data);
    };

    for (std::size_t remaining = targetLevels.size(); remaining > 0; --remaining) {
        const std::size_t at = remaining - 1;
        const PyramidLevel& target = targetLevels[at];
        const PyramidLevel& source = sourceLevels[at];
        e.levelScale /= 2;
        install(e, {target.values, target.gradientX, target.gradientY, maskLevel(*e.targetMask, at), source.values,
                    source.gradientX, source.gradientY, maskLevel(*e.sourceMask, at), target.width, target.height,
                    source.width, source.height});
        optimise(e);
        scaleLandmarks(e.sourceLandmarks, 2.0);
        scaleLandmarks(e.targetLandmarks, 2.0);
        *e.sourceLandmarksOut = e.sourceLandmarks;
    }

    e.levelScale /= 2;
    const SplineImage& target = *e.targetImage;
    const SplineImage& source = *e.sourceImage;
    // Full resolution: the target is the model (coefficients) for every family
    // but bilinear, which walks the target's samples instead.
    const bool bilinear = e.transformation == TransformationType::Bilinear;
    const std::span<const double> targetCoefficients = target.coefficients;
    const std::span<const double> sourceCoefficients = source.coefficients;
    install(e, {bilinear ? target.samples : targetCoefficients, target.gradientX, target.gradientY,
                fullMask(*e.targetMask), bilinear ? sourceCoefficients : source.samples, source.gradientX,
                source.gradientY, fullMask(*e.sourceMask), target.width, target.height, source.width, source.height});
    optimise(e);
    *e.sourceLandmarksOut = e.sourceLandmarks;
}

RegistrationResult registerImages(const double* target, const double* source, TransformationType transformation,
                                  int32_t width, int32_t height) {
    // The registration with options, none given, under this entry's own
    // rule for non-finite pixels.
    RegistrationOptions options;
    options.refuseNonFinite = true;
    return registerWithOptions(target, source, transformation, width, height, options).registration;
}

} // namespace alignopt
