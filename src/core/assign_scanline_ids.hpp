// Scanline id assignment: walks the candidates in path order, accepts the
// real turn-arounds and numbers the stretches between consecutive accepted
// turns 1, 2, 3, ... in the label vector.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <limits>

#include "core/failure.hpp"
#include "core/types.hpp"

namespace rasterloom::core {

// A turn is rejected when half its dist_prev_sq exceeds its dist_line_sq.
template <Element T>
inline constexpr T PREV_DIST_FACTOR = static_cast<T>(0.5);

// Bound on the squared cosine between successive displacements; together
// with a negative cosine it means an angle above 150 degrees.
template <Element T>
inline constexpr T REVERSAL_COS_SQ = static_cast<T>(0.75);

namespace detail {

inline constexpr std::uint64_t MAX_SCANLINE_ID =
    static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());

// Writes `id` into the labels [begin, end), clipped to the label vector. An
// id that does not fit the int32 labels is refused as soon as it would be
// written; ids that are only counted (for an empty range) do not matter.
inline void write_scanline_range(std::span<std::int32_t> labels, std::uint64_t begin, std::uint64_t end,
                                 std::uint64_t id) {
    const std::uint64_t size = labels.size();
    end = std::min(end, size);
    if (begin >= end) {
        return;
    }
    if (id > MAX_SCANLINE_ID) {
        fail("number of scanlines exceeds the int32 range");
    }
    std::fill(labels.data() + begin, labels.data() + end, static_cast<std::int32_t>(id));
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
// the int32 limit can be reached without billions of candidates.
template <Element T>
void fill_scanline_ids_from(const List<TurnCandidate<T>>& candidates, T distance_threshold,
                            std::span<std::int32_t> labels, std::uint64_t first_id) {
    std::fill(labels.begin(), labels.end(), NO_SCANLINE);
    const std::uint64_t c = candidates.size();
    if (c < 2) {
        return;
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
            write_scanline_range(labels, start, mid + 1, next_id);
            ++next_id;
            cursor = mid + 1;
            open = true;
        } else if (open) {
            // Close the open stretch just before the rejected run; the id is
            // used up even when nothing is left to write.
            write_scanline_range(labels, cursor, current.first, next_id);
            ++next_id;
            open = false;
        }
    }
}

template <Element T>
Labels assign_scanline_ids_from(const List<TurnCandidate<T>>& candidates, T distance_threshold,
                                std::uint64_t n, std::uint64_t first_id) {
    Labels labels(n, NO_SCANLINE);
    fill_scanline_ids_from(candidates, distance_threshold, std::span<std::int32_t>(labels), first_id);
    return labels;
}

}  // namespace detail

// Writes the labels of all points into `labels` (one entry per point), so
// that the caller can hand over the memory the result finally lives in.
template <Element T>
void assign_scanline_ids_into(const List<TurnCandidate<T>>& candidates, T distance_threshold,
                              std::span<std::int32_t> labels) {
    detail::fill_scanline_ids_from(candidates, distance_threshold, labels, 1);
}

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
