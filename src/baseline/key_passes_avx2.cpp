// The AVX2 variants of the key passes (see key_passes.hpp), for wide and narrow keys.
// Built for x86-64 only; elsewhere this unit is empty.
#if defined(__x86_64__)
#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#include "baseline/key_passes.hpp"

namespace vorn::baseline::key_passes_detail {

namespace {

#define VORN_AVX2 __attribute__((target("avx2,popcnt")))

// The count of set lanes. The popcnt instruction, not a table: with table
// loads GCC packs two counters into one vector register and round-trips it
// through the stack every iteration, which stalls the next store's address.
VORN_AVX2 inline std::size_t count_of(int lanes) {
    return static_cast<std::size_t>(_mm_popcnt_u32(static_cast<unsigned>(lanes)));
}

// For each lane mask of a vector of `keys` keys (four wide or eight narrow
// ones), the 32-bit lane indices that move the selected keys, in order, to
// the bottom of a vector.
template <int keys>
struct compress_indices {
    alignas(32) std::int32_t lanes[1 << keys][8];
};

template <int keys>
constexpr compress_indices<keys> make_compress_indices() {
    constexpr int parts = 8 / keys;  // 32-bit lanes per key
    compress_indices<keys> table{};
    for (int mask = 0; mask < (1 << keys); ++mask) {
        int out = 0;
        for (int lane = 0; lane < keys; ++lane) {
            if ((mask >> lane) & 1) {
                for (int part = 0; part < parts; ++part)
                    table.lanes[mask][parts * out + part] = parts * lane + part;
                ++out;
            }
        }
    }
    return table;
}

constexpr compress_indices<4> compress = make_compress_indices<4>();
constexpr compress_indices<8> narrow_compress = make_compress_indices<8>();

template <int keys>
VORN_AVX2 inline __m256i compressed_by(const compress_indices<keys>& table, __m256i v, int mask) {
    const __m256i lanes = _mm256_load_si256(reinterpret_cast<const __m256i*>(table.lanes[mask]));
    return _mm256_permutevar8x32_epi32(v, lanes);
}

VORN_AVX2 inline __m256i compressed(__m256i keys, int mask) {
    return compressed_by(compress, keys, mask);
}

VORN_AVX2 inline int lane_mask(__m256i lanes) {
    return _mm256_movemask_pd(_mm256_castsi256_pd(lanes));
}

template <class Key>
VORN_AVX2 inline __m256i vector_at(const Key* keys) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keys));
}

struct lane_masks {
    alignas(32) std::int64_t lanes[16][4];
};

constexpr lane_masks make_lane_masks() {
    lane_masks table{};
    for (int mask = 0; mask < 16; ++mask)
        for (int lane = 0; lane < 4; ++lane) table.lanes[mask][lane] = (mask >> lane) & 1 ? -1 : 0;
    return table;
}

constexpr lane_masks lane_mask_table = make_lane_masks();

// Lane by lane, x where it lies on the asked side of `key`, else `none`.
template <bool above>
VORN_AVX2 inline __m256i on_side(__m256i x, __m256i key, __m256i none) {
    const __m256i side = above ? _mm256_cmpgt_epi64(x, key) : _mm256_cmpgt_epi64(key, x);
    return _mm256_blendv_epi8(none, x, side);
}

// Lane by lane, the nearer of two candidates on the asked side.
template <bool above>
VORN_AVX2 inline __m256i nearer(__m256i a, __m256i b) {
    const __m256i b_wins = above ? _mm256_cmpgt_epi64(a, b) : _mm256_cmpgt_epi64(b, a);
    return _mm256_blendv_epi8(a, b, b_wins);
}

