// Masks and NaN pixels turned into the 0/1 mask the walks read and pixels
// that every filter can take.
#include "core/registration/UsablePixels.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>

#include "core/image/SplineImage.h"
#include "core/registration/HoleFill.h"
#include "core/registration/OptionError.h"
#include "core/registration/Registration.h"

namespace alignopt {

UsablePixels findUsablePixels(std::span<const double> pixels, std::span<const double> mask, int32_t width,
                              int32_t height, const char* imageName, const char* maskName,
                              bool refuseNonFinite) {
    if (!mask.empty() && mask.size() != pixels.size())
        throw OptionError(std::string(maskName) + " must have the images' shape");
    if (!mask.empty() && !allFinite(mask))
        throw OptionError(std::string(maskName) + " must be finite (0 leaves a pixel out, any other value keeps it)");
    // Pixels within the filters' range (every image of real pixels) hold no
    // NaN and no infinity: one fast pass stands for the search.
    int64_t missing = 0;
    const bool withinFilterRange = allWithin(pixels, filterSafeMagnitude);
    // Unless left out, a non-finite pixel spreads through the prefilter into
    // every error value, and the registration would return the identity as
    // if it had worked.
    if (!withinFilterRange && refuseNonFinite && !allFinite(pixels))
        throw NonFiniteInputError("Input arrays must be finite");
    if (!withinFilterRange) {
        for (const double v : pixels) {
            if (std::isinf(v))
                throw OptionError(std::string(imageName) +
                                  " must not hold infinities (NaN pixels are left out, infinities are refused)");
            if (std::isnan(v)) ++missing;
        }
    }
    UsablePixels usable;
    const auto total = static_cast<int64_t>(pixels.size());
    usable.count = total;
    usable.withinFilterRange = withinFilterRange;
    if (mask.empty() && missing == 0) return usable;

    // Stored as 0 and 1 whatever the caller's values: coarse levels sum
    // magnitudes and the walks multiply two masks, where huge values would
    // overflow and tiny ones underflow to "left out".
    usable.mask.resize(pixels.size());
    int64_t count = 0;
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        const bool kept = (mask.empty() || mask[i] != 0.0) && !std::isnan(pixels[i]);
        usable.mask[i] = kept ? 1.0 : 0.0;
        count += kept ? 1 : 0;
    }
    usable.count = count;
    // Left-out pixels still reach the filters, and a coarse level keeps
    // every pixel with a kept one under its window: what they hold would
    // leak into the pixels that are compared.
    if (count < total) {
        usable.filled.assign(pixels.begin(), pixels.end());
        if (count > 0) fillLeftOutPixels(usable.filled, usable.mask, width, height);
        else std::fill(usable.filled.begin(), usable.filled.end(), 0.0); // refused by the caller
        usable.withinFilterRange = allWithin(usable.filled, filterSafeMagnitude);
    }
    // A mask that keeps everything is no mask: the walks then skip its reads.
    if (count == total) usable.mask.clear();
    return usable;
}

} // namespace alignopt
