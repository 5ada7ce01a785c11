// Python.h under the stable, limited API (3.11 and later), plus a small
// owner for strong references so that every reference taken is released on
// every way out, exceptions included.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace rasterloom::module {

// Thrown when a Python API call failed and left its exception set; the
// boundary returns the entry's failure value with that exception in place.
struct PythonErrorSet {};

class Ref {
public:
    Ref() noexcept = default;
    explicit Ref(PyObject* owned) noexcept : object_(owned) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // Takes a new reference returned by the API; a null one means failure.
    static Ref checked(PyObject* owned) {
        if (owned == nullptr) {
            throw PythonErrorSet{};
        }
        return Ref(owned);
    }
    static Ref borrowed(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

private:
    PyObject* object_ = nullptr;
};

}  // namespace rasterloom::module