// The nearest key on one side in two passes, as the AVX-512 variant makes
// them: the nearest candidate lane by lane, on four chains, then the count
// of the key found. The last partial vector is a masked load whose empty
// lanes become the side's identity. Against one pass that kept a running
// count beside each lane's nearest key (twice the operations per vector),
// a build forced onto this variant took, at W = 101, 10.9 instead of 13.3 us
// at n = 1,000 and p = 10, 15.1 instead of 20.6 at p = 50, and 44.6 instead
// of 60 us at n = 5,000 and p = 50.
template <bool above>
VORN_AVX2 neighbour next_avx2(std::span<const wide_key> keys, wide_key key) noexcept {
    constexpr wide_key none = above ? std::numeric_limits<wide_key>::max()
                                    : std::numeric_limits<wide_key>::min();
    const __m256i key_v = _mm256_set1_epi64x(key);
    const __m256i nones = _mm256_set1_epi64x(none);
    __m256i best0 = nones, best1 = nones, best2 = nones, best3 = nones;
    const wide_key* data = keys.data();
    const std::size_t length = keys.size();
    const std::size_t vectors_end = length / 4 * 4;
    const auto take = [&](__m256i& best, __m256i x) VORN_AVX2 {
        best = nearer<above>(best, on_side<above>(x, key_v, nones));
    };
    std::size_t i = 0;
    for (; i + 16 <= vectors_end; i += 16) {
        take(best0, vector_at(data + i));
        take(best1, vector_at(data + i + 4));
        take(best2, vector_at(data + i + 8));
        take(best3, vector_at(data + i + 12));
    }
    if (i + 4 <= vectors_end) take(best0, vector_at(data + i)), i += 4;
    if (i + 4 <= vectors_end) take(best1, vector_at(data + i)), i += 4;
    if (i + 4 <= vectors_end) take(best2, vector_at(data + i));
    const __m256i tail_lanes = _mm256_load_si256(reinterpret_cast<const __m256i*>(
        lane_mask_table.lanes[(1u << (length - vectors_end)) - 1]));
    const __m256i tail = _mm256_blendv_epi8(
        nones, _mm256_maskload_epi64(reinterpret_cast<const long long*>(data + vectors_end),
                                     tail_lanes),
        tail_lanes);
    take(best3, tail);
    // Across the lanes, in registers: every lane ends up holding the nearest
    // key, so the count below compares with it as it is.
    __m256i v = nearer<above>(nearer<above>(best0, best1), nearer<above>(best2, best3));
    v = nearer<above>(v, _mm256_permute4x64_epi64(v, 0x4E));  // halves
    v = nearer<above>(v, _mm256_permute4x64_epi64(v, 0xB1));  // pairs
    const __m256i found_v = v;
    const wide_key found = _mm256_extract_epi64(v, 0);

    // Equal lanes are -1: subtracting them counts.
    __m256i counts = _mm256_and_si256(_mm256_cmpeq_epi64(tail, found_v), tail_lanes);
    counts = _mm256_sub_epi64(_mm256_setzero_si256(), counts);
    for (std::size_t j = 0; j < vectors_end; j += 4)
        counts = _mm256_sub_epi64(counts, _mm256_cmpeq_epi64(vector_at(data + j), found_v));
    alignas(32) std::int64_t lane_counts[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lane_counts), counts);
    const auto count =
        static_cast<std::size_t>(lane_counts[0] + lane_counts[1] + lane_counts[2] + lane_counts[3]);
    return {found, count};
}

// Four samples as keys, with the lanes that are usable; masked loads leave
// the signal unread under a false mask element. Each of the four mask bytes
// is widened to a lane with its lowest bit shifted into the sign bit, which is
// all the masked load reads.
VORN_AVX2 inline __m128i four_mask_bytes(const std::uint8_t* mask) {
    std::uint32_t bytes;
    std::memcpy(&bytes, mask, sizeof bytes);
    return _mm_cvtsi32_si128(static_cast<int>(bytes));
}

VORN_AVX2 inline __m256i four_keys(const double* signal, const std::uint8_t* mask, int& usable) {
    const __m256i lanes = _mm256_slli_epi64(_mm256_cvtepu8_epi64(four_mask_bytes(mask)), 63);
    const __m256d x = _mm256_maskload_pd(signal, lanes);
    const __m256d ordered = _mm256_cmp_pd(x, x, _CMP_ORD_Q);
    usable = _mm256_movemask_pd(_mm256_and_pd(ordered, _mm256_castsi256_pd(lanes)));
    const __m256i raw = _mm256_castpd_si256(x);
    const __m256i negative = _mm256_cmpgt_epi64(_mm256_setzero_si256(), raw);
    const __m256i low_bits = _mm256_set1_epi64x(std::numeric_limits<std::int64_t>::max());
    return _mm256_xor_si256(raw, _mm256_and_si256(negative, low_bits));
}

