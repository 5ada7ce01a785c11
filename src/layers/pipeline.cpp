// The entry points of the layer pipeline.
#include "layers/pipeline.hpp"

#include <span>
#include <utility>

#include "layers/analysis.hpp"
#include "layers/frame.hpp"
#include "layers/module_numbering.hpp"
#include "layers/numbering.hpp"

namespace rasterloom::layers {
namespace {

constexpr const char* TOO_FEW = "too few points to estimate the scan line angle";

std::string too_few_pass_angle() { return std::string(TOO_FEW) + "; pass angle_deg"; }

// Numbers the finite points of an analysis into the caller's labels: -1 for
// no scan line and for the points that are not finite.
template <class P>
void number(const Analysis& an, const P& points, bool all_lines, std::optional<double> angle_deg,
            std::int32_t* labels) {
    const Frame& fr = an.frame;
    // Where every point is finite the labels are written in place.
    List<std::int32_t> own;
    std::span<std::int32_t> finite_labels(labels, fr.n);
    if (!fr.all_finite) {
        own.resize(fr.n);
        finite_labels = std::span<std::int32_t>(own);
    }
    if (all_lines) {
        number_all_lines(an, points, finite_labels);
    } else {
        number_by_module(an, points, angle_deg, finite_labels);
        for (std::int32_t& label : finite_labels) {
            label = label > 0 ? label : -1;
        }
    }
    if (!fr.all_finite) {
        std::fill(labels, labels + fr.total, -1);
        for (std::uint64_t i = 0; i < fr.n; ++i) {
            labels[fr.finite[i]] = own[i];
        }
    }
}

}  // namespace

std::optional<std::string> annotate_layer(const Coordinates& xy, bool all_lines, std::int32_t* labels) {
    if (xy.n == 0) {
        return std::nullopt;
    }
    Frame frame = frame_of(xy);
    return with_points(frame, [&](const auto& points) -> std::optional<std::string> {
        std::optional<Analysis> an = analyse(std::move(frame), points, std::nullopt);
        if (!an) {
            return std::string(TOO_FEW);
        }
        number(*an, points, all_lines, std::nullopt, labels);
        return std::nullopt;
    });
}

std::optional<std::string> annotate_at_angle(const Coordinates& xy, std::optional<double> angle_deg,
                                             bool all_lines, std::int32_t* labels) {
    Frame frame = frame_of(xy);
    return with_points(frame, [&](const auto& points) -> std::optional<std::string> {
        if (!angle_deg) {
            std::optional<Analysis> first = analyse(std::move(frame), points, std::nullopt);
            if (!first) {
                return too_few_pass_angle();
            }
            angle_deg = estimate(*first, points);
            frame = std::move(first->frame);
        }
        std::optional<Analysis> an = analyse(std::move(frame), points, angle_deg);
        ensure(an.has_value(), "a given angle always gives an analysis");
        number(*an, points, all_lines, angle_deg, labels);
        return std::nullopt;
    });
}

std::variant<double, std::string> estimate_angle(const Coordinates& xy) {
    Frame frame = frame_of(xy);
    return with_points(frame, [&](const auto& points) -> std::variant<double, std::string> {
        std::optional<Analysis> an = analyse(std::move(frame), points, std::nullopt);
        if (!an) {
            return too_few_pass_angle();
        }
        return estimate(*an, points);
    });
}

}  // namespace rasterloom::layers
