#pragma once

#include <cstdint>
#include <span>

#include "core/linalg/Matrix.h"
#include "core/linalg/TransformationType.h"
#include "core/registration/OptionError.h"
#include "core/registration/Registration.h"

namespace alignopt {

// What a registration may be given besides the images and the family.
struct RegistrationOptions {
    // Empty, or width x height row-major values: 0 leaves the pixel out of
    // every comparison, any other finite value keeps it.
    std::span<const double> targetMask;
    std::span<const double> sourceMask;
    // Null, or a (2, 1), (2, 3) or (2, 4) map from target to source positions
    // (the result's layout) that the source landmarks start from.
    const Matrix* initial = nullptr;
    // 0, or the most pyramid levels to visit, full resolution included (1:
    // full resolution only). A start known to within a few pixels needs no
    // coarse level, and on a coarse level of a partial overlap it can be
    // pulled away from where it was right.
    int32_t maximumLevels = 0;
    // registerImages' rule instead: a NaN or an infinity in either image is
    // refused with NonFiniteInputError("Input arrays must be finite").
    bool refuseNonFinite = false;
};

struct RegistrationOutcome {
    RegistrationResult registration;
    // The mean squared difference of the last error pass the optimiser
    // accepted at full resolution, over the pixels that pass used (for
    // scaled rotation and affine without the landmark-size factor the
    // optimiser weighs it by), and their number. That pass is the one at
    // the returned landmarks: the state moves only with an accepted pass.
    // It walks the optimiser's direction: the source's pixels with the
    // target's model sampled at the inverse map for translation, rigid
    // body, scaled rotation and affine; the target's pixels with the
    // source's model sampled at the map for bilinear. NaN and 0 when no
    // pixel of either image maps into the other.
    double error = 0.0;
    int64_t pixels = 0;
};

// Registers as registerImages does, with the options. NaN pixels are left
// out as a zero mask would; everything else registerImages refuses is
// refused here with the same exceptions. Throws OptionError for a mask that
// is not finite, an infinity among the pixels, an initial matrix that is
// not finite or not of a shape above, a negative maximumLevels, an image left without a usable pixel
// and masks or NaN pixels that leave fewer usable pixels in either image
// than the family has parameters (2, 3, 4, 6, 8). Without masks, NaN pixels
// and initial matrix the registration is registerImages' own, bit for bit.
RegistrationOutcome registerWithOptions(const double* target, const double* source,
                                        TransformationType transformation, int32_t width, int32_t height,
                                        const RegistrationOptions& options);

} // namespace alignopt
