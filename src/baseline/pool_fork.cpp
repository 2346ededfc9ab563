// The pool around fork(): workers stopped before, a fresh pool after, or no pool at all.
#include "baseline/pool_fork.hpp"

#include <pthread.h>

#include <cstddef>
#include <mutex>
#include <new>

#include <oneapi/tbb/global_control.h>

namespace vorn::baseline::pool::pool_detail {

namespace {

// Everything here is guarded by `gate`. The prepare handler locks it and the
// parent and child handlers unlock it, so no loop is admitted, and none ends,
// while the workers are being stopped and the process is copied.
struct pool_control {
    std::mutex gate;
    // Admitted loops that have not ended yet.
    std::size_t running = 0;
    // oneTBB may hold worker threads: a loop was admitted since the process
    // started or since the last fork that stopped the workers.
    bool live = false;
    // This process must not use oneTBB: it was forked while its parent's
    // workers were running, and inherited their bookkeeping without them.
    bool serial = false;
    // Set by the prepare handler: whether the child may start a fresh pool.
    bool child_may_use_pool = true;
    // A public reference to the scheduler, which is what oneTBB's finalize
    // needs in order to wait for the workers to exit.
    oneapi::tbb::task_scheduler_handle handle;
};

// Never destroyed: fork handlers stay registered, and loops may be admitted
// until the process ends.
pool_control& control() {
    static pool_control* const instance = new pool_control;
    return *instance;
}

// Stops the workers when that is possible without waiting for anyone. oneTBB
// refuses (finalize returns false) while another thread that has used the
// pool is still alive or inside a loop; we do not even ask while one of our
// loops is running. Either way the fork goes on at once.
void before_fork() noexcept {
    pool_control& c = control();
    c.gate.lock();
    c.child_may_use_pool = true;
    if (c.serial || !c.live) return;
    c.child_may_use_pool = false;
    if (c.running != 0) return;
    try {
        if (!c.handle) c.handle = oneapi::tbb::task_scheduler_handle(oneapi::tbb::attach{});
    } catch (...) {
        return;
    }
    // Empties the handle whatever the outcome; the next loop attaches again.
    if (oneapi::tbb::finalize(c.handle, std::nothrow)) {
        c.live = false;
        c.child_may_use_pool = true;
    }
}

void after_fork_in_parent() noexcept { control().gate.unlock(); }

void after_fork_in_child() noexcept {
    pool_control& c = control();
    // Only the forking thread exists here; loops that other threads were
    // running in the parent do not continue in the child.
    c.running = 0;
    // The inherited handle (if any) refers to a scheduler whose threads are
    // gone; it is left as it is and never released.
    if (!c.child_may_use_pool) c.serial = true;
    c.gate.unlock();
}

void register_fork_handlers() {
    static std::once_flag registered;
    std::call_once(registered, [] {
        // Registered outside the gate: a C library may run the prepare
        // handlers under the lock that pthread_atfork takes.
        if (pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child) != 0) {
            // Without handlers a forked child could not tell that its pool is
            // gone, so this process does without the pool.
            std::lock_guard lock(control().gate);
            control().serial = true;
        }
    });
}

}  // namespace

loop_admission::loop_admission() {
    register_fork_handlers();
    pool_control& c = control();
    std::lock_guard lock(c.gate);
    if (c.serial) {
        admitted_ = false;
        return;
    }
    if (!c.handle) c.handle = oneapi::tbb::task_scheduler_handle(oneapi::tbb::attach{});
    c.live = true;
    ++c.running;
    admitted_ = true;
}

loop_admission::~loop_admission() {
    if (!admitted_) return;
    pool_control& c = control();
    std::lock_guard lock(c.gate);
    --c.running;
}

}  // namespace vorn::baseline::pool::pool_detail
