// PanicException: how internal faults reach Python.
#pragma once

#include <Python.h>

namespace vorn::binding {

// The type, if any fault has needed it yet; borrowed, lives for the process.
PyObject* panic_type_if_created() noexcept;

// Sets a PanicException carrying `message` as the current exception. May
// itself fault when the type cannot be created.
void raise_panic(const char* message);

}  // namespace vorn::binding
