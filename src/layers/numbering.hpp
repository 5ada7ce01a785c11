// The default numbering: every line stretch gets an id of its own, 1, 2, ...
// in path order. Neighbouring lines of a meander meet just after the middle
// point of the turn-around between them (the point that lies furthest on
// along the earlier line); lines that follow each other directly without
// being neighbours meet where the path leaves one for the other; elsewhere a
// line ends at its own ends.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "layers/analysis.hpp"

namespace rasterloom::layers {

// Points of a turn-around this many noise widths short of its furthest
// point along the line are as far on.
inline constexpr double TURN_TIE = 3.0;

// The first point of line j after its neighbour k, within the points
// [lo, hi): just after the middle point of the turn-around between them, the
// point furthest on along k (the middle one where several lie as far on,
// within the noise).
inline std::uint64_t turning_point(const Analysis& an, const Stretch& k, std::uint64_t lo,
                                   std::uint64_t hi) {
    const Turn& t = an.turns[k.group];
    const double sense = static_cast<double>(k.sense);
    double furthest = -std::numeric_limits<double>::infinity();
    for (std::uint64_t i = lo; i < hi; ++i) {
        furthest = std::max(furthest, along(t, an.frame.xn[i], an.frame.yn[i]) * sense);
    }
    const double tie = furthest - TURN_TIE * an.noise;
    std::uint64_t first = hi, last = lo;
    bool any = false;
    for (std::uint64_t i = lo; i < hi; ++i) {
        if (along(t, an.frame.xn[i], an.frame.yn[i]) * sense >= tie) {
            first = any ? first : i;
            last = i;
            any = true;
        }
    }
    return first + (last - first) / 2 + 1;
}

// Where line j takes over from line k, which it follows directly without
// being its neighbour, within [lo, hi): the split that leaves the least
// distance to the wrong line (across it, from where it ends or starts) on
// either side; points as near to one line as to the other go to the earlier
// one. `running` is the sum of the distance differences over all splits so
// far, carried from one pair to the next.
inline std::uint64_t split_point(const Analysis& an, const Stretch& k, const Stretch& j,
                                 std::uint64_t lo, std::uint64_t hi, double& running) {
    const Turn& tk = an.turns[k.group];
    const Turn& tj = an.turns[j.group];
    const double start = running;
    std::int64_t at = -1;
    // The lowest of the sums and the last point where it is reached.
    double best = std::numeric_limits<double>::infinity();
    for (std::uint64_t i = lo; i < hi; ++i) {
        const double x = an.frame.xn[i], y = an.frame.yn[i];
        const double f0 = 0.0 + std::fabs(across(tk, x, y) - k.u_last);
        double f = f0 + -std::fabs(across(tj, x, y) - j.u_first);
        if (std::fabs(f) <= an.noise) {
            f = 0.0;
        }
        running += f;
        const double before = running - start;
        if (before < best) {
            best = before;
        }
    }
    const double lowest = std::min(best, 0.0);
    running = start;
    for (std::uint64_t i = lo; i < hi; ++i) {
        const double x = an.frame.xn[i], y = an.frame.yn[i];
        const double f0 = 0.0 + std::fabs(across(tk, x, y) - k.u_last);
        double f = f0 + -std::fabs(across(tj, x, y) - j.u_first);
        if (std::fabs(f) <= an.noise) {
            f = 0.0;
        }
        running += f;
        if (running - start == lowest) {
            at = static_cast<std::int64_t>(i - lo);
        }
    }
    return lo + (at >= 0 ? static_cast<std::uint64_t>(at) + 1 : 0);
}

// Ids of every line over the finite points (0 elsewhere) into `ids`.
inline void number_all_lines(const Analysis& an, std::span<std::int32_t> ids) {
    const Stretches& st = an.stretches;
    const std::uint64_t w = an.block, n = an.frame.n;
    std::fill(ids.begin(), ids.end(), 0);
    const LineFlags flags = line_flags(an.nxt);
    std::vector<std::size_t> lines;
    for (std::size_t k = 0; k < st.size(); ++k) {
        if (flags.line[k]) {
            lines.push_back(k);
        }
    }
    if (lines.empty()) {
        return;
    }
    List<std::uint64_t> starts(st.size()), ends(st.size());
    for (std::size_t k = 0; k < st.size(); ++k) {
        starts[k] = st[k].first * w;
        ends[k] = std::min((st[k].last + 1) * w, n);
    }
    // Which consecutive lines meet where: decided before any end moves.
    const std::size_t pairs = lines.size() - 1;
    List<std::uint8_t> turning(pairs, 0), touching(pairs, 0);
    List<std::uint64_t> turn_lo(pairs), turn_hi(pairs);
    for (std::size_t i = 0; i < pairs; ++i) {
        const std::size_t k = lines[i], j = lines[i + 1];
        const bool linked = an.nxt[k] == static_cast<std::int64_t>(j);
        // The turn-around: the points after the last of k and before the
        // first of j (with blocks of several points, their end blocks too).
        turn_lo[i] = st[k].last * w + (w == 1 ? 1 : 0);
        turn_hi[i] = std::min(st[j].first * w + (w == 1 ? 0 : w), n);
        turning[i] = linked && turn_hi[i] > turn_lo[i];
        touching[i] = !turning[i] && starts[j] <= ends[k] + w;
    }
    for (std::size_t i = 0; i < pairs; ++i) {
        if (turning[i]) {
            const std::uint64_t split = turning_point(an, st[lines[i]], turn_lo[i], turn_hi[i]);
            ends[lines[i]] = split;
            starts[lines[i + 1]] = split;
        }
    }
    // The touching pairs' ranges from the ends as the turns left them.
    List<std::uint64_t> lo(pairs), hi(pairs);
    for (std::size_t i = 0; i < pairs; ++i) {
        if (touching[i]) {
            const std::size_t k = lines[i], j = lines[i + 1];
            // As signed values: start - w may go below 0 before the larger
            // of it and the start of k is taken.
            const std::int64_t low = std::max<std::int64_t>(
                std::min(static_cast<std::int64_t>(starts[j]) - static_cast<std::int64_t>(w),
                         static_cast<std::int64_t>(ends[k]) - static_cast<std::int64_t>(w)),
                static_cast<std::int64_t>(starts[k]));
            lo[i] = static_cast<std::uint64_t>(low);
            hi[i] = std::min(std::max(ends[k] + w, starts[j] + w), ends[j]);
            hi[i] = std::max(hi[i], lo[i] + 1);
        }
    }
    double running = 0.0;
    for (std::size_t i = 0; i < pairs; ++i) {
        if (touching[i]) {
            const std::size_t k = lines[i], j = lines[i + 1];
            const std::uint64_t split = split_point(an, st[k], st[j], lo[i], hi[i], running);
            ends[k] = split;
            starts[j] = split;
        }
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::uint64_t s = starts[lines[i]], e = ends[lines[i]];
        for (std::uint64_t p = s; p < e; ++p) {
            ids[p] = static_cast<std::int32_t>(i + 1);
        }
    }
}

}  // namespace rasterloom::layers
