// The percentile rank of a window and the fallback median of a call.
#include "baseline/window_percentile.hpp"

#include <algorithm>
#include <cmath>

#include "baseline/float_keys.hpp"
#include "baseline/select.hpp"
#include "core/buffer.hpp"
#include "core/fault.hpp"

namespace vorn::baseline {

// Rounds without a call into libm: where a window grows or shrinks at every
// position (W = 1001 on 1,000 samples) the rank is asked for at every one,
// and the call to round took about a sixth of the run.
std::uint64_t percentile_rank(std::size_t count, double percentile) noexcept {
    // The order is load-bearing for bit-exact ranks: divide first, convert
    // the count before subtracting one, then one multiply.
    const double fraction = percentile / 100.0;
    const double last_index = static_cast<double>(count) - 1.0;
    const double scaled = last_index * fraction;
    double rounded;
    if (scaled >= 0.0 && scaled < 4503599627370496.0) {  // [0, 2^52)
        // Below 2^52 the whole part converts exactly and the fractional part
        // scaled - whole is exact, so comparing it with one half rounds
        // halves away from zero exactly as std::round does.
        const double whole = static_cast<double>(static_cast<std::int64_t>(scaled));
        rounded = scaled - whole >= 0.5 ? whole + 1.0 : whole;
    } else {
        rounded = std::round(scaled);  // halves away from zero
    }
    std::uint64_t rank;
    if (!(rounded > 0.0)) {
        rank = 0;  // NaN, negative, or zero
    } else if (rounded >= 18446744073709551616.0) {  // 2^64
        rank = UINT64_MAX;
    } else {
        rank = static_cast<std::uint64_t>(rounded);
    }
    return std::min<std::uint64_t>(rank, count - 1);
}

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
