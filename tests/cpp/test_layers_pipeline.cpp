// The phases of the layer pipeline: the arithmetic it shares with its
// reference (Python's modulo, exact powers of two), the directions, and the
// numbering of every line of a meander with the module's convention.
#include <gtest/gtest.h>

#include "support.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "layers/analysis.hpp"
#include "layers/directions.hpp"
#include "layers/frame.hpp"
#include "layers/pipeline.hpp"

namespace rasterloom::layers {
namespace {

TEST(LayerArithmetic, ModuloAndPowersOfTwoAreThoseOfTheReference) {
    // Python's float modulo takes the divisor's sign, also for zeros.
    EXPECT_EQ(python_mod(-1.0, 180.0), 179.0);
    EXPECT_EQ(python_mod(361.0, 180.0), 1.0);
    EXPECT_EQ(python_mod(-720.0, 180.0), 0.0);
    EXPECT_FALSE(std::signbit(python_mod(-0.0, 180.0)));
    EXPECT_TRUE(std::signbit(python_mod(1.0, -1.0)));
    // One or two products with powers of two round once, as ldexp does,
    // also into and out of the subnormals and for exponents beyond one
    // double's range.
    const double values[] = {1.0, -3.0000000000000004, 0x1.fffffffffffffp+1023, 5e-324, 3e-310,
                             1e-300, 0.1, -7.5e307};
    for (int k : {-2098, -1200, -1074, -1023, -1022, -60, -1, 0, 1, 52, 1023, 1024, 1500, 2098}) {
        const Scale scale(k);
        for (double x : values) {
            EXPECT_EQ(scale(x), std::ldexp(x, k)) << x << " * 2^" << k;
        }
    }
}

TEST(LayerDirections, PseudoAnglesGrowWithTheAngleAndTurnBack) {
    double previous = -1.0;
    for (int i = 0; i < 3600; ++i) {
        const double t = radians(i * 0.1);
        const double p = pseudo_angle(std::cos(t), std::sin(t));
        EXPECT_GT(p, previous) << i;
        EXPECT_LT(p, 4.0);
        previous = p;
        const auto [a, b] = pseudo_to_vector(p);
        EXPECT_NEAR(a, std::cos(t), 1e-12);
        EXPECT_NEAR(b, std::sin(t), 1e-12);
    }
    EXPECT_EQ(angle_apart(179.0, 1.0), 2.0);
    EXPECT_EQ(degrees_of_doubled(-1.0, 0.0), 90.0);   // a vertical step
    // Multiples of 90 degrees turn exactly, whatever their size: (across,
    // along) of the point (3.5, -2.25).
    struct Case {
        double angle, across, along;
    };
    for (const Case c : {Case{90.0, 3.5, -2.25}, Case{450.0, 3.5, -2.25}, Case{-270.0, 3.5, -2.25},
                         Case{0.0, 2.25, 3.5}, Case{180.0, -2.25, -3.5}, Case{9e300, 2.25, 3.5}}) {
        EXPECT_EQ(across(turn(c.angle), 3.5, -2.25), c.across) << c.angle;
        EXPECT_EQ(along(turn(c.angle), 3.5, -2.25), c.along) << c.angle;
    }
}

template <class T>
class LayerNumbering : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, double>;
TYPED_TEST_SUITE(LayerNumbering, ElementTypes);

template <class T>
Coordinates of(const core::Path<T>& path) {
    return Coordinates{path.x.data(), path.y.data(), path.x.size(), 1, 1, std::is_same_v<T, float>};
}

// The 81-point meander: six lines of 11 points, three turn-around points
// between neighbours; line L starts at point 14 L.
template <class T>
std::vector<std::int32_t> every_line_of_six() {
    std::vector<std::int32_t> expected(81);
    for (int p = 0; p < 81; ++p) {
        // A line's ids end at the middle point of the turn-around after it.
        expected[static_cast<std::size_t>(p)] = p <= 12 ? 1 : (p - 13) / 14 + 2;
    }
    return expected;
}

TYPED_TEST(LayerNumbering, EveryLineOfAMeanderGetsAnIdWithTheModulesConvention) {
    using T = TypeParam;
    const core::Path<T> path = core::meander<T>(6);
    std::vector<std::int32_t> labels(81, 0);
    ASSERT_FALSE(annotate_layer(of(path), true, labels.data()));
    EXPECT_EQ(labels, every_line_of_six<T>());
    // The module's own numbering: the first two and the last line get -1.
    ASSERT_FALSE(annotate_layer(of(path), false, labels.data()));
    std::vector<std::int32_t> module(81, -1);
    for (int p = 28; p <= 68; ++p) {
        module[static_cast<std::size_t>(p)] = p <= 40 ? 1 : p <= 54 ? 2 : 3;
    }
    EXPECT_EQ(labels, module);
    // The lines run along y.
    const std::variant<double, std::string> angle = estimate_angle(of(path));
    ASSERT_TRUE(std::holds_alternative<double>(angle));
    EXPECT_EQ(std::get<double>(angle), 90.0);
}

// Long enough that the passes run on the pool in ranges, which meet in a
// turn-around or inside a line: the same labels as the short meander's rule
// gives.
TYPED_TEST(LayerNumbering, LongMeanderIsNumberedInRangesAsAWhole) {
    using T = TypeParam;
    for (const int lines : {20000, 20001}) {
        const core::Path<T> path = core::meander<T>(lines);
        ASSERT_GE(path.x.size(), 2 * PASS_RANGE_MIN);
        std::vector<std::int32_t> labels(path.x.size(), 0);
        ASSERT_FALSE(annotate_layer(of(path), true, labels.data()));
        std::size_t wrong = 0;
        for (std::size_t p = 0; p < labels.size(); ++p) {
            const auto expected = static_cast<std::int32_t>(p <= 12 ? 1 : (p - 13) / 14 + 2);
            wrong += labels[p] != expected ? 1 : 0;
        }
        EXPECT_EQ(wrong, 0u) << lines;
        EXPECT_EQ(labels.back(), lines);
    }
}

TYPED_TEST(LayerNumbering, ScaleShiftAndPointsThatAreNotFiniteChangeNoOtherLabel) {
    using T = TypeParam;
    const core::Path<T> path = core::meander<T>(6);
    const std::vector<std::int32_t> expected = every_line_of_six<T>();
    // Scaled by powers of two, into huge or tiny coordinates.
    for (int k : std::is_same_v<T, float> ? std::vector<int>{-100, 90} : std::vector<int>{-1000, 1000}) {
        core::Path<T> scaled_path = path;
        for (T& v : scaled_path.x) v = std::ldexp(v, k);
        for (T& v : scaled_path.y) v = std::ldexp(v, k);
        std::vector<std::int32_t> labels(81, 0);
        ASSERT_FALSE(annotate_layer(of(scaled_path), true, labels.data()));
        EXPECT_EQ(labels, expected) << k;
    }
    // NaN and infinite points inserted: -1 there, the others as before.
    core::Path<T> holed;
    std::vector<std::int32_t> wanted;
    for (std::size_t i = 0; i < path.x.size(); ++i) {
        if (i % 9 == 4) {
            holed.x.push_back(i % 2 ? std::numeric_limits<T>::quiet_NaN() : T(1));
            holed.y.push_back(i % 2 ? T(1) : std::numeric_limits<T>::infinity());
            wanted.push_back(-1);
        }
        holed.x.push_back(path.x[i]);
        holed.y.push_back(path.y[i]);
        wanted.push_back(expected[i]);
    }
    std::vector<std::int32_t> labels(holed.x.size(), 0);
    ASSERT_FALSE(annotate_layer(of(holed), true, labels.data()));
    EXPECT_EQ(labels, wanted);
    // NaN in y alone, beside a finite x, at every point that is not finite.
    for (std::size_t i = 0; i < holed.x.size(); ++i) {
        if (!std::isfinite(holed.x[i]) || !std::isfinite(holed.y[i])) {
            holed.x[i] = T(1);
            holed.y[i] = std::numeric_limits<T>::quiet_NaN();
        }
    }
    std::fill(labels.begin(), labels.end(), 0);
    ASSERT_FALSE(annotate_layer(of(holed), true, labels.data()));
    EXPECT_EQ(labels, wanted);
}

TYPED_TEST(LayerNumbering, TooFewPointsForADirection) {
    using T = TypeParam;
    const std::vector<T> same(50, T(2));
    const std::vector<T> nan(50, std::numeric_limits<T>::quiet_NaN());
    for (const std::vector<T>* values : {&same, &nan}) {
        const Coordinates xy{values->data(), values->data(), values->size(), 1, 1, std::is_same_v<T, float>};
        std::vector<std::int32_t> labels(values->size(), 0);
        EXPECT_EQ(annotate_layer(xy, true, labels.data()).value_or(""),
                  "too few points to estimate the scan line angle");
        EXPECT_EQ(annotate_at_angle(xy, std::nullopt, true, labels.data()).value_or(""),
                  "too few points to estimate the scan line angle; pass angle_deg");
        // With the angle given, nothing is estimated and every label is -1.
        EXPECT_FALSE(annotate_at_angle(xy, 30.0, true, labels.data()));
        EXPECT_EQ(labels, std::vector<std::int32_t>(values->size(), -1));
    }
}

TEST(LayerNumbering, AllocationFailureIsThrownNotFatal) {
    const core::Path<double> path = core::meander<double>(40);
    std::vector<std::int32_t> labels(path.x.size());
    const std::size_t budget = allocation_budget.load();
    allocation_budget = 64;
    EXPECT_THROW(annotate_layer(of(path), true, labels.data()), AllocationFailure);
    allocation_budget = budget;
    EXPECT_FALSE(annotate_layer(of(path), true, labels.data()));
}

}  // namespace
}  // namespace rasterloom::layers
