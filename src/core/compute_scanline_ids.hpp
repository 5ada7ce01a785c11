// The core entry: checks the input, then runs the phases strictly one after
// another and returns the label vector or a core error.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>

#include "core/assign_scanline_ids.hpp"
#include "core/chunked.hpp"
#include "core/detect_runs.hpp"
#include "core/distance_threshold.hpp"
#include "core/merge_runs.hpp"
#include "core/order_candidates.hpp"
#include "core/split_directions.hpp"
#include "core/types.hpp"

namespace rasterloom::core {

// The input checks, in order. Returns the error text, or an empty string when
// the input may be processed.
template <Element T>
std::string check_input(const CoordView<T>& x, const CoordView<T>& y) {
    if (x.length != y.length) {
        return "Input x and y length mismatch: " + std::to_string(x.length) + " vs " +
               std::to_string(y.length);
    }
    if (x.length == 0) {
        return {};
    }
    if (!x.contiguous()) {
        return "x array must be contiguous";
    }
    if (!y.contiguous()) {
        return "y array must be contiguous";
    }
    return {};
}

// Runs the phases and writes the labels into the buffer that
// `label_buffer(n)` returns (a std::span<std::int32_t> of n entries), which
// is asked for only once the input has passed every check and the phases on
// the merged runs are done, so that the run lists are released by then.
// Returns the core error, if any; then no buffer was asked for.
template <Element T, class LabelBuffer>
std::optional<CoreError> compute_scanline_ids_into(const CoordView<T>& x_view,
                                                   const CoordView<T>& y_view,
                                                   LabelBuffer&& label_buffer) {
    if (std::string error = check_input(x_view, y_view); !error.empty()) {
        return CoreError{std::move(error)};
    }
    const std::uint64_t n = x_view.length;
    if (n == 0) {
        label_buffer(std::uint64_t{0});
        return std::nullopt;
    }
    const Points<T> x{static_cast<const unsigned char*>(x_view.data), n};
    const Points<T> y{static_cast<const unsigned char*>(y_view.data), n};

    // Each list is released as soon as no later phase reads it.
    List<Run<T>> merged = detect_and_merge_runs(x, y, n);

    std::variant<DirectionSets<T>, CoreError> split = split_directions(merged);
    List<Run<T>>().swap(merged);
    if (CoreError* error = std::get_if<CoreError>(&split)) {
        return std::move(*error);
    }
    DirectionSets<T>& sets = std::get<DirectionSets<T>>(split);

    List<TurnCandidate<T>> candidates =
        order_candidates(std::move(sets.set_a), std::move(sets.set_b));
    const T distance_threshold = compute_distance_threshold(candidates);
    const List<LabelRange> ranges = label_ranges(candidates, distance_threshold, n);
    List<TurnCandidate<T>>().swap(candidates);

    std::span<std::int32_t> labels = label_buffer(n);
    ensure(labels.size() == n, "the label buffer does not hold one entry per point");
    paint_labels(labels, ranges);
    return std::nullopt;
}

// The core entry: the label vector, or the core error.
template <Element T>
CoreResult compute_scanline_ids(const CoordView<T>& x_view, const CoordView<T>& y_view) {
    Labels labels;
    std::optional<CoreError> error =
        compute_scanline_ids_into(x_view, y_view, [&labels](std::uint64_t n) {
            labels.resize(n);
            return std::span<std::int32_t>(labels);
        });
    if (error) {
        return std::move(*error);
    }
    return labels;
}

}  // namespace rasterloom::core
