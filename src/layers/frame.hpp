// The finite points of a layer, in the caller's units and in the normalised
// frame where the layer spans about one unit.
//
// Scaling by powers of two is exact, so no difference or product of the
// normalised coordinates overflows or vanishes whatever the unit, and no
// threshold depends on it. The normalised points are not stored: every pass
// reads the caller's arrays and scales them on the way. Every value that
// decides a label is computed with the basic operations in a fixed order
// (sums from the first element to the last, medians as elements, never
// averages of two), which the reference implementation in the tests follows
// too: both give the same labels bit for bit.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

#include "layers/pipeline.hpp"
#include "parallel/process_pool.hpp"
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

// The binary exponent of frexp: big = m * 2^e with m in [0.5, 1).
inline int binary_exponent(double big) noexcept {
    int e = 0;
    std::frexp(big, &e);
    return e;
}

// x * 2^k, rounded once (as ldexp), by one or two multiplications with
// exact powers of two: a product with a power of two is the exact value
// rounded once, and of the two factors of a large k the first never rounds.
class Scale {
public:
    explicit Scale(int k = 0) noexcept
        : first_(std::ldexp(1.0, split(k) ? k / 2 : k)),
          second_(split(k) ? std::ldexp(1.0, k - k / 2) : 1.0) {}
    // The second factor is 1 unless k is split, and x * 1 is x.
    double operator()(double x) const noexcept { return x * first_ * second_; }

private:
    static bool split(int k) noexcept { return k < -1022 || k > 1023; }
    double first_, second_;
};

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

// Points at most this many apart in index are looked at for the noise and
// the directions: larger layers are sampled evenly.
inline constexpr std::uint64_t SAMPLE_POINTS = std::uint64_t{1} << 15;
// The chords that decide the block size are fewer.
inline constexpr std::uint64_t SAMPLE_CHORDS = std::uint64_t{1} << 13;

// Stride of the evenly spaced starts of `span`-long differences in n points,
// `samples` of them at most (about).
inline std::uint64_t sample_step(std::uint64_t n, std::uint64_t span,
                                 std::uint64_t samples = SAMPLE_POINTS) noexcept {
    return n > span ? std::max<std::uint64_t>(1, (n - span) / samples) : 1;
}

// Points per range of the parallel passes.
inline constexpr std::uint64_t PASS_RANGE_MIN = std::uint64_t{1} << 17;

// The pool's thread count, or 1 when the pool could not be created (no
// threads to be had, say, under an address space limit): every pass gives
// the same result on one thread, only later.
inline std::uint64_t pass_threads() {
    try {
        return parallel::pool_thread_count();
    } catch (const InternalFailure& failure) {
        if (failure.message().starts_with(parallel::POOL_NOT_INITIALIZED)) {
            return 1;
        }
        throw;
    }
}

// Cuts [0, n) into ranges for the worker pool; one range when n is small or
// the pool has one thread.
inline std::vector<parallel::IndexRange> pass_ranges(std::uint64_t n) {
    std::uint64_t threads = n >= 2 * PASS_RANGE_MIN ? pass_threads() : 1;
    threads = std::min(threads, std::max<std::uint64_t>(1, n / PASS_RANGE_MIN));
    std::vector<parallel::IndexRange> ranges;
    for (std::uint64_t t = 0; t < threads; ++t) {
        ranges.push_back({n * t / threads, n * (t + 1) / threads});
    }
    return ranges;
}

// `body(range)` for the ranges of [0, n), on the pool when there are several;
// the results in range order.
template <class Body>
auto over_ranges(std::uint64_t n, Body&& body) {
    using Result = decltype(body(parallel::IndexRange{0, 0}));
    std::vector<parallel::IndexRange> ranges = pass_ranges(n);
    if (ranges.size() <= 1) {
        std::vector<Result> one;
        one.push_back(body(parallel::IndexRange{0, n}));
        return one;
    }
    return parallel::ordered_parallel_map(std::move(ranges), body);
}

