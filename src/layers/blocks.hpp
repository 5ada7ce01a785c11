// The noise of the positions, and the blocks of consecutive points whose
// means the lines are found on.
//
// Where the step from one point to the next is small against the noise (fine
// sampling, slow marking), consecutive points are averaged in blocks just
// long enough that a block moves, while marking, far more than its noise.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "layers/frame.hpp"

namespace rasterloom::layers {

// Noise of white Gaussian positions from the median absolute second
// difference: sigma = MAD_TO_SIGMA * median / sqrt(6).
inline constexpr double MAD_TO_SIGMA = 1.4826;
// A block's step while marking is this many times the noise of its mean.
inline constexpr double BLOCK_STEP_TO_NOISE = 12.0;
inline constexpr std::uint64_t MAX_BLOCK = 4096;
// Chords between two noisy points are about this many noise widths long
// where the path does not move.
inline constexpr double CHORD_NOISE = 3.0;

// Standard deviation of the noise of the values value(0 .. n - 1) (zero
// wherever the path moves at a constant velocity or stands still, noise
// elsewhere).
template <class Value>
double coordinate_noise(std::uint64_t n, const Value& value) {
    if (n < 3) {
        return 0.0;
    }
    const std::uint64_t stride = sample_step(n, 2);
    List<double> d2((n - 2 + stride - 1) / stride);
    for (std::uint64_t j = 0; j < d2.size(); ++j) {
        const std::uint64_t i = j * stride;
        const double a = value(i), b = value(i + 1), c = value(i + 2);
        d2[j] = std::fabs((c - b) - (b - a));
    }
    return MAD_TO_SIGMA * upper_median(d2) / std::sqrt(6.0);
}

// The position noise of a path, both coordinates pooled.
template <class P>
double noise_level(const P& p) {
    const double sx = coordinate_noise(p.size(), [&p](std::uint64_t i) { return p.x(i); });
    const double sy = coordinate_noise(p.size(), [&p](std::uint64_t i) { return p.y(i); });
    return std::sqrt(0.5 * (sx * sx + sy * sy));
}

// The share of the chords that must move for their median to tell the step.
inline constexpr double MOVING_SHARE = 0.25;

// The median length of the chords over `span` points that move more than
// their ends' noise (most of them lie along lines: a jump is a few steps, a
// stop none); 0 when fewer than MOVING_SHARE of them do.
template <class P>
double moving_chord(const P& p, std::uint64_t span, double sigma) {
    const std::uint64_t n = p.size();
    if (n <= span) {
        return 0.0;
    }
    const std::uint64_t stride = sample_step(n, span, SAMPLE_CHORDS);
    List<double> moving;
    moving.reserve((n - span + stride - 1) / stride);
    std::uint64_t chords = 0;
    const double still = CHORD_NOISE * sigma;
    for (std::uint64_t i = 0; i < n - span; i += stride) {
        const double dx = p.x(i + span) - p.x(i), dy = p.y(i + span) - p.y(i);
        const double chord = std::sqrt(dx * dx + dy * dy);
        ++chords;
        if (chord > still) {
            moving.push_back(chord);
        }
    }
    if (moving.empty() || static_cast<double>(moving.size()) < MOVING_SHARE * static_cast<double>(chords)) {
        return 0.0;
    }
    return upper_median(moving);
}

// Points per block: the fewest (1, 2, 3, 4, 6, 8, 12, ...) whose mean moves,
// while marking, far more from one block to the next than its noise.
template <class P>
std::uint64_t block_size(const P& p, double sigma) {
    std::uint64_t w = 1;
    while (w < MAX_BLOCK && 4 * w <= p.size()) {
        const double chord = moving_chord(p, w, sigma);
        const double lengthening = CHORD_NOISE * sigma;
        const double moved = std::sqrt(std::max(chord * chord - lengthening * lengthening, 0.0));
        if (moved >= BLOCK_STEP_TO_NOISE * sigma / std::sqrt(static_cast<double>(w))) {
            break;
        }
        w = w < 4 ? w + 1 : (w & (w - 1)) == 0 ? w + w / 2 : w / 3 * 4;
    }
    return w;
}

// The means of consecutive blocks of w points of a path (the last may be
// shorter), each summed from its first point to its last. They are not
// stored: the one pass that takes every block step reads each block once,
// and the few other readers take a block here and there.
template <class P>
struct Blocks {
    P points;
    std::uint64_t w;

    std::uint64_t size() const noexcept { return (points.size() + w - 1) / w; }
    double x(std::uint64_t b) const noexcept { return mean<&P::x>(b); }
    double y(std::uint64_t b) const noexcept { return mean<&P::y>(b); }

private:
    template <double (P::*coordinate)(std::uint64_t) const noexcept>
    double mean(std::uint64_t b) const noexcept {
        const std::uint64_t first = b * w, last = std::min(first + w, points.size());
        double sum = 0.0;
        for (std::uint64_t i = first; i < last; ++i) {
            sum += (points.*coordinate)(i);
        }
        return sum / static_cast<double>(last - first);
    }
};

}  // namespace rasterloom::layers
