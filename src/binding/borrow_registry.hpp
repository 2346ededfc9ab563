// The process-wide record of NumPy array memory that native code is reading or writing.
#pragma once

#include <Python.h>

#include <cstdint>

namespace vorn::binding {

// The shared interface, published as a capsule attribute of NumPy's
// multiarray module so that other extension modules can keep the same rules:
// any number of shared (reading) borrows of a piece of memory at once, or one
// exclusive (writing) borrow. The acquire functions return 0 on success, -1
// when the memory is already borrowed in a conflicting way, and any other
// value for an unexpected failure.
struct borrow_registry {
    std::uint64_t version;
    void* state;
    int (*acquire_shared)(void* state, PyObject* array);
    void (*release_shared)(void* state, PyObject* array);
    int (*acquire_exclusive)(void* state, PyObject* array);
    void (*release_exclusive)(void* state, PyObject* array);
};

inline constexpr const char* borrow_registry_attribute = "_vorn_borrow_registry";
inline constexpr const char* borrow_registry_capsule_name = "_vorn_ext.borrow_registry";

// The registry, found on or published to the multiarray module on first use.
const borrow_registry& shared_borrow_registry();

// A shared borrow of an array's memory, held for the life of this object.
class shared_borrow {
public:
    explicit shared_borrow(PyObject* array);
    ~shared_borrow();
    shared_borrow(const shared_borrow&) = delete;
    shared_borrow& operator=(const shared_borrow&) = delete;

private:
    const borrow_registry* registry_;
    PyObject* array_;
};

}  // namespace vorn::binding
