#pragma once

// The matrix of a family from two landmark sets.

#include "core/linalg/Matrix.h"
#include "core/linalg/TransformationType.h"

namespace alignopt {

// The 2 x (1|3|4) matrix of the family that maps landmark set `from` onto
// landmark set `to` (constant term first in each row). Degenerate landmarks
// give a non-finite matrix, unreported.
Matrix transformationFromLandmarks(TransformationType type, const LandmarkSet& from, const LandmarkSet& to);

} // namespace alignopt
