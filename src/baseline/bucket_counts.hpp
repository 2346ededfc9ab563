// Counts of a sliding window's keys per bucket of key values, for one rank query per anchor.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <type_traits>

#include "baseline/float_keys.hpp"
#include "baseline/key_passes.hpp"
#include "baseline/key_select.hpp"

namespace vorn::baseline {

// The anchor windows of a piece share three quarters of their samples, and
// the answer moves little from one anchor to the next, or steadily, as a
// random walk's level does. Counts of the window's keys per bucket of sample
// values, kept as keys enter and leave (each sample once each way), turn a
// rank query into a short walk over the counts from the previous answer's
// bucket to the one holding the rank; one pass over the window then keeps
// just that bucket's keys (and counts those below), and the rank is
// selected among them. The pass is a single one whatever the signal does.
//
// Buckets are equal stretches of sample values, not of keys: keys are
// spaced like floats, so equal stretches of keys would be whole binades
// wide near zero and a hair wide far from it. A sample's bucket is
// floor((x - base) * scale) clamped to [0, buckets - 1], in float64; each
// step is monotonic in x, so every bucket is a contiguous stretch of the key
// order, whose ends the pass needs as keys: they are found by bisecting the
// key order once per bucket and layout, and remembered. The stretches are
// chosen from the window at hand: the middle quarter of the buckets covers
// the bulk of its values, with room on either side for the level to move
// into. When the answer comes to lie in a crowded bucket (the level left the
// covered range, or the spread of the window shrank), the buckets are laid
// out anew from the current window and recounted, about one more pass.
//
// Which bucket the answer is found in changes the time, never the answer:
// the key of a given rank is unique.
template <class T>
class bucket_counts {
public:
    // Buckets for windows of up to `capacity` keys: about four keys per
    // bucket on average, within [64, 65536].
    static constexpr std::size_t buckets_for(std::size_t capacity) noexcept {
        return std::clamp<std::size_t>(std::bit_ceil(std::max<std::size_t>(capacity, 1)) / 4,
                                       64, std::size_t{1} << 16);
    }

    // Three buffers for select_key, capacity bounding the keys of a window.
    static constexpr std::size_t work_for(std::size_t capacity) noexcept {
        return 3 * (capacity + key_pass_slack);
    }

    // `counts` holds 3 * buckets_for(capacity) slots (the counts, and the
    // remembered bucket starts with the layout each was found for), `work`
    // work_for(capacity).
    bucket_counts(std::span<std::uint64_t> counts, std::span<wide_key> work,
                  std::size_t capacity) noexcept
        : buckets_(counts.size() / 3),
          counts_(counts.data()),
          starts_(reinterpret_cast<wide_key*>(counts.data() + buckets_)),
          start_layouts_(counts.data() + 2 * buckets_),
          buffers_{work.data(), work.data() + (capacity + key_pass_slack),
                   work.data() + 2 * (capacity + key_pass_slack)} {
        std::fill_n(start_layouts_, buckets_, 0);
    }

    // Keys entering and leaving the window. Before the first query nothing
    // is counted: the first query lays the buckets out and counts them all.
    void enter(std::span<const wide_key> keys) noexcept {
        if (layout_ != 0) tally<+1>(keys);
    }
    void leave(std::span<const wide_key> keys) noexcept {
        if (layout_ != 0) tally<-1>(keys);
    }

