#include <algorithm>
#include <cmath>
#include <span>

#include "core/image/SplineImage.h"

namespace alignopt {

namespace {

bool allFinite(std::span<const double> values) {
    return std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); });
}

} // namespace

// The samples are not looked at: they are the caller's finite input. Every
// buffer below went through a single-precision store.
bool SplineImage::modelIsFinite() const {
    if (!allFinite(coefficients) || !allFinite(gradientX) || !allFinite(gradientY)) return false;
    return std::all_of(levels.begin(), levels.end(), [](const PyramidLevel& level) {
        return allFinite(level.values) && allFinite(level.gradientX) && allFinite(level.gradientY);
    });
}

} // namespace alignopt
