// What the window kernels share: window bounds, the percentile rank, the fallback median.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "core/buffer.hpp"
#include "core/fault.hpp"

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

// The fallback of one call, demanded by the windows that turn out empty.
// A kernel stores a NaN placeholder for such a window, which no kernel value
// can be (NaN samples never enter a window), and notes the demand; once the
// kernel loop is done the driver computes the median, if it was demanded,
// and puts it in place of the placeholders (fill_fallback). No task waits
// for another while the whole signal is scanned, and a call without an empty
// window never scans it.
template <class T>
class fallback_cell {
public:
    fallback_cell() = default;
    fallback_cell(const fallback_cell&) = delete;
    fallback_cell& operator=(const fallback_cell&) = delete;

    T placeholder() noexcept {
        // Tasks only ever set it; the end of the loop orders it before the driver's read.
        if (!demanded_.load(std::memory_order_relaxed))
            demanded_.store(true, std::memory_order_relaxed);
        return std::numeric_limits<T>::quiet_NaN();
    }

    bool demanded() const noexcept { return demanded_.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> demanded_{false};
};

// What every window of one call shares: the borrowed buffers, the half
// window h, the percentile and the call's fallback cell. The window of
// position a is [a - h, a + h) cut to [0, n), never shifted; the sample at
// a + h is outside, so an interior window holds 2h samples.
template <class T>
struct window_inputs {
    std::span<const T> signal;
    std::span<const std::uint8_t> mask;
    std::uint64_t half_window;
    double percentile;
    fallback_cell<T>& fallback;

    std::size_t window_lo(std::size_t position) const noexcept {
        return position >= half_window ? position - half_window : 0;
    }
    std::size_t window_hi(std::size_t position) const noexcept {
        return half_window >= signal.size() - position ? signal.size() : position + half_window;
    }

    // The first position whose window reaches past the end of the mask, or
    // signal.size() when the mask covers the signal. A window scan in
    // ascending order would stop there; checking up front lets the scans
    // read the mask unchecked.
    std::size_t first_short_position() const noexcept {
        const std::size_t n = signal.size();
        const std::size_t len = mask.size();
        if (len >= n) return n;
        // window_hi(a) > len  <=>  a + h > len, since len < n.
        return len >= half_window ? len - half_window + 1 : 0;
    }

    // The fault a window scan at `position` (at or past first_short_position)
    // raises: the mask length, and as index the first index at or past the
    // mask's end that the scan reaches.
    [[noreturn]] void fail_short_mask(std::size_t position) const {
        core::fail_index_out_of_bounds(mask.size(), std::max(window_lo(position), mask.size()));
    }

    // Stands in for the fallback median until the driver fills it in.
    T fallback_value() const noexcept { return fallback.placeholder(); }
};

// percentile_rank for a run of windows whose usable count changes rarely:
// rounding the rank is a libm call, so the last count's rank is kept.
class rank_cache {
public:
    explicit rank_cache(double percentile) noexcept : percentile_(percentile) {}

    std::size_t operator()(std::size_t count) noexcept {
        if (count != count_) {
            count_ = count;
            rank_ = static_cast<std::size_t>(percentile_rank(count, percentile_));
        }
        return rank_;
    }

private:
    double percentile_;
    std::size_t count_ = 0;  // never asked for: an empty window takes the fallback
    std::size_t rank_ = 0;
};

// percentile_rank for every count up to `longest`, made once: where the
// usable count changes at every position (every window cut by the signal's
// ends, as at W = 1001 on 1,000 samples) a call per position took an eighth
// of the run, and the table's loop, free of calls and divisions, a quarter
// of that.
class rank_table {
public:
    rank_table(double percentile, std::size_t longest) : ranks_(longest + 1) {
        ranks_.resize_for_overwrite(longest + 1);
        fill_percentile_ranks(percentile, ranks_.span());
    }

    std::size_t operator()(std::size_t count) const noexcept { return ranks_[count]; }

private:
    // out[c] = percentile_rank(c, percentile) for 1 <= c < out.size(); out[0]
    // is 0 (an empty window takes the fallback instead).
    static void fill_percentile_ranks(double percentile, std::span<std::size_t> out) noexcept;

    core::owned_buffer<std::size_t> ranks_;
};

extern template double fallback_median<double>(std::span<const double>,
                                               std::span<const std::uint8_t>);
extern template float fallback_median<float>(std::span<const float>,
                                             std::span<const std::uint8_t>);

}  // namespace vorn::baseline
