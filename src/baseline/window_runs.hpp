// Kernel values over a run of positions: every position, or every anchor.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "baseline/window_percentile.hpp"

namespace vorn::baseline {

// out[j] = the kernel value at position begin + j: the percentile of the
// usable samples in that position's window, or the fallback when it holds
// none. One call is one piece of the direct path; it slides one window
// across its positions and tracks the requested rank (tracked_window.hpp).
template <class T>
void direct_run(const window_inputs<T>& inputs, std::size_t begin, std::span<T> out);

template <class T>
class median_tally;

// Anchors [next, limit) that one run takes in order, one at a time, and that
// another worker may cut short from the end to take the later part itself
// (see anchor_path): claim and cut change the range in one atomic step, so
// every anchor is taken exactly once. Anchor indices below 2^32.
class anchor_claims {
public:
    void assign(std::size_t next, std::size_t limit) noexcept {
        range_.store(packed(next, limit), std::memory_order_relaxed);
    }

    std::pair<std::size_t, std::size_t> bounds() const noexcept {
        const std::uint64_t range = range_.load(std::memory_order_relaxed);
        return {static_cast<std::size_t>(range >> 32), static_cast<std::size_t>(range & low_half)};
    }

    std::size_t remaining() const noexcept {
        const auto [next, limit] = bounds();
        return limit > next ? limit - next : 0;
    }

    // Takes anchor k, the range's next, unless the range was cut before it.
    bool claim(std::size_t k) noexcept {
        std::uint64_t range = range_.load(std::memory_order_relaxed);
        for (;;) {
            const auto limit = static_cast<std::size_t>(range & low_half);
            if (k >= limit) return false;
            if (range_.compare_exchange_weak(range, packed(k + 1, limit),
                                             std::memory_order_relaxed))
                return true;
        }
    }

    // Cuts the later half (rounded down) off a range of at least `least`
    // anchors and returns it, or an empty range.
    std::pair<std::size_t, std::size_t> cut(std::size_t least) noexcept {
        std::uint64_t range = range_.load(std::memory_order_relaxed);
        for (;;) {
            const auto next = static_cast<std::size_t>(range >> 32);
            const auto limit = static_cast<std::size_t>(range & low_half);
            if (limit < next + least) return {0, 0};
            const std::size_t middle = next + (limit - next + 1) / 2;
            if (range_.compare_exchange_weak(range, packed(next, middle),
                                             std::memory_order_relaxed))
                return {middle, limit};
        }
    }

private:
    static constexpr std::uint64_t low_half = 0xFFFFFFFF;
    static std::uint64_t packed(std::size_t next, std::size_t limit) noexcept {
        return static_cast<std::uint64_t>(next) << 32 | static_cast<std::uint64_t>(limit);
    }
    std::atomic<std::uint64_t> range_{0};
};

// out[j] = the kernel value at anchor position (first_anchor + j) * step,
// widened to float64. One call is one piece of the anchor loop; it reads
// each sample once into a ring shared by the overlapping anchor windows
// (anchor_window.hpp), and per anchor selects among the keys of a bracket
// around the rank: one held across anchors and filtered as keys enter, or,
// where it misses, the last answer's neighbourhood or a sample's.
//
// With a `tally`, the piece also hands it the keys of the positions it
// owns: from its first anchor's window start up to the next piece's (the
// last piece up to the signal's end), so that the pieces of one loop cover
// every position once.
//
// With `claims`, whose range starts at first_anchor and ends within out, an
// anchor is computed only once claimed, and the run stops at the first it
// cannot claim (the range was cut); there is no tally then.
template <class T>
void anchor_run(const window_inputs<T>& inputs, std::uint64_t step, std::size_t first_anchor,
                std::span<double> out, median_tally<T>* tally = nullptr,
                anchor_claims* claims = nullptr);

// Windows longer than this many samples take the rank-space run on the
// direct path (rank_window.hpp), shorter ones down to the sorted window's
// the tracked window. Sorting a stretch costs about 10 ns per sample and
// sliding over its ranks about 6 ns per position whatever the window and
// percentile, while the tracked window's passes grow with the window: in
// one process, n = 5,000, the rank space took 0.35-0.41 times the tracked
// window's time at W = 1001 and p = 50, 0.85 at p = 10, 0.62-0.73 at
// W = 401 and p = 50 but 1.3-1.4 at p = 10, and 1.2-2.0 at W = 101.
inline constexpr std::size_t rank_space_window_limit = 512;

template <class T>
bool takes_rank_space(const window_inputs<T>& inputs) noexcept {
    return std::min<std::uint64_t>(2 * inputs.half_window, inputs.signal.size()) >
           rank_space_window_limit;
}

// Both runs fail like an ascending window scan: values are produced up to
// the first position whose window reaches past the mask's end, and there the
// index fault is raised. With a zero half window every value is the
// fallback and no mask element is read.

extern template void direct_run<double>(const window_inputs<double>&, std::size_t,
                                        std::span<double>);
extern template void direct_run<float>(const window_inputs<float>&, std::size_t,
                                       std::span<float>);
extern template void anchor_run<double>(const window_inputs<double>&, std::uint64_t,
                                        std::size_t, std::span<double>, median_tally<double>*,
                                        anchor_claims*);
extern template void anchor_run<float>(const window_inputs<float>&, std::uint64_t, std::size_t,
                                       std::span<double>, median_tally<float>*, anchor_claims*);

}  // namespace vorn::baseline
