// Line stretches and the links between neighbouring lines.
//
// A block step runs along a hatch direction when it advances along it by
// more than a few noise widths and strays across by less than a few noise
// widths plus the tilt. Runs of such steps in one direction and one sense
// are stretches; consecutive stretches that continue each other on one line
// are joined. Two stretches of one direction that follow each other are
// neighbouring lines of one meander when they run in opposite senses,
// overlap along the lines and lie about one line spacing apart across them.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>
#include <vector>

#include "layers/directions.hpp"
#include "layers/frame.hpp"

namespace rasterloom::layers {

// Neighbouring lines of one meander lie this many of their chain's spacings
// apart at least and at most.
inline constexpr double SPACING_LOW = 0.6, SPACING_HIGH = 1.6;
// Between two neighbouring lines lie at most this many stretches of other
// directions, none longer than this many times the lines' spacing.
inline constexpr std::int64_t MAX_BETWEEN = 4;
inline constexpr double BETWEEN_LENGTH = 2.5;
// At least one of two neighbouring lines is this share of their spacing
// long (a hatch clipped by the part may leave lines shorter than it).
inline constexpr double LINE_TO_SPACING = 0.25;
// A stretch of this many block steps at most that moves this many times
// faster than its neighbour is a jump, not a line.
inline constexpr std::uint64_t JUMP_STEPS = 2;
inline constexpr double PACE_RATIO = 2.5;
// A chain's own spacing lies within these factors of its direction's.
inline constexpr double CHAIN_SPREAD_LOW = 1.0 / 3.0, CHAIN_SPREAD_HIGH = 3.0;
// Chains of links this short are checked against the direction's usual
// spacing instead of their own.
inline constexpr std::size_t SHORT_CHAIN = 2;

// A run of block steps [first, last) along one direction and sense: block
// points first .. last, with the position across the lines near either end
// (the mean of three block points) and along them at either end, in the
// direction's frame.
struct Stretch {
    std::uint32_t group;
    std::int32_t sense;   // +1 or -1 along v
    std::uint64_t first, last;
    double u_first, u_last, v_first, v_last;

