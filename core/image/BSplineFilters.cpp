// Placeholder: replaced by the real implementation.
#include "core/image/BSplineFilters.h"

#include <stdexcept>

namespace alignopt {

void prefilterLine(std::span<double>, SplineDegree) { throw std::logic_error("not built yet"); }
double initialCausalCoefficient(std::span<const double>, double) { throw std::logic_error("not built yet"); }
void sampleLine(std::span<const double>, std::span<const double>, std::span<double>) { throw std::logic_error("not built yet"); }
void differentiateLine(std::span<double>) { throw std::logic_error("not built yet"); }
std::span<const double> samplingKernel(SplineDegree) { throw std::logic_error("not built yet"); }
void prefilterImage(const double*, double*, int32_t, int32_t, SplineDegree) { throw std::logic_error("not built yet"); }
void sampleImage(const double*, double*, int32_t, int32_t, SplineDegree) { throw std::logic_error("not built yet"); }
void gradientsFromCoefficients(const double*, double*, double*, int32_t, int32_t) { throw std::logic_error("not built yet"); }
void gradientsFromSamples(const double*, double*, double*, int32_t, int32_t) { throw std::logic_error("not built yet"); }

} // namespace alignopt
