// The usable keys of overlapping anchor windows, and a selection that follows the answer.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <tuple>
#include <type_traits>

#include "baseline/float_keys.hpp"
#include "baseline/key_passes.hpp"
#include "baseline/key_select.hpp"

namespace vorn::baseline {

// Anchor windows are W wide and a quarter window apart, so every sample
// falls into about four of them. A ring of keys (key_ring, as the window's
// compacted_window) holds the keys of the usable samples of the current
// window in signal order, each sample read once;
// moving to the next anchor drops the keys of the positions that left (their
// count is known from the ring's running total at the new window's start)
// and appends the new positions. Nothing is ever re-read from the signal, so
// concurrent writes to the arrays cannot unbalance the ring.
template <class Key>
class key_ring {
public:
    // `capacity` bounds the keys the ring holds at once, and the vector
    // passes that fill it need key_pass_slack free slots beyond the last
    // kept key, plus as many past the ring's end.
    static constexpr std::size_t storage_for(std::size_t capacity) noexcept {
        return capacity + 2 * key_pass_slack;
    }

    explicit key_ring(std::span<Key> storage) noexcept
        : ring_(storage.data()), slots_(storage.size() - key_pass_slack) {}

    // Keys appended since the start (or the last clear); a window start is
    // recorded as this total when the scan reaches it.
    std::uint64_t total() const noexcept { return total_; }
    std::size_t count() const noexcept { return static_cast<std::size_t>(total_ - dropped_); }

    // Drops keys up to the running total `mark` (a recorded window start),
    // showing them to `seen` (in at most two spans) as they go.
    template <class Seen>
    void drop_to(std::uint64_t mark, Seen&& seen) noexcept {
        std::size_t leaving = static_cast<std::size_t>(mark - dropped_);
        while (leaving != 0) {
            const std::size_t part = std::min(leaving, slots_ - head_);
            seen(std::span<const Key>(ring_ + head_, part));
            head_ += part;
            if (head_ == slots_) head_ = 0;
            leaving -= part;
        }
        dropped_ = mark;
    }

    // The keys appended between the running totals `from` and `to`, which
    // lie in the ring (after the last drop, up to total()), as at most two
    // spans.
    std::array<std::span<const Key>, 2> between(std::uint64_t from,
                                                std::uint64_t to) const noexcept {
        std::size_t begin = head_ + static_cast<std::size_t>(from - dropped_);
        if (begin >= slots_) begin -= slots_;
        const std::size_t length = static_cast<std::size_t>(to - from);
        const std::size_t part = std::min(length, slots_ - begin);
        return {std::span<const Key>(ring_ + begin, part), std::span<const Key>(ring_, length - part)};
    }

    // The ring's keys in the order they came, as at most two spans.
    std::span<const Key> first_part() const noexcept {
        return {ring_ + head_, std::min(count(), slots_ - head_)};
    }
    std::span<const Key> second_part() const noexcept {
        return {ring_, count() - first_part().size()};
    }

    // Bounds of blocks of the ring's slots: slots [b * block, (b + 1) *
    // block) (block = 2^shift) have their least and greatest key at
    // bounds[2b] and [2b + 1], kept up to date as keys are appended
    // (`bounds` has room for bounds_for(capacity, shift) keys). A filter
    // over the window then counts or skips whole blocks of keys that lie
    // below or above its bracket without reading them: where the level
    // drifts across the window (a random walk, a slow sine), most blocks lie
    // clear of a bracket a few percent of the window wide.
    static constexpr std::size_t bounds_for(std::size_t capacity, unsigned shift) noexcept {
        return 2 * (((capacity + key_pass_slack) >> shift) + 1);
    }
    void keep_bounds(std::span<Key> bounds, unsigned shift) noexcept {
        bounds_ = bounds.data();
        shift_ = shift;
    }
    bool has_bounds() const noexcept { return bounds_ != nullptr; }

    // filter_bracket over the ring's keys (which must have bounds).
    bracket_tally filter_blocks(Key low, Key high, Key* kept_keys) const noexcept {
        const std::size_t first = first_part().size();
        const bracket_tally tally =
            filter_slots(head_, head_ + first, low, high, kept_keys, {0, 0});
        return filter_slots(0, count() - first, low, high, kept_keys, tally);
    }

