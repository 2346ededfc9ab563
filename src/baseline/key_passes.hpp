// Branch-free passes over sample keys, vectorised for the processor at hand.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>

#include "baseline/float_keys.hpp"

namespace vorn::baseline {

// Every pass exists three times: portable C++ (any x86-64), AVX2 and
// AVX-512F. The variant is chosen once per process from what the processor
// and the operating system support; all three give identical results (they
// compare integers and count), only their speed differs.
//
// Output buffers of the passes need this many slots beyond the keys they
// receive: the vector variants store whole vectors and let the unkept lanes
// fall past the last kept key (sixteen narrow keys to an AVX-512 vector).
inline constexpr std::size_t key_pass_slack = 16;

// The vector appends read the signal and the mask this many positions ahead
// of the ones they take. An anchor's window takes a few hundred new
// positions (W / 4) and then selects for a microsecond or more, and the
// processor's own streams, which stop at every 4 KiB page, had not
// fetched the next anchor's positions by then. At W = 1,001 on 10^7 samples
// (two cores, least of 8 calls, builds alternated) a float64 random walk
// took 25.6-27.2 ms instead of 28.7-29.1, float64 white noise 17.6-17.9
// instead of 19.6-20.0, and the float32 walk and white noise about 0.5 ms
// less; 2,048 and 4,096 positions ahead were no better than 1,024, 512
// worse.
inline constexpr std::size_t read_ahead_positions = 1024;

// Asks for the cache lines of `positions` positions of the signal (and
// the line of the mask) read_ahead_positions past these. The addresses are
// formed as integers: past the signal's end they point nowhere, and a
// prefetch of them does nothing.
template <class T>
inline void read_ahead(const T* signal, const std::uint8_t* mask, std::size_t positions) noexcept {
    const auto past = [](const void* at, std::size_t bytes) {
        return reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(at) + bytes);
    };
    for (std::size_t byte = 0; byte < positions * sizeof(T); byte += 64)
        __builtin_prefetch(past(signal, read_ahead_positions * sizeof(T) + byte));
    __builtin_prefetch(past(mask, read_ahead_positions));
}

struct bracket_tally {
    std::size_t below;  // keys < low
    std::size_t kept;   // keys in [low, high], copied in order
};

// Appends the keys in [low, high] to kept_keys (starting at tally.kept) and
// adds the count of keys below `low` to tally.below.
bracket_tally filter_bracket(std::span<const wide_key> keys, wide_key low, wide_key high,
                             wide_key* kept_keys, bracket_tally tally) noexcept;

// The least and the greatest of one or more keys.
template <class Key>
struct key_bounds {
    Key least;
    Key greatest;
};

key_bounds<wide_key> key_range(std::span<const wide_key> keys) noexcept;

struct split_tally {
    std::size_t less;     // keys < pivot, copied in order to less_keys
    std::size_t greater;  // keys > pivot, copied in order to greater_keys
};

// Keys equal to the pivot are only implied (length - less - greater of them).
split_tally split_around(std::span<const wide_key> keys, wide_key pivot, wide_key* less_keys,
                         wide_key* greater_keys) noexcept;

// The key of rank `rank` among `length` keys (rank < length <=
// small_select_limit), left where they are: every key's count of smaller
// keys, taken side by side in vector registers without a branch, and the
// largest key whose count is at most the rank. It ends a selection where
// another split pass would cost as much as the whole count: a pass over a
// few keys is mostly its fixed cost and a branch on which side the rank
// fell, mispredicted half the time. Where there are no vector variants
// (off x86-64) selections split down to four keys and sort those.
#if defined(__x86_64__)
inline constexpr std::size_t small_select_limit = 16;
#else
inline constexpr std::size_t small_select_limit = 4;
#endif
wide_key select_small(const wide_key* keys, std::size_t length, std::size_t rank) noexcept;

struct neighbour {
    wide_key key;       // the nearest key on the asked side
    std::size_t count;  // how many keys equal it
};

// The smallest key above `key` and how often it occurs. Requires a usable
// key above `key`; the slots marked unusable (the largest key) count as
// above everything and are never the answer.
neighbour next_above(std::span<const wide_key> keys, wide_key key) noexcept;

// The largest key below `key` and how often it occurs. Requires one above
// the smallest 64-bit integer, which is no sample's key.
neighbour next_below(std::span<const wide_key> keys, wide_key key) noexcept;

