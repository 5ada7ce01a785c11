// Run detection: the points are cut into runs, maximal stretches of
// consecutive points whose x matches the x of the stretch's first point.
#pragma once

#include <cstdint>

#include "core/types.hpp"

namespace rasterloom::core {

// Scans the points [begin, end) into runs. Each point is compared with the
// key (the x of the run's first point), never with its predecessor; y is
// summed in T in index order and divided by the point count in T.
template <Element T>
List<Run<T>> detect_runs_in_range(Points<T> x, Points<T> y, std::uint64_t begin,
                                  std::uint64_t end) {
    List<Run<T>> runs;
    if (begin >= end) {
        return runs;
    }
    runs.reserve((end - begin) / 2);

    // The inner loop walks one run and holds no call, so the running sum
    // stays in a register; the order of the additions is the index order.
    std::uint64_t first = begin;
    while (first < end) {
        const T key = x[first];
        T sum = y[first];
        std::uint64_t j = first + 1;
        while (j < end && matches(x[j], key)) {
            sum += y[j];
            ++j;
        }
        runs.push_back(Run<T>{key, sum / static_cast<T>(j - first), first, j - 1});
        first = j;
    }
    return runs;
}

// detect_runs, which picks between this scan over all points and the chunked
// path for large inputs, is in core/chunked.hpp.

}  // namespace rasterloom::core