    // Copies the ring's keys, in order, to `out` (room for count() keys).
    void copy_to(Key* out) const noexcept {
        const std::span<const Key> first = first_part();
        const std::span<const Key> second = second_part();
        std::copy(second.begin(), second.end(), std::copy(first.begin(), first.end(), out));
    }

protected:
    // Runs pass(offset, length, at) over `inputs` inputs in stretches of
    // `length` from `offset` on; the pass writes the keys it keeps at `at`
    // and returns how many. No stretch is longer than the slots up to the
    // ring's end, so kept keys never pass the end; unkept vector lanes may,
    // into the slack, or into free slots, of which there are always
    // key_pass_slack.
    template <class Pass>
    void fill(std::size_t inputs, Pass&& pass) noexcept {
        // With bounds, in stretches short enough that the keys are still in
        // the first-level cache when their blocks' bounds take them.
        const std::size_t stretch = bounds_ != nullptr ? bounded_stretch : inputs;
        for (std::size_t offset = 0; offset < inputs;) {
            const std::size_t length = std::min({inputs - offset, slots_ - tail_, stretch});
            const std::size_t kept = pass(offset, length, ring_ + tail_);
            if (bounds_ != nullptr && kept != 0) note_bounds(tail_, tail_ + kept);
            total_ += kept;
            tail_ += kept;
            if (tail_ == slots_) tail_ = 0;
            offset += length;
        }
    }

    void clear() noexcept {
        head_ = tail_ = 0;
        dropped_ = total_ = 0;
    }

private:
    // Takes the keys of slots [from, to), just written, into their blocks'
    // bounds. Slots are written in order, so a block's bounds start over
    // with its first slot and then cover the keys it holds.
    void note_bounds(std::size_t from, std::size_t to) noexcept {
        for (std::size_t s = from; s < to;) {
            const std::size_t block = s >> shift_;
            const std::size_t stop = std::min((block + 1) << shift_, to);
            const key_bounds<Key> range = key_range(std::span<const Key>(ring_ + s, stop - s));
            Key* const bounds = bounds_ + 2 * block;
            if (s == block << shift_) {
                bounds[0] = range.least;
                bounds[1] = range.greatest;
            } else {
                bounds[0] = std::min(bounds[0], range.least);
                bounds[1] = std::max(bounds[1], range.greatest);
            }
            s = stop;
        }
    }

    // filter_bracket over the keys of slots [from, to), all in the window.
    // A block whose first slot is in the window has bounds that cover its
    // keys in the window: they were all written since that slot was (the
    // last block's only so far). Where the window starts inside a block,
    // the block's first slots may hold keys written after the window's
    // (the ring wrapped round), so its keys are filtered one by one.
    bracket_tally filter_slots(std::size_t from, std::size_t to, Key low, Key high,
                               Key* kept_keys, bracket_tally tally) const noexcept {
        std::size_t pending = from;  // the slots from here on are still to be filtered
        for (std::size_t s = from; s < to;) {
            const std::size_t block = s >> shift_;
            const std::size_t end = std::min((block + 1) << shift_, slots_);
            const std::size_t stop = std::min(end, to);
            const Key* const bounds = bounds_ + 2 * block;
            if (s == block << shift_ && (bounds[1] < low || bounds[0] > high)) {
                if (pending < s)
                    tally = filter_bracket(std::span<const Key>(ring_ + pending, s - pending), low,
                                           high, kept_keys, tally);
                if (bounds[1] < low) tally.below += stop - s;
                pending = stop;
            }
            s = stop;
        }
        if (pending < to)
            tally = filter_bracket(std::span<const Key>(ring_ + pending, to - pending), low, high,
                                   kept_keys, tally);
        return tally;
    }

    Key* ring_;
    std::size_t slots_;
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t total_ = 0;
    Key* bounds_ = nullptr;
    unsigned shift_ = 0;
    static constexpr std::size_t bounded_stretch = 2048;
};

// The window's ring: `capacity` bounds the usable keys of a window.
template <class T>
class compacted_window : public key_ring<typename float_key<T>::key> {
public:
    // The element type's own key width: 32-bit keys for float32 halve what
    // the ring and the passes over it move.
    using key = typename float_key<T>::key;

