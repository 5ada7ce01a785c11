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
#include "fuzz_input.hpp"

namespace {

using namespace rasterloom::core;

void check_labels(const Labels& labels, std::size_t n) {
    if (labels.size() != n) rasterloom::fuzz::broken("length differs from the input");
    rasterloom::fuzz::check_labels(labels.data(), n);
}

template <class T>
void run(const std::uint8_t* data, std::size_t size, std::uint8_t mode) {
    const bool grid = (mode & 2) != 0;
    const std::size_t offset = (mode & 4) != 0 ? 1 : 0;
    const std::size_t n = rasterloom::fuzz::point_count<T>(size, grid);
    std::vector<unsigned char> storage(2 * n * sizeof(T) + offset + 1);
    unsigned char* x_bytes = storage.data() + offset;
    unsigned char* y_bytes = x_bytes + n * sizeof(T);
    for (std::size_t i = 0; i < n; ++i) {
        T x, y;
        rasterloom::fuzz::point(data, n, i, grid, x, y);
        std::memcpy(x_bytes + i * sizeof(T), &x, sizeof(T));
        std::memcpy(y_bytes + i * sizeof(T), &y, sizeof(T));
    }
    const std::vector<unsigned char> before(storage);
    const auto item = static_cast<std::int64_t>(sizeof(T));
    CoreResult result = compute_scanline_ids(CoordView<T>{x_bytes, n, item}, CoordView<T>{y_bytes, n, item});
    if (storage != before) rasterloom::fuzz::broken("input written");
    if (const auto* labels = std::get_if<Labels>(&result)) {
        check_labels(*labels, n);
    } else {
        rasterloom::fuzz::broken("a valid input was refused");
    }
}

}  // namespace

RASTERLOOM_FUZZ_ENTRY(run)
