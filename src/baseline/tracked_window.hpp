// A sliding window that tracks the key of one rank, for evaluating every position.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>

#include "baseline/key_passes.hpp"
#include "baseline/select.hpp"

namespace vorn::baseline {

// Neighbouring positions share all but the sample leaving at the low end and
// the one entering at the high end, and then the key of a given rank either
// stays or moves to the nearest distinct key above or below it. The window
// keeps its keys unordered in a ring, the tracked key `answer` and the
// counts of keys below and equal to it. A move updates the counts in
// constant time; only when the requested rank leaves [below, below + equal)
// does one pass over the ring (next_above / next_below, vectorised) find the
// neighbouring key. For a tenth percentile that happens at about one
// position in five. Each position changes the requested rank and the rank
// of the answer by at most one or two, so the passes per position are
// bounded, and n x W <= 10^7 on the direct path bounds their total.
//
// The counts stay exact for any answer, even one no longer in the window
// (equal is then 0): an emptied window needs no special state. The nearest
// keys on either side are remembered when a step reveals them, and kept up
// to date as keys come and go, so a step back is free; the rank of a noisy
// signal's percentile wanders like a random walk, and about half its steps
// are steps back.
//
// Every position entering the window is read once into the ring (its key,
// or unusable_wide_key for a false mask or NaN), and the key that leaves is
// taken from the ring, never re-read from the signal. A caller writing to
// the arrays during a call can then only change which values come out,
// never make the ring and the counts disagree.
class tracked_window {
public:
    // `storage` holds 2 * capacity keys; capacity bounds the window length.
    tracked_window(std::span<wide_key> storage, std::size_t capacity) noexcept
        : ring_(storage.data()), scratch_(storage.data() + capacity), capacity_(capacity) {
        std::fill_n(ring_, capacity_, unusable_wide_key);
    }

    std::size_t count() const noexcept { return usable_; }

    // Only during set-up, before the first rank is asked for.
    void push_unranked(wide_key key) noexcept {
        usable_ += key != unusable_wide_key ? 1 : 0;
        ring_[ring_end_] = key;
        ring_end_ = ring_end_ + 1 == capacity_ ? 0 : ring_end_ + 1;
    }

    // Starts tracking `rank` (< count()) with one selection.
    void start(std::size_t rank) noexcept {
        std::size_t length = 0;
        for (std::size_t i = 0; i < capacity_; ++i) {
            scratch_[length] = ring_[i];
            length += ring_[i] != unusable_wide_key ? 1 : 0;
        }
        answer_ = select_detail::select_in(scratch_, 0, length, rank);
        below_ = 0;
        equal_ = 0;
        lower_.count = 0;
        upper_.count = 0;
        for (std::size_t i = 0; i < capacity_; ++i) {
            below_ += ring_[i] < answer_ ? 1 : 0;
            equal_ += ring_[i] == answer_ ? 1 : 0;
        }
    }

    // Appends the key of the position entering at the high end.
    void push(wide_key key) noexcept {
        enter(key);
        ring_[ring_end_] = key;
        ring_end_ = ring_end_ + 1 == capacity_ ? 0 : ring_end_ + 1;
    }

    // Drops the position at the low end.
    void pop() noexcept {
        leave(ring_[ring_begin_]);
        ring_[ring_begin_] = unusable_wide_key;
        ring_begin_ = ring_begin_ + 1 == capacity_ ? 0 : ring_begin_ + 1;
    }

    // The key of `rank` (< count()).
    wide_key at_rank(std::size_t rank) noexcept {
        if (rank < below_ || rank >= below_ + equal_) move_to(rank);
        return answer_;
    }

private:
    // Steps the answer to neighbouring distinct keys until it has `rank`.
    // The key stepped away from is the new answer's neighbour on the other
    // side (nothing lies between them), so a step back needs no pass.
    void move_to(std::size_t rank) noexcept {
        const std::span<const wide_key> keys(ring_, capacity_);
        const bool short_ring = capacity_ <= short_ring_limit;
        while (rank < below_) {
            const neighbour lower = lower_.count != 0 ? lower_
                                    : short_ring      ? nearest_portable<false>(keys, answer_)
                                                      : next_below(keys, answer_);
            upper_ = {answer_, equal_};  // unknown (count 0) if the answer had left
            lower_.count = 0;
            answer_ = lower.key;
            below_ -= lower.count;
            equal_ = lower.count;
        }
        while (rank >= below_ + equal_) {
            const neighbour upper = upper_.count != 0 ? upper_
                                    : short_ring      ? nearest_portable<true>(keys, answer_)
                                                      : next_above(keys, answer_);
            lower_ = {answer_, equal_};
            upper_.count = 0;
            below_ += equal_;
            answer_ = upper.key;
            equal_ = upper.count;
        }
    }

    // Rings this short are searched inline rather than through a call.
    static constexpr std::size_t short_ring_limit = 16;

    // Unusable keys are above every usable key, so they are never below or
    // equal to the answer and need no test of their own here. The tests are
    // counted without branches (as_count): which side of the answer a sample
    // falls is as unpredictable as the signal's noise.
    void enter(wide_key key) noexcept {
        const std::size_t below = as_count(key < answer_);
        const std::size_t equal = as_count(key == answer_);
        usable_ += as_count(key != unusable_wide_key);
        below_ += below;
        equal_ += equal;
        // A key landing between the answer and a known neighbour (rare: the
        // gap is one step of the order) becomes that neighbour. The tests
        // are combined without branches: near the middle of the order which
        // side of the answer a key falls is a coin toss. With the counts
        // kept apart (below) and the passes' lanes reduced in registers,
        // the whole call at W = 101 and n = 1,000 to 20,000 took 0.88-0.93
        // times as long as before at p = 50, and 1.01-1.09 times at p = 10,
        // where the side is predictable. Against branches with the other two
        // changes kept, the combined tests took 1.06-1.09 times as long at
        // p = 90 and were even at p = 20 and 30; choosing between the two by
        // the percentile gave back little at p = 10 and cost at p = 50.
        if ((1 - below - equal) & as_count(key <= upper_.key) & as_count(upper_.count != 0))
            [[unlikely]]
            upper_ = {key, key == upper_.key ? upper_.count + 1 : 1};
        if (below & as_count(lower_.key <= key) & as_count(lower_.count != 0)) [[unlikely]]
            lower_ = {key, key == lower_.key ? lower_.count + 1 : 1};
    }

    void leave(wide_key key) noexcept {
        usable_ -= as_count(key != unusable_wide_key);
        below_ -= as_count(key < answer_);
        equal_ -= as_count(key == answer_);
        // A neighbour whose last copy leaves becomes unknown (count 0).
        if (key == upper_.key) [[unlikely]] upper_.count -= upper_.count != 0 ? 1 : 0;
        if (key == lower_.key) [[unlikely]] lower_.count -= lower_.count != 0 ? 1 : 0;
    }

    wide_key* ring_;
    wide_key* scratch_;
    std::size_t capacity_;
    std::size_t ring_begin_ = 0;
    std::size_t ring_end_ = 0;
    // The counts that every position updates are kept apart: GCC pairs
    // updates of neighbouring members into one vector load and store, and
    // the next position's scalar read of either then waits for the store.
    std::size_t usable_ = 0;
    wide_key answer_ = 0;
    std::size_t equal_ = 0;
    // The nearest distinct keys below and above the answer with their
    // counts, when known; a count of 0 means unknown.
    neighbour lower_{0, 0};
    std::size_t below_ = 0;
    neighbour upper_{0, 0};
};

}  // namespace vorn::baseline
