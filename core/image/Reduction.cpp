// Placeholder: replaced by the real implementation.
#include "core/image/Reduction.h"

#include <stdexcept>

namespace alignopt {

void reduceLine(std::span<const double>, std::span<double>) { throw std::logic_error("not built yet"); }
std::vector<double> reduceImage(const double*, int32_t, int32_t) { throw std::logic_error("not built yet"); }
void dualFromSamples(const double*, double*, int32_t, int32_t) { throw std::logic_error("not built yet"); }
void samplesFromDual(const double*, double*, int32_t, int32_t) { throw std::logic_error("not built yet"); }

} // namespace alignopt
