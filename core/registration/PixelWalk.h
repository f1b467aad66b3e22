#pragma once

// The pixel walk of a rigid-body, bilinear or 2 x 3 kernel pass, chosen once
// for the pass: the masked run walk when the level's masks are read, the run
// walk otherwise. Both hand the used pixels to `visit` a chunk at a time, in
// the same order with the same values, and return their number.

#include <cstdint>

#include "core/linalg/Matrix.h"
#include "core/registration/MaskReads.h"
#include "core/registration/MaskedRunWalk.h"
#include "core/registration/RegistrationEngine.h"
#include "core/registration/RunWalk.h"
#include "core/simd/ProcessorLevel.h"

namespace alignopt {

// The masked run walk stands for the pixel-by-pixel masked walk
// (MaskedWalk.h), its reference in the tests.
template <bool Bilinear, bool Slopes, typename Visit>
int64_t walkGrid(const RegistrationEngine& engine, const Matrix& m, ProcessorLevel level, Visit&& visit) {
    return masksAreRead(engine) ? walkMaskedRuns<Bilinear, Slopes>(engine, m, level, visit)
                                : walkRuns<Bilinear, Slopes>(engine, m, level, visit);
}

} // namespace alignopt
