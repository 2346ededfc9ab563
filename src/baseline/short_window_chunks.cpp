// Short windows on long signals: kernel, interpolation and smoothing in one pass per chunk.
#include "baseline/short_window_chunks.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "baseline/anchor_interpolation.hpp"
#include "baseline/fallback_fill.hpp"
#include "baseline/float_keys.hpp"
#include "baseline/key_passes.hpp"
#include "baseline/pool.hpp"
#include "baseline/sorting_network.hpp"
#include "core/buffer.hpp"

namespace vorn::baseline {

namespace {

// Positions per batch: a batch's keys, anchors and values stay in the first
// two cache levels between being made and being smoothed.
constexpr std::size_t batch = 1024;
// The smoothed values are read back from a ring of two batches: the removing
// side trails the adding side by 2 * half + 1 <= 4 positions here.
constexpr std::size_t ring_slots = 2 * batch;

template <class T>
using key_of_t = typename float_key<T>::key;

template <class T>
constexpr key_of_t<T> unusable_key = std::numeric_limits<key_of_t<T>>::max();

// Evaluates `count` windows of `length` keys, window j starting at keys[j *
// stride]; out[j] = the kernel value, widened. usable_before[i] counts the
// usable keys among keys[0 .. i), so a window's count does not wait for its
// sort. ranks[c] is the rank for c usable keys, and ranks[0] = length points
// at the fallback key put after the sorted keys, so that an empty window
// needs no branch. Returns whether a window was empty. Unusable keys sort
// last: the usable ones come first.
template <class T, std::size_t length>
bool evaluate_windows(const key_of_t<T>* keys, const std::uint32_t* usable_before,
                      std::size_t stride, std::size_t count, const std::uint8_t* ranks,
                      key_of_t<T> fallback, key_of_t<T>* /* scratch */, double* out) noexcept {
    using key = key_of_t<T>;
    std::uint32_t empty = 0;
    for (std::size_t j = 0; j < count; ++j) {
        const std::size_t at = j * stride;
        const std::uint32_t usable = usable_before[at + length] - usable_before[at];
        key sorted[length + 1];
        for (std::size_t i = 0; i < length; ++i) sorted[i] = keys[at + i];
        sort_by_network<length>(sorted);
        sorted[length] = fallback;
        empty |= usable == 0 ? 1u : 0u;
        out[j] = static_cast<double>(from_key<T>(sorted[ranks[usable]]));  // exact widening
    }
    return empty != 0;
}

// Where key i of consecutive windows lies, so that vector lanes load it at
// once: base[offsets[i] + j] is key i of window j. That is keys[j + i] on
// the direct path; with a stride, the keys are first dealt into `stride`
// phases (key t to phase t % stride, slot t / stride), where key i of window
// j stands at slot j + i / stride of phase i % stride.
template <class Key>
[[gnu::always_inline]] inline const Key* lane_keys(const Key* keys, std::size_t stride, std::size_t count, std::size_t length,
                     Key* scratch, std::size_t* offsets) noexcept {
    if (stride == 1) {
        for (std::size_t i = 0; i < length; ++i) offsets[i] = i;
        return keys;
    }
    const std::size_t total = (count - 1) * stride + length;
    const std::size_t phase_slots = total / stride + 1;
    for (std::size_t r = 0; r < stride; ++r)
        for (std::size_t u = 0, t = r; t < total; ++u, t += stride)
            scratch[r * phase_slots + u] = keys[t];
    for (std::size_t i = 0; i < length; ++i) offsets[i] = (i % stride) * phase_slots + i / stride;
    return scratch;
}

#if defined(__x86_64__)
#include <immintrin.h>

#define VORN_AVX2_NETWORK __attribute__((target("avx2")))

// Consecutive windows (stride 1: the direct path, and anchors at every
// position) side by side in the lanes of AVX2 vectors: vector i holds key i
// of 32 / sizeof(key) windows, one unaligned load, and each comparator of
// the network is one compare and two blends for all of them. The selection
// by rank, which differs per window when masks or NaN thin the windows, is
// done lane by lane from the sorted vectors.
template <class Key>
struct network_vector {
    typedef Key type __attribute__((vector_size(32)));
    static constexpr std::size_t lanes = 32 / sizeof(Key);
};

template <class V>
VORN_AVX2_NETWORK inline void exchange_lanes(V& low, V& high) noexcept {
    const V a = low;
    const V b = high;
    const V swap = b < a;  // all ones in the lanes where b < a
    low = (b & swap) | (a & ~swap);
    high = (a & swap) | (b & ~swap);
}

template <std::size_t length, class V, std::size_t... c>
VORN_AVX2_NETWORK inline void sort_lanes(V* v, std::index_sequence<c...>) noexcept {
    static constexpr auto list = merge_network<length>::comparators();
    (exchange_lanes(v[list[c].low], v[list[c].high]), ...);
}

// Whether every lane of a sorted window's last vector holds a usable key,
// that is, whether every window of the lanes is full.
template <class Key, class V>
VORN_AVX2_NETWORK inline bool full_windows(V last) noexcept {
    const __m256i k = reinterpret_cast<__m256i>(last);
    if constexpr (sizeof(Key) == 4) {
        return _mm256_movemask_epi8(_mm256_cmpeq_epi32(k, _mm256_set1_epi32(INT32_MAX))) == 0;
    } else {
        return _mm256_movemask_epi8(_mm256_cmpeq_epi64(k, _mm256_set1_epi64x(INT64_MAX))) == 0;
    }
}

// out[0 .. lanes) = the values of a vector of keys, widened (from_key, lane
// by lane: the sign bit stays, the other bits flip where it is set).
template <class T>
VORN_AVX2_NETWORK inline void store_values(const __m256i* at, double* out) noexcept {
    const __m256i k = _mm256_load_si256(at);
    if constexpr (sizeof(T) == 8) {
        const __m256i negative = _mm256_cmpgt_epi64(_mm256_setzero_si256(), k);
        const __m256i bits = _mm256_xor_si256(
            k, _mm256_and_si256(negative, _mm256_set1_epi64x(INT64_MAX)));
        _mm256_storeu_pd(out, _mm256_castsi256_pd(bits));
    } else {
        const __m256i negative = _mm256_srai_epi32(k, 31);
        const __m256i bits =
            _mm256_xor_si256(k, _mm256_and_si256(negative, _mm256_set1_epi32(INT32_MAX)));
        const __m256 values = _mm256_castsi256_ps(bits);
        _mm256_storeu_pd(out, _mm256_cvtps_pd(_mm256_castps256_ps128(values)));
        _mm256_storeu_pd(out + 4, _mm256_cvtps_pd(_mm256_extractf128_ps(values, 1)));
    }
}

template <class T, std::size_t length>
VORN_AVX2_NETWORK bool evaluate_windows_avx2(const key_of_t<T>* keys,
                                             const std::uint32_t* usable_before,
                                             std::size_t stride, std::size_t count,
                                             const std::uint8_t* ranks, key_of_t<T> fallback,
                                             key_of_t<T>* scratch, double* out) noexcept {
    using key = key_of_t<T>;
    using vector = typename network_vector<key>::type;
    constexpr std::size_t lanes = network_vector<key>::lanes;
    std::size_t offsets[length];
    const key* base = lane_keys(keys, stride, count, length, scratch, offsets);
    std::size_t j = 0;
    std::uint32_t empty = 0;
    const std::size_t full_rank = ranks[length];
    alignas(32) key sorted[length + 1][lanes];
    for (std::size_t l = 0; l < lanes; ++l) sorted[length][l] = fallback;
    // The last block overlaps the one before it rather than leaving windows
    // to the scalar loop; the windows done twice come out the same again.
    for (std::size_t next = 0; count >= lanes && next < count; next = j + lanes) {
        j = std::min(next, count - lanes);
        vector v[length];
        [&]<std::size_t... i>(std::index_sequence<i...>) VORN_AVX2_NETWORK {
            ((v[i] = reinterpret_cast<vector>(_mm256_loadu_si256(
                  reinterpret_cast<const __m256i*>(base + offsets[i] + j)))), ...);
        }(std::make_index_sequence<length>{});
        sort_lanes<length>(v, std::make_index_sequence<merge_network<length>::count()>{});
        [&]<std::size_t... i>(std::index_sequence<i...>) VORN_AVX2_NETWORK {
            (_mm256_store_si256(reinterpret_cast<__m256i*>(sorted[i]),
                                reinterpret_cast<__m256i>(v[i])), ...);
        }(std::make_index_sequence<length>{});
        if (full_windows<key>(v[length - 1])) {
            // Every window full (the common case): one rank for all lanes.
            store_values<T>(reinterpret_cast<const __m256i*>(sorted[full_rank]), out + j);
            continue;
        }
        for (std::size_t l = 0; l < lanes; ++l) {
            const std::size_t at = (j + l) * stride;
            const std::uint32_t usable = usable_before[at + length] - usable_before[at];
            empty |= usable == 0 ? 1u : 0u;
            out[j + l] = static_cast<double>(from_key<T>(sorted[ranks[usable]][l]));
        }
    }
    if (count >= lanes) return empty != 0;
    return evaluate_windows<T, length>(keys, usable_before, stride, count, ranks, fallback,
                                       scratch, out);
}

#define VORN_AVX512_NETWORK __attribute__((target("avx512f")))

// Windows of float64 keys with twice the lanes where the processor has
// AVX-512F, whose signed minimum and maximum of 64-bit lanes make a
// comparator two instructions (AVX2 has them for 32-bit lanes only; float32
// keys measured no faster in 16 lanes than in 8). Fewer windows than lanes
// go to the AVX2 loop.
VORN_AVX512_NETWORK inline void exchange_lanes_avx512(__m512i& low, __m512i& high) noexcept {
    // The masked forms with every lane set: GCC 12's unmasked ones start
    // from an undefined vector and trip its own uninitialised-variable
    // warning, thousands of times over the unrolled networks.
    const __m512i a = low;
    low = _mm512_mask_min_epi64(a, 0xFF, a, high);
    high = _mm512_mask_max_epi64(a, 0xFF, a, high);
}

template <std::size_t length, std::size_t... c>
VORN_AVX512_NETWORK inline void sort_lanes_avx512(__m512i* v, std::index_sequence<c...>) noexcept {
    static constexpr auto list = merge_network<length>::comparators();
    (exchange_lanes_avx512(v[list[c].low], v[list[c].high]), ...);
}

template <class T, std::size_t length>
VORN_AVX512_NETWORK bool evaluate_windows_avx512(const key_of_t<T>* keys,
                                                 const std::uint32_t* usable_before,
                                                 std::size_t stride, std::size_t count,
                                                 const std::uint8_t* ranks, key_of_t<T> fallback,
                                                 key_of_t<T>* scratch, double* out) noexcept {
    static_assert(sizeof(T) == 8);
    using key = key_of_t<T>;
    constexpr std::size_t lanes = 8;
    if (count < lanes)
        return evaluate_windows_avx2<T, length>(keys, usable_before, stride, count, ranks, fallback,
                                                scratch, out);
    std::size_t offsets[length];
    const key* base = lane_keys(keys, stride, count, length, scratch, offsets);
    std::size_t j = 0;
    std::uint32_t empty = 0;
    const std::size_t full_rank = ranks[length];
    alignas(64) key sorted[length + 1][lanes];
    for (std::size_t l = 0; l < lanes; ++l) sorted[length][l] = fallback;
    // The last block overlaps the one before it, as above.
    for (std::size_t next = 0; next < count; next = j + lanes) {
        j = std::min(next, count - lanes);
        __m512i v[length];
        [&]<std::size_t... i>(std::index_sequence<i...>) VORN_AVX512_NETWORK {
            ((v[i] = _mm512_loadu_si512(base + offsets[i] + j)), ...);
        }(std::make_index_sequence<length>{});
        sort_lanes_avx512<length>(v, std::make_index_sequence<merge_network<length>::count()>{});
        if (_mm512_cmpeq_epi64_mask(v[length - 1], _mm512_set1_epi64(INT64_MAX)) == 0) {
            // Every window full (the common case): one rank for all lanes,
            // widened as from_key does (the other bits flip where the sign is set).
            const __m512i k = v[full_rank];
            const __m512i flip = _mm512_and_si512(_mm512_maskz_srai_epi64(0xFF, k, 63),
                                                  _mm512_set1_epi64(INT64_MAX));
            _mm512_storeu_pd(out + j, _mm512_castsi512_pd(_mm512_xor_si512(k, flip)));
            continue;
        }
        [&]<std::size_t... i>(std::index_sequence<i...>) VORN_AVX512_NETWORK {
            (_mm512_store_si512(sorted[i], v[i]), ...);
        }(std::make_index_sequence<length>{});
        for (std::size_t l = 0; l < lanes; ++l) {
            const std::size_t at = (j + l) * stride;
            const std::uint32_t usable = usable_before[at + length] - usable_before[at];
            empty |= usable == 0 ? 1u : 0u;
            out[j + l] = static_cast<double>(from_key<T>(sorted[ranks[usable]][l]));
        }
    }
    return empty != 0;
}

// For each lane mask of 8 lanes, the count of set lanes below each lane.
struct lane_prefixes {
    alignas(8) std::uint8_t below[256][8];
};

constexpr lane_prefixes make_lane_prefixes() {
    lane_prefixes table{};
    for (unsigned lanes = 0; lanes < 256; ++lanes)
        for (unsigned l = 0, count = 0; l < 8; count += (lanes >> l) & 1u, ++l)
            table.below[lanes][l] = static_cast<std::uint8_t>(count);
    return table;
}

inline constexpr lane_prefixes usable_prefixes = make_lane_prefixes();

// fill_keys over samples inside the signal, a vector of samples at a time:
// keys[i] and usable_before[i] for i < length rounded down to whole vectors,
// starting from `usable` usable keys before; returns how many were done.
// The same keys and counts as the portable loop.
template <class T>
VORN_AVX2_NETWORK std::size_t fill_keys_avx2(const T* signal, const std::uint8_t* mask,
                                             std::size_t length, key_of_t<T>* keys,
                                             std::uint32_t* usable_before,
                                             std::uint32_t& usable) noexcept {
    constexpr std::size_t lanes = network_vector<key_of_t<T>>::lanes;
    std::size_t i = 0;
    std::uint32_t count = usable;
    for (; i + lanes <= length; i += lanes) {
        __m256i key;
        unsigned kept;
        if constexpr (sizeof(T) == 8) {
            const __m256d x = _mm256_loadu_pd(signal + i);
            const __m256i bits = _mm256_castpd_si256(x);
            const __m256i flip = _mm256_and_si256(
                _mm256_cmpgt_epi64(_mm256_setzero_si256(), bits), _mm256_set1_epi64x(INT64_MAX));
            std::uint32_t bytes;
            std::memcpy(&bytes, mask + i, sizeof bytes);
            const __m256i set = _mm256_and_si256(
                _mm256_cvtepu8_epi64(_mm_cvtsi32_si128(static_cast<int>(bytes))),
                _mm256_set1_epi64x(1));
            const __m256i usable_lanes =
                _mm256_and_si256(_mm256_castpd_si256(_mm256_cmp_pd(x, x, _CMP_ORD_Q)),
                                 _mm256_cmpeq_epi64(set, _mm256_set1_epi64x(1)));
            key = _mm256_blendv_epi8(_mm256_set1_epi64x(INT64_MAX),
                                     _mm256_xor_si256(bits, flip), usable_lanes);
            kept = static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(usable_lanes)));
        } else {
            const __m256 x = _mm256_loadu_ps(signal + i);
            const __m256i bits = _mm256_castps_si256(x);
            const __m256i flip =
                _mm256_and_si256(_mm256_srai_epi32(bits, 31), _mm256_set1_epi32(INT32_MAX));
            const __m256i set = _mm256_and_si256(
                _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(mask + i))),
                _mm256_set1_epi32(1));
            const __m256i usable_lanes =
                _mm256_and_si256(_mm256_castps_si256(_mm256_cmp_ps(x, x, _CMP_ORD_Q)),
                                 _mm256_cmpeq_epi32(set, _mm256_set1_epi32(1)));
            key = _mm256_blendv_epi8(_mm256_set1_epi32(INT32_MAX),
                                     _mm256_xor_si256(bits, flip), usable_lanes);
            kept = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(usable_lanes)));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(keys + i), key);
        std::uint64_t below;
        std::memcpy(&below, usable_prefixes.below[kept], sizeof below);
        const __m256i before = _mm256_add_epi32(
            _mm256_set1_epi32(static_cast<int>(count)),
            _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(below))));
        if constexpr (lanes == 8) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(usable_before + i), before);
        } else {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(usable_before + i),
                             _mm256_castsi256_si128(before));
        }
        count += static_cast<std::uint32_t>(__builtin_popcount(kept));
    }
    usable = count;
    return i;
}
#endif

