// The three parallel loop shapes of the baseline driver, on the worker pool.
#include "baseline/pool.hpp"
#include "baseline/pool_fork.hpp"

#include <cstdint>
#include <exception>
#include <mutex>
#include <utility>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

#include "core/fault.hpp"

namespace vorn::baseline::pool {

std::size_t worker_count() noexcept {
    const int workers = oneapi::tbb::this_task_arena::max_concurrency();
    return workers > 0 ? static_cast<std::size_t>(workers) : 1;
}

}  // namespace vorn::baseline::pool

namespace vorn::baseline::pool::pool_detail {

namespace {

// The exception of the failing piece that starts lowest. Keeping the lowest
// rather than the first to arrive makes the reported fault independent of
// scheduling and of the number of workers.
class lowest_failure {
public:
    void record(std::size_t piece_begin, std::exception_ptr failure) noexcept {
        std::lock_guard lock(mutex_);
        if (piece_begin < begin_) {
            begin_ = piece_begin;
            failure_ = std::move(failure);
        }
    }

    // The pieces held their fault reports back: only the fault passed on
    // is reported, once, unless an enclosing loop is the one to pass it on.
    void rethrow_if_any() const {
        if (!failure_) return;
        try {
            std::rethrow_exception(failure_);
        } catch (const core::internal_fault& fault) {
            if (!core::report_holding::active()) fault.write_held_report();
            throw;
        }
    }

private:
    std::mutex mutex_;
    std::size_t begin_ = SIZE_MAX;
    std::exception_ptr failure_;
};

}  // namespace

void run_pieces(std::size_t count, std::size_t min_piece, piece_function piece, void* context) {
    if (count == 0) return;
    if (count <= min_piece) {
        piece(context, 0, count);
        return;
    }
    const loop_admission admission;
    if (!admission) {  // a forked child without a pool: one piece, here
        piece(context, 0, count);
        return;
    }
    lowest_failure failures;
    // An isolated group: a cancellation of whatever the caller runs inside
    // must not skip pieces, since skipped pieces leave output slots unwritten.
    oneapi::tbb::task_group_context group(oneapi::tbb::task_group_context::isolated);
    oneapi::tbb::parallel_for(
        oneapi::tbb::blocked_range<std::size_t>(0, count, 2 * min_piece - 1),
        [&](const oneapi::tbb::blocked_range<std::size_t>& range) {
            // Nothing may escape to oneTBB: it would cancel the other pieces.
            try {
                const core::report_holding holding;
                piece(context, range.begin(), range.end());
            } catch (...) {
                failures.record(range.begin(), std::current_exception());
            }
        },
        oneapi::tbb::auto_partitioner{}, group);
    failures.rethrow_if_any();
}

}  // namespace vorn::baseline::pool::pool_detail
