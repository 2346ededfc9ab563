// The kernel over a piece of positions or anchors, for windows of at most 32 samples.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "baseline/float_keys.hpp"
#include "baseline/sorted_window.hpp"

namespace vorn::baseline {

template <class T, class Out>
void sorted_window_run(const window_inputs<T>& in, std::size_t first, std::size_t step,
                       std::span<Out> out) {
    using keys = sorted_keys<T>;
    using key = typename keys::key;
    if (out.empty()) return;
    const std::size_t n = in.signal.size();
    const std::size_t h = static_cast<std::size_t>(std::min<std::uint64_t>(in.half_window, n));
    const T* signal = in.signal.data();
    const std::uint8_t* mask = in.mask.data();

    // The rank of every usable count a window can have, worked out once per
    // piece: with a mask or NaN the count changes from position to position,
    // and each rank costs a rounding call.
    std::size_t ranks[sorted_window_limit + 1] = {};
    const std::size_t longest = std::min<std::size_t>(2 * h, n);
    for (std::size_t c = 1; c <= longest; ++c)
        ranks[c] = static_cast<std::size_t>(percentile_rank(c, in.percentile));

    // ring[i % 32] holds the key of position i while it is in the window
    // (no window is longer than 32), so the leaving key is never re-read
    // from the signal: a caller writing to the arrays during the call can
    // change which values come out, not unbalance the order.
    key ring[sorted_window_limit];
    key order[sorted_window_limit + 2];
    order[0] = keys::below_all;
    order[1] = keys::unusable;
    key* const sorted = order + 1;
    std::size_t length = 0;
    std::size_t unusable = 0;
    const auto enter = [&](std::size_t i) {
        const key k = keys::key_of(signal, mask, i);
        ring[i % sorted_window_limit] = k;
        unusable += k == keys::unusable ? 1 : 0;
        keys::insert(sorted, length++, k);
    };
    for (std::size_t i = in.window_lo(first); i < in.window_hi(first); ++i) enter(i);

    std::size_t j = 0;
    const auto emit = [&] {
        const std::size_t count = length - unusable;
        const T value = count != 0 ? from_key<T>(sorted[ranks[count]]) : in.fallback_value();
        out[j++] = static_cast<Out>(value);  // float32 to float64 is exact
    };
    emit();

    // From position a - 1 to a the low end moves iff a > h (position a - h - 1
    // leaves) and the high end iff a + h <= n (position a + h - 1 enters).
    // Anchors between evaluated positions are walked through one position
    // at a time: a short window shifts a few keys per position, cheaper than
    // sorting it anew at each anchor.
    const std::size_t pops_from = h < n ? h + 1 : n;
    const std::size_t pushes_until = n - h + 1;
    const std::size_t last = first + (out.size() - 1) * step;
    std::size_t until_next = step;
    std::size_t a = first + 1;
    const auto edge_step = [&] {
        if (a >= pops_from) {
            const key leaving = ring[(a - h - 1) % sorted_window_limit];
            unusable -= leaving == keys::unusable ? 1 : 0;
            keys::remove(sorted, length--, leaving);
        }
        if (a < pushes_until) enter(a + h - 1);
        if (--until_next == 0) {
            emit();
            until_next = step;
        }
    };
    for (; a <= last && (a < pops_from || a >= pushes_until); ++a) edge_step();
    // The steady stretch, where the window keeps its full length.
    const auto steady = [&](auto replace) {
        for (const std::size_t steady_end = std::min(last + 1, pushes_until); a < steady_end; ++a) {
            const key entering = keys::key_of(signal, mask, a + h - 1);
            key& slot = ring[(a + h - 1) % sorted_window_limit];
            const key leaving = ring[(a - h - 1) % sorted_window_limit];
            slot = entering;  // after reading: with 2h = 32 both are the same slot
            unusable += (entering == keys::unusable ? 1 : 0) - (leaving == keys::unusable ? 1 : 0);
            replace(sorted, length, leaving, entering);
            if (--until_next == 0) {
                emit();
                until_next = step;
            }
        }
    };
    steady(keys::replace);
    for (; a <= last; ++a) edge_step();
}

template <class T>
void sorted_anchor_run(const window_inputs<T>& in, std::uint64_t step, std::size_t first_anchor,
                       std::span<double> out) {
    // Stops, like an ascending window scan, at the first anchor whose window
    // reaches past the mask's end (anchor_run does the same).
    const std::size_t short_position = in.first_short_position();
    const std::size_t short_anchor = static_cast<std::size_t>(
        short_position / step + (short_position % step != 0 ? 1 : 0));
    const std::size_t stop = std::min(first_anchor + out.size(), std::max(first_anchor, short_anchor));
    sorted_window_run(in, static_cast<std::size_t>(first_anchor * step), static_cast<std::size_t>(step),
                      out.first(stop - first_anchor));
    if (stop < first_anchor + out.size()) in.fail_short_mask(static_cast<std::size_t>(stop * step));
}

template void sorted_window_run<double, double>(const window_inputs<double>&, std::size_t,
                                                std::size_t, std::span<double>);
template void sorted_window_run<float, float>(const window_inputs<float>&, std::size_t,
                                              std::size_t, std::span<float>);
template void sorted_window_run<float, double>(const window_inputs<float>&, std::size_t,
                                               std::size_t, std::span<double>);
template void sorted_anchor_run<double>(const window_inputs<double>&, std::uint64_t, std::size_t,
                                        std::span<double>);
template void sorted_anchor_run<float>(const window_inputs<float>&, std::uint64_t, std::size_t,
                                       std::span<double>);

}  // namespace vorn::baseline
