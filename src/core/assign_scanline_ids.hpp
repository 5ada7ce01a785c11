// Scanline id assignment: walks the candidates in path order, accepts the
// real turn-arounds and numbers the stretches between consecutive accepted
// turns 1, 2, 3, ... in the label vector.
//
// The walk only records the stretches (a few per scan line); the labels are
// then written in one pass, -1 between the stretches, so that no label is
// written twice and the writing can be shared out over threads.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>

#include "core/types.hpp"
#include "support/failure.hpp"

namespace rasterloom::core {

// A turn is rejected when half its dist_prev_sq exceeds its dist_line_sq.
template <Element T>
inline constexpr T PREV_DIST_FACTOR = static_cast<T>(0.5);

// Bound on the squared cosine between successive displacements; together
// with a negative cosine it means an angle above 150 degrees.
template <Element T>
inline constexpr T REVERSAL_COS_SQ = static_cast<T>(0.75);

// The points [begin, end) get the scanline id `id`.
struct LabelRange {
    std::uint64_t begin;
    std::uint64_t end;
    std::int32_t id;
};

namespace detail {

inline constexpr std::uint64_t MAX_SCANLINE_ID =
    static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());

// Records `id` for the points [begin, end), clipped to the n labels. An id
// that does not fit the int32 labels is refused as soon as it would be
// written; ids that are only counted (for an empty range) do not matter.
inline void record_scanline_range(List<LabelRange>& ranges, std::uint64_t n, std::uint64_t begin,
                                  std::uint64_t end, std::uint64_t id) {
    end = std::min(end, n);
    if (begin >= end) {
        return;
    }
    if (id > MAX_SCANLINE_ID) {
        fail("number of scanlines exceeds the int32 range");
    }
    ranges.push_back(LabelRange{begin, end, static_cast<std::int32_t>(id)});
}

template <Element T>
struct Displacement {
    T x;
    T y;
};

template <Element T>
inline Displacement<T> displacement(const TurnCandidate<T>& from,
                                    const TurnCandidate<T>& to) noexcept {
    return {to.x - from.x, to.y - from.y};
}

template <Element T>
inline T squared_length(Displacement<T> v) noexcept {
    return v.x * v.x + v.y * v.y;
}

// True when the path doubles back by more than 150 degrees between the
// displacement `arriving` at a candidate and the neighbouring displacement
// `other`. Any NaN makes it false.
template <Element T>
inline bool doubles_back(Displacement<T> arriving, Displacement<T> other) noexcept {
    const T d = arriving.x * other.x + arriving.y * other.y;
    return d < static_cast<T>(0) &&
           d * d > (squared_length(other) * squared_length(arriving)) * REVERSAL_COS_SQ<T>;
}

// The walk, with the id of the first written range as a parameter so that
// the int32 limit can be reached without billions of candidates. Returns the
// ranges in the order they are written; for candidates in path order they
// are ascending and disjoint.
template <Element T>
List<LabelRange> label_ranges_from(const List<TurnCandidate<T>>& candidates, T distance_threshold,
                                   std::uint64_t n, std::uint64_t first_id) {
    List<LabelRange> ranges;
    const std::uint64_t c = candidates.size();
    if (c < 2) {
        return ranges;
    }

    // Kept in 64 bits: it is incremented once per accepted turn or closing
    // range and only checked against the int32 limit when written.
    std::uint64_t next_id = first_id;
    bool open = false;
    std::uint64_t cursor = 0;

    for (std::uint64_t k = 1; k < c; ++k) {
        const TurnCandidate<T>& current = candidates[k];
        const TurnCandidate<T>& previous = candidates[k - 1];

        // NaN distances pass: every comparison with NaN is false.
        const bool too_far =
            current.dist_prev_sq > distance_threshold ||
            current.dist_prev_sq * PREV_DIST_FACTOR<T> > current.dist_line_sq;

        bool accepted = false;
        if (!too_far) {
            const Displacement<T> arriving = displacement(previous, current);
            const bool backward =
                k >= 2 && doubles_back(arriving, displacement(candidates[k - 2], previous));
            const bool forward =
                k + 1 < c && doubles_back(arriving, displacement(current, candidates[k + 1]));
            accepted = backward || forward;
        }

        if (accepted) {
            // The earlier of the two middle points for an even point count.
            const std::uint64_t mid = current.first + (current.last - current.first) / 2;
            const std::uint64_t start = open ? cursor : previous.last + 1;
            record_scanline_range(ranges, n, start, mid + 1, next_id);
            ++next_id;
            cursor = mid + 1;
            open = true;
        } else if (open) {
            // Close the open stretch just before the rejected run; the id is
            // used up even when nothing is left to write.
            record_scanline_range(ranges, n, cursor, current.first, next_id);
            ++next_id;
            open = false;
        }
    }
    return ranges;
}

}  // namespace detail

