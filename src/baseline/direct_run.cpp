// The kernel at every position of a piece, by one sliding window.
#include <algorithm>

#include "baseline/float_keys.hpp"
#include "baseline/rank_window.hpp"
#include "baseline/sorted_window.hpp"
#include "baseline/tracked_window.hpp"
#include "baseline/window_runs.hpp"
#include "core/buffer.hpp"

namespace vorn::baseline {

namespace {

// Positions per stretch of the rank-space run: each stretch sorts the keys
// of its positions' windows, so the 2h keys it shares with the next one are
// sorted twice; four window lengths per stretch keep that to a quarter.
// The floor keeps the sort's fixed costs (histograms) small beside its work.
constexpr std::size_t rank_stretch_positions = 8192;

// The scratch of one rank-space run, for a stretch of up to `longest` samples.
template <class T>
struct rank_scratch {
    core::owned_buffer<std::uint64_t> keys;  // three runs of `longest`
    core::owned_buffer<std::uint32_t> rank_of;
    core::owned_buffer<T> sorted;
    core::owned_buffer<std::uint64_t> words;

    void reserve(std::size_t longest) {
        keys.reserve(3 * longest);
        rank_of.reserve(longest);
        sorted.reserve(longest);
        words.reserve(longest / 64 + 1);
    }
};

// Stretches up to this many samples use scratch that each thread keeps from
// one run to the next (about 1.2 MiB at most). A fresh allocation of a few
// hundred KiB per call is handed back to the system when it is freed and its
// pages fault in again on the next call: at n = 5,000, W = 1,001 that took
// about a third of the call (150 against 105 us, A/B with trimming off).
constexpr std::size_t kept_scratch_limit = 32768;

template <class T>
rank_scratch<T>& kept_rank_scratch() {
    thread_local rank_scratch<T> kept;
    return kept;
}

// The kernel at positions [begin, begin + out.size()), none of whose windows
// reaches past the mask, by windows over ranks (rank_window.hpp).
template <class T>
void rank_space_run(const window_inputs<T>& in, std::size_t begin, std::span<T> out) {
    const std::size_t window = static_cast<std::size_t>(
        std::min<std::uint64_t>(2 * in.half_window, in.signal.size()));
    const std::size_t stretch = std::max(4 * window, rank_stretch_positions);
    const std::size_t longest = std::min(stretch + window, in.signal.size());
    rank_scratch<T> own;
    rank_scratch<T>& scratch = longest <= kept_scratch_limit ? kept_rank_scratch<T>() : own;
    scratch.reserve(longest);
    std::uint64_t* const keys = scratch.keys.data();
    std::uint32_t* const rank_of = scratch.rank_of.data();
    T* const sorted = scratch.sorted.data();
    std::uint64_t* const words = scratch.words.data();

    const rank_table rank(in.percentile, window);
    const std::size_t end = begin + out.size();
    for (std::size_t first = begin; first < end;) {
        const std::size_t last = std::min(end, first + stretch);
        const std::size_t lo = in.window_lo(first);
        const std::size_t hi = in.window_hi(last - 1);
        const std::size_t usable =
            rank_stretch(in.signal.data(), in.mask.data(), lo, hi, keys, keys + longest,
                         keys + 2 * longest, rank_of, sorted);
        const std::size_t word_count = usable / 64 + 1;  // the bit past the ranks included
        std::fill_n(words, word_count, std::uint64_t{0});
        rank_bits bits({words, word_count});
        const std::uint32_t* ranks = rank_of - lo;  // indexed by sample
        const auto uncounted = static_cast<std::uint32_t>(usable);

        std::size_t count = 0;
        for (std::size_t i = in.window_lo(first); i < in.window_hi(first); ++i) {
            bits.insert(ranks[i]);
            count += ranks[i] != uncounted ? 1 : 0;
        }
        const auto emit = [&](std::size_t a) {
            out[a - begin] = count != 0 ? sorted[bits.select(rank(count))] : in.fallback_value();
        };
        emit(first);
        std::size_t window_lo = in.window_lo(first);
        std::size_t window_hi = in.window_hi(first);
        for (std::size_t a = first + 1; a < last; ++a) {
            // Both ends move by at most one position (the low end once a > h,
            // the high end while a + h <= n).
            if (in.window_lo(a) != window_lo) {
                bits.erase(ranks[window_lo]);
                count -= ranks[window_lo] != uncounted ? 1 : 0;
                ++window_lo;
            }
            if (in.window_hi(a) != window_hi) {
                bits.insert(ranks[window_hi]);
                count += ranks[window_hi] != uncounted ? 1 : 0;
                ++window_hi;
            }
            emit(a);
        }
        first = last;
    }
}

}  // namespace

template <class T>
void direct_run(const window_inputs<T>& in, std::size_t begin, std::span<T> out) {
    const std::size_t end = begin + out.size();
    if (in.half_window == 0) {
        // Every window is empty and no mask element is read; the fallback's
        // own scan is what fails on a short mask.
        for (T& value : out) value = in.fallback_value();
        return;
    }
    const std::size_t n = in.signal.size();
    const std::size_t stop = std::min(end, std::max(begin, in.first_short_position()));
    if (begin < stop && takes_sorted_window(in, sorted_window_limit)) {
        sorted_window_run(in, begin, 1, out.first(stop - begin));
    } else if (begin < stop && takes_rank_space(in)) {
        rank_space_run(in, begin, out.first(stop - begin));
    } else if (begin < stop) {
        // No window is longer than min(2h, n) positions; 2h cannot wrap.
        const std::size_t capacity = static_cast<std::size_t>(
            std::min<std::uint64_t>(2 * in.half_window, n));
        core::owned_buffer<wide_key> storage(2 * capacity);
        tracked_window window({storage.data(), 2 * capacity}, capacity);

        const T* signal = in.signal.data();
        const std::uint8_t* mask = in.mask.data();
        const auto key_at = [&](std::size_t i) -> wide_key {
            if (!mask_true(mask[i])) return unusable_wide_key;  // the signal stays unread
            const T x = signal[i];
            return usable_value(x) ? to_key(x) : unusable_wide_key;
        };

        rank_cache rank(in.percentile);
        for (std::size_t i = in.window_lo(begin); i < in.window_hi(begin); ++i)
            window.push_unranked(key_at(i));
        if (window.count() != 0) window.start(rank(window.count()));

        const std::uint64_t h = in.half_window;
        const auto emit = [&](std::size_t a) {
            const std::size_t count = window.count();
            out[a - begin] =
                count != 0 ? from_key<T>(window.at_rank(rank(count))) : in.fallback_value();
        };
        emit(begin);
        // From position a - 1 to a the low end moves iff a > h, and the high
        // end iff a + h <= n (the position entering is a + h - 1).
        const std::size_t pops_from = h < n ? static_cast<std::size_t>(h) + 1 : n;
        const std::size_t pushes_until = h <= n ? n - static_cast<std::size_t>(h) + 1 : 0;
        std::size_t a = begin + 1;
        for (; a < stop && (a < pops_from || a >= pushes_until); ++a) {
            if (a >= pops_from) window.pop();
            if (a < pushes_until) window.push(key_at(a + h - 1));
            emit(a);
        }
        // The steady stretch, where the window keeps its full length.
        for (const std::size_t steady_end = std::min(stop, pushes_until); a < steady_end; ++a) {
            window.pop();
            window.push(key_at(a + h - 1));
            emit(a);
        }
        for (; a < stop; ++a) {
            if (a >= pops_from) window.pop();
            if (a < pushes_until) window.push(key_at(a + h - 1));
            emit(a);
        }
    }
    if (stop < end) in.fail_short_mask(stop);
}

template void direct_run<double>(const window_inputs<double>&, std::size_t, std::span<double>);
template void direct_run<float>(const window_inputs<float>&, std::size_t, std::span<float>);

}  // namespace vorn::baseline
