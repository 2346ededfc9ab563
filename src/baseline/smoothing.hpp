// The chunked centred moving average over a baseline.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "baseline/key_passes.hpp"

namespace vorn::baseline {

namespace smoothing_detail {

// Two runs of values x0[k] + fractions[k][i] * d[k], each narrowed to
// float32 and widened back (a float32 baseline's interpolated values);
// shift[k] is the run's rounding shift (see float32_rounding_shift), or 0.
struct affine_pair {
    double x0[2];
    double d[2];
    const double* fractions[2];
    double shift[2];
};

// The runs whose values that form describes.
template <class Run>
concept affine_run = requires(const Run& run) {
    { run.x0 } -> std::convertible_to<double>;
    { run.d } -> std::convertible_to<double>;
    { run.fractions } -> std::convertible_to<const double*>;
    { run.shift } -> std::convertible_to<double>;
};

// Up to four runs of values x0[k] + fractions[k][i] * d[k] (for a float32
// baseline, each narrowed to float32 and widened back), one per lane; unused
// lanes repeat lane 0.
struct affine_lanes {
    double x0[4];
    double d[4];
    const double* fractions[4];
    double shift[4];
};

// The fractions of a group of chunks side by side, where the streams are a
// lattice's interpolated values: slots[4 * u + k] is the fraction at offset
// (u + shift[k]) mod step, for u < step. Lane k's runs lie `shift[k]`
// positions past lane 0's in the segment, whatever the run (the chunks
// begin that far apart, modulo the step), so one load gives four lanes'
// fractions, where otherwise four loads and a transpose do.
struct lane_table {
    const double* slots = nullptr;
    const double* fractions = nullptr;  // the lattice's, a / step for a < 2 * step
    std::uint64_t step = 0;
    std::uint64_t shift[4] = {};
};

// Whether interior_lanes has its vector loops here (lane tables are of use).
inline bool lane_loops_available() noexcept {
#if defined(__x86_64__)
    return key_passes_detail::chosen_isa() != key_passes_detail::isa::portable;
#else
    return false;
#endif
}

#if defined(__x86_64__)
// lane_means_avx2 with the lanes' fractions from a lane_table: rows[4 * i + k]
// is lane k's entering (in_rows) or leaving (out_rows) fraction at i.
template <class Out>
std::size_t lane_means_avx2(const affine_lanes& entering, const affine_lanes& leaving,
                            const double* in_rows, const double* out_rows, double width,
                            double* sums, Out* const* outs, std::size_t length) noexcept;

// The loop of running_mean::interior_lanes over affine runs, four positions
// of four lanes at a time (the last one at a time), where the processor has
// AVX2: sums[k] is lane k's running sum, updated, and outs[k] its results
// (Out: float or double, the baseline's type). Returns the positions done:
// all `length` of them.
template <class Out>
std::size_t lane_means_avx2(const affine_lanes& entering, const affine_lanes& leaving,
                            double width, double* sums, Out* const* outs,
                            std::size_t length) noexcept;

// The float32 loop of running_mean::interior_pair over affine runs, two
// positions at a time, where the processor has AVX2: sums[k] is lane k's
// running sum, updated. Returns the positions done, length rounded down to
// an even count.
std::size_t paired_float_means_avx2(const affine_pair& entering, const affine_pair& leaving,
                                    double width, double* sums, float* first_out,
                                    float* second_out, std::size_t length) noexcept;
#endif

}  // namespace smoothing_detail

// The interior loops ask for the cache line of a result slot this many bytes
// ahead of the one they write, for writing, once a line. Results land on
// pages that the call has just faulted in, and the stores otherwise waited on
// each line in turn: at W = 1,001 on 10^7 float64 samples (two cores, builds
// alternated) the smoothing took 9.2-10.3 ms instead of 10.1-11.6, float32
// about 0.3 ms less; 1,024 and 4,096 bytes ahead did as well as 2,048. The
// address is formed as an integer: past the buffer's end it points nowhere,
// and a prefetch of it does nothing.
inline constexpr std::size_t write_ahead_bytes = 2048;

// Result slots to a cache line. The test for a line's first slot stays at
// the call: inside the helper, GCC 12 dropped the prefetch altogether.
template <class T>
inline constexpr std::size_t slots_per_line = 64 / sizeof(T);

template <class T>
inline void claim_ahead(T* slot) noexcept {
    __builtin_prefetch(
        reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(slot) + write_ahead_bytes), 1);
}