// 1 for true and 0 for false, through an opaque copy: left alone, GCC turns
// the portable passes' arithmetic on comparison results back into branches,
// mispredicted about half the time on a window's noise.
inline std::size_t as_count(bool condition) noexcept {
    std::size_t bit = condition;
    asm("" : "+r"(bit));
    return bit;
}

// The portable body of next_above (above = true) and next_below, inline for
// callers whose key runs are too short to pay for a call. A running (best,
// count) pair: a candidate that beats the best restarts the count, one that
// ties adds to it. Keys on the wrong side become the identity of the running
// min (max), so they never win; they only count while nothing on the right
// side was seen, and the first real candidate resets that count.
template <bool above>
inline neighbour nearest_portable(std::span<const wide_key> keys, wide_key key) noexcept {
    constexpr wide_key none = above ? std::numeric_limits<wide_key>::max()
                                    : std::numeric_limits<wide_key>::min();
    wide_key best = none;
    std::size_t count = 0;
    for (const wide_key x : keys) {
        const bool on_side = above ? key < x : x < key;
        const wide_key candidate = on_side ? x : none;
        const wide_key better = above ? std::min(best, candidate) : std::max(best, candidate);
        count = (best == better ? count : 0) + as_count(candidate == better);
        best = better;
    }
    return {best, count};
}

// The same three passes over the 32-bit keys of float32 samples (narrow_key),
// which the anchor ring keeps: a vector holds twice as many of them, and the
// ring and the selection buffers move half the bytes. The filter and the
// split have AVX-512F variants, sixteen keys to a vector; the others are
// AVX2's on processors with AVX-512F as well (every such processor has
// AVX2): the append, in sixteen lanes, was no faster where windows are short.
using narrow_key = std::int32_t;

bracket_tally filter_bracket(std::span<const narrow_key> keys, narrow_key low, narrow_key high,
                             narrow_key* kept_keys, bracket_tally tally) noexcept;
key_bounds<narrow_key> key_range(std::span<const narrow_key> keys) noexcept;
split_tally split_around(std::span<const narrow_key> keys, narrow_key pivot,
                         narrow_key* less_keys, narrow_key* greater_keys) noexcept;
std::size_t append_usable(const float* signal, const std::uint8_t* mask, std::size_t length,
                          narrow_key* out) noexcept;
narrow_key select_small(const narrow_key* keys, std::size_t length, std::size_t rank) noexcept;

// Sorts up to sort_few_limit narrow keys in place, ascending, and returns
// true where the processor has a vector variant for it (AVX-512F, see
// sorts_few); elsewhere returns false and leaves the keys as they are.
// Sixty-four keys go through a sorting network held in four registers in
// less time than two selections among them take. Wide keys have none: eight
// registers of them took longer than the selections (the anchor selection
// sorts its sample of wide keys through narrow stand-ins instead).
inline constexpr std::size_t sort_few_limit = 64;
bool sorts_few() noexcept;
bool sort_few(std::span<narrow_key> keys) noexcept;
inline bool sort_few(std::span<wide_key>) noexcept { return false; }

// Appends the keys of the usable samples among positions [0, length) of
// `signal` / `mask` to `out` and returns how many there were. The signal is
// read only where the mask element is true. `out` needs room for length +
// key_pass_slack keys.
template <class T>
std::size_t append_usable(const T* signal, const std::uint8_t* mask, std::size_t length,
                          wide_key* out) noexcept;

namespace key_passes_detail {

// The variants behind the functions above, for tests that compare them.

enum class isa { portable, avx2, avx512 };

// The variant the functions above use: the widest the processor and the
// operating system support. A build with VORN_PORTABLE_KEY_PASSES defined
// stays portable, one with VORN_AVX2_KEY_PASSES defined uses at most AVX2
// (so that every variant can be tested on one machine).
isa chosen_isa() noexcept;

// `bounds` widened to take in `count` more keys (of every variant's
// key_range: its vector lanes, then the keys after the last whole vector).
template <class Key>
inline key_bounds<Key> widened_bounds(key_bounds<Key> bounds, const Key* keys,
                                      std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        bounds.least = std::min(bounds.least, keys[i]);
        bounds.greatest = std::max(bounds.greatest, keys[i]);
    }
    return bounds;
}

// The lowest bits of four mask bytes as a 4-bit lane mask, lane i from byte
// i: each byte's bit is multiplied into its own position among bits 24 to
// 27, and no two partial products meet, so nothing carries.
inline unsigned mask_bits4(const std::uint8_t* mask) noexcept {
    std::uint32_t bytes;
    std::memcpy(&bytes, mask, sizeof bytes);
    return ((bytes & 0x01010101u) * 0x01020408u) >> 24;
}

