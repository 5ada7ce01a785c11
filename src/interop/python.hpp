// Python.h under the stable, limited API (3.11 and later), a small owner for
// strong references so that every reference taken is released on every way
// out, exceptions included, and the computation that runs with the
// interpreter lock released. Shared by every extension module of the
// project.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace rasterloom::interop {

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

// Runs `work()` with the interpreter lock released, so that other Python
// threads run meanwhile, and returns its result once the lock is held again.
// `work` must not touch any Python object; whatever it reads stays alive
// through references the caller holds. What it throws is rethrown with the
// lock held again, for the boundary guard to raise.
template <class Work>
auto without_interpreter_lock(Work&& work) -> std::invoke_result_t<Work&> {
    std::optional<std::invoke_result_t<Work&>> result;
    std::exception_ptr failure;
    PyThreadState* const saved = PyEval_SaveThread();
    try {
        result.emplace(work());
    } catch (...) {
        failure = std::current_exception();
    }
    PyEval_RestoreThread(saved);
    if (failure) {
        std::rethrow_exception(failure);
    }
    return std::move(*result);
}

}  // namespace rasterloom::interop
