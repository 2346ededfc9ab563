// The AVX-512F variants of the key passes (see key_passes.hpp).
// Built for x86-64 only; elsewhere this unit is empty.
#if defined(__x86_64__)
#include <immintrin.h>

#include <algorithm>
#include <limits>
#include <utility>

#include "baseline/key_passes.hpp"

namespace vorn::baseline::key_passes_detail {

namespace {

#define VORN_AVX512 __attribute__((target("avx512f,popcnt")))

// Compression goes through a register and a full-width store rather than a
// compressing store, which is microcoded and slow on the processors that
// have it; the store lets the unkept lanes fall past the last kept key.
//
// Where an intrinsic has a masked form, the masked one is used with a full
// mask: GCC 12's unmasked forms of min, max, shifts, extracts and
// conversions start from an undefined vector and trip its own
// uninitialised-variable warning.

VORN_AVX512 inline __m512i vector_at(const wide_key* keys) {
    return _mm512_loadu_si512(keys);
}

VORN_AVX512 inline void store_kept(wide_key* at, __mmask8 keep, __m512i keys) {
    _mm512_storeu_si512(at, _mm512_maskz_compress_epi64(keep, keys));
}

VORN_AVX512 inline std::size_t count_of(unsigned lanes) {
    return static_cast<std::size_t>(_mm_popcnt_u32(lanes));
}

// Keeps, lane by lane, the nearest key on the asked side of `key`.
template <bool above>
VORN_AVX512 inline void take(__m512i& best, __m512i x, __m512i key) {
    if constexpr (above) {
        best = _mm512_mask_min_epi64(best, _mm512_cmpgt_epi64_mask(x, key), best, x);
    } else {
        best = _mm512_mask_max_epi64(best, _mm512_cmplt_epi64_mask(x, key), best, x);
    }
}

// Lane by lane, the nearer of two candidates on the asked side.
template <bool above>
VORN_AVX512 inline __m512i nearer(__m512i a, __m512i b) {
    return above ? _mm512_mask_min_epi64(a, 0xFF, a, b) : _mm512_mask_max_epi64(a, 0xFF, a, b);
}

// The nearest key on one side in two passes: the masked minimum (maximum)
// of the keys on that side, four running vectors wide so that four chains
// of dependent min operations overlap; then the count of that key. A ring
// of a hundred keys is a dozen vectors, so the fixed costs weigh: the last
// partial vector is a masked load (its empty lanes hold the side's identity,
// which never wins and is never counted) rather than a scalar loop, and the
// four chains stay in registers. At n = 1,000, W = 101 the whole call took
// 10.5-10.6 instead of 11.5-11.6 us at p = 10 and 14.2-14.3 instead of
// 16.3-16.5 at p = 50.
template <bool above>
VORN_AVX512 neighbour next_avx512(std::span<const wide_key> keys, wide_key key) noexcept {
    constexpr wide_key none = above ? std::numeric_limits<wide_key>::max()
                                    : std::numeric_limits<wide_key>::min();
    const __m512i key_v = _mm512_set1_epi64(key);
    const __m512i nones = _mm512_set1_epi64(none);
    __m512i best0 = nones, best1 = nones, best2 = nones, best3 = nones;
    const wide_key* data = keys.data();
    const std::size_t length = keys.size();
    const std::size_t vectors_end = length / 8 * 8;
    const auto tail_lanes = static_cast<__mmask8>((1u << (length - vectors_end)) - 1);
    std::size_t i = 0;
    for (; i + 32 <= vectors_end; i += 32) {
        take<above>(best0, vector_at(data + i), key_v);
        take<above>(best1, vector_at(data + i + 8), key_v);
        take<above>(best2, vector_at(data + i + 16), key_v);
        take<above>(best3, vector_at(data + i + 24), key_v);
    }
    // Up to three whole vectors and the partial one, each on its own chain.
    if (i + 8 <= vectors_end) take<above>(best0, vector_at(data + i), key_v), i += 8;
    if (i + 8 <= vectors_end) take<above>(best1, vector_at(data + i), key_v), i += 8;
    if (i + 8 <= vectors_end) take<above>(best2, vector_at(data + i), key_v);
    take<above>(best3, _mm512_mask_loadu_epi64(nones, tail_lanes, data + vectors_end), key_v);
    // Across the lanes, in registers: every lane ends up holding the nearest
    // key, so the count below compares with it as it is.
    __m512i v = nearer<above>(nearer<above>(best0, best1), nearer<above>(best2, best3));
    v = nearer<above>(v, _mm512_mask_shuffle_i64x2(v, 0xFF, v, v, 0x4E));         // halves
    v = nearer<above>(v, _mm512_mask_shuffle_i64x2(v, 0xFF, v, v, 0xB1));         // quarters
    v = nearer<above>(v, _mm512_mask_shuffle_epi32(v, 0xFFFF, v, _MM_PERM_BADC));  // pairs
    const __m512i found_v = v;
    const wide_key found =
        _mm_cvtsi128_si64(_mm512_mask_extracti32x4_epi32(_mm_setzero_si128(), 0xF, v, 0));
    std::size_t count = count_of(_mm512_mask_cmpeq_epi64_mask(
        tail_lanes, _mm512_maskz_loadu_epi64(tail_lanes, data + vectors_end), found_v));
    for (std::size_t j = 0; j < vectors_end; j += 8)
        count += count_of(_mm512_cmpeq_epi64_mask(vector_at(data + j), found_v));
    return {found, count};
}

// Eight samples as keys, with the lanes that are usable; masked loads leave
// the signal unread under a false mask element.
VORN_AVX512 inline __m512i eight_keys(const double* signal, __mmask8 lanes, __mmask8& usable) {
    const __m512d x = _mm512_maskz_loadu_pd(lanes, signal);
    usable = _mm512_cmp_pd_mask(x, x, _CMP_ORD_Q) & lanes;
    const __m512i raw = _mm512_castpd_si512(x);
    const __mmask8 negative = _mm512_cmplt_epi64_mask(raw, _mm512_setzero_si512());
    const __m512i low_bits = _mm512_set1_epi64(std::numeric_limits<std::int64_t>::max());
    return _mm512_mask_xor_epi64(raw, negative, raw, low_bits);
}

VORN_AVX512 inline __m512i eight_keys(const float* signal, __mmask8 lanes, __mmask8& usable) {
    const __m512 x = _mm512_maskz_loadu_ps(lanes, signal);  // lanes 8 to 15 stay unread
    usable = static_cast<__mmask8>(_mm512_cmp_ps_mask(x, x, _CMP_ORD_Q) & lanes);
    const __m512i raw = _mm512_castps_si512(x);
    const __m512i low_bits = _mm512_set1_epi32(std::numeric_limits<std::int32_t>::max());
    const __m512i flip = _mm512_and_si512(_mm512_maskz_srai_epi32(0xFFFF, raw, 31), low_bits);
    const __m256i keys = _mm512_maskz_extracti64x4_epi64(0xF, _mm512_xor_si512(raw, flip), 0);
    return _mm512_maskz_cvtepi32_epi64(0xFF, keys);  // sign extension keeps the order
}

// Bit k set where mask byte k's lowest bit is, for 32 bytes.
VORN_AVX512 inline unsigned usable_bits32(const std::uint8_t* mask) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(mask));
    return static_cast<unsigned>(_mm256_movemask_epi8(_mm256_slli_epi16(bytes, 7)));
}