    using key_ring<key>::key_ring;

    // Appends the keys of the usable samples among positions [from, to),
    // showing the new keys to `seen`.
    template <class Seen>
    void append(const T* signal, const std::uint8_t* mask, std::size_t from, std::size_t to,
                Seen&& seen) noexcept {
        this->fill(to - from, [&](std::size_t offset, std::size_t length, key* at) {
            const std::size_t kept =
                append_usable(signal + from + offset, mask + from + offset, length, at);
            seen(std::span<const key>(at, kept));
            return kept;
        });
    }
};

// The keys of a window that fall in a bracket [low, high] of keys held
// from one anchor to the next, in signal order, with the count of keys
// below it. Keys are filtered once, as they enter the window; a window
// start's place is recorded as the running totals (below(), total()) when
// the scan reaches it, so a window's count below the bracket is a
// difference of two totals and its bracket keys are the ring's contents
// after a drop to the recorded total. A window keeps at most `capacity`
// keys in the bracket, as in the window's ring.
template <class Key>
class bracket_ring : public key_ring<Key> {
public:
    using key_ring<Key>::key_ring;

    // Empties the ring and starts the running totals over for a new bracket.
    void reset(Key low, Key high) noexcept {
        this->clear();
        low_ = low;
        high_ = high;
        below_ = 0;
    }

    std::uint64_t below() const noexcept { return below_; }

    // Keys entering the window, in signal order.
    void take(std::span<const Key> keys) noexcept {
        this->fill(keys.size(), [&](std::size_t offset, std::size_t length, Key* at) {
            const bracket_tally tally =
                filter_bracket(keys.subspan(offset, length), low_, high_, at, {0, 0});
            below_ += tally.below;
            return tally.kept;
        });
    }

    // Drops the bracket keys up to the running total `mark`.
    void drop_to(std::uint64_t mark) noexcept {
        key_ring<Key>::drop_to(mark, [](std::span<const Key>) {});
    }

private:
    Key low_ = 0;
    Key high_ = 0;
    std::uint64_t below_ = 0;
};

// Selection of one rank per anchor of a wide window, from a sample of it.
// Keys at a fixed stride through the window stand for the whole: the rank
// asked for sits, in the sample, near the same fraction of the way up, and
// how near is bounded by the spread of a sampled quantile (about
// sqrt(s q (1 - q)) sample ranks for a sample of s and a fraction q). Two
// sample keys that far, times a margin, on either side of that fraction
// bracket the answer; one branch-free pass over the window counts the keys
// below the bracket and keeps those inside, a few percent of the window,
// and the rank is selected among them. No state but the bracket's width is
// carried from one anchor to the next, so a level that moves (a random walk,
// a decay, a masked gap) costs nothing extra, and nothing is counted as keys
// enter and leave.
//
// The spread above is that of keys in random order. Where the level drifts
// (a random walk), keys at a fixed stride sample every stretch of the window
// alike, and the answer's place in the sample strays a fraction of that: on
// random walks of 10^6 samples, 0.38 of it at windows of 10^3 keys (root
// mean square), 0.21 at 10^4, 0.16 at 10^5, against 0.95 on a decay under
// noise. So the bracket's width follows how far the answer actually strayed
// over the last anchors (three times the root mean square, at most the
// margin), and a bracket that misses is tried again at the full margin.
//
// The sample holds about (0.63 count)^(2/3) keys: taking and selecting from
// it costs about 5 ns a key, selecting among the kept keys about 3.5, and
// the kept keys shrink as the square root of the sample grows, which puts
// the least total there (68 keys at 900, 318 at 9,000, 1,476 at 90,000).
// Against the full margin and a sample of an eighth of the window, both
// together kept 133 keys instead of 225 per anchor at W = 1,001 on a random
// walk (1.38 instead of 1.77 us an anchor, float64, one core), 367 instead
// of 724 at W = 10,001 (7.6 instead of 10.4 us).
//
// A bracket that misses at the full margin (the sample was unlucky, or the
// margin is zero in tests) costs one more copy of the window and a selection
// from all of it. Which path runs changes the time, never the answer: the
// key of a given rank is unique.
template <class Key>
class sampled_selector {
public:
    // Sample ranks of spread on either side of the expected one.
    static constexpr double default_margin = 4.0;

