// The entry points of the layer pipeline: whole layers in any scan strategy,
// one meander at any angle, and the estimated direction of the scan lines,
// numbered in C++ straight from the caller's arrays.
//
// They run without the interpreter lock and touch no Python object. Expected
// problems with the input come back as a message, which the boundary
// (src/layers_module/) raises unchanged as ValueError, so it is the public
// text. Anything else is thrown as in the core: AllocationFailure when memory
// runs out, InternalFailure for a violated invariant (support/failure.hpp).
// The phases whose cost grows with the points use the process-wide worker
// pool through the core's maps (parallel/process_pool.hpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace rasterloom::layers {

// The caller's arrays, read in place and never written. Element i of x is
// static_cast<const double*>(x)[i * x_stride] (float with `single`); both
// addresses and strides are aligned for the element type (the boundary
// copies an array that is not). Any stride, also 0 or negative; with n <= 1
// the strides are 1.
struct Coordinates {
    const void* x;
    const void* y;
    std::uint64_t n;
    std::int64_t x_stride, y_stride;  // in elements
    bool single;                      // float32 (else float64)
};

// Labels of a whole layer into labels[0..n), every entry written: -1 for no
// scan line, ids from 1 up; an error message instead.
std::optional<std::string> annotate_layer(const Coordinates& xy, bool all_lines, std::int32_t* labels);

// One meander at a given angle (degrees) or, with no angle, the estimated
// one; labels as above.
std::optional<std::string> annotate_at_angle(const Coordinates& xy, std::optional<double> angle_deg,
                                             bool all_lines, std::int32_t* labels);

// The estimated direction of the scan lines in degrees in [0, 180), or an
// error message.
std::variant<double, std::string> estimate_angle(const Coordinates& xy);

}  // namespace rasterloom::layers
