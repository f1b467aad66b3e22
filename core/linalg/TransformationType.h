#pragma once

// The transformation families and their parameter counts.

#include <cstdint>

namespace alignopt {

// The transformation family. Its value is also the number of parameters the
// optimisers work on; no other value is ever accepted by the core.
enum class TransformationType : int32_t {
    Translation = 2,
    RigidBody = 3,
    ScaledRotation = 4,
    Affine = 6,
    Bilinear = 8,
};

inline constexpr int32_t parameterCount(TransformationType t) { return static_cast<int32_t>(t); }

// True for the five codes above; used by the module boundary before anything
// reaches the core.
inline constexpr bool isTransformationCode(int64_t code) {
    return code == 2 || code == 3 || code == 4 || code == 6 || code == 8;
}

} // namespace alignopt
