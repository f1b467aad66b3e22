#pragma once

// The families the registration fuzzers cycle through, with the shapes each
// family's result must have.

#include <cstdint>

#include "core/linalg/TransformationType.h"

namespace fuzzfamilies {

constexpr alignopt::TransformationType families[] = {
    alignopt::TransformationType::Translation, alignopt::TransformationType::RigidBody,
    alignopt::TransformationType::ScaledRotation, alignopt::TransformationType::Affine,
    alignopt::TransformationType::Bilinear,
};

// (matrix columns, landmarks) per family, in the order above.
constexpr int32_t matrixColumns[] = {1, 3, 3, 3, 4};
constexpr int32_t landmarkCount[] = {1, 3, 2, 3, 4};

} // namespace fuzzfamilies