// The smoothing's running sum restarts every this many positions. Chunks are
// also the unit of parallel work, so results do not depend on how the pool
// splits the loop.
inline constexpr std::size_t smoothing_chunk = std::size_t{1} << 20;

struct smoothing_window {
    std::uint64_t width;  // odd, at least 3
    std::uint64_t half;   // floor(width / 2)
};

// The moving-average width for a percentile window of `window_samples`: a
// tenth of it, at least 3, made odd so the average is centred.
inline smoothing_window smoothing_width(std::uint64_t window_samples) noexcept {
    const std::uint64_t tenth = std::max<std::uint64_t>(window_samples / 10, 3);
    return {tenth | 1u, tenth / 2};
}

template <class T>
inline bool all_finite(const T* values, std::size_t length) noexcept {
    for (std::size_t i = 0; i < length; ++i)
        if (!std::isfinite(static_cast<double>(values[i]))) return false;
    return true;
}

// A baseline buffer read as a stream of widened values. Streams hand out
// their values one at a time (next) or as runs: run_length(limit) values
// that run_values() yields by index when runs_available() says it can, with
// run_finite(length) telling whether they are all finite (asked of adding
// streams only), and skip(length) moving past them.
template <class T>
class buffered_values {
public:
    explicit buffered_values(const T* at) noexcept : at_(at) {}

    double next() noexcept { return static_cast<double>(*at_++); }

    // Bounded, so that a non-finite value sends only its own stretch of
    // positions down the tallying path.
    std::size_t run_length(std::size_t limit) const noexcept { return std::min(limit, run_limit); }
    bool runs_available() const noexcept { return true; }

    bool run_finite(std::size_t length) const noexcept { return all_finite(at_, length); }

    struct run {
        const T* at;
        double operator[](std::size_t i) const noexcept { return static_cast<double>(at[i]); }
    };
    run run_values() const noexcept { return {at_}; }

    void skip(std::size_t length) noexcept { at_ += length; }

private:
    static constexpr std::size_t run_limit = 4096;

    const T* at_;
};

// Smoothing a buffer in place: the adding stream reads the buffer ahead of
// the position being written and keeps each value it hands out in a ring;
// the removing stream reads them back from the ring once the buffer holds
// the smoothed value there. A value is kept 2 * half + 1 positions before it
// leaves, so a ring of more slots (a power of two, `mask` = slots - 1) never
// overwrites one still to be read.
template <class T>
class saving_values {
public:
    saving_values(const T* at, double* ring, std::size_t mask) noexcept
        : at_(at), ring_(ring), mask_(mask) {}

    double next() noexcept {
        const double value = static_cast<double>(*at_++);
        ring_[position_++ & mask_] = value;
        return value;
    }

    std::size_t run_length(std::size_t limit) const noexcept { return std::min(limit, run_limit); }
    bool runs_available() const noexcept { return true; }

    bool run_finite(std::size_t length) const noexcept { return all_finite(at_, length); }

    struct run {
        const T* at;
        double* ring;
        std::size_t position;
        std::size_t mask;
        double operator[](std::size_t i) const noexcept {
            const double value = static_cast<double>(at[i]);
            ring[(position + i) & mask] = value;
            return value;
        }
    };
    run run_values() const noexcept { return {at_, ring_, position_, mask_}; }

    void skip(std::size_t length) noexcept {
        at_ += length;
        position_ += length;
    }

private:
    static constexpr std::size_t run_limit = 4096;

    const T* at_;
    double* ring_;
    std::size_t mask_;
    std::size_t position_ = 0;
};

class delayed_values {
public:
    delayed_values(const double* ring, std::size_t mask) noexcept : ring_(ring), mask_(mask) {}

    double next() noexcept { return ring_[position_++ & mask_]; }

    std::size_t run_length(std::size_t limit) const noexcept { return limit; }
    bool runs_available() const noexcept { return true; }

    struct run {
        const double* ring;
        std::size_t position;
        std::size_t mask;
        double operator[](std::size_t i) const noexcept { return ring[(position + i) & mask]; }
    };
    run run_values() const noexcept { return {ring_, position_, mask_}; }

    void skip(std::size_t length) noexcept { position_ += length; }

private:
    const double* ring_;
    std::size_t mask_;
    std::size_t position_ = 0;
};

