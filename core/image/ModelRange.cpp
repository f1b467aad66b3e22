// Whether an image's model and pyramid are finite, and the range checks of
// input pixels, on every processor level.
#include "core/image/SplineImage.h"

#include <algorithm>
#include <span>

#include "core/image/LaneFilters.h"

namespace alignopt {

bool allFiniteAt(ProcessorLevel level, std::span<const double> values) {
    bool finite = true;
    runAtLevel(level, [&]<ProcessorLevel V>() {
        finite = lanes::allFinite<lanes::Shape<V>::vector>(values.data(), values.size());
    });
    return finite;
}

bool allFinite(std::span<const double> values) { return allFiniteAt(supportedProcessorLevel(), values); }

bool allWithinAt(ProcessorLevel level, std::span<const double> values, double bound) {
    bool within = true;
    runAtLevel(level, [&]<ProcessorLevel V>() {
        within = lanes::allWithin<lanes::Shape<V>::vector>(values.data(), values.size(), bound);
    });
    return within;
}

bool allWithin(std::span<const double> values, double bound) {
    return allWithinAt(supportedProcessorLevel(), values, bound);
}

// The samples are not looked at: they are the caller's finite input. Every
// buffer below went through a single-precision store.
bool SplineImage::modelIsFinite() const {
    if (!allFinite(coefficients) || !allFinite(gradientX) || !allFinite(gradientY)) return false;
    return std::all_of(levels.begin(), levels.end(), [](const PyramidLevel& level) {
        return allFinite(level.values) && allFinite(level.gradientX) && allFinite(level.gradientY);
    });
}

} // namespace alignopt