VORN_AVX2 inline __m256i four_keys(const float* signal, const std::uint8_t* mask, int& usable) {
    const __m128i lanes = _mm_slli_epi32(_mm_cvtepu8_epi32(four_mask_bytes(mask)), 31);
    const __m128 x = _mm_maskload_ps(signal, lanes);
    const __m128 ordered = _mm_cmp_ps(x, x, _CMP_ORD_Q);
    usable = _mm_movemask_ps(_mm_and_ps(ordered, _mm_castsi128_ps(lanes)));
    const __m128i raw = _mm_castps_si128(x);
    const __m128i low_bits = _mm_set1_epi32(std::numeric_limits<std::int32_t>::max());
    const __m128i keys = _mm_xor_si128(raw, _mm_and_si128(_mm_srai_epi32(raw, 31), low_bits));
    return _mm256_cvtepi32_epi64(keys);  // sign extension keeps the order
}

template <class T>
VORN_AVX2 std::size_t append_four_at_a_time(const T* signal, const std::uint8_t* mask,
                                            std::size_t length, wide_key* out) noexcept {
    std::size_t kept = 0;
    std::size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        if (mask_bits4(mask + i) == 0) continue;  // no load at all (see the float32 variant)
        if (i % 8 == 0) read_ahead(signal + i, mask + i, 8);
        int usable;
        const __m256i keys = four_keys(signal + i, mask + i, usable);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + kept), compressed(keys, usable));
        kept += count_of(usable);
    }
    return kept + append_usable_portable(signal + i, mask + i, length - i, out + kept);
}

// The narrow (32-bit) keys of float32 samples, eight to a vector.

VORN_AVX2 inline __m256i narrow_compressed(__m256i keys, int mask) {
    return compressed_by(narrow_compress, keys, mask);
}

VORN_AVX2 inline int narrow_lane_mask(__m256i lanes) {
    return _mm256_movemask_ps(_mm256_castsi256_ps(lanes));
}

// The vector operations of one key width, so that one body of each pass
// below serves both: four wide keys or eight narrow ones to a vector.
// load_first(keys, count) loads the first count < lanes keys and leaves the
// rest of memory unread (masked lanes read as 0); first(count) is their lane
// mask.
struct wide_lanes {
    using key = wide_key;
    static constexpr int all = 0xF;
    VORN_AVX2 static __m256i load(const key* keys) { return vector_at(keys); }
    VORN_AVX2 static __m256i load_first(const key* keys, std::size_t count) {
        const __m256i lanes = _mm256_load_si256(
            reinterpret_cast<const __m256i*>(lane_mask_table.lanes[first(count)]));
        return _mm256_maskload_epi64(reinterpret_cast<const long long*>(keys), lanes);
    }
    static int first(std::size_t count) { return (1 << count) - 1; }
    VORN_AVX2 static __m256i broadcast(key k) { return _mm256_set1_epi64x(k); }
    VORN_AVX2 static __m256i greater(__m256i a, __m256i b) { return _mm256_cmpgt_epi64(a, b); }
    VORN_AVX2 static int mask_of(__m256i lanes) { return lane_mask(lanes); }
    VORN_AVX2 static __m256i compress(__m256i keys, int mask) { return compressed(keys, mask); }
};

struct narrow_lanes {
    using key = narrow_key;
    static constexpr int all = 0xFF;
    VORN_AVX2 static __m256i load(const key* keys) { return vector_at(keys); }
    VORN_AVX2 static __m256i load_first(const key* keys, std::size_t count) {
        const __m256i lanes = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)),
                                                 _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        return _mm256_maskload_epi32(reinterpret_cast<const int*>(keys), lanes);
    }
    static int first(std::size_t count) { return (1 << count) - 1; }
    VORN_AVX2 static __m256i broadcast(key k) { return _mm256_set1_epi32(k); }
    VORN_AVX2 static __m256i greater(__m256i a, __m256i b) { return _mm256_cmpgt_epi32(a, b); }
    VORN_AVX2 static int mask_of(__m256i lanes) { return narrow_lane_mask(lanes); }
    VORN_AVX2 static __m256i compress(__m256i keys, int mask) {
        return narrow_compressed(keys, mask);
    }
};

