// The fallback median of a call; the percentile rank is inline in the header.
#include "baseline/window_percentile.hpp"

#include <algorithm>
#include <cmath>

#include "baseline/float_keys.hpp"
#include "baseline/select.hpp"
#include "core/buffer.hpp"
#include "core/fault.hpp"

namespace vorn::baseline {

template <class T>
T fallback_median(std::span<const T> signal, std::span<const std::uint8_t> mask) {
    const std::size_t n = signal.size();
    // The scan would reach the mask's end at its own length before anything
    // else could go wrong; failing up front names the same index.
    if (mask.size() < n) core::fail_index_out_of_bounds(mask.size(), mask.size());

    // The count of usable samples is unknown until the scan ends, so the
    // buffer grows; capping growth at n keeps it within one signal's worth.
    core::owned_buffer<T> values;
    for (std::size_t i = 0; i < n; ++i) {
        if (!mask_true(mask[i])) continue;
        const T x = signal[i];
        if (!usable_value(x)) continue;
        if (values.size() == values.capacity())
            values.reserve(std::min(n, std::max<std::size_t>(values.capacity() * 2, 64)));
        values.push_back_unchecked(x);
    }
    if (values.empty()) return T(0);
    return select_rank(values.span(), values.size() / 2);
}

template double fallback_median<double>(std::span<const double>, std::span<const std::uint8_t>);
template float fallback_median<float>(std::span<const float>, std::span<const std::uint8_t>);

}  // namespace vorn::baseline
