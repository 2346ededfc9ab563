// A sliding window over the ranks of a stretch of samples, for evaluating every position.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "baseline/float_keys.hpp"

namespace vorn::baseline {

// The keys of a whole stretch of samples (the windows of a run of positions
// together) are sorted once, so every usable sample has a rank in the
// stretch. A window is then a set of ranks, kept as a bitset: a sample
// entering or leaving is one bit, and the key of rank k among the window's
// keys is the key of the k-th set bit. Ties between equal keys get distinct
// ranks in arbitrary order, which does not matter: equal keys are the same
// value (the key order tells -0 from +0), so the value of a rank does not
// depend on which of them holds it.
//
// The k-th set bit is found by walking from the previous answer: from one
// position to the next the requested rank moves by at most two, so the walk
// crosses the gap to a neighbouring key of the window, usually inside one or
// two 64-bit words. `below_` counts the set bits under the answer's bit and is
// kept exact as bits come and go, whether or not the answer's own bit is set.
class rank_bits {
public:
    // `words` holds ceil(ranks / 64) cleared words.
    explicit rank_bits(std::span<std::uint64_t> words) noexcept : words_(words.data()) {}

    void insert(std::uint32_t rank) noexcept {
        words_[rank >> 6] |= std::uint64_t{1} << (rank & 63);
        below_ += rank < answer_ ? 1 : 0;
    }

    void erase(std::uint32_t rank) noexcept {
        words_[rank >> 6] &= ~(std::uint64_t{1} << (rank & 63));
        below_ -= rank < answer_ ? 1 : 0;
    }

    // The k-th (0-based) set bit; at least k + 1 bits must be set.
    std::size_t select(std::size_t k) noexcept {
        if (k >= below_) {
            std::size_t need = k - below_;  // set bits to pass at or above the answer
            std::size_t w = answer_ >> 6;
            std::uint64_t word = words_[w] & (~std::uint64_t{0} << (answer_ & 63));
            for (std::size_t c = ones(word); need >= c; c = ones(word)) {
                need -= c;
                word = words_[++w];
            }
            answer_ = (w << 6) + nth_one(word, static_cast<unsigned>(need));
        } else {
            std::size_t need = below_ - 1 - k;  // set bits to pass below the answer, downwards
            std::size_t w = answer_ >> 6;
            std::uint64_t word = words_[w] & ((std::uint64_t{1} << (answer_ & 63)) - 1);
            std::size_t c = ones(word);
            while (need >= c) {
                need -= c;
                word = words_[--w];
                c = ones(word);
            }
            answer_ = (w << 6) + nth_one(word, static_cast<unsigned>(c - 1 - need));
        }
        below_ = k;
        return answer_;
    }

private:
    // Population counts by halving (the baseline x86-64 target has no
    // popcount instruction, and the library call the compiler would emit
    // costs more than these few operations).
    static unsigned ones(std::uint64_t x) noexcept {
        x = x - ((x >> 1) & 0x5555555555555555u);
        x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
        x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
        return static_cast<unsigned>((x * 0x0101010101010101u) >> 56);
    }