bracket_tally filter_bracket_portable(std::span<const wide_key>, wide_key, wide_key, wide_key*,
                                      bracket_tally) noexcept;
key_bounds<wide_key> key_range_portable(std::span<const wide_key>) noexcept;
key_bounds<narrow_key> key_range_portable(std::span<const narrow_key>) noexcept;
split_tally split_around_portable(std::span<const wide_key>, wide_key, wide_key*,
                                  wide_key*) noexcept;
wide_key select_small_portable(const wide_key*, std::size_t, std::size_t) noexcept;
narrow_key select_small_portable(const narrow_key*, std::size_t, std::size_t) noexcept;
neighbour next_above_portable(std::span<const wide_key>, wide_key) noexcept;
neighbour next_below_portable(std::span<const wide_key>, wide_key) noexcept;
std::size_t append_usable_portable(const double*, const std::uint8_t*, std::size_t,
                                   wide_key*) noexcept;
std::size_t append_usable_portable(const float*, const std::uint8_t*, std::size_t,
                                   wide_key*) noexcept;

bracket_tally filter_bracket_portable(std::span<const narrow_key>, narrow_key, narrow_key,
                                      narrow_key*, bracket_tally) noexcept;
split_tally split_around_portable(std::span<const narrow_key>, narrow_key, narrow_key*,
                                  narrow_key*) noexcept;
std::size_t append_usable_portable(const float*, const std::uint8_t*, std::size_t,
                                   narrow_key*) noexcept;

#if defined(__x86_64__)
key_bounds<narrow_key> key_range_avx2(std::span<const narrow_key>) noexcept;
key_bounds<wide_key> key_range_avx2(std::span<const wide_key>) noexcept;
key_bounds<wide_key> key_range_avx512(std::span<const wide_key>) noexcept;
bracket_tally filter_bracket_avx2(std::span<const narrow_key>, narrow_key, narrow_key,
                                  narrow_key*, bracket_tally) noexcept;
split_tally split_around_avx2(std::span<const narrow_key>, narrow_key, narrow_key*,
                              narrow_key*) noexcept;
std::size_t append_usable_avx2(const float*, const std::uint8_t*, std::size_t,
                               narrow_key*) noexcept;
narrow_key select_small_avx2(const narrow_key*, std::size_t, std::size_t) noexcept;
wide_key select_small_avx2(const wide_key*, std::size_t, std::size_t) noexcept;

bracket_tally filter_bracket_avx2(std::span<const wide_key>, wide_key, wide_key, wide_key*,
                                  bracket_tally) noexcept;
split_tally split_around_avx2(std::span<const wide_key>, wide_key, wide_key*,
                              wide_key*) noexcept;
neighbour next_above_avx2(std::span<const wide_key>, wide_key) noexcept;
neighbour next_below_avx2(std::span<const wide_key>, wide_key) noexcept;
std::size_t append_usable_avx2(const double*, const std::uint8_t*, std::size_t,
                               wide_key*) noexcept;
std::size_t append_usable_avx2(const float*, const std::uint8_t*, std::size_t,
                               wide_key*) noexcept;

bracket_tally filter_bracket_avx512(std::span<const narrow_key>, narrow_key, narrow_key,
                                    narrow_key*, bracket_tally) noexcept;
split_tally split_around_avx512(std::span<const narrow_key>, narrow_key, narrow_key*,
                                narrow_key*) noexcept;
bracket_tally filter_bracket_avx512(std::span<const wide_key>, wide_key, wide_key, wide_key*,
                                    bracket_tally) noexcept;
split_tally split_around_avx512(std::span<const wide_key>, wide_key, wide_key*,
                                wide_key*) noexcept;
wide_key select_small_avx512(const wide_key*, std::size_t, std::size_t) noexcept;
void sort_few_avx512(narrow_key*, std::size_t) noexcept;
neighbour next_above_avx512(std::span<const wide_key>, wide_key) noexcept;
neighbour next_below_avx512(std::span<const wide_key>, wide_key) noexcept;
std::size_t append_usable_avx512(const double*, const std::uint8_t*, std::size_t,
                                 wide_key*) noexcept;
std::size_t append_usable_avx512(const float*, const std::uint8_t*, std::size_t,
                                 wide_key*) noexcept;
#endif

}  // namespace key_passes_detail

}  // namespace vorn::baseline
