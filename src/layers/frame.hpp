// The finite points of a layer, in the caller's units and in the normalised
// frame where the layer spans about one unit.
//
// Scaling by powers of two is exact, so no difference or product of the
// normalised coordinates overflows or vanishes whatever the unit, and no
// threshold depends on it. Every value that decides a label is computed with
// the basic operations in a fixed order (sums from the first element to the
// last, medians as elements, never averages of two), which the reference
// implementation in the tests follows too: both give the same labels bit for
// bit.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "layers/pipeline.hpp"
#include "parallel/worker_pool.hpp"
#include "support/memory.hpp"

namespace rasterloom::layers {

using Floats = List<double>;
using Indices = List<std::uint64_t>;

// Python's float modulo: the result has the sign of the divisor.
inline double python_mod(double a, double b) noexcept {
    double r = std::fmod(a, b);
    if (r != 0.0 && ((r < 0.0) != (b < 0.0))) {
        r += b;
    } else if (r == 0.0) {
        r = std::copysign(0.0, b);
    }
    return r;
}

// Conversions of angles as Python's math module makes them.
inline constexpr double PI = 3.14159265358979323846;
inline double radians(double degrees) noexcept { return degrees * (PI / 180.0); }
inline double to_degrees(double radians) noexcept { return radians * (180.0 / PI); }

// x * 2^k, rounded once (as ldexp).
inline double scaled(double x, int k) noexcept { return std::ldexp(x, k); }

// The binary exponent of frexp: big = m * 2^e with m in [0.5, 1).
inline int binary_exponent(double big) noexcept {
    int e = 0;
    std::frexp(big, &e);
    return e;
}

// The element at position size / 2 of the sorted values (which it reorders);
// 0 for none.
inline double upper_median(List<double>& values) {
    if (values.empty()) {
        return 0.0;
    }
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// Points at most this many apart in index are looked at for the noise, the
// step and the directions: larger layers are sampled evenly.
inline constexpr std::uint64_t SAMPLE_POINTS = std::uint64_t{1} << 16;

// Stride of the evenly spaced starts of `span`-long differences in n points.
inline std::uint64_t sample_step(std::uint64_t n, std::uint64_t span) noexcept {
    return n > span ? std::max<std::uint64_t>(1, (n - span) / SAMPLE_POINTS) : 1;
}

// Reads element i of one of the caller's arrays as a double.
struct Column {
    const void* data;
    std::int64_t stride;
    bool single;

    double operator[](std::uint64_t i) const noexcept {
        const std::int64_t at = static_cast<std::int64_t>(i) * stride;
        return single ? static_cast<double>(static_cast<const float*>(data)[at])
                      : static_cast<const double*>(data)[at];
    }
};

struct Frame {
    std::uint64_t total = 0;   // points of the caller's arrays
    std::uint64_t n = 0;       // finite points
    Column x{}, y{};
    Indices finite;            // index of every finite point, unless all are
    bool all_finite = true;
    Floats xn, yn;             // the finite points, normalised
    bool single = false;
    double rounding = 0.0;     // the caller's rounding step, normalised

    std::uint64_t source(std::uint64_t i) const noexcept { return all_finite ? i : finite[i]; }
    // A finite point in the caller's units.
    double cx(std::uint64_t i) const noexcept { return x[source(i)]; }
    double cy(std::uint64_t i) const noexcept { return y[source(i)]; }
};

// Points per range of the parallel passes over the points.
inline constexpr std::uint64_t PASS_RANGE_MIN = std::uint64_t{1} << 18;

// Cuts [0, n) into ranges for the worker pool; one range when n is small or
// the pool has one thread.
inline std::vector<parallel::IndexRange> pass_ranges(std::uint64_t n) {
    std::uint64_t threads = n >= 2 * PASS_RANGE_MIN ? parallel::pool_thread_count() : 1;
    threads = std::min(threads, std::max<std::uint64_t>(1, n / PASS_RANGE_MIN));
    std::vector<parallel::IndexRange> ranges;
    for (std::uint64_t t = 0; t < threads; ++t) {
        ranges.push_back({n * t / threads, n * (t + 1) / threads});
    }
    return ranges;
}

// Runs `body(range)` over [0, n) on the pool (in ranges) and waits; `body`
// returns nothing of interest.
template <class Body>
void parallel_for(std::uint64_t n, Body&& body) {
    std::vector<parallel::IndexRange> ranges = pass_ranges(n);
    if (ranges.size() <= 1) {
        body(parallel::IndexRange{0, n});
        return;
    }
    parallel::ordered_parallel_map(std::move(ranges), [&body](parallel::IndexRange range) {
        body(range);
        return 0;
    });
}

inline Frame frame_of(const Coordinates& xy) {
    Frame frame;
    frame.total = xy.n;
    frame.single = xy.single;
    frame.x = Column{xy.x, xy.x_stride, xy.single};
    frame.y = Column{xy.y, xy.y_stride, xy.single};
    // Finite points and the largest magnitude, per range.
    struct Scan {
        std::uint64_t finite = 0;
        double big = 0.0;
    };
    std::vector<parallel::IndexRange> ranges = pass_ranges(xy.n);
    auto scan = [&frame](parallel::IndexRange range) {
        Scan s;
        for (std::uint64_t i = range.start; i < range.end; ++i) {
            const double a = frame.x[i], b = frame.y[i];
            if (std::isfinite(a) && std::isfinite(b)) {
                ++s.finite;
                s.big = std::max(s.big, std::max(std::fabs(a), std::fabs(b)));
            }
        }
        return s;
    };
    std::vector<Scan> scans = ranges.size() <= 1
        ? std::vector<Scan>{scan({0, xy.n})}
        : parallel::ordered_parallel_map(ranges, scan);
    double big = 0.0;
    for (const Scan& s : scans) {
        frame.n += s.finite;
        big = std::max(big, s.big);
    }
    frame.all_finite = frame.n == xy.n;
    if (!frame.all_finite) {
        frame.finite.reserve(frame.n);
        for (std::uint64_t i = 0; i < xy.n; ++i) {
            if (std::isfinite(frame.x[i]) && std::isfinite(frame.y[i])) {
                frame.finite.push_back(i);
            }
        }
    }
    const std::uint64_t n = frame.n;
    frame.xn.resize(n);
    frame.yn.resize(n);
    if (n == 0) {
        return frame;
    }
    if (big == 0.0) {
        for (std::uint64_t i = 0; i < n; ++i) {
            frame.xn[i] = frame.cx(i);
            frame.yn[i] = frame.cy(i);
        }
        return frame;
    }
    // First into (-1, 1), then, centred, so that the layer spans about one
    // unit.
    const int e = binary_exponent(big);
    double lo_x = std::numeric_limits<double>::infinity(), hi_x = -lo_x;
    double lo_y = lo_x, hi_y = hi_x, top = 0.0;
    for (std::uint64_t i = 0; i < n; ++i) {
        const double xs = scaled(frame.cx(i), -e), ys = scaled(frame.cy(i), -e);
        frame.xn[i] = xs;
        frame.yn[i] = ys;
        lo_x = std::min(lo_x, xs), hi_x = std::max(hi_x, xs);
        lo_y = std::min(lo_y, ys), hi_y = std::max(hi_y, ys);
        top = std::max(top, std::max(std::fabs(xs), std::fabs(ys)));
    }
    const double cx = 0.5 * lo_x + 0.5 * hi_x;
    const double cy = 0.5 * lo_y + 0.5 * hi_y;
    const double extent = std::max((hi_x - cx) - (lo_x - cx), (hi_y - cy) - (lo_y - cy));
    const int e2 = extent > 0.0 ? binary_exponent(extent) : 0;
    const double eps = xy.single ? double(std::numeric_limits<float>::epsilon())
                                 : std::numeric_limits<double>::epsilon();
    frame.rounding = extent > 0.0 ? scaled(eps * top, -e2) : 0.0;
    parallel_for(n, [&frame, cx, cy, e2](parallel::IndexRange range) {
        for (std::uint64_t i = range.start; i < range.end; ++i) {
            frame.xn[i] = scaled(frame.xn[i] - cx, -e2);
            frame.yn[i] = scaled(frame.yn[i] - cy, -e2);
        }
    });
    return frame;
}

}  // namespace rasterloom::layers
