// The bodies of local_baseline_percentile and local_baseline_percentile_f32.
#include "baseline/percentile_baseline.hpp"
#include "binding/arguments.hpp"
#include "binding/array_intake.hpp"
#include "binding/call_wrapper.hpp"
#include "binding/functions.hpp"
#include "binding/interpreter_lock.hpp"
#include "binding/slice_container.hpp"

namespace vorn::binding {

namespace {

template <class T>
struct variant;

template <>
struct variant<double> {
    static constexpr function_descriptor descriptor{
        "local_baseline_percentile", 4, {"signal", "mask", "window_samples", "percentile"}};
    static constexpr numpy::type_number signal_type = numpy::float64_type;
};

template <>
struct variant<float> {
    static constexpr function_descriptor descriptor{
        "local_baseline_percentile_f32", 4, {"signal", "mask", "window_samples", "percentile"}};
    static constexpr numpy::type_number signal_type = numpy::float32_type;
};

template <class T>
PyObject* baseline_body(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const argument_slots slots = bind_arguments(variant<T>::descriptor, args, nargs, kwnames);
    // Declared in this order so that the mask's borrow is withdrawn first.
    const array_argument signal = convert_argument(
        "signal", [&] { return intake_array(slots[0], variant<T>::signal_type); });
    const array_argument mask =
        convert_argument("mask", [&] { return intake_array(slots[1], numpy::bool_type); });
    const std::uint64_t window_samples =
        convert_argument("window_samples", [&] { return to_size(slots[2]); });
    const double percentile = convert_argument("percentile", [&] { return to_double(slots[3]); });

    const contiguous_memory samples = contiguous_view(signal, "signal");
    const contiguous_memory flags = contiguous_view(mask, "mask");
    core::owned_buffer<T> baseline = without_interpreter_lock([&] {
        const aligned_elements<T> values(samples);
        const aligned_elements<std::uint8_t> bytes(flags);
        return baseline::percentile_baseline<T>(values.span(), bytes.span(), window_samples,
                                                percentile);
    });
    return wrap_result<T>(std::move(baseline));
}

}  // namespace

PyObject* local_baseline_percentile_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    return call_wrapper(&baseline_body<double>, self, args, nargs, kwnames);
}

PyObject* local_baseline_percentile_f32_entry(PyObject* self, PyObject* const* args,
                                              Py_ssize_t nargs, PyObject* kwnames) {
    return call_wrapper(&baseline_body<float>, self, args, nargs, kwnames);
}

}  // namespace vorn::binding
