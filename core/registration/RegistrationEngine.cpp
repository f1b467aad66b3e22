// Placeholder: replaced by the real implementation.
#include "core/registration/RegistrationEngine.h"

#include <stdexcept>

namespace alignopt {

RegistrationEngine::RegistrationEngine(const SplineImage&, const ImageMask&, LandmarkSet&, const SplineImage&, const ImageMask&, const LandmarkSet&, TransformationType) { throw std::logic_error("not built yet"); }
RegistrationEngine::RegistrationEngine(const SplineImage&, TransformationType) { throw std::logic_error("not built yet"); }

} // namespace alignopt
