// Placeholder: replaced by the real implementation.
#include "core/warp/Warp.h"

#include <stdexcept>

namespace alignopt {

std::vector<double> warpImage(Matrix, const double*, int32_t, int32_t) { throw std::logic_error("not built yet"); }

} // namespace alignopt