    // Three buffers for select_key over a window's keys, and the sample.
    static constexpr std::size_t storage_for(std::size_t capacity) noexcept {
        return 3 * (capacity + key_pass_slack) + sample_limit;
    }

    sampled_selector(std::span<Key> work, std::size_t capacity,
                     double margin = default_margin) noexcept
        : buffers_{work.data(), work.data() + (capacity + key_pass_slack),
                   work.data() + 2 * (capacity + key_pass_slack)},
          sample_(work.data() + 3 * (capacity + key_pass_slack)),
          margin_(margin) {}

    // The key of rank `rank` among first and second, the parts of a window;
    // `ring`, where it is the window's and has bounds, filters for them.
    Key select(std::span<const Key> first, std::span<const Key> second, std::size_t rank,
               const key_ring<Key>* ring = nullptr) noexcept {
        const std::size_t count = first.size() + second.size();
        if (count >= small_window) {
            // Every stride-th key, from the middle of the first stride on.
            std::size_t target = sample_size(count);
            // A sample a little over what the sorting network holds is cut
            // down to it (see sort_few and order_sample): sorted, the
            // bracket's two keys are read off it rather than selected, and
            // the kept keys go to select_kept. At W = 1,001 on 10^7 samples
            // (two cores, builds alternated) the anchors of a random walk took
            // 9.9-10.1 ms instead of 12.1-12.3 in float32, and 16.4-16.8
            // instead of 17.4-19.0 in float64.
            if (target > sort_few_limit && target <= 3 * sort_few_limit / 2 && sorts_few())
                target = sort_few_limit;
            const std::size_t stride = (count + target - 1) / target;
            std::size_t sampled = 0;
            std::size_t i = stride / 2;
            for (; i < first.size(); i += stride) sample_[sampled++] = first[i];
            for (i -= first.size(); i < second.size(); i += stride) sample_[sampled++] = second[i];
            const bool sorted = order_sample(sampled);
            const double q = (static_cast<double>(rank) + 0.5) / static_cast<double>(count);
            const double centre = q * static_cast<double>(sampled);
            const double spread = std::sqrt(static_cast<double>(sampled) * q * (1.0 - q));
            const double widest = margin_ * spread + 2.0;
            double reach = widest;
            if (strayed_square_ >= 0.0)
                reach = std::min(widest, 3.0 * std::sqrt(strayed_square_) * spread + 1.0);
            for (bool narrowed = reach < widest;; reach = widest) {
                const bracket_tally tally =
                    filter_around(first, second, ring, sampled, sorted, centre, reach);
                if (tally.below <= rank && rank < tally.below + tally.kept) {
                    const Key result =
                        sorted ? select_kept(tally.kept, rank - tally.below, sampled,
                                             std::floor(centre - reach),
                                             static_cast<double>(count) / static_cast<double>(sampled))
                               : select_key(buffers_, tally.kept, rank - tally.below);
                    learn(result, sampled, centre, spread, buffers_[0]);
                    narrowed_hits_ += narrowed ? 1 : 0;
                    return result;
                }
                if (!narrowed) break;
                ++narrowed_misses_;
                narrowed = false;
                strayed_square_ = -1.0;  // back to the full margin until an answer is seen
            }
            ++misses_;
        }
        std::copy(first.begin(), first.end(), buffers_[0]);
        std::copy(second.begin(), second.end(), buffers_[0] + first.size());
        return select_key(buffers_, count, rank);
    }

    // Brackets that missed at the full margin so far (for tests: a fault in
    // the bracket shows only as misses, never as a wrong answer).
    std::size_t misses() const noexcept { return misses_; }
    // Answers from a bracket narrowed to the answer's recent strays, and
    // narrowed brackets that missed (then tried at the full margin).
    std::size_t narrowed_hits() const noexcept { return narrowed_hits_; }
    std::size_t narrowed_misses() const noexcept { return narrowed_misses_; }