// Writes the smoothed values of positions [begin, begin + out.size()) of a
// baseline of n values to `out`: each the mean of the baseline over
// [j - half, j + half + 1) cut to [0, n). `begin` is the first position of a
// smoothing chunk; the running sum starts from zero there, whichever task runs
// the chunk, and is never carried into the next chunk.
//
// The baseline arrives as two streams of the same values (`adding` and
// `removing`, both positioned at max(begin - half, 0)): a buffer read twice,
// or interpolated values computed twice, which spares the anchor path a
// baseline buffer and a pass over it.
//
// Only finite values enter the running sum; infinities and NaN are counted
// instead. A plain running sum would turn NaN for the rest of the chunk once
// an infinity leaves the window (inf - inf); counting keeps the damage to the
// windows that actually hold the value. Over finite values the adds and
// removes, and hence the rounding, are exactly those of the plain running sum.
template <class T, class Adding, class Removing>
class running_mean {
public:
    running_mean(Adding adding, Removing removing, std::size_t n, std::uint64_t half,
                 std::size_t begin) noexcept
        : adding_(adding), removing_(removing), n_(n), half_(half) {
        add_ = begin >= half ? begin - half : 0;
        remove_ = add_;
    }

    // Interior positions of a chunk starting at `begin` run from here: every
    // one after the chunk's first whose window is not cut by the signal's
    // start makes exactly one add (at j + half) and one remove (at j - half - 1).
    std::size_t interior_begin(std::size_t begin) const noexcept {
        return std::max<std::size_t>(begin + 1, half_ + 1);
    }

    // Positions from this one on have a window cut by the signal's end (j + half + 1 > n).
    std::size_t interior_end() const noexcept { return n_ > half_ ? n_ - half_ : 0; }

    // The longest run, up to `limit` positions, that both streams can hand out at once.
    std::size_t run_length(std::size_t limit) noexcept {
        return removing_.run_length(adding_.run_length(limit));
    }

    // `length` interior positions (see run) of two means side by side, one
    // chunk each. A chunk's running sum is one chain of dependent additions,
    // two per position, and with a division per position that chain sets the
    // pace of a chunk on its own. Two chunks' sums in the two lanes of one
    // vector halve both: one pair of additions and one division serve a
    // position of each. Each lane makes exactly the adds, removes and
    // division, in the order, that run() makes for its chunk alone. The
    // streams' runs hand out their values a pair at a time (pair_at).
    static void interior_pair(running_mean& first, running_mean& second, T* first_out,
                              T* second_out, std::size_t length) noexcept {
        if (!first.plain_run(length) || !second.plain_run(length)) {
            first.interior_run(length, first_out);
            second.interior_run(length, second_out);
            return;
        }
        const auto first_entering = first.adding_.run_values();
        const auto first_leaving = first.removing_.run_values();
        const auto second_entering = second.adding_.run_values();
        const auto second_leaving = second.removing_.run_values();
        using adding_run = decltype(first_entering);
        using removing_run = decltype(first_leaving);
        using lanes = typename adding_run::pair;
        const double width = static_cast<double>(2 * first.half_ + 1);
        const lanes widths = {width, width};
        lanes sum = {first.sum_, second.sum_};
        std::size_t i = 0;
#if defined(__x86_64__)
        // Float32 interpolated values two positions at a time: the loop is
        // limited by its conversions and shuffles (one execution port), and
        // wider vectors convert twice the values per instruction.
        if constexpr (std::is_same_v<T, float> && smoothing_detail::affine_run<adding_run> &&
                      smoothing_detail::affine_run<removing_run>) {
            if (key_passes_detail::chosen_isa() != key_passes_detail::isa::portable) {
                const smoothing_detail::affine_pair entering{
                    {first_entering.x0, second_entering.x0},
                    {first_entering.d, second_entering.d},
                    {first_entering.fractions, second_entering.fractions},
                    {first_entering.shift, second_entering.shift}};
                const smoothing_detail::affine_pair leaving{
                    {first_leaving.x0, second_leaving.x0},
                    {first_leaving.d, second_leaving.d},
                    {first_leaving.fractions, second_leaving.fractions},
                    {first_leaving.shift, second_leaving.shift}};
                double sums[2] = {sum[0], sum[1]};
                i = smoothing_detail::paired_float_means_avx2(entering, leaving, width, sums,
                                                              first_out, second_out, length);
                sum = lanes{sums[0], sums[1]};
            }
        }
#endif
        for (; i < length; ++i) {
            if (i % slots_per_line<T> == 0) {
                claim_ahead(first_out + i);
                claim_ahead(second_out + i);
            }
            sum += adding_run::pair_at(first_entering, second_entering, i);  // add, then remove
            sum -= removing_run::pair_at(first_leaving, second_leaving, i);
            const lanes mean = sum / widths;
#if defined(__SSE2__)
            // Float32 results: both lanes narrowed by one conversion and the
            // second moved down for its store, in place of two scalar
            // conversions and an unpack. The float32 loop is limited by its
            // conversions and shuffles, which share one execution port on
            // x86: with the streams' conversions trimmed too (pair_at), a
            // whole call on 10^7 samples took 0.6-0.9 ms less of about 21.
            if constexpr (std::is_same_v<T, float>) {
                const __m128 narrow = _mm_cvtpd_ps(mean);
                _mm_store_ss(first_out + i, narrow);
                _mm_store_ss(second_out + i, _mm_shuffle_ps(narrow, narrow, 1));
                continue;
            }
#endif
            first_out[i] = static_cast<T>(mean[0]);
            second_out[i] = static_cast<T>(mean[1]);
        }
        first.sum_ = sum[0];
        second.sum_ = sum[1];
        for (running_mean* mean : {&first, &second}) {
            mean->add_ += length;
            mean->remove_ += length;
            mean->adding_.skip(length);
            mean->removing_.skip(length);
        }
    }

