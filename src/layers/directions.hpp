// Hatch directions: the peaks of a length-weighted histogram of the
// directions of the path's block steps (doubled angles, so that opposite
// senses fall together), each refined to the weighted mean direction of the
// steps near it; and the frame of a direction, in which its lines run along
// v and u lies across them.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <span>
#include <utility>
#include <vector>

#include "layers/frame.hpp"

namespace rasterloom::layers {

inline constexpr int DIRECTION_BINS = 720;   // 0.25 degree of hatch direction each
inline constexpr double REGION_MIN_SHARE = 0.15;
inline constexpr double PEAK_SEPARATION_DEG = 10.0;
inline constexpr double REFINE_WINDOW_DEG = 6.0;
inline constexpr int REFINE_ROUNDS = 3;
// A block step runs along a line when it advances along it by at least
// ADVANCE noise widths and strays across by at most STRAY noise widths plus
// the tilt.
inline constexpr double ADVANCE = 4.0;
inline constexpr double STRAY = 4.0;
inline const double TILT = std::tan(radians(3.0));

// A doubled-angle unit vector and the length of the step it comes from.
struct Doubled {
    double c, s, length;
};

inline Doubled doubled(double dx, double dy) noexcept {
    const double length_sq = dx * dx + dy * dy;
    const double safe = length_sq > 0.0 ? length_sq : 1.0;
    return {(dx * dx - dy * dy) / safe, 2.0 * dx * dy / safe, std::sqrt(length_sq)};
}

// The direction in [0, 180) whose doubled angle has the vector (a, b).
inline double degrees_of_doubled(double a, double b) noexcept {
    return python_mod(to_degrees(std::atan2(b, a)) / 2.0, 180.0);
}

// A value in [0, 4) that grows with the angle of (a, b) from +a,
// counter-clockwise, a quarter turn per unit (not evenly).
inline double pseudo_angle(double a, double b) noexcept {
    const double absum = std::fabs(a) + std::fabs(b);
    const double safe = absum > 0.0 ? absum : 1.0;
    double p;
    if (b >= 0.0) {
        p = a >= 0.0 ? b / safe : 1.0 - a / safe;
    } else {
        p = a >= 0.0 ? 4.0 + b / safe : 2.0 - b / safe;
    }
    return python_mod(p, 4.0);
}

// The unit vector whose pseudo-angle is p.
inline std::pair<double, double> pseudo_to_vector(double p) noexcept {
    const double whole = std::trunc(p);
    const int quarter = static_cast<int>(whole) % 4;
    const double f = p - whole;
    const std::array<std::pair<double, double>, 4> corners{
        {{1.0 - f, f}, {-f, 1.0 - f}, {f - 1.0, -f}, {f, f - 1.0}}};
    const auto [a, b] = corners[static_cast<std::size_t>(quarter)];
    const double norm = std::sqrt(a * a + b * b);
    return {a / norm, b / norm};
}

// How far apart two directions in degrees are, modulo 180.
inline double angle_apart(double a, double b) noexcept {
    const double d = python_mod(std::fabs(a - b), 180.0);
    return std::min(d, 180.0 - d);
}

// The main directions of the steps (dx, dy), in degrees in [0, 180),
// strongest first. Peaks weaker than `min_share` times the strongest, flanks
// of stronger peaks and peaks within PEAK_SEPARATION_DEG of a stronger one
// are left out.
inline std::vector<double> hatch_directions(std::span<const double> dx, std::span<const double> dy,
                                            double noise, double min_share = REGION_MIN_SHARE) {
    List<Doubled> steps;
    steps.reserve(dx.size());
    const double least = ADVANCE * noise * std::sqrt(2.0);
    for (std::size_t i = 0; i < dx.size(); ++i) {
        const Doubled d = doubled(dx[i], dy[i]);
        if (d.length > least) {
            steps.push_back(d);
        }
    }
    std::vector<double> peaks;
    if (steps.size() < 3) {
        return peaks;
    }
    std::array<double, DIRECTION_BINS> hist{};
    for (const Doubled& d : steps) {
        const auto bin = static_cast<std::int64_t>(pseudo_angle(d.c, d.s) * (DIRECTION_BINS / 4.0));
        hist[static_cast<std::size_t>(std::min<std::int64_t>(bin, DIRECTION_BINS - 1))] += d.length;
    }
    std::array<double, DIRECTION_BINS> smooth{};
    auto at = [&hist](int b) { return hist[static_cast<std::size_t>((b + DIRECTION_BINS) % DIRECTION_BINS)]; };
    for (int b = 0; b < DIRECTION_BINS; ++b) {
        smooth[static_cast<std::size_t>(b)] =
            at(b - 2) + 2.0 * at(b - 1) + 3.0 * at(b) + 2.0 * at(b + 1) + at(b + 2);
    }
    std::array<int, DIRECTION_BINS> order{};
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&smooth](int a, int b) {
        return -smooth[static_cast<std::size_t>(a)] < -smooth[static_cast<std::size_t>(b)];
    });
    const double strongest = smooth[static_cast<std::size_t>(order[0])];
    const double cos_window = std::cos(radians(2.0 * REFINE_WINDOW_DEG));
    auto value = [&smooth](int b) { return smooth[static_cast<std::size_t>((b + DIRECTION_BINS) % DIRECTION_BINS)]; };
    for (const int b : order) {
        const double here = value(b);
        if (here <= 0.0 || here < min_share * strongest) {
            break;
        }
        const std::pair<double, double> centre = pseudo_to_vector((b + 0.5) * 4.0 / DIRECTION_BINS);
        const double angle = degrees_of_doubled(centre.first, centre.second);
        if (std::any_of(peaks.begin(), peaks.end(),
                        [angle](double p) { return angle_apart(angle, p) < PEAK_SEPARATION_DEG; })) {
            continue;
        }
        // Local maxima only: a shoulder of a stronger peak is no direction.
        if (here < value(b - 1) || here < value(b + 1)) {
            continue;
        }
        // The weighted mean of the steps near the peak, the window moved onto
        // it a few times, so that a window off the centre does not pull it.
        double a = centre.first, s = centre.second;
        for (int round = 0; round < REFINE_ROUNDS; ++round) {
            const double norm = std::sqrt(a * a + s * s);
            const double ua = a / norm, us = s / norm;
            double sum_a = 0.0, sum_s = 0.0;
            bool any = false;
            for (const Doubled& d : steps) {
                if (d.c * ua + d.s * us >= cos_window) {
                    // Sums start from their first term, as running sums do.
                    sum_a = any ? sum_a + d.c * d.length : d.c * d.length;
                    sum_s = any ? sum_s + d.s * d.length : d.s * d.length;
                    any = true;
                }
            }
            if (!any) {
                break;
            }
            a = sum_a, s = sum_s;
            if (a == 0.0 && s == 0.0) {
                break;
            }
        }
        const double refined = degrees_of_doubled(a, s);
        // A peak that the mean pulls away from, or next to a stronger one,
        // is the flank of another peak, roughened by noise.
        if (angle_apart(refined, angle) <= 0.5 * REFINE_WINDOW_DEG &&
            std::all_of(peaks.begin(), peaks.end(), [refined](double p) {
                return angle_apart(refined, p) >= PEAK_SEPARATION_DEG;
            })) {
            peaks.push_back(refined);
        }
    }
    return peaks;
}

// cos and sin of a direction, exact for multiples of 90 degrees.
struct Turn {
    double c, s;
    bool upright() const noexcept { return c == 0.0 && s == 1.0; }
};

inline Turn turn(double angle_deg) noexcept {
    const double quarter = angle_deg / 90.0;
    if (quarter == std::round(quarter)) {
        static constexpr std::array<Turn, 4> axes{{{1.0, 0.0}, {0.0, 1.0}, {-1.0, 0.0}, {0.0, -1.0}}};
        return axes[static_cast<std::size_t>(python_mod(quarter, 4.0))];
    }
    const double theta = radians(angle_deg);
    return {std::cos(theta), std::sin(theta)};
}

// Across the lines of direction t (u) and along them (v); for 90 degrees
// u = x and v = y exactly.
inline double across(const Turn& t, double x, double y) noexcept {
    return t.upright() ? x : x * t.s - y * t.c;
}
inline double along(const Turn& t, double x, double y) noexcept {
    return t.upright() ? y : x * t.c + y * t.s;
}

}  // namespace rasterloom::layers
