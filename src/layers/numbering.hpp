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
template <class P>
std::uint64_t turning_point(const Analysis& an, const P& points, const Stretch& k, std::uint64_t lo,
                            std::uint64_t hi) {
    const Turn& t = an.turns[k.group];
    const double sense = static_cast<double>(k.sense);
    double furthest = -std::numeric_limits<double>::infinity();
    for (std::uint64_t i = lo; i < hi; ++i) {
        furthest = std::max(furthest, along(t, points.x(i), points.y(i)) * sense);
    }
    const double tie = furthest - TURN_TIE * an.noise;
    std::uint64_t first = hi, last = lo;
    bool any = false;
    for (std::uint64_t i = lo; i < hi; ++i) {
        if (along(t, points.x(i), points.y(i)) * sense >= tie) {
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
template <class P>
std::uint64_t split_point(const Analysis& an, const P& points, const Stretch& k, const Stretch& j,
                          std::uint64_t lo, std::uint64_t hi, double& running) {
    const Turn& tk = an.turns[k.group];
    const Turn& tj = an.turns[j.group];
    const double start = running;
    std::int64_t at = -1;
    // The lowest of the sums and the last point where it is reached.
    double best = std::numeric_limits<double>::infinity();
    for (std::uint64_t i = lo; i < hi; ++i) {
        const double x = points.x(i), y = points.y(i);
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
        const double x = points.x(i), y = points.y(i);
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

// The labels of the finite points into `labels`: the id of every line, -1
// elsewhere.
template <class P>
void number_all_lines(const Analysis& an, const P& points, std::span<std::int32_t> labels) {
    const Stretches& st = an.stretches;
    const std::uint64_t w = an.block, n = an.frame.n;
    const LineFlags flags = line_flags(an.nxt);
    std::vector<std::size_t> lines;
    for (std::size_t k = 0; k < st.size(); ++k) {
        if (flags.line[k]) {
            lines.push_back(k);
        }
    }
    List<std::uint64_t> starts(lines.size()), ends(lines.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        starts[i] = st[lines[i]].first * w;
        ends[i] = std::min((st[lines[i]].last + 1) * w, n);
    }
    // Which consecutive lines meet where, decided before any end moves.
    const std::size_t pairs = lines.empty() ? 0 : lines.size() - 1;
    List<std::uint8_t> turning(pairs, 0), touching(pairs, 0);
    List<std::uint64_t> lo(pairs), hi(pairs);
    for (std::size_t i = 0; i < pairs; ++i) {
        const Stretch& k = st[lines[i]];
        const Stretch& j = st[lines[i + 1]];
        const bool linked = an.nxt[lines[i]] == static_cast<std::int64_t>(lines[i + 1]);
        // The turn-around: the points after the last of k and before the
        // first of j (with blocks of several points, their end blocks too).
        lo[i] = k.last * w + (w == 1 ? 1 : 0);
        hi[i] = std::min(j.first * w + (w == 1 ? 0 : w), n);
        turning[i] = linked && hi[i] > lo[i];
        touching[i] = !turning[i] && starts[i + 1] <= ends[i] + w;
    }
    for (std::size_t i = 0; i < pairs; ++i) {
        if (turning[i]) {
            ends[i] = starts[i + 1] = turning_point(an, points, st[lines[i]], lo[i], hi[i]);
        }
    }
    // The touching pairs' ranges, from the ends as the turns left them.
    for (std::size_t i = 0; i < pairs; ++i) {
        if (touching[i]) {
            const auto wide = static_cast<std::int64_t>(w);
            lo[i] = static_cast<std::uint64_t>(std::max<std::int64_t>(
                std::min(static_cast<std::int64_t>(starts[i + 1]) - wide, static_cast<std::int64_t>(ends[i]) - wide),
                static_cast<std::int64_t>(starts[i])));
            hi[i] = std::max(std::min(std::max(ends[i] + w, starts[i + 1] + w), ends[i + 1]), lo[i] + 1);
        }
    }
    double running = 0.0;
    for (std::size_t i = 0; i < pairs; ++i) {
        if (touching[i]) {
            ends[i] = starts[i + 1] = split_point(an, points, st[lines[i]], st[lines[i + 1]], lo[i], hi[i], running);
        }
    }
    // In path order: -1 up to a line, its id over it (over the end of the
    // line before where they overlap). Each range of the pool writes its own
    // points, so every point gets the id of the last line over it.
    over_ranges(n, [&](parallel::IndexRange range) {
        std::uint64_t cursor = range.start;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const std::uint64_t start = std::clamp(starts[i], range.start, range.end);
            const std::uint64_t end = std::clamp(ends[i], range.start, range.end);
            for (std::uint64_t p = cursor; p < start; ++p) {
                labels[p] = -1;
            }
            for (std::uint64_t p = start; p < end; ++p) {
                labels[p] = static_cast<std::int32_t>(i + 1);
            }
            cursor = std::max(cursor, end);
        }
        for (std::uint64_t p = cursor; p < range.end; ++p) {
            labels[p] = -1;
        }
        return 0;
    });
}

}  // namespace rasterloom::layers