template <class T>
using evaluate_function = bool (*)(const key_of_t<T>*, const std::uint32_t*, std::size_t,
                                   std::size_t, const std::uint8_t*, key_of_t<T>, key_of_t<T>*,
                                   double*) noexcept;

// evaluate_windows for windows of 2h keys, h = 1 .. 16, or its vector
// variants where the processor has AVX2 (or AVX-512F, for float64).
template <class T>
evaluate_function<T> evaluator(std::size_t half) noexcept {
    static constexpr auto table = []<std::size_t... h>(std::index_sequence<h...>) {
        return std::array<evaluate_function<T>, sizeof...(h)>{&evaluate_windows<T, 2 * (h + 1)>...};
    }(std::make_index_sequence<fused_window_limit / 2>{});
#if defined(__x86_64__)
    static constexpr auto vector_table = []<std::size_t... h>(std::index_sequence<h...>) {
        return std::array<evaluate_function<T>, sizeof...(h)>{
            &evaluate_windows_avx2<T, 2 * (h + 1)>...};
    }(std::make_index_sequence<fused_window_limit / 2>{});
    if constexpr (sizeof(T) == 8) {
        static constexpr auto wide_table = []<std::size_t... h>(std::index_sequence<h...>) {
            return std::array<evaluate_function<T>, sizeof...(h)>{
                &evaluate_windows_avx512<T, 2 * (h + 1)>...};
        }(std::make_index_sequence<fused_window_limit / 2>{});
        if (key_passes_detail::chosen_isa() == key_passes_detail::isa::avx512)
            return wide_table[half - 1];
    }
    if (key_passes_detail::chosen_isa() != key_passes_detail::isa::portable)
        return vector_table[half - 1];
#endif
    return table[half - 1];
}

