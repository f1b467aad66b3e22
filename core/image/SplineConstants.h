#pragma once

// The poles and gains of the B-spline prefilters.

#include <cmath>
#include <span>

#include "core/image/BSplineFilters.h"

namespace alignopt {

// The cubic pole sqrt(3) - 2, evaluated at run time exactly as written so
// that every build holds the same double.
inline const double cubicPole = std::sqrt(3.0) - 2.0;

// Poles of the degree's prefilter, in the order the recursions apply them.
inline std::span<const double> splinePoles(SplineDegree degree) {
    static const double cubic[] = {cubicPole};
    static constexpr double septic[] = {-0.5352804307964382, -0.12255461519232669, -0.009148694809608277};
    if (degree == SplineDegree::Cubic) return cubic;
    return septic;
}

// Overall gain of the prefilter: the product over the poles of (1 - 1/z)(1 - z),
// which makes a constant line come back as itself.
inline double prefilterGain(std::span<const double> poles) {
    double gain = 1.0;
    for (const double z : poles) gain = gain * ((1.0 - 1.0 / z) * (1.0 - z));
    return gain;
}

} // namespace alignopt
