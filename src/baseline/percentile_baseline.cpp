// The whole baseline of a signal: path choice, kernel passes on the pool, smoothing.
#include "baseline/percentile_baseline.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>

#include "baseline/anchor_interpolation.hpp"
#include "baseline/fallback_fill.hpp"
#include "baseline/pool.hpp"
#include "baseline/short_window_chunks.hpp"
#include "baseline/smoothing.hpp"
#include "baseline/sorted_window.hpp"
#include "baseline/window_percentile.hpp"
#include "baseline/window_runs.hpp"

namespace vorn::baseline {

namespace {

// n x W <= direct_work_limit without forming a product that could wrap: for
// W > 0 it is the same test as n <= floor(limit / W).
bool takes_direct_path(std::uint64_t n, std::uint64_t window_samples) noexcept {
    return window_samples == 0 || n <= direct_work_limit / window_samples;
}

// The buffers of a long signal are written once, page by page, and the
// first touch of a fresh 4 KiB page costs a fault and a clear that together
// take longer than the smoothing that writes it. Where the kernel backs
// advised memory with 2 MiB pages (transparent huge pages in "madvise" or
// "always" mode), one fault covers 512 of them. Only a hint: if the kernel
// declines, nothing changes.
constexpr std::size_t huge_page_bytes = std::size_t{1} << 21;

void advise_huge_pages(void* data, std::size_t bytes) noexcept {
    constexpr std::uintptr_t huge_page = huge_page_bytes;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t begin = (start + huge_page - 1) & ~(huge_page - 1);
    const std::uintptr_t end = (start + bytes) & ~(huge_page - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

// A buffer of exactly `count` slots, to be written before it is read. Its
// capacity is exactly `count`, which lets the result be handed on as the
// storage of an array without trimming. Buffers of large_buffer_bytes and
// more start on a huge-page boundary and own whole huge pages (the last
// one's slack is never touched by us): otherwise the stretches before the
// first boundary and after the last, a huge page together on average, fault
// in 4 KiB at a time, some 500 faults a call.
// From 3 MiB on, rounding up to whole huge pages costs at most a third
// more, and spares hundreds of faults: the fraction table at W = 1,000,001
// (4,000,000 bytes) faulted in about a thousand 4 KiB pages a call.
constexpr std::size_t large_buffer_bytes = std::size_t{3} << 20;

template <class U>
core::owned_buffer<U> uninitialised_buffer(std::size_t count) {
    core::owned_buffer<U> buffer;
    const std::size_t bytes = core::owned_buffer<U>::bytes_for(count);
    const bool large = bytes >= large_buffer_bytes;
    if (large) {
        buffer.reserve_aligned(count, huge_page_bytes);
    } else {
        buffer.reserve(count);
    }
    buffer.resize_for_overwrite(count);
    // The whole of the last huge page too: it is the buffer's own (see reserve_aligned).
    if (large) {
        const std::size_t whole_pages = (bytes + huge_page_bytes - 1) & ~(huge_page_bytes - 1);
        advise_huge_pages(buffer.data(), whole_pages);
    }
    return buffer;
}

// Steps up to this get a lane_table per group of three chunks (4 x step
// values, 1 MiB at most): W up to about 130,000.
constexpr std::uint64_t lane_table_step_limit = std::uint64_t{1} << 15;

// Steps up to this put a group's chunks in phase (see smooth_group): each
// chunk goes on alone for less than a step first. At W = 1,001 on 10^7
// float32 samples (two cores, least of 10 calls, builds alternated) white
// noise took 13.3-13.7 ms instead of 14.4-14.8, the random walk 20.2-20.3
// instead of 21.1-21.8 and the walk half masked in blocks 15.9-16.3 instead
// of 17.0-17.5; float64, and steps of 2,500 and 4,000, were even.
constexpr std::uint64_t phase_step_limit = 4096;

// The smoothing of a whole baseline of out.size() values, chunk by chunk,
// into out; stream_at(i) makes a stream of the baseline's values from
// position i. Neighbouring chunks smoothed side by side (smooth_group) take
// well under their separate times, so chunks go to the workers in groups.
// Groups hold up to three chunks: a third as many groups as chunks, but at
// least two per worker, so that two cores get a pair and a triple each
// instead of two pairs and a single chunk. In float32, at W = 1,000,001
// that took 17.8-19.1 ms instead of 19.0-22.2 (bleaching and random walk,
// least of 20 calls, alternating builds); at W = 1,001, whose runs were
// then about 40 positions (chunks out of phase), the two were even until
// the triples' fractions came from a lane_table (below: 16.9-17.2 ms
// instead of 17.4-17.8 for bleaching, and at W = 10,001 10.3-11.1 instead
// of 11.7-12.1 for white noise). Float64 triples share a vector as float32
// ones do; against groups of one or two (1, 2, 2, 1, 2, 2 on two cores: a
// single chunk's sum is one chain of dependent additions) a float64 call on
// 10^7 samples took 1.0-1.8 ms less at every width from 1,001 to 1,000,001
// on white noise and a random walk (a 2-core AMD EPYC, least of 12 calls,
// builds alternated in one process; the walk at W = 1,001 23.8 ms instead
// of 25.2).
template <class T, class StreamAt>
void smooth_chunks(std::span<T> out, std::uint64_t half, const anchor_lattice& lattice,
                   StreamAt stream_at) {
    const std::size_t n = out.size();
    const std::size_t chunks = (n + smoothing_chunk - 1) / smoothing_chunk;
    const std::size_t workers = pool::worker_count();
    const std::size_t groups = std::min(chunks, std::max((chunks + 2) / 3, 2 * workers));
    pool::for_each_piece(groups, 1, [&](std::size_t first, std::size_t last) {
        for (std::size_t group = first; group < last; ++group) {
            const std::size_t chunk = group * chunks / groups;
            const std::size_t group_end = (group + 1) * chunks / groups;  // at most 3 chunks
            std::array<std::size_t, 4> begins;
            std::array<std::span<T>, 4> outs;
            for (std::size_t c = chunk; c < group_end; ++c) {
                const std::size_t begin = c * smoothing_chunk;
                begins[c - chunk] = begin;
                outs[c - chunk] = out.subspan(begin, std::min(smoothing_chunk, n - begin));
            }
            const std::size_t count = group_end - chunk;
            // Where three or four chunks share a vector, their fractions side
            // by side (lane_table): the loop then loads each position's four
            // at once. Built per group: out of phase (wider steps), its
            // chunks' offsets differ.
            const bool in_phase = lattice.step <= phase_step_limit;
            core::owned_buffer<double> slots;
            smoothing_detail::lane_table table;
            const bool tabled = count >= 3 &&
                                lattice.fractions != nullptr &&
                                lattice.step <= lane_table_step_limit &&
                                smoothing_detail::lane_loops_available();
            if (tabled) {
                const std::size_t step = static_cast<std::size_t>(lattice.step);
                slots.resize_for_overwrite(4 * step);
                table = {slots.data(), lattice.fractions, lattice.step, {}};
                if (!in_phase)
                    for (std::size_t k = 1; k < count; ++k)
                        table.shift[k] = (begins[k] - begins[0]) % lattice.step;
                for (std::size_t u = 0; u < step; ++u) {
                    for (std::size_t k = 0; k < 4; ++k) {
                        const std::uint64_t shifted = u + table.shift[k];
                        slots[4 * u + k] = lattice.fractions[shifted < step ? shifted
                                                                            : shifted - step];
                    }
                }
            }
            smooth_group<T>(stream_at, n, half, std::span<const std::size_t>(begins.data(), count),
                            std::span<const std::span<T>>(outs.data(), count),
                            tabled ? &table : nullptr, in_phase ? lattice.step : 0);
        }
    });
}

// The moving average over a finished baseline buffer (or the buffer itself
// when the signal is shorter than the smoothing width).
template <class T>
core::owned_buffer<T> smoothed_baseline(core::owned_buffer<T> baseline,
                                        const smoothing_window& smoothing) {
    const std::size_t n = baseline.size();
    if (n < smoothing.width) return baseline;

    // A signal of one smoothing chunk is smoothed in place, its values kept
    // in a ring of a little more than one smoothing window until they leave
    // the window (see saving_values): no second buffer to fault in. The ring
    // is small: smoothing needs n >= W / 10 and this path n x W <= 10^7, so
    // W <= 10^4 and the width is at most 1001.
    if (n <= smoothing_chunk) {
        const std::size_t ring_slots =
            std::bit_ceil(static_cast<std::size_t>(smoothing.width) + 1);
        core::owned_buffer<double> ring(ring_slots);
        T* data = baseline.data();
        smooth_run(saving_values<T>(data, ring.data(), ring_slots - 1),
                   delayed_values(ring.data(), ring_slots - 1), n, smoothing.half, 0,
                   baseline.span());
        return baseline;
    }

    auto smoothed = uninitialised_buffer<T>(n);
    const T* unsmoothed = baseline.data();
    pool::for_each_chunk(smoothed.span(), smoothing_chunk,
                         [&](std::size_t chunk_index, std::span<T> chunk) {
                             const std::size_t begin = chunk_index * smoothing_chunk;
                             const T* from = unsmoothed + (begin >= smoothing.half
                                                               ? begin - smoothing.half
                                                               : 0);
                             smooth_run(buffered_values<T>{from}, buffered_values<T>{from}, n,
                                        smoothing.half, begin, chunk);
                         });
    return smoothed;  // the unsmoothed baseline is released here
}

// Signals up to this length run every loop on the calling thread: below it
// waking a worker and starting a second piece's window cost about what the
// second core saves. Timed on this branch's kernels in one process, serial
// against pooled, each round taken only after both cores had been at least
// 85% idle for 0.3 s (2 cores, shared; minimum of 12 rounds): serial took
// 0.93-1.04 times the pooled time at n = 1,000 and 2,000, 1.02-1.35 at
// n = 3,000, 1.07-1.23 at n = 5,000 and 1.40-1.65 at n = 16,000. On a
// loaded machine pooling gains nothing at these lengths (the other core is
// busy) and costs up to 1.4 times at n = 5,000, W = 1001.
constexpr std::size_t calling_thread_limit = 2048;

// The search for a masked run goes to the pool in stretches of at least this
// many elements (see has_masked_run).
constexpr std::size_t masked_run_stretch = std::size_t{1} << 18;

// Signals up to this length take the fused pass of short windows on the
// calling thread (see percentile_baseline).
constexpr std::size_t fused_serial_limit = 16384;

// Pools of up to this many workers leave a signal of one smoothing chunk to
// the fused pass on the calling thread, however long: the separate passes
// that could share it out evaluate each window by the general kernel and
// store it for the smoothing, and on two cores took 1.1 to 4.0 times as long
// (W = 5 to 27, n = 20,000 to 1,000,000, both element types, a 2-core AMD
// EPYC; W = 11 at n = 100,000: 1.05 ms against 0.52 in float64, 0.82
// against 0.41 in float32). At W = 33, 0.94 to 1.9 times.
constexpr std::size_t fused_single_chunk_workers = 2;

// Kernel values at every position, then the chunked moving average over them.
template <class T>
core::owned_buffer<T> direct_path(const window_inputs<T>& inputs,
                                  const smoothing_window& smoothing) {
    const std::size_t n = inputs.signal.size();
    auto baseline = uninitialised_buffer<T>(n);
    const std::span<T> values = baseline.span();
    // A piece starts by filling and ranking a whole window, which costs
    // about as much as moving the window across a few dozen positions; 64
    // windows' worth of positions per piece keeps that small, while at
    // least eight pieces (if they can have 1024 positions) keep the workers
    // busy.
    const std::size_t window = static_cast<std::size_t>(
        std::min<std::uint64_t>(2 * inputs.half_window, n));
    // A rank-space piece sorts the keys of its windows, a window's length
    // more than its positions: pieces of at least two windows keep that
    // overlap to half a piece (these signals are short: n x W <= 10^7).
    const std::size_t min_piece =
        n <= calling_thread_limit ? n
        : takes_rank_space(inputs)
            ? 2 * window
            : std::max<std::size_t>(std::min(64 * window, n / 8), 1024);
    pool::for_each_piece(n, min_piece, [&](std::size_t begin, std::size_t end) {
        direct_run(inputs, begin, values.subspan(begin, end - begin));
    });
    fill_fallback(inputs, values);
    return smoothed_baseline(std::move(baseline), smoothing);
}

// a / step for every offset a < 2 * step, when the table is small and exact:
// every position and anchor position below 2^53 (see anchor_lattice).
// "Small" is up to tabulated_step_limit, or a quarter of the signal's length
// in doubles for wider steps: without the table each position costs two
// divisions (one per smoothing stream), which at W = 100,001 on 10^7
// samples took longer than the whole kernel pass.
core::owned_buffer<double> fraction_table(std::uint64_t n, std::uint64_t step) {
    constexpr std::uint64_t exact_limit = std::uint64_t{1} << 53;
    if (step > tabulated_step_limit && step > n / 8) return {};
    if (2 * step > exact_limit || n > exact_limit - 2 * step) return {};
    auto table = uninitialised_buffer<double>(static_cast<std::size_t>(2 * step));
    const double divisor = static_cast<double>(step);
    // A division per slot: at W = 1,000,001 the 500,000 of them took half a
    // millisecond on one thread while the other waited. Two slots per
    // division instruction (the lanes divide exactly as the scalar does):
    // at W = 1,000,001 the table took 0.35 ms on two cores one slot at a
    // time.
    using pair = double __attribute__((vector_size(16)));
    const pair divisors = {divisor, divisor};
    double* const slots = table.data();
    pool::for_each_piece(table.size(), std::size_t{1} << 16,
                         [&](std::size_t begin, std::size_t end) {
                             std::size_t a = begin;
                             for (; a + 2 <= end; a += 2) {
                                 const pair offsets = {static_cast<double>(a),
                                                       static_cast<double>(a + 1)};
                                 const pair fractions = offsets / divisors;
                                 std::memcpy(slots + a, &fractions, sizeof fractions);
                             }
                             for (; a < end; ++a) slots[a] = static_cast<double>(a) / divisor;
                         });
    return table;
}

// Below this anchor step (windows of fewer than 16 samples) the interpolated
// baseline is stored and smoothed like the direct path's: segments of one to
// three positions make the fused smoothing below fall back to one position
// at a time, on two streams, which costs more than writing the values once
// (W = 7 took 26 ms instead of 36 single-threaded at n = 2,000,000; at step
// 5 the two were even, at step 12 the fused pass won).
constexpr std::uint64_t materialised_step_limit = 4;

// Anchors where pieces would be fewer than two a worker (wide windows: 40
// anchors at W = 1,000,001 on 10^7 samples): each worker starts on an equal
// share, and one that finishes takes the later half of the largest share
// still running, at the cost of filling its own first window. How long an
// anchor takes depends on the signal there (how many of the ring's blocks
// lie clear of its bracket): on the random walk half masked in blocks, the
// second half of the anchors took 6.4-6.6 ms against 4.4-5.0 for the first
// (float64, two cores), and one worker waited for the other. Taking halves,
// the anchors took 4.9-5.2 ms instead of 5.4-5.6 there, 15.3-15.9 instead
// of 16.1 on float64 white noise and 4.2-4.4 instead of 4.5-4.7 on a
// float32 random walk (least of 10 calls, the two builds alternated in one
// process).
constexpr std::size_t least_taken_anchors = 3;

template <class T>
void claimed_anchor_runs(const window_inputs<T>& inputs, std::uint64_t step,
                         std::span<double> values, std::size_t lanes) {
    const std::size_t count = values.size();
    const auto claims = std::make_unique<anchor_claims[]>(lanes);
    for (std::size_t lane = 0; lane < lanes; ++lane)
        claims[lane].assign(lane * count / lanes, (lane + 1) * count / lanes);
    pool::for_each_piece(lanes, 1, [&](std::size_t first, std::size_t last) {
        for (std::size_t lane = first; lane < last; ++lane) {
            anchor_claims& own = claims[lane];
            for (;;) {
                const auto [next, limit] = own.bounds();
                if (next < limit)
                    anchor_run(inputs, step, next, values.subspan(next, limit - next),
                               static_cast<median_tally<T>*>(nullptr), &own);
                // Then the later half of the largest share left, if any is
                // worth a window of its own.
                std::size_t largest = 0;
                std::size_t from = lanes;
                for (std::size_t other = 0; other < lanes; ++other) {
                    const std::size_t left = claims[other].remaining();
                    if (left > largest) largest = left, from = other;
                }
                if (largest < least_taken_anchors) break;
                const auto [begin, end] = claims[from].cut(least_taken_anchors);
                if (begin != end) own.assign(begin, end);
            }
        }
    });
}

// The kernel at every step-th position only, then a straight line between
// neighbouring anchors, smoothed in the same pass: each smoothing chunk
// computes the interpolated values it reads (its own positions and up to
// `half` on either side) on the fly, so no unsmoothed baseline is stored and
// the result buffer is written exactly once.
template <class T>
core::owned_buffer<T> anchor_path(const window_inputs<T>& inputs, std::uint64_t window_samples,
                                  const smoothing_window& smoothing) {
    const std::uint64_t n = inputs.signal.size();
    const std::uint64_t step = std::max<std::uint64_t>(window_samples / 4, 1);
    const std::uint64_t anchor_count = (n + step - 1) / step;  // n < 2^63: no wrap

    auto anchors = uninitialised_buffer<double>(anchor_count);
    const std::span<double> anchor_values = anchors.span();
    // A piece starts by filling its first window, which costs about as much
    // as moving it across four anchors: 16 anchors per piece keep that
    // small, but wide windows have few anchors (W = 200,001 on 2,000,000
    // samples makes 40). There pieces hold a worker's share of the anchors,
    // at most 16 (up to 64 workers, as many pieces as that many would need):
    // with pieces of one anchor, two workers spent more time filling
    // windows than moving them (n = 10,000,000, W = 1,000,001: 56-70 ms,
    // against 37-50 ms with pieces of ten), and pieces of 20 instead of 10
    // took 23.7-24.7 ms instead of 25.2-25.6 there (float64 white noise;
    // float32 random walk 15.9 instead of 16.6-16.7). Where
    // anchors are many, pieces hold up to 64 while each worker still gets
    // at least 16 pieces: the pool splits down to the minimum, and at
    // W = 10,001 on 10^7 samples pieces of 16 to 31 anchors spent an eighth
    // of their appends filling the first window (float32 on white noise
    // took 16.4-16.6 ms with at least 64 against 18.0-18.2 with 16; a random
    // walk 25.6-26.4 against 26.8-26.9).
    const bool sorted = takes_sorted_window(inputs, sorted_anchor_window_limit);
    const std::size_t min_anchors =
        n <= calling_thread_limit
            ? anchor_count
            : std::max(std::clamp<std::size_t>(
                           static_cast<std::size_t>(
                               anchor_count / std::min<std::size_t>(64, pool::worker_count())),
                           1, 16),
                       std::min<std::size_t>(64, anchor_count / (16 * pool::worker_count())));
    // Where the mask leaves a stretch with room for a whole anchor window
    // (2h + step elements) false, that window is empty and the fallback
    // median will be needed: the ring's pieces then count and keep its keys
    // as they append them (median_tally), instead of a pass of its own over
    // the signal afterwards. On a random walk half masked in blocks of
    // 50,000 (10^7 samples) that pass and its selection took 3.7-5 ms of a
    // 22 ms call at W = 10,001 in float64; with the keys taken as they are
    // appended the call took 20.4-20.5 ms instead of 21.6-23.0 (two cores),
    // and at W = 1,001 in float32 37.5-38.0 instead of 41.6-41.7 on one.
    const auto empty_room =
        static_cast<std::size_t>(std::min<std::uint64_t>(2 * inputs.half_window + step, n));
    const bool tallied =
        !sorted && inputs.mask.size() >= n && n > gathered_median_limit &&
        has_masked_run(inputs.mask.first(static_cast<std::size_t>(n)), empty_room,
                       std::min<std::size_t>(2 * pool::worker_count(), n / masked_run_stretch));
    median_tally<T> tally(tallied ? inputs.signal : std::span<const T>(),
                          tallied ? inputs.mask : std::span<const std::uint8_t>());
    median_tally<T>* const fed = tally.active() ? &tally : nullptr;
    const std::size_t workers = pool::worker_count();
    if (!sorted && fed == nullptr && inputs.mask.size() >= n && n > calling_thread_limit &&
        workers > 1 && anchor_count < 2 * min_anchors * workers) {
        claimed_anchor_runs(inputs, step, anchor_values, std::min(workers, anchor_count));
    } else {
        pool::for_each_piece(anchor_count, min_anchors, [&](std::size_t begin, std::size_t end) {
            const std::span<double> piece = anchor_values.subspan(begin, end - begin);
            if (sorted) {
                sorted_anchor_run(inputs, step, begin, piece);
            } else {
                anchor_run(inputs, step, begin, piece, fed);
            }
        });
    }
    fill_fallback(inputs, anchor_values, fed);

    const auto fractions = fraction_table(n, step);
    const anchor_lattice lattice{anchors.span(), step,
                                 fractions.empty() ? nullptr : fractions.data()};
    auto result = uninitialised_buffer<T>(n);
    const std::span<T> out = result.span();
    if (n < smoothing.width || step < materialised_step_limit) {
        const std::size_t min_piece = n <= calling_thread_limit ? n : 4096;
        pool::for_each_piece(n, min_piece, [&](std::size_t begin, std::size_t end) {
            interpolated_values<T> values(lattice, begin);
            for (std::size_t i = begin; i < end; ++i) out[i] = static_cast<T>(values.next());
        });
        anchors = core::owned_buffer<double>();  // released before the smoothing's buffer exists
        return smoothed_baseline(std::move(result), smoothing);
    }
    smooth_chunks(out, smoothing.half, lattice,
                  [&lattice](std::size_t i) { return interpolated_values<T>(lattice, i); });
    return result;  // the anchors are released here
}

}  // namespace

template <class T>
core::owned_buffer<T> percentile_baseline(std::span<const T> signal,
                                          std::span<const std::uint8_t> mask,
                                          std::uint64_t window_samples, double percentile) {
    const std::size_t n = signal.size();
    // Nothing to evaluate: the mask is not read and the pool is not started.
    if (n == 0) return core::owned_buffer<T>();

    fallback_cell<T> fallback;
    const window_inputs<T> inputs{signal, mask, window_samples / 2, percentile, fallback};
    const smoothing_window smoothing = smoothing_width(window_samples);
    const bool direct = takes_direct_path(n, window_samples);
    const std::uint64_t step = std::max<std::uint64_t>(window_samples / 4, 1);
    // The fused pass runs a signal of one smoothing chunk as one piece; up to
    // this length, one thread doing it outruns the separate passes on two
    // (W = 11: 5,000 samples in 35 us against 57 pooled; 16,000 in 115 us),
    // and on a small pool at any length (see fused_single_chunk_workers).
    const std::size_t pool_workers = pool::worker_count();
    const bool one_chunk = n <= smoothing_chunk;
    const std::size_t workers =
        n <= fused_serial_limit || (one_chunk && pool_workers <= fused_single_chunk_workers)
            ? 1
            : pool_workers;
    if (takes_fused_chunks(inputs, direct, step, smoothing, workers)) {
        auto result = uninitialised_buffer<T>(n);
        fused_chunks(inputs, direct, step, smoothing, result.span());
        return result;
    }
    if (direct) return direct_path(inputs, smoothing);
    return anchor_path(inputs, window_samples, smoothing);
}

template core::owned_buffer<double> percentile_baseline<double>(std::span<const double>,
                                                                std::span<const std::uint8_t>,
                                                                std::uint64_t, double);
template core::owned_buffer<float> percentile_baseline<float>(std::span<const float>,
                                                              std::span<const std::uint8_t>,
                                                              std::uint64_t, double);

}  // namespace vorn::baseline
