// libFuzzer target for the layer pipeline's entry points: turns bytes into a
// layer of either element type, laid out with one of several strides, and
// checks what annotate_layer, annotate_at_angle and estimate_angle give.
//
// The first byte selects, bit by bit: the element type (0), raw or grid
// coordinates (1, as for the core's target, whose corpus seeds this one),
// negative strides (2), strides of two elements (3), all_lines (4); its top
// three bits the angle: none (estimated) or 0, 30, ..., 180 degrees.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "fuzz_input.hpp"
#include "layers/pipeline.hpp"

namespace {

using namespace rasterloom;

// Points that are not finite get -1 and are left out of the numbering, so
// every id covers one stretch of the finite points (a point that is not
// finite may lie inside it).
void check_result(const std::optional<std::string>& error, const std::vector<std::int32_t>& labels,
                  const std::vector<bool>& finite) {
    if (error) {
        if (error->empty()) fuzz::broken("an error without a message");
        return;
    }
    std::vector<std::int32_t> of_finite;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        if (finite[i]) {
            of_finite.push_back(labels[i]);
        } else if (labels[i] != -1) {
            fuzz::broken("a point that is not finite with an id");
        }
    }
    fuzz::check_labels(of_finite.data(), of_finite.size());
}

template <class T>
void run(const std::uint8_t* data, std::size_t size, std::uint8_t mode) {
    const bool grid = (mode & 2) != 0;
    const std::int64_t step = (mode & 8) != 0 ? 2 : 1;
    const std::int64_t stride = (mode & 4) != 0 ? -step : step;
    const bool all_lines = (mode & 16) != 0;
    const int angle_code = mode >> 5;
    const std::optional<double> angle =
        angle_code == 0 ? std::nullopt : std::optional<double>(30.0 * (angle_code - 1));

    const std::size_t n = fuzz::point_count<T>(size, grid);
    const auto spread = static_cast<std::size_t>(step);
    // x and y in one block, each spread over n * step elements; the gaps
    // hold a value that no label may depend on.
    std::vector<T> storage(2 * n * spread + 1, T(12345));
    T* x_first = storage.data() + (stride < 0 && n > 0 ? (n - 1) * spread : 0);
    T* y_first = x_first + n * spread;
    std::vector<bool> finite(n);
    for (std::size_t i = 0; i < n; ++i) {
        T x, y;
        fuzz::point(data, n, i, grid, x, y);
        x_first[static_cast<std::int64_t>(i) * stride] = x;
        y_first[static_cast<std::int64_t>(i) * stride] = y;
        finite[i] = std::isfinite(x) && std::isfinite(y);
    }
    const std::vector<T> before(storage);
    const layers::Coordinates xy{x_first, y_first, n, n <= 1 ? 1 : stride, n <= 1 ? 1 : stride,
                                 sizeof(T) == sizeof(float)};

    std::vector<std::int32_t> labels(n, 0);
    check_result(layers::annotate_layer(xy, all_lines, labels.data()), labels, finite);
    labels.assign(n, 0);
    check_result(layers::annotate_at_angle(xy, angle, all_lines, labels.data()), labels, finite);
    const std::variant<double, std::string> estimate = layers::estimate_angle(xy);
    if (const double* degrees = std::get_if<double>(&estimate)) {
        if (!(*degrees >= 0.0 && *degrees < 180.0)) fuzz::broken("an estimated angle outside [0, 180)");
    } else if (std::get<std::string>(estimate).empty()) {
        fuzz::broken("an estimate refused without a message");
    }
    if (std::memcmp(storage.data(), before.data(), storage.size() * sizeof(T)) != 0) {
        fuzz::broken("input written");
    }
}

}  // namespace

RASTERLOOM_FUZZ_ENTRY(run)
