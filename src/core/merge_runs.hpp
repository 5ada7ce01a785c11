// Run merging: consecutive point runs whose y matches the y of the group's
// first point run are joined into one merged run.
#pragma once

#include <cstdint>

#include "core/types.hpp"
#include "support/failure.hpp"

namespace rasterloom::core {

// Scans the point runs [begin, end) into merged runs. Each point run is
// compared with the key (the y of the group's first point run), never with
// its predecessor. The merged x is the mean of the group's x values with every
// point run counting once, summed in T in order and divided in T by the
// number of point runs; the merged y is the key itself.
template <Element T>
List<Run<T>> merge_runs_in_range(const List<Run<T>>& runs, std::uint64_t begin,
                                 std::uint64_t end) {
    List<Run<T>> merged;
    if (begin >= end) {
        return merged;
    }
    ensure(end <= runs.size(), "merge range ends past the last point run");
    merged.reserve(end - begin);

    const Run<T>& opening = runs[begin];
    T key = opening.y;
    T sum = opening.x;
    std::uint64_t count = 1;
    std::uint64_t first = opening.first;
    for (std::uint64_t k = begin + 1; k < end; ++k) {
        const Run<T>& run = runs[k];
        if (matches(run.y, key)) {
            sum += run.x;
            ++count;
        } else {
            merged.push_back(Run<T>{sum / static_cast<T>(count), key, first, runs[k - 1].last});
            key = run.y;
            sum = run.x;
            count = 1;
            first = run.first;
        }
    }
    merged.push_back(Run<T>{sum / static_cast<T>(count), key, first, runs[end - 1].last});
    return merged;
}

// Merges point runs handed over one at a time, in index order, into
// `merged`: the same groups, keys and means as merge_runs_in_range over the
// same point runs, without a list of them. finish() closes the last group.
template <Element T>
class RunMerger {
public:
    explicit RunMerger(List<Run<T>>& merged) noexcept : merged_(merged) {}

    void push_back(const Run<T>& run) {
        if (count_ != 0 && matches(run.y, key_)) {
            sum_ += run.x;
            ++count_;
            last_ = run.last;
            return;
        }
        finish();
        key_ = run.y;
        sum_ = run.x;
        count_ = 1;
        first_ = run.first;
        last_ = run.last;
    }

    void finish() {
        if (count_ != 0) {
            merged_.push_back(Run<T>{sum_ / static_cast<T>(count_), key_, first_, last_});
            count_ = 0;
        }
    }

private:
    List<Run<T>>& merged_;
    T key_{};
    T sum_{};
    std::uint64_t count_ = 0;
    std::uint64_t first_ = 0;
    std::uint64_t last_ = 0;
};

// merge_runs, which picks between this scan over all point runs and the
// chunked path for large inputs, is in core/chunked.hpp.

}  // namespace rasterloom::core
