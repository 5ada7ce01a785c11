// Chunked run detection and merging: range cutting, path selection at the
// thresholds, and the stitching of per-range lists.
#include <gtest/gtest.h>

#include "support.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/chunked.hpp"
#include "core/compute_scanline_ids.hpp"

namespace rasterloom::core {
namespace {

// This executable sizes the process pool to three threads before first use,
// so that the ranges are uneven and the chunked paths are taken.
const bool pool_configured = [] {
    set_environment_variable("RAYON_NUM_THREADS", "3");
    return true;
}();

std::uint64_t first_boundary(std::uint64_t count) {
    const std::uint64_t threads = parallel::pool_thread_count();
    return count / threads + (count % threads != 0 ? 1 : 0);
}

TEST(ChunkRanges, CutsIntoAtMostOneRangePerThread) {
    auto ranges = chunk_ranges(500000, 3);
    ASSERT_EQ(ranges.size(), 3u);
    EXPECT_EQ(ranges[0].start, 0u);
    EXPECT_EQ(ranges[0].end, 166667u);
    EXPECT_EQ(ranges[1].start, 166667u);
    EXPECT_EQ(ranges[1].end, 333334u);
    EXPECT_EQ(ranges[2].start, 333334u);
    EXPECT_EQ(ranges[2].end, 500000u);

    ranges = chunk_ranges(1000001, 4);
    ASSERT_EQ(ranges.size(), 4u);
    EXPECT_EQ(ranges[1].start, 250001u);
    EXPECT_EQ(ranges[3].start, 750003u);
    EXPECT_EQ(ranges[3].end, 1000001u);

    // Fewer items than threads: one item per range. Sizes that leave the
    // last thread nothing to do give fewer ranges than threads.
    EXPECT_EQ(chunk_ranges(2, 5).size(), 2u);
    ranges = chunk_ranges(10, 4);  // size 3: [0,3) [3,6) [6,9) [9,10)
    ASSERT_EQ(ranges.size(), 4u);
    EXPECT_EQ(ranges[3].start, 9u);
    ranges = chunk_ranges(9, 4);  // size 3: three ranges only
    ASSERT_EQ(ranges.size(), 3u);
    EXPECT_EQ(ranges[2].end, 9u);
    EXPECT_EQ(chunk_ranges(7, 1).size(), 1u);
}

// Keys that drift around the range boundaries: 0 in the first range; in the
// second, 0.75 epsilon at its first point and 1.5 epsilon after it; 0.75
// epsilon from the third range on. The serial scan keys on 0, cuts before the
// first 1.5 epsilon and then keeps everything in that second run: two runs.
// The chunked path keys every range on its own first point (0, 0.75, 0.75
// epsilon), and each of those folds into the first run: one run.
template <class T>
T drifting_key(std::uint64_t index, std::uint64_t size) {
    const T eps = std::numeric_limits<T>::epsilon();
    if (index < size) {
        return T(0);
    }
    if (index == size || index >= 2 * size) {
        return T(0.75) * eps;
    }
    return T(1.5) * eps;
}

template <class T>
List<core::Run<T>> detect_with_drift_at_boundary(std::uint64_t n) {
    const std::uint64_t size = first_boundary(n);
    std::vector<T> x(n), y(n, T(1));
    for (std::uint64_t i = 0; i < n; ++i) {
        x[i] = drifting_key<T>(i, size);
    }
    return detect_runs(points(x), points(y), n);
}

TEST(ChunkedPathSelection, RunDetectionGoesChunkedFromHalfAMillionPoints) {
    ASSERT_GE(parallel::pool_thread_count(), 2u);
    EXPECT_EQ(detect_with_drift_at_boundary<double>(RUN_PARALLEL_MIN_POINTS - 1).size(), 2u);
    const auto chunked = detect_with_drift_at_boundary<double>(RUN_PARALLEL_MIN_POINTS);
    ASSERT_EQ(chunked.size(), 1u);
    EXPECT_EQ(chunked[0].last, RUN_PARALLEL_MIN_POINTS - 1);
    EXPECT_EQ(detect_with_drift_at_boundary<float>(RUN_PARALLEL_MIN_POINTS).size(), 1u);
}

// Point runs whose y drifts around the range boundaries in the same way.
template <class T>
List<core::Run<T>> merge_with_drift_at_boundary(std::uint64_t m) {
    const std::uint64_t size = first_boundary(m);
    List<core::Run<T>> runs;
    runs.reserve(m);
    for (std::uint64_t k = 0; k < m; ++k) {
        runs.push_back(core::Run<T>{static_cast<T>(k % 7), drifting_key<T>(k, size), k, k});
    }
    return merge_runs(runs);
}

TEST(ChunkedPathSelection, MergingGoesChunkedFromAQuarterMillionRuns) {
    EXPECT_EQ(merge_with_drift_at_boundary<double>(MERGE_PARALLEL_MIN_RUNS - 1).size(), 2u);
    EXPECT_EQ(merge_with_drift_at_boundary<double>(MERGE_PARALLEL_MIN_RUNS).size(), 1u);
    EXPECT_EQ(merge_with_drift_at_boundary<float>(MERGE_PARALLEL_MIN_RUNS).size(), 1u);
}

TEST(ChunkedPathSelection, LabelsAreWrittenInSlicesFromTheirThreshold) {
    // Stretches of 1000 labels with gaps of 7, ids counting up, one of them
    // across every slice boundary.
    for (const std::uint64_t n : {LABEL_PARALLEL_MIN_POINTS - 1, LABEL_PARALLEL_MIN_POINTS + 13}) {
        List<LabelRange> ranges;
        std::int32_t id = 1;
        for (std::uint64_t at = 3; at < n; at += 1007) {
            ranges.push_back(LabelRange{at, std::min(n, at + 1000), id++});
        }
        Labels expected(n, 7777);
        paint_labels_serial(std::span<std::int32_t>(expected), ranges);
        Labels labels(n, 7777);
        paint_labels(std::span<std::int32_t>(labels), ranges);
        ASSERT_EQ(labels, expected) << n << " labels";
        EXPECT_EQ(labels[0], NO_SCANLINE);
        EXPECT_EQ(labels[n - 1], n % 1007 >= 4 && n % 1007 < 1004 ? id - 1 : NO_SCANLINE);
    }
}

TEST(Stitching, RunAcrossABoundaryGetsThePointWeightedMeanOfItsParts) {
    // Two ranges of four points: points 0-3 (x 4, then x 5 with y 1, 2, 3)
    // and points 4-7 (x 5 with y 10, 20, 33, 41); the stretch of x 5 spans
    // the boundary with 3 points before it and 4 after, so weighting by
    // points, by runs or the wrong way round all give different means.
    const std::vector<float> x{4, 5, 5, 5, 5, 5, 5, 5};
    const std::vector<float> y{0, 1, 2, 3, 10, 20, 33, 41};
    const auto runs = detect_runs_chunked(points(x), points(y), 8, 2);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[1].first, 1u);
    EXPECT_EQ(runs[1].last, 7u);
    EXPECT_EQ(runs[1].x, 5.0f);
    // parts: mean 2 over 3 points, mean 26 over 4 points; weighted in double
    const float expected = static_cast<float>((26.0 * 4 + 2.0 * 3) / 7.0);
    EXPECT_EQ(runs[1].y, expected);
    EXPECT_NE(expected, static_cast<float>((26.0 + 2.0) / 2.0));
    EXPECT_NE(expected, static_cast<float>((26.0 * 3 + 2.0 * 4) / 7.0));
    // serial: running float sum / 7, the same stretch
    const auto serial = detect_runs_in_range(points(x), points(y), 0, 8);
    ASSERT_EQ(serial.size(), 2u);
    EXPECT_EQ(serial[1].first, runs[1].first);
    EXPECT_EQ(serial[1].last, runs[1].last);

