// The registration as a whole, with masks, NaN pixels left out and a start
// other than the identity: images, masks, landmarks and pyramids built once,
// then coarse to fine through the levels with the family's optimiser.
#include "core/registration/RegistrationOptions.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <limits>
#include <string>
#include <utility>

#include "core/image/ImageMask.h"
#include "core/image/SplineImage.h"
#include "core/linalg/LandmarkTransform.h"
#include "core/registration/InitialLandmarks.h"
#include "core/registration/Landmarks.h"
#include "core/registration/RegistrationEngine.h"
#include "core/registration/UsablePixels.h"

namespace alignopt {

namespace {

// snprintf rather than std::to_string, whose digit table would be exported
// from the modules as a unique symbol.
std::string decimal(int64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    return text;
}

const char* familyName(TransformationType transformation) {
    switch (transformation) {
    case TransformationType::Translation: return "translation";
    case TransformationType::RigidBody: return "rigid body";
    case TransformationType::ScaledRotation: return "scaled rotation";
    case TransformationType::Affine: return "affine";
    case TransformationType::Bilinear: return "bilinear";
    }
    return "unknown";
}

// An image whose mask or NaN pixels leave too little to fit the family's
// parameters is refused; an image that is that small to begin with
// registers as registerImages registers it.
void checkUsableCount(const UsablePixels& usable, int64_t total, TransformationType transformation,
                      const char* imageName) {
    if (usable.count == total) return;
    if (usable.count == 0)
        throw OptionError(std::string(imageName) + " has no usable pixel (every pixel is masked out or NaN)");
    const int64_t needed = parameterCount(transformation);
    if (usable.count < needed)
        throw OptionError(std::string(imageName) + " has " + decimal(usable.count) +
                          " usable pixels after its mask and NaN pixels; the " + familyName(transformation) +
                          " family needs at least " + decimal(needed));
}

// The explicit 0/1 mask of an image with the pixels of `usable`: ones where
// it left no mask of its own.
ImageMask explicitMask(UsablePixels& usable, int32_t width, int32_t height) {
    ImageMask mask(width, height, 1, 1.0);
    if (!usable.mask.empty()) mask.data = std::move(usable.mask);
    return mask;
}

} // namespace

RegistrationOutcome registerWithOptions(const double* target, const double* source,
                                        TransformationType transformation, int32_t width, int32_t height,
                                        const RegistrationOptions& options) {
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    const auto total = static_cast<int64_t>(count);
    if (options.initial != nullptr) checkInitialMatrix(*options.initial);
    if (options.maximumLevels < 0) throw OptionError("levels must be at least 1");
    UsablePixels targetUsable =
        findUsablePixels(std::span<const double>(target, count), options.targetMask, width, height, "target",
                         "target_mask", options.refuseNonFinite);
    UsablePixels sourceUsable =
        findUsablePixels(std::span<const double>(source, count), options.sourceMask, width, height, "source",
                         "source_mask", options.refuseNonFinite);
    checkUsableCount(targetUsable, total, transformation, "target");
    checkUsableCount(sourceUsable, total, transformation, "source");
    const double* targetPixels = targetUsable.filled.empty() ? target : targetUsable.filled.data();
    const double* sourcePixels = sourceUsable.filled.empty() ? source : sourceUsable.filled.data();
    // Past the bound a finite image can still overflow a filtered buffer,
    // which the model check after the pyramids then finds.
    const bool withinFilterRange = targetUsable.withinFilterRange && sourceUsable.withinFilterRange;

    SplineImage targetImage(targetPixels, width, height, transformation, true);
    SplineImage sourceImage(sourcePixels, width, height, transformation, false);
    const LandmarkSet targetLandmarks = placeLandmarks(targetImage.width, targetImage.height, transformation);
    LandmarkSet sourceLandmarks = options.initial != nullptr
                                      ? landmarksUnder(*options.initial, targetLandmarks)
                                      : placeLandmarks(sourceImage.width, sourceImage.height, transformation);
    // The walks read both masks or neither: with no pixel left out, neither
    // is stored and the walks take their paths without mask reads.
    const bool masked = !targetUsable.mask.empty() || !sourceUsable.mask.empty();
    ImageMask targetMask =
        masked ? explicitMask(targetUsable, width, height) : ImageMask::everywhere(width, height, 1);
    ImageMask sourceMask =
        masked ? explicitMask(sourceUsable, width, height) : ImageMask::everywhere(width, height, 1);

    const int32_t depth = options.maximumLevels > 0 ? std::min(pyramidDepthFor(width, height), options.maximumLevels)
                                                    : pyramidDepthFor(width, height);
    targetImage.depth = sourceImage.depth = depth;
    targetMask.depth = sourceMask.depth = depth;
    targetImage.buildPyramids();
    targetMask.buildMaskPyramid();
    sourceImage.buildPyramids();
    sourceMask.buildMaskPyramid();
    // An overflowed model makes every error NaN; the optimisers would then
    // accept nothing and the identity would come back as if it were a result.
    if (!withinFilterRange && (!targetImage.modelIsFinite() || !sourceImage.modelIsFinite()))
        throw ValueRangeError("Input values are too large");

    RegistrationEngine engine(sourceImage, sourceMask, sourceLandmarks, targetImage, targetMask, targetLandmarks,
                              transformation);
    engine.runLevels();
    RegistrationOutcome outcome;
    outcome.registration.matrix =
        transformationFromLandmarks(transformation, engine.targetLandmarks, engine.sourceLandmarks);
    outcome.registration.targetLandmarks = targetLandmarks;
    outcome.registration.sourceLandmarks = std::move(sourceLandmarks);
    outcome.pixels = engine.acceptedPixels;
    outcome.error = engine.acceptedPixels > 0
                        ? engine.acceptedSquaredSum / static_cast<double>(engine.acceptedPixels)
                        : std::numeric_limits<double>::quiet_NaN();
    return outcome;
}

} // namespace alignopt
