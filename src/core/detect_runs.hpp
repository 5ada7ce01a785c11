// Run detection: the points are cut into runs, maximal stretches of
// consecutive points whose x matches the x of the stretch's first point.
//
// A single scan is held back by its own running sum (each addition waits for
// the one before), so a long range is scanned as two halves at once: the
// second half starts at a point where x changes and assumes a run starts
// there. The first scan checks that assumption when it gets there; if it
// holds, the second scan's runs are exactly what a single scan would have
// found, and otherwise they are dropped and the first scan carries on alone.
// Either way the result is that of one scan from the left, bit for bit.
#pragma once

#include <cstdint>
#include <iterator>

#include "core/types.hpp"

namespace rasterloom::core {

// Ranges of fewer points are scanned in one piece.
inline constexpr std::uint64_t RUN_SPLIT_MIN_POINTS = 65536;

namespace detail {

// The state of one scan: the run under way and the next point to look at.
template <Element T>
struct RunScan {
    T key;
    T sum;
    std::uint64_t first;
    std::uint64_t next;

    static RunScan starting_at(Points<T> x, Points<T> y, std::uint64_t index) noexcept {
        return RunScan{x[index], y[index], index, index + 1};
    }

    void close(List<Run<T>>& runs) const {
        runs.push_back(Run<T>{key, sum / static_cast<T>(next - first), first, next - 1});
    }

    // Scans the points up to `stop`, leaving the last run open. Kept out of
    // line, so that its registers are allocated for this loop alone: inlined
    // next to the other loops, the running sum ended up on the stack, which
    // puts a store and a load into the chain of additions.
    [[gnu::noinline]] void scan_to(Points<T> x, Points<T> y, std::uint64_t stop,
                                   List<Run<T>>& runs) {
        // The inner loop walks one run and holds no call, so the running sum
        // stays in a register; the order of the additions is the index order.
        T k = key, s = sum;
        std::uint64_t f = first, j = next;
        while (j < stop) {
            while (j < stop && matches(x[j], k)) {
                s += y[j];
                ++j;
            }
            if (j == stop) {
                break;
            }
            runs.push_back(Run<T>{k, s / static_cast<T>(j - f), f, j - 1});
            k = x[j];
            s = y[j];
            f = j;
            ++j;
        }
        *this = RunScan{k, s, f, j};
    }
};

// The first index at or after `from` (and before `end`) whose x does not
// match the x before it, or end: where a run most likely starts (whether it
// does depends on the key of the run before, which only a scan from the
// left knows).
template <Element T>
std::uint64_t next_change(Points<T> x, std::uint64_t from, std::uint64_t end) noexcept {
    while (from < end && matches(x[from], x[from - 1])) {
        ++from;
    }
    return from;
}

}  // namespace detail

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
    auto left = detail::RunScan<T>::starting_at(x, y, begin);

    const std::uint64_t middle =
        end - begin >= RUN_SPLIT_MIN_POINTS ? detail::next_change(x, begin + (end - begin) / 2, end)
                                            : end;
    if (middle < end) {
        List<Run<T>> right_runs;
        right_runs.reserve((end - middle) / 2);
        auto right = detail::RunScan<T>::starting_at(x, y, middle);

        // Both scans advance together, so that their sums overlap; the left
        // one then finishes its half alone if the right one ran out first.
        // The state is held in locals so that it stays in registers.
        T key_a = left.key, sum_a = left.sum, key_b = right.key, sum_b = right.sum;
        std::uint64_t first_a = left.first, first_b = right.first;
        std::uint64_t j = left.next, k = right.next;
        while (j < middle && k < end) {
            // Both runs go on: this loop holds no call, so the sums stay in
            // registers.
            while (j < middle && k < end && matches(x[j], key_a) && matches(x[k], key_b)) {
                sum_a += y[j];
                sum_b += y[k];
                ++j;
                ++k;
            }
            if (j == middle || k == end) {
                break;
            }
            // At least one of the two points starts a run.
            if (matches(x[j], key_a)) {
                sum_a += y[j];
            } else {
                runs.push_back(Run<T>{key_a, sum_a / static_cast<T>(j - first_a), first_a, j - 1});
                key_a = x[j];
                sum_a = y[j];
                first_a = j;
            }
            if (matches(x[k], key_b)) {
                sum_b += y[k];
            } else {
                right_runs.push_back(
                    Run<T>{key_b, sum_b / static_cast<T>(k - first_b), first_b, k - 1});
                key_b = x[k];
                sum_b = y[k];
                first_b = k;
            }
            ++j;
            ++k;
        }
        left = detail::RunScan<T>{key_a, sum_a, first_a, j};
        right = detail::RunScan<T>{key_b, sum_b, first_b, k};
        left.scan_to(x, y, middle, runs);
        if (!matches(x[middle], left.key)) {
            // A run does start at `middle`: the left scan is complete.
            left.close(runs);
            right.scan_to(x, y, end, right_runs);
            right.close(right_runs);
            runs.insert(runs.end(), std::make_move_iterator(right_runs.begin()),
                        std::make_move_iterator(right_runs.end()));
            return runs;
        }
        // The run under way reaches past `middle`: the right scan started
        // in the middle of it and is dropped.
    }
    left.scan_to(x, y, end, runs);
    left.close(runs);
    return runs;
}

// detect_runs, which picks between this scan over all points and the chunked
// path for large inputs, is in core/chunked.hpp.

}  // namespace rasterloom::core
