// The call wrapper: every module function runs its body through it.
#pragma once

#include <Python.h>

namespace vorn::binding {

// A function body: returns a new reference, or throws python_error,
// core::internal_fault or core::allocation_failure.
using function_body = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);

// Runs `body` under fault protection with the lock bookkeeping entered and
// turns its outcome into what CPython expects: a new reference, or NULL with
// the exception set. A fault while doing that aborts the process.
PyObject* call_wrapper(function_body body, PyObject* self, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) noexcept;

// The same protection for module creation.
using init_body = PyObject* (*)();
PyObject* init_wrapper(init_body body) noexcept;

}  // namespace vorn::binding