    double length() const noexcept { return std::fabs(v_last - v_first); }
    std::uint64_t steps() const noexcept { return last - first; }
};

using Stretches = List<Stretch>;

// The label of a block step: 2 * group + (1 along +v), or -1.
inline std::int64_t step_label(double dx, double dy, std::span<const Turn> turns, double floor) noexcept {
    std::int64_t label = -1;
    double best = std::numeric_limits<double>::infinity();
    const double advance = ADVANCE * floor, stray = STRAY * floor;
    for (std::size_t g = 0; g < turns.size(); ++g) {
        const double du = across(turns[g], dx, dy), dv = along(turns[g], dx, dy);
        const double adv = std::fabs(dv), off = std::fabs(du);
        if (!(adv >= advance && off <= TILT * adv + stray)) {
            continue;
        }
        // The best aligned direction wins where several would take a step.
        const double lean = off / (adv > 0.0 ? adv : 1.0);
        if (lean < best) {
            best = lean;
            label = 2 * static_cast<std::int64_t>(g) + (dv > 0.0 ? 1 : 0);
        }
    }
    return label;
}

// The label of every block step, on the pool for long paths. Equal to
// step_label's for every step: a step that runs along one direction only
// takes it without comparing leans, and the exact quarter turns give the
// same magnitudes and senses by the general formula (only the sign of a
// zero differs, which no test looks at).
template <class B>
List<std::int8_t> classify_steps(const B& p, std::span<const Turn> turns, double noise) {
    const std::uint64_t steps = p.size() > 0 ? p.size() - 1 : 0;
    const double floor = noise * std::sqrt(2.0);
    const double advance = ADVANCE * floor, stray = STRAY * floor;
    List<std::int8_t> labels(steps);
    const std::size_t groups = turns.size();
    over_ranges(steps, [&](parallel::IndexRange range) {
        if (range.start >= range.end) {
            return 0;
        }
        // One loop per count of directions up to two (the usual counts),
        // which the compiler unrolls. Everything the loop reads is copied
        // into locals first: the labels are bytes, and a store of a byte may
        // alias anything else in memory.
        auto sweep = [&, points = p](auto fixed) {
            constexpr std::size_t count = decltype(fixed)::value;
            const std::size_t n_groups = count > 0 ? count : groups;
            double c[2] = {0.0, 0.0}, s[2] = {0.0, 0.0};
            for (std::size_t g = 0; g < std::min<std::size_t>(groups, 2); ++g) {
                c[g] = turns[g].c, s[g] = turns[g].s;
            }
            const double lo = advance, off = stray, tilt = TILT;
            std::int8_t* out = labels.data();
            double x0 = points.x(range.start), y0 = points.y(range.start);
            for (std::uint64_t k = range.start; k < range.end; ++k) {
                const double x1 = points.x(k + 1), y1 = points.y(k + 1);
                const double dx = x1 - x0, dy = y1 - y0;
                x0 = x1, y0 = y1;
                std::int64_t label = -1;
                int taking = 0;
                for (std::size_t g = 0; g < n_groups; ++g) {
                    const double cg = count > 0 ? c[g] : turns[g].c, sg = count > 0 ? s[g] : turns[g].s;
                    const double du = dx * sg - dy * cg;
                    const double dv = dx * cg + dy * sg;
                    const double adv = std::fabs(dv);
                    const bool runs_along = adv >= lo && std::fabs(du) <= tilt * adv + off;
                    label = runs_along && taking == 0 ? 2 * static_cast<std::int64_t>(g) + (dv > 0.0 ? 1 : 0)
                                                      : label;
                    taking += runs_along ? 1 : 0;
                }
                if (taking > 1) [[unlikely]] {
                    label = step_label(dx, dy, turns, floor);
                }
                out[k] = static_cast<std::int8_t>(label);
            }
        };
        if (groups == 1) {
            sweep(std::integral_constant<std::size_t, 1>{});
        } else if (groups == 2) {
            sweep(std::integral_constant<std::size_t, 2>{});
        } else {
            sweep(std::integral_constant<std::size_t, 0>{});
        }
        return 0;
    });
    return labels;
}

// Mean of u over the three block points at one end of [first, last] (fewer
// distinct ones in short ranges).
template <class U>
double end_mean(const U& u, std::uint64_t first, std::uint64_t last, bool from_end) {
    std::uint64_t i0, i1, i2;
    if (from_end) {
        i0 = last, i1 = std::max(last - std::min<std::uint64_t>(last, 1), first);
        i2 = std::max(last - std::min<std::uint64_t>(last, 2), first);
    } else {
        i0 = first, i1 = std::min(first + 1, last), i2 = std::min(first + 2, last);
    }
    return ((u(i0) + u(i1)) + u(i2)) / 3.0;
}

template <class B>
Stretch make_stretch(const B& p, std::span<const Turn> turns, std::uint32_t group, std::int32_t sense,
                     std::uint64_t first, std::uint64_t last) {
    const Turn& t = turns[group];
    auto u = [&](std::uint64_t i) { return across(t, p.x(i), p.y(i)); };
    return Stretch{group, sense, first, last, end_mean(u, first, last, false), end_mean(u, first, last, true),
                   along(t, p.x(first), p.y(first)), along(t, p.x(last), p.y(last))};
}

// The stretches of labelled steps: every run of equally labelled steps along
// a direction, in path order. Each range of the pool takes the runs that
// begin in it (a run begins at the first step or where the label changes),
// however far they reach beyond it, so the ranges' lists together are the
// runs of the whole path.
template <class B>
Stretches find_stretches(const B& p, std::span<const Turn> turns, const List<std::int8_t>& labels) {
    const std::uint64_t steps = labels.size();
    std::vector<Stretches> parts = over_ranges(steps, [&](parallel::IndexRange range) {
        Stretches out;
        std::uint64_t k = range.start;
        while (k > 0 && k < range.end && labels[k] == labels[k - 1]) {
            ++k;
        }
        while (k < range.end) {
            const std::int8_t label = labels[k];
            std::uint64_t end = k + 1;
            while (end < steps && labels[end] == label) {
                ++end;
            }
            if (label >= 0) {
                out.push_back(make_stretch(p, turns, static_cast<std::uint32_t>(label / 2),
                                           label % 2 == 1 ? 1 : -1, k, end));
            }
            k = end;
        }
        return out;
    });
    if (parts.size() == 1) {
        return std::move(parts.front());
    }
    std::size_t total = 0;
    for (const Stretches& part : parts) {
        total += part.size();
    }
    Stretches out;
    out.reserve(total);
    for (const Stretches& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// Joins consecutive stretches of one direction and sense that continue each
// other: the second starts ahead of where the first ended, on its line, and
// the path between them does not leave the line (a step that noise threw
// off, a hole jumped at another speed; not the contour of a part between the
// last line of one part and the first of the next).
template <class B>
Stretches merge_pieces(const Stretches& st, const B& p, std::span<const Turn> turns, double noise) {
    const std::size_t m = st.size();
    if (m < 2) {
        return st;
    }
    const double floor = noise * std::sqrt(2.0);
    List<std::uint8_t> joins(m - 1, 0);
    bool any = false;
    for (std::size_t i = 0; i + 1 < m; ++i) {
        const Stretch& a = st[i];
        const Stretch& b = st[i + 1];
        const double gap_v = (b.v_first - a.v_last) * static_cast<double>(a.sense);
        const double gap_u = std::fabs(b.u_first - a.u_last);
        const double stray = TILT * std::fabs(gap_v) + 2.0 * STRAY * floor;
        if (!(a.group == b.group && a.sense == b.sense && gap_v >= -STRAY * floor && gap_u <= stray)) {
            continue;
        }
        const Turn& t = turns[a.group];
        double off = 0.0;
        for (std::uint64_t k = a.last; k <= b.first; ++k) {
            off = std::max(off, std::fabs(across(t, p.x(k), p.y(k)) - a.u_last));
        }
        if (off > stray) {
            continue;
        }
        joins[i] = 1;
        any = true;
    }
    if (!any) {
        return st;
    }
    Stretches out;
    for (std::size_t i = 0; i < m; ++i) {
        if (i > 0 && joins[i - 1]) {
            Stretch& head = out.back();
            head.last = st[i].last;
            head.u_last = st[i].u_last;
            head.v_last = st[i].v_last;
        } else {
            out.push_back(st[i]);
        }
    }
    return out;
}

// How far a stretch moves per block step, without its longest step (a hole
// in a line of a laser-on-only log is one long step); the one step of a
// stretch that has no other.
template <class B>
double pace(const Stretch& s, const B& p) {
    double longest = -std::numeric_limits<double>::infinity();
    for (std::uint64_t k = s.first; k < s.last; ++k) {
        const double dx = p.x(k + 1) - p.x(k), dy = p.y(k + 1) - p.y(k);
        longest = std::max(longest, std::sqrt(dx * dx + dy * dy));
    }
    const std::uint64_t count = s.steps();
    return count > 1 ? std::max(s.length() - longest, 0.0) / static_cast<double>(count - 1) : longest;
}

inline constexpr std::int64_t NO_LINK = -1;

// For every stretch, the next stretch when the two are neighbouring lines of
// one meander, else NO_LINK.
// `pace(k)` is the pace of stretch k (asked for only next to a stretch of
// JUMP_STEPS steps or fewer).
template <class Pace>
List<std::int64_t> link_lines(const Stretches& st, double noise, Pace&& pace, std::size_t groups) {
    const std::size_t m = st.size();
    List<std::int64_t> nxt(m, NO_LINK);
    if (m < 2) {
        return nxt;
    }
    const double floor = noise * std::sqrt(2.0);
    // Pairs: every stretch and the next of its direction, in stretch order.
    List<std::int64_t> last_of(groups, NO_LINK);
    List<std::int64_t> following(m, NO_LINK);
    for (std::size_t i = 0; i < m; ++i) {
        std::int64_t& previous = last_of[st[i].group];
        if (previous != NO_LINK) {
            following[static_cast<std::size_t>(previous)] = static_cast<std::int64_t>(i);
        }
        previous = static_cast<std::int64_t>(i);
    }
    struct Pair {
        std::size_t k, j;
        double d, spacing;
        bool candidate;
    };
    List<Pair> pairs;
    for (std::size_t k = 0; k < m; ++k) {
        if (following[k] == NO_LINK) {
            continue;
        }
        const std::size_t j = static_cast<std::size_t>(following[k]);
        const Stretch& a = st[k];
        const Stretch& b = st[j];
        const double d = b.u_first - a.u_last;
        const double spacing = std::fabs(d);
        const double overlap = std::min(std::max(b.v_first, b.v_last), std::max(a.v_first, a.v_last)) -
                               std::max(std::min(b.v_first, b.v_last), std::min(a.v_first, a.v_last));
        const std::int64_t between = static_cast<std::int64_t>(j) - static_cast<std::int64_t>(k) - 1;
        double longest = 0.0;
        for (std::int64_t step = 1; step <= MAX_BETWEEN && step <= between; ++step) {
            longest = std::max(longest, st[k + static_cast<std::size_t>(step)].length());
        }
        const bool candidate =
            b.sense != a.sense && spacing > STRAY * floor && overlap >= -STRAY * floor &&
            between <= MAX_BETWEEN && longest <= BETWEEN_LENGTH * spacing &&
            std::max(a.length(), b.length()) >= LINE_TO_SPACING * spacing &&
            !(a.steps() <= JUMP_STEPS && pace(k) > PACE_RATIO * pace(j)) &&
            !(b.steps() <= JUMP_STEPS && pace(j) > PACE_RATIO * pace(k));
        pairs.push_back({k, j, d, spacing, candidate});
    }
    // The usual spacing of every direction, over all its candidate pairs.
    Floats typical(groups, 0.0);
    for (std::size_t g = 0; g < groups; ++g) {
        List<double> values;
        for (const Pair& pair : pairs) {
            if (pair.candidate && st[pair.k].group == g) {
                values.push_back(pair.spacing);
            }
        }
        typical[g] = upper_median(values);
    }
    // Chains: runs of candidate pairs that follow each other in the list
    // (pair i ends where pair i + 1 starts).
    List<std::uint8_t> accepted(pairs.size(), 0);
    std::size_t a = 0;
    while (a < pairs.size()) {
        if (!pairs[a].candidate) {
            ++a;
            continue;
        }
        std::size_t b = a + 1;
        while (b < pairs.size() && pairs[b].candidate && pairs[b - 1].j == pairs[b].k) {
            ++b;
        }
        const std::size_t count = b - a;
        std::size_t ahead = 0;
        for (std::size_t i = a; i < b; ++i) {
            ahead += pairs[i].d > 0.0 ? 1 : 0;
        }
        const double side = 2 * ahead >= count ? 1.0 : -1.0;
        const double usual = typical[st[pairs[a].k].group];
        double h = usual;
        if (count > SHORT_CHAIN) {
            List<double> values;
            for (std::size_t i = a; i < b; ++i) {
                values.push_back(pairs[i].spacing);
            }
            h = upper_median(values);
        }
        // A chain far wider or narrower than the direction's usual spacing
        // is no meander (the edges of a row of holes' contours).
        if (CHAIN_SPREAD_LOW * usual <= h && h <= CHAIN_SPREAD_HIGH * usual) {
            for (std::size_t i = a; i < b; ++i) {
                accepted[i] = pairs[i].d * side > 0.0 && pairs[i].spacing >= SPACING_LOW * h &&
                              pairs[i].spacing <= SPACING_HIGH * h;
            }
        }
        a = b;
    }
    List<std::uint8_t> is_line(m, 0);
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        if (accepted[i]) {
            nxt[pairs[i].k] = static_cast<std::int64_t>(pairs[i].j);
            is_line[pairs[i].k] = is_line[pairs[i].j] = 1;
        }
    }
    // A pair with a line of another direction between them is no pair.
    List<std::uint64_t> count(m + 1, 0);
    for (std::size_t i = 0; i < m; ++i) {
        count[i + 1] = count[i] + is_line[i];
    }
    for (std::size_t k = 0; k < m; ++k) {
        if (nxt[k] != NO_LINK && count[static_cast<std::size_t>(nxt[k])] - count[k + 1] > 0) {
            nxt[k] = NO_LINK;
        }
    }
    return nxt;
}

}  // namespace rasterloom::layers
