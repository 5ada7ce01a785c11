// Input checks and run detection.
#include <gtest/gtest.h>

#include "support.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/compute_scanline_ids.hpp"
#include "core/detect_runs.hpp"
#include "core/merge_runs.hpp"

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
        EXPECT_EQ(failure.bytes(), run_list_capacity(1000) * sizeof(core::Run<double>));
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
    // Which NaN comes out of NaN + NaN depends on the operand order the
    // compiler picks for the addition, so any NaN equals any other here;
    // every other value must agree bit for bit (0.0 against -0.0 included).
    if (std::isnan(a) || std::isnan(b)) {
        return std::isnan(a) && std::isnan(b);
    }
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

template <class T>
void expect_same_runs(const List<Run<T>>& actual, const List<Run<T>>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t r = 0; r < expected.size(); ++r) {
        ASSERT_EQ(actual[r].first, expected[r].first) << "run " << r;
        ASSERT_EQ(actual[r].last, expected[r].last) << "run " << r;
        ASSERT_TRUE(same_bits(actual[r].x, expected[r].x)) << "run " << r;
        ASSERT_TRUE(same_bits(actual[r].y, expected[r].y)) << "run " << r;
    }
}

// Random x and y with long runs, runs of one point, values a fraction of
// epsilon apart and special values, in proportions set by `mode`.
template <class T>
void random_points(std::mt19937_64& random, std::size_t n, unsigned mode, std::vector<T>& x,
                   std::vector<T>& y) {
    const T eps = std::numeric_limits<T>::epsilon();
    const T specials[] = {std::numeric_limits<T>::quiet_NaN(), std::numeric_limits<T>::infinity(),
                          -std::numeric_limits<T>::infinity(), T(-0.0), T(0), eps, T(0.5) * eps,
                          T(0.999) * eps, std::numeric_limits<T>::denorm_min(),
                          std::numeric_limits<T>::max()};
    x.resize(n);
    y.resize(n);
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
}

TYPED_TEST(DetectRunsTyped, RunScanMatchesThePlainScanBitForBit) {
    using T = TypeParam;
    std::mt19937_64 random(2024);
    std::vector<T> x, y;
    for (int trial = 0; trial < 400; ++trial) {
        const std::size_t n = 1 + random() % (trial % 10 == 0 ? 20000 : 200);
        random_points(random, n, static_cast<unsigned>(random() % 4), x, y);
        SCOPED_TRACE(::testing::Message() << "trial " << trial);
        expect_same_runs(scan(x, y), reference_scan(x, y));
    }
}

// Blocks of points are compared with a key at once; every bit must be the
// match rule of a single point.
TYPED_TEST(DetectRunsTyped, BlockComparisonIsThePointComparison) {
    using T = TypeParam;
    const T eps = std::numeric_limits<T>::epsilon();
    const T inf = std::numeric_limits<T>::infinity();
    const T values[] = {T(0), T(-0.0), eps, -eps, T(0.5) * eps, T(0.999) * eps, T(1),
                        T(1) + eps, T(1) - eps / 2, T(1) + eps / 2, inf, -inf,
                        std::numeric_limits<T>::quiet_NaN(), std::numeric_limits<T>::denorm_min(),
                        std::numeric_limits<T>::max(), -std::numeric_limits<T>::max(),
                        std::numeric_limits<T>::min(), T(3)};
    std::mt19937_64 random(4);
    std::vector<T> x(4);
    for (int trial = 0; trial < 20000; ++trial) {
        for (T& v : x) {
            v = values[random() % std::size(values)];
        }
        const T key = values[random() % std::size(values)];
        const Points<T> p = points(x);
        unsigned expected = 0;
        for (unsigned i = 0; i < 4; ++i) {
            expected |= static_cast<unsigned>(matches(x[i], key)) << i;
        }
        ASSERT_EQ(detail::block_matches(p, key, 0), expected) << "trial " << trial;
        ASSERT_EQ(detail::block_matches_plain(p, key, 0), expected) << "trial " << trial;
    }
}