    // The key of `rank` among the window's keys, given in signal order as
    // two parts of a ring. Requires rank < first.size() + second.size().
    wide_key select(std::span<const wide_key> first, std::span<const wide_key> second,
                    std::size_t rank) noexcept {
        const std::size_t count = first.size() + second.size();
        if (layout_ == 0) lay_out(first, second);
        walk_to(rank);
        if (cooldown_ != 0) --cooldown_;
        if (cooldown_ == 0 && crowded(count)) {
            lay_out(first, second);
            walk_to(rank);
            // The bulk moved or narrowed; give the new layout a window's turnover.
            cooldown_ = relayout_cooldown;
        }
        const wide_key low = cursor_ == 0 ? std::numeric_limits<wide_key>::min() : start_of(cursor_);
        const wide_key high = cursor_ + 1 == buckets_ ? std::numeric_limits<wide_key>::max()
                                                     : start_of(cursor_ + 1) - 1;
        bracket_tally tally = filter_bracket(first, low, high, buffers_[0], {0, 0});
        tally = filter_bracket(second, low, high, buffers_[0], tally);
        if (tally.below <= rank && rank < tally.below + tally.kept)
            return select_key(buffers_, tally.kept, rank - tally.below);
        // The counts always agree with the pass (both come from the keys the
        // ring holds); selecting from the whole window keeps a disagreement
        // from ever giving a wrong rank. Test builds stop there instead, so
        // that a fault in the counts cannot hide behind the slower path.
#if defined(VORN_STRICT_BUCKET_COUNTS)
        std::abort();
#endif
        std::copy(first.begin(), first.end(), buffers_[0]);
        std::copy(second.begin(), second.end(), buffers_[0] + first.size());
        return select_key(buffers_, count, rank);
    }

private:
    using narrow_key = typename float_key<T>::key;
    using narrow_bits = std::make_unsigned_t<narrow_key>;

    // Queries after a new layout before another may be made.
    static constexpr int relayout_cooldown = 4;
    // Keys looked at to place the buckets.
    static constexpr std::size_t sample_limit = 256;

    // Branch-free, so that the loops over keys vectorise; no key decodes
    // to NaN (see start_of), and an infinite one goes to an end bucket. The
    // difference itself is NaN where an infinite key meets an infinite base
    // (a window whose lowest value is -inf); the comparison sends that to
    // bucket 0, which keeps the map monotone, and a NaN never reaches the
    // integer conversion, where it would be undefined.
    std::uint32_t bucket_of(wide_key k) const noexcept {
        const double v = (static_cast<double>(from_key<T>(k)) - base_) * scale_;
        return static_cast<std::uint32_t>(std::min(v > 0.0 ? v : 0.0, last_));
    }

    // The bucket numbers of a block are worked out first, in a loop without
    // dependences, then counted: the counting loop's increments depend on
    // each other through memory, and kept apart the two overlap better.
    template <int sign>
    void tally(std::span<const wide_key> keys) noexcept {
        constexpr std::size_t block = 256;
        std::uint32_t ids[block];
        const std::uint32_t cursor = static_cast<std::uint32_t>(cursor_);
        for (std::size_t at = 0; at < keys.size(); at += block) {
            const std::size_t length = std::min(block, keys.size() - at);
            const wide_key* k = keys.data() + at;
            for (std::size_t i = 0; i < length; ++i) ids[i] = bucket_of(k[i]);
            std::size_t below = 0;
            for (std::size_t i = 0; i < length; ++i) {
                counts_[ids[i]] += static_cast<std::uint64_t>(sign);
                below += ids[i] < cursor ? 1 : 0;
            }
            below_ += static_cast<std::size_t>(sign) * below;
        }
    }

    // The smallest key of bucket b >= 1, among the keys from -inf to +inf
    // (between them every key is a value; +inf is in the last bucket). The
    // key of the bucket's nominal start value is a close guess; a galloping
    // search from it brackets the true start, and bisection finds it.
    wide_key start_of(std::size_t b) noexcept {
        if (start_layouts_[b] == layout_) return starts_[b];
        // In the unsigned order of the bits, where distances cannot wrap.
        constexpr narrow_bits flip = narrow_bits{1} << (std::numeric_limits<narrow_bits>::digits - 1);
        const auto key_of = [](narrow_bits u) {
            return static_cast<wide_key>(static_cast<narrow_key>(u ^ flip));
        };
        const auto bits_of = [](T x) {
            return static_cast<narrow_bits>(static_cast<narrow_bits>(to_key(x)) ^ flip);
        };
        const auto reaches = [&](narrow_bits u) { return bucket_of(key_of(u)) >= b; };
        const narrow_bits first = bits_of(-std::numeric_limits<T>::infinity());
        const narrow_bits last = bits_of(std::numeric_limits<T>::infinity());
        const double nominal = base_ + static_cast<double>(b) / scale_;
        narrow_bits guess = nominal == nominal ? bits_of(static_cast<T>(nominal)) : first;
        guess = std::clamp(guess, first, last);
        // Afterwards reaches(hi) and, unless lo == first, !reaches(lo - 1).
        narrow_bits lo = guess;
        narrow_bits hi = guess;
        if (reaches(guess)) {
            for (narrow_bits step = 1; lo > first; step = static_cast<narrow_bits>(2 * step)) {
                const narrow_bits below = lo - first > step ? static_cast<narrow_bits>(lo - step) : first;
                if (!reaches(below)) {
                    lo = static_cast<narrow_bits>(below + 1);
                    break;
                }
                hi = below;
                lo = below;
            }
        } else {
            lo = static_cast<narrow_bits>(guess + 1);
            hi = last;
            for (narrow_bits step = 1; lo < last; step = static_cast<narrow_bits>(2 * step)) {
                const narrow_bits above = last - lo > step ? static_cast<narrow_bits>(lo + step) : last;
                if (reaches(above)) {
                    hi = above;
                    break;
                }
                lo = static_cast<narrow_bits>(above + 1);
            }
        }
        while (lo < hi) {  // reaches(hi) throughout
            const narrow_bits mid = static_cast<narrow_bits>(lo + (hi - lo) / 2);
            if (reaches(mid)) {
                hi = mid;
            } else {
                lo = static_cast<narrow_bits>(mid + 1);
            }
        }
        start_layouts_[b] = layout_;
        starts_[b] = key_of(lo);
        return starts_[b];
    }

