// PLACEHOLDER of the layer pipeline, until its algorithm is ported from
// src/rasterloom_layers/_pipeline.py: it holds the entry points of
// pipeline.hpp with bodies that are valid but not the pipeline's.
//  - annotate_layer and annotate_at_angle number the points as they are
//    with the core (lines along y), ignoring the angle and all_lines;
//  - estimate_angle always reports too few points.
// The numbering runs the core in the caller's precision on contiguous
// copies of the coordinates, so it already uses the worker pool and reads
// any stride.
#include "layers/pipeline.hpp"

#include <span>

#include "core/compute_scanline_ids.hpp"
#include "support/memory.hpp"

namespace rasterloom::layers {
namespace {

constexpr const char* TOO_FEW = "too few points to estimate the scan line angle";

template <core::Element T>
List<T> contiguous(const void* data, std::uint64_t n, std::int64_t stride) {
    const T* values = static_cast<const T*>(data);
    List<T> out(n);
    for (std::uint64_t i = 0; i < n; ++i) {
        out[i] = values[static_cast<std::int64_t>(i) * stride];
    }
    return out;
}

template <core::Element T>
std::optional<std::string> number_as_they_are(const Coordinates& xy, std::int32_t* labels) {
    const List<T> x = contiguous<T>(xy.x, xy.n, xy.x_stride);
    const List<T> y = contiguous<T>(xy.y, xy.n, xy.y_stride);
    const auto item = static_cast<std::int64_t>(sizeof(T));
    std::optional<core::CoreError> error = core::compute_scanline_ids_into<T>(
        core::CoordView<T>{x.data(), xy.n, item}, core::CoordView<T>{y.data(), xy.n, item},
        [labels](std::uint64_t n) { return std::span<std::int32_t>(labels, n); });
    if (error) {
        return std::move(error->message);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> annotate_layer(const Coordinates& xy, bool /*all_lines*/, std::int32_t* labels) {
    return xy.single ? number_as_they_are<float>(xy, labels) : number_as_they_are<double>(xy, labels);
}

std::optional<std::string> annotate_at_angle(const Coordinates& xy, std::optional<double> /*angle_deg*/,
                                             bool all_lines, std::int32_t* labels) {
    return annotate_layer(xy, all_lines, labels);
}

std::variant<double, std::string> estimate_angle(const Coordinates& /*xy*/) {
    return std::string(TOO_FEW) + "; pass angle_deg";
}

}  // namespace rasterloom::layers