// True when every range starts at or after the end of the one before.
inline bool ranges_ascending(const List<LabelRange>& ranges) noexcept {
    for (std::size_t i = 1; i < ranges.size(); ++i) {
        if (ranges[i].begin < ranges[i - 1].end) {
            return false;
        }
    }
    return true;
}

// Writes the labels [from, to) from ascending, disjoint ranges: the id of the
// range that holds a point, -1 elsewhere. Each label of the slice is written
// exactly once and nothing outside it is touched, so disjoint slices can be
// written by different threads.
inline void paint_label_slice(std::span<std::int32_t> labels, const List<LabelRange>& ranges,
                              std::uint64_t from, std::uint64_t to) {
    std::int32_t* const out = labels.data();
    auto range = std::partition_point(ranges.begin(), ranges.end(),
                                      [from](const LabelRange& r) { return r.end <= from; });
    std::uint64_t cursor = from;
    for (; range != ranges.end() && range->begin < to; ++range) {
        const std::uint64_t begin = std::max(range->begin, from);
        const std::uint64_t end = std::min(range->end, to);
        std::fill(out + cursor, out + begin, NO_SCANLINE);
        std::fill(out + begin, out + end, range->id);
        cursor = end;
    }
    std::fill(out + cursor, out + to, NO_SCANLINE);
}

// Writes all labels on the calling thread. Ranges that are not ascending
// are written one after the other over -1, a later range winning where
// they overlap.
inline void paint_labels_serial(std::span<std::int32_t> labels, const List<LabelRange>& ranges) {
    if (ranges_ascending(ranges)) {
        paint_label_slice(labels, ranges, 0, labels.size());
        return;
    }
    std::fill(labels.begin(), labels.end(), NO_SCANLINE);
    for (const LabelRange& range : ranges) {
        std::fill(labels.data() + range.begin, labels.data() + range.end, range.id);
    }
}

// The stretches between consecutive accepted turns, with the ids 1, 2, 3,
// ... in path order, clipped to n points. Throws an internal failure when an
// id beyond the int32 range would have to be written.
template <Element T>
List<LabelRange> label_ranges(const List<TurnCandidate<T>>& candidates, T distance_threshold,
                              std::uint64_t n) {
    return detail::label_ranges_from(candidates, distance_threshold, n, 1);
}

namespace detail {

template <Element T>
Labels assign_scanline_ids_from(const List<TurnCandidate<T>>& candidates, T distance_threshold,
                                std::uint64_t n, std::uint64_t first_id) {
    const List<LabelRange> ranges = label_ranges_from(candidates, distance_threshold, n, first_id);
    Labels labels(n);
    paint_labels_serial(std::span<std::int32_t>(labels), ranges);
    return labels;
}

}  // namespace detail

// Builds the label vector for n points from the ordered candidates: -1
// everywhere except the stretches between consecutive accepted turns, which
// get the ids 1, 2, 3, ... in path order. Throws an internal failure when an
// id beyond the int32 range would have to be written.
template <Element T>
Labels assign_scanline_ids(const List<TurnCandidate<T>>& candidates, T distance_threshold,
                           std::uint64_t n) {
    return detail::assign_scanline_ids_from(candidates, distance_threshold, n, 1);
}

}  // namespace rasterloom::core
