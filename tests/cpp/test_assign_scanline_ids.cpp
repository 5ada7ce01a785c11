// Scanline id assignment: the distance test, the reversal tests, the ranges
// written between accepted turns, and the int32 limit on ids.
#include <gtest/gtest.h>

#include "support.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "core/assign_scanline_ids.hpp"

namespace rasterloom::core {
namespace {

template <class T>
class AssignScanlineIds : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(AssignScanlineIds, ElementTypes);

template <class T>
TurnCandidate<T> candidate(std::uint64_t run_index, T x, T y, std::uint64_t first,
                           std::uint64_t last, T dist_prev_sq, T dist_line_sq) {
    return TurnCandidate<T>{run_index, dist_prev_sq, dist_line_sq, x, y, first, last};
}

// Four alternating turn-arounds: (0.5, 10) points 10-11, (1.5, 0) 22-23,
// (2.5, 10) 34-35, (3.5, 0) 46-47, each with dist_prev_sq 4 and dist_line_sq
// 400 / 101. Successive displacements are (1, -10) and (1, 10): dot product
// -99, squared cosine 9801 / 10201, above 0.75.
template <class T>
List<TurnCandidate<T>> four_turns() {
    const T line = T(400) / T(101);
    return {candidate<T>(1, T(0.5), T(10), 10, 11, T(4), line),
            candidate<T>(3, T(1.5), T(0), 22, 23, T(4), line),
            candidate<T>(5, T(2.5), T(10), 34, 35, T(4), line),
            candidate<T>(7, T(3.5), T(0), 46, 47, T(4), line)};
}

Labels all_unlabelled(std::uint64_t n) { return Labels(n, NO_SCANLINE); }

const Labels kFourTurnLabels =
    labels_of({{0, 11, -1}, {12, 22, 1}, {23, 34, 2}, {35, 46, 3}, {47, 59, -1}});

TYPED_TEST(AssignScanlineIds, Constants) {
    using T = TypeParam;
    EXPECT_EQ(PREV_DIST_FACTOR<T>, T(0.5));
    EXPECT_EQ(REVERSAL_COS_SQ<T>, T(0.75));
}

TYPED_TEST(AssignScanlineIds, FewerThanTwoCandidatesLabelNothing) {
    using T = TypeParam;
    const T inf = std::numeric_limits<T>::infinity();
    EXPECT_EQ(assign_scanline_ids(List<TurnCandidate<T>>{}, T(400), 60), all_unlabelled(60));
    List<TurnCandidate<T>> one = four_turns<T>();
    one.resize(1);
    EXPECT_EQ(assign_scanline_ids(one, T(400), 60), all_unlabelled(60));
    EXPECT_EQ(assign_scanline_ids(one, inf, 5), all_unlabelled(5));
}

TYPED_TEST(AssignScanlineIds, FourAcceptedTurns) {
    using T = TypeParam;
    // C_1 by its forward test, C_2 by both, C_3 by its backward test. The
    // first range starts after C_0's run, every range ends at the earlier
    // middle point of the closing run, and the points after C_3's middle keep
    // -1.
    EXPECT_EQ(assign_scanline_ids(four_turns<T>(), T(400), 60), kFourTurnLabels);
}

TYPED_TEST(AssignScanlineIds, DistanceRejectionClosesTheOpenRange) {
    using T = TypeParam;
    List<TurnCandidate<T>> candidates = four_turns<T>();
    candidates[2].dist_prev_sq = T(1000);
    // C_2 fails the distance test: id 2 ends just before its run. C_3 is still
    // accepted (backward test against P_2 and P_1) and, with nothing open,
    // starts after C_2's run.
    const Labels expected = labels_of(
        {{0, 11, -1}, {12, 22, 1}, {23, 33, 2}, {34, 35, -1}, {36, 46, 3}, {47, 59, -1}});
    EXPECT_EQ(assign_scanline_ids(candidates, T(400), 60), expected);
}

TYPED_TEST(AssignScanlineIds, SecondDistanceConditionRejects) {
    using T = TypeParam;
    List<TurnCandidate<T>> candidates = four_turns<T>();
    // Half of 9 is above 4: C_2 is rejected although 9 is below the threshold.
    candidates[2].dist_prev_sq = T(9);
    candidates[2].dist_line_sq = T(4);
    const Labels expected = labels_of(
        {{0, 11, -1}, {12, 22, 1}, {23, 33, 2}, {34, 35, -1}, {36, 46, 3}, {47, 59, -1}});
    EXPECT_EQ(assign_scanline_ids(candidates, T(400), 60), expected);
}

TYPED_TEST(AssignScanlineIds, DistanceTestEqualityPasses) {
    using T = TypeParam;
    // dist_prev_sq equal to the threshold passes ...
    EXPECT_EQ(assign_scanline_ids(four_turns<T>(), T(4), 60), kFourTurnLabels);
    // ... and just below it every candidate fails.
    EXPECT_EQ(assign_scanline_ids(four_turns<T>(), std::nextafter(T(4), T(0)), 60),
              all_unlabelled(60));

    // dist_line_sq equal to half of dist_prev_sq passes ...
    List<TurnCandidate<T>> half = four_turns<T>();
    for (TurnCandidate<T>& c : half) {
        c.dist_line_sq = T(2);
    }
    EXPECT_EQ(assign_scanline_ids(half, T(400), 60), kFourTurnLabels);
    // ... and just below it every candidate fails.
    for (TurnCandidate<T>& c : half) {
        c.dist_line_sq = std::nextafter(T(2), T(0));
    }
    EXPECT_EQ(assign_scanline_ids(half, T(400), 60), all_unlabelled(60));
}

TYPED_TEST(AssignScanlineIds, NanDistancesPass) {
    using T = TypeParam;
    const T nan = std::numeric_limits<T>::quiet_NaN();
    List<TurnCandidate<T>> candidates = four_turns<T>();
    for (TurnCandidate<T>& c : candidates) {
        c.dist_prev_sq = nan;
        c.dist_line_sq = nan;
    }
    EXPECT_EQ(assign_scanline_ids(candidates, T(400), 60), kFourTurnLabels);
    // A NaN threshold rejects nothing either.
    EXPECT_EQ(assign_scanline_ids(four_turns<T>(), nan, 60), kFourTurnLabels);
}

TYPED_TEST(AssignScanlineIds, CollinearCandidatesAreNoTurns) {
    using T = TypeParam;
    const List<TurnCandidate<T>> candidates{candidate<T>(1, T(0), T(0), 2, 3, T(1), T(1)),
                                            candidate<T>(3, T(1), T(1), 6, 7, T(1), T(1)),
                                            candidate<T>(5, T(3), T(3), 10, 11, T(1), T(1))};
    EXPECT_EQ(assign_scanline_ids(candidates, T(400), 15), all_unlabelled(15));
}

TYPED_TEST(AssignScanlineIds, ReversalBelowOneHundredFiftyDegreesIsNoTurn) {
    using T = TypeParam;
    // Displacements (1, -1) and (1, 1) meet at 90 degrees; (1, -2) and (1, 2)
    // have a squared cosine of 9 / 25 = 0.36; both below 0.75.
    const List<TurnCandidate<T>> right_angle{candidate<T>(1, T(0), T(1), 2, 3, T(1), T(1)),
                                             candidate<T>(3, T(1), T(0), 6, 7, T(1), T(1)),
                                             candidate<T>(5, T(2), T(1), 10, 11, T(1), T(1))};
    EXPECT_EQ(assign_scanline_ids(right_angle, T(400), 15), all_unlabelled(15));
    const List<TurnCandidate<T>> wide{candidate<T>(1, T(0), T(2), 2, 3, T(1), T(1)),
                                      candidate<T>(3, T(1), T(0), 6, 7, T(1), T(1)),
                                      candidate<T>(5, T(2), T(2), 10, 11, T(1), T(1))};
    EXPECT_EQ(assign_scanline_ids(wide, T(400), 15), all_unlabelled(15));
    // (1, -4) and (1, 4): squared cosine 225 / 289, about 0.78: a turn.
    const List<TurnCandidate<T>> sharp{candidate<T>(1, T(0), T(4), 2, 3, T(1), T(1)),
                                       candidate<T>(3, T(1), T(0), 6, 7, T(1), T(1)),
                                       candidate<T>(5, T(2), T(4), 10, 11, T(1), T(1))};
    // C_1 accepted by its forward test (range 4..6), C_2 by its backward test
    // (range 7..10).
    EXPECT_EQ(assign_scanline_ids(sharp, T(400), 15),
              labels_of({{0, 3, -1}, {4, 6, 1}, {7, 10, 2}, {11, 14, -1}}));
}

TYPED_TEST(AssignScanlineIds, TurnRejectionClosesTheOpenRange) {
    using T = TypeParam;
    List<TurnCandidate<T>> candidates = four_turns<T>();
    // C_3 continues C_2's direction (1, 10): neither reversal test holds, so
    // the stretch opened at C_2 is closed, with id 3, just before C_3's run.
    candidates[3].y = T(20);
    const Labels expected =
        labels_of({{0, 11, -1}, {12, 22, 1}, {23, 34, 2}, {35, 45, 3}, {46, 59, -1}});
    EXPECT_EQ(assign_scanline_ids(candidates, T(400), 60), expected);
}

TYPED_TEST(AssignScanlineIds, MiddlePointOfTheTurnRun) {
    using T = TypeParam;
    // C_1 with three points (22-24): mid 23; C_2 with one point: mid 34.
    List<TurnCandidate<T>> candidates = four_turns<T>();
    candidates[1].last = 24;
    candidates[2].last = 34;
    const Labels expected =
        labels_of({{0, 11, -1}, {12, 23, 1}, {24, 34, 2}, {35, 46, 3}, {47, 59, -1}});
    EXPECT_EQ(assign_scanline_ids(candidates, T(400), 60), expected);
    // Two points (22-23) give mid 22, the earlier middle point, as in the
    // four-turn example.
    EXPECT_EQ(assign_scanline_ids(four_turns<T>(), T(400), 60)[22], 1);
    EXPECT_EQ(assign_scanline_ids(four_turns<T>(), T(400), 60)[23], 2);
}

TYPED_TEST(AssignScanlineIds, EmptyClosingRangeUsesUpAnId) {
    using T = TypeParam;
    const T line = T(400) / T(101);
    // C_1 is a single point (mid 22, cursor 23) and the rejected C_2 starts
    // right at 23: the closing range is empty, yet id 2 is used up and the
    // next stretch gets 3.
    const List<TurnCandidate<T>> candidates{
        candidate<T>(1, T(0.5), T(10), 10, 11, T(4), line),
        candidate<T>(3, T(1.5), T(0), 22, 22, T(4), line),
        candidate<T>(5, T(2.5), T(10), 23, 24, T(1000), line),
        candidate<T>(7, T(3.5), T(0), 36, 37, T(4), line),
        candidate<T>(9, T(4.5), T(10), 48, 49, T(4), line)};
    const Labels expected = labels_of(
        {{0, 11, -1}, {12, 22, 1}, {23, 24, -1}, {25, 36, 3}, {37, 48, 4}, {49, 59, -1}});
    EXPECT_EQ(assign_scanline_ids(candidates, T(400), 60), expected);
}

TYPED_TEST(AssignScanlineIds, WritesStopAtTheLabelCount) {
    using T = TypeParam;
    // Candidate runs beyond the 30 labels are cut off instead of written.
    const Labels expected = labels_of({{0, 11, -1}, {12, 22, 1}, {23, 29, 2}});
    EXPECT_EQ(assign_scanline_ids(four_turns<T>(), T(400), 30), expected);
    EXPECT_EQ(assign_scanline_ids(four_turns<T>(), T(400), 5), all_unlabelled(5));
}

TEST(AssignScanlineIdsLimit, IdsUpToInt32MaxAreWritten) {
    constexpr std::uint64_t max_id = std::numeric_limits<std::int32_t>::max();
    // Starting two below the limit, the three stretches get max - 2 .. max.
    const Labels labels =
        detail::assign_scanline_ids_from(four_turns<double>(), 400.0, 60, max_id - 2);
    const auto top = std::numeric_limits<std::int32_t>::max();
    EXPECT_EQ(labels, labels_of({{0, 11, -1},
                                 {12, 22, top - 2},
                                 {23, 34, top - 1},
                                 {35, 46, top},
                                 {47, 59, -1}}));
}

TEST(AssignScanlineIdsLimit, IdAboveInt32MaxIsAnInternalFailure) {
    constexpr std::uint64_t max_id = std::numeric_limits<std::int32_t>::max();
    // The third stretch would get max + 1.
    try {
        (void)detail::assign_scanline_ids_from(four_turns<double>(), 400.0, 60, max_id - 1);
        FAIL() << "no failure for an id above the int32 range";
    } catch (const InternalFailure& failure) {
        EXPECT_EQ(failure.message(), "number of scanlines exceeds the int32 range");
    }
    // Far above the limit the id does not wrap around into the labels either.
    EXPECT_THROW((void)detail::assign_scanline_ids_from(four_turns<float>(), 400.0f, 60,
                                                        std::uint64_t{1} << 32),
                 InternalFailure);
}

TEST(AssignScanlineIdsLimit, CountingPastTheLimitWithoutWritingIsFine) {
    constexpr std::uint64_t max_id = std::numeric_limits<std::int32_t>::max();
    const auto top = std::numeric_limits<std::int32_t>::max();
    // C_1 writes the last representable id; the rejected C_2 closes an empty
    // range, which moves the counter past the limit but writes nothing, and
    // nothing follows.
    const List<TurnCandidate<double>> candidates{
        candidate<double>(1, 0.5, 10, 10, 11, 4, 400.0 / 101),
        candidate<double>(3, 1.5, 0, 22, 22, 4, 400.0 / 101),
        candidate<double>(5, 2.5, 10, 23, 24, 1000, 400.0 / 101)};
    const Labels labels = detail::assign_scanline_ids_from(candidates, 400.0, 30, max_id);
    EXPECT_EQ(labels, labels_of({{0, 11, -1}, {12, 22, top}, {23, 29, -1}}));
}

// Labels as one write per range over -1 would leave them: the plain form
// that the one-pass slice writing must reproduce.
Labels written_one_range_at_a_time(const List<LabelRange>& ranges, std::uint64_t n) {
    Labels labels(n, NO_SCANLINE);
    for (const LabelRange& r : ranges) {
        std::fill(labels.begin() + static_cast<std::ptrdiff_t>(r.begin),
                  labels.begin() + static_cast<std::ptrdiff_t>(r.end), r.id);
    }
    return labels;
}

// Ascending ranges with gaps of zero or more points, some touching 0 or n.
List<LabelRange> ascending_ranges(std::mt19937_64& random, std::uint64_t n) {
    List<LabelRange> ranges;
    std::uint64_t at = random() % 2 == 0 ? 0 : random() % 5;
    std::int32_t id = 1;
    while (at < n) {
        const std::uint64_t end = std::min(n, at + 1 + random() % 12);
        ranges.push_back(LabelRange{at, end, id});
        id += 1 + static_cast<std::int32_t>(random() % 2);
        at = end + (random() % 3 == 0 ? 0 : random() % 6);
    }
    return ranges;
}

TEST(LabelWriting, SlicesTogetherGiveOneWritePerRange) {
    std::mt19937_64 random(7);
    constexpr std::int32_t untouched = 7777;
    for (int trial = 0; trial < 200; ++trial) {
        const std::uint64_t n = 1 + random() % 120;
        const List<LabelRange> ranges = ascending_ranges(random, n);
        ASSERT_TRUE(ranges_ascending(ranges));
        const Labels expected = written_one_range_at_a_time(ranges, n);

        // Cut the labels into up to four slices at random points, each cut
        // possibly inside a range, and write them in reverse order.
        std::vector<std::uint64_t> cuts{0, n};
        for (int c = 0; c < 3; ++c) {
            cuts.push_back(random() % (n + 1));
        }
        std::sort(cuts.begin(), cuts.end());
        Labels labels(n, untouched);
        for (std::size_t k = cuts.size() - 1; k > 0; --k) {
            paint_label_slice(std::span<std::int32_t>(labels), ranges, cuts[k - 1], cuts[k]);
            // Nothing below the slice has been written yet.
            for (std::uint64_t i = 0; i < cuts[k - 1]; ++i) {
                ASSERT_EQ(labels[i], untouched) << "trial " << trial << " index " << i;
            }
        }
        ASSERT_EQ(labels, expected) << "trial " << trial;

        Labels whole(n, untouched);
        paint_labels_serial(std::span<std::int32_t>(whole), ranges);
        ASSERT_EQ(whole, expected) << "trial " << trial;
    }
}

TEST(LabelWriting, EverySliceWrittenAloneMatchesTheWholeWrite) {
    // Every slice [from, to) of a few fixed layouts, each written into
    // labels that nothing else touches: its entries equal the whole write and
    // no entry outside it changes. The cuts fall inside stretches, on their
    // first and last points, in gaps, and at 0 and n.
    constexpr std::int32_t untouched = 7777;
    std::mt19937_64 random(11);
    std::vector<std::pair<std::uint64_t, List<LabelRange>>> layouts{
        {12, {{0, 3, 1}, {3, 4, 2}, {6, 12, 4}}},  // touching ranges, a gap, up to n
        {10, {{2, 5, 1}, {5, 8, 3}}},              // -1 at both ends
        {7, {}},                                   // nothing labelled
        {5, {{0, 5, 9}}},                          // one range over everything
    };
    for (int extra = 0; extra < 6; ++extra) {
        const std::uint64_t n = 1 + random() % 40;
        layouts.emplace_back(n, ascending_ranges(random, n));
    }
    for (const auto& [n, ranges] : layouts) {
        ASSERT_TRUE(ranges_ascending(ranges));
        const Labels expected = written_one_range_at_a_time(ranges, n);
        for (std::uint64_t from = 0; from <= n; ++from) {
            for (std::uint64_t to = from; to <= n; ++to) {
                Labels labels(n, untouched);
                paint_label_slice(std::span<std::int32_t>(labels), ranges, from, to);
                for (std::uint64_t i = 0; i < n; ++i) {
                    const std::int32_t want = i >= from && i < to ? expected[i] : untouched;
                    ASSERT_EQ(labels[i], want) << n << " labels, slice [" << from << ", " << to
                                               << "), index " << i;
                }
            }
        }
    }
}

TEST(LabelWriting, RangesOutOfOrderAreWrittenInTurnLaterWinning) {
    const List<LabelRange> ranges{{5, 9, 1}, {2, 6, 2}, {7, 8, 3}};
    EXPECT_FALSE(ranges_ascending(ranges));
    Labels labels(10, 7777);
    paint_labels_serial(std::span<std::int32_t>(labels), ranges);
    EXPECT_EQ(labels, labels_of({{0, 1, -1}, {2, 5, 2}, {6, 6, 1}, {7, 7, 3}, {8, 8, 1}, {9, 9, -1}}));
}

}  // namespace
}  // namespace rasterloom::core