template <class T>
VORN_AVX512 std::size_t append_eight_at_a_time(const T* signal, const std::uint8_t* mask,
                                               std::size_t length, wide_key* out) noexcept {
    std::size_t kept = 0;
    std::size_t i = 0;
    // The mask's bits of 32 positions from one load: a masked stretch
    // (an artefact gap) is passed 32 positions a step. A random walk half
    // masked in blocks of 50,000 (10^7 samples, W = 1,000,001, two cores)
    // took 16.4-16.7 ms instead of 17.6-20.7.
    for (; i + 32 <= length; i += 32) {
        const unsigned bits = usable_bits32(mask + i);
        if (bits == 0) continue;
        read_ahead(signal + i, mask + i, 32);
        for (std::size_t group = 0; group < 4; ++group) {
            const auto lanes = static_cast<__mmask8>(bits >> (8 * group));
            if (lanes == 0) continue;  // no load at all (see the AVX2 variant)
            __mmask8 usable;
            const __m512i keys = eight_keys(signal + i + 8 * group, lanes, usable);
            store_kept(out + kept, usable, keys);
            kept += count_of(usable);
        }
    }
    for (; i + 8 <= length; i += 8) {
        const auto lanes =
            static_cast<__mmask8>(mask_bits4(mask + i) | mask_bits4(mask + i + 4) << 4);
        if (lanes == 0) continue;  // no load at all (see the AVX2 variant)
        __mmask8 usable;
        const __m512i keys = eight_keys(signal + i, lanes, usable);
        store_kept(out + kept, usable, keys);
        kept += count_of(usable);
    }
    return kept + append_usable_portable(signal + i, mask + i, length - i, out + kept);
}

}  // namespace

