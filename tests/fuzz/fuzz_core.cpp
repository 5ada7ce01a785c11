// libFuzzer target for the core: turns bytes into a pair of coordinate
// arrays of either element type and checks that the labels are well formed.
//
// The first byte selects the element type, how the remaining bytes become
// coordinates (raw bit patterns, which reach NaN, infinities, -0.0 and
// subnormals; or small grid values, which make long runs, merges and turns),
// and whether the arrays sit at an unaligned address.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <variant>
#include <vector>

#include "core/compute_scanline_ids.hpp"

namespace {

using namespace rasterloom::core;

[[noreturn]] void broken(const char* what) {
    __builtin_printf("malformed labels: %s\n", what);
    std::abort();
}

void check_labels(const Labels& labels, std::size_t n) {
    if (labels.size() != n) broken("length differs from the input");
    std::int32_t previous = 0;
    std::int32_t current = NO_SCANLINE;
    for (std::int32_t label : labels) {
        if (label == NO_SCANLINE || label == current) {
            current = label;
            continue;
        }
        if (label < 1) broken("id below 1");
        if (label <= previous) broken("ids not increasing or an id on two stretches");
        previous = label;
        current = label;
    }
}

template <class T>
void run(const std::uint8_t* data, std::size_t size, std::uint8_t mode) {
    const bool grid = (mode & 2) != 0;
    const std::size_t offset = (mode & 4) != 0 ? 1 : 0;
    const std::size_t n = grid ? size / 2 : size / (2 * sizeof(T));
    std::vector<unsigned char> storage(2 * n * sizeof(T) + offset + 1);
    unsigned char* x_bytes = storage.data() + offset;
    unsigned char* y_bytes = x_bytes + n * sizeof(T);
    for (std::size_t i = 0; i < n; ++i) {
        T x, y;
        if (grid) {
            // x in steps of 1/4 and y on a coarse grid: runs, merges, turns
            x = static_cast<T>(data[2 * i] & 0x1f) / T(4);
            y = static_cast<T>(static_cast<int>(data[2 * i + 1]) - 128);
        } else {
            std::memcpy(&x, data + i * sizeof(T), sizeof(T));
            std::memcpy(&y, data + (n + i) * sizeof(T), sizeof(T));
        }
        std::memcpy(x_bytes + i * sizeof(T), &x, sizeof(T));
        std::memcpy(y_bytes + i * sizeof(T), &y, sizeof(T));
    }
    const std::vector<unsigned char> before(storage);
    const auto item = static_cast<std::int64_t>(sizeof(T));
    CoreResult result = compute_scanline_ids(CoordView<T>{x_bytes, n, item}, CoordView<T>{y_bytes, n, item});
    if (storage != before) broken("input written");
    if (const auto* labels = std::get_if<Labels>(&result)) {
        check_labels(*labels, n);
    } else {
        broken("a valid input was refused");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t mode = data[0];
    if ((mode & 1) != 0) {
        run<float>(data + 1, size - 1, mode);
    } else {
        run<double>(data + 1, size - 1, mode);
    }
    return 0;
}
