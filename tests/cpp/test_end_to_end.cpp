// The whole core through compute_scanline_ids: from coordinate views to the
// label vector.
#include <gtest/gtest.h>

#include "support.hpp"

#include <cstdint>
#include <variant>
#include <vector>

#include "core/compute_scanline_ids.hpp"

namespace rasterloom::core {
namespace {

template <class T>
class EndToEnd : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(EndToEnd, ElementTypes);

template <class T>
CoreResult run_core(const std::vector<T>& x, const std::vector<T>& y) {
    const CoordView<T> x_view{x.data(), x.size(), static_cast<std::int64_t>(sizeof(T))};
    const CoordView<T> y_view{y.data(), y.size(), static_cast<std::int64_t>(sizeof(T))};
    return compute_scanline_ids(x_view, y_view);
}

template <class T>
Labels labels_for(const Path<T>& path) {
    CoreResult result = run_core(path.x, path.y);
    if (const CoreError* error = std::get_if<CoreError>(&result)) {
        ADD_FAILURE() << "unexpected core error: " << error->message;
        return {};
    }
    return std::get<Labels>(std::move(result));
}

TYPED_TEST(EndToEnd, SixLineMeander) {
    using T = TypeParam;
    const Path<T> path = meander<T>(6);
    ASSERT_EQ(path.x.size(), 81u);
    // Merged runs: the six lines and the five turn-arounds. The turn-arounds
    // after lines 1 to 4 are the candidates (the first top is trimmed), and
    // the three after lines 2, 3 and 4 are accepted turns with their middle
    // points at 40, 54 and 68. The first stretch starts after the run of the
    // turn-around after line 1 (points 25-27).
    const Labels expected =
        labels_of({{0, 27, -1}, {28, 40, 1}, {41, 54, 2}, {55, 68, 3}, {69, 80, -1}});
    EXPECT_EQ(labels_for(path), expected);
}

TYPED_TEST(EndToEnd, LongMeanderNumbersEveryInnerLine) {
    using T = TypeParam;
    constexpr int lines = 40;
    const Path<T> path = meander<T>(lines);
    // Turn-around after line L: points 14 L + 11 .. 14 L + 13, middle 14 L + 12.
    // Stretch 1 runs from 28 to the middle after line 2; stretch k >= 2 from
    // just after the middle after line k to the middle after line k + 1.
    // The last stretch, lines - 3, ends at the middle after line lines - 2.
    std::vector<Stretch> stretches{{0, 27, -1}, {28, 40, 1}};
    for (std::uint64_t k = 2; k <= lines - 3; ++k) {
        stretches.push_back({14 * k + 13, 14 * k + 26, static_cast<std::int32_t>(k)});
    }
    stretches.push_back({14 * (lines - 2) + 13, path.x.size() - 1, -1});
    EXPECT_EQ(labels_for(path), labels_of(stretches));
}

TYPED_TEST(EndToEnd, PathsWithoutTurnsAreUnlabelled) {
    using T = TypeParam;
    // One line, and two lines with a single turn-around (no candidate
    // survives the trim).
    for (int lines : {1, 2, 3}) {
        const Path<T> path = meander<T>(lines);
        EXPECT_EQ(labels_for(path), Labels(path.x.size(), NO_SCANLINE)) << lines << " lines";
    }
    // A single point.
    const std::vector<T> one{T(1)};
    EXPECT_EQ(labels_for(Path<T>{one, one}), Labels(1, NO_SCANLINE));
}

TYPED_TEST(EndToEnd, InputChecksComeFirst) {
    using T = TypeParam;
    const std::vector<T> three{1, 2, 3};
    const std::vector<T> five{1, 2, 3, 4, 5};
    CoreResult mismatch = run_core(three, five);
    ASSERT_TRUE(std::holds_alternative<CoreError>(mismatch));
    EXPECT_EQ(std::get<CoreError>(mismatch).message, "Input x and y length mismatch: 3 vs 5");

    CoreResult empty = run_core(std::vector<T>{}, std::vector<T>{});
    ASSERT_TRUE(std::holds_alternative<Labels>(empty));
    EXPECT_TRUE(std::get<Labels>(empty).empty());

    // Views of one element are read whatever their stride.
    const T value = T(4);
    const CoordView<T> strided{&value, 1, 3 * static_cast<std::int64_t>(sizeof(T))};
    CoreResult single = compute_scanline_ids(strided, strided);
    ASSERT_TRUE(std::holds_alternative<Labels>(single));
    EXPECT_EQ(std::get<Labels>(single), Labels(1, NO_SCANLINE));
}

}  // namespace
}  // namespace rasterloom::core