    // Whether the level looks steady enough for a bracket held across
    // anchors: this selection keeps no history to judge by, so always
    // (brackets that keep missing pause themselves).
    bool steady() const noexcept { return true; }

private:
    // Keys in the largest sample: a few thousand keep the bracket within a
    // few percent of a window of 10^5 to 10^6 keys, and their own selection
    // small next to the pass over the window.
    static constexpr std::size_t sample_limit = 4096;
    // Windows this small are selected from outright: a sample of them would
    // bracket most of the window.
    static constexpr std::size_t small_window = 256;

    // The size is kept while the count stays within a 32nd of the one it
    // was worked out for (the size then within 2 % of its own): a window's
    // count changes a little at almost every anchor, and the cube root is a
    // libm call (about 1 % of a random walk's anchors at W = 1,001). Which
    // size is taken changes the time, never the answer.
    std::size_t sample_size(std::size_t count) noexcept {
        const std::size_t apart =
            count > sized_count_ ? count - sized_count_ : sized_count_ - count;
        if (apart > sized_count_ / 32 || sized_count_ == 0) {
            const double size =
                std::cbrt(0.4 * static_cast<double>(count) * static_cast<double>(count));
            sized_count_ = count;
            sample_target_ = std::min(sample_limit, static_cast<std::size_t>(size));
        }
        return sample_target_;
    }

    // Filters the window into buffers_[0] around the sample keys `reach`
    // ranks on either side of `centre` (the sample is in sample_, in order
    // where `sorted`).
    bracket_tally filter_around(std::span<const Key> first, std::span<const Key> second,
                                const key_ring<Key>* ring, std::size_t sampled, bool sorted,
                                double centre, double reach) noexcept {
        const double below = std::floor(centre - reach);
        const double above = std::ceil(centre + reach);
        Key low = std::numeric_limits<Key>::min();
        Key high = std::numeric_limits<Key>::max();
        if (sorted) {
            if (below >= 0.0) low = sample_[static_cast<std::size_t>(below)];
            if (above < static_cast<double>(sampled))
                high = sample_[static_cast<std::size_t>(above)];
        } else {
            std::copy(sample_, sample_ + sampled, buffers_[0]);
            if (below >= 0.0 && above < static_cast<double>(sampled)) {
                std::tie(low, high) =
                    select_key_pair(buffers_, sampled, static_cast<std::size_t>(below),
                                    static_cast<std::size_t>(above));
            } else if (below >= 0.0) {
                low = select_key(buffers_, sampled, static_cast<std::size_t>(below));
            } else if (above < static_cast<double>(sampled)) {
                high = select_key(buffers_, sampled, static_cast<std::size_t>(above));
            }
        }
        if (ring != nullptr && ring->has_bounds())
            return ring->filter_blocks(low, high, buffers_[0]);
        const bracket_tally tally = filter_bracket(first, low, high, buffers_[0], {0, 0});
        return filter_bracket(second, low, high, buffers_[0], tally);
    }

    // The key of rank `rank` among the `kept` keys of a bracket, in
    // buffers_[0], where the sample is sorted and the bracket's low end is
    // sample key `low_index` (the least key where that is negative). Sample
    // keys stand about `stride` window keys apart, so the answer should lie
    // near sample key low_index + rank / stride: the kept keys between the
    // sample keys on either side of it are filtered out first, and when the
    // rank falls among them, they are sorted and the answer read off (or,
    // too many to sort or wide keys, it is selected among them). A guess
    // that falls short is tried once more next to it, on the side the count
    // says; after that the answer is selected among all the kept keys. On a
    // float32 random walk at W = 1,001 the first guess held about 70 % of
    // the time.
    Key select_kept(std::size_t kept, std::size_t rank, std::size_t sampled, double low_index,
                    double stride) noexcept {
        const double guess = std::max(low_index, 0.0) + static_cast<double>(rank) / stride;
        double from = std::floor(guess) - 1.0;
        double to = from + 3.0;
        // Sample key i, or the least or greatest key past the sample's ends.
        const auto sample_key = [&](double i) {
            if (i < 0.0) return std::numeric_limits<Key>::min();
            if (i >= static_cast<double>(sampled)) return std::numeric_limits<Key>::max();
            return sample_[static_cast<std::size_t>(i)];
        };
        for (int attempt = 0; attempt < 2; ++attempt) {
            const Key low = from > low_index ? sample_key(from) : std::numeric_limits<Key>::min();
            const Key high = sample_key(to);
            const bracket_tally near = filter_bracket(std::span<const Key>(buffers_[0], kept),
                                                      low, high, buffers_[1], {0, 0});
            if (rank < near.below) {
                to = from;
                from -= 3.0;
            } else if (rank >= near.below + near.kept) {
                from = to;
                to += 3.0;
            } else if (sort_few(std::span<Key>(buffers_[1], near.kept))) {
                return buffers_[1][rank - near.below];
            } else {
                // Too many to sort, or wide keys: selected among these few.
                Key* const near_buffers[3] = {buffers_[1], buffers_[2], buffers_[0]};
                return select_key(near_buffers, near.kept, rank - near.below);
            }
        }
        return select_key(buffers_, kept, rank);
    }

