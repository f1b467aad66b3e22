#pragma once

// The registration of two images, and its errors.

#include <cstdint>
#include <stdexcept>

#include "core/linalg/Matrix.h"
#include "core/linalg/TransformationType.h"

namespace alignopt {

struct RegistrationResult {
    Matrix matrix;               // maps target positions to source positions
    LandmarkSet targetLandmarks; // exactly as placed initially
    LandmarkSet sourceLandmarks; // after registration
};

// Pixel values whose spline model does not fit single precision: every
// comparison of such images would be NaN, so no registration is possible.
class ValueRangeError : public std::range_error {
public:
    using std::range_error::range_error;
};

// An infinity or a NaN among the pixels: no registration is possible either.
class NonFiniteInputError : public ValueRangeError {
public:
    using ValueRangeError::ValueRangeError;
};

// Registers two width x height row-major images (only read). Throws
// NonFiniteInputError("Input arrays must be finite") when either image holds
// an infinity or a NaN, and ValueRangeError("Input values are too large")
// when either image's spline model overflows single precision; otherwise
// only an allocation failure can leave.
RegistrationResult registerImages(const double* target, const double* source, TransformationType transformation,
                                  int32_t width, int32_t height);

// Resolution levels including the full one: one more than the number of
// halvings made while every size is at least 24.
int32_t pyramidDepthFor(int32_t width, int32_t height);

} // namespace alignopt
