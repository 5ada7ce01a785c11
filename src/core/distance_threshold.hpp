// Distance threshold: the limit on dist_prev_sq used when accepting turns,
// one hundred times the median squared distance of the candidates to their
// reference lines, and never below 1.
#pragma once

#include <algorithm>
#include <cstdint>

#include "core/types.hpp"

namespace rasterloom::core {

// Only line distances above this enter the median (1e-8 rounded to T).
template <Element T>
inline constexpr T MIN_LINE_DIST_SQ = static_cast<T>(1e-8);

template <Element T>
inline constexpr T THRESHOLD_FACTOR = static_cast<T>(100);

template <Element T>
inline constexpr T THRESHOLD_FLOOR = static_cast<T>(1);

// The median is the value at position floor(c / 2) of the c collected values
// in ascending order (the upper middle value for an even c, no averaging),
// found by selection. NaN is never collected; +infinity is.
template <Element T>
T compute_distance_threshold(const List<TurnCandidate<T>>& candidates) {
    if (candidates.empty()) {
        return THRESHOLD_FLOOR<T>;
    }
    List<T> line_distances;
    for (const TurnCandidate<T>& candidate : candidates) {
        if (candidate.dist_line_sq > MIN_LINE_DIST_SQ<T>) {
            if (line_distances.empty()) {
                line_distances.reserve(4);
            }
            line_distances.push_back(candidate.dist_line_sq);
        }
    }
    if (line_distances.empty()) {
        return THRESHOLD_FLOOR<T>;
    }
    const auto middle = line_distances.begin() + line_distances.size() / 2;
    std::nth_element(line_distances.begin(), middle, line_distances.end());
    const T threshold = *middle * THRESHOLD_FACTOR<T>;
    return threshold > THRESHOLD_FLOOR<T> ? threshold : THRESHOLD_FLOOR<T>;
}

}  // namespace rasterloom::core
