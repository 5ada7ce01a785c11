// What both numberings start from: the frame, the noise, the blocks, the
// hatch directions (just the given one at a known angle) and the line
// stretches with their links.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
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
    std::uint64_t block = 1;
    double noise = 0.0;        // of a point, normalised units
    bool exact = false;
    Floats bx_store, by_store; // the block means when blocks hold several points
    Stretches stretches;       // in block points
    List<std::int64_t> nxt;    // the next line of every line stretch's meander, or NO_LINK

    BlockPoints blocks() const noexcept {
        if (block == 1) {
            return {std::span<const double>(frame.xn), std::span<const double>(frame.yn)};
        }
        return {std::span<const double>(bx_store), std::span<const double>(by_store)};
    }
};

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

inline void lines_along(Analysis& an) {
    an.turns.clear();
    for (double angle : an.angles) {
        an.turns.push_back(turn(angle));
    }
    const BlockPoints p = an.blocks();
    const double block_noise = an.block > 1
        ? std::max(noise_level(p.x, p.y), an.frame.rounding) : an.noise;
    Stretches found = find_stretches(p, an.turns, block_noise);
    an.stretches = merge_pieces(found, p, an.turns, block_noise);
    an.nxt = link_lines(an.stretches, block_noise, paces(an.stretches, p), an.angles.size());
}

// Noise, blocks, hatch directions (just `angle_deg` when given) and the line
// stretches with their links; nothing when the path has no direction.
inline std::optional<Analysis> analyse(Frame frame, std::optional<double> angle_deg) {
    Analysis an;
    an.frame = std::move(frame);
    const std::span<const double> xn(an.frame.xn), yn(an.frame.yn);
    const double measured = noise_level(xn, yn);
    const double eps = an.frame.single ? double(std::numeric_limits<float>::epsilon())
                                       : std::numeric_limits<double>::epsilon();
    an.exact = measured <= EXACT_ROUNDING_STEPS * std::max(an.frame.rounding, eps);
    an.noise = std::max(measured, an.frame.rounding);
    an.block = block_size(xn, yn, an.noise);
    if (an.block > 1) {
        an.bx_store = block_means(xn, an.block);
        an.by_store = block_means(yn, an.block);
    }
    if (!angle_deg) {
        const BlockPoints p = an.blocks();
        const double block_noise = an.block > 1
            ? std::max(noise_level(p.x, p.y), an.frame.rounding) : an.noise;
        // Directions from evenly spaced block steps, at most SAMPLE_POINTS.
        List<double> dx, dy;
        const std::uint64_t stride = sample_step(p.size(), 1);
        for (std::uint64_t i = 0; i + 1 < p.size(); i += stride) {
            dx.push_back(p.x[i + 1] - p.x[i]);
            dy.push_back(p.y[i + 1] - p.y[i]);
        }
        an.angles = hatch_directions(dx, dy, block_noise);
        if (an.angles.empty()) {
            return std::nullopt;
        }
    } else {
        an.angles = {python_mod(*angle_deg, 180.0)};
    }
    lines_along(an);
    if (an.angles.size() > 1) {
        // Directions are those of lines: a peak of the histogram whose
        // stretches hold little of the layer's lines (the curves of
        // turn-arounds, a contour's edges) only takes steps from the others.
        const LineFlags flags = line_flags(an.nxt);
        std::vector<double> held(an.angles.size(), 0.0);
        for (std::size_t k = 0; k < an.stretches.size(); ++k) {
            if (flags.line[k]) {
                held[an.stretches[k].group] += an.stretches[k].length();
            }
        }
        const double most = *std::max_element(held.begin(), held.end());
        if (most > 0.0) {
            std::vector<std::size_t> order(held.size());
            std::iota(order.begin(), order.end(), 0);
            std::stable_sort(order.begin(), order.end(),
                             [&held](std::size_t a, std::size_t b) { return -held[a] < -held[b]; });
            std::vector<std::size_t> keep;
            for (std::size_t g : order) {
                if (held[g] >= REGION_MIN_SHARE * most) {
                    keep.push_back(g);
                }
            }
            bool same = keep.size() == held.size();
            for (std::size_t i = 0; same && i < keep.size(); ++i) {
                same = keep[i] == i;
            }
            if (!same) {
                std::vector<double> angles;
                for (std::size_t g : keep) {
                    angles.push_back(an.angles[g]);
                }
                an.angles = std::move(angles);
                lines_along(an);
            }
        }
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
inline double refine_angle(const Analysis& an, std::size_t group, std::span<const std::size_t> lines) {
    const BlockPoints p = an.blocks();
    double a = 0.0, s = 0.0;
    bool any = false;
    for (std::size_t k : lines) {
        const Stretch& st = an.stretches[k];
        const std::uint64_t trim = (st.last - st.first) / 10;
        const std::uint64_t f = st.first + trim, l = st.last - trim;
        if (!(l > f)) {
            continue;
        }
        const Doubled d = doubled(p.x[l] - p.x[f], p.y[l] - p.y[f]);
        // Sums start from their first term, as running sums do.
        a = any ? a + d.c * d.length : d.c * d.length;
        s = any ? s + d.s * d.length : d.s * d.length;
        any = true;
    }
    return any ? degrees_of_doubled(a, s) : an.angles[group];
}

// The refined, snapped direction of the strongest group.
inline double estimate(const Analysis& an) {
    const LineFlags flags = line_flags(an.nxt);
    std::vector<std::size_t> lines;
    for (std::size_t k = 0; k < an.stretches.size(); ++k) {
        if (flags.line[k] && an.stretches[k].group == 0) {
            lines.push_back(k);
        }
    }
    return snap_to_axis(refine_angle(an, 0, lines));
}

}  // namespace rasterloom::layers
