// Input checks and run detection.
#include <gtest/gtest.h>

#include "support.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "core/compute_scanline_ids.hpp"
#include "core/detect_runs.hpp"

namespace rasterloom::core {
namespace {

template <class T>
List<Run<T>> scan(const std::vector<T>& x, const std::vector<T>& y) {
    return detect_runs_in_range(points(x), points(y), 0, x.size());
}

template <class T>
CoordView<T> view(const std::vector<T>& values, std::int64_t stride_items = 1) {
    return CoordView<T>{values.data(), values.size(),
                        stride_items * static_cast<std::int64_t>(sizeof(T))};
}

template <class T>
class DetectRunsTyped : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(DetectRunsTyped, ElementTypes);

TYPED_TEST(DetectRunsTyped, RunKeyIsFirstXAndYIsTheMean) {
    using T = TypeParam;
    const std::vector<T> x{0, 0, 0, 1, 1};
    const std::vector<T> y{1, 2, 3, 4, 6};
    const auto runs = scan(x, y);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0], (Run<T>{0, 2, 0, 2}));
    EXPECT_EQ(runs[1], (Run<T>{1, 5, 3, 4}));
}

TYPED_TEST(DetectRunsTyped, DifferenceOfExactlyEpsilonDoesNotMatch) {
    using T = TypeParam;
    const T eps = std::numeric_limits<T>::epsilon();
    const auto runs = scan<T>({1, 1 + eps}, {0, 0});
    ASSERT_EQ(runs.size(), 2u);
    // just below epsilon still matches
    const auto joined = scan<T>({0, eps / 2}, {0, 0});
    EXPECT_EQ(joined.size(), 1u);
}

TYPED_TEST(DetectRunsTyped, PointsAreComparedWithTheKeyNotThePreviousPoint) {
    using T = TypeParam;
    const T eps = std::numeric_limits<T>::epsilon();
    const auto runs = scan<T>({0, T(0.75) * eps, T(1.5) * eps}, {1, 2, 3});
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].first, 0u);
    EXPECT_EQ(runs[0].last, 1u);
    EXPECT_EQ(runs[0].x, T(0));
    EXPECT_EQ(runs[1].first, 2u);
    EXPECT_EQ(runs[1].x, T(1.5) * eps);
}

TYPED_TEST(DetectRunsTyped, NanAndInfiniteXStandAlone) {
    using T = TypeParam;
    const T nan = std::numeric_limits<T>::quiet_NaN();
    const T inf = std::numeric_limits<T>::infinity();
    const auto runs = scan<T>({0, 0, nan, nan, 0, inf, inf, -inf, -inf}, {1, 1, 1, 1, 1, 1, 1, 1, 1});
    // [0,0] [nan] [nan] [0] [inf] [inf] [-inf] [-inf]
    ASSERT_EQ(runs.size(), 8u);
    EXPECT_EQ(runs[0].last, 1u);
    EXPECT_TRUE(std::isnan(runs[1].x));
    EXPECT_EQ(runs[1].first, 2u);
    EXPECT_EQ(runs[1].last, 2u);
    EXPECT_EQ(runs[2].first, 3u);
    EXPECT_EQ(runs[3].first, 4u);
    EXPECT_EQ(runs[4].first, 5u);
    EXPECT_EQ(runs[5].first, 6u);
    EXPECT_EQ(runs[6].first, 7u);
    expect_partition(runs, 9);
}

TYPED_TEST(DetectRunsTyped, NanYPoisonsOnlyItsOwnRun) {
    using T = TypeParam;
    const T nan = std::numeric_limits<T>::quiet_NaN();
    const auto runs = scan<T>({0, 0, 1, 1, 2}, {1, nan, 2, 4, 5});
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_TRUE(std::isnan(runs[0].y));
    EXPECT_EQ(runs[1].y, T(3));
    EXPECT_EQ(runs[2].y, T(5));
}

TYPED_TEST(DetectRunsTyped, MeanIsARunningSumInIndexOrderDividedInT) {
    using T = TypeParam;
    // Values whose sum depends on the order of addition in T.
    const std::vector<T> y{T(1e8), T(1), T(-1e8), T(1), T(0.1)};
    const std::vector<T> x(y.size(), T(3));
    T sum = y[0];
    for (std::size_t i = 1; i < y.size(); ++i) sum += y[i];
    const auto runs = scan(x, y);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].y, sum / static_cast<T>(y.size()));
}