    // The answer's bucket holds far more keys than a bucket of the bulk
    // would: an end bucket (the level moved out of the covered range) or the
    // bulk narrowed. A finer layout might split it (it cannot split a run of
    // one key, which is why a new layout waits a while before the next).
    bool crowded(std::size_t count) const noexcept {
        const std::size_t usual = count / (buckets_ / 4) + 1;
        return counts_[cursor_] > 8 * usual + 32;
    }

    // Bounded by the bucket range, so that even counts gone wrong cannot
    // lead out of it (select's pass would then notice).
    void walk_to(std::size_t rank) noexcept {
        while (cursor_ > 0 && rank < below_) below_ -= counts_[--cursor_];
        while (cursor_ + 1 < buckets_ && rank >= below_ + counts_[cursor_])
            below_ += counts_[cursor_++];
    }

    // Places the bulk of the window (a sample's 2nd to 98th percentile) on
    // the middle quarter of the buckets and recounts every key.
    void lay_out(std::span<const wide_key> first, std::span<const wide_key> second) noexcept {
        const std::size_t count = first.size() + second.size();
        const std::size_t stride = count / sample_limit + 1;
        std::size_t sampled = 0;
        for (std::size_t i = 0; i < count; i += stride) {
            const wide_key k = i < first.size() ? first[i] : second[i - first.size()];
            const double x = static_cast<double>(from_key<T>(k));
            if (x - x == 0.0) buffers_[0][sampled++] = k;  // finite values place the bulk
        }
        double low = 0.0;
        double high = 0.0;
        if (sampled != 0) {
            low = static_cast<double>(
                from_key<T>(select_detail::select_in(buffers_[0], 0, sampled, sampled / 50)));
            high = static_cast<double>(from_key<T>(select_detail::select_in(
                buffers_[0], 0, sampled, sampled - 1 - sampled / 50)));
        }
        double span = high - low;  // may overflow to +inf
        if (!(span > 0.0)) span = low != 0.0 ? std::abs(low) * 0x1p-20 : 1.0;
        const double quarter = static_cast<double>(buckets_ / 4);
        scale_ = std::min(quarter / span, std::numeric_limits<double>::max());
        base_ = low - 1.5 * quarter / scale_;
        if (!(base_ - base_ == 0.0)) base_ = low;
        last_ = static_cast<double>(buckets_ - 1);
        ++layout_;

        std::fill_n(counts_, buckets_, 0);
        cursor_ = 0;
        below_ = 0;
        tally<+1>(first);
        tally<+1>(second);
    }

    std::size_t buckets_;
    std::uint64_t* counts_;
    wide_key* starts_;
    std::uint64_t* start_layouts_;
    wide_key* const buffers_[3];
    std::uint64_t layout_ = 0;  // 0 before the first layout
    int cooldown_ = 0;
    double base_ = 0.0;
    double scale_ = 1.0;
    double last_ = 0.0;
    std::size_t cursor_ = 0;  // the bucket of the last answer
    std::size_t below_ = 0;   // keys in the buckets before cursor_
};

}  // namespace vorn::baseline