    // The same in double, and for a merged group: a group of 3 points before
    // the boundary and 4 after it.
    const std::vector<double> xd(x.begin(), x.end()), yd(y.begin(), y.end());
    const auto runs_d = detect_runs_chunked(points(xd), points(yd), 8, 2);
    ASSERT_EQ(runs_d.size(), 2u);
    EXPECT_EQ(runs_d[1].y, (26.0 * 4 + 2.0 * 3) / 7.0);
    List<core::Run<double>> point_runs;
    point_runs.push_back({7, 1, 0, 0});
    point_runs.push_back({1, 5, 1, 3});   // x 1 over 3 points
    point_runs.push_back({3, 5, 4, 7});   // x 3 over 4 points, next range
    point_runs.push_back({8, 2, 8, 8});
    const auto merged = merge_runs_chunked(point_runs, 2);  // ranges [0,2) and [2,4)
    ASSERT_EQ(merged.size(), 3u);
    EXPECT_EQ(merged[1].first, 1u);
    EXPECT_EQ(merged[1].last, 7u);
    EXPECT_EQ(merged[1].x, (3.0 * 4 + 1.0 * 3) / 7.0);
}

TEST(Stitching, FoldsRepeatedlyIntoTheSameRunAcrossSeveralRanges) {
    const std::vector<double> x(10, 2.0);
    std::vector<double> y(10);
    for (int i = 0; i < 10; ++i) y[i] = i;
    const auto runs = detect_runs_chunked(points(x), points(y), 10, 4);  // ranges of 3,3,3,1
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].first, 0u);
    EXPECT_EQ(runs[0].last, 9u);
    // ((1*3 + 4*3)/6 = 2.5; (7*3 + 2.5*6)/9 = 4; (9*1 + 4*9)/10 = 4.5
    EXPECT_EQ(runs[0].y, 4.5);
}

