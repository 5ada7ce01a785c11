// The entry points of the layer pipeline (layers/pipeline.hpp) as its
// boundary calls them: arrays of any stride read as the contiguous ones,
// every label written, the input never written, empty layers.
#include <gtest/gtest.h>

#include "support.hpp"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "layers/pipeline.hpp"

namespace rasterloom::layers {
namespace {

template <class T>
class LayerEntries : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(LayerEntries, ElementTypes);

// `values` as a caller's array whose elements lie `stride` elements apart
// (negative: from the end of the storage backwards); the gaps hold -7.
template <class T>
struct Strided {
    std::vector<T> storage;
    const T* first;
};

template <class T>
Strided<T> strided(const std::vector<T>& values, std::int64_t stride) {
    const std::size_t n = values.size();
    const auto step = static_cast<std::size_t>(std::llabs(stride));
    Strided<T> out{std::vector<T>(n * step, T(-7)), nullptr};
    for (std::size_t i = 0; i < n; ++i) {
        out.storage[stride > 0 ? i * step : (n - 1 - i) * step] = values[i];
    }
    out.first = out.storage.data() + (stride > 0 ? 0 : (n - 1) * step);
    return out;
}

template <class T>
Coordinates coordinates(const T* x, const T* y, std::uint64_t n, std::int64_t x_stride, std::int64_t y_stride) {
    return Coordinates{x, y, n, x_stride, y_stride, std::is_same_v<T, float>};
}

// The labels of every entry point that numbers; 0 (never a label) marks an
// entry left unwritten.
std::vector<std::vector<std::int32_t>> all_labels(const Coordinates& xy) {
    std::vector<std::vector<std::int32_t>> out;
    for (int entry = 0; entry < 3; ++entry) {
        std::vector<std::int32_t> labels(xy.n, 0);
        const std::optional<std::string> error =
            entry == 0   ? annotate_layer(xy, true, labels.data())
            : entry == 1 ? annotate_at_angle(xy, 90.0, false, labels.data())
                         : annotate_at_angle(xy, std::nullopt, true, labels.data());
        EXPECT_FALSE(error) << "entry " << entry << ": " << error.value_or("");
        out.push_back(std::move(labels));
    }
    return out;
}

TYPED_TEST(LayerEntries, AnyStrideReadsAsTheContiguousArrays) {
    using T = TypeParam;
    const core::Path<T> path = core::meander<T>(12);
    const std::uint64_t n = path.x.size();
    const auto expected = all_labels(coordinates(path.x.data(), path.y.data(), n, 1, 1));
    for (const std::vector<std::int32_t>& labels : expected) {
        for (const std::int32_t label : labels) {
            ASSERT_TRUE(label == -1 || label >= 1) << label;
        }
    }
    for (const std::int64_t stride : {2, -1, -3}) {
        const Strided<T> x = strided(path.x, stride);
        const Strided<T> y = strided(path.y, -stride);
        const std::vector<T> x_before = x.storage, y_before = y.storage;
        EXPECT_EQ(all_labels(coordinates(x.first, y.first, n, stride, -stride)), expected) << stride;
        EXPECT_EQ(x.storage, x_before);
        EXPECT_EQ(y.storage, y_before);
    }
    // A constant array may come with a zero stride: at a given angle it is
    // numbered (no line in it), and it gives no angle of its own.
    const T same = path.x[0];
    const Coordinates still = coordinates(&same, &same, 5, 0, 0);
    for (const bool all_lines : {false, true}) {
        std::vector<std::int32_t> labels(5, 0);
        EXPECT_FALSE(annotate_at_angle(still, 90.0, all_lines, labels.data()));
        EXPECT_EQ(labels, std::vector<std::int32_t>(5, -1)) << all_lines;
    }
    std::vector<std::int32_t> labels(5, 0);
    const std::optional<std::string> error = annotate_layer(still, true, labels.data());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->rfind("too few points to estimate the scan line angle", 0), 0u) << *error;
}

TYPED_TEST(LayerEntries, EmptyLayerIsNumberedButGivesNoAngle) {
    const Coordinates empty = coordinates<TypeParam>(nullptr, nullptr, 0, 1, 1);
    EXPECT_FALSE(annotate_layer(empty, true, nullptr));
    EXPECT_FALSE(annotate_at_angle(empty, 30.0, true, nullptr));
    const std::variant<double, std::string> estimate = estimate_angle(empty);
    ASSERT_TRUE(std::holds_alternative<std::string>(estimate));
    EXPECT_EQ(std::get<std::string>(estimate).rfind("too few points to estimate the scan line angle", 0), 0u);
}

}  // namespace
}  // namespace rasterloom::layers
