// Short windows on long signals: kernel, interpolation and smoothing in one pass per chunk.
#include "baseline/short_window_chunks.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "baseline/anchor_interpolation.hpp"
#include "baseline/fallback_fill.hpp"
#include "baseline/float_keys.hpp"
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
                      key_of_t<T> fallback, double* out) noexcept {
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

template <class T>
using evaluate_function = bool (*)(const key_of_t<T>*, const std::uint32_t*, std::size_t,
                                   std::size_t, const std::uint8_t*, key_of_t<T>,
                                   double*) noexcept;

// evaluate_windows for windows of 2h keys, h = 1 .. 16.
template <class T>
evaluate_function<T> evaluator(std::size_t half) noexcept {
    static constexpr auto table = []<std::size_t... h>(std::index_sequence<h...>) {
        return std::array<evaluate_function<T>, sizeof...(h)>{&evaluate_windows<T, 2 * (h + 1)>...};
    }(std::make_index_sequence<fused_window_limit / 2>{});
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
};

// The baseline values (kernel values on the direct path, interpolated ones on
// the anchor path) of consecutive positions, a batch at a time.
template <class T>
class fused_source {
public:
    using key = key_of_t<T>;

    fused_source(const fused_plan<T>& plan, std::size_t position, key fallback)
        : plan_(plan), position_(position), fallback_(fallback),
          keys_(batch + 2 * plan.step + 2 * plan.half + 2 * fused_window_limit),
          usable_before_(batch + 2 * plan.step + 2 * plan.half + 2 * fused_window_limit + 1),
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
                                     plan_.ranks.data(), fallback_, out);
        } else {
            const std::size_t step = plan_.step;
            const std::size_t last_segment = plan_.anchor_count - 2;
            const std::size_t first = std::min(position_ / step, last_segment);
            const std::size_t last = std::min((position_ + count - 1) / step, last_segment) + 1;
            fill_keys(static_cast<std::int64_t>(first * step) - static_cast<std::int64_t>(h),
                      (last - first) * step + 2 * h);
            double* anchors = anchors_.data();
            empty_ |= plan_.evaluate(keys_.data(), usable_before_.data(), step, last - first + 1,
                                     plan_.ranks.data(), fallback_, anchors);
            // The straight line between neighbouring anchors, over tabulated
            // fractions (exact for these positions, see anchor_lattice); past
            // the last anchor the last segment runs on.
            std::size_t offset = position_ - first * step;
            std::size_t i = 0;
            if (step == 1) {
                // Every position an anchor: t = 0 up to the last segment,
                // one position per segment.
                const std::size_t whole = std::min(count, last_segment - first);
                for (; i < whole; ++i)
                    out[i] = segment_value<T>(anchors[i], anchors[i + 1], anchors[i + 1] - anchors[i],
                                              0.0);
            }
            for (std::size_t segment = first + i; i < count; ++segment, offset = 0) {
                const std::size_t length =
                    segment == last_segment ? count - i : std::min(count - i, step - offset);
                const double x0 = anchors[segment - first];
                const double x1 = anchors[segment - first + 1];
                const double d = x1 - x0;
                const double* t = plan_.fractions + offset;
                for (std::size_t k = 0; k < length; ++k) out[i + k] = segment_value<T>(x0, x1, d, t[k]);
                i += length;
            }
        }
        position_ += count;
        return count;
    }

    bool met_empty_window() const noexcept { return empty_; }

private:
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
           chunks >= std::max<std::size_t>(workers, 2) &&
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
                       fractions.data(), {}, evaluator<T>(half)};
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