TEST(Stitching, MergedGroupAcrossABoundaryGetsThePointWeightedX) {
    // Point runs with y 5: x 0 (1 point), 1 (1 point) | 2 (3 points).
    List<core::Run<double>> runs;
    runs.push_back({0, 5, 0, 0});
    runs.push_back({1, 5, 1, 1});
    runs.push_back({2, 5, 2, 4});
    const auto chunked = merge_runs_chunked(runs, 2);  // ranges [0,2) and [2,3)
    ASSERT_EQ(chunked.size(), 1u);
    EXPECT_EQ(chunked[0].first, 0u);
    EXPECT_EQ(chunked[0].last, 4u);
    EXPECT_EQ(chunked[0].y, 5.0);
    // partial x 0.5 over 2 points and 2 over 3 points: (2*3 + 0.5*2) / 5
    EXPECT_EQ(chunked[0].x, (2.0 * 3 + 0.5 * 2) / 5);
    // the serial scan weights each point run once: (0 + 1 + 2) / 3
    EXPECT_EQ(merge_runs_in_range(runs, 0, 3)[0].x, 1.0);
}

TEST(Stitching, NanKeysNeverFold) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> x{nan, nan, nan, nan};
    const std::vector<double> y{1, 2, 3, 4};
    EXPECT_EQ(detect_runs_chunked(points(x), points(y), 4, 2).size(), 4u);
}

// A meander whose x values are exactly equal within each line.
template <class T>
void make_meander(std::uint64_t lines, std::uint64_t per_line, std::vector<T>& x, std::vector<T>& y) {
    std::mt19937 random(11);
    std::uniform_real_distribution<double> jitter(-1e-3, 1e-3);
    for (std::uint64_t line = 0; line < lines; ++line) {
        for (std::uint64_t p = 0; p < per_line; ++p) {
            const double t = static_cast<double>(p) / static_cast<double>(per_line - 1) * 10.0;
            x.push_back(static_cast<T>(line));
            y.push_back(static_cast<T>((line % 2 == 0 ? t : 10.0 - t) + jitter(random)));
        }
        for (int k = 1; k <= 3 && line + 1 < lines; ++k) {
            x.push_back(static_cast<T>(line + k * 0.25));
            y.push_back(static_cast<T>(line % 2 == 0 ? 10.0 : 0.0));
        }
    }
}

template <class T>
class ChunkedEquivalence : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(ChunkedEquivalence, ElementTypes);

