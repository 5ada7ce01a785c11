// Records, views and the match rule shared by every phase of the core.
//
// Every phase is written once over the element type T (float or double).
// Arithmetic stays in T, each operation rounded in T, and every comparison is
// strict and ordered, so a comparison involving NaN is false.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <variant>

#include "support/memory.hpp"

namespace rasterloom::core {

template <class T>
concept Element = std::is_same_v<T, float> || std::is_same_v<T, double>;

// Absolute matching tolerance: the machine epsilon of T (2^-23 or 2^-52).
template <Element T>
inline constexpr T epsilon = std::numeric_limits<T>::epsilon();

// Two values match when |a - b|, computed and rounded in T, is strictly below
// epsilon. A NaN difference never matches, so NaN matches nothing and an
// infinity does not match an equal infinity.
template <Element T>
inline bool matches(T a, T b) noexcept {
    const T difference = a - b;
    return std::fabs(difference) < epsilon<T>;
}

// A read-only view of one coordinate array as handed over by the caller.
// `data` is the address of element 0 and need not be aligned to T;
// `byte_stride` is the distance between consecutive elements in bytes.
template <Element T>
struct CoordView {
    const void* data = nullptr;
    std::uint64_t length = 0;
    std::int64_t byte_stride = static_cast<std::int64_t>(sizeof(T));

    // Only a view whose elements are exactly one item apart is contiguous;
    // a view of one element is read as contiguous whatever its stride.
    bool contiguous() const noexcept {
        return length <= 1 || byte_stride == static_cast<std::int64_t>(sizeof(T));
    }
};

// Contiguous input after the checks: n elements of T starting at `bytes`,
// with no alignment promised. Reads go through memcpy, which compiles to a
// plain (unaligned) load and is defined for any address.
template <Element T>
struct Points {
    const unsigned char* bytes = nullptr;
    std::uint64_t size = 0;

    T operator[](std::uint64_t index) const noexcept {
        T value;
        std::memcpy(&value, bytes + index * sizeof(T), sizeof(T));
        return value;
    }
};

// A stretch of consecutive points [first, last] with representative
// coordinates. Every run list is in index order and partitions the points.
template <Element T>
struct Run {
    T x;
    T y;
    std::uint64_t first;
    std::uint64_t last;

    std::uint64_t point_count() const noexcept { return last - first + 1; }
    bool operator==(const Run&) const = default;
};

// A turning point of the merged path with the two squared distances that
// decide whether it is accepted as a turn-around.
template <Element T>
struct TurnCandidate {
    std::uint64_t run_index;  // position in the merged-run list
    T dist_prev_sq;           // to the previous record of the same set
    T dist_line_sq;           // to the reference line when it was added
    T x;
    T y;
    std::uint64_t first;
    std::uint64_t last;
};

// One int32 per input point: -1 for no scanline, otherwise an id >= 1.
using Labels = List<std::int32_t>;
inline constexpr std::int32_t NO_SCANLINE = -1;

// A problem with the input, reported to the caller with this exact text.
struct CoreError {
    std::string message;
};

using CoreResult = std::variant<Labels, CoreError>;

}  // namespace rasterloom::core
