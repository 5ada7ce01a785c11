// Direction split: which merged runs become turn candidates, which set they
// go to, the two distances stored with them, and the trim of both sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <variant>
#include <vector>

#include "core/split_directions.hpp"

namespace rasterloom::core {
namespace {

template <class T>
class SplitDirections : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(SplitDirections, ElementTypes);

// Merged runs through the given points, two input points each: merged run i
// covers the points 2i and 2i + 1.
template <class T>
List<Run<T>> merged_runs(const std::vector<std::pair<T, T>>& points) {
    List<Run<T>> runs;
    for (std::size_t i = 0; i < points.size(); ++i) {
        runs.push_back(Run<T>{points[i].first, points[i].second, 2 * i, 2 * i + 1});
    }
    return runs;
}

template <class T>
DirectionSets<T> split_ok(const List<Run<T>>& runs) {
    auto result = split_directions(runs);
    if (const CoreError* error = std::get_if<CoreError>(&result)) {
        ADD_FAILURE() << "unexpected error: " << error->message;
        return {};
    }
    return std::get<DirectionSets<T>>(std::move(result));
}

template <class T>
std::vector<std::uint64_t> indices(const List<TurnCandidate<T>>& set) {
    std::vector<std::uint64_t> result;
    for (const TurnCandidate<T>& candidate : set) {
        result.push_back(candidate.run_index);
    }
    return result;
}

using Indices = std::vector<std::uint64_t>;

TYPED_TEST(SplitDirections, FewerThanThreeRunsGiveNoCandidates) {
    using T = TypeParam;
    for (const auto& points : std::vector<std::vector<std::pair<T, T>>>{
             {}, {{T(0), T(0)}}, {{T(0), T(0)}, {T(1), T(1)}}, {{T(0), T(1)}, {T(1), T(0)}}}) {
        const DirectionSets<T> sets = split_ok(merged_runs(points));
        EXPECT_TRUE(sets.set_a.empty()) << points.size() << " runs";
        EXPECT_TRUE(sets.set_b.empty()) << points.size() << " runs";
    }
}

TYPED_TEST(SplitDirections, MonotonePathsGiveNoCandidates) {
    using T = TypeParam;
    // Only rising.
    const DirectionSets<T> rising =
        split_ok(merged_runs<T>({{0, 0}, {1, 1}, {2, 3}, {3, 4}, {4, 9}}));
    EXPECT_TRUE(rising.set_a.empty());
    EXPECT_TRUE(rising.set_b.empty());
    // Only falling: the sense never changes, so not even run 1 is a turn.
    const DirectionSets<T> falling =
        split_ok(merged_runs<T>({{0, 9}, {1, 4}, {2, 3}, {3, 1}, {4, 0}}));
    EXPECT_TRUE(falling.set_a.empty());
    EXPECT_TRUE(falling.set_b.empty());
    // Degenerate first step, then falling: a single top at run 1, which the
    // trim removes together with the starting record.
    const DirectionSets<T> single_top =
        split_ok(merged_runs<T>({{0, 5}, {1, 5}, {2, 4}, {3, 3}}));
    EXPECT_TRUE(single_top.set_a.empty());
    EXPECT_TRUE(single_top.set_b.empty());
    // Horizontal lines stacked upward, joined by vertical turn-arounds: the y
    // of lines and turn-arounds only rises.
    const DirectionSets<T> stacked = split_ok(merged_runs<T>(
        {{5, 0}, {10, 0.5}, {5, 1}, {0, 1.5}, {5, 2}, {10, 2.5}, {5, 3}, {0, 3.5}}));
    EXPECT_TRUE(stacked.set_a.empty());
    EXPECT_TRUE(stacked.set_b.empty());
}

TYPED_TEST(SplitDirections, ZigzagPathSplitsTopsAndBottoms) {
    using T = TypeParam;
    // Turns at runs 2 (top), 4 (bottom) and 6 (top). Before the trim set_a
    // holds the starting record, run 2 and run 6, set_b the starting record
    // and run 4.
    const DirectionSets<T> sets = split_ok(
        merged_runs<T>({{0, 0}, {1, 1}, {2, 2}, {3, 1}, {4, 0}, {5, 1}, {6, 2}, {7, 1}}));
    ASSERT_EQ(indices(sets.set_a), Indices{6});
    ASSERT_EQ(indices(sets.set_b), Indices{4});

    // Run 6: previous top is run 2 at (2, 2): 0 + 4^2 = 16. Reference line
    // through (2, 2) and (4, 0): k = -1, r = (6 * -1 - 2) + (2 + 2) = -4,
    // 16 / 2 = 8.
    const TurnCandidate<T>& top = sets.set_a[0];
    EXPECT_EQ(top.dist_prev_sq, T(16));
    EXPECT_EQ(top.dist_line_sq, T(8));
    EXPECT_EQ(top.x, T(6));
    EXPECT_EQ(top.y, T(2));
    EXPECT_EQ(top.first, 12u);
    EXPECT_EQ(top.last, 13u);

    // Run 4: previous bottom is the starting record (0, 0): 0 + 4^2 = 16.
    // Reference line through run 2 (2, 2) and run 0 (0, 0): k = 1,
    // r = (4 * 1 - 0) + (2 - 2) = 4, 16 / 2 = 8.
    const TurnCandidate<T>& bottom = sets.set_b[0];
    EXPECT_EQ(bottom.dist_prev_sq, T(16));
    EXPECT_EQ(bottom.dist_line_sq, T(8));
    EXPECT_EQ(bottom.x, T(4));
    EXPECT_EQ(bottom.y, T(0));
    EXPECT_EQ(bottom.first, 8u);
    EXPECT_EQ(bottom.last, 9u);
}

TYPED_TEST(SplitDirections, TrimKeepsAllButTheFirstTwoTopsAndTheFirstBottom) {
    using T = TypeParam;
    // Turns at 2 (top), 4 (bottom), 6 (top), 8 (bottom): set_a loses the
    // starting record and run 2, set_b only the starting record.
    const DirectionSets<T> sets = split_ok(merged_runs<T>(
        {{0, 0}, {1, 1}, {2, 2}, {3, 1}, {4, 0}, {5, 1}, {6, 2}, {7, 1}, {8, 0}, {9, 1}}));
    EXPECT_EQ(indices(sets.set_a), Indices{6});
    ASSERT_EQ(indices(sets.set_b), (Indices{4, 8}));
    // Run 8: previous bottom run 4 at (4, 0): 16. Line through run 6 (6, 2)
    // and run 4 (4, 0): k = 1, r = (8 - 0) + (2 - 6) = 4, 16 / 2 = 8.
    EXPECT_EQ(sets.set_b[1].dist_prev_sq, T(16));
    EXPECT_EQ(sets.set_b[1].dist_line_sq, T(8));
}

TYPED_TEST(SplitDirections, DegenerateFirstStepStartsRising) {
    using T = TypeParam;
    // The horizontal first step counts as rising, so run 1 is a top (set_a)
    // and the later top at run 4 measures its dist_prev_sq from run 1.
    const DirectionSets<T> sets = split_ok(
        merged_runs<T>({{0, 0}, {1, 0}, {2, -1}, {3, -2}, {4, -1}, {5, -2}, {6, -3}}));
    ASSERT_EQ(indices(sets.set_a), Indices{4});
    ASSERT_EQ(indices(sets.set_b), Indices{3});

    // Run 4 at (4, -1): from run 1 (1, 0): 1 + 9 = 10. Line through run 1
    // (1, 0) and run 3 (3, -2): k = -1, r = (-4 + 1) + (0 + 1) = -2, 4 / 2.
    EXPECT_EQ(sets.set_a[0].dist_prev_sq, T(10));
    EXPECT_EQ(sets.set_a[0].dist_line_sq, T(2));
    // Run 3 at (3, -2): from the starting record (0, 0): 4 + 9 = 13. Line
    // through run 1 (1, 0) and run 0 (0, 0): k = 0 (as -0), r = 2, 4 / 1.
    EXPECT_EQ(sets.set_b[0].dist_prev_sq, T(13));
    EXPECT_EQ(sets.set_b[0].dist_line_sq, T(4));
}

TYPED_TEST(SplitDirections, VerticalStepCarriesTheSense) {
    using T = TypeParam;
    // Runs 1 -> 2 are a vertical step upward. Computed as a slope it would be
    // (-0.5) / 0 = -inf, a false top at run 1 and a false bottom at run 2.
    const DirectionSets<T> sets = split_ok(merged_runs<T>(
        {{0, 0}, {1, 1}, {1, 1.5}, {2, 2}, {3, 1}, {4, 0}, {5, 1}, {6, 2}, {7, 1}}));
    EXPECT_EQ(indices(sets.set_a), Indices{7});
    EXPECT_EQ(indices(sets.set_b), Indices{5});
}

TYPED_TEST(SplitDirections, HorizontalStepWithinEpsilonCarriesTheSense) {
    using T = TypeParam;
    const T eps = std::numeric_limits<T>::epsilon();
    // Falling, then a step whose y rises by half an epsilon (a match), then
    // falling again: no turn anywhere. Taken as a slope, the small rise would
    // give a bottom at run 1 and a top at run 2.
    const DirectionSets<T> sets = split_ok(
        merged_runs<T>({{0, 2}, {1, T(1) - eps / T(2)}, {2, 1}, {3, 0}, {4, -1}}));
    EXPECT_TRUE(sets.set_a.empty());
    EXPECT_TRUE(sets.set_b.empty());

    // A rise of exactly epsilon is a real step and reverses the sense.
    const DirectionSets<T> reversed =
        split_ok(merged_runs<T>({{0, 2}, {1, T(1) - eps}, {2, 1}, {3, 0}, {4, -1}}));
    EXPECT_EQ(indices(reversed.set_b), Indices{1});
    EXPECT_TRUE(reversed.set_a.empty());  // the top at run 2 is the first top
}

TYPED_TEST(SplitDirections, NegativeZeroSlopeFallsButGoesToSetB) {
    using T = TypeParam;
    const T big = std::numeric_limits<T>::max();
    // The step from run 1 to run 2 falls by 1 over an x difference that
    // overflows to +inf: slope -1 / inf = -0, sense falling. It reverses the
    // rising sense (a turn), but -0 < 0 is false, so the record goes to
    // set_b. The next slope is a tiny negative number: falling again, no turn.
    const DirectionSets<T> sets = split_ok(merged_runs<T>(
        {{-big, 0}, {-big * T(0.75), 1}, {big * T(0.75), 0}, {big, -1}}));
    EXPECT_EQ(indices(sets.set_b), Indices{1});
    EXPECT_TRUE(sets.set_a.empty());
}

TYPED_TEST(SplitDirections, PositiveZeroSlopeRises) {
    using T = TypeParam;
    const T big = std::numeric_limits<T>::max();
    // Falling, then a slope of 1 / inf = +0 (rising: a bottom at run 1), then
    // a tiny positive slope (still rising, no turn at run 2).
    const DirectionSets<T> sets = split_ok(merged_runs<T>(
        {{-big, 2}, {-big * T(0.75), 1}, {big * T(0.75), 2}, {big, 3}}));
    EXPECT_EQ(indices(sets.set_b), Indices{1});
    EXPECT_TRUE(sets.set_a.empty());
}

TYPED_TEST(SplitDirections, NanCoordinateMakesThreeTurns) {
    using T = TypeParam;
    const T nan = std::numeric_limits<T>::quiet_NaN();
    // The slopes into and out of run 4 are NaN: turns at runs 3 and 4 (both
    // set_b), and at run 5 because the previous sense is NaN (set_b, rising).
    const DirectionSets<T> sets = split_ok(merged_runs<T>(
        {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {nan, 4}, {5, 5}, {6, 6}, {7, 7}, {8, 8}}));
    EXPECT_TRUE(sets.set_a.empty());
    ASSERT_EQ(indices(sets.set_b), (Indices{3, 4, 5}));

    // Run 3 at (3, 3), first turn: both sets end in the starting record
    // (0, 0), whose x matches itself: 3^2 = 9 to the line; 9 + 9 = 18.
    EXPECT_EQ(sets.set_b[0].dist_prev_sq, T(18));
    EXPECT_EQ(sets.set_b[0].dist_line_sq, T(9));
    for (std::size_t i = 1; i < 3; ++i) {
        EXPECT_TRUE(std::isnan(sets.set_b[i].dist_prev_sq)) << "record " << i;
        EXPECT_TRUE(std::isnan(sets.set_b[i].dist_line_sq)) << "record " << i;
    }
    EXPECT_TRUE(std::isnan(sets.set_b[1].x));
    EXPECT_EQ(sets.set_b[2].x, T(5));
}

TYPED_TEST(SplitDirections, ReferenceLineWithMatchingXIsVertical) {
    using T = TypeParam;
    const T eps = std::numeric_limits<T>::epsilon();
    const T half_eps = eps / T(2);
    const T high = T(8) / eps;
    // Top at run 1 (0, 4), bottom at run 3 (eps / 2, -4), top at run 5
    // (3, 8 / eps). For run 5 the reference line runs through (0, 4) and
    // (eps / 2, -4), whose x match: the distance is the horizontal offset
    // (3 - eps / 2)^2, and 3 - eps / 2 rounds to 3. Through the slope form the
    // slightly tilted line would give about 3.5^2 at that height.
    const DirectionSets<T> sets = split_ok(merged_runs<T>(
        {{-1, 0}, {0, 4}, {1, 2}, {half_eps, -4}, {1, 0}, {3, high}, {4, 0}}));
    ASSERT_EQ(indices(sets.set_a), Indices{5});
    ASSERT_EQ(indices(sets.set_b), Indices{3});
    EXPECT_EQ(sets.set_a[0].dist_line_sq, T(9));

    // The offset is measured from B (the bottom at eps / 2), not from A: with
    // run 5 at x = 2 eps it is 1.5 eps, squared 2.25 eps^2 (from A it would be
    // 4 eps^2).
    const DirectionSets<T> near_a = split_ok(merged_runs<T>(
        {{-1, 0}, {0, 4}, {1, 2}, {half_eps, -4}, {1, 0}, {T(2) * eps, high}, {4, 0}}));
    ASSERT_EQ(indices(near_a.set_a), Indices{5});
    EXPECT_EQ(near_a.set_a[0].dist_line_sq, T(2.25) * eps * eps);

    // Run 3: line through (0, 4) and the starting record (-1, 0): k = 4,
    // r = (4 * eps / 2 + 4) + 4, where 4 + 2 eps ties back to 4, so r = 8 and
    // 64 / 17. From (-1, 0): 16 + (-1 - eps / 2)^2, which ties back to 17.
    EXPECT_EQ(sets.set_b[0].dist_line_sq, T(64) / T(17));
    EXPECT_EQ(sets.set_b[0].dist_prev_sq, T(17));
}

// Top at run 1 (2, 1), bottom at run 2 (0, -1), top at run 3 (2^25, 0). For
// run 3 the line through (2, 1) and (0, -1) has k = 1 and
// r = (2^25 * 1 - 0) + (1 - 2 * 1) = 2^25 - 1, with the intercept computed
// on its own before it is added.
TEST(SplitDirectionsRounding, LineDistanceInFloat) {
    const float big = std::ldexp(1.0f, 25);
    const DirectionSets<float> sets = split_ok(merged_runs<float>(
        {{1, 0}, {2, 1}, {0, -1}, {big, 0}, {big + 4.0f, -1}}));
    ASSERT_EQ(indices(sets.set_a), Indices{3});
    ASSERT_EQ(indices(sets.set_b), Indices{2});
    // In float 2^25 - 1 lies halfway between 2^25 - 2 and 2^25 and ties to
    // 2^25, so r^2 / 2 = 2^49. Adding 1 first and subtracting 2 afterwards
    // would give 2^25 - 2; computing r in double would give 2^49 - 2^25.
    EXPECT_EQ(sets.set_a[0].dist_line_sq, std::ldexp(1.0f, 49));
}

TEST(SplitDirectionsRounding, LineDistanceInDouble) {
    const double big = std::ldexp(1.0, 25);
    const DirectionSets<double> sets = split_ok(merged_runs<double>(
        {{1, 0}, {2, 1}, {0, -1}, {big, 0}, {big + 4.0, -1}}));
    ASSERT_EQ(indices(sets.set_a), Indices{3});
    // In double r = 2^25 - 1 is exact: (2^50 - 2^26 + 1) / 2.
    EXPECT_EQ(sets.set_a[0].dist_line_sq,
              std::ldexp(1.0, 49) - std::ldexp(1.0, 25) + 0.5);
}

// The squared distance from P to the line through A and B, grouped as the
// direction split groups it: (P.x * k - P.y) + (A.y - A.x * k).
template <class T>
T line_distance_as_grouped(std::pair<T, T> a, std::pair<T, T> b, std::pair<T, T> p) {
    const T k = (b.second - a.second) / (b.first - a.first);
    const T r = (p.first * k - p.second) + (a.second - a.first * k);
    return (r * r) / (k * k + T(1));
}

// The same with the intercept folded into y first: P.x * k - (P.y - (A.y - A.x * k)).
template <class T>
T line_distance_regrouped(std::pair<T, T> a, std::pair<T, T> b, std::pair<T, T> p) {
    const T k = (b.second - a.second) / (b.first - a.first);
    const T r = p.first * k - (p.second - (a.second - a.first * k));
    return (r * r) / (k * k + T(1));
}

template <class T>
bool same_bits(T a, T b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

// Merged runs whose turns are a top at A (run 1), a bottom at B (run 2) and
// a top at P (run 3): the record of run 3 is measured against the line
// through A and B.
template <class T>
T line_distance_of_third_turn(std::pair<T, T> a, std::pair<T, T> b, std::pair<T, T> p) {
    const T low = std::min({a.second, b.second, p.second}) - T(100);
    const DirectionSets<T> sets = split_ok(merged_runs<T>(
        {{a.first - T(1), low}, a, b, p, {p.first + T(1), low}}));
    EXPECT_EQ(indices(sets.set_a), Indices{3});
    EXPECT_EQ(indices(sets.set_b), Indices{2});
    return sets.set_a.empty() ? std::numeric_limits<T>::quiet_NaN() : sets.set_a[0].dist_line_sq;
}

TEST(SplitDirectionsRounding, LineDistanceKeepsItsGroupingBitForBit) {
    // In float the two groupings round apart here: 5047.6748 against 5047.67383.
    const std::pair<float, float> a{-30.0f, -29.0f}, b{-4.0f, -39.0f}, p{-4.44f, 37.29f};
    const float grouped = line_distance_as_grouped(a, b, p);
    ASSERT_FALSE(same_bits(grouped, line_distance_regrouped(a, b, p)));
    EXPECT_TRUE(same_bits(line_distance_of_third_turn(a, b, p), grouped))
        << line_distance_of_third_turn(a, b, p) << " vs " << grouped;
}

TYPED_TEST(SplitDirections, LineDistanceKeepsItsGroupingOnRandomPoints) {
    using T = TypeParam;
    // Random tops and bottoms with two decimals; only the cases where the
    // grouping changes the rounded result are checked, and there must be
    // plenty of them.
    std::mt19937_64 random(5047);
    std::uniform_int_distribution<int> coordinate(-5000, 5000);
    auto point = [&](T dy) {
        return std::pair<T, T>{static_cast<T>(coordinate(random) / 100.0),
                               static_cast<T>(coordinate(random) / 100.0) + dy};
    };
    int telling = 0;
    for (int trial = 0; trial < 20000 && telling < 200; ++trial) {
        const auto a = point(T(0));
        const auto b = point(T(-101));  // below A
        const auto p = point(T(101));   // above B
        if (matches(a.first, b.first) || matches(b.first, p.first) || matches(a.first, p.first)) {
            continue;
        }
        const T grouped = line_distance_as_grouped(a, b, p);
        if (same_bits(grouped, line_distance_regrouped(a, b, p))) {
            continue;
        }
        ++telling;
        SCOPED_TRACE(::testing::Message() << "A (" << a.first << ", " << a.second << "), B ("
                                          << b.first << ", " << b.second << "), P (" << p.first
                                          << ", " << p.second << ")");
        ASSERT_TRUE(same_bits(line_distance_of_third_turn(a, b, p), grouped));
    }
    EXPECT_GE(telling, 50);
}

TYPED_TEST(SplitDirections, ReferenceLineThroughEqualX) {
    using T = TypeParam;
    // Top at run 1 (2, 4) and bottom at run 3 (2, -4) have the same x. Run 5
    // at (5, 4) is then 3 away horizontally: 9 (the slope form would divide
    // by zero).
    const DirectionSets<T> sets = split_ok(merged_runs<T>(
        {{0, 0}, {2, 4}, {3, 0}, {2, -4}, {4, 0}, {5, 4}, {6, 0}}));
    ASSERT_EQ(indices(sets.set_a), Indices{5});
    ASSERT_EQ(indices(sets.set_b), Indices{3});
    EXPECT_EQ(sets.set_a[0].dist_line_sq, T(9));
    // From run 1 (2, 4): 0 + 9.
    EXPECT_EQ(sets.set_a[0].dist_prev_sq, T(9));
}

}  // namespace
}  // namespace rasterloom::core
