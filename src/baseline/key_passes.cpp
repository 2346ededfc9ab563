// Branch-free passes over sample keys: the portable variant and the choice of variant.
#include "baseline/key_passes.hpp"

#include <algorithm>
#include <limits>

#include "baseline/select.hpp"

namespace vorn::baseline {

namespace key_passes_detail {

// Every key is written at the current end of each output it could go to and
// only the end of the one it belongs to advances: the comparisons decide
// counts, never branches (as_count). Selection windows hold signal noise, on
// which a branch on the comparison is mispredicted about half the time.

namespace {

template <class Key>
bracket_tally filter_keys(std::span<const Key> keys, Key low, Key high, Key* kept_keys,
                          bracket_tally tally) noexcept {
    std::size_t below = tally.below;
    std::size_t kept = tally.kept;
    for (const Key key : keys) {
        below += as_count(key < low);
        kept_keys[kept] = key;
        kept += as_count((key >= low) & (key <= high));
    }
    return {below, kept};
}

template <class Key>
split_tally split_keys(std::span<const Key> keys, Key pivot, Key* less_keys,
                       Key* greater_keys) noexcept {
    std::size_t less = 0;
    std::size_t greater = 0;
    for (const Key key : keys) {
        less_keys[less] = key;
        greater_keys[greater] = key;
        less += as_count(key < pivot);
        greater += as_count(pivot < key);
    }
    return {less, greater};
}

// A sorted copy: off x86-64 at most four keys reach it.
template <class Key>
Key select_small_keys(const Key* keys, std::size_t length, std::size_t rank) noexcept {
    Key copy[small_select_limit];
    std::copy_n(keys, length, copy);
    select_detail::insertion_sort(copy, copy + length);
    return copy[rank];
}

}  // namespace

wide_key select_small_portable(const wide_key* keys, std::size_t length,
                               std::size_t rank) noexcept {
    return select_small_keys(keys, length, rank);
}

narrow_key select_small_portable(const narrow_key* keys, std::size_t length,
                                 std::size_t rank) noexcept {
    return select_small_keys(keys, length, rank);
}

key_bounds<wide_key> key_range_portable(std::span<const wide_key> keys) noexcept {
    return widened_bounds({keys[0], keys[0]}, keys.data(), keys.size());
}

key_bounds<narrow_key> key_range_portable(std::span<const narrow_key> keys) noexcept {
    return widened_bounds({keys[0], keys[0]}, keys.data(), keys.size());
}

bracket_tally filter_bracket_portable(std::span<const wide_key> keys, wide_key low,
                                      wide_key high, wide_key* kept_keys,
                                      bracket_tally tally) noexcept {
    return filter_keys(keys, low, high, kept_keys, tally);
}

bracket_tally filter_bracket_portable(std::span<const narrow_key> keys, narrow_key low,
                                      narrow_key high, narrow_key* kept_keys,
                                      bracket_tally tally) noexcept {
    return filter_keys(keys, low, high, kept_keys, tally);
}

split_tally split_around_portable(std::span<const wide_key> keys, wide_key pivot,
                                  wide_key* less_keys, wide_key* greater_keys) noexcept {
    return split_keys(keys, pivot, less_keys, greater_keys);
}

split_tally split_around_portable(std::span<const narrow_key> keys, narrow_key pivot,
                                  narrow_key* less_keys, narrow_key* greater_keys) noexcept {
    return split_keys(keys, pivot, less_keys, greater_keys);
}

neighbour next_above_portable(std::span<const wide_key> keys, wide_key key) noexcept {
    return nearest_portable<true>(keys, key);
}

neighbour next_below_portable(std::span<const wide_key> keys, wide_key key) noexcept {
    return nearest_portable<false>(keys, key);
}

namespace {

template <class T, class Key>
std::size_t append_one_at_a_time(const T* signal, const std::uint8_t* mask, std::size_t length,
                                 Key* out) noexcept {
    static constexpr T masked_out = std::numeric_limits<T>::quiet_NaN();
    std::size_t kept = 0;
    for (std::size_t i = 0; i < length; ++i) {
        // A false mask element reads a NaN instead of the signal.
        const T x = *(mask_true(mask[i]) ? signal + i : &masked_out);
        out[kept] = static_cast<Key>(to_key(x));  // narrowing a float32 key keeps it
        kept += as_count(usable_value(x));
    }
    return kept;
}

}  // namespace

std::size_t append_usable_portable(const double* signal, const std::uint8_t* mask,
                                   std::size_t length, wide_key* out) noexcept {
    return append_one_at_a_time(signal, mask, length, out);
}

std::size_t append_usable_portable(const float* signal, const std::uint8_t* mask,
                                   std::size_t length, wide_key* out) noexcept {
    return append_one_at_a_time(signal, mask, length, out);
}

std::size_t append_usable_portable(const float* signal, const std::uint8_t* mask,
                                   std::size_t length, narrow_key* out) noexcept {
    return append_one_at_a_time(signal, mask, length, out);
}

isa chosen_isa() noexcept {
    // __builtin_cpu_supports reports a vector extension only when the
    // operating system also saves its registers.
    static const isa chosen = [] {
#if defined(VORN_PORTABLE_KEY_PASSES) || !defined(__x86_64__)
        // The vector variants exist only for x86-64.
        return isa::portable;
#else
#if !defined(VORN_AVX2_KEY_PASSES)
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("popcnt"))
            return isa::avx512;
#endif
        if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt")) return isa::avx2;
        return isa::portable;
#endif
    }();
    return chosen;
}

}  // namespace key_passes_detail

using key_passes_detail::chosen_isa;
using key_passes_detail::isa;
namespace detail = key_passes_detail;

