// Candidate ordering: joins the tops and the bottoms of the path into one
// candidate list in path order.
#pragma once

#include <algorithm>

#include "core/types.hpp"

namespace rasterloom::core {

// The result is set_a followed by set_b, sorted stably by run_index. Both
// sets come out of the direction split ascending, and then a single linear
// merge (taking from set_a on equal indices) gives exactly that order; a set
// that is not ascending falls back to the stable sort of the concatenation.
template <Element T>
List<TurnCandidate<T>> order_candidates(List<TurnCandidate<T>> set_a,
                                        List<TurnCandidate<T>> set_b) {
    const auto by_run_index = [](const TurnCandidate<T>& left, const TurnCandidate<T>& right) {
        return left.run_index < right.run_index;
    };
    List<TurnCandidate<T>> candidates;
    candidates.reserve(set_a.size() + set_b.size());
    if (std::is_sorted(set_a.begin(), set_a.end(), by_run_index) &&
        std::is_sorted(set_b.begin(), set_b.end(), by_run_index)) {
        std::merge(set_a.begin(), set_a.end(), set_b.begin(), set_b.end(),
                   std::back_inserter(candidates), by_run_index);
        return candidates;
    }
    candidates.insert(candidates.end(), set_a.begin(), set_a.end());
    candidates.insert(candidates.end(), set_b.begin(), set_b.end());
    List<TurnCandidate<T>>().swap(set_a);
    List<TurnCandidate<T>>().swap(set_b);
    std::stable_sort(candidates.begin(), candidates.end(), by_run_index);
    return candidates;
}

}  // namespace rasterloom::core
