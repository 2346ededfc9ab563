// In-place selection of the value of a given rank, linear in the worst case.
#pragma once

#include <cstddef>
#include <span>
#include <utility>

namespace vorn::baseline {

// Quickselect with a median-of-three pivot is linear on typical windows but
// quadratic on adversarial orders (organ-pipe and median-of-three killer
// sequences occur in real signals with sawtooth or ramp segments). After
// `guarded_passes` partitioning passes we stop trusting the cheap pivot and
// take the median of the medians of groups of five instead: that pivot keeps
// at least 3/10 of the range on each side, so every later pass shrinks the
// range by a constant factor and the whole selection stays linear.
//
// The partition is three-way (less / equal / greater). Windows of a masked
// or quantised signal hold long runs of equal values; a two-way partition
// would peel them off one at a time and go quadratic, whereas here an equal
// run leaves the range in a single pass.
//
// Only `<` is used. The callers never pass NaN, so the order is total except
// that -0.0 and +0.0 are equal; either of two equal zeros may land on the
// rank.

namespace select_detail {

inline constexpr int guarded_passes = 16;

// Ranges this short are finished by insertion sort, which beats another
// partitioning pass at this size.
inline constexpr std::size_t small_range = 16;

template <class T>
void insertion_sort(T* first, T* last) noexcept {
    for (T* i = first + 1; i < last; ++i) {
        const T value = *i;
        T* j = i;
        while (j > first && value < *(j - 1)) {
            *j = *(j - 1);
            --j;
        }
        *j = value;
    }
}

template <class T>
T median_of_three(T a, T b, T c) noexcept {
    if (b < a) std::swap(a, b);
    if (c < b) {
        b = c;
        if (b < a) b = a;
    }
    return b;
}

struct equal_run {
    std::size_t begin;
    std::size_t end;
};

// Afterwards [lo, begin) < pivot, [begin, end) == pivot, [end, hi) > pivot.
// The pivot is a value taken from the range, so the equal run is never empty
// and every pass makes progress.
template <class T>
equal_run partition_three_way(T* values, std::size_t lo, std::size_t hi, T pivot) noexcept {
    std::size_t less_end = lo;
    std::size_t i = lo;
    std::size_t greater_begin = hi;
    while (i < greater_begin) {
        if (values[i] < pivot) {
            std::swap(values[less_end], values[i]);
            ++less_end;
            ++i;
        } else if (pivot < values[i]) {
            --greater_begin;
            std::swap(values[i], values[greater_begin]);
        } else {
            ++i;
        }
    }
    return {less_end, greater_begin};
}

template <class T>
T select_in(T* values, std::size_t lo, std::size_t hi, std::size_t k) noexcept;

// Moves the median of every full group of five to the front of the range and
// selects the median of those medians. A trailing partial group is left out;
// the 3/10 bound holds without it.
template <class T>
T median_of_medians(T* values, std::size_t lo, std::size_t hi) noexcept {
    const std::size_t groups = (hi - lo) / 5;
    for (std::size_t g = 0; g < groups; ++g) {
        T* group = values + lo + 5 * g;
        insertion_sort(group, group + 5);
        std::swap(values[lo + g], group[2]);
    }
    return select_in(values, lo, lo + groups, lo + groups / 2);
}

// Selects within [lo, hi), lo <= k < hi. Recursion happens only through
// median_of_medians, on a fifth of the range, so its depth is logarithmic.
template <class T>
T select_in(T* values, std::size_t lo, std::size_t hi, std::size_t k) noexcept {
    int passes = 0;
    while (hi - lo > small_range) {
        const T pivot = passes < guarded_passes
                            ? median_of_three(values[lo], values[lo + (hi - lo) / 2],
                                              values[hi - 1])
                            : median_of_medians(values, lo, hi);
        ++passes;
        const equal_run run = partition_three_way(values, lo, hi, pivot);
        if (k < run.begin) {
            hi = run.begin;
        } else if (k >= run.end) {
            lo = run.end;
        } else {
            return values[k];
        }
    }
    insertion_sort(values + lo, values + hi);
    return values[k];
}

}  // namespace select_detail

// Rearranges `values` so that index k holds the value it would hold if the
// span were sorted ascending, and returns that value. Requires k < size.
template <class T>
T select_rank(std::span<T> values, std::size_t k) noexcept {
    return select_detail::select_in(values.data(), 0, values.size(), k);
}

}  // namespace vorn::baseline
