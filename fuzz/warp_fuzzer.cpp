// warpImage through fuzzed matrices (every column count, raw bit patterns in
// every entry) over a fuzzed image of 1 ... 64 per side: no fault, no abort,
// an output of the image's size, and a refusal for any matrix that is not
// 2x1, 2x3 or 2x4.

#include "fuzz/FuzzInput.h"

#include "core/linalg/Matrix.h"
#include "core/warp/Warp.h"

#include <cmath>
#include <stdexcept>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const int32_t columns = input.byte() % 6;
    const bool smallEntries = input.byte() % 2 == 0;
    alignopt::Matrix matrix(2, columns);
    for (double& entry : matrix.values) {
        // Small entries keep positions inside the image, where the spline is
        // read; raw ones reach the rounding of huge and non-finite positions.
        entry = smallEntries ? static_cast<int8_t>(input.byte()) / 16.0 : input.rawDouble();
    }
    const int32_t width = input.side();
    const int32_t height = input.side();
    const std::vector<double> pixels = input.pixels(width, height);

    const bool valid = columns == 1 || columns == 3 || columns == 4;
    try {
        const std::vector<double> warped = alignopt::warpImage(matrix, pixels.data(), width, height);
        FUZZ_REQUIRE(valid);
        FUZZ_REQUIRE(warped.size() == static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
        // Every value is single precision (or zero outside).
        for (double v : warped) FUZZ_REQUIRE(std::isnan(v) || static_cast<double>(static_cast<float>(v)) == v);
    } catch (const std::runtime_error&) {
        FUZZ_REQUIRE(!valid);
    }
    return 0;
}