template <class Lanes, class Key = typename Lanes::key>
VORN_AVX2 bracket_tally filter_lanes(std::span<const Key> keys, Key low, Key high,
                                     Key* kept_keys, bracket_tally tally) noexcept {
    constexpr std::size_t width = 32 / sizeof(Key);
    const __m256i lows = Lanes::broadcast(low);
    const __m256i highs = Lanes::broadcast(high);
    const Key* data = keys.data();
    const std::size_t length = keys.size();
    std::size_t below = tally.below;
    std::size_t kept = tally.kept;
    std::size_t i = 0;
    const auto take = [&](__m256i v, int lanes) VORN_AVX2 {
        const __m256i is_below = Lanes::greater(lows, v);
        const __m256i is_above = Lanes::greater(v, highs);
        const int below_mask = Lanes::mask_of(is_below) & lanes;
        const int keep_mask = ~Lanes::mask_of(_mm256_or_si256(is_below, is_above)) & lanes;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(kept_keys + kept),
                            Lanes::compress(v, keep_mask));
        below += count_of(below_mask);
        kept += count_of(keep_mask);
    };
    for (; i + width <= length; i += width) take(Lanes::load(data + i), Lanes::all);
    // The last keys as one masked vector: selections split short ranges
    // often, and their tails one key at a time took a tenth of the passes.
    if (i < length) take(Lanes::load_first(data + i, length - i), Lanes::first(length - i));
    return {below, kept};
}

template <class Lanes, class Key = typename Lanes::key>
VORN_AVX2 split_tally split_lanes(std::span<const Key> keys, Key pivot, Key* less_keys,
                                  Key* greater_keys) noexcept {
    constexpr std::size_t width = 32 / sizeof(Key);
    const __m256i pivots = Lanes::broadcast(pivot);
    const Key* data = keys.data();
    const std::size_t length = keys.size();
    std::size_t less = 0;
    std::size_t greater = 0;
    std::size_t i = 0;
    const auto take = [&](__m256i v, int lanes) VORN_AVX2 {
        const int less_mask = Lanes::mask_of(Lanes::greater(pivots, v)) & lanes;
        const int greater_mask = Lanes::mask_of(Lanes::greater(v, pivots)) & lanes;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(less_keys + less),
                            Lanes::compress(v, less_mask));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(greater_keys + greater),
                            Lanes::compress(v, greater_mask));
        less += count_of(less_mask);
        greater += count_of(greater_mask);
    };
    for (; i + width <= length; i += width) take(Lanes::load(data + i), Lanes::all);
    if (i < length) take(Lanes::load_first(data + i, length - i), Lanes::first(length - i));
    return {less, greater};
}

}  // namespace

// Eight float32 samples at a time as narrow keys: a masked load leaves the
// signal unread under a false mask element, as four_keys does.
VORN_AVX2 std::size_t append_usable_avx2(const float* signal, const std::uint8_t* mask,
                                         std::size_t length, narrow_key* out) noexcept {
    const __m256i low_bits = _mm256_set1_epi32(std::numeric_limits<std::int32_t>::max());
    std::size_t kept = 0;
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        // Mask bytes to lanes as four_keys widens them.
        std::uint64_t bytes;
        std::memcpy(&bytes, mask + i, sizeof bytes);
        // Eight masked-out samples are skipped without a load: a masked load
        // whose lanes are all off still took as long as a cache miss here,
        // and masks that leave out long stretches (artefact gaps) are made of
        // such groups. On a random walk with half of 10^7 samples masked in
        // blocks of 50,000 (W = 10,001, two cores) the call took 14.5-14.7
        // ms instead of 16.8-17.3. Random masks almost never have such a
        // group, and the branch is then predicted.
        if ((bytes & 0x0101010101010101u) == 0) continue;
        if (i % 16 == 0) read_ahead(signal + i, mask + i, 16);
        const __m256i lanes = _mm256_slli_epi32(
            _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(bytes))), 31);
        const __m256 x = _mm256_maskload_ps(signal + i, lanes);
        const __m256 ordered = _mm256_cmp_ps(x, x, _CMP_ORD_Q);
        const int usable = _mm256_movemask_ps(_mm256_and_ps(ordered, _mm256_castsi256_ps(lanes)));
        const __m256i raw = _mm256_castps_si256(x);
        const __m256i keys =
            _mm256_xor_si256(raw, _mm256_and_si256(_mm256_srai_epi32(raw, 31), low_bits));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + kept), narrow_compressed(keys, usable));
        kept += count_of(usable);
    }
    return kept + append_usable_portable(signal + i, mask + i, length - i, out + kept);
}