VORN_AVX512 key_bounds<wide_key> key_range_avx512(std::span<const wide_key> keys) noexcept {
    const wide_key* data = keys.data();
    const std::size_t length = keys.size();
    const key_bounds<wide_key> bounds{data[0], data[0]};
    if (length < 8) return widened_bounds(bounds, data, length);
    __m512i least = vector_at(data);
    __m512i greatest = least;
    std::size_t i = 8;
    for (; i + 8 <= length; i += 8) {
        const __m512i v = vector_at(data + i);
        least = _mm512_mask_min_epi64(least, 0xFF, least, v);
        greatest = _mm512_mask_max_epi64(greatest, 0xFF, greatest, v);
    }
    alignas(64) wide_key ends[16];
    _mm512_store_si512(ends, least);
    _mm512_store_si512(ends + 8, greatest);
    return widened_bounds(widened_bounds(bounds, ends, 16), data + i, length - i);
}

namespace {

// The vector operations of one key width, so that one body of each pass
// below serves both: eight wide keys or sixteen narrow ones to a vector.
// load_first(keys, lanes) loads the keys of the first lanes and leaves the
// rest of memory unread.
struct wide_lanes {
    using key = wide_key;
    using mask = __mmask8;
    static constexpr std::size_t width = 8;
    static constexpr mask all = 0xFF;
    VORN_AVX512 static __m512i load(const key* keys) { return _mm512_loadu_si512(keys); }
    VORN_AVX512 static __m512i load_first(const key* keys, mask lanes) {
        return _mm512_maskz_loadu_epi64(lanes, keys);
    }
    VORN_AVX512 static __m512i broadcast(key k) { return _mm512_set1_epi64(k); }
    VORN_AVX512 static mask less(mask lanes, __m512i a, __m512i b) {
        return _mm512_mask_cmplt_epi64_mask(lanes, a, b);
    }
    VORN_AVX512 static mask greater(mask lanes, __m512i a, __m512i b) {
        return _mm512_mask_cmpgt_epi64_mask(lanes, a, b);
    }
    VORN_AVX512 static void store_kept(key* at, mask keep, __m512i keys) {
        _mm512_storeu_si512(at, _mm512_maskz_compress_epi64(keep, keys));
    }
};

// Against the AVX2 variant's eight narrow keys to a vector (n = 10^7,
// W = 1,001, two cores, least of 10 calls, builds alternated), a float32
// random walk took 20.9-21.3 ms instead of 23.4, the walk half masked in
// blocks 17.0-17.1 instead of 18.5-19.0, white noise 14.6-15.0 instead of
// 15.6-15.8 and a slow sine 15.5 instead of 16.2-16.4. Whole vectors are
// stored (the slack is sixteen slots): stores masked to the kept keys,
// within a slack of eight, were 0.4-0.6 ms slower on the walk.
struct narrow_lanes {
    using key = narrow_key;
    using mask = __mmask16;
    static constexpr std::size_t width = 16;
    static constexpr mask all = 0xFFFF;
    VORN_AVX512 static __m512i load(const key* keys) { return _mm512_loadu_si512(keys); }
    VORN_AVX512 static __m512i load_first(const key* keys, mask lanes) {
        return _mm512_maskz_loadu_epi32(lanes, keys);
    }
    VORN_AVX512 static __m512i broadcast(key k) { return _mm512_set1_epi32(k); }
    VORN_AVX512 static mask less(mask lanes, __m512i a, __m512i b) {
        return _mm512_mask_cmplt_epi32_mask(lanes, a, b);
    }
    VORN_AVX512 static mask greater(mask lanes, __m512i a, __m512i b) {
        return _mm512_mask_cmpgt_epi32_mask(lanes, a, b);
    }
    VORN_AVX512 static void store_kept(key* at, mask keep, __m512i keys) {
        _mm512_storeu_si512(at, _mm512_maskz_compress_epi32(keep, keys));
    }
    VORN_AVX512 static __m512i load_padded(const key* keys, mask lanes, __m512i padding) {
        return _mm512_mask_loadu_epi32(padding, lanes, keys);
    }
    VORN_AVX512 static void store_first(key* keys, mask lanes, __m512i v) {
        _mm512_mask_storeu_epi32(keys, lanes, v);
    }
    VORN_AVX512 static __m512i min(__m512i a, __m512i b) {
        return _mm512_mask_min_epi32(a, all, a, b);
    }
    VORN_AVX512 static __m512i max(__m512i a, __m512i b) {
        return _mm512_mask_max_epi32(a, all, a, b);
    }
    VORN_AVX512 static __m512i blend(mask from_b, __m512i a, __m512i b) {
        return _mm512_mask_blend_epi32(from_b, a, b);
    }
    // Lane i gets lane i ^ distance (distance < width).
    template <unsigned distance>
    VORN_AVX512 static __m512i swapped(__m512i v) {
        if constexpr (distance == 8) return _mm512_mask_shuffle_i32x4(v, all, v, v, 0x4E);
        if constexpr (distance == 4) return _mm512_mask_shuffle_i32x4(v, all, v, v, 0xB1);
        if constexpr (distance == 2) return _mm512_mask_shuffle_epi32(v, all, v, _MM_PERM_BADC);
        if constexpr (distance == 1) return _mm512_mask_shuffle_epi32(v, all, v, _MM_PERM_CDAB);
    }
};

template <class Lanes, class Key = typename Lanes::key>
VORN_AVX512 bracket_tally filter_lanes(std::span<const Key> keys, Key low, Key high,
                                       Key* kept_keys, bracket_tally tally) noexcept {
    using mask = typename Lanes::mask;
    const __m512i lows = Lanes::broadcast(low);
    const __m512i highs = Lanes::broadcast(high);
    const Key* data = keys.data();
    const std::size_t length = keys.size();
    std::size_t below = tally.below;
    std::size_t kept = tally.kept;
    std::size_t i = 0;
    const auto take = [&](__m512i v, mask lanes) VORN_AVX512 {
        const mask is_below = Lanes::less(lanes, v, lows);
        const mask is_above = Lanes::greater(lanes, v, highs);
        const auto keep = static_cast<mask>(lanes & ~(is_below | is_above));
        Lanes::store_kept(kept_keys + kept, keep, v);
        below += count_of(is_below);
        kept += count_of(keep);
    };
    for (; i + Lanes::width <= length; i += Lanes::width) take(Lanes::load(data + i), Lanes::all);
    // The last keys as one masked vector (see the AVX2 variant).
    if (i < length) {
        const auto lanes = static_cast<mask>((1u << (length - i)) - 1);
        take(Lanes::load_first(data + i, lanes), lanes);
    }
    return {below, kept};
}

template <class Lanes, class Key = typename Lanes::key>
VORN_AVX512 split_tally split_lanes(std::span<const Key> keys, Key pivot, Key* less_keys,
                                    Key* greater_keys) noexcept {
    using mask = typename Lanes::mask;
    const __m512i pivots = Lanes::broadcast(pivot);
    const Key* data = keys.data();
    const std::size_t length = keys.size();
    std::size_t less = 0;
    std::size_t greater = 0;
    std::size_t i = 0;
    const auto take = [&](__m512i v, mask lanes) VORN_AVX512 {
        const mask is_less = Lanes::less(lanes, v, pivots);
        const mask is_greater = Lanes::greater(lanes, v, pivots);
        Lanes::store_kept(less_keys + less, is_less, v);
        Lanes::store_kept(greater_keys + greater, is_greater, v);
        less += count_of(is_less);
        greater += count_of(is_greater);
    };
    for (; i + Lanes::width <= length; i += Lanes::width) take(Lanes::load(data + i), Lanes::all);
    if (i < length) {
        const auto lanes = static_cast<mask>((1u << (length - i)) - 1);
        take(Lanes::load_first(data + i, lanes), lanes);
    }
    return {less, greater};
}

// A bitonic sorting network over sort_few_limit keys held in vector
// registers (four of narrow keys): for block sizes k = 2, 4, ..., 64 and
// distances j = k / 2, ..., 1, the keys at g and g ^ j are put in order,
// ascending where g & k is 0 and descending where it is not; the last block
// is the whole, ascending. Distances within a register pair each lane with a
// permuted copy; wider ones pair whole registers. Every mask and permutation
// is a constant of the unrolled network, which runs without a branch. Lanes
// past the keys hold the largest key, which sorts last and is not stored.
template <class Lanes>
struct few_sorter {
    static constexpr unsigned width = Lanes::width;
    static constexpr unsigned registers = sort_few_limit / width;
    using mask = typename Lanes::mask;
    using vectors = __m512i[registers];

