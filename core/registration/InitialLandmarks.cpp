// A start other than the identity: the source landmarks placed where an
// initial map sends the target landmarks.
#include "core/registration/InitialLandmarks.h"

#include <cmath>
#include <cstdint>

#include "core/registration/OptionError.h"

namespace alignopt {

void checkInitialMatrix(const Matrix& initial) {
    if (initial.rows != 2 || (initial.columns != 1 && initial.columns != 3 && initial.columns != 4))
        throw OptionError("initial must have the shape (2, 1), (2, 3) or (2, 4)");
    for (const double v : initial.values)
        if (!std::isfinite(v)) throw OptionError("initial must be finite");
}

LandmarkSet landmarksUnder(const Matrix& initial, const LandmarkSet& targetLandmarks) {
    checkInitialMatrix(initial);
    const bool linear = initial.columns >= 3;
    const bool bilinear = initial.columns == 4;
    LandmarkSet source(targetLandmarks.rows, 2);
    for (int32_t l = 0; l < targetLandmarks.rows; ++l) {
        const double x = targetLandmarks(l, 0);
        const double y = targetLandmarks(l, 1);
        for (int32_t r = 0; r < 2; ++r) {
            // Without a linear part the map is the identity plus the shift.
            double v = linear ? (initial(r, 0) + initial(r, 1) * x) + initial(r, 2) * y
                              : initial(r, 0) + (r == 0 ? x : y);
            if (bilinear) v += initial(r, 3) * (x * y);
            if (!std::isfinite(v)) throw OptionError("initial sends the landmarks beyond the finite numbers");
            source(l, r) = v;
        }
    }
    return source;
}

} // namespace alignopt