    // The position of the j-th (0-based) set bit of x, which has more than j.
    // Byte counts summed by one multiplication locate the byte; a short loop
    // finishes inside it.
    static unsigned nth_one(std::uint64_t x, unsigned j) noexcept {
        std::uint64_t s = x - ((x >> 1) & 0x5555555555555555u);
        s = (s & 0x3333333333333333u) + ((s >> 2) & 0x3333333333333333u);
        s = (s + (s >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
        const std::uint64_t running = s * 0x0101010101010101u;  // byte b: ones in bytes 0..b
        unsigned byte = 0;
        while (((running >> (8 * byte)) & 0xFF) <= j) ++byte;
        const unsigned before = byte == 0 ? 0u : static_cast<unsigned>((running >> (8 * byte - 8)) & 0xFF);
        std::uint64_t rest = (x >> (8 * byte)) & 0xFF;
        for (unsigned skip = j - before; skip != 0; --skip) rest &= rest - 1;
        return 8 * byte + static_cast<unsigned>(std::countr_zero(rest));
    }

    std::uint64_t* words_;
    std::size_t answer_ = 0;
    std::size_t below_ = 0;
};

// The ranks of the usable samples of one stretch [lo, hi) of the signal.
// rank_of[i - lo] is the rank of sample i among the stretch's usable keys,
// sorted[r] the sample of rank r; the count of usable keys is returned.
//
// Sorting is a radix sort of the keys' offsets from the stretch's smallest
// key, cut to their top 32 significant bits and packed above the sample's
// index, so one 64-bit word carries both: for float32 the offset always fits
// and the order is exact; for float64 keys whose cut offsets tie are put in
// order by their full keys afterwards (such runs are short unless the data
// are, in which case a comparison sort takes them).
//
// Scratch, each `length` = hi - lo long: full (the keys, made unsigned),
// packed and spare (the sort's two buffers), rank_of and sorted. Unusable
// samples get the rank one past the last usable key (the returned count), a
// bit that no selection reaches, so a window slides over them without a
// branch. Requires length < 2^32.
// Stretches with fewer usable keys than this sort by digits of at most 8
// bits rather than 11 (see rank_stretch).
inline constexpr std::size_t short_stretch_keys = 4096;

template <class T>
std::size_t rank_stretch(const T* signal, const std::uint8_t* mask, std::size_t lo,
                         std::size_t hi, std::uint64_t* full, std::uint64_t* packed,
                         std::uint64_t* spare, std::uint32_t* rank_of, T* sorted) {
    constexpr std::uint64_t sign = std::uint64_t{1} << 63;
    const std::size_t length = hi - lo;
    std::size_t count = 0;
    std::uint64_t smallest = ~std::uint64_t{0};
    std::uint64_t largest = 0;
    for (std::size_t j = 0; j < length; ++j) {
        // The sample is read even under a false mask (it exists: j < n); the
        // usability test decides, without a branch, whether it counts.
        const T x = signal[lo + j];
        const bool usable = mask_true(mask[lo + j]) && usable_value(x);
        const std::uint64_t key = static_cast<std::uint64_t>(to_key(x)) ^ sign;
        full[j] = key;
        packed[count] = j;
        count += usable ? 1 : 0;
        smallest = usable && key < smallest ? key : smallest;
        largest = usable && key > largest ? key : largest;
    }
    if (count == 0) {
        std::fill_n(rank_of, length, std::uint32_t{0});
        return 0;
    }

    // Short stretches cut to 24 bits: three digits of 8 instead of four. Ties
    // the shorter cut adds among a thousand keys are few and short, and their
    // comparison sort cost less than the fourth pass (W = 1001 on 1,000
    // samples: 26.5-27.2 against 28.1-28.4 us a call, float64).
    const int cut_bits = count < short_stretch_keys ? 24 : 32;
    const int width = static_cast<int>(std::bit_width(largest - smallest));
    const int shift = width > cut_bits ? width - cut_bits : 0;
    const int digits = width - shift;  // significant bits of a cut offset, <= 32
    for (std::size_t t = 0; t < count; ++t) {
        const std::uint64_t j = packed[t];
        packed[t] = (((full[j] - smallest) >> shift) << 32) | j;
    }

    // Least significant digit first; a digit that every key shares is
    // skipped. Each pass costs a scatter of the keys plus a prefix sum over
    // its buckets, so short stretches take up to four digits of at most 8
    // bits: three of 11 bits spend 6,144 bucket steps (and clear 24 KiB),
    // which for the thousand keys of a short signal's one stretch cost more
    // than the sort's own scatters. Both give the same order: the sort is
    // stable, whatever the digits.
    const int digit_limit = count < short_stretch_keys ? 8 : 11;
    const int passes = (digits + digit_limit - 1) / digit_limit;
    if (passes > 0) {
        const int bits = (digits + passes - 1) / passes;
        const std::uint64_t digit_mask = (std::uint64_t{1} << bits) - 1;
        std::uint32_t histogram[4][1u << 11];
        for (int p = 0; p < passes; ++p) std::fill_n(histogram[p], digit_mask + 1, 0u);
        // One counting pass for every digit, unrolled for each digit count.
        // Digits of at most 8 bits count odd keys apart from even ones, for
        // the reason the scatter below splits its keys: neighbouring keys
        // that share a digit would wait on each other's increment.
        std::uint32_t odd[4][1u << 8];
        const bool split = bits <= 8;
        if (split)
            for (int p = 0; p < passes; ++p) std::fill_n(odd[p], digit_mask + 1, 0u);
        const auto count_digits = [&](auto pass_count) {
            constexpr int digit_count = decltype(pass_count)::value;
            std::size_t t = 0;
            if (split) {
                for (; t + 1 < count; t += 2) {
                    const std::uint64_t even_cut = packed[t] >> 32;
                    const std::uint64_t odd_cut = packed[t + 1] >> 32;
                    for (int p = 0; p < digit_count; ++p) {
                        ++histogram[p][(even_cut >> (p * bits)) & digit_mask];
                        ++odd[p][(odd_cut >> (p * bits)) & digit_mask];
                    }
                }
                for (int p = 0; p < digit_count; ++p)
                    for (std::size_t d = 0; d <= digit_mask; ++d) histogram[p][d] += odd[p][d];
            }
            for (; t < count; ++t) {
                const std::uint64_t cut = packed[t] >> 32;
                for (int p = 0; p < digit_count; ++p)
                    ++histogram[p][(cut >> (p * bits)) & digit_mask];
            }
        };
        if (passes == 1) count_digits(std::integral_constant<int, 1>{});
        if (passes == 2) count_digits(std::integral_constant<int, 2>{});
        if (passes == 3) count_digits(std::integral_constant<int, 3>{});
        if (passes == 4) count_digits(std::integral_constant<int, 4>{});
        std::uint32_t ends[1u << 11];
        for (int p = 0; p < passes; ++p) {
            std::uint32_t* slots = histogram[p];
            const int low = 32 + p * bits;
            if (slots[(packed[0] >> low) & digit_mask] == count) continue;
            std::uint32_t offset = 0;
            for (std::size_t d = 0; d <= digit_mask; ++d) {
                const std::uint32_t here = slots[d];
                slots[d] = offset;
                offset += here;
                ends[d] = offset;
            }
            // The first half of the keys fills each bucket from its start and
            // the second half, taken backwards, from its end: the order within
            // a bucket stays that of the input (the sort stays stable), and
            // the two halves' slot counters form two independent chains. With
            // one, keys that share a digit (neighbouring samples of a smooth
            // signal, in the high digits) waited on each other's increment.
            const std::size_t half = count / 2;
            for (std::size_t t = 0; t < half; ++t) {
                const std::uint64_t front = packed[t];
                const std::uint64_t back = packed[count - 1 - t];
                spare[slots[(front >> low) & digit_mask]++] = front;
                spare[--ends[(back >> low) & digit_mask]] = back;
            }
            if (count % 2 != 0) {
                const std::uint64_t middle = packed[half];
                spare[slots[(middle >> low) & digit_mask]++] = middle;
            }
            std::swap(packed, spare);
        }
    }

    constexpr std::uint64_t index_mask = 0xFFFFFFFFu;
    if (shift > 0) {
        // Cut offsets that tie: order the run by the full keys.
        const auto by_key = [full](std::uint64_t a, std::uint64_t b) {
            return full[a & index_mask] < full[b & index_mask];
        };
        for (std::size_t start = 0; start < count;) {
            std::size_t stop = start + 1;
            while (stop < count && (packed[stop] >> 32) == (packed[start] >> 32)) ++stop;
            if (stop - start > 1) std::sort(packed + start, packed + stop, by_key);
            start = stop;
        }
    }

    std::fill_n(rank_of, length, static_cast<std::uint32_t>(count));
    for (std::size_t r = 0; r < count; ++r) {
        const std::size_t j = static_cast<std::size_t>(packed[r] & index_mask);
        rank_of[j] = static_cast<std::uint32_t>(r);
        sorted[r] = from_key<T>(static_cast<wide_key>(full[j] ^ sign));
    }
    return count;
}

}  // namespace vorn::baseline