    // The lanes of register r that take the greater key of their pair.
    static constexpr mask greater_lanes(unsigned r, unsigned j, unsigned k) {
        unsigned lanes = 0;
        for (unsigned i = 0; i < width; ++i) {
            const unsigned g = r * width + i;
            if (((g & j) != 0) != ((g & k) != 0)) lanes |= 1u << i;
        }
        return static_cast<mask>(lanes);
    }

    // Lanes i and i ^ j of one register put in order.
    template <mask greater, unsigned j>
    VORN_AVX512 static __m512i exchanged(__m512i v) {
        const __m512i partner = Lanes::template swapped<j>(v);
        return Lanes::blend(greater, Lanes::min(v, partner), Lanes::max(v, partner));
    }

    // Registers r and r + j / width put in order, lane by lane.
    template <unsigned k, unsigned j, unsigned r>
    VORN_AVX512 static void exchange_registers(vectors& v) {
        constexpr unsigned apart = j / width;
        if constexpr ((r & apart) == 0) {
            const __m512i low = Lanes::min(v[r], v[r + apart]);
            const __m512i high = Lanes::max(v[r], v[r + apart]);
            constexpr bool ascending = ((r * width) & k) == 0;
            v[r] = ascending ? low : high;
            v[r + apart] = ascending ? high : low;
        }
    }

