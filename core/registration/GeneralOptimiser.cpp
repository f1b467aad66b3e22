// Placeholder: replaced by the real implementation.
#include "core/registration/RegistrationEngine.h"

#include <stdexcept>

namespace alignopt {

void RegistrationEngine::optimiseGeneral() { throw std::logic_error("not built yet"); }

} // namespace alignopt
