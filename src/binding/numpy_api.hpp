// NumPy's C interface, reached through the table NumPy publishes in a capsule.
#pragma once

#include <Python.h>

#include <cstdint>

namespace vorn::binding::numpy {

enum type_number : int { bool_type = 0, float32_type = 11, float64_type = 12 };

inline constexpr int c_contiguous_flag = 0x0001;
inline constexpr int f_contiguous_flag = 0x0002;
inline constexpr int writeable_flag = 0x0400;

// The leading fields of an ndarray object; their layout is part of NumPy's ABI.
struct array_fields {
    PyObject_HEAD
    char* data;
    int nd;
    Py_intptr_t* dimensions;
    Py_intptr_t* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

inline array_fields* fields(PyObject* array) { return reinterpret_cast<array_fields*>(array); }

// The entries of the table this module uses, by their index in it.
struct api_table {
    void** entries;

    PyTypeObject* array_type() const { return static_cast<PyTypeObject*>(entries[2]); }
    // A new reference to the descriptor of a built-in type, or null with an error set.
    PyObject* descr_from_type(int type) const {
        return reinterpret_cast<PyObject* (*)(int)>(entries[45])(type);
    }
    // Steals `descr`.
    PyObject* new_from_descr(PyTypeObject* subtype, PyObject* descr, int nd, Py_intptr_t* dims,
                             Py_intptr_t* strides, void* data, int flags, PyObject* obj) const {
        using fn = PyObject* (*)(PyTypeObject*, PyObject*, int, Py_intptr_t*, Py_intptr_t*, void*,
                                 int, PyObject*);
        return reinterpret_cast<fn>(entries[94])(subtype, descr, nd, dims, strides, data, flags, obj);
    }
    bool equiv_types(PyObject* a, PyObject* b) const {
        return reinterpret_cast<unsigned char (*)(PyObject*, PyObject*)>(entries[182])(a, b) != 0;
    }
    unsigned feature_version() const {
        return reinterpret_cast<unsigned (*)()>(entries[211])();
    }
    // Steals `base`, also when it fails.
    int set_base_object(PyObject* array, PyObject* base) const {
        return reinterpret_cast<int (*)(PyObject*, PyObject*)>(entries[282])(array, base);
    }
    // The element size of a descriptor; NumPy 2 (feature version above 17)
    // moved and widened the field.
    std::int64_t element_size(PyObject* descr) const;
};

// The table, obtained on first use; a failure stores nothing and is retried
// by the next call.
const api_table& api();

// The name of NumPy's multiarray module for the installed NumPy.
const char* multiarray_module_name();

}  // namespace vorn::binding::numpy
