// Placeholder: replaced by the real implementation.
#include "core/registration/RegistrationEngine.h"

#include <stdexcept>

namespace alignopt {

void RegistrationEngine::updateBilinearInverse() { throw std::logic_error("not built yet"); }
double RegistrationEngine::bilinearError(const Matrix&) { throw std::logic_error("not built yet"); }
double RegistrationEngine::bilinearErrorGradientHessian(const Matrix&, Matrix&, std::span<double>) { throw std::logic_error("not built yet"); }
void RegistrationEngine::optimiseBilinear() { throw std::logic_error("not built yet"); }

} // namespace alignopt
