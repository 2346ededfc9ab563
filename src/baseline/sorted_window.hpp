// A short sliding window kept fully sorted, for windows of at most 32 samples.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "baseline/float_keys.hpp"
#include "baseline/window_percentile.hpp"

namespace vorn::baseline {

// Windows this short (2h <= 32, so W <= 33) take the sorted window on the
// direct path; longer ones the tracked window (tracked_window.hpp). Timed
// single-threaded on 2,000,000 samples (200,000 for W = 41): W = 3 took
// 20 ms against 35 ms with the tracked window, W = 41 with a shifting
// sorted window 6.3 ms against 4.5 ms.
inline constexpr std::size_t sorted_window_limit = 32;

// Anchor windows up to this length take the sorted window (walked through
// every position between anchors); longer ones the anchor ring, whose cost
// does not grow with the step: at W = 21 (step 5) the walk took 37 ms
// against 52 ms, at W = 33 (step 8) 52 ms against 37 ms.
inline constexpr std::size_t sorted_anchor_window_limit = 24;

// For a window of a few dozen samples the tracked window's bookkeeping
// (neighbour keys, vector passes, a selection to start) costs more than
// keeping every key in order: one sample leaves and one enters per
// position, in one branch-free pass over the keys, and the answer is then a
// plain load at its rank.
//
// Unusable positions (false mask, NaN) stay in the order as the largest key,
// which no usable sample has, so the window always holds exactly one key per
// position: entering and leaving never branch on usability, and the usable
// keys are the first (length - unusable) of the order. Keys are the element
// type's own width (32-bit for float32), which halves the shifting there.
//
// The order is bracketed by two sentinels, the smallest integer before it
// (no sample's key: -infinity's key is above it) and the largest after it,
// so the shifting loops need no bounds test. These are free functions over
// the caller's arrays rather than a class: the window's counters then live
// in the caller's registers, where stores into the key arrays (which may
// alias a size_t member) would otherwise force them back to memory at
// every shifted key.
template <class T>
struct sorted_keys {
    using key = typename float_key<T>::key;
    static constexpr key unusable = std::numeric_limits<key>::max();
    static constexpr key below_all = std::numeric_limits<key>::min();

    static key key_of(const T* signal, const std::uint8_t* mask, std::size_t i) noexcept {
        // The signal is read whatever the mask says; both are in range, and
        // choosing afterwards keeps the usability test out of the branches.
        const T x = signal[i];
        const key k = static_cast<key>(to_key(x));
        return mask_true(mask[i]) && usable_value(x) ? k : unusable;
    }

    // The first of `length` sorted slots holding `k`, which is among them.
    // Branch-free: which half holds it is as unpredictable as the noise.
    static std::size_t find(const key* sorted, std::size_t length, key k) noexcept {
        const key* base = sorted;
        while (length > 1) {
            const std::size_t half = length / 2;
            base += base[half] < k ? half : 0;
            length -= half;
        }
        return static_cast<std::size_t>(base - sorted) + (*base < k ? 1 : 0);
    }

    // Grows the order by `entering`; sorted[length] becomes the high sentinel.
    static void insert(key* sorted, std::size_t length, key entering) noexcept {
        std::size_t j = length;
        while (sorted[j - 1] > entering) {  // stops at the low sentinel
            sorted[j] = sorted[j - 1];
            --j;
        }
        sorted[j] = entering;
        sorted[length + 1] = unusable;
    }

    // Shrinks the order by one copy of `leaving`.
    static void remove(key* sorted, std::size_t length, key leaving) noexcept {
        for (std::size_t j = find(sorted, length, leaving); j + 1 < length; ++j)
            sorted[j] = sorted[j + 1];
        sorted[length - 1] = unusable;
    }

    // One key leaves and one enters, without a branch on the keys: for a
    // short window the mispredicted direction and end of a shift would cost
    // more than touching every slot. With the leaving key removed, r[j] = sorted[j] below it and
    // sorted[j + 1] from it on; then the entering key goes in as
    // new[j] = max(r[j - 1], min(r[j], entering)), r[-1] being below every
    // key and r[length - 1] the high sentinel. One ascending pass, each slot
    // written after its last read.
    static void replace(key* sorted, std::size_t length, key leaving,
                                    key entering) noexcept {
        key previous = below_all;
        for (std::size_t j = 0; j < length; ++j) {
            const key here = sorted[j];
            const key next = sorted[j + 1];
            const key removed = here < leaving ? here : next;
            const key low = removed < entering ? removed : entering;
            sorted[j] = previous > low ? previous : low;
            previous = removed;
        }
    }
};

// out[j] = the kernel value at position first + j * step, for every j <
// out.size(), by one sorted window moved one position at a time: the direct
// path's piece (step 1, Out = T) and an anchor piece of a short window
// (Out = double, widened exactly). Requires 1 <= h and min(2h, n) <= 32, and every
// position's window within the mask (the caller stops before the first
// short one).
template <class T, class Out>
void sorted_window_run(const window_inputs<T>& inputs, std::size_t first, std::size_t step,
                       std::span<Out> out);

// An anchor piece (anchor_run's contract) for windows of 2 to 32 samples:
// out[j] = the kernel value at anchor position (first_anchor + j) * step.
template <class T>
void sorted_anchor_run(const window_inputs<T>& inputs, std::uint64_t step,
                       std::size_t first_anchor, std::span<double> out);

// Whether a call's windows are short enough for the sorted window, at every
// position (limit sorted_window_limit) or at anchors (sorted_anchor_window_limit).
template <class T>
bool takes_sorted_window(const window_inputs<T>& inputs, std::size_t limit) noexcept {
    return inputs.half_window != 0 &&
           std::min<std::uint64_t>(2 * inputs.half_window, inputs.signal.size()) <= limit;
}

extern template void sorted_window_run<double, double>(const window_inputs<double>&,
                                                       std::size_t, std::size_t,
                                                       std::span<double>);
extern template void sorted_window_run<float, float>(const window_inputs<float>&, std::size_t,
                                                     std::size_t, std::span<float>);
extern template void sorted_window_run<float, double>(const window_inputs<float>&, std::size_t,
                                                      std::size_t, std::span<double>);
extern template void sorted_anchor_run<double>(const window_inputs<double>&, std::uint64_t,
                                               std::size_t, std::span<double>);
extern template void sorted_anchor_run<float>(const window_inputs<float>&, std::uint64_t,
                                              std::size_t, std::span<double>);

}  // namespace vorn::baseline
