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

    std::uint64_t first = begin;
    T key = x[begin];
    T sum = y[begin];
    std::uint64_t count = 1;
    for (std::uint64_t j = begin + 1; j < end; ++j) {
        const T xj = x[j];
        if (matches(xj, key)) {
            sum += y[j];
            ++count;
        } else {
            runs.push_back(Run<T>{key, sum / static_cast<T>(count), first, j - 1});
            first = j;
            key = xj;
            sum = y[j];
            count = 1;
        }
    }
    runs.push_back(Run<T>{key, sum / static_cast<T>(count), first, end - 1});
    return runs;
}

// detect_runs, which picks between this scan over all points and the chunked
// path for large inputs, is in core/chunked.hpp.

}  // namespace rasterloom::core
