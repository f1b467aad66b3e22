// Placeholder: replaced by the real implementation.
#include "core/image/ImageMask.h"

#include <stdexcept>

namespace alignopt {

ImageMask::ImageMask(int32_t, int32_t, int32_t, double) { throw std::logic_error("not built yet"); }
void ImageMask::buildMaskPyramid() { throw std::logic_error("not built yet"); }
void reduceMask(const double*, double*, int32_t, int32_t) { throw std::logic_error("not built yet"); }

} // namespace alignopt
