// ndarray type tests and contiguity for the baseline functions' arguments.
#include "binding/array_intake.hpp"

#include <string>

#include "binding/python_error.hpp"
#include "core/fault.hpp"

namespace vorn::binding {

namespace {

bool has_element_type(const numpy::api_table& api, PyObject* array, numpy::type_number type) {
    py_ref expected = py_ref::steal(api.descr_from_type(type));
    if (!expected) fail_python_api_call();
    PyObject* actual = numpy::fields(array)->descr;
    return actual == expected.get() || api.equiv_types(actual, expected.get());
}

}  // namespace

array_argument intake_array(PyObject* object, numpy::type_number type) {
    const numpy::api_table& api = numpy::api();
    PyTypeObject* array_type = api.array_type();
    if (!PyObject_TypeCheck(object, array_type) || numpy::fields(object)->nd != 1 ||
        !has_element_type(api, object, type)) {
        py_ref type_object = py_ref::borrow(reinterpret_cast<PyObject*>(array_type));
        py_ref to = py_ref::steal(PyObject_GetAttrString(type_object.get(), "__qualname__"));
        const std::string to_name = to && PyUnicode_Check(to.get()) ? str_lossy(to.get()) : "ndarray";
        PyErr_Clear();
        throw python_error::make(PyExc_TypeError, "'" + type_qualname(object) +
                                                      "' object cannot be cast as '" + to_name + "'");
    }
    return array_argument(py_ref::borrow(object));
}

contiguous_memory contiguous_view(const array_argument& argument, const char* name) {
    const numpy::array_fields* array = numpy::fields(argument.get());
    const bool contiguous =
        (array->flags & (numpy::c_contiguous_flag | numpy::f_contiguous_flag)) != 0 &&
        array->data != nullptr;
    if (!contiguous) core::fail(std::string(name) + " must be contiguous: NotContiguousError");
    return {array->data, static_cast<std::size_t>(array->dimensions[0])};
}

}  // namespace vorn::binding
