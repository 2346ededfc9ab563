// The C entry points of the three module functions.
#pragma once

#include <Python.h>

namespace vorn::binding {

PyObject* pelt_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* local_baseline_percentile_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames);
PyObject* local_baseline_percentile_f32_entry(PyObject* self, PyObject* const* args,
                                              Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vorn::binding