// The layer as read from the caller: which points are finite, and the
// scales and centre of the normalised frame.
struct Frame {
    std::uint64_t total = 0;    // points of the caller's arrays
    std::uint64_t n = 0;        // finite points
    Coordinates xy{};
    bool all_finite = true;
    Indices finite;             // index of every finite point, unless all are
    Scale down, span;           // into (-1, 1), then to about one unit
    double cx = 0.0, cy = 0.0;  // the centre, after `down`
    double rounding = 0.0;      // the caller's rounding step, normalised
    double big = 0.0;           // the largest magnitude of a finite coordinate
};

// How the finite points are found in the caller's arrays: all of them,
// contiguous (the usual case, which the compiler can vectorize); all of
// them, at any stride; or through the list of finite points.
enum class Access { contiguous, strided, indexed };

// The finite points of a frame: in the caller's units (`caller_x`) and
// normalised (`x`), for one element type and one way of finding them.
template <class T, Access A>
struct Points {
    const T* px;
    const T* py;
    std::int64_t sx, sy;
    const std::uint64_t* index;
    std::uint64_t n;
    Scale down, span;
    double cx, cy;

    std::uint64_t size() const noexcept { return n; }
    std::uint64_t source(std::uint64_t i) const noexcept { return A == Access::indexed ? index[i] : i; }
    double caller_x(std::uint64_t i) const noexcept {
        if constexpr (A == Access::contiguous) {
            return static_cast<double>(px[i]);
        }
        return static_cast<double>(px[static_cast<std::int64_t>(source(i)) * sx]);
    }
    double caller_y(std::uint64_t i) const noexcept {
        if constexpr (A == Access::contiguous) {
            return static_cast<double>(py[i]);
        }
        return static_cast<double>(py[static_cast<std::int64_t>(source(i)) * sy]);
    }
    double x(std::uint64_t i) const noexcept { return span(down(caller_x(i)) - cx); }
    double y(std::uint64_t i) const noexcept { return span(down(caller_y(i)) - cy); }
};

// Calls `f(points)` with the frame's points, for its element type and its
// finite points.
template <class F>
decltype(auto) with_points(const Frame& fr, F&& f) {
    const std::uint64_t* index = fr.finite.data();
    auto make = [&](auto tag, auto access) {
        using T = decltype(tag);
        return Points<T, decltype(access)::value>{
            static_cast<const T*>(fr.xy.x), static_cast<const T*>(fr.xy.y), fr.xy.x_stride, fr.xy.y_stride,
            index, fr.n, fr.down, fr.span, fr.cx, fr.cy};
    };
    using Contiguous = std::integral_constant<Access, Access::contiguous>;
    using Strided = std::integral_constant<Access, Access::strided>;
    using ByIndex = std::integral_constant<Access, Access::indexed>;
    const bool contiguous = (fr.xy.x_stride == 1 && fr.xy.y_stride == 1) || fr.n <= 1;
    auto with_type = [&](auto tag) -> decltype(auto) {
        if (!fr.all_finite) {
            return f(make(tag, ByIndex{}));
        }
        return contiguous ? f(make(tag, Contiguous{})) : f(make(tag, Strided{}));
    };
    if (fr.xy.single) {
        return with_type(float{});
    }
    return with_type(double{});
}