bracket_tally filter_bracket(std::span<const wide_key> keys, wide_key low, wide_key high,
                             wide_key* kept_keys, bracket_tally tally) noexcept {
    switch (chosen_isa()) {
#if defined(__x86_64__)
        case isa::avx512:
            return detail::filter_bracket_avx512(keys, low, high, kept_keys, tally);
        case isa::avx2:
            return detail::filter_bracket_avx2(keys, low, high, kept_keys, tally);
#endif
        default:
            return detail::filter_bracket_portable(keys, low, high, kept_keys, tally);
    }
}

key_bounds<wide_key> key_range(std::span<const wide_key> keys) noexcept {
    switch (chosen_isa()) {
#if defined(__x86_64__)
        case isa::avx512:
            return detail::key_range_avx512(keys);
        case isa::avx2:
            return detail::key_range_avx2(keys);
#endif
        default:
            return detail::key_range_portable(keys);
    }
}

key_bounds<narrow_key> key_range(std::span<const narrow_key> keys) noexcept {
#if defined(__x86_64__)
    if (chosen_isa() != isa::portable) return detail::key_range_avx2(keys);
#endif
    return detail::key_range_portable(keys);
}

bracket_tally filter_bracket(std::span<const narrow_key> keys, narrow_key low, narrow_key high,
                             narrow_key* kept_keys, bracket_tally tally) noexcept {
#if defined(__x86_64__)
    if (chosen_isa() == isa::avx512)
        return detail::filter_bracket_avx512(keys, low, high, kept_keys, tally);
    if (chosen_isa() != isa::portable)
        return detail::filter_bracket_avx2(keys, low, high, kept_keys, tally);
#endif
    return detail::filter_bracket_portable(keys, low, high, kept_keys, tally);
}

split_tally split_around(std::span<const narrow_key> keys, narrow_key pivot,
                         narrow_key* less_keys, narrow_key* greater_keys) noexcept {
#if defined(__x86_64__)
    if (chosen_isa() == isa::avx512)
        return detail::split_around_avx512(keys, pivot, less_keys, greater_keys);
    if (chosen_isa() != isa::portable)
        return detail::split_around_avx2(keys, pivot, less_keys, greater_keys);
#endif
    return detail::split_around_portable(keys, pivot, less_keys, greater_keys);
}

std::size_t append_usable(const float* signal, const std::uint8_t* mask, std::size_t length,
                          narrow_key* out) noexcept {
#if defined(__x86_64__)
    if (chosen_isa() != isa::portable) return detail::append_usable_avx2(signal, mask, length, out);
#endif
    return detail::append_usable_portable(signal, mask, length, out);
}

split_tally split_around(std::span<const wide_key> keys, wide_key pivot, wide_key* less_keys,
                         wide_key* greater_keys) noexcept {
    switch (chosen_isa()) {
#if defined(__x86_64__)
        case isa::avx512:
            return detail::split_around_avx512(keys, pivot, less_keys, greater_keys);
        case isa::avx2:
            return detail::split_around_avx2(keys, pivot, less_keys, greater_keys);
#endif
        default:
            return detail::split_around_portable(keys, pivot, less_keys, greater_keys);
    }
}

wide_key select_small(const wide_key* keys, std::size_t length, std::size_t rank) noexcept {
    switch (chosen_isa()) {
#if defined(__x86_64__)
        case isa::avx512:
            return detail::select_small_avx512(keys, length, rank);
        case isa::avx2:
            return detail::select_small_avx2(keys, length, rank);
#endif
        default:
            return detail::select_small_portable(keys, length, rank);
    }
}

narrow_key select_small(const narrow_key* keys, std::size_t length, std::size_t rank) noexcept {
#if defined(__x86_64__)
    if (chosen_isa() != isa::portable) return detail::select_small_avx2(keys, length, rank);
#endif
    return detail::select_small_portable(keys, length, rank);
}

bool sorts_few() noexcept {
#if defined(__x86_64__)
    return chosen_isa() == isa::avx512;
#else
    return false;
#endif
}

bool sort_few([[maybe_unused]] std::span<narrow_key> keys) noexcept {
#if defined(__x86_64__)
    if (keys.size() <= sort_few_limit && sorts_few()) {
        detail::sort_few_avx512(keys.data(), keys.size());
        return true;
    }
#endif
    return false;
}

neighbour next_above(std::span<const wide_key> keys, wide_key key) noexcept {
    switch (chosen_isa()) {
#if defined(__x86_64__)
        case isa::avx512:
            return detail::next_above_avx512(keys, key);
        case isa::avx2:
            return detail::next_above_avx2(keys, key);
#endif
        default:
            return detail::next_above_portable(keys, key);
    }
}

neighbour next_below(std::span<const wide_key> keys, wide_key key) noexcept {
    switch (chosen_isa()) {
#if defined(__x86_64__)
        case isa::avx512:
            return detail::next_below_avx512(keys, key);
        case isa::avx2:
            return detail::next_below_avx2(keys, key);
#endif
        default:
            return detail::next_below_portable(keys, key);
    }
}

template <class T>
std::size_t append_usable(const T* signal, const std::uint8_t* mask, std::size_t length,
                          wide_key* out) noexcept {
    switch (chosen_isa()) {
#if defined(__x86_64__)
        case isa::avx512:
            return detail::append_usable_avx512(signal, mask, length, out);
        case isa::avx2:
            return detail::append_usable_avx2(signal, mask, length, out);
#endif
        default:
            return detail::append_usable_portable(signal, mask, length, out);
    }
}

template std::size_t append_usable<double>(const double*, const std::uint8_t*, std::size_t,
                                           wide_key*) noexcept;
template std::size_t append_usable<float>(const float*, const std::uint8_t*, std::size_t,
                                          wide_key*) noexcept;

}  // namespace vorn::baseline
