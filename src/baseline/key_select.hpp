// Branch-free selection of the key of a given rank, linear in the worst case.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>

#include "baseline/key_passes.hpp"
#include "baseline/select.hpp"

namespace vorn::baseline {

namespace key_select_detail {

// One partition pass: the `length` keys of buffers[current] split around the
// median of three spread keys into the two other buffers.
template <class Key>
struct partition {
    Key pivot;
    int less_buffer;
    int greater_buffer;
    split_tally split;
};

template <class Key>
inline partition<Key> partition_pass(Key* const (&buffers)[3], int current,
                                     std::size_t length) noexcept {
    const Key* keys = buffers[current];
    const Key pivot =
        select_detail::median_of_three(keys[0], keys[length / 2], keys[length - 1]);
    const int less_buffer = (current + 1) % 3;
    const int greater_buffer = (current + 2) % 3;
    return {pivot, less_buffer, greater_buffer,
            split_around(std::span<const Key>(keys, length), pivot, buffers[less_buffer],
                         buffers[greater_buffer])};
}

}  // namespace key_select_detail

// Quickselect whose partition is a branch-free split_around pass into the
// two buffers that do not hold the current range (see key_passes.hpp for
// why branch-free). Keys equal to the pivot are counted rather than kept:
// equal keys are the same key, so when the rank falls among them the pivot
// is the answer, and a run of duplicates leaves in one pass.
//
// Pivots are the median of three spread keys, which keeps the expected work
// near twice the length. After select_detail::guarded_passes passes without
// an answer the remaining range goes to select_detail::select_in, whose
// median-of-medians fallback bounds the worst case linearly. The last
// small_select_limit keys or fewer go to select_small.
//
// buffers[0] holds `length` keys; all three have room for length +
// key_pass_slack keys and are clobbered. Requires rank < length. Keys are
// wide (64-bit) or narrow (32-bit, float32 samples).
template <class Key>
inline Key select_key(Key* const (&buffers)[3], std::size_t length, std::size_t rank) noexcept {
    int current = 0;
    Key* keys = buffers[0];
    for (int pass = 0; length > small_select_limit; ++pass) {
        if (pass == select_detail::guarded_passes)
            return select_detail::select_in(keys, 0, length, rank);
        const auto [pivot, less_buffer, greater_buffer, split] =
            key_select_detail::partition_pass(buffers, current, length);
        if (rank < split.less) {
            current = less_buffer;
            length = split.less;
        } else if (rank >= length - split.greater) {
            current = greater_buffer;
            rank -= length - split.greater;
            length = split.greater;
        } else {
            return pivot;
        }
        keys = buffers[current];
    }
    return select_small(keys, length, rank);
}

// The keys of two ranks, low_rank <= high_rank < length, by select_key's
// passes: while both ranks fall on the same side of a pivot the pass serves
// both, and only the range where they part is split further twice. Ranks a
// few percent of the range apart share all but the last few passes, so the
// pair costs little more than one selection.
//
// buffers[0] holds `length` keys; all three have room for 2 * (length +
// key_pass_slack) keys and are clobbered.
template <class Key>
inline std::pair<Key, Key> select_key_pair(Key* const (&buffers)[3], std::size_t length,
                                           std::size_t low_rank, std::size_t high_rank) noexcept {
    int current = 0;
    Key* keys = buffers[0];
    for (int pass = 0; length > small_select_limit; ++pass) {
        if (pass == select_detail::guarded_passes) {
            // In place: the second selection finds the same keys, reordered.
            const Key low = select_detail::select_in(keys, 0, length, low_rank);
            return {low, select_detail::select_in(keys, 0, length, high_rank)};
        }
        const auto [pivot, less_buffer, greater_buffer, split] =
            key_select_detail::partition_pass(buffers, current, length);
        const std::size_t greater_from = length - split.greater;
        if (high_rank < split.less) {
            current = less_buffer;
            length = split.less;
        } else if (low_rank >= greater_from) {
            current = greater_buffer;
            low_rank -= greater_from;
            high_rank -= greater_from;
            length = split.greater;
        } else {
            // The ranks part here. The high one's keys move to the second
            // halves of the buffers, where their selection cannot touch the
            // low one's.
            Key high = pivot;
            if (high_rank >= greater_from) {
                const std::size_t half = length + key_pass_slack;
                Key* const upper[3] = {buffers[0] + half, buffers[1] + half,
                                            buffers[2] + half};
                std::copy_n(buffers[greater_buffer], split.greater, upper[0]);
                high = select_key(upper, split.greater, high_rank - greater_from);
            }
            Key low = pivot;
            if (low_rank < split.less) {
                Key* const lower[3] = {buffers[less_buffer], buffers[current],
                                            buffers[greater_buffer]};
                low = select_key(lower, split.less, low_rank);
            }
            return {low, high};
        }
        keys = buffers[current];
    }
    return {select_small(keys, length, low_rank), select_small(keys, length, high_rank)};
}

}  // namespace vorn::baseline
