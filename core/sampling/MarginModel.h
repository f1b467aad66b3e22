#pragma once

// A model's coefficients with mirrored margins, for the 512-bit batch.

#include <cstdint>
#include <span>

#include "core/image/ImageBuffer.h"

namespace alignopt {

// A model's spline coefficients with two mirrored coefficients around every
// edge. Every tap of a point that rounds inside the model (columns -2 ...
// width + 1, rows likewise) then lies at a plain offset from the point, so
// the batch evaluation reads the taps of margin points like any others
// instead of folding them one point at a time. A margin coefficient is the
// one the fold picks, so the values are the same to the bit.
class MarginModel {
public:
    static constexpr int32_t margin = 2;

    // Built from `coefficients`, width x height, which must stay unchanged
    // while the copy is used.
    void build(std::span<const double> coefficients, int32_t width, int32_t height);

    // Coefficient (0, 0) of the copy, rows width + 2 * margin apart, when it
    // was built from exactly these coefficients; otherwise null.
    const double* originFor(std::span<const double> coefficients, int32_t width, int32_t height) const;

private:
    ImageBuffer values_;
    const double* source_ = nullptr;
    int32_t width_ = 0;
    int32_t height_ = 0;
};

} // namespace alignopt