// What every chunk of a call shares.
template <class T>
struct fused_plan {
    const window_inputs<T>& inputs;
    bool direct;
    std::size_t step;  // 1 on the direct path
    std::size_t anchor_count;
    std::size_t half;  // h
    const double* fractions;
    std::array<std::uint8_t, fused_window_limit + 1> ranks;
    evaluate_function<T> evaluate;
    bool vectors;  // AVX2 passes
};

// The baseline values (kernel values on the direct path, interpolated ones on
// the anchor path) of consecutive positions, a batch at a time.
template <class T>
class fused_source {
public:
    using key = key_of_t<T>;

    fused_source(const fused_plan<T>& plan, std::size_t position, key fallback)
        : plan_(plan), position_(position), fallback_(fallback),
          keys_(key_slots(plan)),
          usable_before_(key_slots(plan) + 1),
          scratch_(key_slots(plan) + 2 * plan.step),  // each phase one slot more
          anchors_(batch / plan.step + 3) {}

    // The values of positions [position, position + k) into out, for some
    // 1 <= k <= limit; the position must be below n.
    std::size_t produce(double* out, std::size_t limit) noexcept {
        const std::size_t n = plan_.inputs.signal.size();
        const std::size_t count = std::min(limit, n - position_);
        const std::size_t h = plan_.half;
        if (plan_.direct) {
            fill_keys(static_cast<std::int64_t>(position_) - static_cast<std::int64_t>(h),
                      count - 1 + 2 * h);
            empty_ |= plan_.evaluate(keys_.data(), usable_before_.data(), 1, count,
                                     plan_.ranks.data(), fallback_, scratch_.data(), out);
        } else {
            const std::size_t step = plan_.step;
            const std::size_t last_segment = plan_.anchor_count - 2;
            const std::size_t first = std::min(position_ / step, last_segment);
            const std::size_t last = std::min((position_ + count - 1) / step, last_segment) + 1;
            fill_keys(static_cast<std::int64_t>(first * step) - static_cast<std::int64_t>(h),
                      (last - first) * step + 2 * h);
            double* anchors = anchors_.data();
            empty_ |= plan_.evaluate(keys_.data(), usable_before_.data(), step, last - first + 1,
                                     plan_.ranks.data(), fallback_, scratch_.data(), anchors);
            // The straight line between neighbouring anchors, over tabulated
            // fractions (exact for these positions, see anchor_lattice); past
            // the last anchor the last segment runs on.
            std::size_t offset = position_ - first * step;
            std::size_t i = 0;
            if (step == 1) {
                // Every position an anchor, and up to the last segment each
                // takes x0 + 0 x d (t = 0), which is x0 itself or, when x0 is
                // -0, possibly +0; and x0 when d is not finite. The values
                // only feed the smoothing here (the fused pass always
                // smooths), and its sum starts at +0, so it can never be -0,
                // and adding or subtracting either zero leaves any other sum
                // unchanged: the anchors go in as they are.
                const std::size_t whole = std::min(count, last_segment - first);
                std::memcpy(out, anchors, whole * sizeof(double));
                i = whole;
            }
            for (std::size_t segment = first + i; i < count; ++segment, offset = 0) {
                const std::size_t length =
                    segment == last_segment ? count - i : std::min(count - i, step - offset);
                segment_values<T>(anchors[segment - first], anchors[segment - first + 1],
                                  plan_.fractions + offset, length, out + i);
                i += length;
            }
        }
        position_ += count;
        return count;
    }