namespace {

// Lane-wise bounds over whole vectors, then across the lanes and the last
// keys. AVX2 has no 64-bit minimum: a comparison and a blend.
template <class Key>
VORN_AVX2 key_bounds<Key> vector_bounds(std::span<const Key> keys) noexcept {
    constexpr std::size_t lanes = 32 / sizeof(Key);
    const Key* data = keys.data();
    const std::size_t length = keys.size();
    key_bounds<Key> bounds{data[0], data[0]};
    if (length < lanes) return widened_bounds(bounds, data, length);
    __m256i least = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data));
    __m256i greatest = least;
    std::size_t i = lanes;
    for (; i + lanes <= length; i += lanes) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
        if constexpr (sizeof(Key) == 8) {
            least = _mm256_blendv_epi8(least, v, _mm256_cmpgt_epi64(least, v));
            greatest = _mm256_blendv_epi8(greatest, v, _mm256_cmpgt_epi64(v, greatest));
        } else {
            least = _mm256_min_epi32(least, v);
            greatest = _mm256_max_epi32(greatest, v);
        }
    }
    alignas(32) Key ends[2 * lanes];
    _mm256_store_si256(reinterpret_cast<__m256i*>(ends), least);
    _mm256_store_si256(reinterpret_cast<__m256i*>(ends + lanes), greatest);
    return widened_bounds(widened_bounds(bounds, ends, 2 * lanes), data + i, length - i);
}

}  // namespace

key_bounds<wide_key> key_range_avx2(std::span<const wide_key> keys) noexcept {
    return vector_bounds(keys);
}

key_bounds<narrow_key> key_range_avx2(std::span<const narrow_key> keys) noexcept {
    return vector_bounds(keys);
}

bracket_tally filter_bracket_avx2(std::span<const wide_key> keys, wide_key low, wide_key high,
                                  wide_key* kept_keys, bracket_tally tally) noexcept {
    return filter_lanes<wide_lanes>(keys, low, high, kept_keys, tally);
}

bracket_tally filter_bracket_avx2(std::span<const narrow_key> keys, narrow_key low,
                                  narrow_key high, narrow_key* kept_keys,
                                  bracket_tally tally) noexcept {
    return filter_lanes<narrow_lanes>(keys, low, high, kept_keys, tally);
}

split_tally split_around_avx2(std::span<const wide_key> keys, wide_key pivot,
                              wide_key* less_keys, wide_key* greater_keys) noexcept {
    return split_lanes<wide_lanes>(keys, pivot, less_keys, greater_keys);
}

split_tally split_around_avx2(std::span<const narrow_key> keys, narrow_key pivot,
                              narrow_key* less_keys, narrow_key* greater_keys) noexcept {
    return split_lanes<narrow_lanes>(keys, pivot, less_keys, greater_keys);
}

