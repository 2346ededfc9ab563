// The owning handle for Python objects used throughout the binding layer.
#pragma once

#include <Python.h>

#include <utility>

namespace vorn::binding {

// Holds one strong reference. Construct with `steal` for a new reference a
// C-API call returned, or `borrow` to take a reference of our own. Copies and
// destruction need the interpreter lock, which the binding layer always holds.
class py_ref {
public:
    py_ref() noexcept = default;
    static py_ref steal(PyObject* object) noexcept { return py_ref(object); }
    static py_ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return py_ref(object);
    }

    py_ref(const py_ref& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
    py_ref(py_ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    py_ref& operator=(py_ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~py_ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller (for C-API calls that steal one).
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit py_ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace vorn::binding