    bool met_empty_window() const noexcept { return empty_; }

private:
    // A batch reads the keys of its positions' or anchors' windows: at most
    // batch - 1 + 2 * step + 2h of them (see produce).
    static std::size_t key_slots(const fused_plan<T>& plan) noexcept {
        return batch + 2 * plan.step + 2 * plan.half;
    }

    // keys_[j] = the key of position first + j; positions outside the
    // signal (where windows are cut) count as unusable.
    void fill_keys(std::int64_t first, std::size_t count) noexcept {
        const std::int64_t n = static_cast<std::int64_t>(plan_.inputs.signal.size());
        const T* signal = plan_.inputs.signal.data();
        const std::uint8_t* mask = plan_.inputs.mask.data();
        key* keys = keys_.data();
        std::uint32_t* usable_before = usable_before_.data();
        const std::int64_t end = first + static_cast<std::int64_t>(count);
        const std::int64_t inside_begin = std::clamp<std::int64_t>(first, 0, n);
        const std::int64_t inside_end = std::clamp<std::int64_t>(end, 0, n);
        std::uint32_t usable = 0;
        std::int64_t q = first;
        for (; q < inside_begin; ++q) {
            keys[q - first] = unusable_key<T>;
            usable_before[q - first] = 0;
        }
#if defined(__x86_64__)
        if (plan_.vectors && q < inside_end)
            q += static_cast<std::int64_t>(
                fill_keys_avx2(signal + q, mask + q, static_cast<std::size_t>(inside_end - q),
                               keys + (q - first), usable_before + (q - first), usable));
#endif
        for (; q < inside_end; ++q) {
            // The signal is read whatever the mask says and the choice made
            // afterwards: which samples are usable is as random as the mask.
            const T x = signal[q];
            const std::uint32_t kept = (mask[q] & 1u) & static_cast<std::uint32_t>(usable_value(x));
            keys[q - first] = kept != 0 ? static_cast<key>(to_key(x)) : unusable_key<T>;
            usable_before[q - first] = usable;
            usable += kept;
        }
        for (; q < end; ++q) {
            keys[q - first] = unusable_key<T>;
            usable_before[q - first] = usable;
        }
        usable_before[count] = usable;
    }