// select_small: the keys in vectors, the lanes past `length` set to the
// largest key. For each key, every lane whose key is greater counts one more
// smaller key (a comparison's all-ones lane is minus one); lanes that count
// at most `rank` smaller keys hold the answer or keys below it, so the
// answer is their largest. A lane past `length` counts all `length` keys
// unless the largest key is among them, and then it is the answer too.
VORN_AVX2 narrow_key select_small_avx2(const narrow_key* keys, std::size_t length,
                                       std::size_t rank) noexcept {
    alignas(32) narrow_key lanes[16];
    std::fill_n(lanes, 16, std::numeric_limits<narrow_key>::max());
    std::copy_n(keys, length, lanes);
    const __m256i a = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes));
    const __m256i b = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes + 8));
    __m256i less_a = _mm256_setzero_si256();
    __m256i less_b = _mm256_setzero_si256();
    for (std::size_t i = 0; i < length; ++i) {
        const __m256i key = _mm256_set1_epi32(lanes[i]);
        less_a = _mm256_sub_epi32(less_a, _mm256_cmpgt_epi32(a, key));
        less_b = _mm256_sub_epi32(less_b, _mm256_cmpgt_epi32(b, key));
    }
    // Lanes counting more than `rank` smaller keys become the smallest key.
    const __m256i ranks = _mm256_set1_epi32(static_cast<int>(rank));
    const __m256i lowest = _mm256_set1_epi32(std::numeric_limits<narrow_key>::min());
    __m256i best =
        _mm256_max_epi32(_mm256_blendv_epi8(a, lowest, _mm256_cmpgt_epi32(less_a, ranks)),
                         _mm256_blendv_epi8(b, lowest, _mm256_cmpgt_epi32(less_b, ranks)));
    best = _mm256_max_epi32(best, _mm256_permute2x128_si256(best, best, 1));
    best = _mm256_max_epi32(best, _mm256_shuffle_epi32(best, 0x4E));
    best = _mm256_max_epi32(best, _mm256_shuffle_epi32(best, 0xB1));
    return _mm256_cvtsi256_si32(best);
}

VORN_AVX2 inline __m256i wide_max(__m256i a, __m256i b) {
    return _mm256_blendv_epi8(a, b, _mm256_cmpgt_epi64(b, a));
}

VORN_AVX2 wide_key select_small_avx2(const wide_key* keys, std::size_t length,
                                     std::size_t rank) noexcept {
    alignas(32) wide_key lanes[16];
    std::fill_n(lanes, 16, std::numeric_limits<wide_key>::max());
    std::copy_n(keys, length, lanes);
    __m256i v[4];
    __m256i less[4];
    for (int j = 0; j < 4; ++j) {
        v[j] = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes + 4 * j));
        less[j] = _mm256_setzero_si256();
    }
    for (std::size_t i = 0; i < length; ++i) {
        const __m256i key = _mm256_set1_epi64x(lanes[i]);
        for (int j = 0; j < 4; ++j)
            less[j] = _mm256_sub_epi64(less[j], _mm256_cmpgt_epi64(v[j], key));
    }
    const __m256i ranks = _mm256_set1_epi64x(static_cast<long long>(rank));
    const __m256i lowest = _mm256_set1_epi64x(std::numeric_limits<wide_key>::min());
    __m256i best = lowest;
    for (int j = 0; j < 4; ++j)
        best = wide_max(best, _mm256_blendv_epi8(v[j], lowest, _mm256_cmpgt_epi64(less[j], ranks)));
    best = wide_max(best, _mm256_permute2x128_si256(best, best, 1));
    best = wide_max(best, _mm256_shuffle_epi32(best, 0x4E));
    return _mm_cvtsi128_si64(_mm256_castsi256_si128(best));
}

neighbour next_above_avx2(std::span<const wide_key> keys, wide_key key) noexcept {
    return next_avx2<true>(keys, key);
}

neighbour next_below_avx2(std::span<const wide_key> keys, wide_key key) noexcept {
    return next_avx2<false>(keys, key);
}

std::size_t append_usable_avx2(const double* signal, const std::uint8_t* mask,
                               std::size_t length, wide_key* out) noexcept {
    return append_four_at_a_time(signal, mask, length, out);
}

std::size_t append_usable_avx2(const float* signal, const std::uint8_t* mask,
                               std::size_t length, wide_key* out) noexcept {
    return append_four_at_a_time(signal, mask, length, out);
}

#undef VORN_AVX2

}  // namespace vorn::baseline::key_passes_detail

#endif  // __x86_64__
