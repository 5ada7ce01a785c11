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