TYPED_TEST(ChunkedEquivalence, ExactLinesGiveTheSerialRunsAndGroups) {
    using T = TypeParam;
    std::vector<T> x, y;
    make_meander<T>(2000, 300, x, y);  // about 606000 points
    const std::uint64_t n = x.size();
    const auto serial = detect_runs_in_range(points(x), points(y), 0, n);
    const auto chunked = detect_runs(points(x), points(y), n);
    ASSERT_EQ(serial.size(), chunked.size());
    for (std::size_t i = 0; i < serial.size(); ++i) {
        ASSERT_EQ(serial[i].first, chunked[i].first);
        ASSERT_EQ(serial[i].last, chunked[i].last);
        ASSERT_EQ(serial[i].x, chunked[i].x);
    }
    // Merging: group boundaries and keys agree with exactly equal y.
    List<core::Run<T>> runs;
    for (std::uint64_t k = 0; k < 300000; ++k) {
        runs.push_back(core::Run<T>{static_cast<T>(k), static_cast<T>(k / 5), k, k});
    }
    const auto serial_merged = merge_runs_in_range(runs, 0, runs.size());
    const auto chunked_merged = merge_runs(runs);
    ASSERT_EQ(serial_merged.size(), chunked_merged.size());
    for (std::size_t i = 0; i < serial_merged.size(); ++i) {
        ASSERT_EQ(serial_merged[i].first, chunked_merged[i].first);
        ASSERT_EQ(serial_merged[i].last, chunked_merged[i].last);
        ASSERT_EQ(serial_merged[i].y, chunked_merged[i].y);
    }
}

// The stitched point runs read in place give the copied stitched list bit
// for bit, and so do their merged runs, over any range of records: parts of
// one record, every record of a part folding into the run held from the
// part before (several in a row, their x drifting within epsilon), NaN.
TYPED_TEST(ChunkedEquivalence, StitchedRunsReadInPlaceAreTheCopiedList) {
    using T = TypeParam;
    const T eps = std::numeric_limits<T>::epsilon();
    std::mt19937_64 random(11);
    for (int trial = 0; trial < 300; ++trial) {
        // Parts as run detection makes them: within a part, consecutive x
        // never match; across a boundary they often do. Keys are multiples
        // of a quarter epsilon near 0, where such steps are exact: a part
        // can start at +3/4 epsilon from the run held before it and go on at
        // -1/2 epsilon from it, so that both of its first records fold.
        const T unit = eps / 4;
        std::vector<List<Run<T>>> parts(1 + random() % 6);
        std::uint64_t point = 0;
        std::int64_t key_units = 0;  // of the last record made
        std::int64_t held_units = 0;  // of the last record of the part before
        for (std::size_t p = 0; p < parts.size(); ++p) {
            const std::uint64_t records = 1 + random() % (trial % 3 == 0 ? 2 : 40);
            const bool chain = p > 0 && random() % 2 == 0;
            for (std::uint64_t r = 0; r < records; ++r) {
                if (chain && r == 0) {
                    key_units = held_units + 3;
                } else if (chain && r == 1) {
                    key_units = held_units - 2;
                } else if (p > 0 && r == 0 && random() % 2 == 0) {
                    key_units = held_units + static_cast<std::int64_t>(random() % 7) - 3;
                } else {
                    key_units += 8 + static_cast<std::int64_t>(random() % 8);  // a new key
                }
                const std::uint64_t count = 1 + random() % 5;
                const T key = random() % 40 == 0 ? std::numeric_limits<T>::quiet_NaN()
                                                 : static_cast<T>(key_units) * unit;
                const T y = static_cast<T>(random() % 3) + static_cast<T>(random() % 2) * eps;
                parts[p].push_back(Run<T>{key, y, point, point + count - 1});
                point += count;
            }
            held_units = key_units;
        }
        const List<Run<T>> copied = stitch_runs<T>(parts, StitchKey::X);
        const StitchedRuns<T> in_place(parts);
        ASSERT_EQ(in_place.size(), copied.size()) << "trial " << trial;
        const std::uint64_t begin = random() % (copied.size() + 1);
        const std::uint64_t end = begin + random() % (copied.size() - begin + 1);
        for (const auto& [from, to] : {std::pair{std::uint64_t{0}, std::uint64_t{copied.size()}},
                                       std::pair{begin, end}}) {
            List<Run<T>> read;
            in_place.for_each(from, to, [&read](const Run<T>& run) { read.push_back(run); });
            ASSERT_EQ(read.size(), to - from) << "trial " << trial;
            for (std::uint64_t k = 0; k < read.size(); ++k) {
                ASSERT_EQ(std::memcmp(&read[k], &copied[from + k], sizeof(Run<T>)), 0)
                    << "trial " << trial << ", record " << from + k;
            }
            if (from < to) {
                const List<Run<T>> expected = merge_runs_in_range(copied, from, to);
                const List<Run<T>> merged = merge_stitched_in_range(in_place, from, to);
                ASSERT_EQ(merged.size(), expected.size()) << "trial " << trial;
                ASSERT_EQ(std::memcmp(merged.data(), expected.data(), merged.size() * sizeof(Run<T>)), 0)
                    << "trial " << trial;
            }
        }
    }
}

