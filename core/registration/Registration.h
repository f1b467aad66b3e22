#pragma once

#include <cstdint>

#include "core/linalg/Matrix.h"
#include "core/linalg/TransformationType.h"

namespace alignopt {

struct RegistrationResult {
    Matrix matrix;               // maps target positions to source positions
    LandmarkSet targetLandmarks; // exactly as placed initially
    LandmarkSet sourceLandmarks; // after registration
};

// Registers two width x height row-major images (only read). The only
// exception that can leave is an allocation failure.
RegistrationResult registerImages(const double* target, const double* source, TransformationType transformation,
                                  int32_t width, int32_t height);

// Resolution levels including the full one: one more than the number of
// halvings made while every size is at least 24.
int32_t pyramidDepthFor(int32_t width, int32_t height);

} // namespace alignopt
