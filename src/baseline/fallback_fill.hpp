// The fallback median of a call, computed on the pool, put where windows were empty.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "baseline/float_keys.hpp"
#include "baseline/key_passes.hpp"
#include "baseline/window_percentile.hpp"
#include "core/buffer.hpp"

namespace vorn::baseline {

// The median of a whole signal's usable keys from a bracket around it:
// usable keys at a fixed stride through the signal sample the whole, the
// median's rank sits near the sample's middle (within about sqrt(s) / 2
// sample ranks for a sample of s), and two sample keys a margin beyond that
// bracket it. Pieces that between them cover every position once count the
// usable keys and those below the bracket and keep those inside (part), a
// few percent of the signal, and the median is selected among the kept.
// The keys reach the pieces either from a pass of their own or from an
// anchor loop that appends them anyway. No median when the bracket misses
// or keeps more than its share (an unlucky or too small sample, runs of
// equal values): the histogram passes of pooled_fallback_median then decide.
// Either way the value is the key of one rank.
template <class T>
class median_tally {
public:
    using key = typename float_key<T>::key;

    // The bracket from a strided sample of the signal; inactive when the
    // sample holds too few usable keys or the signal is empty. The mask
    // covers the signal.
    median_tally(std::span<const T> signal, std::span<const std::uint8_t> mask);
    median_tally(const median_tally&) = delete;
    median_tally& operator=(const median_tally&) = delete;

    bool active() const noexcept { return active_; }
    // A piece has kept more than the bracket may: the tally gives no median.
    bool overflowed() const noexcept { return overflow_.load(std::memory_order_relaxed); }

    // One piece's share: the keys of the positions it covers, in any order.
    class part {
    public:
        explicit part(median_tally& tally) noexcept : tally_(&tally) {}
        // The usable keys of positions the piece covers.
        void take(std::span<const key> keys);
        // Positions covered (their usable keys all taken).
        void cover(std::size_t positions) noexcept { covered_ += positions; }

    private:
        friend class median_tally;
        median_tally* tally_;
        std::size_t covered_ = 0;
        std::size_t usable_ = 0;
        bracket_tally counts_{0, 0};
        std::size_t reported_ = 0;  // kept keys added to the tally's running total
        core::owned_buffer<key> kept_;
    };

    // Adds a finished piece's counts and keys.
    void merge(part& piece);

    // The median (upper middle for an even count; 0 when nothing is usable)
    // when the merged pieces covered the whole signal and the bracket held.
    bool median(T& out);

private:
    // The key of rank `target` among the kept keys, from a narrower bracket
    // within them; false where that bracket misses.
    bool select_narrowed(std::size_t target, key& answer) const;

    // A finished piece's kept keys.
    struct part_keys {
        core::owned_buffer<key> keys;
        std::size_t count;
    };

    std::size_t length_ = 0;
    bool active_ = false;
    key low_ = 0;
    key high_ = 0;
    // One key throughout the bracket needs no keeping: it is the answer.
    bool keep_ = false;
    std::size_t kept_limit_ = 0;
    std::atomic<std::size_t> kept_total_{0};
    std::atomic<bool> overflow_{false};
    std::mutex merging_;
    std::size_t covered_ = 0;
    std::size_t usable_ = 0;
    std::size_t below_ = 0;
    std::size_t inside_ = 0;
    // The pieces' kept keys, put together only when the median is asked for:
    // an anchor loop has hundreds of pieces.
    std::vector<part_keys> kept_;
};

// Whether `mask` holds a run of at least `run` false elements (run >= 2):
// windows inside such a run are empty, and the call will need the fallback
// median. Probes every (run / 2)-th element and
// measures the runs around false ones, reading each element at most once.
bool has_masked_run(std::span<const std::uint8_t> mask, std::size_t run) noexcept;

// The same, searched in `parts` stretches of the mask on the pool, each
// reaching run - 1 elements into the next: a run lies whole in the stretch
// where it starts. On 10^7 samples (two cores, four stretches, the runs
// around false probes measured eight elements to a load) the search took
// 0.07 ms instead of 0.38 at W = 1,000,001 on a walk half masked in blocks
// of 50,000, and 0.10 instead of 0.15 at W = 1,001 on a random walk, whose
// probes read a cache line each.
bool has_masked_run(std::span<const std::uint8_t> mask, std::size_t run, std::size_t parts);

// Signals up to this long have their usable keys gathered and selected from
// on the calling thread: each histogram pass of pooled_fallback_median
// zeroes and merges 2^16 counts, and the whole took 0.4-0.5 ms at any length
// this short (gathered: 1 us at 10 samples, 0.1 ms at 16,384).
inline constexpr std::size_t gathered_median_limit = std::size_t{1} << 14;

// fallback_median of the whole signal, in parallel pieces: one pass keeps
// the keys of a bracket taken from a strided sample and the median is
// selected among them; when that bracket misses, histograms of the keys'
// top bits narrow the rank to the keys sharing 16 more top bits per pass,
// and the few keys left are gathered and selected from. The value is the
// key of one rank, so it does not depend on the pieces or the way taken.
// Fails like the fallback's own scan on a mask shorter than the signal.
template <class T>
T pooled_fallback_median(std::span<const T> signal, std::span<const std::uint8_t> mask);

// After a kernel loop: if some window was empty, computes the fallback (from
// `tally`, when the loop filled one and it holds the median) and writes it
// over every placeholder (NaN) among `values`. U is T, or double for
// anchors (widening the fallback is exact).
template <class T, class U>
void fill_fallback(const window_inputs<T>& inputs, std::span<U> values,
                   median_tally<T>* tally = nullptr);

extern template double pooled_fallback_median<double>(std::span<const double>,
                                                      std::span<const std::uint8_t>);
extern template float pooled_fallback_median<float>(std::span<const float>,
                                                    std::span<const std::uint8_t>);
extern template class median_tally<double>;
extern template class median_tally<float>;
extern template void fill_fallback<double, double>(const window_inputs<double>&,
                                                   std::span<double>, median_tally<double>*);
extern template void fill_fallback<float, float>(const window_inputs<float>&, std::span<float>,
                                                 median_tally<float>*);
extern template void fill_fallback<float, double>(const window_inputs<float>&,
                                                  std::span<double>, median_tally<float>*);

}  // namespace vorn::baseline
