// A Python exception carried through C++ code, and text renderings of objects.
#pragma once

#include <Python.h>

#include <exception>
#include <string>
#include <string_view>

#include "binding/py_ref.hpp"

namespace vorn::binding {

// "A Python error is pending": the exception's type, value and traceback,
// taken out of the interpreter so that C++ can unwind with them and hand them
// back to the interpreter in the call wrapper.
class python_error : public std::exception {
public:
    // Takes the pending exception. A pending PanicException raised by Python
    // code is resumed as an internal fault instead (thrown, not returned);
    // with nothing pending this is SystemError.
    static python_error fetch();
    // An exception of `type` whose single argument is `message`.
    static python_error make(PyObject* type, std::string_view message);

    const char* what() const noexcept override { return "Python exception"; }
    PyObject* type() const noexcept { return type_.get(); }
    // The exception instance (normalising the triple first).
    py_ref value();
    // Gives the exception back to the interpreter as the current one.
    void restore() &&;
    // "Type: message" with the traceback appended when there is one.
    std::string render();

private:
    python_error(py_ref type, py_ref value, py_ref traceback)
        : type_(std::move(type)), value_(std::move(value)), traceback_(std::move(traceback)) {}
    void normalize();

    py_ref type_;
    py_ref value_;
    py_ref traceback_;
};

// Fetches the pending exception and throws it.
[[noreturn]] void throw_pending();

// For a failed call whose own error is of no use to the caller: prints the
// pending error to standard error and fails with "Python API call failed".
[[noreturn]] void fail_python_api_call();

// str(object) as UTF-8; characters that cannot be encoded become U+FFFD. When
// str() raises, the error goes to the unraisable hook and
// "<unprintable {type} object>" stands in.
std::string str_lossy(PyObject* object);

// __qualname__ of the object's type, or "<failed to extract type name>".
std::string type_qualname(PyObject* object);

}  // namespace vorn::binding
