// The kernel at the anchors of a piece: a ring of usable keys and a selection per anchor.
#include <algorithm>

#include "baseline/anchor_window.hpp"
#include "baseline/float_keys.hpp"
#include "baseline/window_runs.hpp"
#include "core/buffer.hpp"

namespace vorn::baseline {

namespace {

// Window starts of anchors ahead of the current one, kept until their anchor
// comes up. The starts recorded ahead lie within the current anchor's
// window, 2h long, and anchors stand step = max(floor(W / 4), 1) apart, so
// at most 2h / step + 1 <= 7 are pending (W >= 4 gives 2h / step <= 6, W = 2
// and 3 give 2).
constexpr std::size_t pending_starts = 16;

// Windows of up to this many keys select with the tracking bracket
// (anchor_window.hpp), which costs nothing per sample and on noisy windows
// of this size nearly always holds the answer. Wider windows bracket the
// rank from a sample of the window (sampled_selector): a tracking miss there
// costs a pass over a window that no longer fits the caches, while the
// sample's bracket holds whatever the level does. Against counts of keys per
// bucket of values, kept up to date as keys enter and leave, the sample took
// 0.2 to 0.65 of the time at W = 100,001 and 1,000,001 on 10^7 samples (one
// worker, five signal shapes, both element types).
constexpr std::size_t tracking_window_limit = std::size_t{1} << 16;

// Anchors [first, stop) from the ring of usable keys (anchor_window.hpp).
// The scratch grows with the window: the ring and the selection buffers
// hold about four keys (8 bytes, 4 for float32) per window slot (their pages
// are touched only as far as they are used).
template <class T, class Selector>
void ring_anchors(const window_inputs<T>& in, std::uint64_t step, std::size_t first,
                  std::size_t stop, std::size_t capacity, double* out) {
    using key = typename compacted_window<T>::key;
    const std::size_t ring_slots = compacted_window<T>::storage_for(capacity);
    const std::size_t work_slots = Selector::storage_for(capacity);
    core::owned_buffer<key> storage(ring_slots + work_slots);
    compacted_window<T> window({storage.data(), ring_slots});
    Selector selector({storage.data() + ring_slots, work_slots}, capacity);
    // The selections look only at the window at hand, not at the keys as
    // they come and go.
    const auto unseen = [](std::span<const key>) {};

    const T* signal = in.signal.data();
    const std::uint8_t* mask = in.mask.data();
    const auto start_of = [&](std::size_t k) { return in.window_lo(k * step); };

    // Anchors [first, recorded) have the ring total at their window start
    // in starts[k % pending_starts]. The scan stops at every start on its
    // way, so no start is passed unrecorded.
    std::uint64_t starts[pending_starts];
    std::size_t recorded = first;
    std::size_t position = start_of(first);
    const auto record_starts = [&] {
        while (recorded < stop && start_of(recorded) <= position) {
            starts[recorded % pending_starts] = window.total();
            ++recorded;
        }
    };
    const auto scan_to = [&](std::size_t target) {
        while (position < target) {
            std::size_t until = target;
            if (recorded < stop) until = std::min(until, start_of(recorded));
            window.append(signal, mask, position, until, unseen);
            position = until;
            record_starts();
        }
    };
    record_starts();

    rank_cache rank(in.percentile);
    for (std::size_t k = first; k < stop; ++k) {
        // Consecutive windows overlap or touch (step <= 2h), so this
        // window's start was recorded while scanning the previous one.
        window.drop_to(starts[k % pending_starts], unseen);
        scan_to(in.window_hi(k * step));
        const std::size_t count = window.count();
        const T value =
            count != 0 ? from_key<T>(selector.select(window.first_part(), window.second_part(),
                                                     rank(count)))
                       : in.fallback_value();
        out[k - first] = static_cast<double>(value);  // exact for float32
    }
}

}  // namespace

template <class T>
void anchor_run(const window_inputs<T>& in, std::uint64_t step, std::size_t first,
                std::span<double> out) {
    const std::size_t end = first + out.size();
    if (in.half_window == 0) {
        for (double& value : out) value = static_cast<double>(in.fallback_value());
        return;
    }
    // The first anchor at or past the first position whose window is short.
    const std::size_t short_position = in.first_short_position();
    const std::size_t short_anchor = static_cast<std::size_t>(
        short_position / step + (short_position % step != 0 ? 1 : 0));
    const std::size_t stop = std::min(end, std::max(first, short_anchor));
    if (first < stop) {
        // No window holds more than min(2h, n) samples; 2h cannot wrap.
        const std::size_t capacity = static_cast<std::size_t>(
            std::min<std::uint64_t>(2 * in.half_window, in.signal.size()));
        using key = typename compacted_window<T>::key;
        if (capacity <= tracking_window_limit) {
            ring_anchors<T, tracking_selector<key>>(in, step, first, stop, capacity, out.data());
        } else {
            ring_anchors<T, sampled_selector<key>>(in, step, first, stop, capacity, out.data());
        }
    }
    if (stop < end) in.fail_short_mask(stop * step);
}

template void anchor_run<double>(const window_inputs<double>&, std::uint64_t, std::size_t,
                                 std::span<double>);
template void anchor_run<float>(const window_inputs<float>&, std::uint64_t, std::size_t,
                                std::span<double>);

}  // namespace vorn::baseline
