// Obtaining NumPy's interface table once per process, for NumPy 1.x and 2.x.
#include "binding/numpy_api.hpp"

#include <string>

#include "binding/interpreter_lock.hpp"
#include "binding/py_ref.hpp"
#include "binding/python_error.hpp"
#include "core/fault.hpp"

namespace vorn::binding::numpy {

namespace {

struct descr_fields_v1 {
    PyObject_HEAD
    PyTypeObject* typeobj;
    char kind, type, byteorder, flags;
    int type_num;
    int elsize;
};

struct descr_fields_v2 {
    PyObject_HEAD
    PyTypeObject* typeobj;
    char kind, type, byteorder, former_flags;
    int type_num;
    std::uint64_t flags;
    Py_intptr_t elsize;
};

py_ref checked(PyObject* result) {
    if (result == nullptr) throw_pending();
    return py_ref::steal(result);
}

py_ref import_attribute(const char* module_name, const char* attribute) {
    py_ref module = checked(PyImport_ImportModule(module_name));
    return checked(PyObject_GetAttrString(module.get(), attribute));
}

struct module_names {
    std::string core;
    std::string multiarray;
};

once_cell<module_names> names_cell;
once_cell<api_table> table_cell;

const module_names& names() {
    return names_cell.get_or_init([] {
        py_ref version = import_attribute("numpy", "__version__");
        py_ref numpy_version = import_attribute("numpy.lib", "NumpyVersion");
        py_ref parsed = checked(PyObject_CallFunctionObjArgs(numpy_version.get(), version.get(), nullptr));
        py_ref major_object = checked(PyObject_GetAttrString(parsed.get(), "major"));
        const long major = PyLong_AsLong(major_object.get());
        if (major == -1 && PyErr_Occurred() != nullptr) throw_pending();
        if (major < 0 || major > 255)
            throw python_error::make(PyExc_OverflowError,
                                     "NumPy major version " + std::to_string(major) +
                                         " is out of range for u8");
        module_names made;
        made.core = major >= 2 ? "numpy._core" : "numpy.core";
        made.multiarray = made.core + ".multiarray";
        return made;
    });
}

api_table load_table() {
    py_ref capsule = import_attribute(names().multiarray.c_str(), "_ARRAY_API");
    if (Py_TYPE(capsule.get()) != &PyCapsule_Type)
        throw python_error::make(PyExc_TypeError, "'" + type_qualname(capsule.get()) +
                                                      "' object cannot be cast as 'PyCapsule'");
    void* pointer = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (pointer == nullptr) throw_pending();
    // The capsule stays referenced for the life of the process, which keeps
    // the table valid.
    capsule.release();
    return api_table{static_cast<void**>(pointer)};
}

}  // namespace

std::int64_t api_table::element_size(PyObject* descr) const {
    if (feature_version() > 17) return reinterpret_cast<descr_fields_v2*>(descr)->elsize;
    return reinterpret_cast<descr_fields_v1*>(descr)->elsize;
}

const api_table& api() {
    if (const api_table* ready = table_cell.get()) return *ready;
    try {
        return table_cell.get_or_init(load_table);
    } catch (python_error& error) {
        core::fail("Failed to access NumPy array API capsule: " + error.render());
    }
}

const char* multiarray_module_name() { return names().multiarray.c_str(); }

}  // namespace vorn::binding::numpy