    // `length` interior positions (see run) of `count` means side by side,
    // one chunk each, up to four. Two go to interior_pair. Three or four
    // means share the lanes of one vector of sums where the processor has
    // AVX2: each lane makes the adds, removes and division of run() for its
    // chunk alone, in the same order, and the fractions of four positions
    // of the four lanes take one transpose per stream. One chunk's chain of
    // additions (two per position) leaves most of the processor idle, so
    // three side by side take well under three times as long.
    static void interior_lanes(
        running_mean* const* means, std::size_t count, T* const* outs, std::size_t length,
        [[maybe_unused]] const smoothing_detail::lane_table* table = nullptr) noexcept {
        if (count == 1) {
            means[0]->interior_run(length, outs[0]);
            return;
        }
        if (count == 2) {
            interior_pair(*means[0], *means[1], outs[0], outs[1], length);
            return;
        }
        std::size_t done = 0;
#if defined(__x86_64__)
        using adding_run = decltype(means[0]->adding_.run_values());
        using removing_run = decltype(means[0]->removing_.run_values());
        if constexpr (smoothing_detail::affine_run<adding_run> &&
                      smoothing_detail::affine_run<removing_run>) {
            bool plain = smoothing_detail::lane_loops_available();
            for (std::size_t k = 0; k < count && plain; ++k) plain = means[k]->plain_run(length);
            if (plain) {
                smoothing_detail::affine_lanes entering;
                smoothing_detail::affine_lanes leaving;
                double sums[4];
                T* lane_outs[4];
                for (std::size_t lane = 0; lane < 4; ++lane) {
                    running_mean& mean = *means[lane < count ? lane : 0];
                    const adding_run in = mean.adding_.run_values();
                    const removing_run out = mean.removing_.run_values();
                    entering.x0[lane] = in.x0;
                    entering.d[lane] = in.d;
                    entering.fractions[lane] = in.fractions;
                    entering.shift[lane] = in.shift;
                    leaving.x0[lane] = out.x0;
                    leaving.d[lane] = out.d;
                    leaving.fractions[lane] = out.fractions;
                    leaving.shift[lane] = out.shift;
                    sums[lane] = mean.sum_;
                    lane_outs[lane] = outs[lane < count ? lane : 0];
                }
                const double width = static_cast<double>(2 * means[0]->half_ + 1);
                const double* in_rows = nullptr;
                const double* out_rows = nullptr;
                if (table != nullptr) {
                    in_rows = table_rows(*table, entering.fractions, count, length);
                    out_rows = table_rows(*table, leaving.fractions, count, length);
                }
                done = in_rows != nullptr && out_rows != nullptr
                           ? smoothing_detail::lane_means_avx2(entering, leaving, in_rows,
                                                               out_rows, width, sums, lane_outs,
                                                               length)
                           : smoothing_detail::lane_means_avx2(entering, leaving, width, sums,
                                                               lane_outs, length);
                for (std::size_t k = 0; k < count; ++k) {
                    running_mean& mean = *means[k];
                    mean.sum_ = sums[k];
                    mean.add_ += done;
                    mean.remove_ += done;
                    mean.adding_.skip(done);
                    mean.removing_.skip(done);
                }
            }
        }
#endif
        if (done < length)
            for (std::size_t k = 0; k < count; ++k)
                means[k]->interior_run(length - done, outs[k] + done);
    }

