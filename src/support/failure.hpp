// Failure kinds shared by the core, the worker pool and the module boundary.
//
// The core reports expected problems with the input (a length mismatch, a
// non-contiguous view) as values (CoreError). Everything thrown is either a
// violated invariant (InternalFailure) or an allocation that could not be
// satisfied (AllocationFailure); the module boundary is the only place that
// catches them and turns them into Python exceptions.
#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <utility>

namespace rasterloom {

// Where a failure arose, captured at the call site through default arguments
// (the compilers' builtins, which every supported compiler has).
struct SourcePlace {
    const char* file = "";
    unsigned line = 0;
    const char* function = "";

    static constexpr SourcePlace current(const char* file = __builtin_FILE(),
                                         unsigned line = __builtin_LINE(),
                                         const char* function = __builtin_FUNCTION()) noexcept {
        return SourcePlace{file, line, function};
    }
};

// A violated invariant. Carries a message and the place where it arose, so
// that the boundary can write a useful diagnostic before raising.
class InternalFailure : public std::exception {
public:
    explicit InternalFailure(std::string message,
                             SourcePlace where = SourcePlace::current())
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const SourcePlace& where() const noexcept { return where_; }

private:
    std::string message_;
    SourcePlace where_;
};

// An allocation of `bytes` bytes that the system refused.
class AllocationFailure : public std::exception {
public:
    explicit AllocationFailure(std::size_t bytes) noexcept : bytes_(bytes) {}
    const char* what() const noexcept override { return "memory allocation failed"; }
    std::size_t bytes() const noexcept { return bytes_; }

private:
    std::size_t bytes_;
};

[[noreturn]] inline void fail(std::string message,
                              SourcePlace where = SourcePlace::current()) {
    throw InternalFailure(std::move(message), where);
}

// Checks an invariant; a false condition is an internal failure.
inline void ensure(bool condition, const char* message,
                   SourcePlace where = SourcePlace::current()) {
    if (!condition) [[unlikely]] {
        throw InternalFailure(message, where);
    }
}

}  // namespace rasterloom
