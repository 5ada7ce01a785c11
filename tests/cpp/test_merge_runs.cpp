// Run merging: grouping by the key y, the run-weighted mean of x, and the
// partition of the points by the merged runs.
#include <gtest/gtest.h>

#include "support.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/detect_runs.hpp"
#include "core/chunked.hpp"
#include "core/merge_runs.hpp"

namespace rasterloom::core {
namespace {

template <class T>
class MergeRuns : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(MergeRuns, ElementTypes);

// Point runs with the given (x, y) and point counts, laid out back to back
// from point 0.
template <class T>
List<Run<T>> point_runs(const std::vector<T>& xs, const std::vector<T>& ys,
                        const std::vector<std::uint64_t>& counts) {
    List<Run<T>> runs;
    std::uint64_t next = 0;
    for (std::size_t i = 0; i < xs.size(); ++i) {
        runs.push_back(Run<T>{xs[i], ys[i], next, next + counts[i] - 1});
        next += counts[i];
    }
    return runs;
}

TYPED_TEST(MergeRuns, SinglePointRunIsReturnedUnchanged) {
    using T = TypeParam;
    const List<Run<T>> runs{Run<T>{T(2.5), T(-7), 0, 3}};
    const List<Run<T>> merged = merge_runs(runs);
    ASSERT_EQ(merged.size(), 1u);
    EXPECT_EQ(merged[0], (Run<T>{T(2.5), T(-7), 0, 3}));
}

TYPED_TEST(MergeRuns, MeanOfXCountsEachPointRunOnce) {
    using T = TypeParam;
    // Points x = [0, 1, 2, 2, 2], y = 5 everywhere: the point runs hold 1, 1
    // and 3 points. Run-weighted mean (0 + 1 + 2) / 3 = 1; the point-weighted
    // mean would be 7 / 5 = 1.4.
    const std::vector<T> x{0, 1, 2, 2, 2};
    const std::vector<T> y{5, 5, 5, 5, 5};
    const Points<T> px{reinterpret_cast<const unsigned char*>(x.data()), x.size()};
    const Points<T> py{reinterpret_cast<const unsigned char*>(y.data()), y.size()};
    const List<Run<T>> runs = detect_runs_in_range(px, py, 0, 5);
    ASSERT_EQ(runs.size(), 3u);

    const List<Run<T>> merged = merge_runs(runs);
    ASSERT_EQ(merged.size(), 1u);
    EXPECT_EQ(merged[0], (Run<T>{T(1), T(5), 0, 4}));
}

TYPED_TEST(MergeRuns, YIsTheKeyNotAMean) {
    using T = TypeParam;
    const T eps = std::numeric_limits<T>::epsilon();
    // The second and third y lie half an epsilon above the first (exactly
    // representable near 0.25); the merged y stays the first one exactly,
    // where a mean would be a third of an epsilon higher.
    const T above = T(0.25) + eps / T(2);
    const List<Run<T>> runs = point_runs<T>({0, 1, 2}, {T(0.25), above, above}, {2, 2, 2});
    const List<Run<T>> merged = merge_runs(runs);
    ASSERT_EQ(merged.size(), 1u);
    EXPECT_EQ(merged[0], (Run<T>{T(1), T(0.25), 0, 5}));
}

TYPED_TEST(MergeRuns, EachPointRunIsComparedWithTheKey) {
    using T = TypeParam;
    const T eps = std::numeric_limits<T>::epsilon();
    // 0.75 eps matches the key 0; 1.5 eps matches 0.75 eps but not the key.
    const List<Run<T>> runs =
        point_runs<T>({0, 1, 2}, {T(0), T(0.75) * eps, T(1.5) * eps}, {1, 2, 3});
    const List<Run<T>> merged = merge_runs(runs);
    ASSERT_EQ(merged.size(), 2u);
    EXPECT_EQ(merged[0], (Run<T>{T(0.5), T(0), 0, 2}));
    EXPECT_EQ(merged[1], (Run<T>{T(2), T(1.5) * eps, 3, 5}));
}

TYPED_TEST(MergeRuns, ExactlyEpsilonApartStaysApart) {
    using T = TypeParam;
    const T eps = std::numeric_limits<T>::epsilon();
    const List<Run<T>> near_one = point_runs<T>({0, 1}, {T(1), T(1) + eps}, {1, 1});
    EXPECT_EQ(merge_runs(near_one).size(), 2u);
    const List<Run<T>> near_zero = point_runs<T>({0, 1}, {T(0), -eps}, {1, 1});
    EXPECT_EQ(merge_runs(near_zero).size(), 2u);
    // Just inside the tolerance they merge.
    const List<Run<T>> inside = point_runs<T>({0, 1}, {T(0), eps / T(2)}, {1, 1});
    EXPECT_EQ(merge_runs(inside).size(), 1u);
}

TYPED_TEST(MergeRuns, NanYIsAGroupOfItsOwn) {
    using T = TypeParam;
    const T nan = std::numeric_limits<T>::quiet_NaN();
    const List<Run<T>> runs = point_runs<T>({0, 1, 2, 3}, {T(5), nan, T(5), T(5)}, {1, 1, 1, 1});
    const List<Run<T>> merged = merge_runs(runs);
    ASSERT_EQ(merged.size(), 3u);
    EXPECT_EQ(merged[0], (Run<T>{T(0), T(5), 0, 0}));
    EXPECT_EQ(merged[1].x, T(1));
    EXPECT_TRUE(std::isnan(merged[1].y));
    EXPECT_EQ(merged[1].first, 1u);
    EXPECT_EQ(merged[1].last, 1u);
    // The point run after the NaN opens a new group, which then grows.
    EXPECT_EQ(merged[2], (Run<T>{T(2.5), T(5), 2, 3}));

    // Two NaN keys in a row do not match each other either.
    const List<Run<T>> two_nans = point_runs<T>({0, 1}, {nan, nan}, {1, 1});
    EXPECT_EQ(merge_runs(two_nans).size(), 2u);
}

TYPED_TEST(MergeRuns, AlternatingYIsNeverMerged) {
    using T = TypeParam;
    const List<Run<T>> runs = point_runs<T>({0, 1, 2, 3}, {5, 6, 5, 6}, {2, 1, 3, 1});
    const List<Run<T>> merged = merge_runs(runs);
    ASSERT_EQ(merged.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(merged[i], runs[i]) << "run " << i;
    }
}

TYPED_TEST(MergeRuns, MergedRunsPartitionThePoints) {
    using T = TypeParam;
    const List<Run<T>> runs = point_runs<T>({0, 1, 2, 3, 4, 5, 6}, {1, 1, 2, 3, 3, 3, 1},
                                            {3, 1, 4, 1, 1, 2, 5});
    const List<Run<T>> merged = merge_runs(runs);
    // Groups: runs 0-1 (y 1), run 2 (y 2), runs 3-5 (y 3), run 6 (y 1).
    ASSERT_EQ(merged.size(), 4u);
    EXPECT_EQ(merged[0], (Run<T>{T(0.5), T(1), 0, 3}));
    EXPECT_EQ(merged[1], (Run<T>{T(2), T(2), 4, 7}));
    EXPECT_EQ(merged[2], (Run<T>{T(4), T(3), 8, 11}));
    EXPECT_EQ(merged[3], (Run<T>{T(6), T(1), 12, 16}));
    expect_partition(merged, 17);
}

TEST(MergeRunsFloat, XIsSummedInFloat) {
    // 1 + 2^-24 rounds back to 1 in float, twice, so the sum stays 1 and the
    // mean is 1/3 in float. Summing in double would give (1 + 2^-23) / 3,
    // which rounds to the next float up.
    const float tiny = std::ldexp(1.0f, -24);
    // (Spelled core::Run: inside a TEST body, Run names the fixture's method.)
    using FloatRun = core::Run<float>;
    const List<FloatRun> runs{FloatRun{1.0f, 5.0f, 0, 0}, FloatRun{tiny, 5.0f, 1, 1},
                              FloatRun{tiny, 5.0f, 2, 2}};
    const List<FloatRun> merged = merge_runs(runs);
    ASSERT_EQ(merged.size(), 1u);
    EXPECT_EQ(merged[0].x, 1.0f / 3.0f);
    EXPECT_NE(merged[0].x, static_cast<float>((1.0 + std::ldexp(1.0, -23)) / 3.0));
}

TYPED_TEST(MergeRuns, InRangeCoversOnlyItsPointRuns) {
    using T = TypeParam;
    const List<Run<T>> runs = point_runs<T>({0, 1, 2, 3}, {5, 5, 5, 6}, {1, 1, 1, 1});
    // A range opens a fresh group at its first point run.
    const List<Run<T>> middle = merge_runs_in_range(runs, 1, 4);
    ASSERT_EQ(middle.size(), 2u);
    EXPECT_EQ(middle[0], (Run<T>{T(1.5), T(5), 1, 2}));
    EXPECT_EQ(middle[1], (Run<T>{T(3), T(6), 3, 3}));

    const List<Run<T>> last = merge_runs_in_range(runs, 3, 4);
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0], runs[3]);

    EXPECT_TRUE(merge_runs_in_range(runs, 2, 2).empty());
    EXPECT_TRUE(merge_runs_in_range(runs, 3, 1).empty());
}

}  // namespace
}  // namespace rasterloom::core