    // The table's rows for runs of `length` whose lanes read `fractions`, or
    // null where a lane's run is not where the table has it (in the signal's
    // last segment, offsets run on past the step).
    static const double* table_rows(const smoothing_detail::lane_table& table,
                                    const double* const* fractions, std::size_t count,
                                    std::size_t length) noexcept {
        const std::uint64_t u = static_cast<std::uint64_t>(fractions[0] - table.fractions);
        if (u >= table.step || length > table.step - u) return nullptr;
        for (std::size_t k = 1; k < count; ++k) {
            const std::uint64_t shifted = u + table.shift[k];
            const std::uint64_t offset = shifted < table.step ? shifted : shifted - table.step;
            if (fractions[k] != table.fractions + offset || length > table.step - offset)
                return nullptr;
        }
        return table.slots + 4 * u;
    }

    void run(std::size_t begin, std::span<T> out) noexcept {
        const std::size_t end = begin + out.size();
        std::size_t j = begin;
        const std::size_t head_end = std::min(end, interior_begin(begin));
        if (j < head_end) out[0] = step(j++);
        // Windows cut by the signal's start but not its end grow by one value a position.
        edge_run<true>(j, std::min(head_end, interior_end()), begin, out.data());
        for (; j < head_end; ++j) out[j - begin] = step(j);
        const std::size_t fast_end = std::max(j, std::min(end, interior_end()));
        while (j < fast_end) {
            const std::size_t length = run_length(fast_end - j);
            interior_run(length, out.data() + (j - begin));
            j += length;
        }
        // Windows cut by the signal's end but not its start shrink by one.
        if (j >= half_) edge_run<false>(j, end, begin, out.data());
        for (; j < end; ++j) out[j - begin] = step(j);
    }

private:
    // Positions j up to `stop` whose window gains (growing) or loses one
    // value each and is otherwise cut by the signal's ends: the first and
    // last `half` positions of a signal. Over finite runs with nothing
    // tallied, the adds or removes and divisions of step() without its
    // general loops and tests (at W = 1,000,001, 100,000 positions of
    // 10^7 took a twentieth of the smoothing one position at a time).
    // out[0] is position begin's result slot.
    template <bool growing>
    void edge_run(std::size_t& j, std::size_t stop, std::size_t begin, T* out) noexcept {
        T* const at = out + (j - begin);  // position j's slot, as j enters
        const std::size_t first = j;
        while (j < stop) {
            std::size_t length;
            bool plain = nans_ == 0 && positive_infinities_ == 0 && negative_infinities_ == 0;
            if constexpr (growing) {
                length = adding_.run_length(stop - j);
                plain = plain && adding_.run_finite(length);
            } else {
                length = removing_.run_length(stop - j);
                plain = plain && removing_.runs_available();
            }
            if (length < 2 || !plain) {
                at[j - first] = step(j);
                ++j;
                continue;
            }
            double sum = sum_;
            if constexpr (growing) {
                const auto entering = adding_.run_values();
                for (std::size_t i = 0; i < length; ++i) {
                    sum += entering[i];  // window [0, j + i + half + 1)
                    at[j - first + i] =
                        static_cast<T>(sum / static_cast<double>(j + i + half_ + 1));
                }
                adding_.skip(length);
                add_ += length;
            } else {
                // The values leaving are finite: they are in the window,
                // which holds nothing tallied.
                const auto leaving = removing_.run_values();
                for (std::size_t i = 0; i < length; ++i) {
                    sum -= leaving[i];  // window [j + i - half, n)
                    at[j - first + i] =
                        static_cast<T>(sum / static_cast<double>(n_ - (j + i - half_)));
                }
                removing_.skip(length);
                remove_ += length;
            }
            sum_ = sum;
            j += length;
        }
    }

