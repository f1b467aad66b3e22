// The engine's two constructions, for a registration and for a warp.
#include "core/registration/RegistrationEngine.h"

namespace alignopt {

// The evaluation arrays start zeroed and the level views empty (member
// initialisers); only the references and the landmark copies are set here.
RegistrationEngine::RegistrationEngine(const SplineImage& source, const ImageMask& srcMask,
                                       LandmarkSet& srcLandmarks, const SplineImage& target,
                                       const ImageMask& tgtMask, const LandmarkSet& tgtLandmarks,
                                       TransformationType family)
    : sourceLandmarks(srcLandmarks), targetLandmarks(tgtLandmarks), transformation(family),
      sourceImage(&source), targetImage(&target), sourceMask(&srcMask), targetMask(&tgtMask),
      sourceLandmarksOut(&srcLandmarks) {}

// Warping needs only the image to warp: no landmarks, masks or target.
RegistrationEngine::RegistrationEngine(const SplineImage& image, TransformationType family)
    : transformation(family), sourceImage(&image) {}

} // namespace alignopt
