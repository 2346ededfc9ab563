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

void rank_table::fill_percentile_ranks(double percentile, std::span<std::size_t> out) noexcept {
    if (out.empty()) return;
    out[0] = 0;
    const double fraction = percentile / 100.0;
    if (!(fraction >= 0.0 && fraction <= 1.0)) {  // NaN, or outside [0, 100]: as asked
        for (std::size_t count = 1; count < out.size(); ++count)
            out[count] = static_cast<std::size_t>(percentile_rank(count, percentile));
        return;
    }
    // Here scaled lies in [0, count - 1], far below 2^52, so percentile_rank
    // takes its first branch, whose rounding this is; its clamps change
    // nothing (rounded is at least 0 and, as scaled <= count - 1, at most
    // count - 1). Two counts at a time, branch-free and without integer
    // conversions, which x86-64 cannot make on vectors before AVX-512: below
    // 2^52, adding and subtracting 2^52 rounds to the nearest integer (half
    // to even) exactly; one more where that left a half below it rounds the
    // half away from zero instead, as the whole part plus one does; and the
    // bits of an integer plus 2^52 over those of 2^52 are the integer.
    using pair = double __attribute__((vector_size(16)));
    using pair_bits = std::int64_t __attribute__((vector_size(16)));
    constexpr double two_52 = 4503599627370496.0;
    const auto rank_bits = [&](pair last_index) {
        const pair scaled = last_index * fraction;
        const pair nearest = (scaled + two_52) - two_52;
        const pair ones = {1.0, 1.0};
        const pair_bits one_bits = reinterpret_cast<pair_bits>(ones);
        const pair rounded =
            nearest + reinterpret_cast<pair>((scaled - nearest >= 0.5) & one_bits);
        const pair offset = {two_52, two_52};
        return reinterpret_cast<pair_bits>(rounded + two_52) -
               reinterpret_cast<pair_bits>(offset);
    };
    // The counts' doubles are counted up: exact below 2^53.
    pair last_index = {0.0, 1.0};
    std::size_t count = 1;
    for (; count + 1 < out.size(); count += 2, last_index += 2.0) {
        const pair_bits ranks = rank_bits(last_index);
        out[count] = static_cast<std::size_t>(ranks[0]);
        out[count + 1] = static_cast<std::size_t>(ranks[1]);
    }
    if (count < out.size()) out[count] = static_cast<std::size_t>(rank_bits(last_index)[0]);
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