    // The general position: any number of adds and removes, non-finite
    // values tallied.
    T step(std::size_t j) noexcept {
        const std::size_t hi = half_ >= n_ - j - 1 ? n_ : j + half_ + 1;
        const std::size_t lo = j >= half_ ? j - half_ : 0;
        // Adds for this position come before removes, both ascending: the
        // running sum's rounding depends on this order. A chunk's first
        // position adds a whole window (2 * half + 1 values); where the
        // stream hands out finite runs, those are summed as the plain loop
        // of interior_run sums them, the same adds in the same order without
        // a test per value (at W = 1,000,001 the ten chunks of 10^7
        // positions spent a sixteenth of the call adding value by value).
        while (add_ < hi) {
            const std::size_t length = adding_.run_length(hi - add_);
            if (length > 1 && adding_.run_finite(length)) {
                const auto values = adding_.run_values();
                double sum = sum_;
                for (std::size_t i = 0; i < length; ++i) sum += values[i];
                sum_ = sum;
                adding_.skip(length);
                add_ += length;
            } else {
                enter(adding_.next());
                ++add_;
            }
        }
        for (; remove_ < lo; ++remove_) leave(removing_.next());
        return mean(static_cast<double>(hi - lo));
    }

    // `length` interior positions over runs of both streams. When every value
    // involved is finite, the loop carries nothing but the sum: the values
    // and the divisions of different positions overlap, and the two
    // dependent adds per position set the pace. Otherwise position by
    // position as step() does.
    //
    // The values leaving during the run are those of the previous position's
    // window, which the tallies say are all finite when they are zero, and
    // those entering earlier in the run; so the entering values are the only
    // ones to check.
    bool plain_run(std::size_t length) const noexcept {
        return nans_ == 0 && positive_infinities_ == 0 && negative_infinities_ == 0 &&
               adding_.run_finite(length) && removing_.runs_available();
    }

    void interior_run(std::size_t length, T* out) noexcept {
        const double width = static_cast<double>(2 * half_ + 1);
        if (plain_run(length)) {
            add_ += length;
            remove_ += length;
            const auto entering = adding_.run_values();
            const auto leaving = removing_.run_values();
            double sum = sum_;
            for (std::size_t i = 0; i < length; ++i) {
                if (i % slots_per_line<T> == 0) claim_ahead(out + i);
                sum += entering[i];  // add before remove, as in step()
                sum -= leaving[i];
                out[i] = static_cast<T>(sum / width);
            }
            sum_ = sum;
            adding_.skip(length);
            removing_.skip(length);
            return;
        }
        add_ += length;
        remove_ += length;
        for (std::size_t i = 0; i < length; ++i) {
            enter(adding_.next());
            leave(removing_.next());
            out[i] = mean(width);
        }
    }

    void enter(double value) noexcept {
        if (std::isfinite(value)) {
            sum_ += value;
        } else {
            ++tally(value);
        }
    }

    void leave(double value) noexcept {
        if (std::isfinite(value)) {
            sum_ -= value;
        } else {
            --tally(value);
        }
    }

    // Non-finite values are tallied by kind instead of entering the sum.
    std::size_t& tally(double value) noexcept {
        if (value != value) return nans_;
        return value > 0 ? positive_infinities_ : negative_infinities_;
    }

    T mean(double count) const noexcept {
        double value;
        if (nans_ != 0 || (positive_infinities_ != 0 && negative_infinities_ != 0)) {
            value = std::numeric_limits<double>::quiet_NaN();
        } else if (positive_infinities_ != 0) {
            value = std::numeric_limits<double>::infinity();
        } else if (negative_infinities_ != 0) {
            value = -std::numeric_limits<double>::infinity();
        } else {
            value = sum_ / count;
        }
        return static_cast<T>(value);
    }

    Adding adding_;
    Removing removing_;
    std::size_t n_;
    std::uint64_t half_;
    std::size_t add_;
    std::size_t remove_;
    double sum_ = 0.0;
    std::size_t positive_infinities_ = 0;
    std::size_t negative_infinities_ = 0;
    std::size_t nans_ = 0;
};

