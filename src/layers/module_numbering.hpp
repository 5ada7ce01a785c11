// The module's own numbering at any angle (all_lines=False), region by
// region: each region turned so that its lines run along y, every stretch
// of its direction given one shared x, noisy positions off the lines
// smoothed, and the core's numbering run on the result in the caller's
// element type; ids of later regions shifted up.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "core/compute_scanline_ids.hpp"
#include "layers/analysis.hpp"

namespace rasterloom::layers {

// Coordinates beyond this many powers of two from 1 are scaled (by a power
// of two) for the module's numbering: its products of squared distances
// would overflow or vanish, and its absolute tolerance of one rounding step
// at 1 would join every point, or none.
inline constexpr int MODULE_SAFE_EXPONENT = 40;
inline constexpr int MODULE_SAFE_EXPONENT_SINGLE = 24;
// Off the lines, noisy positions are averaged over this many points on
// either side.
inline constexpr std::uint64_t SMOOTH_HALF_WIDTH = 3;

// The power of two the caller's coordinates are scaled by for the module.
inline int module_exponent(const Frame& fr) {
    if (fr.big == 0.0) {
        return 0;
    }
    const int e = binary_exponent(fr.big);
    return std::abs(e) <= (fr.xy.single ? MODULE_SAFE_EXPONENT_SINGLE : MODULE_SAFE_EXPONENT) ? 0 : -e;
}

struct Range {
    std::uint64_t start, end;
};

// Ranges of whole blocks moved to the points on the line: at either end, up
// to a block's points beyond the range that lie on the line are taken in,
// and within its end blocks the points that stray from it are left out. On
// the line means within `tolerance` of the range's middle point across.
inline void fit_to_line(std::span<const double> u, List<Range>& ranges, std::uint64_t w,
                        double tolerance) {
    if (w == 1) {
        return;
    }
    const std::uint64_t n = u.size();
    for (Range& r : ranges) {
        const std::uint64_t start = r.start, end = r.end;
        const double level = u[(start + end - 1) / 2];
        std::uint64_t s = start, e = end;
        for (std::uint64_t round = 0; round < w; ++round) {
            if (s > 0 && start - s < w && std::fabs(u[s - 1] - level) <= tolerance) {
                --s;
            }
            if (e < n && e - end < w && std::fabs(u[e] - level) <= tolerance) {
                ++e;
            }
        }
        for (std::uint64_t round = 0; round < w; ++round) {
            if (s >= start && s - start < w && e - s > 1 && std::fabs(u[s] - level) > tolerance) {
                ++s;
            }
            if (end - std::min(end, e) < w && e <= end + w && e - s > 1 &&
                std::fabs(u[e - 1] - level) > tolerance) {
                --e;
            }
        }
        r = {s, e};
    }
}

// u with one shared value (the range's mean, or its value when all are
// equal) over every range.
inline void straighten(std::span<double> u, const List<Range>& ranges) {
    List<double> shared(ranges.size());
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        const Range r = ranges[i];
        if (r.end <= r.start) {
            continue;
        }
        double sum = 0.0, low = u[r.start], high = u[r.start];
        for (std::uint64_t p = r.start; p < r.end; ++p) {
            sum += u[p];
            low = std::min(low, u[p]);
            high = std::max(high, u[p]);
        }
        shared[i] = low == high ? low : sum / static_cast<double>(r.end - r.start);
    }
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        for (std::uint64_t p = ranges[i].start; p < ranges[i].end; ++p) {
            u[p] = shared[i];
        }
    }
}

// u averaged over 2 * SMOOTH_HALF_WIDTH + 1 consecutive points wherever a
// point is off the lines (and far enough from either end); from the values
// as they were before.
inline void smooth_off(std::span<double> u, std::span<const std::uint8_t> on_line) {
    const std::uint64_t n = u.size(), half = SMOOTH_HALF_WIDTH, width = 2 * half + 1;
    if (n <= 2 * half) {
        return;
    }
    List<double> total(n - 2 * half);
    for (std::uint64_t i = 0; i < total.size(); ++i) {
        double sum = u[i];
        for (std::uint64_t k = 1; k < width; ++k) {
            sum += u[i + k];
        }
        total[i] = sum;
    }
    for (std::uint64_t i = 0; i < total.size(); ++i) {
        if (!on_line[half + i]) {
            u[half + i] = total[i] / static_cast<double>(width);
        }
    }
}

// The core's labels of (u, v) in T, into `labels`.
template <core::Element T>
void core_numbering(std::span<const double> u, std::span<const double> v, std::span<std::int32_t> labels) {
    List<T> ut(u.size()), vt(v.size());
    for (std::size_t i = 0; i < u.size(); ++i) {
        ut[i] = static_cast<T>(u[i]);
        vt[i] = static_cast<T>(v[i]);
    }
    const auto item = static_cast<std::int64_t>(sizeof(T));
    std::optional<core::CoreError> error = core::compute_scanline_ids_into<T>(
        core::CoordView<T>{ut.data(), ut.size(), item}, core::CoordView<T>{vt.data(), vt.size(), item},
        [labels](std::uint64_t count) { return labels.first(count); });
    ensure(!error, "the core refused the turned coordinates of a region");
}

