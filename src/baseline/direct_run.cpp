// The kernel at every position of a piece, by one sliding window.
#include <algorithm>

#include "baseline/float_keys.hpp"
#include "baseline/sorted_window.hpp"
#include "baseline/tracked_window.hpp"
#include "baseline/window_runs.hpp"
#include "core/buffer.hpp"

namespace vorn::baseline {

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
