// Placeholder: replaced by the real implementation.
#include "core/registration/RegistrationEngine.h"

#include <stdexcept>

namespace alignopt {

double RegistrationEngine::rigidBodyError(const Matrix&) { throw std::logic_error("not built yet"); }
double RegistrationEngine::rigidBodyErrorGradientHessian(const Matrix&, Matrix&, std::span<double>) { throw std::logic_error("not built yet"); }
void RegistrationEngine::optimiseRigidBody() { throw std::logic_error("not built yet"); }

} // namespace alignopt
