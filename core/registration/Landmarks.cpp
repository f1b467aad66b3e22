// The initial landmarks of each family.
#include "core/registration/Landmarks.h"

#include <cmath>

namespace alignopt {

const double goldenRatioConjugate = (std::sqrt(5.0) - 1.0) * 0.5;

LandmarkSet placeLandmarks(int32_t width, int32_t height, TransformationType transformation) {
    // One more than the size, formed without int32 overflow.
    const auto c = static_cast<double>(static_cast<int64_t>(width) + 1);
    const auto d = static_cast<double>(static_cast<int64_t>(height) + 1);
    auto set = [](LandmarkSet& m, int32_t row, double x, double y) {
        m(row, 0) = x;
        m(row, 1) = y;
    };
    switch (transformation) {
    case TransformationType::Translation: {
        LandmarkSet m(1, 2);
        set(m, 0, std::floor(c * 0.5), std::floor(d * 0.5));
        return m;
    }
    case TransformationType::RigidBody: {
        // Centre, a quarter down and three quarters down the middle column.
        LandmarkSet m(3, 2);
        set(m, 0, std::floor(c * 0.5), std::floor(d * 0.5));
        set(m, 1, std::floor(c * 0.5), std::floor(d * 0.25));
        set(m, 2, std::floor(c * 0.5), std::floor((d * 3.0) * 0.25));
        return m;
    }
    case TransformationType::ScaledRotation: {
        LandmarkSet m(2, 2);
        set(m, 0, std::floor(c * 0.25), std::floor(d * 0.5));
        set(m, 1, std::floor((c * 3.0) * 0.25), std::floor(d * 0.5));
        return m;
    }
    case TransformationType::Affine: {
        // Top middle, bottom left, bottom right.
        LandmarkSet m(3, 2);
        set(m, 0, std::floor(c * 0.5), std::floor(d * 0.25));
        set(m, 1, std::floor(c * 0.25), std::floor((d * 3.0) * 0.25));
        set(m, 2, std::floor((c * 3.0) * 0.25), std::floor((d * 3.0) * 0.25));
        return m;
    }
    case TransformationType::Bilinear: {
        // Corners of a rectangle inset by a golden-ratio fraction: top left,
        // bottom left, top right, bottom right.
        const double e = goldenRatioConjugate * 0.25;
        const double low = std::floor(c * e);
        const double top = std::floor(d * e);
        const double high = c - std::ceil(c * e);
        const double bottom = d - std::ceil(d * e);
        LandmarkSet m(4, 2);
        set(m, 0, low, top);
        set(m, 1, low, bottom);
        set(m, 2, high, top);
        set(m, 3, high, bottom);
        return m;
    }
    }
    return LandmarkSet();
}

} // namespace alignopt
