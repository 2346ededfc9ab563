// Binding of call arguments to parameters, and conversion of argument values.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "binding/python_error.hpp"
#include "core/buffer.hpp"

namespace vorn::binding {

inline constexpr std::size_t max_parameters = 4;

// One static record per function: every parameter is required and may be
// passed by position or by keyword.
struct function_descriptor {
    const char* name;
    std::size_t parameter_count;
    std::array<const char*, max_parameters> parameters;
};

// Bound arguments, borrowed from the caller's argument vector.
using argument_slots = std::array<PyObject*, max_parameters>;

// Fills the slots, or throws the TypeError CPython itself would give.
argument_slots bind_arguments(const function_descriptor& function, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames);

// float(object) by the interpreter's rules.
double to_double(PyObject* object);

// An unsigned 64-bit integer through int or __index__.
std::uint64_t to_size(PyObject* object);

// A TypeError becomes "argument '<parameter>': <message>"; other errors pass.
python_error label_argument(python_error error, const char* parameter);

// Runs one conversion and labels its error with the parameter's name.
template <class Convert>
auto convert_argument(const char* parameter, Convert&& convert) {
    try {
        return convert();
    } catch (python_error& error) {
        throw label_argument(std::move(error), parameter);
    }
}

// Any Python sequence of numbers, copied into an owned float64 buffer.
core::owned_buffer<double> to_sample_buffer(PyObject* object);

}  // namespace vorn::binding