TYPED_TEST(DetectRunsTyped, RangeScanCoversExactlyItsRange) {
    using T = TypeParam;
    const std::vector<T> x{5, 5, 6, 6, 6, 7};
    const std::vector<T> y{0, 1, 2, 3, 4, 5};
    const auto runs = detect_runs_in_range(points(x), points(y), 1, 4);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0], (Run<T>{5, 1, 1, 1}));
    EXPECT_EQ(runs[1], (Run<T>{6, T(2.5), 2, 3}));
    EXPECT_TRUE(detect_runs_in_range(points(x), points(y), 3, 3).empty());
    EXPECT_TRUE(detect_runs_in_range(points(x), points(y), 4, 2).empty());
}

TYPED_TEST(DetectRunsTyped, RandomInputsArePartitioned) {
    using T = TypeParam;
    std::mt19937_64 random(7);
    std::uniform_int_distribution<int> choice(0, 3);
    for (int trial = 0; trial < 50; ++trial) {
        const std::size_t n = 1 + random() % 300;
        std::vector<T> x(n), y(n);
        for (std::size_t i = 0; i < n; ++i) {
            x[i] = static_cast<T>(choice(random));
            y[i] = static_cast<T>(i);
        }
        const auto runs = scan(x, y);
        expect_partition(runs, n);
        for (std::size_t r = 0; r < runs.size(); ++r) {
            for (auto i = runs[r].first; i <= runs[r].last; ++i) {
                EXPECT_EQ(x[i], runs[r].x);
            }
            if (r > 0) {
                EXPECT_NE(runs[r].x, runs[r - 1].x);
            }
        }
    }
}

TYPED_TEST(DetectRunsTyped, UnalignedDataIsRead) {
    using T = TypeParam;
    std::vector<unsigned char> raw(sizeof(T) * 4 + 1);
    const T values[4] = {2, 2, 3, 3};
    std::memcpy(raw.data() + 1, values, sizeof values);
    const Points<T> x{raw.data() + 1, 4};
    const auto runs = detect_runs_in_range(x, x, 0, 4);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[1], (Run<T>{3, 3, 2, 3}));
}

TYPED_TEST(DetectRunsTyped, InputChecksInOrder) {
    using T = TypeParam;
    const std::vector<T> three(3), five(5), empty, two(2);
    EXPECT_EQ(check_input(view(three), view(five)), "Input x and y length mismatch: 3 vs 5");
    EXPECT_EQ(check_input(view(empty), view(two)), "Input x and y length mismatch: 0 vs 2");
    // Empty input passes whatever its strides.
    EXPECT_EQ(check_input(view(empty, -3), view(empty, 0)), "");
    // A single point is accepted whatever its stride.
    EXPECT_EQ(check_input(view(std::vector<T>(1), 5), view(std::vector<T>(1), -1)), "");
    EXPECT_EQ(check_input(view(five, 2), view(five, 2)), "x array must be contiguous");
    EXPECT_EQ(check_input(view(five), view(five, -1)), "y array must be contiguous");
    EXPECT_EQ(check_input(view(five, 0), view(five)), "x array must be contiguous");
    // A byte stride that is not a whole number of items is never contiguous.
    CoordView<T> odd{five.data(), 5, static_cast<std::int64_t>(sizeof(T)) + 1};
    EXPECT_EQ(check_input(odd, view(five)), "x array must be contiguous");
}

TYPED_TEST(DetectRunsTyped, CoreEntryAnswersEveryCheck) {
    using T = TypeParam;
    const std::vector<T> three(3), five(5);
    auto mismatch = compute_scanline_ids(view(three), view(five));
    ASSERT_TRUE(std::holds_alternative<CoreError>(mismatch));
    EXPECT_EQ(std::get<CoreError>(mismatch).message, "Input x and y length mismatch: 3 vs 5");

    auto empty = compute_scanline_ids(view(std::vector<T>{}), view(std::vector<T>{}));
    ASSERT_TRUE(std::holds_alternative<Labels>(empty));
    EXPECT_TRUE(std::get<Labels>(empty).empty());

    const std::vector<T> one{4};
    auto single = compute_scanline_ids(view(one, 9), view(one, -2));
    ASSERT_TRUE(std::holds_alternative<Labels>(single));
    EXPECT_EQ(std::get<Labels>(single), Labels{NO_SCANLINE});
}

