// What both numberings start from: the frame, the noise, the blocks, the
// hatch directions (just the given one at a known angle) and the line
// stretches with their links.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "layers/blocks.hpp"
#include "layers/directions.hpp"
#include "layers/frame.hpp"
#include "layers/stretches.hpp"

namespace rasterloom::layers {

// Noise below this many rounding steps of the caller's precision is none:
// exact, commanded or quantised positions.
inline constexpr double EXACT_ROUNDING_STEPS = 64.0;

struct Analysis {
    Frame frame;
    std::vector<double> angles;
    std::vector<Turn> turns;
    std::size_t strongest = 0;    // the direction that holds the most line length
    std::uint64_t block = 1;
    double noise = 0.0;           // of a point, normalised units
    double block_noise = 0.0;     // of a block mean
    bool exact = false;
    List<std::int8_t> labels;     // of every block step
    Stretches stretches;          // in block points
    List<std::int64_t> nxt;       // the next line of every line stretch's meander, or NO_LINK
};

// Calls f(blocks): the block means, or the points themselves for blocks of
// one point.
template <class P, class F>
decltype(auto) with_blocks(const Analysis& an, const P& points, F&& f) {
    if (an.block == 1) {
        return f(points);
    }
    return f(Blocks<P>{points, an.block});
}

struct LineFlags {
    List<std::uint8_t> line, prev, next;
};

inline LineFlags line_flags(const List<std::int64_t>& nxt) {
    LineFlags f{List<std::uint8_t>(nxt.size(), 0), List<std::uint8_t>(nxt.size(), 0),
                List<std::uint8_t>(nxt.size(), 0)};
    for (std::size_t k = 0; k < nxt.size(); ++k) {
        if (nxt[k] != NO_LINK) {
            f.next[k] = 1;
            f.prev[static_cast<std::size_t>(nxt[k])] = 1;
        }
    }
    for (std::size_t k = 0; k < nxt.size(); ++k) {
        f.line[k] = f.prev[k] | f.next[k];
    }
    return f;
}

inline void set_turns(Analysis& an) {
    an.turns.clear();
    for (double angle : an.angles) {
        an.turns.push_back(turn(angle));
    }
}

// Stretches and links from the step labels.
template <class B>
void stretches_and_links(Analysis& an, const B& blocks) {
    Stretches found = find_stretches(blocks, an.turns, an.labels);
    an.stretches = merge_pieces(found, blocks, an.turns, an.block_noise);
    an.nxt = link_lines(an.stretches, an.block_noise,
                        [&](std::size_t k) { return pace(an.stretches[k], blocks); }, an.angles.size());
}

// Keeps the directions `keep` (in their order): a step that one of them
// took keeps it, one that a dropped direction took goes to the best aligned
// of the others, or to none; then the stretches and links again.
template <class B>
void keep_directions(Analysis& an, const B& blocks, const std::vector<std::size_t>& keep) {
    std::vector<std::int64_t> renumbered(an.angles.size(), -1);
    std::vector<double> angles;
    for (std::size_t i = 0; i < keep.size(); ++i) {
        renumbered[keep[i]] = static_cast<std::int64_t>(i);
        angles.push_back(an.angles[keep[i]]);
    }
    an.angles = std::move(angles);
    set_turns(an);
    const double floor = an.block_noise * std::sqrt(2.0);
    over_ranges(an.labels.size(), [&](parallel::IndexRange range) {
        for (std::uint64_t k = range.start; k < range.end; ++k) {
            const std::int8_t label = an.labels[k];
            if (label < 0) {
                continue;
            }
            const std::int64_t group = renumbered[static_cast<std::size_t>(label / 2)];
            an.labels[k] = static_cast<std::int8_t>(
                group >= 0 ? 2 * group + label % 2
                           : step_label(blocks.x(k + 1) - blocks.x(k), blocks.y(k + 1) - blocks.y(k), an.turns,
                                        floor));
        }
        return 0;
    });
    stretches_and_links(an, blocks);
}

template <class B>
void directions_and_lines(Analysis& an, const B& blocks, std::optional<double> angle_deg, bool& found) {
    if (!angle_deg) {
        // Directions from evenly spaced block steps, at most SAMPLE_POINTS.
        List<double> dx, dy;
        const std::uint64_t stride = sample_step(blocks.size(), 1);
        for (std::uint64_t i = 0; i + 1 < blocks.size(); i += stride) {
            dx.push_back(blocks.x(i + 1) - blocks.x(i));
            dy.push_back(blocks.y(i + 1) - blocks.y(i));
        }
        an.angles = hatch_directions(dx, dy, an.block_noise);
        if (an.angles.empty()) {
            found = false;
            return;
        }
    } else {
        an.angles = {python_mod(*angle_deg, 180.0)};
    }
    found = true;
    set_turns(an);
    an.labels = classify_steps(blocks, an.turns, an.block_noise);
    stretches_and_links(an, blocks);
    if (an.angles.size() < 2) {
        return;
    }
    // Directions are those of lines: a peak of the histogram whose
    // stretches hold little of the layer's lines (the curves of turn-arounds,
    // a contour's edges) only takes steps from the others, which keep their
    // order.
    const LineFlags flags = line_flags(an.nxt);
    std::vector<double> held(an.angles.size(), 0.0);
    for (std::size_t k = 0; k < an.stretches.size(); ++k) {
        if (flags.line[k]) {
            held[an.stretches[k].group] += an.stretches[k].length();
        }
    }
    const auto top = std::max_element(held.begin(), held.end());
    if (!(*top > 0.0)) {
        return;
    }
    std::vector<std::size_t> keep;
    for (std::size_t g = 0; g < held.size(); ++g) {
        if (held[g] >= REGION_MIN_SHARE * *top) {
            keep.push_back(g);
        }
    }
    const auto strongest = static_cast<std::size_t>(top - held.begin());
    an.strongest = static_cast<std::size_t>(std::find(keep.begin(), keep.end(), strongest) - keep.begin());
    if (keep.size() < held.size()) {
        keep_directions(an, blocks, keep);
    }
}

// Noise, blocks, hatch directions (just `angle_deg` when given) and the line
// stretches with their links; nothing when the path has no direction.
template <class P>
std::optional<Analysis> analyse(Frame frame, const P& points, std::optional<double> angle_deg) {
    Analysis an;
    an.frame = std::move(frame);
    const double measured = noise_level(points);
    const double eps = an.frame.xy.single ? double(std::numeric_limits<float>::epsilon())
                                          : std::numeric_limits<double>::epsilon();
    an.exact = measured <= EXACT_ROUNDING_STEPS * std::max(an.frame.rounding, eps);
    an.noise = std::max(measured, an.frame.rounding);
    an.block = block_size(points, an.noise);
    an.block_noise = an.noise;
    if (an.block > 1) {
        an.block_noise = std::max(noise_level(Blocks<P>{points, an.block}), an.frame.rounding);
    }
    bool found = false;
    with_blocks(an, points, [&](const auto& blocks) { directions_and_lines(an, blocks, angle_deg, found); });
    if (!found) {
        return std::nullopt;
    }
    return an;
}

// Estimates within this many degrees of an axis are taken as the axis.
inline constexpr double AXIS_SNAP_DEG = 1e-3;

inline double snap_to_axis(double angle_deg) noexcept {
    for (double axis : {0.0, 90.0, 180.0}) {
        if (std::fabs(angle_deg - axis) < AXIS_SNAP_DEG) {
            return python_mod(axis, 180.0);
        }
    }
    return angle_deg;
}

// The direction of a group's lines (the stretches `lines`): the
// length-weighted mean direction of their chords from start to end, without
// the first and the last tenth; the group's direction when there are none.
template <class B>
double refine_angle(const Analysis& an, const B& blocks, std::size_t group, std::span<const std::size_t> lines) {
    double a = 0.0, s = 0.0;
    bool any = false;
    for (std::size_t k : lines) {
        const Stretch& st = an.stretches[k];
        const std::uint64_t trim = (st.last - st.first) / 10;
        const std::uint64_t f = st.first + trim, l = st.last - trim;
        if (!(l > f)) {
            continue;
        }
        const Doubled d = doubled(blocks.x(l) - blocks.x(f), blocks.y(l) - blocks.y(f));
        // Sums start from their first term, as running sums do.
        a = any ? a + d.c * d.length : d.c * d.length;
        s = any ? s + d.s * d.length : d.s * d.length;
        any = true;
    }
    return any ? degrees_of_doubled(a, s) : an.angles[group];
}

// The refined, snapped direction of the strongest group.
template <class P>
double estimate(const Analysis& an, const P& points) {
    const LineFlags flags = line_flags(an.nxt);
    std::vector<std::size_t> lines;
    for (std::size_t k = 0; k < an.stretches.size(); ++k) {
        if (flags.line[k] && an.stretches[k].group == an.strongest) {
            lines.push_back(k);
        }
    }
    return with_blocks(an, points, [&](const auto& blocks) {
        return snap_to_axis(refine_angle(an, blocks, an.strongest, lines));
    });
}

}  // namespace rasterloom::layers
