// The fallback median of a call, computed on the pool, put where windows were empty.
#include "baseline/fallback_fill.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <tuple>
#include <type_traits>
#include <utility>

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

// One pass on the pool appends and filters the usable keys of blocks of the
// signal (median_tally); false when the tally gives no median.
template <class T>
bool sampled_median(std::span<const T> signal, std::span<const std::uint8_t> mask, T& median) {
    median_tally<T> tally(signal, mask);
    if (!tally.active()) return false;
    // The element type's own key width: the pass appends and filters half
    // the bytes for float32.
    using key = typename median_tally<T>::key;
    constexpr std::size_t block = 4096;
    pool::for_each_piece(signal.size(), min_scan_piece, [&](std::size_t begin, std::size_t end) {
        core::owned_buffer<key> keys(block + key_pass_slack);
        typename median_tally<T>::part part(tally);
        for (std::size_t at = begin; at < end; at += block) {
            if (tally.overflowed()) return;
            const std::size_t length = std::min(block, end - at);
            part.take({keys.data(), append_usable(signal.data() + at, mask.data() + at, length,
                                                  keys.data())});
            part.cover(length);
        }
        tally.merge(part);
    });
    return tally.median(median);
}

// The keys `margin` standard deviations of a sampled rank (plus two ranks)
// on either side of the fraction q of `sample` (reordered); the lowest and
// highest keys stand in where that reaches past the sample's ends.
template <class Key>
std::pair<Key, Key> sample_bracket(std::span<Key> sample, double q, double margin) {
    const double size = static_cast<double>(sample.size());
    const double centre = q * size;
    const double reach = margin * std::sqrt(size * q * (1.0 - q)) + 2.0;
    const double lowest = std::floor(centre - reach);
    const double highest = std::ceil(centre + reach);
    const Key low = lowest < 0.0 ? std::numeric_limits<Key>::min()
                                 : select_rank(sample, static_cast<std::size_t>(lowest));
    const Key high = highest >= size ? std::numeric_limits<Key>::max()
                                     : select_rank(sample, static_cast<std::size_t>(highest));
    return {low, high};
}

}  // namespace

template <class T>
median_tally<T>::median_tally(std::span<const T> signal, std::span<const std::uint8_t> mask)
    : length_(signal.size()) {
    constexpr std::size_t sample_positions = 8192;
    constexpr double margin = 4.0;
    const std::size_t n = signal.size();
    const std::size_t stride = std::max<std::size_t>(n / sample_positions, 1);
    core::owned_buffer<key> sample(sample_positions + 1);
    sample.resize_for_overwrite(sample.capacity());
    std::size_t sampled = 0;
    for (std::size_t i = stride / 2; i < n && sampled <= sample_positions; i += stride) {
        const T x = signal[i];
        if (mask_true(mask[i]) && usable_value(x)) sample[sampled++] = static_cast<key>(to_key(x));
    }
    if (sampled < 64) return;
    std::tie(low_, high_) = sample_bracket(std::span<key>(sample.data(), sampled), 0.5, margin);
    keep_ = low_ != high_;
    // Pieces of a drifting signal keep very different shares (where the
    // level is near the median, all of theirs), so only the total is
    // bounded: a bracket keeping more than an eighth of the signal (a usual
    // one keeps 4 to 7 percent of the usable keys) is not worth the memory
    // and a selection.
    kept_limit_ = n / 8 + 4096;
    active_ = true;
}

template <class T>
void median_tally<T>::part::take(std::span<const key> keys) {
    usable_ += keys.size();
    const median_tally& tally = *tally_;
    if (!tally.keep_) {
        for (const key k : keys) {
            counts_.below += as_count(k < tally.low_);
            counts_.kept += as_count(k == tally.low_);
        }
        return;
    }
    if (tally.overflowed()) return;  // the counts no longer matter
    const std::size_t needed = counts_.kept + keys.size() + key_pass_slack;
    if (needed > kept_.capacity()) kept_.reserve(std::max(kept_.capacity() * 2, needed));
    counts_ = filter_bracket(keys, tally.low_, tally.high_, kept_.data(), counts_);
    // The running total is shared, so it is brought up to date only every
    // few thousand kept keys: pieces of an anchor loop take a few hundred
    // keys at a time.
    constexpr std::size_t report_every = 4096;
    if (counts_.kept - reported_ >= report_every) {
        const std::size_t added = counts_.kept - reported_;
        reported_ = counts_.kept;
        if (tally_->kept_total_.fetch_add(added, std::memory_order_relaxed) + added >
            tally.kept_limit_)
            tally_->overflow_.store(true, std::memory_order_relaxed);
    }
}

