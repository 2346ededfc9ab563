// The body of pelt: binding, conversion, the search, and the result list.
#include "binding/arguments.hpp"
#include "binding/call_wrapper.hpp"
#include "binding/functions.hpp"
#include "changepoint/pelt.hpp"

namespace vorn::binding {

namespace {

constexpr function_descriptor pelt_descriptor{
    "pelt", 3, {"signal", "penalty_factor", "min_segment_samples", nullptr}};

py_ref to_int_list(const core::owned_buffer<std::uint64_t>& positions) {
    py_ref list = py_ref::steal(PyList_New(static_cast<Py_ssize_t>(positions.size())));
    if (!list) fail_python_api_call();
    for (std::size_t i = 0; i < positions.size(); ++i) {
        PyObject* item = PyLong_FromUnsignedLongLong(positions[i]);
        if (item == nullptr) fail_python_api_call();
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

PyObject* pelt_body(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const argument_slots slots = bind_arguments(pelt_descriptor, args, nargs, kwnames);
    core::owned_buffer<double> samples = to_sample_buffer(slots[0]);
    const double penalty_factor = convert_argument("penalty_factor", [&] { return to_double(slots[1]); });
    const std::uint64_t min_segment_samples =
        convert_argument("min_segment_samples", [&] { return to_size(slots[2]); });

    // The search keeps the interpreter lock: it is a pure function of owned
    // values and callers rely on pelt not letting other threads in.
    core::owned_buffer<std::uint64_t> change_points =
        changepoint::pelt_search(samples.span(), penalty_factor, min_segment_samples);
    samples = core::owned_buffer<double>();
    return to_int_list(change_points).release();
}

}  // namespace

PyObject* pelt_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_wrapper(&pelt_body, self, args, nargs, kwnames);
}

}  // namespace vorn::binding
