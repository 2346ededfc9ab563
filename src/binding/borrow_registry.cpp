// A registry of array borrows keyed by the memory range each array spans.
#include "binding/borrow_registry.hpp"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "binding/interpreter_lock.hpp"
#include "binding/numpy_api.hpp"
#include "binding/py_ref.hpp"
#include "binding/python_error.hpp"
#include "core/fault.hpp"

namespace vorn::binding {

namespace {

struct memory_range {
    std::uintptr_t begin;
    std::uintptr_t end;
    bool overlaps(const memory_range& other) const {
        return begin < other.end && other.begin < end;
    }
};

// The bytes an array can reach through its data pointer, shape and strides.
// An empty array spans its data pointer alone so that its borrows pair up.
memory_range range_of(PyObject* array) {
    const numpy::array_fields* a = numpy::fields(array);
    const auto start = reinterpret_cast<std::uintptr_t>(a->data);
    const std::int64_t item = numpy::api().element_size(a->descr);
    std::intptr_t low = 0, high = 0;
    for (int axis = 0; axis < a->nd; ++axis) {
        if (a->dimensions[axis] == 0) return {start, start + 1};
        const std::intptr_t reach = (a->dimensions[axis] - 1) * a->strides[axis];
        (reach < 0 ? low : high) += reach;
    }
    return {start + static_cast<std::uintptr_t>(low),
            start + static_cast<std::uintptr_t>(high) + static_cast<std::uintptr_t>(std::max<std::int64_t>(item, 1))};
}

// One per borrowed array object (shared borrows of it are counted); the
// range is taken when the first borrow is made so that releasing never
// depends on the array's current state.
struct entry {
    PyObject* array;
    memory_range range;
    std::size_t readers;
    bool writer;
};

struct registry_state {
    std::mutex mutex;
    std::vector<entry> entries;
};

int acquire(void* opaque, PyObject* array, bool exclusive) noexcept {
    try {
        auto& state = *static_cast<registry_state*>(opaque);
        const memory_range range = range_of(array);
        std::lock_guard<std::mutex> lock(state.mutex);
        for (const entry& held : state.entries)
            if (held.range.overlaps(range) && (exclusive || held.writer)) return -1;
        if (!exclusive) {
            for (entry& held : state.entries)
                if (held.array == array && !held.writer) {
                    ++held.readers;
                    return 0;
                }
        }
        state.entries.push_back(entry{array, range, exclusive ? 0u : 1u, exclusive});
        return 0;
    } catch (...) {
        return -2;
    }
}

void release(void* opaque, PyObject* array, bool exclusive) noexcept {
    auto& state = *static_cast<registry_state*>(opaque);
    std::lock_guard<std::mutex> lock(state.mutex);
    for (auto it = state.entries.begin(); it != state.entries.end(); ++it) {
        if (it->array != array || it->writer != exclusive) continue;
        if (exclusive || --it->readers == 0) state.entries.erase(it);
        return;
    }
}

borrow_registry make_registry() {
    return borrow_registry{
        1,
        new registry_state,
        [](void* s, PyObject* a) { return acquire(s, a, false); },
        [](void* s, PyObject* a) { release(s, a, false); },
        [](void* s, PyObject* a) { return acquire(s, a, true); },
        [](void* s, PyObject* a) { release(s, a, true); },
    };
}

const borrow_registry* find_or_publish() {
    py_ref module = py_ref::steal(PyImport_ImportModule(numpy::multiarray_module_name()));
    if (!module) throw_pending();
    py_ref capsule = py_ref::steal(PyObject_GetAttrString(module.get(), borrow_registry_attribute));
    if (!capsule) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
        PyErr_Clear();
        // Lives for the process, like the capsule that publishes it.
        auto* registry = new borrow_registry(make_registry());
        capsule = py_ref::steal(PyCapsule_New(registry, borrow_registry_capsule_name, nullptr));
        if (!capsule) throw_pending();
        if (PyObject_SetAttrString(module.get(), borrow_registry_attribute, capsule.get()) != 0)
            throw_pending();
    }
    if (Py_TYPE(capsule.get()) != &PyCapsule_Type)
        throw python_error::make(PyExc_TypeError, "'" + type_qualname(capsule.get()) +
                                                      "' object cannot be cast as 'PyCapsule'");
    const char* name = PyCapsule_GetName(capsule.get());
    if (name == nullptr && PyErr_Occurred() != nullptr) throw_pending();
    auto* registry = static_cast<const borrow_registry*>(PyCapsule_GetPointer(capsule.get(), name));
    if (registry == nullptr) throw_pending();
    if (registry->version < 1)
        throw python_error::make(PyExc_TypeError,
                                 "Version " + std::to_string(registry->version) +
                                     " of borrow checking API is not supported by this version of _vorn_ext");
    capsule.release();  // kept for the process
    return registry;
}

}  // namespace

const borrow_registry& shared_borrow_registry() {
    static once_cell<const borrow_registry*> cell;
    if (const borrow_registry* const* ready = cell.get()) return **ready;
    try {
        return *cell.get_or_init(find_or_publish);
    } catch (python_error& error) {
        core::fail("Interal borrow checking API error: " + error.render());
    }
}

shared_borrow::shared_borrow(PyObject* array) : registry_(&shared_borrow_registry()), array_(array) {
    const int code = registry_->acquire_shared(registry_->state, array_);
    if (code == -1) core::fail("array memory is already borrowed for writing: AlreadyBorrowed");
    if (code != 0) core::fail("Unexpected return code " + std::to_string(code) + " from borrow checking API");
}

shared_borrow::~shared_borrow() { registry_->release_shared(registry_->state, array_); }

}  // namespace vorn::binding
