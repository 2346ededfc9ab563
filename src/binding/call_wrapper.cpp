// Fault protection at the boundary to the interpreter.
#include "binding/call_wrapper.hpp"

#include <cstdlib>
#include <new>

#include "binding/interpreter_lock.hpp"
#include "binding/panic.hpp"
#include "binding/python_error.hpp"
#include "core/fault.hpp"

namespace vorn::binding {

namespace {

constexpr const char* generic_fault_message = "internal fault without a message";

// Maps whatever `run` ends in onto the interpreter's error indicator.
template <class Run>
PyObject* map_outcome(Run&& run) {
    try {
        return run();
    } catch (python_error& error) {
        std::move(error).restore();
    } catch (const core::internal_fault& fault) {
        raise_panic(fault.what()[0] != '\0' ? fault.what() : generic_fault_message);
    } catch (const core::allocation_failure& failure) {
        PyErr_SetString(PyExc_MemoryError, failure.what());
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, "memory allocation failed");
    } catch (const std::exception& unexpected) {
        core::write_fault_report(unexpected.what(), core::source_location::current());
        raise_panic(unexpected.what());
    } catch (...) {
        core::write_fault_report(generic_fault_message, core::source_location::current());
        raise_panic(generic_fault_message);
    }
    return nullptr;
}

// The abort guard: nothing may unwind into the interpreter. A fault raised
// while an outcome is being mapped ends the process after its report.
template <class Run>
PyObject* guarded(Run&& run) noexcept {
    try {
        lock_held_scope entered;
        return map_outcome(std::forward<Run>(run));
    } catch (...) {
        core::write_fault_report("uncaught panic at ffi boundary", core::source_location::current());
        std::abort();
    }
}

}  // namespace

PyObject* call_wrapper(function_body body, PyObject* self, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] { return body(self, args, nargs, kwnames); });
}

PyObject* init_wrapper(init_body body) noexcept {
    return guarded([&] { return body(); });
}

}  // namespace vorn::binding