    // Puts the sample in ascending order where sort_few can and says whether
    // it did. Wide keys go through the network as narrow stand-ins, a key's
    // top 26 bits beside its place in the sample: keys that agree in those
    // bits (values within a few parts in 10^5) may come out of order, which
    // can only make a bracket miss, never change an answer.
    bool order_sample(std::size_t sampled) noexcept {
        if constexpr (std::is_same_v<Key, narrow_key>) {
            return sort_few(std::span<Key>(sample_, sampled));
        } else {
            static_assert(sort_few_limit == 64, "a place in the sample takes six bits");
            if (sampled > sort_few_limit || !sorts_few()) return false;
            narrow_key stand_ins[sort_few_limit];
            for (std::size_t i = 0; i < sampled; ++i)
                stand_ins[i] = static_cast<narrow_key>((sample_[i] >> 38) * 64 +
                                                       static_cast<Key>(i));
            sort_few(std::span<narrow_key>(stand_ins, sampled));
            Key ordered[sort_few_limit];
            for (std::size_t i = 0; i < sampled; ++i) ordered[i] = sample_[stand_ins[i] & 63];
            std::copy(ordered, ordered + sampled, sample_);
            return true;
        }
    }

    // Where the answer fell in the sample against where it was expected, in
    // spreads: a running mean of its square, which one far stray raises at
    // once (to a quarter of its square, so that the next reach covers it).
    // `scratch` takes the sample keys equal to the result (room for the
    // sample and key_pass_slack).
    void learn(Key result, std::size_t sampled, double centre, double spread,
               Key* scratch) noexcept {
        const bracket_tally tally = filter_bracket(std::span<const Key>(sample_, sampled),
                                                   result, result, scratch, {0, 0});
        const double place =
            static_cast<double>(tally.below) + 0.5 * static_cast<double>(tally.kept);
        const double strayed = (place - centre) / spread;
        const double square = strayed * strayed;
        strayed_square_ = strayed_square_ < 0.0
                              ? square
                              : std::max(0.9 * strayed_square_ + 0.1 * square, 0.25 * square);
    }

    Key* const buffers_[3];
    Key* const sample_;
    double margin_;
    std::size_t sized_count_ = 0;
    std::size_t sample_target_ = 0;
    // The running mean square of the answer's stray (negative: none yet, or
    // the last narrowed bracket missed).
    double strayed_square_ = -1.0;
    std::size_t misses_ = 0;
    std::size_t narrowed_hits_ = 0;
    std::size_t narrowed_misses_ = 0;
};

// Selection of one rank per anchor. Neighbouring anchor windows share three
// quarters of their samples, so the answer moves little from one anchor to
// the next. The selector keeps a bracket of keys around where it expects
// the next answer (the last one plus half the last move, give or take one
// and a half times the typical move); one branch-free pass over the window
// counts the keys below the bracket and copies those inside it, and when the
// rank falls inside, only those few are selected from. When it does not, the
// count says on which side the answer lies, and a wider bracket there is
// tried; after three misses the whole window is copied and selected from.
// A narrow bracket misses about one anchor in three on a noisy drifting
// signal, and a second pass over the window still costs less than selecting
// among the keys a wider bracket keeps.
//
// Which path runs changes the time, never the answer: the key of a given
// rank is unique. Distances are taken in key units (units in the last place
// within a binade), which is all a bracket needs: it is only a guess.
template <class Key>
class tracking_selector {
public:
    // Three buffers for select_key, capacity bounding the keys of a window,
    // shared with the sampled selection of a window the bracket misses.
    static constexpr std::size_t storage_for(std::size_t capacity) noexcept {
        return sampled_selector<Key>::storage_for(capacity);
    }