    template <unsigned k, unsigned j, unsigned... r>
    VORN_AVX512 static void stage(vectors& v, std::integer_sequence<unsigned, r...> each) {
        if constexpr (j >= width) {
            (exchange_registers<k, j, r>(v), ...);
        } else {
            ((v[r] = exchanged<greater_lanes(r, j, k), j>(v[r])), ...);
        }
        if constexpr (j > 1) stage<k, j / 2>(v, each);
    }

    template <unsigned k>
    VORN_AVX512 static void merge(vectors& v) {
        stage<k, k / 2>(v, std::make_integer_sequence<unsigned, registers>());
        if constexpr (k < sort_few_limit) merge<2 * k>(v);
    }

    VORN_AVX512 static void sort(typename Lanes::key* keys, std::size_t length) {
        const __m512i largest = Lanes::broadcast(std::numeric_limits<typename Lanes::key>::max());
        vectors v;
        mask lanes[registers];
#pragma GCC unroll 8
        for (unsigned r = 0; r < registers; ++r) {
            const std::size_t from = r * width;
            const std::size_t here = length > from ? std::min<std::size_t>(length - from, width) : 0;
            lanes[r] = static_cast<mask>((1ull << here) - 1);
            v[r] = Lanes::load_padded(keys + from, lanes[r], largest);
        }
        merge<2>(v);
#pragma GCC unroll 8
        for (unsigned r = 0; r < registers; ++r) Lanes::store_first(keys + r * width, lanes[r], v[r]);
    }
};

}  // namespace

void sort_few_avx512(narrow_key* keys, std::size_t length) noexcept {
    few_sorter<narrow_lanes>::sort(keys, length);
}

bracket_tally filter_bracket_avx512(std::span<const wide_key> keys, wide_key low,
                                    wide_key high, wide_key* kept_keys,
                                    bracket_tally tally) noexcept {
    return filter_lanes<wide_lanes>(keys, low, high, kept_keys, tally);
}

