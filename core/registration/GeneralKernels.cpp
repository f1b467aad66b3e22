// Placeholder: replaced by the real implementation.
#include "core/registration/RegistrationEngine.h"

#include <stdexcept>

namespace alignopt {

double RegistrationEngine::translationError(const Matrix&) { throw std::logic_error("not built yet"); }
double RegistrationEngine::translationErrorGradientHessian(const Matrix&, Matrix&, std::span<double>) { throw std::logic_error("not built yet"); }
double RegistrationEngine::scaledRotationError(const LandmarkSet&, const Matrix&) { throw std::logic_error("not built yet"); }
double RegistrationEngine::scaledRotationErrorGradientHessian(const LandmarkSet&, const Matrix&, Matrix&, std::span<double>) { throw std::logic_error("not built yet"); }
double RegistrationEngine::affineError(const LandmarkSet&, const Matrix&) { throw std::logic_error("not built yet"); }
double RegistrationEngine::affineErrorGradientHessian(const LandmarkSet&, const Matrix&, Matrix&, std::span<double>) { throw std::logic_error("not built yet"); }

} // namespace alignopt
