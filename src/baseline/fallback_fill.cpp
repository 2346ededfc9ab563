// The fallback median of a call, computed on the pool, put where windows were empty.
#include "baseline/fallback_fill.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <mutex>
#include <type_traits>

#include "baseline/float_keys.hpp"
#include "baseline/key_passes.hpp"
#include "baseline/pool.hpp"
#include "baseline/select.hpp"
#include "core/buffer.hpp"
#include "core/fault.hpp"

namespace vorn::baseline {

namespace {

// Samples per piece at least: a piece zeroes and merges a histogram of
// 2^16 counts, which must stay small beside its scan.
constexpr std::size_t min_scan_piece = std::size_t{1} << 18;

constexpr int digit_bits = 16;
constexpr std::size_t digit_values = std::size_t{1} << digit_bits;

// Keys as unsigned integers in the top bits of 64 (float32 keys in the upper
// half): their unsigned order is the key order, so a key's top bits say
// which stretch of the order it lies in.
template <class T>
struct ordered {
    using key = typename float_key<T>::key;
    using bits = std::make_unsigned_t<key>;
    static constexpr int key_bits = std::numeric_limits<bits>::digits;  // 64 or 32
    static constexpr int shift = 64 - key_bits;
    static constexpr bits sign = bits{1} << (key_bits - 1);

    static std::uint64_t of(T x) noexcept {
        const bits raw = static_cast<bits>(static_cast<key>(to_key(x)));
        return static_cast<std::uint64_t>(raw ^ sign) << shift;
    }
    static T value(std::uint64_t u) noexcept {
        const bits raw = static_cast<bits>(u >> shift) ^ sign;
        return from_key<T>(static_cast<wide_key>(static_cast<key>(raw)));
    }
};

// The keys still in question share their top `known` bits with `prefix`.
struct narrowing {
    std::uint64_t prefix = 0;
    int known = 0;

    bool holds(std::uint64_t u) const noexcept {
        return known == 0 || (u >> (64 - known)) == (prefix >> (64 - known));
    }
    std::size_t digit(std::uint64_t u) const noexcept {
        return static_cast<std::size_t>((u >> (64 - known - digit_bits)) & (digit_values - 1));
    }
};

// Calls visit(state, u, usable) for every sample, u its key when `usable`
// is 1, in pieces on the pool; make_state() gives each piece its state,
// merge(state) hands it back. Branch-free up to the visit: one sample in ten
// or so is masked out or NaN, at random, which a branch would mispredict.
template <class T, class Visit, class MakeState, class Merge>
void scan_usable(std::span<const T> signal, std::span<const std::uint8_t> mask,
                 MakeState make_state, Visit visit, Merge merge) {
    static constexpr T masked_out = std::numeric_limits<T>::quiet_NaN();
    const T* x = signal.data();
    const std::uint8_t* m = mask.data();
    pool::for_each_piece(signal.size(), min_scan_piece, [&](std::size_t begin, std::size_t end) {
        auto state = make_state();
        for (std::size_t i = begin; i < end; ++i) {
            // A false mask element reads a NaN instead of the signal.
            const T value = *(mask_true(m[i]) ? x + i : &masked_out);
            visit(state, ordered<T>::of(value), as_count(usable_value(value)));
        }
        merge(state);
    });
}

}  // namespace

template <class T>
T pooled_fallback_median(std::span<const T> signal, std::span<const std::uint8_t> mask) {
    const std::size_t n = signal.size();
    // The scan would reach the mask's end at its own length before anything
    // else could go wrong; failing up front names the same index.
    if (mask.size() < n) core::fail_index_out_of_bounds(mask.size(), mask.size());

    using state = core::owned_buffer<std::uint64_t>;
    core::owned_buffer<std::uint64_t> totals(digit_values);
    totals.resize_for_overwrite(digit_values);
    std::mutex merging;
    narrowing known;
    std::uint64_t rank = 0;
    // Each pass counts the keys in question by their next 16 bits; the rank
    // falls into one of those stretches, which is what remains in question.
    // A stretch of few keys is gathered and selected from; after the last
    // digit the prefix is the key itself.
    constexpr std::uint64_t gather_limit = 4096;
    for (bool first = true;; first = false) {
        std::fill(totals.begin(), totals.end(), 0);
        scan_usable<T>(
            signal, mask,
            [] {
                state counts(digit_values);
                counts.resize_for_overwrite(digit_values);
                std::fill(counts.begin(), counts.end(), 0);
                return counts;
            },
            [&](state& counts, std::uint64_t u, std::size_t usable) {
                counts[known.digit(u)] += usable & as_count(known.holds(u));
            },
            [&](state& counts) {
                const std::lock_guard lock(merging);
                for (std::size_t d = 0; d < digit_values; ++d) totals[d] += counts[d];
            });
        std::uint64_t in_question = 0;
        for (const std::uint64_t count : totals) in_question += count;
        if (first) {
            if (in_question == 0) return T(0);
            rank = in_question / 2;  // the upper middle for an even count
        }
        // Counts disagree between passes only if the arrays change during
        // the call; the value is then unspecified, but must stay in range.
        if (in_question == 0) return ordered<T>::value(known.prefix);
        rank = std::min(rank, in_question - 1);
        std::size_t d = 0;
        while (rank >= totals[d]) rank -= totals[d++];
        known.prefix |= static_cast<std::uint64_t>(d) << (64 - known.known - digit_bits);
        known.known += digit_bits;
        if (known.known >= ordered<T>::key_bits) return ordered<T>::value(known.prefix);
        if (totals[d] <= gather_limit) break;
    }

    // The few keys left in question, in no particular order.
    core::owned_buffer<std::uint64_t> keys(gather_limit);
    keys.resize_for_overwrite(gather_limit);
    std::atomic<std::size_t> gathered{0};
    scan_usable<T>(
        signal, mask, [] { return 0; },
        [&](int, std::uint64_t u, std::size_t usable) {
            if (usable == 0 || !known.holds(u)) return;
            const std::size_t at = gathered.fetch_add(1, std::memory_order_relaxed);
            if (at < gather_limit) keys[at] = u;
        },
        [](int) {});
    const std::size_t count = std::min<std::size_t>(gathered.load(), gather_limit);
    if (count == 0) return ordered<T>::value(known.prefix);
    return ordered<T>::value(select_rank(std::span<std::uint64_t>(keys.data(), count),
                                         std::min<std::size_t>(rank, count - 1)));
}

template <class T, class U>
void fill_fallback(const window_inputs<T>& inputs, std::span<U> values) {
    if (!inputs.fallback.demanded()) return;
    const U fallback = static_cast<U>(pooled_fallback_median(inputs.signal, inputs.mask));
    pool::for_each_piece(values.size(), std::size_t{1} << 16,
                         [&](std::size_t begin, std::size_t end) {
                             for (std::size_t i = begin; i < end; ++i) {
                                 const U value = values[i];
                                 values[i] = value != value ? fallback : value;
                             }
                         });
}

template double pooled_fallback_median<double>(std::span<const double>,
                                               std::span<const std::uint8_t>);
template float pooled_fallback_median<float>(std::span<const float>,
                                             std::span<const std::uint8_t>);
template void fill_fallback<double, double>(const window_inputs<double>&, std::span<double>);
template void fill_fallback<float, float>(const window_inputs<float>&, std::span<float>);
template void fill_fallback<float, double>(const window_inputs<float>&, std::span<double>);

}  // namespace vorn::baseline
