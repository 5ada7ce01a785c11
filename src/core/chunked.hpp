// Run detection, run merging and the writing of the labels with their
// chunked paths.
//
// Each has a serial path (one scan on the calling thread) and, for large
// inputs on a pool of two or more threads, a chunked path: the index space is
// cut into about one range per thread and the per-range work runs on the
// worker pool. The per-range run lists are stitched on the calling thread, in
// range order, into one list with the same form as the serial one; the label
// slices are disjoint and need no stitching.
//
// Stitching folds the first record of a range into the last record of the
// output when their keys match. The folded coordinate is the point-weighted
// mean of the two partial values, computed in double and rounded back to T.
// Where keys drift within a stretch, or where a merge group spans a range
// boundary, the chunked result can therefore differ in its last bits (or in
// a group boundary) from the serial one; with exactly equal keys within each
// stretch the boundaries and keys agree.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "core/assign_scanline_ids.hpp"
#include "core/detect_runs.hpp"
#include "core/merge_runs.hpp"
#include "core/types.hpp"
#include "parallel/process_pool.hpp"

namespace rasterloom::core {

// Smallest inputs for which the phases take their chunked paths.
inline constexpr std::uint64_t RUN_PARALLEL_MIN_POINTS = 500000;
inline constexpr std::uint64_t MERGE_PARALLEL_MIN_RUNS = 250000;
// Writing the labels is mostly the first touch of fresh memory; below 16 MiB
// of labels a second thread saves less than waking it costs.
inline constexpr std::uint64_t LABEL_PARALLEL_MIN_POINTS = 4000000;

using parallel::IndexRange;

// Cuts [0, count) into consecutive non-empty ranges of ceil(count / threads)
// items (the last one shorter); never more ranges than threads.
inline std::vector<IndexRange> chunk_ranges(std::uint64_t count, std::uint64_t threads) {
    ensure(count >= 1 && threads >= 1, "chunk_ranges needs at least one item and one thread");
    const std::uint64_t size = count / threads + (count % threads != 0 ? 1 : 0);
    const std::uint64_t range_count = count / size + (count % size != 0 ? 1 : 0);
    std::vector<IndexRange> ranges;
    ranges.reserve(range_count);
    for (std::uint64_t k = 0; k < range_count; ++k) {
        const std::uint64_t start = k * size;
        ranges.push_back(IndexRange{start, start + size < count ? start + size : count});
    }
    return ranges;
}

// Which coordinate is the key of a stretch: x for point runs, y for merged runs.
enum class StitchKey { X, Y };

// Folds `next` into `last`, whose keys match: the other coordinate becomes
// the point-weighted mean of the two, computed in double and rounded to T.
template <Element T>
void fold_run(Run<T>& last, const Run<T>& next, StitchKey key) noexcept {
    const bool by_x = key == StitchKey::X;
    const double c_last = static_cast<double>(last.point_count());
    const double c_next = static_cast<double>(next.point_count());
    T& folded = by_x ? last.y : last.x;
    const double next_value = static_cast<double>(by_x ? next.y : next.x);
    const double last_value = static_cast<double>(folded);
    folded = static_cast<T>((next_value * c_next + last_value * c_last) / (c_next + c_last));
    last.last = next.last;
}

// Joins the per-range lists in order, folding a record into the last output
// record when their keys match (see the comment at the top), and hands every
// finished record to `out.push_back`. The last record is held back until the
// next one does not fold into it.
template <Element T, class Out>
void stitch_runs_into(std::vector<List<Run<T>>> parts, StitchKey key, Out& out) {
    const bool by_x = key == StitchKey::X;
    bool holding = false;
    Run<T> last{};
    for (auto& part : parts) {
        for (const Run<T>& r : part) {
            if (holding && (by_x ? matches(r.x, last.x) : matches(r.y, last.y))) {
                fold_run(last, r, key);
                continue;
            }
            if (holding) {
                out.push_back(last);
            }
            last = r;
            holding = true;
        }
        List<Run<T>>().swap(part);  // released as soon as it is consumed
    }
    if (holding) {
        out.push_back(last);
    }
}

template <Element T>
std::uint64_t total_size(const std::vector<List<Run<T>>>& parts) noexcept {
    std::uint64_t total = 0;
    for (const auto& part : parts) {
        total += part.size();
    }
    return total;
}

// The stitched list, reserved for the records of all parts.
template <Element T>
List<Run<T>> stitch_runs(std::vector<List<Run<T>>> parts, StitchKey key) {
    List<Run<T>> out;
    out.reserve(total_size(parts));
    stitch_runs_into<T>(std::move(parts), key, out);
    return out;
}

// The per-range run lists of the chunked path of run detection, in range order.
// The lists of every range are reserved here, on the calling thread, and
// handed to the range's scan (see RunLists).
template <Element T>
std::vector<List<Run<T>>> detect_runs_in_ranges(Points<T> x, Points<T> y, std::uint64_t n,
                                                std::uint64_t threads) {
    std::vector<IndexRange> ranges = chunk_ranges(n, threads);
    std::vector<RunLists<T>> lists;
    lists.reserve(ranges.size());
    for (const IndexRange& range : ranges) {
        lists.push_back(reserve_run_lists<T>(range.start, range.end));
    }
    // Every range but the last has `size` points (chunk_ranges), so its
    // start gives its index; each range is handed over once.
    const std::uint64_t size = ranges.front().end - ranges.front().start;
    return parallel::ordered_parallel_map(
        std::move(ranges), [x, y, size, &lists](IndexRange range) {
            RunLists<T>& own = lists[range.start / size];
            return detect_runs_in_range(x, y, range.start, range.end, std::move(own));
        });
}

template <Element T>
List<Run<T>> detect_runs_chunked(Points<T> x, Points<T> y, std::uint64_t n, std::uint64_t threads) {
    return stitch_runs<T>(detect_runs_in_ranges(x, y, n, threads), StitchKey::X);
}

// The list that stitch_runs makes of the per-range point runs, without
// copying it: the records inside each part are read where they are, and
// only the record held at each part's end (folded or not) is kept apart.
// At 10M points with short lines that saves writing a list of hundreds of
// thousands of records to fresh memory, and faulting it in.
// The parts must be as run detection makes them: within a part, no record's
// x matches the x of the record before it, so folding can only take records
// at the start of a part.
template <Element T>
class StitchedRuns {
public:
    explicit StitchedRuns(std::vector<List<Run<T>>> parts) : parts_(std::move(parts)) {
        held_.reserve(parts_.size() + 1);  // one per part at most; never moves
        bool holding = false;
        Run<T> last{};
        for (const List<Run<T>>& part : parts_) {
            if (part.empty()) {
                continue;
            }
            // Records at the start of the part fold into the held one for as
            // long as they match it (the held x does not change by folding).
            std::uint64_t from = 0;
            while (holding && from < part.size() && matches(part[from].x, last.x)) {
                fold_run(last, part[from], StitchKey::X);
                ++from;
            }
            if (from == part.size()) {
                continue;
            }
            if (holding) {
                held_.push_back(last);
                add_piece(&held_.back(), 1);
            }
            add_piece(part.data() + from, part.size() - 1 - from);
            last = part.back();
            holding = true;
        }
        if (holding) {
            held_.push_back(last);
            add_piece(&held_.back(), 1);
        }
    }

