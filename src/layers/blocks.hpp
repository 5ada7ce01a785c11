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
#include <span>

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

// Standard deviation of the noise of one coordinate (zero wherever the path
// moves at a constant velocity or stands still, noise elsewhere).
inline double coordinate_noise(std::span<const double> x) {
    const std::uint64_t n = x.size();
    if (n < 3) {
        return 0.0;
    }
    const std::uint64_t stride = sample_step(n, 2);
    List<double> d2;
    d2.reserve((n - 2 + stride - 1) / stride);
    for (std::uint64_t i = 0; i < n - 2; i += stride) {
        d2.push_back(std::fabs((x[i + 2] - x[i + 1]) - (x[i + 1] - x[i])));
    }
    return MAD_TO_SIGMA * upper_median(d2) / std::sqrt(6.0);
}

// The position noise, both coordinates pooled.
inline double noise_level(std::span<const double> x, std::span<const double> y) {
    const double sx = coordinate_noise(x), sy = coordinate_noise(y);
    return std::sqrt(0.5 * (sx * sx + sy * sy));
}

// The chord over `span` points that half of the path's length lies in
// chords at most as long as.
inline double weighted_median_chord(std::span<const double> x, std::span<const double> y,
                                    std::uint64_t span) {
    const std::uint64_t n = x.size();
    if (n <= span) {
        return 0.0;
    }
    const std::uint64_t stride = sample_step(n, span);
    List<double> chord;
    chord.reserve((n - span + stride - 1) / stride);
    for (std::uint64_t i = 0; i < n - span; i += stride) {
        const double dx = x[i + span] - x[i], dy = y[i + span] - y[i];
        chord.push_back(std::sqrt(dx * dx + dy * dy));
    }
    std::sort(chord.begin(), chord.end());
    List<double> total(chord.size());
    double sum = 0.0;
    for (std::size_t i = 0; i < chord.size(); ++i) {
        sum += chord[i];
        total[i] = sum;
    }
    if (!(total.back() > 0.0)) {
        return 0.0;
    }
    const std::size_t at =
        static_cast<std::size_t>(std::lower_bound(total.begin(), total.end(), 0.5 * total.back()) -
                                 total.begin());
    return chord[std::min(at, chord.size() - 1)];
}

// Points per block: the fewest (1, 2, 3, 4, 6, 8, 12, ...) whose mean moves,
// while marking, far more from one block to the next than its noise.
inline std::uint64_t block_size(std::span<const double> x, std::span<const double> y, double sigma) {
    std::uint64_t w = 1;
    while (w < MAX_BLOCK && 4 * w <= x.size()) {
        const double chord = weighted_median_chord(x, y, w);
        const double lengthening = CHORD_NOISE * sigma;
        const double moved = std::sqrt(std::max(chord * chord - lengthening * lengthening, 0.0));
        if (moved >= BLOCK_STEP_TO_NOISE * sigma / std::sqrt(static_cast<double>(w))) {
            break;
        }
        w = w < 4 ? w + 1 : (w & (w - 1)) == 0 ? w + w / 2 : w / 3 * 4;
    }
    return w;
}

// Means of consecutive blocks of w points (the last may be shorter), each
// summed from its first point to its last.
inline Floats block_means(std::span<const double> x, std::uint64_t w) {
    const std::uint64_t n = x.size();
    const std::uint64_t count = (n + w - 1) / w;
    Floats means(count);
    parallel_for(count, [&](parallel::IndexRange range) {
        for (std::uint64_t b = range.start; b < range.end; ++b) {
            const std::uint64_t first = b * w, last = std::min(first + w, n);
            double sum = 0.0;
            for (std::uint64_t i = first; i < last; ++i) {
                sum += x[i];
            }
            means[b] = sum / static_cast<double>(last - first);
        }
    });
    return means;
}

}  // namespace rasterloom::layers
