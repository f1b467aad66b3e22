#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

// Reads a fuzzer's bytes as the parameters of one call. Missing bytes read
// as zero, so every input, however short, is a complete call.
class FuzzInput {
public:
    FuzzInput(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    uint8_t byte() { return position_ < size_ ? data_[position_++] : 0; }

    // 1 ... 64: the sides the targets explore.
    int32_t side() { return 1 + byte() % 64; }

    double rawDouble() {
        uint8_t bytes[8] = {};
        for (uint8_t& b : bytes) b = byte();
        double value;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }

    // Pixels in one of three kinds: small integers (images the optimisers
    // actually move on), bytes scaled to [0, 1), or raw bit patterns (NaN,
    // infinities, subnormals, the largest values). Past the end of the input
    // a smooth pattern continues, so small inputs still give real images.
    std::vector<double> pixels(int32_t width, int32_t height) {
        const uint8_t kind = byte() % 3;
        std::vector<double> values(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (position_ >= size_) {
                values[i] = static_cast<double>((i * 7 + i / static_cast<std::size_t>(width) * 3) % 11);
            } else if (kind == 0) {
                values[i] = static_cast<double>(byte() % 16);
            } else if (kind == 1) {
                values[i] = byte() / 256.0;
            } else {
                values[i] = rawDouble();
            }
        }
        return values;
    }

private:
    const uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

// Stops the fuzzer with a message a crash report shows.
#define FUZZ_REQUIRE(condition)                                                                          \
    do {                                                                                                 \
        if (!(condition)) {                                                                              \
            __builtin_printf("invariant failed: %s (%s:%d)\n", #condition, __FILE__, __LINE__);          \
            __builtin_trap();                                                                            \
        }                                                                                                \
    } while (0)
