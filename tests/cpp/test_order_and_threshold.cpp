// Candidate ordering (joining the tops and bottoms in path order) and the
// distance threshold derived from the median line distance.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/distance_threshold.hpp"
#include "core/order_candidates.hpp"

namespace rasterloom::core {
namespace {

template <class T>
class OrderCandidates : public ::testing::Test {};
template <class T>
class DistanceThreshold : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(OrderCandidates, ElementTypes);
TYPED_TEST_SUITE(DistanceThreshold, ElementTypes);

// A record for merged run `index`; `tag` goes into dist_prev_sq so that a
// record can be traced back to its set.
template <class T>
TurnCandidate<T> record(std::uint64_t index, T tag) {
    return TurnCandidate<T>{index,          tag,           T(0.5) * tag, static_cast<T>(index),
                            T(-1) * tag, 10 * index, 10 * index + 3};
}

template <class T>
List<TurnCandidate<T>> records(const std::vector<std::uint64_t>& run_indices, T tag) {
    List<TurnCandidate<T>> result;
    for (std::uint64_t index : run_indices) {
        result.push_back(record(index, tag));
    }
    return result;
}

template <class T>
void expect_same_record(const TurnCandidate<T>& actual, const TurnCandidate<T>& expected) {
    EXPECT_EQ(actual.run_index, expected.run_index);
    EXPECT_EQ(actual.dist_prev_sq, expected.dist_prev_sq);
    EXPECT_EQ(actual.dist_line_sq, expected.dist_line_sq);
    EXPECT_EQ(actual.x, expected.x);
    EXPECT_EQ(actual.y, expected.y);
    EXPECT_EQ(actual.first, expected.first);
    EXPECT_EQ(actual.last, expected.last);
}

TYPED_TEST(OrderCandidates, EmptyAndOneSidedSets) {
    using T = TypeParam;
    EXPECT_TRUE(order_candidates<T>({}, {}).empty());

    const List<TurnCandidate<T>> bottoms = records<T>({3, 5, 9}, T(2));
    const List<TurnCandidate<T>> only_b = order_candidates<T>({}, bottoms);
    ASSERT_EQ(only_b.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        expect_same_record(only_b[i], bottoms[i]);
    }

    const List<TurnCandidate<T>> only_a = order_candidates<T>(records<T>({7}, T(1)), {});
    ASSERT_EQ(only_a.size(), 1u);
    expect_same_record(only_a[0], record<T>(7, T(1)));
}

TYPED_TEST(OrderCandidates, TopAfterBottomComesSecond) {
    using T = TypeParam;
    // set_a holds run 6, set_b run 4: the list is run 4, then run 6, with
    // every field carried along.
    const List<TurnCandidate<T>> candidates =
        order_candidates<T>(records<T>({6}, T(1)), records<T>({4}, T(2)));
    ASSERT_EQ(candidates.size(), 2u);
    expect_same_record(candidates[0], record<T>(4, T(2)));
    expect_same_record(candidates[1], record<T>(6, T(1)));
}

TYPED_TEST(OrderCandidates, InterleavesElevenAndElevenRecords) {
    using T = TypeParam;
    std::vector<std::uint64_t> tops;
    std::vector<std::uint64_t> bottoms;
    for (std::uint64_t i = 0; i < 11; ++i) {
        tops.push_back(2 * i + 1);     // 1, 3, ..., 21
        bottoms.push_back(2 * i + 2);  // 2, 4, ..., 22
    }
    const List<TurnCandidate<T>> candidates =
        order_candidates<T>(records<T>(tops, T(1)), records<T>(bottoms, T(2)));
    ASSERT_EQ(candidates.size(), 22u);
    for (std::uint64_t i = 0; i < 22; ++i) {
        const T tag = i % 2 == 0 ? T(1) : T(2);
        expect_same_record(candidates[i], record<T>(i + 1, tag));
    }
}

TYPED_TEST(OrderCandidates, UnevenInterleaving) {
    using T = TypeParam;
    const List<TurnCandidate<T>> candidates =
        order_candidates<T>(records<T>({1, 2, 3, 10, 11}, T(1)), records<T>({4, 5, 12}, T(2)));
    const std::vector<std::uint64_t> expected_index{1, 2, 3, 4, 5, 10, 11, 12};
    const std::vector<T> expected_tag{1, 1, 1, 2, 2, 1, 1, 2};
    ASSERT_EQ(candidates.size(), expected_index.size());
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        expect_same_record(candidates[i], record<T>(expected_index[i], expected_tag[i]));
    }
}

// The merge of two ascending sets must give what the stable sort of their
// concatenation gives, also with indices shared between the sets (set_a's
// record first) and with sets that are not ascending at all.
TYPED_TEST(OrderCandidates, EqualsTheStableSortOfTheConcatenation) {
    using T = TypeParam;
    std::mt19937_64 random(99);
    for (int trial = 0; trial < 300; ++trial) {
        const bool ascending = trial % 3 != 0;
        std::vector<std::uint64_t> a(random() % 40), b(random() % 40);
        for (auto& index : a) index = random() % 30;
        for (auto& index : b) index = random() % 30;
        if (ascending) {
            std::sort(a.begin(), a.end());
            std::sort(b.begin(), b.end());
        }
        List<TurnCandidate<T>> expected = records<T>(a, T(1));
        const List<TurnCandidate<T>> tops_b = records<T>(b, T(2));
        expected.insert(expected.end(), tops_b.begin(), tops_b.end());
        std::stable_sort(expected.begin(), expected.end(),
                         [](const auto& l, const auto& r) { return l.run_index < r.run_index; });

        const List<TurnCandidate<T>> actual = order_candidates<T>(records<T>(a, T(1)), tops_b);
        ASSERT_EQ(actual.size(), expected.size());
        for (std::size_t i = 0; i < actual.size(); ++i) {
            SCOPED_TRACE(::testing::Message() << "trial " << trial << " position " << i);
            expect_same_record(actual[i], expected[i]);
        }
    }
}

// Candidates whose dist_line_sq are the given values, in this order.
template <class T>
List<TurnCandidate<T>> with_line_distances(const std::vector<T>& values) {
    List<TurnCandidate<T>> candidates;
    for (std::size_t i = 0; i < values.size(); ++i) {
        candidates.push_back(
            TurnCandidate<T>{i + 1, T(1), values[i], T(0), T(0), 2 * i, 2 * i + 1});
    }
    return candidates;
}

TYPED_TEST(DistanceThreshold, Constants) {
    using T = TypeParam;
    EXPECT_EQ(MIN_LINE_DIST_SQ<T>, static_cast<T>(1e-8));
    EXPECT_EQ(THRESHOLD_FACTOR<T>, T(100));
    EXPECT_EQ(THRESHOLD_FLOOR<T>, T(1));
    // In float the limit is the float nearest to 1e-8.
    EXPECT_EQ(MIN_LINE_DIST_SQ<float>, 9.99999994e-9f);
}

TYPED_TEST(DistanceThreshold, NothingCollectedGivesTheFloor) {
    using T = TypeParam;
    const T nan = std::numeric_limits<T>::quiet_NaN();
    EXPECT_EQ(compute_distance_threshold(List<TurnCandidate<T>>{}), T(1));
    EXPECT_EQ(compute_distance_threshold(with_line_distances<T>({0, 0, 0})), T(1));
    EXPECT_EQ(compute_distance_threshold(with_line_distances<T>({nan, nan})), T(1));
    const T limit = static_cast<T>(1e-8);
    EXPECT_EQ(compute_distance_threshold(with_line_distances<T>({limit, limit, limit})), T(1));
    EXPECT_EQ(compute_distance_threshold(with_line_distances<T>({T(-5), T(-0.0)})), T(1));
}

TYPED_TEST(DistanceThreshold, MedianIsTheValueAtHalfTheCount) {
    using T = TypeParam;
    // Odd count: sorted 2, 4, 8, position 1.
    EXPECT_EQ(compute_distance_threshold(with_line_distances<T>({4, 8, 2})), T(400));
    // Even count: sorted 1, 2, 3, 4, position 2 (the upper middle, no mean).
    EXPECT_EQ(compute_distance_threshold(with_line_distances<T>({1, 2, 3, 4})), T(300));
    EXPECT_EQ(compute_distance_threshold(with_line_distances<T>({4, 3, 2, 1})), T(300));
    EXPECT_EQ(compute_distance_threshold(with_line_distances<T>({3, 1, 4, 2})), T(300));
    // Two candidates each 8 away from their lines.
    EXPECT_EQ(compute_distance_threshold(with_line_distances<T>({8, 8})), T(800));
    // One candidate: computed all the same.
    EXPECT_EQ(compute_distance_threshold(with_line_distances<T>({T(2.5)})), T(250));
}

TYPED_TEST(DistanceThreshold, ValuesNotAboveTheLimitAreLeftOut) {
    using T = TypeParam;
    const T nan = std::numeric_limits<T>::quiet_NaN();
    // Only 5 is collected.
    EXPECT_EQ(compute_distance_threshold(with_line_distances<T>({0, nan, static_cast<T>(1e-8),
                                                                 5, -3})),
              T(500));
    // The limit itself is left out: collected 2, 3, median 3.
    const T limit = static_cast<T>(1e-8);
    EXPECT_EQ(compute_distance_threshold(with_line_distances<T>({limit, 2, 3})), T(300));
    // The next value up is collected: 2 of (tiny, 2, 3), median 2.
    const T above = std::nextafter(limit, T(1));
    EXPECT_EQ(compute_distance_threshold(with_line_distances<T>({above, 2, 3})), T(200));
}

TYPED_TEST(DistanceThreshold, NanIsNeverCollected) {
    using T = TypeParam;
    const T nan = std::numeric_limits<T>::quiet_NaN();
    // Only 7 is collected; with the NaN values counted the median position
    // would be 2 of 5.
    EXPECT_EQ(compute_distance_threshold(with_line_distances<T>({nan, nan, nan, nan, 7})),
              T(700));
    EXPECT_EQ(compute_distance_threshold(with_line_distances<T>({2, nan, 3, nan, nan})),
              T(300));
}

TYPED_TEST(DistanceThreshold, SmallMedianIsRaisedToTheFloor) {
    using T = TypeParam;
    // 0.005 * 100 = 0.5 (about), below the floor.
    EXPECT_EQ(compute_distance_threshold(with_line_distances<T>({T(0.005)})), T(1));
    // Above the floor the product is kept.
    EXPECT_EQ(compute_distance_threshold(with_line_distances<T>({T(0.005), T(0.5)})), T(50));
}

TYPED_TEST(DistanceThreshold, InfiniteMedianGivesInfiniteThreshold) {
    using T = TypeParam;
    const T inf = std::numeric_limits<T>::infinity();
    EXPECT_EQ(compute_distance_threshold(with_line_distances<T>({inf})), inf);
    EXPECT_EQ(compute_distance_threshold(with_line_distances<T>({inf, T(1), inf})), inf);
    // An infinity above the median does not move it.
    EXPECT_EQ(compute_distance_threshold(with_line_distances<T>({inf, T(1), T(2)})), T(200));
}

TEST(DistanceThresholdFloat, ProductOverflowsInFloat) {
    // A finite median whose product with 100 is beyond the float range.
    const float big = std::numeric_limits<float>::max() / 50.0f;
    EXPECT_EQ(compute_distance_threshold(with_line_distances<float>({big})),
              std::numeric_limits<float>::infinity());
}

}  // namespace
}  // namespace rasterloom::core
