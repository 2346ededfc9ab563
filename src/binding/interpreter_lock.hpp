// Interpreter-lock bookkeeping, the released-lock scope and lock-aware once cells.
#pragma once

#include <Python.h>

#include <atomic>
#include <exception>
#include <mutex>
#include <utility>

namespace vorn::binding {

// Counts, per thread, how deeply the binding layer is entered with the
// interpreter lock held. Entered by module init and every call.
class lock_held_scope {
public:
    lock_held_scope() noexcept { ++depth(); }
    ~lock_held_scope() { --depth(); }
    lock_held_scope(const lock_held_scope&) = delete;
    lock_held_scope& operator=(const lock_held_scope&) = delete;
    static int& depth() noexcept;
};

// Runs `work` with the interpreter lock released and re-acquires it before
// anything, result or exception, travels on. `work` must not touch Python.
template <class Work>
decltype(auto) without_interpreter_lock(Work&& work) {
    struct reacquire {
        PyThreadState* state;
        int saved_depth;
        ~reacquire() {
            PyEval_RestoreThread(state);
            lock_held_scope::depth() = saved_depth;
        }
    } guard{nullptr, std::exchange(lock_held_scope::depth(), 0)};
    guard.state = PyEval_SaveThread();
    return std::forward<Work>(work)();
}

// A process-wide value made at most once, by one thread, with the lock held.
// A thread that finds the set-up under way waits without holding the lock, so
// the maker can run Python code that lets other threads in. A failed set-up
// stores nothing and is tried again by the next caller.
template <class T>
class once_cell {
public:
    // Null until ready; a ready value is read with one acquire load.
    const T* get() const noexcept {
        return ready_.load(std::memory_order_acquire) ? &value_ : nullptr;
    }

    template <class Make>
    const T& get_or_init(Make&& make) {
        if (const T* ready = get()) return *ready;
        PyThreadState* state = PyEval_SaveThread();
        std::unique_lock<std::mutex> lock(mutex_);
        PyEval_RestoreThread(state);
        if (!ready_.load(std::memory_order_relaxed)) {
            value_ = make();
            ready_.store(true, std::memory_order_release);
        }
        return value_;
    }

private:
    std::atomic<bool> ready_{false};
    std::mutex mutex_;
    T value_{};
};

}  // namespace vorn::binding
