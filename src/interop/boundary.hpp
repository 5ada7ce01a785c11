// The boundary guard that every entry from the interpreter passes through,
// in every extension module of the project.
//
// Below the guard, failures are C++ exceptions: PythonErrorSet (a Python
// exception is already set), AllocationFailure (raised as MemoryError naming
// the size), InternalFailure (raised as PanicException, after a diagnostic on
// standard error). Nothing escapes the guard as a C++ exception.
#pragma once

#include <string>

#include "support/failure.hpp"
#include "interop/python.hpp"

namespace rasterloom::interop {

// Converts the exception in flight into a set Python exception.
void raise_current_exception() noexcept;

// Returns the PanicException class, creating it on first need.
PyObject* panic_exception_type();

// "Type: message" of the pending Python exception, which is cleared; for a
// diagnostic that names why a call into the interpreter failed.
std::string describe_pending_error();

class NestingCount {
public:
    NestingCount() noexcept;
    ~NestingCount();
    NestingCount(const NestingCount&) = delete;
    NestingCount& operator=(const NestingCount&) = delete;
};

template <class Result, class Operation>
Result guarded(Result failure_value, Operation&& operation) noexcept {
    NestingCount nesting;
    try {
        return operation();
    } catch (...) {
        raise_current_exception();
        return failure_value;
    }
}

}  // namespace rasterloom::interop
