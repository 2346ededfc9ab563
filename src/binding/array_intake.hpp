// Taking NumPy arrays as arguments: type tests, read borrows and contiguous views.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "binding/borrow_registry.hpp"
#include "binding/numpy_api.hpp"
#include "binding/py_ref.hpp"
#include "core/buffer.hpp"

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

// The array's memory, once its contiguity is established: its start and its
// element count. Nothing is copied. The start is only known to be a byte
// address: NumPy arrays may begin anywhere, for instance a view at an odd
// offset into a byte buffer.
struct contiguous_memory {
    const void* data;
    std::size_t count;
};

// The contiguous memory of the array, or the fault "{name} must be
// contiguous: NotContiguousError".
contiguous_memory contiguous_view(const array_argument& argument, const char* name);

// The elements of T in `memory`, read in place when the start is aligned for
// T and otherwise from an aligned copy that this object owns: the kernels
// read through typed pointers, which must be aligned. Touches no Python
// object, so it may run with the interpreter lock released.
template <class T>
class aligned_elements {
public:
    explicit aligned_elements(contiguous_memory memory) {
        if (memory.count == 0) return;
        if (reinterpret_cast<std::uintptr_t>(memory.data) % alignof(T) == 0) {
            view_ = {static_cast<const T*>(memory.data), memory.count};
            return;
        }
        copy_.resize_for_overwrite(memory.count);
        std::memcpy(copy_.data(), memory.data, memory.count * sizeof(T));
        view_ = copy_.span();
    }
    aligned_elements(const aligned_elements&) = delete;
    aligned_elements& operator=(const aligned_elements&) = delete;

    std::span<const T> span() const noexcept { return view_; }

private:
    core::owned_buffer<T> copy_;
    std::span<const T> view_;
};

}  // namespace vorn::binding
