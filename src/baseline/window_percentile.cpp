// The percentile of the usable samples in the window around one position.
#include "baseline/window_percentile.hpp"

#include <algorithm>
#include <cmath>

#include "baseline/select.hpp"
#include "core/fault.hpp"

namespace vorn::baseline {

namespace {

// Only the lowest bit of a mask byte counts; NumPy stores booleans as 0 or 1
// but a view over other bytes may carry anything.
inline bool mask_true(std::uint8_t byte) noexcept { return (byte & 1u) != 0; }

// NaN is the one value that compares unequal to itself; infinities are usable.
template <class T>
inline bool usable_value(T x) noexcept {
    return x == x;
}

}  // namespace

std::uint64_t percentile_rank(std::size_t count, double percentile) noexcept {
    // The order is load-bearing for bit-exact ranks: divide first, convert
    // the count before subtracting one, then one multiply.
    const double fraction = percentile / 100.0;
    const double last_index = static_cast<double>(count) - 1.0;
    const double rounded = std::round(last_index * fraction);  // halves away from zero
    std::uint64_t rank;
    if (!(rounded > 0.0)) {
        rank = 0;  // NaN, negative, or zero
    } else if (rounded >= 18446744073709551616.0) {  // 2^64
        rank = UINT64_MAX;
    } else {
        rank = static_cast<std::uint64_t>(rounded);
    }
    return std::min<std::uint64_t>(rank, count - 1);
}

template <class T>
T fallback_median(std::span<const T> signal, std::span<const std::uint8_t> mask) {
    const std::size_t n = signal.size();
    // The scan would reach the mask's end at its own length before anything
    // else could go wrong; failing up front names the same index.
    if (mask.size() < n) core::fail_index_out_of_bounds(mask.size(), mask.size());

    // The count of usable samples is unknown until the scan ends, so the
    // buffer grows; capping growth at n keeps it within one signal's worth.
    core::owned_buffer<T> values;
    for (std::size_t i = 0; i < n; ++i) {
        if (!mask_true(mask[i])) continue;
        const T x = signal[i];
        if (!usable_value(x)) continue;
        if (values.size() == values.capacity())
            values.reserve(std::min(n, std::max<std::size_t>(values.capacity() * 2, 64)));
        values.push_back_unchecked(x);
    }
    if (values.empty()) return T(0);
    return select_rank(values.span(), values.size() / 2);
}

template <class T>
T fallback_cell<T>::get_slow(std::span<const T> signal, std::span<const std::uint8_t> mask) {
    // The task that takes the mutex first computes; the others block on the
    // mutex until it is done (being computed = held mutex, empty state).
    std::lock_guard lock(mutex_);
    switch (state_.load(std::memory_order_relaxed)) {
        case ready:
            return value_;
        case failed:
            std::rethrow_exception(failure_);
        default:
            break;
    }
    try {
        value_ = fallback_median(signal, mask);
    } catch (...) {
        failure_ = std::current_exception();
        state_.store(failed, std::memory_order_relaxed);
        throw;
    }
    state_.store(ready, std::memory_order_release);  // publishes value_ to lock-free readers
    return value_;
}

template <class T>
T window_percentile(std::span<const T> signal, std::span<const std::uint8_t> mask,
                    std::size_t position, std::uint64_t half_window, double percentile,
                    core::owned_buffer<T>& scratch, fallback_cell<T>& fallback) {
    const std::size_t n = signal.size();
    // The sample at position + half_window is outside: an interior window
    // holds half_window samples before the position, the position itself and
    // half_window - 1 after it. The window is cut at 0 and n, never shifted.
    const std::size_t lo = position >= half_window ? position - half_window : 0;
    const std::size_t hi = half_window >= n - position ? n : position + half_window;

    if (lo < hi) {
        // The ascending scan would stop at the first index at or past the
        // mask's end; checking once up front lets the loop read unchecked.
        if (hi > mask.size())
            core::fail_index_out_of_bounds(mask.size(), std::max(lo, mask.size()));
        scratch.clear();
        scratch.reserve(hi - lo);  // no-op: the driver reserved min(W, n)
        for (std::size_t i = lo; i < hi; ++i) {
            if (!mask_true(mask[i])) continue;  // the signal is not read for a false mask
            const T x = signal[i];
            if (usable_value(x)) scratch.push_back_unchecked(x);
        }
        if (!scratch.empty()) {
            const std::uint64_t rank = percentile_rank(scratch.size(), percentile);
            return select_rank(scratch.span(), static_cast<std::size_t>(rank));
        }
    }
    return fallback.get(signal, mask);
}

template double fallback_median<double>(std::span<const double>, std::span<const std::uint8_t>);
template float fallback_median<float>(std::span<const float>, std::span<const std::uint8_t>);
template class fallback_cell<double>;
template class fallback_cell<float>;
template double window_percentile<double>(std::span<const double>, std::span<const std::uint8_t>,
                                          std::size_t, std::uint64_t, double,
                                          core::owned_buffer<double>&, fallback_cell<double>&);
template float window_percentile<float>(std::span<const float>, std::span<const std::uint8_t>,
                                        std::size_t, std::uint64_t, double,
                                        core::owned_buffer<float>&, fallback_cell<float>&);

}  // namespace vorn::baseline