    const fused_plan<T>& plan_;
    std::size_t position_;
    key fallback_;
    bool empty_ = false;
    core::owned_buffer<key> keys_;
    core::owned_buffer<std::uint32_t> usable_before_;
    core::owned_buffer<key> scratch_;
    core::owned_buffer<double> anchors_;
};

// A fused_source as the smoothing's adding stream (see buffered_values in
// smoothing.hpp): each batch goes into a ring, where the removing stream
// (delayed_values over the same ring) reads it back. Batches are whole halves
// of the ring, so a run never wraps.
template <class T>
class produced_values {
public:
    produced_values(fused_source<T>& source, double* ring) noexcept
        : source_(source), ring_(ring) {}

    double next() noexcept {
        if (position_ == produced_) refill();
        return ring_[position_++ & (ring_slots - 1)];
    }

    std::size_t run_length(std::size_t limit) noexcept {
        if (position_ == produced_) refill();
        return std::min(limit, produced_ - position_);
    }
    bool runs_available() const noexcept { return true; }
    bool run_finite(std::size_t length) const noexcept {
        return all_finite(ring_ + (position_ & (ring_slots - 1)), length);
    }

    struct run {
        const double* at;
        double operator[](std::size_t i) const noexcept { return at[i]; }
    };
    run run_values() const noexcept { return {ring_ + (position_ & (ring_slots - 1))}; }