template <class T>
void median_tally<T>::merge(part& piece) {
    const std::lock_guard lock(merging_);
    covered_ += piece.covered_;
    usable_ += piece.usable_;
    below_ += piece.counts_.below;
    inside_ += piece.counts_.kept;
    if (keep_ && piece.counts_.kept != 0)
        kept_.push_back({std::move(piece.kept_), piece.counts_.kept});
}

template <class T>
bool median_tally<T>::median(T& out) {
    if (!active_ || overflowed() || covered_ != length_) return false;
    if (usable_ == 0) {
        out = T(0);
        return true;
    }
    const std::size_t rank = usable_ / 2;  // the upper middle for an even count
    if (rank < below_ || rank >= below_ + inside_) return false;
    if (!keep_) {
        out = from_key<T>(low_);
        return true;
    }
    const std::size_t target = rank - below_;
    key answer;
    if (!select_narrowed(target, answer)) {
        core::owned_buffer<key> kept(inside_);
        for (const part_keys& piece : kept_)
            for (std::size_t i = 0; i < piece.count; ++i) kept.push_back_unchecked(piece.keys[i]);
        answer = select_rank(kept.span(), target);
    }
    out = from_key<T>(answer);
    return true;
}

// The kept keys are some percent of the signal (hundreds of thousands on
// 10^7 samples), and putting them together and selecting from all of them
// took 1.1-1.7 ms on one thread while the others waited. A second bracket
// from a strided sample of them, a few percent of them wide, is filtered
// out of the pieces' buffers in one pass instead, and the rank selected
// among what it keeps; where it misses, all of them after all.
template <class T>
bool median_tally<T>::select_narrowed(std::size_t target, key& answer) const {
    constexpr std::size_t sample_keys = 4096;
    constexpr double margin = 4.0;
    if (inside_ < 4 * sample_keys) return false;
    const std::size_t stride = inside_ / sample_keys;
    core::owned_buffer<key> sample(sample_keys + 1);
    std::size_t next = stride / 2;  // the next sampled index among all kept keys
    std::size_t offset = 0;         // the index of the current piece's first key
    for (const part_keys& piece : kept_) {
        for (; next < offset + piece.count && sample.size() < sample.capacity(); next += stride)
            sample.push_back_unchecked(piece.keys[next - offset]);
        offset += piece.count;
    }
    const double q = (static_cast<double>(target) + 0.5) / static_cast<double>(inside_);
    const auto [low, high] = sample_bracket(sample.span(), q, margin);
    core::owned_buffer<key> kept(inside_ + key_pass_slack);
    kept.resize_for_overwrite(kept.capacity());
    bracket_tally tally{0, 0};
    for (const part_keys& piece : kept_)
        tally = filter_bracket(std::span<const key>(piece.keys.data(), piece.count), low, high,
                               kept.data(), tally);
    if (target < tally.below || target >= tally.below + tally.kept) return false;
    answer = select_rank(std::span<key>(kept.data(), tally.kept), target - tally.below);
    return true;
}

namespace {

// The low bit of each byte of a word: the bits mask_true reads.
constexpr std::uint64_t truth_bits = 0x0101010101010101;

// The first true element of m[from, to), or `to` where none is. Masked gaps
// are long stretches of false elements, read eight to a load where words
// hold bytes in memory order (little-endian); see has_masked_run below.
std::size_t next_true(const std::uint8_t* m, std::size_t from, std::size_t to) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        for (; to - from >= 8; from += 8) {
            std::uint64_t word;
            std::memcpy(&word, m + from, sizeof word);
            word &= truth_bits;
            if (word != 0) return from + static_cast<std::size_t>(std::countr_zero(word)) / 8;
        }
    }
    while (from < to && !mask_true(m[from])) ++from;
    return from;
}

