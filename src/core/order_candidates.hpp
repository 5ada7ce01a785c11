// Candidate ordering: joins the tops and the bottoms of the path into one
// candidate list in path order.
#pragma once

#include <algorithm>

#include "core/types.hpp"

namespace rasterloom::core {

// Copies set_a, then set_b, into a new list in two block copies and sorts it
// stably by run_index. The run indices are distinct and each set is already
// ascending, so the result is the two sets interleaved in path order.
template <Element T>
List<TurnCandidate<T>> order_candidates(List<TurnCandidate<T>> set_a,
                                        List<TurnCandidate<T>> set_b) {
    List<TurnCandidate<T>> candidates;
    candidates.reserve(set_a.size());
    candidates.insert(candidates.end(), set_a.begin(), set_a.end());
    candidates.reserve(candidates.size() + set_b.size());
    candidates.insert(candidates.end(), set_b.begin(), set_b.end());
    List<TurnCandidate<T>>().swap(set_a);
    List<TurnCandidate<T>>().swap(set_b);

    if (candidates.size() >= 2) {
        std::stable_sort(candidates.begin(), candidates.end(),
                         [](const TurnCandidate<T>& left, const TurnCandidate<T>& right) {
                             return left.run_index < right.run_index;
                         });
    }
    return candidates;
}

}  // namespace rasterloom::core
