// Run detection: the points are cut into runs, maximal stretches of
// consecutive points whose x matches the x of the stretch's first point.
//
// The running sum of y is what holds a scan back: each addition waits for
// the one before. A long range is therefore cut into up to RUN_SCAN_LANES
// lanes, each starting at a point where x changes and assuming that a run
// starts there, and the lanes advance together, a block of points each per
// step, so that their sums overlap. Where a run ends depends only on its key
// (the x of its first point), so the points of a block are compared with the
// key at once; only the additions are taken one after the other. Afterwards
// the lanes are checked from left to right: a lane is kept when the run
// under way at its start really ends there (its first point does not match
// that run's key); otherwise its runs are dropped and the scan from the left
// carries on over its points alone. Either way the result is that of one
// scan from the left, bit for bit.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define RASTERLOOM_BLOCK_MATCH_SSE2 1
#endif

#include "core/types.hpp"

namespace rasterloom::core {

// Ranges of fewer points are scanned in one piece.
inline constexpr std::uint64_t RUN_SPLIT_MIN_POINTS = 65536;
// The most lanes a long range is cut into.
inline constexpr std::size_t RUN_SCAN_LANES = 4;

namespace detail {

// Points compared with a key at once, and points per lane and step of the
// lanes.
inline constexpr std::uint64_t LANE_BLOCK = 4;

// A point matches the key of the run under way when |x - key| < epsilon, so
// the points of a block can be compared at once: bit i of the result is set
// when point from + i matches `key`.
template <Element T>
inline unsigned block_matches_plain(Points<T> x, T key, std::uint64_t from) noexcept {
    unsigned bits = 0;
    for (unsigned i = 0; i < LANE_BLOCK; ++i) {
        bits |= static_cast<unsigned>(matches(x[from + i], key)) << i;
    }
    return bits;
}

#if defined(RASTERLOOM_BLOCK_MATCH_SSE2)
// The same with SSE2: the difference, its absolute value (the sign bit
// cleared) and the strict, ordered comparison with epsilon are exactly those
// of `matches`, element by element.
inline unsigned block_matches(Points<float> x, float key, std::uint64_t from) noexcept {
    const __m128 v = _mm_loadu_ps(reinterpret_cast<const float*>(x.bytes) + from);
    const __m128 d = _mm_andnot_ps(_mm_set1_ps(-0.0f), _mm_sub_ps(v, _mm_set1_ps(key)));
    return static_cast<unsigned>(_mm_movemask_ps(_mm_cmplt_ps(d, _mm_set1_ps(epsilon<float>))));
}

inline unsigned block_matches(Points<double> x, double key, std::uint64_t from) noexcept {
    const double* const data = reinterpret_cast<const double*>(x.bytes) + from;
    const __m128d k = _mm_set1_pd(key);
    const __m128d eps = _mm_set1_pd(epsilon<double>);
    const __m128d sign = _mm_set1_pd(-0.0);
    const __m128d d0 = _mm_andnot_pd(sign, _mm_sub_pd(_mm_loadu_pd(data), k));
    const __m128d d1 = _mm_andnot_pd(sign, _mm_sub_pd(_mm_loadu_pd(data + 2), k));
    return static_cast<unsigned>(_mm_movemask_pd(_mm_cmplt_pd(d0, eps))) |
           (static_cast<unsigned>(_mm_movemask_pd(_mm_cmplt_pd(d1, eps))) << 2);
}
#else
template <Element T>
inline unsigned block_matches(Points<T> x, T key, std::uint64_t from) noexcept {
    return block_matches_plain(x, key, from);
}
#endif

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

    template <class Out>
    void close(Out& runs) const {
        runs.push_back(Run<T>{key, sum / static_cast<T>(next - first), first, next - 1});
    }

    // Goes on from the block at `next`, whose comparison with the key gave
    // `bits` (not all set): adds the points up to the first one that does
    // not match, closes the run there and opens one at that point, and so on
    // through the following blocks until a block lies wholly inside the run
    // under way or fewer than a block of points is left before `stop`.
    template <class Out>
    void through_run_ends(Points<T> x, Points<T> y, unsigned bits, std::uint64_t stop, Out& runs) {
        std::uint64_t j = next;
        for (;;) {
            const auto inside = static_cast<std::uint64_t>(std::countr_one(bits));
            for (std::uint64_t k = 0; k < inside; ++k) {
                sum += y[j + k];
            }
            j += inside;
            runs.push_back(Run<T>{key, sum / static_cast<T>(j - first), first, j - 1});
            key = x[j];
            sum = y[j];
            first = j;
            ++j;
            if (j + LANE_BLOCK > stop) {
                break;
            }
            bits = block_matches(x, key, j);
            if (bits == 0xFu) {
                break;
            }
        }
        next = j;
    }

