// Result arrays over native buffers, owned by PySliceContainer objects.
#pragma once

#include <Python.h>

#include "core/buffer.hpp"

namespace vorn::binding {

// A one-dimensional ndarray over `buffer`'s storage without a copy; a
// PySliceContainer owning the storage becomes its base.
template <class T>
PyObject* wrap_result(core::owned_buffer<T> buffer);

extern template PyObject* wrap_result(core::owned_buffer<double>);
extern template PyObject* wrap_result(core::owned_buffer<float>);

}  // namespace vorn::binding