    tracking_selector(std::span<Key> work, std::size_t capacity) noexcept
        : buffers_{work.data(), work.data() + (capacity + key_pass_slack),
                   work.data() + 2 * (capacity + key_pass_slack)},
          sampled_(work, capacity) {}

    Key select(std::span<const Key> first, std::span<const Key> second, std::size_t rank,
               const key_ring<Key>* ring = nullptr) noexcept {
        const std::size_t count = first.size() + second.size();
        steady_ = false;
        if (sampled_turns_ != 0) {
            --sampled_turns_;
        } else if (tracking_ && count > small_window) {
            double low = static_cast<double>(center_) - width_;
            double high = static_cast<double>(center_) + width_;
            for (int attempt = 0; attempt < bracket_attempts; ++attempt) {
                const Key low_key = clamped(low);
                const Key high_key = clamped(high);
                bracket_tally tally = filter_bracket(first, low_key, high_key, buffers_[0], {0, 0});
                tally = filter_bracket(second, low_key, high_key, buffers_[0], tally);
                if (tally.below <= rank && rank < tally.below + tally.kept) {
                    // A bracket that keeps this much of the window follows a
                    // level that moves more between anchors than the window
                    // spreads (a random walk): a sample's bracket keeps less.
                    if (tally.kept > count / wide_bracket) sampled_turns_ = sampled_turn;
                    steady_ = attempt == 0 && sampled_turns_ == 0;
                    const Key result = select_key(buffers_, tally.kept, rank - tally.below);
                    follow(result);
                    return result;
                }
                // The answer lies beyond the side it fell off: bracket the
                // next stretch there, wider each time.
                const double reach = 4.0 * (attempt + 1) * width_;
                if (rank < tally.below) {
                    high = low - 1.0;
                    low -= reach;
                } else {
                    low = high + 1.0;
                    high += reach;
                }
            }
        }
        const Key result = sampled_.select(first, second, rank, ring);
        follow(result);
        return result;
    }

    // Whether the last answer came from the first, narrow bracket: the
    // level moved no more than it had been moving.
    bool steady() const noexcept { return steady_; }

private:
    // A bracket keeping more than 1 / wide_bracket of the window hands the
    // next sampled_turn anchors to the sampled selection.
    static constexpr std::size_t wide_bracket = 8;
    static constexpr int sampled_turn = 16;

    // Windows this small are selected from outright.
    static constexpr std::size_t small_window = 48;

    // Brackets tried before the whole window is copied and selected from.
    static constexpr int bracket_attempts = 3;

    void follow(Key result) noexcept {
        const double move = static_cast<double>(result) - static_cast<double>(last_);
        if (tracking_) {
            typical_move_ += (std::abs(move) - typical_move_) * 0.25;
        } else {
            typical_move_ = 0.0;
            tracking_ = true;
        }
        last_ = result;
        center_ = clamped(static_cast<double>(result) + 0.5 * move);
        width_ = 1.5 * typical_move_ + 1.0;
    }

    static Key clamped(double key) noexcept {
        constexpr double lowest = static_cast<double>(std::numeric_limits<Key>::min());
        if (!(key > lowest)) return std::numeric_limits<Key>::min();
        if (key >= -lowest) return std::numeric_limits<Key>::max();
        return static_cast<Key>(key);
    }

    Key* const buffers_[3];
    sampled_selector<Key> sampled_;
    bool tracking_ = false;
    Key last_ = 0;
    Key center_ = 0;
    double width_ = 0.0;
    double typical_move_ = 0.0;
    int sampled_turns_ = 0;
    bool steady_ = false;
};

}  // namespace vorn::baseline