// The module's labels of the finite points [begin, end), turned by `angle`.
template <class P>
void number_region(const Analysis& an, const P& points, std::uint64_t begin, std::uint64_t end,
                   std::size_t group, double angle, int exponent, std::span<std::int32_t> labels) {
    const bool single = an.frame.xy.single;
    const std::uint64_t w = an.block, count = end - begin;
    const Turn t = turn(angle);
    List<double> u(count), v(count);
    double top_u = 0.0, top_v = 0.0;
    const Scale units(exponent);
    for (std::uint64_t i = 0; i < count; ++i) {
        const double x = units(points.caller_x(begin + i)), y = units(points.caller_y(begin + i));
        u[i] = across(t, x, y);
        v[i] = along(t, x, y);
        top_u = std::max(top_u, std::fabs(u[i]));
        top_v = std::max(top_v, std::fabs(v[i]));
    }
    List<Range> ranges;
    for (const Stretch& s : an.stretches) {
        if (s.group == group && s.first * w < end && (s.last + 1) * w > begin) {
            ranges.push_back({std::clamp(s.first * w, begin, end) - begin,
                              std::clamp((s.last + 1) * w, begin, end) - begin});
        }
    }
    const double across_noise = coordinate_noise(count, [&u](std::uint64_t i) { return u[i]; });
    const double scale = count > 0 ? top_u + top_v : 0.0;
    const double eps = single ? double(std::numeric_limits<float>::epsilon())
                              : std::numeric_limits<double>::epsilon();
    const double exact = EXACT_ROUNDING_STEPS * eps * (1.0 + scale);
    fit_to_line(u, ranges, w, STRAY * std::max(across_noise, exact));
    straighten(u, ranges);
    // Positions exact across the lines (to a few rounding steps of the
    // caller's precision) are left as they are.
    if (across_noise > exact) {
        List<std::uint8_t> on_line(count, 0);
        for (const Range& r : ranges) {
            for (std::uint64_t p = r.start; p < r.end; ++p) {
                on_line[p] = 1;
            }
        }
        smooth_off(u, on_line);
        smooth_off(v, on_line);
    }
    if (single) {
        core_numbering<float>(u, v, labels);
    } else {
        core_numbering<double>(u, v, labels);
    }
}

// The module's numbering of the finite points into `found` (-1 for none):
// region by region, or with `angle_deg` the whole path as one region turned
// by it.
template <class P>
void number_by_module(const Analysis& an, const P& points, std::optional<double> angle_deg,
                      std::span<std::int32_t> found) {
    const Stretches& st = an.stretches;
    const std::uint64_t n = an.frame.n, w = an.block;
    std::fill(found.begin(), found.end(), -1);
    const LineFlags flags = line_flags(an.nxt);
    struct Region {
        std::uint64_t begin, end;
        std::size_t group;
    };
    std::vector<Region> regions;
    if (angle_deg) {
        regions.push_back({0, n, 0});
    } else {
        // Each region starts at its first line (the first at the path's
        // start) and runs to the next; consecutive chains of lines of one
        // direction are one region.
        std::vector<std::size_t> heads;
        for (std::size_t k = 0; k < st.size(); ++k) {
            if (flags.line[k] && !flags.prev[k] &&
                (heads.empty() || st[heads.back()].group != st[k].group)) {
                heads.push_back(k);
            }
        }
        if (heads.empty()) {
            regions.push_back({0, n, 0});
        }
        for (std::size_t h = 0; h < heads.size(); ++h) {
            const std::uint64_t begin = h == 0 ? 0 : st[heads[h]].first * w;
            const std::uint64_t end = h + 1 < heads.size() ? st[heads[h + 1]].first * w : n;
            regions.push_back({begin, end, st[heads[h]].group});
        }
    }
    const int exponent = module_exponent(an.frame);
    List<std::int32_t> part;
    std::int64_t offset = 0;
    for (const Region& r : regions) {
        double angle;
        if (angle_deg) {
            angle = *angle_deg;
        } else {
            std::vector<std::size_t> lines;
            for (std::size_t k = 0; k < st.size(); ++k) {
                if (flags.line[k] && st[k].group == r.group && st[k].first * w >= r.begin &&
                    st[k].first * w < r.end) {
                    lines.push_back(k);
                }
            }
            angle = with_blocks(an, points, [&](const auto& blocks) {
                return snap_to_axis(refine_angle(an, blocks, r.group, lines));
            });
        }
        part.assign(r.end - r.begin, -1);
        number_region(an, points, r.begin, r.end, r.group, angle, exponent, part);
        std::int64_t top = std::numeric_limits<std::int64_t>::min();
        bool numbered = false;
        for (std::uint64_t i = 0; i < part.size(); ++i) {
            if (part[i] > 0) {
                found[r.begin + i] = static_cast<std::int32_t>(part[i] + offset);
                numbered = true;
            }
            top = std::max<std::int64_t>(top, found[r.begin + i]);
        }
        if (numbered) {
            offset = top;
        }
    }
}

}  // namespace rasterloom::layers
