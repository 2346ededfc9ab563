// The kernel at the anchors of a piece: a ring of usable keys, or gathering for huge windows.
#include <algorithm>

#include "baseline/anchor_window.hpp"
#include "baseline/float_keys.hpp"
#include "baseline/select.hpp"
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

// Windows longer than this take the gathering path: the ring and the
// selection buffers hold about four 8-byte keys per window slot, which for a
// window of millions of samples is more scratch than a piece should hold;
// gathering needs one value of T per slot.
constexpr std::size_t ring_window_limit = std::size_t{1} << 16;

// Anchors [first, stop) from the ring of usable keys (anchor_window.hpp).
template <class T>
void ring_anchors(const window_inputs<T>& in, std::uint64_t step, std::size_t first,
                  std::size_t stop, std::size_t capacity, double* out) {
    const std::size_t ring_slots = compacted_window<T>::storage_for(capacity);
    const std::size_t work_slots = tracking_selector::storage_for(capacity);
    core::owned_buffer<wide_key> storage(ring_slots + work_slots);
    compacted_window<T> window({storage.data(), ring_slots});
    tracking_selector selector({storage.data() + ring_slots, work_slots}, capacity);

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
            window.append(signal, mask, position, until);
            position = until;
            record_starts();
        }
    };
    record_starts();

    rank_cache rank(in.percentile);
    for (std::size_t k = first; k < stop; ++k) {
        // Consecutive windows overlap or touch (step <= 2h), so this
        // window's start was recorded while scanning the previous one.
        window.drop_to(starts[k % pending_starts]);
        scan_to(in.window_hi(k * step));
        const std::size_t count = window.count();
        const T value =
            count != 0 ? from_key<T>(selector.select(window.first_part(), window.second_part(),
                                                     rank(count)))
                       : in.fallback_value();
        out[k - first] = static_cast<double>(value);  // exact for float32
    }
}

// Anchors [first, stop) each gathered from the signal and selected in place:
// each sample is read by about four anchors, which for windows this wide
// costs less than the memory the ring would take.
template <class T>
void gathered_anchors(const window_inputs<T>& in, std::uint64_t step, std::size_t first,
                      std::size_t stop, std::size_t capacity, double* out) {
    core::owned_buffer<T> values(capacity);
    const T* signal = in.signal.data();
    const std::uint8_t* mask = in.mask.data();
    rank_cache rank(in.percentile);
    for (std::size_t k = first; k < stop; ++k) {
        const std::size_t lo = in.window_lo(k * step);
        const std::size_t hi = in.window_hi(k * step);
        T* gathered = values.data();
        std::size_t count = 0;
        for (std::size_t i = lo; i < hi; ++i) {
            if (!mask_true(mask[i])) continue;  // the signal is not read for a false mask
            const T x = signal[i];
            gathered[count] = x;
            count += usable_value(x) ? 1 : 0;
        }
        const T value = count != 0 ? select_rank(std::span<T>(gathered, count), rank(count))
                                   : in.fallback_value();
        out[k - first] = static_cast<double>(value);
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
        if (capacity <= ring_window_limit) {
            ring_anchors(in, step, first, stop, capacity, out.data());
        } else {
            gathered_anchors(in, step, first, stop, capacity, out.data());
        }
    }
    if (stop < end) in.fail_short_mask(stop * step);
}

template void anchor_run<double>(const window_inputs<double>&, std::uint64_t, std::size_t,
                                 std::span<double>);
template void anchor_run<float>(const window_inputs<float>&, std::uint64_t, std::size_t,
                                std::span<double>);

}  // namespace vorn::baseline
