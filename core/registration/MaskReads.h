#pragma once

// Whether the installed level's masks are read.

#include <stdexcept>

#include "core/registration/RegistrationEngine.h"

namespace alignopt {

// Whether the walks of the installed level must read the masks. Masks known
// non-zero everywhere are installed as empty views (both or neither); a
// pixel then takes part as soon as it maps inside the model, exactly as with
// masks of ones.
inline bool masksAreRead(const RegistrationEngine& e) {
    if (e.modelMask.empty() != e.gridMask.empty()) {
        throw std::logic_error("a mask view is installed without its partner");
    }
    return !e.modelMask.empty();
}

} // namespace alignopt