// One smoothing chunk: positions [begin, begin + out.size()), begin a
// multiple of smoothing_chunk, both streams positioned at max(begin - half, 0).
template <class T, class Adding, class Removing>
void smooth_run(Adding adding, Removing removing, std::size_t n, std::uint64_t half,
                std::size_t begin, std::span<T> out) noexcept {
    running_mean<T, Adding, Removing>(adding, removing, n, half, begin).run(begin, out);
}

// smooth_run on up to four chunks of one baseline, side by side (see
// running_mean::interior_lanes): chunk k is positions [begins[k], begins[k] +
// outs[k].size()), a whole smoothing chunk, and stream_at(i) makes a stream
// of the baseline's values from position i. Each chunk gets exactly the
// values smooth_run gives it; only interior positions that several have at
// once are side by side, and a chunk that ends (the signal's last, shorter
// one) leaves the others to go on without it.
//
// Where the streams' runs end every `phase_step` positions (at multiples of
// it), the chunks first go on alone until their positions agree modulo
// phase_step; side by side, their runs then end together, where otherwise
// each chunk's ends cut everyone's runs (at W = 1,001, runs of about 40
// positions instead of 101 and 149). A lane_table must then have its lanes
// in phase (every shift 0).
template <class T, class StreamAt>
void smooth_group(StreamAt stream_at, std::size_t n, std::uint64_t half,
                  std::span<const std::size_t> begins, std::span<const std::span<T>> outs,
                  const smoothing_detail::lane_table* table = nullptr,
                  std::uint64_t phase_step = 0) noexcept {
    using stream = decltype(stream_at(std::size_t{0}));
    using mean = running_mean<T, stream, stream>;
    constexpr std::size_t most = 4;
    if (begins.size() > most) {  // more than a vector's lanes: in turns
        smooth_group<T>(stream_at, n, half, begins.first(most), outs.first(most), nullptr,
                        phase_step);
        smooth_group<T>(stream_at, n, half, begins.subspan(most), outs.subspan(most), nullptr,
                        phase_step);
        return;
    }
    const std::size_t count = begins.size();
    std::array<std::optional<mean>, most> chunks;
    mean* means[most];
    std::array<std::size_t, most> at{};
    std::array<std::size_t, most> stop{};
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t from = begins[k] >= half ? begins[k] - half : 0;
        means[k] = &chunks[k].emplace(stream_at(from), stream_at(from), n, half, begins[k]);
        // The chunk's first positions (only the first of a chunk past the
        // signal's first `half` + 1) on its own, as run() takes them.
        const std::size_t end = begins[k] + outs[k].size();
        const std::size_t head_end = std::min(end, means[k]->interior_begin(begins[k]));
        means[k]->run(begins[k], outs[k].first(head_end - begins[k]));
        at[k] = head_end;
        stop[k] = std::max(head_end, std::min(end, means[k]->interior_end()));
    }
    if (phase_step != 0) {
        for (std::size_t k = 1; k < count; ++k) {
            const std::uint64_t behind = (at[0] % phase_step + phase_step - at[k] % phase_step) %
                                         phase_step;
            const std::size_t until = std::min<std::size_t>(stop[k], at[k] + behind);
            while (at[k] < until) {
                const std::size_t length = means[k]->run_length(until - at[k]);
                T* const out = outs[k].data() + (at[k] - begins[k]);
                mean::interior_lanes(&means[k], 1, &out, length);
                at[k] += length;
            }
        }
    }
    for (;;) {
        mean* active[most];
        T* active_outs[most];
        std::size_t lanes = 0;
        std::size_t length = std::numeric_limits<std::size_t>::max();
        for (std::size_t k = 0; k < count; ++k) {
            if (at[k] == stop[k]) continue;
            length = means[k]->run_length(std::min(length, stop[k] - at[k]));
            active[lanes] = means[k];
            active_outs[lanes++] = outs[k].data() + (at[k] - begins[k]);
        }
        if (lanes == 0) break;
        // The table's lanes are the group's chunks in order: only while all run.
        mean::interior_lanes(active, lanes, active_outs, length,
                             lanes == count ? table : nullptr);
        for (std::size_t k = 0; k < count; ++k)
            if (at[k] != stop[k]) at[k] += length;
    }
    for (std::size_t k = 0; k < count; ++k) {
        if (at[k] < begins[k] + outs[k].size())
            means[k]->run(at[k], outs[k].subspan(at[k] - begins[k]));
    }
}

}  // namespace vorn::baseline
