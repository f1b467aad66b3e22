// Left-out pixels filled from their kept surroundings, coarse to fine.
#include "core/registration/HoleFill.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace alignopt {

namespace {

struct FillLevel {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<double> mean;   // of the kept pixels under each pixel
    std::vector<double> weight; // how many kept pixels that is
};

// Each coarse pixel covers up to 2 x 2 finer ones (the last row and column
// of an odd size cover one). Means are formed from weight fractions so that
// no sum can overflow.
FillLevel halve(const FillLevel& fine) {
    FillLevel coarse;
    coarse.width = (fine.width + 1) / 2;
    coarse.height = (fine.height + 1) / 2;
    const std::size_t size = static_cast<std::size_t>(coarse.width) * static_cast<std::size_t>(coarse.height);
    coarse.mean.assign(size, 0.0);
    coarse.weight.assign(size, 0.0);
    for (int32_t y = 0; y < coarse.height; ++y)
        for (int32_t x = 0; x < coarse.width; ++x) {
            const int32_t lastY = std::min(2 * y + 1, fine.height - 1);
            const int32_t lastX = std::min(2 * x + 1, fine.width - 1);
            double total = 0.0;
            for (int32_t v = 2 * y; v <= lastY; ++v)
                for (int32_t u = 2 * x; u <= lastX; ++u)
                    total += fine.weight[static_cast<std::size_t>(v) * static_cast<std::size_t>(fine.width) +
                                         static_cast<std::size_t>(u)];
            double mean = 0.0;
            if (total > 0.0)
                for (int32_t v = 2 * y; v <= lastY; ++v)
                    for (int32_t u = 2 * x; u <= lastX; ++u) {
                        const std::size_t i =
                            static_cast<std::size_t>(v) * static_cast<std::size_t>(fine.width) +
                            static_cast<std::size_t>(u);
                        mean += fine.mean[i] * (fine.weight[i] / total);
                    }
            const std::size_t at = static_cast<std::size_t>(y) * static_cast<std::size_t>(coarse.width) +
                                   static_cast<std::size_t>(x);
            coarse.mean[at] = mean;
            coarse.weight[at] = total;
        }
    return coarse;
}

// The coarse level's bilinear estimate at the centre of fine pixel (x, y).
double estimateFromCoarse(const FillLevel& coarse, int32_t x, int32_t y) {
    const double cx = std::clamp((x + 0.5) * 0.5 - 0.5, 0.0, static_cast<double>(coarse.width - 1));
    const double cy = std::clamp((y + 0.5) * 0.5 - 0.5, 0.0, static_cast<double>(coarse.height - 1));
    const auto x0 = static_cast<int32_t>(cx);
    const auto y0 = static_cast<int32_t>(cy);
    const int32_t x1 = std::min(x0 + 1, coarse.width - 1);
    const int32_t y1 = std::min(y0 + 1, coarse.height - 1);
    const double fx = cx - x0;
    const double fy = cy - y0;
    const auto at = [&](int32_t u, int32_t v) {
        return coarse.mean[static_cast<std::size_t>(v) * static_cast<std::size_t>(coarse.width) +
                           static_cast<std::size_t>(u)];
    };
    const double top = at(x0, y0) * (1.0 - fx) + at(x1, y0) * fx;
    const double bottom = at(x0, y1) * (1.0 - fx) + at(x1, y1) * fx;
    return top * (1.0 - fy) + bottom * fy;
}

} // namespace

void fillLeftOutPixels(std::span<double> values, std::span<const double> mask, int32_t width, int32_t height) {
    std::vector<FillLevel> levels(1);
    levels[0].width = width;
    levels[0].height = height;
    levels[0].weight.assign(mask.begin(), mask.end());
    levels[0].mean.assign(values.begin(), values.end());
    for (std::size_t i = 0; i < values.size(); ++i)
        if (mask[i] == 0.0) levels[0].mean[i] = 0.0;
    while (levels.back().width > 1 || levels.back().height > 1) levels.push_back(halve(levels.back()));

    // From the coarsest down, every pixel without a kept one under it takes
    // the estimate of the level above; the coarsest has one, somewhere.
    for (std::size_t l = levels.size() - 1; l-- > 0;) {
        FillLevel& fine = levels[l];
        const FillLevel& coarse = levels[l + 1];
        for (int32_t y = 0; y < fine.height; ++y)
            for (int32_t x = 0; x < fine.width; ++x) {
                const std::size_t i = static_cast<std::size_t>(y) * static_cast<std::size_t>(fine.width) +
                                      static_cast<std::size_t>(x);
                if (fine.weight[i] == 0.0) fine.mean[i] = estimateFromCoarse(coarse, x, y);
            }
    }
    for (std::size_t i = 0; i < values.size(); ++i)
        if (mask[i] == 0.0) values[i] = levels[0].mean[i];
}

} // namespace alignopt