    std::uint64_t size() const noexcept { return size_; }

    // Calls visit(run) for the records [begin, end) in order.
    template <class Visit>
    void for_each(std::uint64_t begin, std::uint64_t end, Visit&& visit) const {
        std::size_t p = 0;
        while (p + 1 < pieces_.size() && pieces_[p + 1].start <= begin) {
            ++p;
        }
        for (; p < pieces_.size() && pieces_[p].start < end; ++p) {
            const Piece& piece = pieces_[p];
            const std::uint64_t from = begin > piece.start ? begin - piece.start : 0;
            const std::uint64_t to = std::min(piece.count, end - piece.start);
            for (std::uint64_t i = from; i < to; ++i) {
                visit(piece.runs[i]);
            }
        }
    }

private:
    struct Piece {
        const Run<T>* runs;
        std::uint64_t count;
        std::uint64_t start;  // index of its first record in the stitched list
    };

    void add_piece(const Run<T>* runs, std::uint64_t count) {
        if (count != 0) {
            pieces_.push_back(Piece{runs, count, size_});
            size_ += count;
        }
    }

    std::vector<List<Run<T>>> parts_;
    List<Run<T>> held_;
    std::vector<Piece> pieces_;
    std::uint64_t size_ = 0;
};

// Merged runs of the stitched records [begin, end): the same, bit for bit,
// as merge_runs_in_range over those records of the copied list.
template <Element T>
List<Run<T>> merge_stitched_in_range(const StitchedRuns<T>& runs, std::uint64_t begin,
                                     std::uint64_t end) {
    List<Run<T>> merged;
    merged.reserve(end - begin);
    RunMerger<T> merger(merged);
    runs.for_each(begin, end, [&merger](const Run<T>& run) { merger.push_back(run); });
    merger.finish();
    return merged;
}

template <Element T>
List<Run<T>> merge_runs_chunked(const List<Run<T>>& runs, std::uint64_t threads) {
    auto parts = parallel::ordered_parallel_map(
        chunk_ranges(runs.size(), threads),
        [&runs](IndexRange range) { return merge_runs_in_range(runs, range.start, range.end); });
    return stitch_runs<T>(std::move(parts), StitchKey::Y);
}

template <Element T>
List<Run<T>> merge_runs_chunked(const StitchedRuns<T>& runs, std::uint64_t threads) {
    auto parts = parallel::ordered_parallel_map(
        chunk_ranges(runs.size(), threads), [&runs](IndexRange range) {
            return merge_stitched_in_range(runs, range.start, range.end);
        });
    return stitch_runs<T>(std::move(parts), StitchKey::Y);
}

// Run detection over all n >= 1 points, on the path that fits the input.
template <Element T>
List<Run<T>> detect_runs(Points<T> x, Points<T> y, std::uint64_t n) {
    const std::uint64_t threads = parallel::pool_thread_count();
    if (threads >= 2 && n >= RUN_PARALLEL_MIN_POINTS) {
        return detect_runs_chunked(x, y, n, threads);
    }
    return detect_runs_in_range(x, y, 0, n);
}

// Run merging of all point runs (at least one), on the path that fits.
template <Element T>
List<Run<T>> merge_runs(const List<Run<T>>& runs) {
    const std::uint64_t threads = parallel::pool_thread_count();
    if (threads >= 2 && runs.size() >= MERGE_PARALLEL_MIN_RUNS) {
        return merge_runs_chunked(runs, threads);
    }
    return merge_runs_in_range(runs, 0, runs.size());
}

// Run detection and merging over all n >= 1 points, each on the path that
// fits. Where merging takes its serial path, the point runs are merged as
// they are finished, with no list of them; the merged runs are the same.
// That is known beforehand with one thread, or with fewer than
// MERGE_PARALLEL_MIN_RUNS points (which never make that many point runs),
// and after the chunked scan from the number of records of its parts.
template <Element T>
List<Run<T>> detect_and_merge_runs(Points<T> x, Points<T> y, std::uint64_t n) {
    const std::uint64_t threads = parallel::pool_thread_count();
    if (threads < 2 || n < MERGE_PARALLEL_MIN_RUNS) {
        List<Run<T>> merged;
        merged.reserve(n / 2 + 1);
        RunMerger<T> merger(merged);
        detail::detect_runs_into(x, y, 0, n, merger);
        merger.finish();
        return merged;
    }
    if (n >= RUN_PARALLEL_MIN_POINTS) {
        auto parts = detect_runs_in_ranges(x, y, n, threads);
        // Stitching never adds records, so with fewer than
        // MERGE_PARALLEL_MIN_RUNS records in all parts merging is serial:
        // the stitched point runs are merged as they are finished.
        if (const std::uint64_t total = total_size(parts); total < MERGE_PARALLEL_MIN_RUNS) {
            List<Run<T>> merged;
            merged.reserve(total);
            RunMerger<T> merger(merged);
            stitch_runs_into<T>(std::move(parts), StitchKey::X, merger);
            merger.finish();
            return merged;
        }
        const StitchedRuns<T> point_runs(std::move(parts));
        if (point_runs.size() >= MERGE_PARALLEL_MIN_RUNS) {
            return merge_runs_chunked(point_runs, threads);
        }
        return merge_stitched_in_range(point_runs, 0, point_runs.size());
    }
    const List<Run<T>> point_runs = detect_runs_in_range(x, y, 0, n);
    return merge_runs(point_runs);
}

// Writes every label from the ranges, on the path that fits. Each thread
// writes one slice of the labels (including its first touch of fresh
// memory); ranges that are not ascending are written on the calling thread.
inline void paint_labels(std::span<std::int32_t> labels, const List<LabelRange>& ranges) {
    const std::uint64_t n = labels.size();
    const std::uint64_t threads = n >= LABEL_PARALLEL_MIN_POINTS ? parallel::pool_thread_count() : 1;
    if (threads >= 2 && ranges_ascending(ranges)) {
        parallel::ordered_parallel_map(chunk_ranges(n, threads), [labels, &ranges](IndexRange slice) {
            paint_label_slice(labels, ranges, slice.start, slice.end);
            return slice.end;
        });
        return;
    }
    paint_labels_serial(labels, ranges);
}

}  // namespace rasterloom::core