// The least b >= floor with m[b, end) all false, scanning down from `end`.
std::size_t false_since(const std::uint8_t* m, std::size_t end, std::size_t floor) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        for (; end - floor >= 8; end -= 8) {
            std::uint64_t word;
            std::memcpy(&word, m + end - 8, sizeof word);
            word &= truth_bits;
            if (word != 0)
                return end - 8 + (63 - static_cast<std::size_t>(std::countl_zero(word))) / 8 + 1;
        }
    }
    while (end > floor && !mask_true(m[end - 1])) --end;
    return end;
}

}  // namespace

bool has_masked_run(std::span<const std::uint8_t> mask, std::size_t run) noexcept {
    const std::uint8_t* m = mask.data();
    const std::size_t length = mask.size();
    if (run < 2 || length < run) return false;
    const std::size_t probe_step = run / 2;
    // The run of false elements around a false probe: forward to its end
    // (or until it is long enough), then back as far as the last element
    // read before. Probes inside a measured run are skipped, so forward
    // reads never overlap and backward ones stop where earlier reads ended.
    std::size_t read_to = 0;  // elements before this were read (or lie before a probe's run)
    for (std::size_t probe = probe_step - 1; probe < length; probe += probe_step) {
        if (probe < read_to || mask_true(m[probe])) continue;
        const std::size_t end = next_true(m, probe + 1, std::min(length, probe + run));
        const std::size_t floor = std::max(read_to, end - std::min(end, run));
        const std::size_t begin = false_since(m, probe, floor);
        if (end - begin >= run) return true;
        read_to = end;
    }
    return false;
}

bool has_masked_run(std::span<const std::uint8_t> mask, std::size_t run, std::size_t parts) {
    const std::size_t n = mask.size();
    if (parts < 2 || run < 2 || n / parts < run) return has_masked_run(mask, run);
    std::atomic<bool> found{false};
    pool::for_each_piece(parts, 1, [&](std::size_t first, std::size_t last) {
        for (std::size_t part = first; part < last; ++part) {
            if (found.load(std::memory_order_relaxed)) return;
            const std::size_t begin = part * (n / parts);
            const std::size_t end =
                part + 1 == parts ? n : std::min(n, (part + 1) * (n / parts) + (run - 1));
            if (has_masked_run(mask.subspan(begin, end - begin), run))
                found.store(true, std::memory_order_relaxed);
        }
    });
    return found.load(std::memory_order_relaxed);
}

template <class T>
T gathered_median(std::span<const T> signal, std::span<const std::uint8_t> mask) {
    core::owned_buffer<std::uint64_t> keys(signal.size());
    keys.resize_for_overwrite(signal.size());
    std::size_t count = 0;
    for (std::size_t i = 0; i < signal.size(); ++i) {
        const T x = signal[i];
        if (mask_true(mask[i]) && usable_value(x)) keys[count++] = ordered<T>::of(x);
    }
    if (count == 0) return T(0);
    // The upper middle for an even count, as below.
    return ordered<T>::value(select_rank(std::span<std::uint64_t>(keys.data(), count), count / 2));
}

template <class T>
T pooled_fallback_median(std::span<const T> signal, std::span<const std::uint8_t> mask) {
    const std::size_t n = signal.size();
    // The scan would reach the mask's end at its own length before anything
    // else could go wrong; failing up front names the same index.
    if (mask.size() < n) core::fail_index_out_of_bounds(mask.size(), mask.size());
    if (n <= gathered_median_limit) return gathered_median(signal, mask);
    T median;
    if (sampled_median(signal, mask, median)) return median;

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
void fill_fallback(const window_inputs<T>& inputs, std::span<U> values, median_tally<T>* tally) {
    if (!inputs.fallback.demanded()) return;
    T median;
    if (tally == nullptr || !tally->median(median))
        median = pooled_fallback_median(inputs.signal, inputs.mask);
    const U fallback = static_cast<U>(median);
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
template class median_tally<double>;
template class median_tally<float>;
template void fill_fallback<double, double>(const window_inputs<double>&, std::span<double>,
                                            median_tally<double>*);
template void fill_fallback<float, float>(const window_inputs<float>&, std::span<float>,
                                          median_tally<float>*);
template void fill_fallback<float, double>(const window_inputs<float>&, std::span<double>,
                                           median_tally<float>*);

}  // namespace vorn::baseline
