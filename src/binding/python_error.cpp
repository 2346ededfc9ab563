// Fetching, restoring and rendering Python exceptions.
#include "binding/python_error.hpp"

#include <cstdio>

#include "binding/panic.hpp"
#include "core/fault.hpp"

namespace vorn::binding {

namespace {

// UTF-8 of a str; each lone surrogate (which UTF-8 cannot carry) becomes one
// U+FFFD.
std::string utf8_lossy(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) return {data, static_cast<std::size_t>(size)};
    PyErr_Clear();
    Py_UCS4* code_points = PyUnicode_AsUCS4Copy(text);
    if (code_points == nullptr) {
        PyErr_Clear();
        return "\xEF\xBF\xBD";
    }
    std::string out;
    for (Py_ssize_t i = 0, n = PyUnicode_GetLength(text); i < n; ++i) {
        Py_UCS4 c = code_points[i];
        if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    PyMem_Free(code_points);
    return out;
}

std::string attribute_text(PyObject* object, const char* name, const char* otherwise) {
    py_ref value = py_ref::steal(PyObject_GetAttrString(object, name));
    if (!value || !PyUnicode_Check(value.get())) {
        PyErr_Clear();
        return otherwise;
    }
    return utf8_lossy(value.get());
}

[[noreturn]] void resume_panic(python_error error, PyObject* value) {
    std::string message = "<the PanicException's message could not be read>";
    py_ref text = py_ref::steal(PyObject_Str(value));
    if (text)
        message = utf8_lossy(text.get());
    else
        PyErr_Clear();
    std::fputs(
        "--- _vorn_ext: a PanicException was fetched from Python; resuming it as an internal fault ---\n"
        "--- Python stack trace follows ---\n",
        stderr);
    std::move(error).restore();
    PyErr_PrintEx(0);
    throw core::internal_fault(message);
}

}  // namespace

python_error python_error::fetch() {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return make(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    python_error error(py_ref::steal(type), py_ref::steal(value), py_ref::steal(traceback));
    PyObject* panic = panic_type_if_created();
    if (panic != nullptr && PyErr_GivenExceptionMatches(type, panic)) {
        py_ref instance = error.value();
        resume_panic(std::move(error), instance.get());
    }
    return error;
}

python_error python_error::make(PyObject* type, std::string_view message) {
    py_ref text = py_ref::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return fetch();
    return python_error(py_ref::borrow(type), std::move(text), py_ref());
}

void python_error::normalize() {
    PyObject* type = type_.release();
    PyObject* value = value_.release();
    PyObject* traceback = traceback_.release();
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    type_ = py_ref::steal(type);
    value_ = py_ref::steal(value);
    traceback_ = py_ref::steal(traceback);
}

py_ref python_error::value() {
    normalize();
    return value_;
}

void python_error::restore() && {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

std::string python_error::render() {
    normalize();
    std::string text = attribute_text(type_.get(), "__qualname__", "<unknown exception type>");
    if (value_) text += ": " + str_lossy(value_.get());
    if (traceback_) {
        py_ref module = py_ref::steal(PyImport_ImportModule("traceback"));
        py_ref lines = module ? py_ref::steal(PyObject_CallMethod(module.get(), "format_tb", "O",
                                                                  traceback_.get()))
                              : py_ref();
        py_ref empty = py_ref::steal(PyUnicode_FromString(""));
        py_ref joined = (lines && empty) ? py_ref::steal(PyUnicode_Join(empty.get(), lines.get()))
                                         : py_ref();
        if (joined)
            text += "\nTraceback (most recent call last):\n" + utf8_lossy(joined.get());
        else
            PyErr_Clear();
    }
    return text;
}

void throw_pending() { throw python_error::fetch(); }

void fail_python_api_call() {
    if (PyErr_Occurred() != nullptr) PyErr_Print();
    core::fail("Python API call failed");
}

std::string str_lossy(PyObject* object) {
    py_ref text = py_ref::steal(PyObject_Str(object));
    if (!text) {
        PyErr_WriteUnraisable(object);
        py_ref type = py_ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object)));
        py_ref name = py_ref::steal(PyObject_GetAttrString(type.get(), "__name__"));
        if (!name || !PyUnicode_Check(name.get())) {
            PyErr_Clear();
            return "<unprintable object>";
        }
        return "<unprintable " + utf8_lossy(name.get()) + " object>";
    }
    return utf8_lossy(text.get());
}

std::string type_qualname(PyObject* object) {
    return attribute_text(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__",
                          "<failed to extract type name>");
}

}  // namespace vorn::binding
