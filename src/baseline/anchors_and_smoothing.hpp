// Linear interpolation between anchor values and the chunked moving average.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

namespace vorn::baseline {

// The smoothing's running sum restarts every this many positions. Chunks are
// also the unit of parallel work, so results do not depend on how the pool
// splits the loop.
inline constexpr std::size_t smoothing_chunk = std::size_t{1} << 20;

struct smoothing_window {
    std::uint64_t width;  // odd, at least 3
    std::uint64_t half;   // floor(width / 2)
};

// The moving-average width for a percentile window of `window_samples`: a
// tenth of it, at least 3, made odd so the average is centred.
inline smoothing_window smoothing_width(std::uint64_t window_samples) noexcept {
    const std::uint64_t tenth = std::max<std::uint64_t>(window_samples / 10, 3);
    return {tenth | 1u, tenth / 2};
}

// The baseline value at `position` from anchors standing every `step`
// positions (anchor k at k * step), anchors.size() = ceil(n / step) >= 1.
// Positions past the last anchor are extrapolated along the last segment.
template <class T>
T interpolate_anchors(std::span<const double> anchors, std::uint64_t step,
                      std::size_t position) noexcept {
    const std::size_t m = anchors.size();
    if (m == 1) return static_cast<T>(anchors[0]);  // exact: anchors are widened T values
    const std::size_t lo = std::min<std::size_t>(position / step, m - 2);
    const std::size_t hi = lo + 1;
    const double x0 = anchors[lo];
    const double x1 = anchors[hi];
    // Separate float64 operations in exactly this order (no contraction):
    // the baseline must be bit-reproducible.
    const double lo_position = static_cast<double>(lo * step);
    const double a = static_cast<double>(position) - lo_position;
    const double b = static_cast<double>(hi * step) - lo_position;
    const double t = a / b;
    const double d = x1 - x0;
    // With an infinite anchor (or a difference that overflows) x0 + t * d is
    // NaN at the anchor itself (0 * inf) or everywhere (inf - inf); take the
    // nearer anchor instead, so an anchor keeps its own value and positions
    // past the last anchor hold x1.
    if (!std::isfinite(d)) return static_cast<T>(t <= 0.5 ? x0 : x1);
    const double value = x0 + t * d;
    return static_cast<T>(value);
}

// Writes the smoothed values of positions [begin, begin + out.size()) of
// `baseline` to `out`: each the mean of the baseline over
// [j - half, j + half + 1) cut to [0, n). `begin` is the first position of a
// smoothing chunk; the running sum starts from zero there, whichever task runs
// the chunk, and is never carried into the next chunk.
//
// Only finite values enter the running sum; infinities and NaN are counted
// instead. A plain running sum would turn NaN for the rest of the chunk once
// an infinity leaves the window (inf - inf); counting keeps the damage to the
// windows that actually hold the value. Over finite values the adds and
// removes, and hence the rounding, are exactly those of the plain running sum.
template <class T>
void smooth_baseline(std::span<const T> baseline, std::uint64_t half, std::size_t begin,
                     std::span<T> out) noexcept {
    const std::size_t n = baseline.size();
    double sum = 0.0;
    std::size_t positive_infinities = 0;
    std::size_t negative_infinities = 0;
    std::size_t nans = 0;

    // Non-finite values are tallied by kind instead of entering the sum.
    const auto tally = [&](double value) -> std::size_t& {
        if (value != value) return nans;
        return value > 0 ? positive_infinities : negative_infinities;
    };

    std::size_t add = begin >= half ? begin - half : 0;
    std::size_t remove = add;
    for (std::size_t offset = 0; offset < out.size(); ++offset) {
        const std::size_t j = begin + offset;
        const std::size_t hi = half >= n - j - 1 ? n : j + half + 1;
        const std::size_t lo = j >= half ? j - half : 0;
        // Adds for this position come before removes, both ascending: the
        // running sum's rounding depends on this order.
        for (; add < hi; ++add) {
            const double value = static_cast<double>(baseline[add]);
            if (std::isfinite(value)) {
                sum += value;
            } else {
                ++tally(value);
            }
        }
        for (; remove < lo; ++remove) {
            const double value = static_cast<double>(baseline[remove]);
            if (std::isfinite(value)) {
                sum -= value;
            } else {
                --tally(value);
            }
        }

        double mean;
        if (nans != 0 || (positive_infinities != 0 && negative_infinities != 0)) {
            mean = std::numeric_limits<double>::quiet_NaN();
        } else if (positive_infinities != 0) {
            mean = std::numeric_limits<double>::infinity();
        } else if (negative_infinities != 0) {
            mean = -std::numeric_limits<double>::infinity();
        } else {
            mean = sum / static_cast<double>(hi - lo);
        }
        out[offset] = static_cast<T>(mean);
    }
}

}  // namespace vorn::baseline