bracket_tally filter_bracket_avx512(std::span<const narrow_key> keys, narrow_key low,
                                    narrow_key high, narrow_key* kept_keys,
                                    bracket_tally tally) noexcept {
    return filter_lanes<narrow_lanes>(keys, low, high, kept_keys, tally);
}

split_tally split_around_avx512(std::span<const wide_key> keys, wide_key pivot,
                                wide_key* less_keys, wide_key* greater_keys) noexcept {
    return split_lanes<wide_lanes>(keys, pivot, less_keys, greater_keys);
}

split_tally split_around_avx512(std::span<const narrow_key> keys, narrow_key pivot,
                                narrow_key* less_keys, narrow_key* greater_keys) noexcept {
    return split_lanes<narrow_lanes>(keys, pivot, less_keys, greater_keys);
}

// select_small as the AVX2 variant does it, in two vectors of eight; the
// lanes past `length` are left out by the load's mask.
VORN_AVX512 wide_key select_small_avx512(const wide_key* keys, std::size_t length,
                                         std::size_t rank) noexcept {
    const auto first_lanes = static_cast<__mmask8>(length >= 8 ? 0xFF : (1u << length) - 1);
    const auto second_lanes = static_cast<__mmask8>(length > 8 ? (1u << (length - 8)) - 1 : 0);
    const __m512i a = _mm512_maskz_loadu_epi64(first_lanes, keys);
    const __m512i b = _mm512_maskz_loadu_epi64(second_lanes, keys + 8);
    const __m512i one = _mm512_set1_epi64(1);
    __m512i less_a = _mm512_setzero_si512();
    __m512i less_b = _mm512_setzero_si512();
    for (std::size_t i = 0; i < length; ++i) {
        const __m512i key = _mm512_set1_epi64(keys[i]);
        less_a = _mm512_mask_add_epi64(less_a, _mm512_cmpgt_epi64_mask(a, key), less_a, one);
        less_b = _mm512_mask_add_epi64(less_b, _mm512_cmpgt_epi64_mask(b, key), less_b, one);
    }
    const __m512i ranks = _mm512_set1_epi64(static_cast<long long>(rank));
    const __m512i lowest = _mm512_set1_epi64(std::numeric_limits<wide_key>::min());
    const __mmask8 take_a = _mm512_mask_cmple_epi64_mask(first_lanes, less_a, ranks);
    const __mmask8 take_b = _mm512_mask_cmple_epi64_mask(second_lanes, less_b, ranks);
    __m512i best = _mm512_mask_max_epi64(lowest, 0xFF, _mm512_mask_mov_epi64(lowest, take_a, a),
                                         _mm512_mask_mov_epi64(lowest, take_b, b));
    best = _mm512_mask_max_epi64(best, 0xFF, best,
                                 _mm512_mask_shuffle_i64x2(best, 0xFF, best, best, 0x4E));
    best = _mm512_mask_max_epi64(best, 0xFF, best,
                                 _mm512_mask_shuffle_i64x2(best, 0xFF, best, best, 0xB1));
    best = _mm512_mask_max_epi64(best, 0xFF, best,
                                 _mm512_mask_shuffle_epi32(best, 0xFFFF, best, _MM_PERM_BADC));
    return _mm_cvtsi128_si64(_mm512_mask_extracti32x4_epi32(_mm_setzero_si128(), 0xF, best, 0));
}

neighbour next_above_avx512(std::span<const wide_key> keys, wide_key key) noexcept {
    return next_avx512<true>(keys, key);
}

neighbour next_below_avx512(std::span<const wide_key> keys, wide_key key) noexcept {
    return next_avx512<false>(keys, key);
}

std::size_t append_usable_avx512(const double* signal, const std::uint8_t* mask,
                                 std::size_t length, wide_key* out) noexcept {
    return append_eight_at_a_time(signal, mask, length, out);
}

std::size_t append_usable_avx512(const float* signal, const std::uint8_t* mask,
                                 std::size_t length, wide_key* out) noexcept {
    return append_eight_at_a_time(signal, mask, length, out);
}

#undef VORN_AVX512

}  // namespace vorn::baseline::key_passes_detail

#endif  // __x86_64__