    // Scans the points up to `stop`, leaving the last run open. Kept out of
    // line, so that its registers are allocated for this loop alone: inlined
    // next to the other loops, the running sum ended up on the stack, which
    // puts a store and a load into the chain of additions.
    template <class Out>
    [[gnu::noinline]] void scan_to(Points<T> x, Points<T> y, std::uint64_t stop, Out& runs) {
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

// Where the runs of a lane go: the first lane's to the scan's output, the
// others' to lists of their own until they have been checked.
template <Element T, class Out>
struct LaneOut {
    Out* output;
    List<Run<T>>* own;

    void push_back(const Run<T>& run) {
        if (output != nullptr) {
            output->push_back(run);
        } else {
            own->push_back(run);
        }
    }
};

// Advances L lanes in steps of one block of points each, as long as every
// lane has a whole block left before its stop; the lanes then finish one by
// one. In a step where every point of every block matches its run's key,
// only the sums move, one independent chain of additions per lane, so that
// the additions of the lanes overlap; otherwise each lane takes its block
// point by point. The lane states are locals, one per lane, so that they
// stay in registers.
template <Element T, class Out, std::size_t... I>
void scan_lanes(Points<T> x, Points<T> y, RunScan<T>* scans, const std::uint64_t* stops,
                Out* outs, std::index_sequence<I...>) {
    RunScan<T> lane[] = {scans[I]...};
    for (;;) {
        if (((lane[I].next + LANE_BLOCK > stops[I]) || ...)) {
            break;
        }
        const unsigned bits[] = {block_matches(x, lane[I].key, lane[I].next)...};
        if (((bits[I] == 0xFu) && ...)) {
            ((lane[I].sum += y[lane[I].next]), ...);
            ((lane[I].sum += y[lane[I].next + 1]), ...);
            ((lane[I].sum += y[lane[I].next + 2]), ...);
            ((lane[I].sum += y[lane[I].next + 3]), ...);
            ((lane[I].next += LANE_BLOCK), ...);
            continue;
        }
        (
            [&] {
                const std::uint64_t j = lane[I].next;
                if (bits[I] == 0xFu) {
                    lane[I].sum += y[j];
                    lane[I].sum += y[j + 1];
                    lane[I].sum += y[j + 2];
                    lane[I].sum += y[j + 3];
                    lane[I].next = j + LANE_BLOCK;
                } else {
                    lane[I].through_run_ends(x, y, bits[I], stops[I], outs[I]);
                }
            }(),
            ...);
    }
    ((lane[I].scan_to(x, y, stops[I], outs[I])), ...);
    ((scans[I] = lane[I]), ...);
}

// Runs `count` lanes (1 to L) together.
template <Element T, std::size_t L, class Out>
void scan_lanes(Points<T> x, Points<T> y, RunScan<T>* scans, const std::uint64_t* stops,
                Out* outs, std::size_t count) {
    if constexpr (L == 1) {
        // One lane is one plain scan, whose loop keeps its sum in a register.
        scans[0].scan_to(x, y, stops[0], outs[0]);
    } else {
        if (count < L) {
            return scan_lanes<T, L - 1>(x, y, scans, stops, outs, count);
        }
        scan_lanes(x, y, scans, stops, outs, std::make_index_sequence<L>{});
    }
}

}  // namespace detail

// The lists one scan writes into: its output and one list for each lane
// after the first. A thread that hands a scan to another one can reserve
// them beforehand (reserve_run_lists), so that they come out of its own
// memory: glibc hands the memory of a worker thread's arena back to the
// system when a call ends and faults it in afresh on the next one, while
// the calling thread's memory is kept for reuse.
template <Element T>
struct RunLists {
    List<Run<T>> runs;
    List<Run<T>> lanes[RUN_SCAN_LANES];  // lanes[0] stays empty: lane 0 writes to the output
};

// The runs a list is first reserved for, for a scan of `points` points.
// Below 4M points: one per 16 points, which holds the runs of meanders with
// lines of about 100 points and more; shorter lines grow the list as they
// go. Reserving for a run per two points instead costs nothing while
// untouched, but such large blocks make glibc's allocator hand freed memory
// back to the system at the end of a call and fault it in afresh on the
// next one (measured: a few hundred faults per call of a million points on
// the worker thread, a tenth of the call). From 4M points the lists are
// mapped afresh on every call either way, and the larger reservation keeps
// them on huge pages.
constexpr std::uint64_t run_list_capacity(std::uint64_t points) noexcept {
    return points < (std::uint64_t{1} << 22) ? points / 16 + 64 : points / 2;
}

// RunLists reserved for a scan of the points [begin, end): the output and,
// for a range that is cut into lanes, each further lane.
template <Element T>
RunLists<T> reserve_run_lists(std::uint64_t begin, std::uint64_t end) {
    RunLists<T> lists;
    const std::uint64_t length = end > begin ? end - begin : 0;
    lists.runs.reserve(run_list_capacity(length));
    if (length >= RUN_SPLIT_MIN_POINTS) {
        for (std::size_t i = 1; i < RUN_SCAN_LANES; ++i) {
            lists.lanes[i].reserve(run_list_capacity(length / RUN_SCAN_LANES));
        }
    }
    return lists;
}

namespace detail {

// Scans the points [begin, end), begin < end, handing every run in index
// order to `out.push_back`; `lane_runs` holds the runs of the lanes after the
// first until they are checked, and is released as they are.
template <Element T, class Out>
void detect_runs_into(Points<T> x, Points<T> y, std::uint64_t begin, std::uint64_t end, Out& out,
                      List<Run<T>> (&lane_runs)[RUN_SCAN_LANES]) {
    // Lane starts: begin, then the first change at or after each further
    // 1/RUN_SCAN_LANES of the range.
    std::uint64_t starts[RUN_SCAN_LANES + 1] = {begin};
    std::size_t count = 1;
    if (end - begin >= RUN_SPLIT_MIN_POINTS) {
        const std::uint64_t length = end - begin;
        for (std::size_t i = 1; i < RUN_SCAN_LANES; ++i) {
            const std::uint64_t from = std::max(begin + length / RUN_SCAN_LANES * i,
                                                starts[count - 1] + 1);
            const std::uint64_t start = next_change(x, from, end);
            if (start >= end) {
                break;
            }
            starts[count++] = start;
        }
    }
    starts[count] = end;

    LaneOut<T, Out> outs[RUN_SCAN_LANES] = {};
    RunScan<T> scans[RUN_SCAN_LANES] = {};
    for (std::size_t i = 0; i < count; ++i) {
        if (i == 0) {
            outs[i] = LaneOut<T, Out>{&out, nullptr};
        } else {
            lane_runs[i].reserve(run_list_capacity(starts[i + 1] - starts[i]));
            outs[i] = LaneOut<T, Out>{nullptr, &lane_runs[i]};
        }
        scans[i] = RunScan<T>::starting_at(x, y, starts[i]);
    }
    scan_lanes<T, RUN_SCAN_LANES>(x, y, scans, starts + 1, outs, count);

    // From left to right: a lane is kept when a run really starts at its
    // first point; otherwise the scan from the left goes on over its points.
    RunScan<T> left = scans[0];
    for (std::size_t i = 1; i < count; ++i) {
        if (!matches(x[starts[i]], left.key)) {
            left.close(out);
            for (const Run<T>& run : lane_runs[i]) {
                out.push_back(run);
            }
            left = scans[i];
        } else {
            left.scan_to(x, y, starts[i + 1], out);
        }
        List<Run<T>>().swap(lane_runs[i]);
    }
    left.close(out);
}

template <Element T, class Out>
void detect_runs_into(Points<T> x, Points<T> y, std::uint64_t begin, std::uint64_t end, Out& out) {
    List<Run<T>> lane_runs[RUN_SCAN_LANES];
    detect_runs_into(x, y, begin, end, out, lane_runs);
}

}  // namespace detail

// Scans the points [begin, end) into runs. Each point is compared with the
// key (the x of the run's first point), never with its predecessor; y is
// summed in T in index order and divided by the point count in T.
template <Element T>
List<Run<T>> detect_runs_in_range(Points<T> x, Points<T> y, std::uint64_t begin,
                                  std::uint64_t end) {
    return detect_runs_in_range(x, y, begin, end, reserve_run_lists<T>(begin, end));
}

// The same, written into lists reserved beforehand.
template <Element T>
List<Run<T>> detect_runs_in_range(Points<T> x, Points<T> y, std::uint64_t begin,
                                  std::uint64_t end, RunLists<T> lists) {
    if (begin < end) {
        detail::detect_runs_into(x, y, begin, end, lists.runs, lists.lanes);
    }
    return std::move(lists.runs);
}

// detect_runs, which picks between this scan over all points and the chunked
// path for large inputs, is in core/chunked.hpp.

}  // namespace rasterloom::core
