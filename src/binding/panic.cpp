// The PanicException type, created on the first fault and kept for the process.
#include "binding/panic.hpp"

#include <cstring>

#include "binding/interpreter_lock.hpp"
#include "binding/py_ref.hpp"
#include "core/fault.hpp"

namespace vorn::binding {

namespace {

constexpr const char* panic_doc =
    "\n"
    "The exception raised when native code called from Python hits an internal fault.\n"
    "\n"
    "Like SystemExit, this exception derives from BaseException rather than Exception,\n"
    "so that it typically propagates all the way through the stack and makes the\n"
    "interpreter exit.\n";

once_cell<PyObject*> panic_cell;

}  // namespace

PyObject* panic_type_if_created() noexcept {
    PyObject* const* type = panic_cell.get();
    return type ? *type : nullptr;
}

void raise_panic(const char* message) {
    PyObject* type = panic_cell.get_or_init([] {
        PyObject* made = PyErr_NewExceptionWithDoc("tesk_runtime.PanicException", panic_doc,
                                                   PyExc_BaseException, nullptr);
        if (made == nullptr) {
            PyErr_Print();
            core::fail("Failed to initialize new exception type.");
        }
        return made;
    });
    py_ref text = py_ref::steal(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
    if (!text) return;  // the decoding error stays pending in its place
    PyErr_SetObject(type, text.get());
}

}  // namespace vorn::binding