// Reads the caller's arrays once: which points are finite, the largest
// magnitude and the bounds of the finite points; from them the frame.
template <class T>
Frame read_frame(const Coordinates& xy) {
    Frame frame;
    frame.xy = xy;
    frame.total = xy.n;
    const T* px = static_cast<const T*>(xy.x);
    const T* py = static_cast<const T*>(xy.y);
    struct Scan {
        std::uint64_t finite = 0;
        double big = 0.0;
        double lo_x = std::numeric_limits<double>::infinity(), hi_x = -lo_x;
        double lo_y = lo_x, hi_y = hi_x;
    };
    std::vector<Scan> scans = over_ranges(xy.n, [&](parallel::IndexRange range) {
        Scan s;
        // Where every point is finite (as usual) one pass without branches;
        // otherwise again, point by point.
        double big = 0.0, lo_x = s.lo_x, hi_x = s.hi_x, lo_y = s.lo_y, hi_y = s.hi_y;
        bool finite = true;
        auto scan = [&](double a, double b) {
            // Each coordinate compared on its own: a NaN compares false, and
            // would slip through a comparison of the larger of the two.
            const double fa = std::fabs(a), fb = std::fabs(b);
            finite &= (fa <= std::numeric_limits<double>::max()) & (fb <= std::numeric_limits<double>::max());
            const double m = fa > fb ? fa : fb;
            big = m > big ? m : big;
            lo_x = a < lo_x ? a : lo_x, hi_x = a > hi_x ? a : hi_x;
            lo_y = b < lo_y ? b : lo_y, hi_y = b > hi_y ? b : hi_y;
        };
        if (xy.x_stride == 1 && xy.y_stride == 1) {
            for (std::uint64_t i = range.start; i < range.end; ++i) {
                scan(static_cast<double>(px[i]), static_cast<double>(py[i]));
            }
        } else {
            for (std::uint64_t i = range.start; i < range.end; ++i) {
                scan(static_cast<double>(px[static_cast<std::int64_t>(i) * xy.x_stride]),
                     static_cast<double>(py[static_cast<std::int64_t>(i) * xy.y_stride]));
            }
        }
        if (finite) {
            s.finite = range.end - range.start;
            s.big = big, s.lo_x = lo_x, s.hi_x = hi_x, s.lo_y = lo_y, s.hi_y = hi_y;
            return s;
        }
        for (std::uint64_t i = range.start; i < range.end; ++i) {
            const double a = static_cast<double>(px[static_cast<std::int64_t>(i) * xy.x_stride]);
            const double b = static_cast<double>(py[static_cast<std::int64_t>(i) * xy.y_stride]);
            if (std::isfinite(a) && std::isfinite(b)) {
                ++s.finite;
                s.big = std::max(s.big, std::max(std::fabs(a), std::fabs(b)));
                s.lo_x = std::min(s.lo_x, a), s.hi_x = std::max(s.hi_x, a);
                s.lo_y = std::min(s.lo_y, b), s.hi_y = std::max(s.hi_y, b);
            }
        }
        return s;
    });
    Scan all;
    for (const Scan& s : scans) {
        all.finite += s.finite;
        all.big = std::max(all.big, s.big);
        all.lo_x = std::min(all.lo_x, s.lo_x), all.hi_x = std::max(all.hi_x, s.hi_x);
        all.lo_y = std::min(all.lo_y, s.lo_y), all.hi_y = std::max(all.hi_y, s.hi_y);
    }
    frame.n = all.finite;
    frame.big = all.big;
    frame.all_finite = frame.n == xy.n;
    if (!frame.all_finite) {
        frame.finite.reserve(frame.n);
        for (std::uint64_t i = 0; i < xy.n; ++i) {
            if (std::isfinite(static_cast<double>(px[static_cast<std::int64_t>(i) * xy.x_stride])) &&
                std::isfinite(static_cast<double>(py[static_cast<std::int64_t>(i) * xy.y_stride]))) {
                frame.finite.push_back(i);
            }
        }
    }
    if (frame.n == 0 || all.big == 0.0) {
        return frame;   // every scale 1 and the centre 0: the points as they are
    }
    // First into (-1, 1), then, centred, so that the layer spans about one
    // unit. Scaling by a power of two keeps the order of the values, so the
    // bounds of the scaled points are the scaled bounds.
    frame.down = Scale(-binary_exponent(all.big));
    const double lo_x = frame.down(all.lo_x), hi_x = frame.down(all.hi_x);
    const double lo_y = frame.down(all.lo_y), hi_y = frame.down(all.hi_y);
    frame.cx = 0.5 * lo_x + 0.5 * hi_x;
    frame.cy = 0.5 * lo_y + 0.5 * hi_y;
    const double extent = std::max((hi_x - frame.cx) - (lo_x - frame.cx),
                                   (hi_y - frame.cy) - (lo_y - frame.cy));
    if (extent > 0.0) {
        const int e2 = binary_exponent(extent);
        frame.span = Scale(-e2);
        const double eps = xy.single ? double(std::numeric_limits<float>::epsilon())
                                     : std::numeric_limits<double>::epsilon();
        frame.rounding = std::ldexp(eps * frame.down(all.big), -e2);
    }
    return frame;
}

inline Frame frame_of(const Coordinates& xy) {
    return xy.single ? read_frame<float>(xy) : read_frame<double>(xy);
}

}  // namespace rasterloom::layers
