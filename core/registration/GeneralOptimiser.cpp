// The general optimiser: the damped landmark search with the kernels of
// translation, scaled rotation and affine.
#include "core/registration/DampedSearch.h"

#include "core/linalg/LandmarkTransform.h"
#include "core/registration/RegistrationEngine.h"

namespace alignopt {

void RegistrationEngine::optimiseGeneral() {
    const auto errorWithDerivatives = [&](const LandmarkSet& landmarks, Matrix& hessian, std::span<double> gradient) {
        const Matrix m = transformationFromLandmarks(transformation, landmarks, targetLandmarks);
        switch (transformation) {
        case TransformationType::Translation: return translationErrorGradientHessian(m, hessian, gradient);
        case TransformationType::ScaledRotation:
            return scaledRotationErrorGradientHessian(landmarks, m, hessian, gradient);
        default: return affineErrorGradientHessian(landmarks, m, hessian, gradient);
        }
    };
    const auto errorOnly = [&](const LandmarkSet& landmarks) {
        const Matrix m = transformationFromLandmarks(transformation, landmarks, targetLandmarks);
        switch (transformation) {
        case TransformationType::Translation: return translationError(m);
        case TransformationType::ScaledRotation: return scaledRotationError(landmarks, m);
        default: return affineError(landmarks, m);
        }
    };
    dampedLandmarkSearch(sourceLandmarks, parameterCount(transformation), iterationFactor, levelScale, pixelPrecision,
                         errorWithDerivatives, errorOnly, [this] { acceptPass(); });
}

} // namespace alignopt
