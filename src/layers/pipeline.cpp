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

// The labels of every point from the ids of the finite points (0 or -1 for
// none): -1 for no scan line and for points that are not finite.
void write_labels(const Frame& fr, std::span<std::int32_t> ids, std::int32_t* labels) {
    if (fr.all_finite) {
        for (std::uint64_t i = 0; i < fr.n; ++i) {
            labels[i] = ids[i] > 0 ? ids[i] : -1;
        }
        return;
    }
    for (std::uint64_t i = 0; i < fr.total; ++i) {
        labels[i] = -1;
    }
    for (std::uint64_t i = 0; i < fr.n; ++i) {
        labels[fr.finite[i]] = ids[i] > 0 ? ids[i] : -1;
    }
}

void number(const Analysis& an, bool all_lines, std::optional<double> angle_deg, std::int32_t* labels) {
    const Frame& fr = an.frame;
    // Where every point is finite the ids are written straight into the
    // caller's labels.
    List<std::int32_t> own;
    std::span<std::int32_t> ids;
    if (fr.all_finite) {
        ids = std::span<std::int32_t>(labels, fr.n);
    } else {
        own.resize(fr.n);
        ids = std::span<std::int32_t>(own);
    }
    if (all_lines) {
        number_all_lines(an, ids);
    } else {
        number_by_module(an, angle_deg, ids);
    }
    write_labels(fr, ids, labels);
}

}  // namespace

std::optional<std::string> annotate_layer(const Coordinates& xy, bool all_lines, std::int32_t* labels) {
    if (xy.n == 0) {
        return std::nullopt;
    }
    std::optional<Analysis> an = analyse(frame_of(xy), std::nullopt);
    if (!an) {
        return std::string(TOO_FEW);
    }
    number(*an, all_lines, std::nullopt, labels);
    return std::nullopt;
}

std::optional<std::string> annotate_at_angle(const Coordinates& xy, std::optional<double> angle_deg,
                                             bool all_lines, std::int32_t* labels) {
    Frame frame = frame_of(xy);
    if (!angle_deg) {
        std::optional<Analysis> first = analyse(std::move(frame), std::nullopt);
        if (!first) {
            return too_few_pass_angle();
        }
        angle_deg = estimate(*first);
        frame = std::move(first->frame);
    }
    std::optional<Analysis> an = analyse(std::move(frame), angle_deg);
    ensure(an.has_value(), "a given angle always gives an analysis");
    number(*an, all_lines, angle_deg, labels);
    return std::nullopt;
}

std::variant<double, std::string> estimate_angle(const Coordinates& xy) {
    std::optional<Analysis> an = analyse(frame_of(xy), std::nullopt);
    if (!an) {
        return too_few_pass_angle();
    }
    return estimate(*an);
}

}  // namespace rasterloom::layers
