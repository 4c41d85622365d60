// A float's bit pattern and back, for the tests' bit-for-bit comparisons.
#pragma once

#include <cstdint>
#include <cstring>

namespace kernels_test {

inline uint32_t bits(float value) {
    uint32_t pattern;
    std::memcpy(&pattern, &value, sizeof pattern);
    return pattern;
}

inline float from_bits(uint32_t pattern) {
    float value;
    std::memcpy(&value, &pattern, sizeof value);
    return value;
}

}  // namespace kernels_test
