// What the libFuzzer targets share: coordinates made from the fuzzer's bytes
// and the check of a label array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace rasterloom::fuzz {

[[noreturn]] inline void broken(const char* what) {
    __builtin_printf("malformed labels: %s\n", what);
    std::abort();
}

// One label per point: -1, or an id from 1 up; ids increase along the path
// and each covers one stretch of consecutive points.
inline void check_labels(const std::int32_t* labels, std::size_t n) {
    std::int32_t previous = 0;
    std::int32_t current = -1;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int32_t label = labels[i];
        if (label == -1 || label == current) {
            current = label;
            continue;
        }
        if (label < 1) broken("id below 1 (or a label not written)");
        if (label <= previous) broken("ids not increasing or an id on two stretches");
        previous = label;
        current = label;
    }
}

// How `size` bytes become points: as raw bit patterns, which reach NaN,
// infinities, -0.0 and subnormals, or (`grid`) two bytes a point, x in steps
// of 1/4 and y on a coarse grid, which make long runs, merges and turns.
template <class T>
std::size_t point_count(std::size_t size, bool grid) {
    return grid ? size / 2 : size / (2 * sizeof(T));
}

template <class T>
void point(const std::uint8_t* data, std::size_t n, std::size_t i, bool grid, T& x, T& y) {
    if (grid) {
        x = static_cast<T>(data[2 * i] & 0x1f) / T(4);
        y = static_cast<T>(static_cast<int>(data[2 * i + 1]) - 128);
    } else {
        std::memcpy(&x, data + i * sizeof(T), sizeof(T));
        std::memcpy(&y, data + (n + i) * sizeof(T), sizeof(T));
    }
}

}  // namespace rasterloom::fuzz

// The fuzzer's entry: the first byte is the mode, whose lowest bit selects
// float (else double); `run<T>(data, size, mode)` gets the bytes after it.
#define RASTERLOOM_FUZZ_ENTRY(run)                                                  \
    extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
        if (size == 0) return 0;                                                    \
        if ((data[0] & 1) != 0) {                                                   \
            run<float>(data + 1, size - 1, data[0]);                                \
        } else {                                                                    \
            run<double>(data + 1, size - 1, data[0]);                               \
        }                                                                           \
        return 0;                                                                   \
    }
