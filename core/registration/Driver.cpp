// Placeholder: replaced by the real implementation.
#include "core/registration/Registration.h"

#include <stdexcept>

namespace alignopt {

RegistrationResult registerImages(const double*, const double*, TransformationType, int32_t, int32_t) { throw std::logic_error("not built yet"); }
int32_t pyramidDepthFor(int32_t, int32_t) { throw std::logic_error("not built yet"); }

} // namespace alignopt
