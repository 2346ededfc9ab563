// Admission of parallel loops to oneTBB, and what the pool does around fork().
#pragma once

namespace vorn::baseline::pool::pool_detail {

// oneTBB does not survive fork(): the child inherits its bookkeeping but not
// its worker threads. Every parallel loop is therefore admitted through this
// guard. The first admission registers fork handlers; before a fork they stop
// the workers (oneTBB finalize), and parent and child start a fresh pool on
// their next loop. When the workers cannot be stopped — another thread that
// has used the pool is still alive, or a loop is running — the fork goes on
// at once; the parent keeps its pool, and the child never touches oneTBB
// again: its loops run serially on the calling thread (admission refused).
//
// Results do not depend on the number of workers, so a serial child computes
// the same values, only without the pool.
class loop_admission {
public:
    loop_admission();
    ~loop_admission();
    loop_admission(const loop_admission&) = delete;
    loop_admission& operator=(const loop_admission&) = delete;

    // False in a child forked while its pool could not be stopped.
    explicit operator bool() const noexcept { return admitted_; }

private:
    bool admitted_;
};

}  // namespace vorn::baseline::pool::pool_detail
