// Module creation, registration of the functions and the owner-interpreter rule.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding/call_wrapper.hpp"
#include "binding/functions.hpp"
#include "binding/interpreter_lock.hpp"
#include "binding/python_error.hpp"
#include "core/fault.hpp"

namespace vorn::binding {

namespace {

template <auto Entry>
PyCFunction as_method() {
    // METH_FASTCALL | METH_KEYWORDS functions travel through PyCFunction.
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry));
}

PyMethodDef function_table[] = {
    {"pelt", as_method<&pelt_entry>(), METH_FASTCALL | METH_KEYWORDS,
     "pelt(signal, penalty_factor, min_segment_samples)\n--\n\n"},
    {"local_baseline_percentile", as_method<&local_baseline_percentile_entry>(),
     METH_FASTCALL | METH_KEYWORDS,
     "local_baseline_percentile(signal, mask, window_samples, percentile)\n--\n\n"
     "Sliding-window percentile baseline over unmasked samples (float64)."},
    {"local_baseline_percentile_f32", as_method<&local_baseline_percentile_f32_entry>(),
     METH_FASTCALL | METH_KEYWORDS,
     "local_baseline_percentile_f32(signal, mask, window_samples, percentile)\n--\n\n"
     "Sliding-window percentile baseline over unmasked samples (float32)."},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_vorn_ext",
    "A Python module implemented natively in C++.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that imported the module first; every other one is refused.
std::atomic<std::int64_t> owner_interpreter{-1};
once_cell<PyObject*> module_cell;

py_ref checked(PyObject* result) {
    if (result == nullptr) throw_pending();
    return py_ref::steal(result);
}

void register_function(PyObject* module, PyMethodDef* definition) {
    py_ref module_name = checked(PyModule_GetNameObject(module));
    py_ref function = checked(PyCMethod_New(definition, module, module_name.get(), nullptr));
    module_name = py_ref();

    static PyObject* name_attribute = PyUnicode_InternFromString("__name__");
    if (name_attribute == nullptr) throw_pending();
    py_ref name = checked(PyObject_GetAttr(function.get(), name_attribute));
    if (!PyUnicode_Check(name.get()))
        throw python_error::make(PyExc_TypeError, "'" + type_qualname(name.get()) +
                                                      "' object cannot be cast as 'str'");

    py_ref all = py_ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
        PyErr_Clear();
        all = checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) throw_pending();
    } else if (!PyList_Check(all.get())) {
        throw python_error::make(PyExc_TypeError, "'" + type_qualname(all.get()) +
                                                      "' object cannot be cast as 'list'");
    }
    if (PyList_Append(all.get(), name.get()) != 0)
        core::fail("could not append __name__ to __all__: " + python_error::fetch().render());
    if (PyObject_SetAttr(module, name.get(), function.get()) != 0) throw_pending();
}

PyObject* make_module() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) throw_pending();
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, current) && expected != current)
        throw python_error::make(
            PyExc_ImportError,
            "_vorn_ext does not support sub-interpreters; import it in the main interpreter only.");

    PyObject* module = module_cell.get_or_init([] {
        py_ref created = checked(PyModule_Create2(&module_definition, PYTHON_ABI_VERSION));
        for (PyMethodDef& definition : function_table) register_function(created.get(), &definition);
        return created.release();
    });
    return py_ref::borrow(module).release();
}

}  // namespace

}  // namespace vorn::binding

PyMODINIT_FUNC PyInit__vorn_ext() { return vorn::binding::init_wrapper(&vorn::binding::make_module); }
