#pragma once

// The initial landmarks of each family.

#include <cstdint>

#include "core/linalg/Matrix.h"
#include "core/linalg/TransformationType.h"

namespace alignopt {

// (sqrt(5) - 1) / 2, evaluated once at load time exactly as
// (sqrt(5.0) - 1.0) * 0.5; only the bilinear placement uses it.
extern const double goldenRatioConjugate;

// The initial landmarks of the family on a width x height image, one row per
// landmark, whole-pixel coordinates at full resolution.
LandmarkSet placeLandmarks(int32_t width, int32_t height, TransformationType transformation);

} // namespace alignopt