TEST(ChunkedFailure, AllocationFailureOnAWorkerReachesTheCaller) {
    std::vector<double> x(RUN_PARALLEL_MIN_POINTS, 1.0), y(RUN_PARALLEL_MIN_POINTS, 0.0);
    const std::size_t saved = allocation_budget.load();
    allocation_budget = 1024;
    EXPECT_THROW(detect_runs(points(x), points(y), x.size()), AllocationFailure);
    allocation_budget = saved;
    EXPECT_EQ(detect_runs(points(x), points(y), x.size()).size(), 1u);
}

// Detection and merging as the core entry takes them against the two phases
// one after the other, bit for bit: on the chunked path of detection the
// stitched point runs are merged as they are finished when merging is
// serial, with x drifting within epsilon across the range boundaries, NaN
// and runs of one point.
TYPED_TEST(ChunkedEquivalence, DetectAndMergeMatchesThePhasesOneAfterTheOther) {
    using T = TypeParam;
    const T eps = std::numeric_limits<T>::epsilon();
    std::mt19937_64 random(3);
    for (const std::uint64_t n : {RUN_PARALLEL_MIN_POINTS, RUN_PARALLEL_MIN_POINTS + 777,
                                  std::uint64_t{1200000}}) {
        for (int shape = 0; shape < 3; ++shape) {
            std::vector<T> x(n), y(n);
            const std::uint64_t line = shape == 0 ? 1000 : shape == 1 ? 37 : 3;
            for (std::uint64_t i = 0; i < n; ++i) {
                const std::uint64_t l = i / line;
                x[i] = static_cast<T>(l % 50) + static_cast<T>(random() % 3) * T(0.3) * eps;
                y[i] = static_cast<T>(l % 2 == 0 ? (i % line) : line - (i % line)) +
                       static_cast<T>(random() % 2) * eps;
                if (random() % 50000 == 0) {
                    (random() % 2 == 0 ? x : y)[i] = std::numeric_limits<T>::quiet_NaN();
                }
            }
            SCOPED_TRACE(::testing::Message() << n << " points, lines of " << line);
            const List<Run<T>> point_runs = detect_runs(points(x), points(y), n);
            const List<Run<T>> expected = merge_runs(point_runs);
            const List<Run<T>> merged = detect_and_merge_runs(points(x), points(y), n);
            ASSERT_EQ(merged.size(), expected.size());
            for (std::size_t r = 0; r < expected.size(); ++r) {
                ASSERT_EQ(merged[r].first, expected[r].first) << "run " << r;
                ASSERT_EQ(merged[r].last, expected[r].last) << "run " << r;
                ASSERT_EQ(std::memcmp(&merged[r].x, &expected[r].x, sizeof(T)) == 0 ||
                              (std::isnan(merged[r].x) && std::isnan(expected[r].x)),
                          true)
                    << "run " << r;
                ASSERT_EQ(std::memcmp(&merged[r].y, &expected[r].y, sizeof(T)) == 0 ||
                              (std::isnan(merged[r].y) && std::isnan(expected[r].y)),
                          true)
                    << "run " << r;
            }
        }
    }
}

}  // namespace
}  // namespace rasterloom::core
