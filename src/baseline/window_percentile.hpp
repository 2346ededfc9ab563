// The percentile of the usable samples in the window around one position.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <span>

#include "core/buffer.hpp"

namespace vorn::baseline {

// Rank of the requested percentile among `count` >= 1 sorted values: the
// fraction p / 100 of the distance from the first to the last, rounded half
// away from zero, clamped to [0, count - 1]. NaN and negative fractions give
// the smallest value, fractions beyond the 64-bit range the largest.
std::uint64_t percentile_rank(std::size_t count, double percentile) noexcept;

// The median (upper middle for an even count) of every usable sample of the
// signal, or 0 when none is usable. Stands in for an empty window.
template <class T>
T fallback_median(std::span<const T> signal, std::span<const std::uint8_t> mask);

// The fallback value of one call, computed at most once and only if some
// window turns out empty. Tasks that need it while another task computes it
// wait; once it is ready, reading it is a single acquire load. A fault raised
// by the computation (a short mask) is kept and rethrown to every later
// reader rather than recomputed, so it is reported once.
template <class T>
class fallback_cell {
public:
    fallback_cell() = default;
    fallback_cell(const fallback_cell&) = delete;
    fallback_cell& operator=(const fallback_cell&) = delete;

    T get(std::span<const T> signal, std::span<const std::uint8_t> mask) {
        if (state_.load(std::memory_order_acquire) == ready) return value_;
        return get_slow(signal, mask);
    }

private:
    enum state : int { empty, ready, failed };

    T get_slow(std::span<const T> signal, std::span<const std::uint8_t> mask);

    std::atomic<int> state_{empty};
    T value_{};
    std::exception_ptr failure_;
    std::mutex mutex_;
};

// The kernel value at position `position` (< signal.size()): the percentile
// of the usable samples in [position - half_window, position + half_window),
// cut to the signal, or the call's fallback when the window holds none.
// `scratch` is the calling task's buffer; it is overwritten and grows only if
// its reserved capacity is below the window length.
template <class T>
T window_percentile(std::span<const T> signal, std::span<const std::uint8_t> mask,
                    std::size_t position, std::uint64_t half_window, double percentile,
                    core::owned_buffer<T>& scratch, fallback_cell<T>& fallback);

extern template double fallback_median<double>(std::span<const double>,
                                               std::span<const std::uint8_t>);
extern template float fallback_median<float>(std::span<const float>,
                                             std::span<const std::uint8_t>);
extern template class fallback_cell<double>;
extern template class fallback_cell<float>;
extern template double window_percentile<double>(std::span<const double>,
                                                 std::span<const std::uint8_t>, std::size_t,
                                                 std::uint64_t, double,
                                                 core::owned_buffer<double>&,
                                                 fallback_cell<double>&);
extern template float window_percentile<float>(std::span<const float>,
                                               std::span<const std::uint8_t>, std::size_t,
                                               std::uint64_t, double,
                                               core::owned_buffer<float>&,
                                               fallback_cell<float>&);

}  // namespace vorn::baseline
