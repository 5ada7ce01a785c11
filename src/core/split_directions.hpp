// Direction split: walks the merged runs once, follows the sense of travel in
// y from each merged run to the next, and records every merged run at which
// that sense reverses as a turn candidate. Tops (the path starts to fall) go
// to set_a, bottoms and undecidable turns (NaN) go to set_b.
#pragma once

#include <cmath>
#include <cstdint>
#include <variant>

#include "core/types.hpp"

namespace rasterloom::core {

template <Element T>
struct DirectionSets {
    List<TurnCandidate<T>> set_a;
    List<TurnCandidate<T>> set_b;
};

namespace detail {

// Sense of travel in y carried by a slope: taken from the sign bit, so +0
// rises and -0 falls; a NaN slope has no sense.
enum class SlopeSense { rising, falling, undefined };

template <Element T>
inline SlopeSense sense_of(T slope) noexcept {
    if (std::isnan(slope)) {
        return SlopeSense::undefined;
    }
    return std::signbit(slope) ? SlopeSense::falling : SlopeSense::rising;
}

// A step is degenerate (horizontal or vertical within epsilon) when x or y
// match between its two ends; it has no slope of its own. A step involving
// NaN never matches, so it is not degenerate.
template <Element T>
inline bool is_degenerate_step(const Run<T>& from, const Run<T>& to) noexcept {
    return matches(from.x, to.x) || matches(from.y, to.y);
}

// Change of y over the absolute change of x, for a step that is not
// degenerate. The y difference is negated rather than the x difference, so
// the result is NaN whenever any coordinate is.
template <Element T>
inline T step_slope(const Run<T>& from, const Run<T>& to) noexcept {
    const T dy = to.y - from.y;
    const T dx = to.x - from.x;
    if (to.x > from.x) {
        return dy / dx;
    }
    return (-dy) / dx;
}

// Squared distance from `point` to the line through `a` and `b`. When a and
// b have matching x the line is taken as vertical through b.
template <Element T>
inline T squared_distance_to_line(const Run<T>& point, const TurnCandidate<T>& a,
                                  const TurnCandidate<T>& b) noexcept {
    if (matches(b.x, a.x)) {
        const T offset = point.x - b.x;
        return offset * offset;
    }
    const T k = (b.y - a.y) / (b.x - a.x);
    const T r = (point.x * k - point.y) + (a.y - a.x * k);
    return (r * r) / (k * k + static_cast<T>(1));
}

template <Element T>
inline T squared_distance(const Run<T>& point, const TurnCandidate<T>& other) noexcept {
    const T dy = other.y - point.y;
    const T dx = other.x - point.x;
    return dy * dy + dx * dx;
}

}  // namespace detail

// Splits the turns of the merged path into set_a (tops) and set_b (bottoms).
// Both sets start with the record for merged run 0, from which the distances
// of the first turns are measured; after the walk that record is trimmed
// from both sets, and so is the first top of set_a.
template <Element T>
std::variant<DirectionSets<T>, CoreError> split_directions(const List<Run<T>>& merged) {
    DirectionSets<T> sets;
    const std::uint64_t count = merged.size();
    if (count < 2) {
        return sets;
    }

    // A degenerate first step counts as rising.
    T slope = detail::is_degenerate_step(merged[0], merged[1])
                  ? static_cast<T>(1)
                  : detail::step_slope(merged[0], merged[1]);

    // Turns alternate between the sets, so each holds about half of the
    // merged runs; reserving that spares the copies of a growing list.
    sets.set_a.reserve(count / 2 + 2);
    sets.set_b.reserve(count / 2 + 2);
    const Run<T>& run0 = merged[0];
    const TurnCandidate<T> start{0, static_cast<T>(0), static_cast<T>(0),
                                 run0.x, run0.y, run0.first, run0.last};
    sets.set_a.push_back(start);
    sets.set_b.push_back(start);

    for (std::uint64_t j = 1; j + 1 < count; ++j) {
        const Run<T>& here = merged[j];
        const Run<T>& next = merged[j + 1];
        // A degenerate step carries the previous slope, so it never reverses
        // the sense by itself.
        const T outgoing =
            detail::is_degenerate_step(here, next) ? slope : detail::step_slope(here, next);
        const detail::SlopeSense before = detail::sense_of(slope);
        const detail::SlopeSense after = detail::sense_of(outgoing);
        const bool turn = before == detail::SlopeSense::undefined ||
                          after == detail::SlopeSense::undefined || before != after;
        slope = outgoing;
        if (!turn) {
            continue;
        }

        // The reference line needs a last record in each set.
        if (sets.set_a.empty()) {
            return CoreError{"set_a empty"};
        }
        if (sets.set_b.empty()) {
            return CoreError{"set_b empty"};
        }
        const TurnCandidate<T> last_a = sets.set_a.back();
        const TurnCandidate<T> last_b = sets.set_b.back();
        const T dist_line_sq = detail::squared_distance_to_line(here, last_a, last_b);

        List<TurnCandidate<T>>& target = outgoing < static_cast<T>(0) ? sets.set_a : sets.set_b;
        const T dist_prev_sq = detail::squared_distance(here, target.back());
        target.push_back(TurnCandidate<T>{j, dist_prev_sq, dist_line_sq, here.x, here.y,
                                          here.first, here.last});
    }

    // set_a loses the starting record and the first top, set_b the starting
    // record only.
    if (sets.set_a.size() <= 2) {
        sets.set_a.clear();
    } else {
        sets.set_a.erase(sets.set_a.begin(), sets.set_a.begin() + 2);
    }
    if (sets.set_b.size() <= 1) {
        sets.set_b.clear();
    } else {
        sets.set_b.erase(sets.set_b.begin());
    }
    return sets;
}

}  // namespace rasterloom::core
