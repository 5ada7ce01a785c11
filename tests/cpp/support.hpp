// Helpers shared by the C++ tests of the core.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/types.hpp"

namespace rasterloom {

// Sets or removes an environment variable of this process, for the tests of
// the pool size. Windows' C runtime has its own calls for it; there, setting
// an empty value removes the variable.
inline bool set_environment_variable(const char* name, const char* value) {
#if defined(_WIN32)
    return _putenv_s(name, value) == 0;
#else
    return setenv(name, value, 1) == 0;
#endif
}

inline bool unset_environment_variable(const char* name) {
#if defined(_WIN32)
    return _putenv_s(name, "") == 0;
#else
    return unsetenv(name) == 0;
#endif
}

}  // namespace rasterloom

namespace rasterloom::core {

// Reads a vector as the core reads a caller's contiguous array.
template <class T>
Points<T> points(const std::vector<T>& values) {
    return Points<T>{reinterpret_cast<const unsigned char*>(values.data()), values.size()};
}

// A path as two coordinate lists.
template <class T>
struct Path {
    std::vector<T> x;
    std::vector<T> y;
};

// A meander of `lines` vertical lines at x = 0, 1, 2, ..., each of 11 points
// with y = 0 .. 10, upward on even lines and downward on odd lines. Every
// line but the last is followed by three turn-around points at x = L + 0.25,
// L + 0.5, L + 0.75, at y = 10 after an upward line and y = 0 after a
// downward one. Line L starts at point 14 L.
template <class T>
Path<T> meander(int lines) {
    Path<T> path;
    for (int line = 0; line < lines; ++line) {
        const bool upward = line % 2 == 0;
        for (int i = 0; i <= 10; ++i) {
            path.x.push_back(static_cast<T>(line));
            path.y.push_back(static_cast<T>(upward ? i : 10 - i));
        }
        if (line + 1 < lines) {
            for (T offset : {T(0.25), T(0.5), T(0.75)}) {
                path.x.push_back(static_cast<T>(line) + offset);
                path.y.push_back(upward ? T(10) : T(0));
            }
        }
    }
    return path;
}

// Checks that a run list partitions the points 0 .. n - 1.
template <class T>
void expect_partition(const List<Run<T>>& runs, std::uint64_t n) {
    ASSERT_FALSE(runs.empty());
    EXPECT_EQ(runs.front().first, 0u);
    EXPECT_EQ(runs.back().last, n - 1);
    for (std::size_t i = 0; i < runs.size(); ++i) {
        EXPECT_LE(runs[i].first, runs[i].last) << "run " << i;
        if (i > 0) {
            EXPECT_EQ(runs[i].first, runs[i - 1].last + 1) << "run " << i;
        }
    }
}

// A stretch of consecutive points that share one label.
struct Stretch {
    std::uint64_t first;
    std::uint64_t last;
    std::int32_t label;
};

// Labels given as consecutive stretches from point 0 on.
inline Labels labels_of(const std::vector<Stretch>& stretches) {
    Labels labels;
    for (const Stretch& s : stretches) {
        EXPECT_EQ(s.first, labels.size()) << "stretches must be consecutive";
        labels.insert(labels.end(), s.last - s.first + 1, s.label);
    }
    return labels;
}

}  // namespace rasterloom::core
