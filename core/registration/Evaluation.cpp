// Placeholder: replaced by the real implementation.
#include "core/registration/RegistrationEngine.h"

#include <stdexcept>

namespace alignopt {

void cubicWeights(double, std::array<double, 4>&) { throw std::logic_error("not built yet"); }
void RegistrationEngine::computeXIndices() { throw std::logic_error("not built yet"); }
void RegistrationEngine::computeYOffsets() { throw std::logic_error("not built yet"); }
void RegistrationEngine::computeXWeights() { throw std::logic_error("not built yet"); }
void RegistrationEngine::computeYWeights() { throw std::logic_error("not built yet"); }
double RegistrationEngine::interpolate() const { throw std::logic_error("not built yet"); }
double RegistrationEngine::interpolateDx() const { throw std::logic_error("not built yet"); }
double RegistrationEngine::interpolateDy() const { throw std::logic_error("not built yet"); }

} // namespace alignopt