TEST(DetectRunsAllocation, RefusedReservationNamesItsSize) {
    const std::vector<double> x(1000, 1.0), y(1000, 2.0);
    const std::size_t saved = allocation_budget.load();
    allocation_budget = 1024;
    try {
        detect_runs_in_range(points(x), points(y), 0, x.size());
        ADD_FAILURE() << "the reservation should have been refused";
    } catch (const AllocationFailure& failure) {
        EXPECT_EQ(failure.bytes(), 500 * sizeof(core::Run<double>));
    }
    allocation_budget = saved;
    EXPECT_EQ(detect_runs_in_range(points(x), points(y), 0, x.size()).size(), 1u);
}

}  // namespace
}  // namespace rasterloom::core

namespace rasterloom::core {
namespace {

// The plain per-point scan, kept as the reference that the run-at-a-time
// scan must reproduce bit for bit.
template <class T>
List<Run<T>> reference_scan(const std::vector<T>& x, const std::vector<T>& y) {
    List<Run<T>> runs;
    std::uint64_t first = 0;
    T key = x[0];
    T sum = y[0];
    std::uint64_t count = 1;
    for (std::uint64_t j = 1; j < x.size(); ++j) {
        if (matches(x[j], key)) {
            sum += y[j];
            ++count;
        } else {
            runs.push_back(Run<T>{key, sum / static_cast<T>(count), first, j - 1});
            first = j;
            key = x[j];
            sum = y[j];
            count = 1;
        }
    }
    runs.push_back(Run<T>{key, sum / static_cast<T>(count), first, x.size() - 1});
    return runs;
}

template <class T>
bool same_bits(T a, T b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

TYPED_TEST(DetectRunsTyped, RunScanMatchesThePlainScanBitForBit) {
    using T = TypeParam;
    const T eps = std::numeric_limits<T>::epsilon();
    const T specials[] = {std::numeric_limits<T>::quiet_NaN(), std::numeric_limits<T>::infinity(),
                          -std::numeric_limits<T>::infinity(), T(-0.0), T(0), eps, T(0.5) * eps,
                          T(0.999) * eps, std::numeric_limits<T>::denorm_min(),
                          std::numeric_limits<T>::max()};
    std::mt19937_64 random(2024);
    for (int trial = 0; trial < 400; ++trial) {
        // Long runs, runs of one point, values a fraction of epsilon apart
        // and special values, in proportions that vary from trial to trial.
        const std::size_t n = 1 + random() % (trial % 10 == 0 ? 20000 : 200);
        const unsigned mode = random() % 4;
        std::vector<T> x(n), y(n);
        T current = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const unsigned pick = random() % 100;
            if (pick < (mode == 0 ? 2u : 10u)) {
                current = specials[random() % std::size(specials)];
            } else if (pick < 30) {
                current = current + static_cast<T>((random() % 5)) * T(0.4) * eps;
            } else if (pick < (mode == 3 ? 95u : 35u)) {
                current = static_cast<T>(random() % 8);
            }
            x[i] = current;
            y[i] = pick < 5 ? specials[random() % std::size(specials)]
                            : static_cast<T>(static_cast<double>(random() % 1000000) / 997.0);
        }
        const auto expected = reference_scan(x, y);
        const auto actual = scan(x, y);
        ASSERT_EQ(actual.size(), expected.size()) << "trial " << trial;
        for (std::size_t r = 0; r < expected.size(); ++r) {
            ASSERT_EQ(actual[r].first, expected[r].first);
            ASSERT_EQ(actual[r].last, expected[r].last);
            ASSERT_TRUE(same_bits(actual[r].x, expected[r].x));
            ASSERT_TRUE(same_bits(actual[r].y, expected[r].y)) << "trial " << trial << " run " << r;
        }
    }
}

}  // namespace
}  // namespace rasterloom::core
