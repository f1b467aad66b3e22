// Placeholder: replaced by the real implementation.
#include "core/image/SplineImage.h"

#include <stdexcept>

namespace alignopt {

SplineImage::SplineImage(const double*, int32_t, int32_t, TransformationType, bool) { throw std::logic_error("not built yet"); }
void SplineImage::computeCoefficients() { throw std::logic_error("not built yet"); }
void SplineImage::buildPyramids() { throw std::logic_error("not built yet"); }
void SplineImage::computeFullGradients() { throw std::logic_error("not built yet"); }
void SplineImage::buildCoefficientPyramid() { throw std::logic_error("not built yet"); }
void SplineImage::buildSampleGradientPyramid() { throw std::logic_error("not built yet"); }
void SplineImage::buildSamplePyramid() { throw std::logic_error("not built yet"); }

} // namespace alignopt
