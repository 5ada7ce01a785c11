#include "interop/boundary.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string_view>

namespace rasterloom::interop {
namespace {

constexpr const char* PANIC_DOC =
    "The exception raised when the compiled code called from Python fails internally.\n"
    "\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "will typically propagate all the way through the stack and cause the interpreter\n"
    "to exit.";

constexpr const char* NO_MESSAGE = "compiled code failed internally without a message";

thread_local unsigned long nesting_depth = 0;

// The place of a failure relative to the source tree, for the diagnostic.
std::string_view source_place(const char* file) {
    std::string_view path(file);
    if (auto at = path.rfind("/src/"); at != std::string_view::npos) {
        path.remove_prefix(at + 1);
    }
    return path;
}

void raise_panic(const std::string& message, const SourcePlace* where) {
    const char* text = message.empty() ? NO_MESSAGE : message.c_str();
    if (where != nullptr) {
        PySys_FormatStderr("rasterloom: internal failure at %s:%u in %s: %s\n",
                           std::string(source_place(where->file)).c_str(), where->line,
                           where->function, text);
    } else {
        PySys_FormatStderr("rasterloom: internal failure: %s\n", text);
    }
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        return;  // creating the class failed and left its own exception set
    }
    PyErr_SetString(type, text);
}

}  // namespace

NestingCount::NestingCount() noexcept { ++nesting_depth; }
NestingCount::~NestingCount() { --nesting_depth; }

PyObject* panic_exception_type() {
    // Held for the life of the process. Every caller holds the interpreter
    // lock and the creation below does not release it, so the class is
    // created exactly once.
    static PyObject* panic_type = nullptr;
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc("rasterloom.PanicException", PANIC_DOC,
                                               PyExc_BaseException, nullptr);
    }
    return panic_type;
}

std::string describe_pending_error() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type(type), owned_value(value), owned_traceback(traceback);
    std::string text = "unknown error";
    if (owned_value) {
        Ref rendered(PyObject_Str(owned_value.get()));
        Ref type_name(owned_type ? PyType_GetName(reinterpret_cast<PyTypeObject*>(type)) : nullptr);
        Py_ssize_t size = 0;
        const char* utf8 = rendered ? PyUnicode_AsUTF8AndSize(rendered.get(), &size) : nullptr;
        Py_ssize_t name_size = 0;
        const char* name = type_name ? PyUnicode_AsUTF8AndSize(type_name.get(), &name_size) : nullptr;
        if (utf8 != nullptr) {
            text = name != nullptr ? std::string(name, name_size) + ": " + std::string(utf8, size)
                                   : std::string(utf8, size);
        }
        PyErr_Clear();
    }
    return text;
}

void raise_current_exception() noexcept {
    try {
        try {
            throw;
        } catch (const PythonErrorSet&) {
            if (PyErr_Occurred() == nullptr) {
                raise_panic("a Python API call failed without setting an exception", nullptr);
            }
        } catch (const AllocationFailure& failure) {
            PyErr_Format(PyExc_MemoryError, "rasterloom could not allocate %zu bytes",
                         failure.bytes());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const InternalFailure& failure) {
            raise_panic(failure.message(), &failure.where());
        } catch (const std::exception& failure) {
            raise_panic(failure.what(), nullptr);
        } catch (...) {
            raise_panic(std::string(), nullptr);
        }
    } catch (...) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
}

}  // namespace rasterloom::interop