    void skip(std::size_t length) noexcept { position_ += length; }

private:
    void refill() noexcept {
        produced_ += source_.produce(ring_ + (produced_ & (ring_slots - 1)), batch);
    }

    fused_source<T>& source_;
    double* ring_;
    std::size_t position_ = 0;
    std::size_t produced_ = 0;
};

// One smoothing chunk; returns whether a window it evaluated was empty.
template <class T>
bool fused_chunk(const fused_plan<T>& plan, const smoothing_window& smoothing,
                 std::size_t chunk_index, std::span<T> chunk, key_of_t<T> fallback) {
    const std::size_t n = plan.inputs.signal.size();
    const std::size_t begin = chunk_index * smoothing_chunk;
    const std::size_t from = begin >= smoothing.half ? begin - smoothing.half : 0;
    fused_source<T> source(plan, from, fallback);
    core::owned_buffer<double> ring(ring_slots);
    smooth_run(produced_values<T>(source, ring.data()), delayed_values(ring.data(), ring_slots - 1),
               n, smoothing.half, begin, chunk);
    return source.met_empty_window();
}

}  // namespace

template <class T>
bool takes_fused_chunks(const window_inputs<T>& in, bool direct, std::uint64_t step,
                        const smoothing_window& smoothing, std::size_t workers) noexcept {
    const std::uint64_t n = in.signal.size();
    const std::uint64_t chunks = (n + smoothing_chunk - 1) / smoothing_chunk;
    return in.half_window >= 1 && 2 * in.half_window <= fused_window_limit &&
           in.mask.size() >= n &&  // a short mask fails in the separate passes
           n >= smoothing.width && 2 * smoothing.half + 1 < batch &&
           (workers <= 1 || chunks >= std::max<std::size_t>(workers, 2)) &&
           // anchors: the fraction table exists (see anchor_lattice)
           (direct || (step <= tabulated_step_limit && n <= (std::uint64_t{1} << 53) - 2 * step));
}

