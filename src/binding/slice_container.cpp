// The PySliceContainer type and the wrapping of result buffers as ndarrays.
#include "binding/slice_container.hpp"

#include <cstdlib>

#include "binding/interpreter_lock.hpp"
#include "binding/numpy_api.hpp"
#include "binding/py_ref.hpp"
#include "binding/python_error.hpp"
#include "core/fault.hpp"

namespace vorn::binding {

namespace {

using release_fn = void (*)(void* data, std::size_t length, std::size_t capacity);

struct slice_container {
    PyObject_HEAD
    void* data;
    std::size_t length;
    std::size_t capacity;
    release_fn release;
};

// Buffers come from core::owned_buffer, whose storage is malloc'd.
template <class T>
void release_buffer(void* data, std::size_t, std::size_t capacity) {
    if (capacity != 0) std::free(data);
}

void container_dealloc(PyObject* self) {
    auto* container = reinterpret_cast<slice_container*>(self);
    if (container->release != nullptr)
        container->release(container->data, container->length, container->capacity);
    PyTypeObject* type = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

PyType_Slot container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Utility type that safely stores an owned buffer on the Python heap, "
                                  "keeping it alive for the arrays that view it.")},
    {0, nullptr},
};

// Instances only come from native results: one made from Python would own
// nothing, so instantiation is refused. The dotted name gives the type a
// __module__; without one, creating it warns, and fails under -W error.
PyType_Spec container_spec = {
    "_vorn_ext.PySliceContainer",
    sizeof(slice_container),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    container_slots,
};

PyTypeObject* container_type() {
    static once_cell<PyTypeObject*> cell;
    return cell.get_or_init([] {
        PyObject* type = PyType_FromSpec(&container_spec);
        if (type == nullptr) {
            PyErr_WriteUnraisable(nullptr);
            core::fail("failed to create type object for `PySliceContainer`");
        }
        return reinterpret_cast<PyTypeObject*>(type);
    });
}

// Takes over the storage; frees it at once if no container can be made.
template <class T>
py_ref make_container(core::raw_parts<T> parts) {
    PyTypeObject* type;
    try {
        type = container_type();
    } catch (...) {
        release_buffer<T>(parts.data, parts.length, parts.capacity);
        throw;
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    py_ref object = py_ref::steal(alloc(type, 0));
    if (!object) {
        release_buffer<T>(parts.data, parts.length, parts.capacity);
        core::fail("Failed to create slice container: " + python_error::fetch().render());
    }
    auto* container = reinterpret_cast<slice_container*>(object.get());
    container->data = parts.data;
    container->length = parts.length;
    container->capacity = parts.capacity;
    container->release = &release_buffer<T>;
    return object;
}

template <class T>
constexpr numpy::type_number type_of = std::is_same_v<T, double> ? numpy::float64_type
                                                                 : numpy::float32_type;

}  // namespace

template <class T>
PyObject* wrap_result(core::owned_buffer<T> buffer) {
    const numpy::api_table& api = numpy::api();
    core::raw_parts<T> parts = buffer.release();
    // An empty result still needs a data pointer of ours, or NumPy would
    // allocate (and own) one itself.
    alignas(8) static char empty_storage[8];
    void* data = parts.data != nullptr ? static_cast<void*>(parts.data) : empty_storage;
    py_ref container = make_container(parts);

    PyObject* descr = api.descr_from_type(type_of<T>);
    if (descr == nullptr) fail_python_api_call();
    Py_intptr_t dims[1] = {static_cast<Py_intptr_t>(parts.length)};
    Py_intptr_t strides[1] = {static_cast<Py_intptr_t>(sizeof(T))};
    py_ref array = py_ref::steal(api.new_from_descr(api.array_type(), descr, 1, dims, strides, data,
                                                    numpy::writeable_flag, nullptr));
    if (!array) fail_python_api_call();
    // NumPy takes the container's reference even when this fails; then the
    // buffer is gone and the array must not escape.
    if (api.set_base_object(array.get(), container.release()) != 0) fail_python_api_call();
    return array.release();
}

template PyObject* wrap_result(core::owned_buffer<double>);
template PyObject* wrap_result(core::owned_buffer<float>);

}  // namespace vorn::binding
