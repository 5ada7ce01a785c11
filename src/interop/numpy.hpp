// The NumPy arrays at the boundary: the C API table, the element-type test
// of a pair of coordinate arrays, views of accepted arrays and the int32
// result array.
//
// NumPy is reached only through its C API table, obtained on the first call
// that needs it (importing a module does not import NumPy). numpy.cpp is the
// only translation unit of a binary that uses NumPy's API.
#pragma once

#include <cstdint>
#include <optional>

#include "interop/python.hpp"

namespace rasterloom::interop {

inline constexpr const char* ELEMENT_TYPE_MESSAGE =
    "x and y must both be 1D numpy arrays of float64 or float32 type";

enum class ElementType { float64, float32 };

// Obtains NumPy's C API table once per process. A failed attempt leaves the
// table unset, so a later call tries again (for example after NumPy has been
// installed or repaired in a long-running session); it throws
// InternalFailure naming the cause.
void ensure_numpy_api();

// A pair of coordinate arrays that passed the element-type test. Declared y
// after x, so that on every way out y is released first.
struct CoordinateArrays {
    Ref x;
    Ref y;
    ElementType type;
};

// The element-type test: both objects NumPy arrays (or subclasses) of one
// dimension whose data types are equivalent to float64, or else both to
// float32 (in native byte order). nullopt when they do not fit; nothing is
// raised then.
std::optional<CoordinateArrays> accept_coordinates(PyObject* x, PyObject* y);

// An accepted array as the code below the boundary reads it: the address of
// element 0, the length and the distance between elements in bytes.
struct ArrayView {
    const void* data;
    std::uint64_t length;
    std::int64_t byte_stride;
    // Every element that is read lies at a multiple of the element size:
    // the address of element 0 and, with two or more, the stride.
    bool aligned;
};
ArrayView view_of(const Ref& accepted);

// A contiguous, aligned copy of an accepted array, in memory that NumPy owns.
Ref aligned_copy(const Ref& accepted);

// A new int32 NumPy array of n entries, in memory that NumPy owns; `data`
// receives the address of its first entry. Its entries are not set.
Ref new_label_array(std::uint64_t n, std::int32_t*& data);

}  // namespace rasterloom::interop