template <class T>
void fused_chunks(const window_inputs<T>& in, bool direct, std::uint64_t step,
                  const smoothing_window& smoothing, std::span<T> out) {
    const std::size_t n = in.signal.size();
    const std::size_t half = static_cast<std::size_t>(in.half_window);
    const std::size_t anchor_step = direct ? 1 : static_cast<std::size_t>(step);
    core::owned_buffer<double> fractions;
    if (!direct) {
        fractions.resize_for_overwrite(2 * anchor_step);
        const double divisor = static_cast<double>(anchor_step);
        for (std::size_t a = 0; a < fractions.size(); ++a)
            fractions[a] = static_cast<double>(a) / divisor;
    }
    fused_plan<T> plan{in, direct, anchor_step, (n + anchor_step - 1) / anchor_step, half,
                       fractions.data(), {}, evaluator<T>(half),
                       key_passes_detail::chosen_isa() != key_passes_detail::isa::portable};
    plan.ranks[0] = static_cast<std::uint8_t>(2 * half);
    for (std::size_t c = 1; c <= 2 * half; ++c)
        plan.ranks[c] = static_cast<std::uint8_t>(percentile_rank(c, in.percentile));

    const std::size_t chunks = (n + smoothing_chunk - 1) / smoothing_chunk;
    core::owned_buffer<std::uint8_t> empty(chunks);
    empty.resize_for_overwrite(chunks);
    // Empty windows hold a NaN until the fallback is known; NaN keys are
    // never made from samples, so its bits pass through the key unchanged.
    const auto placeholder = static_cast<key_of_t<T>>(to_key(std::numeric_limits<T>::quiet_NaN()));
    pool::for_each_chunk(out, smoothing_chunk, [&](std::size_t c, std::span<T> chunk) {
        empty[c] = fused_chunk(plan, smoothing, c, chunk, placeholder) ? 1 : 0;
    });
    if (std::find(empty.begin(), empty.end(), std::uint8_t{1}) == empty.end()) return;
    const auto fallback =
        static_cast<key_of_t<T>>(to_key(pooled_fallback_median(in.signal, in.mask)));
    pool::for_each_chunk(out, smoothing_chunk, [&](std::size_t c, std::span<T> chunk) {
        if (empty[c] != 0) fused_chunk(plan, smoothing, c, chunk, fallback);
    });
}

template bool takes_fused_chunks<double>(const window_inputs<double>&, bool, std::uint64_t,
                                         const smoothing_window&, std::size_t) noexcept;
template bool takes_fused_chunks<float>(const window_inputs<float>&, bool, std::uint64_t,
                                        const smoothing_window&, std::size_t) noexcept;
template void fused_chunks<double>(const window_inputs<double>&, bool, std::uint64_t,
                                   const smoothing_window&, std::span<double>);
template void fused_chunks<float>(const window_inputs<float>&, bool, std::uint64_t,
                                  const smoothing_window&, std::span<float>);

}  // namespace vorn::baseline
