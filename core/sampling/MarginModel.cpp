// The copy of a model with mirrored margins.
#include "core/sampling/MarginModel.h"

#include <algorithm>
#include <cstddef>

#include "core/image/MirrorFold.h"

namespace alignopt {

void MarginModel::build(std::span<const double> coefficients, int32_t width, int32_t height) {
    source_ = nullptr;
    if (width < 1 || height < 1) return;
    const std::size_t stride = static_cast<std::size_t>(width) + 2 * margin;
    // Emptied first: a larger level then gets a fresh block rather than a
    // copy of the last level's values.
    values_.clear();
    values_.resize(stride * (static_cast<std::size_t>(height) + 2 * margin));
    for (int32_t r = -margin; r < height + margin; ++r) {
        const double* from =
            coefficients.data() + static_cast<std::size_t>(foldMirror(r, height)) * static_cast<std::size_t>(width);
        double* to = values_.data() + static_cast<std::size_t>(r + margin) * stride;
        for (int32_t c = -margin; c < 0; ++c) to[c + margin] = from[foldMirror(c, width)];
        std::copy(from, from + width, to + margin);
        for (int32_t c = width; c < width + margin; ++c) to[c + margin] = from[foldMirror(c, width)];
    }
    source_ = coefficients.data();
    width_ = width;
    height_ = height;
}

const double* MarginModel::originFor(std::span<const double> coefficients, int32_t width, int32_t height) const {
    if (source_ == nullptr || coefficients.data() != source_ || width != width_ || height != height_) return nullptr;
    const std::size_t stride = static_cast<std::size_t>(width) + 2 * margin;
    return values_.data() + margin * stride + margin;
}

} // namespace alignopt
