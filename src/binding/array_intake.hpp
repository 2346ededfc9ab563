// Taking NumPy arrays as arguments: type tests, read borrows and contiguous views.
#pragma once

#include <Python.h>

#include <optional>
#include <span>

#include "binding/borrow_registry.hpp"
#include "binding/numpy_api.hpp"
#include "binding/py_ref.hpp"

namespace vorn::binding {

// An accepted one-dimensional array of the expected element type, referenced
// and read-borrowed until it is destroyed (the borrow is withdrawn first).
class array_argument {
public:
    array_argument(py_ref array) : array_(std::move(array)), borrow_(array_.get()) {}
    PyObject* get() const noexcept { return array_.get(); }

private:
    py_ref array_;  // declared first: outlives the borrow
    shared_borrow borrow_;
};

// Accepts `object` when it is an ndarray (or subclass) with one dimension and
// an element type equivalent to `type`; otherwise throws the TypeError
// "'{from}' object cannot be cast as 'ndarray'".
array_argument intake_array(PyObject* object, numpy::type_number type);

// The array's memory as a span, or the fault "{name} must be contiguous:
// NotContiguousError". Nothing is copied.
template <class T>
std::span<const T> contiguous_view(const array_argument& argument, const char* name);

extern template std::span<const double> contiguous_view(const array_argument&, const char*);
extern template std::span<const float> contiguous_view(const array_argument&, const char*);
extern template std::span<const std::uint8_t> contiguous_view(const array_argument&, const char*);

}  // namespace vorn::binding
