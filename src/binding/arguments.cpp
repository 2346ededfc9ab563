// Argument binding (positional and keyword) and the scalar and sequence conversions.
#include "binding/arguments.hpp"

#include <cstring>
#include <string>
#include <string_view>

#include "binding/interpreter_lock.hpp"
#include "core/fault.hpp"

namespace vorn::binding {

namespace {

[[noreturn]] void binding_error(std::string message) {
    throw python_error::make(PyExc_TypeError, message);
}

std::string quoted_list(const function_descriptor& function, const argument_slots& slots) {
    std::string names[max_parameters];
    std::size_t count = 0;
    for (std::size_t i = 0; i < function.parameter_count; ++i)
        if (slots[i] == nullptr) names[count++] = std::string("'") + function.parameters[i] + "'";
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) text += count > 2 ? ", " : " ";
        if (i > 0 && i + 1 == count) text += "and ";
        text += names[i];
    }
    return text;
}

[[noreturn]] void missing_arguments(const function_descriptor& function,
                                    const argument_slots& slots) {
    std::size_t missing = 0;
    for (std::size_t i = 0; i < function.parameter_count; ++i) missing += slots[i] == nullptr;
    binding_error(std::string(function.name) + "() missing " + std::to_string(missing) +
                  " required positional argument" + (missing == 1 ? "" : "s") + ": " +
                  quoted_list(function, slots));
}

// The parameter index a keyword names, or -1. A keyword whose text cannot be
// taken as UTF-8 (lone surrogates) matches nothing.
int parameter_index(const function_descriptor& function, PyObject* keyword) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return -1;
    }
    const std::string_view name(text, static_cast<std::size_t>(size));
    for (std::size_t i = 0; i < function.parameter_count; ++i)
        if (name == function.parameters[i]) return static_cast<int>(i);
    return -1;
}

const std::string& sequence_qualname() {
    static once_cell<std::string> cell;
    return cell.get_or_init([] {
        py_ref module = py_ref::steal(PyImport_ImportModule("collections.abc"));
        py_ref sequence = module ? py_ref::steal(PyObject_GetAttrString(module.get(), "Sequence"))
                                 : py_ref();
        py_ref name = sequence ? py_ref::steal(PyObject_GetAttrString(sequence.get(), "__qualname__"))
                               : py_ref();
        if (!name || !PyUnicode_Check(name.get())) {
            std::string cause = PyErr_Occurred() ? python_error::fetch().render()
                                                 : std::string("__qualname__ is not a str");
            core::fail("could not read the name of collections.abc.Sequence: " + cause);
        }
        return str_lossy(name.get());
    });
}

}  // namespace

argument_slots bind_arguments(const function_descriptor& function, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) {
    argument_slots slots{};
    const auto positional = static_cast<std::size_t>(nargs);
    if (positional > function.parameter_count)
        binding_error(std::string(function.name) + "() takes " +
                      std::to_string(function.parameter_count) + " positional arguments but " +
                      std::to_string(positional) + " were given");
    for (std::size_t i = 0; i < positional; ++i) slots[i] = args[i];

    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GetItem(kwnames, k);
        if (keyword == nullptr) throw_pending();
        const int index = parameter_index(function, keyword);
        if (index < 0)
            binding_error(std::string(function.name) + "() got an unexpected keyword argument '" +
                          str_lossy(keyword) + "'");
        if (slots[static_cast<std::size_t>(index)] != nullptr)
            binding_error(std::string(function.name) + "() got multiple values for argument '" +
                          function.parameters[index] + "'");
        slots[static_cast<std::size_t>(index)] = args[nargs + k];
    }

    for (std::size_t i = positional; i < function.parameter_count; ++i)
        if (slots[i] == nullptr) missing_arguments(function, slots);
    return slots;
}

double to_double(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred() != nullptr) throw_pending();
    return value;
}

std::uint64_t to_size(PyObject* object) {
    unsigned long long value;
    if (PyLong_Check(object)) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        py_ref index = py_ref::steal(PyNumber_Index(object));
        if (!index) throw_pending();
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) throw_pending();
    return value;
}

python_error label_argument(python_error error, const char* parameter) {
    if (error.type() != PyExc_TypeError) return error;
    py_ref inner = error.value();
    const std::string message =
        std::string("argument '") + parameter + "': " + str_lossy(inner.get());
    py_ref labelled_value = python_error::make(PyExc_TypeError, message).value();
    // The new error keeps the inner one's explicit cause (this also sets
    // __suppress_context__); the inner error itself is dropped, not chained.
    PyException_SetCause(labelled_value.get(), PyException_GetCause(inner.get()));
    py_ref type = py_ref::borrow(PyExc_TypeError);
    PyErr_Restore(type.release(), labelled_value.release(), nullptr);
    return python_error::fetch();
}

core::owned_buffer<double> to_sample_buffer(PyObject* object) {
    return convert_argument("signal", [object] {
        if (PyUnicode_Check(object))
            binding_error("a str cannot be used as a sequence of samples");
        if (!PySequence_Check(object))
            binding_error("'" + type_qualname(object) + "' object cannot be cast as '" +
                          sequence_qualname() + "'");

        Py_ssize_t reported = PyObject_Size(object);
        if (reported < 0) {
            PyErr_Clear();
            reported = 0;
        }
        core::owned_buffer<double> samples(static_cast<std::size_t>(reported));

        py_ref iterator = py_ref::steal(PyObject_GetIter(object));
        if (!iterator) throw_pending();
        while (py_ref item = py_ref::steal(PyIter_Next(iterator.get()))) {
            samples.push_back(to_double(item.get()));
        }
        if (PyErr_Occurred() != nullptr) throw_pending();
        return samples;
    });
}

}  // namespace vorn::binding