// Long ranges are scanned in lanes that start at points where x changes, all
// at once. Whatever those points look like, the runs are those of one scan.
TYPED_TEST(DetectRunsTyped, SplitScanMatchesThePlainScanBitForBit) {
    using T = TypeParam;
    const T eps = std::numeric_limits<T>::epsilon();
    const std::size_t sizes[] = {RUN_SPLIT_MIN_POINTS - 1, RUN_SPLIT_MIN_POINTS,
                                 RUN_SPLIT_MIN_POINTS + 1, 150001};
    std::mt19937_64 random(77);
    std::vector<T> x, y;
    for (const std::size_t n : sizes) {
        const std::size_t half = n / 2;
        for (int shape = 0; shape < 9; ++shape) {
            SCOPED_TRACE(::testing::Message() << n << " points, shape " << shape);
            random_points(random, n, 3, x, y);
            if (shape == 0) {
                // Lines of exactly equal x, of random lengths.
                for (std::size_t i = 0, line = 0; i < n; ++line) {
                    const std::size_t length = 1 + random() % 300;
                    for (std::size_t k = 0; k < length && i < n; ++k, ++i) {
                        x[i] = static_cast<T>(line % 5);
                    }
                }
            } else if (shape == 1) {
                // Around the middle x steps by 1.2 epsilon between -0.6 and
                // +0.6 epsilon: a change from point to point, but every value
                // matches the key 0 of the run under way.
                for (std::size_t i = half - 100; i < half + 100; ++i) {
                    x[i] = (i % 2 == 0 ? T(0.6) : T(-0.6)) * eps;
                }
                x[half - 101] = T(0);
            } else if (shape == 2) {
                // One run over everything: no change to start from.
                std::fill(x.begin(), x.end(), T(3));
            } else if (shape == 3) {
                // The only change is far right: the right scan runs out first.
                std::fill(x.begin(), x.end(), T(3));
                std::fill(x.begin() + static_cast<std::ptrdiff_t>(n - 10), x.end(), T(4));
            } else if (shape == 6) {
                // One run from a fifth to four fifths of the range: the lanes
                // that start inside it start where no run starts.
                std::fill(x.begin() + static_cast<std::ptrdiff_t>(n / 5),
                          x.begin() + static_cast<std::ptrdiff_t>(4 * n / 5), T(9));
            } else if (shape == 7) {
                // Around every lane start: drifts within epsilon of the key, a
                // NaN, an infinity and signed zeros that match each other.
                for (std::size_t lane = 1; lane < RUN_SCAN_LANES; ++lane) {
                    const std::size_t at = n / RUN_SCAN_LANES * lane;
                    const T around[] = {T(0), T(0.6) * eps, T(-0.6) * eps, T(0.9) * eps,
                                        std::numeric_limits<T>::quiet_NaN(), T(0),
                                        T(-0.0), T(0), std::numeric_limits<T>::infinity(),
                                        std::numeric_limits<T>::infinity(), T(-0.0)};
                    for (std::size_t k = 0; k < std::size(around); ++k) {
                        x[at - 5 + k + lane] = around[k];
                    }
                }
            } else if (shape == 8) {
                // Runs of one point everywhere.
                for (std::size_t i = 0; i < n; ++i) {
                    x[i] = static_cast<T>(i % 3);
                }
            } else if (shape == 4) {
                // The change right at the middle, then runs of one point.
                std::fill(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(half), T(1));
                for (std::size_t i = half; i < n; ++i) {
                    x[i] = static_cast<T>(i % 2);
                }
            }
            // shape 5: the random points as they are.
            expect_same_runs(scan(x, y), reference_scan(x, y));
            // Sub-ranges starting elsewhere than at 0.
            const std::uint64_t begin = 1 + random() % 1000;
            const auto part = detect_runs_in_range(points(x), points(y), begin, n);
            const std::vector<T> x_tail(x.begin() + static_cast<std::ptrdiff_t>(begin), x.end());
            const std::vector<T> y_tail(y.begin() + static_cast<std::ptrdiff_t>(begin), y.end());
            List<Run<T>> expected = reference_scan(x_tail, y_tail);
            for (Run<T>& run : expected) {
                run.first += begin;
                run.last += begin;
            }
            expect_same_runs(part, expected);
            // Into lists reserved beforehand, whether they fit or must grow.
            for (const auto& [from, to] : {std::pair{begin, std::uint64_t{n}}, std::pair{std::uint64_t{0}, std::uint64_t{1}}}) {
                expect_same_runs(detect_runs_in_range(points(x), points(y), begin, n,
                                                      reserve_run_lists<T>(from, to)),
                                 expected);
            }
        }
    }
}

// Point runs merged as the scan closes them: the same merged runs, bit for
// bit, as the plain scan followed by the merge scan over its list.
template <class T>
List<Run<T>> merged_as_scanned(const std::vector<T>& x, const std::vector<T>& y) {
    List<Run<T>> merged;
    RunMerger<T> merger(merged);
    detail::detect_runs_into(points(x), points(y), 0, x.size(), merger);
    merger.finish();
    return merged;
}

TYPED_TEST(DetectRunsTyped, MergingWhileScanningMatchesScanThenMerge) {
    using T = TypeParam;
    std::mt19937_64 random(99);
    std::vector<T> x, y;
    for (int trial = 0; trial < 300; ++trial) {
        const bool long_range = trial % 25 == 0;
        const std::size_t n =
            long_range ? RUN_SPLIT_MIN_POINTS + random() % 100000 : 1 + random() % 300;
        random_points(random, n, static_cast<unsigned>(random() % 4), x, y);
        if (trial % 3 == 0) {
            // Point runs whose y drifts by fractions of epsilon, repeats, or
            // is NaN or infinite, so that groups of many point runs form,
            // break and never form.
            const T eps = std::numeric_limits<T>::epsilon();
            for (std::size_t i = 0; i < n; ++i) {
                const unsigned pick = static_cast<unsigned>(random() % 16);
                y[i] = pick < 10 ? static_cast<T>(pick % 2) + static_cast<T>(i % 3) * T(0.45) * eps
                       : pick < 12 ? std::numeric_limits<T>::quiet_NaN()
                       : pick < 13 ? std::numeric_limits<T>::infinity()
                       : pick < 14 ? T(-0.0)
                                   : static_cast<T>(random() % 4);
            }
        }
        SCOPED_TRACE(::testing::Message() << "trial " << trial << ", " << n << " points");
        const List<Run<T>> expected = merge_runs_in_range(reference_scan(x, y), 0,
                                                          reference_scan(x, y).size());
        expect_same_runs(merged_as_scanned(x, y), expected);
        if (n < MERGE_PARALLEL_MIN_RUNS) {
            // The core's entry into both phases takes this path here too.
            expect_same_runs(detect_and_merge_runs(points(x), points(y), n), expected);
        }
    }
}

}  // namespace
}  // namespace rasterloom::core
