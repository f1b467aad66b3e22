#pragma once

// The coarse-to-fine loop with a supplied optimisation, and the per-level
// optimisation it normally runs.

#include <functional>

#include "core/registration/RegistrationEngine.h"

namespace alignopt {

// The coarse-to-fine loop of runLevels with the per-level optimisation
// supplied by the caller, so that what each level installs can be observed.
// runLevels passes optimiseLevel.
void runLevelsWith(RegistrationEngine& engine, const std::function<void(RegistrationEngine&)>& optimise);

// Sets landmarkNormaliser for the general families and calls the family's
// optimiser on the level installed in the engine.
void optimiseLevel(RegistrationEngine& engine);

} // namespace alignopt
