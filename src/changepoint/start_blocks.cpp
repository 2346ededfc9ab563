// Block summaries of the prefix sums and of F, built once and kept current.
#include "changepoint/start_blocks.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vorn::changepoint {

namespace {

core::owned_buffer<double> filled(std::size_t count) {
    core::owned_buffer<double> buffer(count);
    buffer.resize_for_overwrite(count);
    std::fill(buffer.begin(), buffer.end(), std::numeric_limits<double>::quiet_NaN());
    return buffer;
}

// The mean of the longest prefix with finite sums, where it dominates the
// spread (mean^2 above half the mean square, about mean^2 > variance);
// otherwise 0. Centring costs each bound a slack of about 2^-49 S2[t] and
// gains where the offset would bury the spread of a block (see
// start_blocks.hpp); near zero the plain sums serve as well.
double pick_centre(const double* sum, const double* sum_sq, std::size_t n) noexcept {
    std::size_t k = n;
    while (k > 0 && !(std::isfinite(sum[k]) && std::isfinite(sum_sq[k]))) --k;
    if (k == 0) return 0.0;
    const double mean = sum[k] / static_cast<double>(k);
    const double mean_sq = sum_sq[k] / static_cast<double>(k);
    const double square = mean * mean;
    return std::isfinite(square) && square > 0.5 * mean_sq ? mean : 0.0;
}

}  // namespace

// The rounding, with u = 2^-53 and every value finite (a non-finite one marks
// its block or end unusable):
// - A: ca = c x rounded is within u |ca| (1 + 2u) of c x, and a = S1 - ca
//   rounded within u |a| of S1 - ca; so |a - A| <= u (|ca| + |a|) (1 + 2u).
// - H: t1 = (c + c) S1 (c + c exact), t2 = S2 - t1, t3 = (c c) x (two
//   roundings, within 2u |t3| (1 + u) of c^2 x) and h = t2 + t3 are each
//   within u of their magnitude, so |h - H| <= u (|t1| + |t2| + 2 |t3| + |h|)
//   (1 + 2u).
// The margins, 2^-51 = 4u of those magnitudes (their sum rounded three times at
// most), exceed twice that, and the rest covers the rounding of a - ea, a + ea,
// h - eh and h + eh (u of |a| + ea or |h| + eh). An underflow in any product
// errs by 2^-1075 at most, inside the absolute 2^-1000.
centred_sums centred_at(const double* sum, const double* sum_sq, double centre,
                        std::size_t x) noexcept {
    if (centre == 0.0) return {sum[x], sum[x], sum_sq[x], sum_sq[x]};
    const double x_f = static_cast<double>(x);
    const double ca = centre * x_f;
    const double a = sum[x] - ca;
    const double ea = (std::fabs(ca) + std::fabs(a)) * 0x1p-51 + 0x1p-1000;
    const double t1 = (centre + centre) * sum[x];
    const double t2 = sum_sq[x] - t1;
    const double t3 = (centre * centre) * x_f;
    const double h = t2 + t3;
    const double eh =
        (((std::fabs(t1) + std::fabs(t2)) + std::fabs(t3)) + std::fabs(h)) * 0x1p-51 + 0x1p-1000;
    return {a - ea, a + ea, h - eh, h + eh};
}

// How far the recursion's rounded residual r of (s, t] may lie below the
// exact R = Q - D*D / L, for R > 0 (so D*D / L < Q): q and d are within u of
// Q and D, (d*d) / L within 4.01 u of D*D / L, so q - (d*d) / L >= R -
// 5.01 u Q, and its own rounding takes at most u q more: r >= R - 6.02 u Q
// >= R - 6.02 u S2[t] (S2 never falls and starts at 0, so Q <= S2[t]). When
// that is positive, r is too, and no floor replaces ln r. The bound (see
// block_bound) sets aside 2^-49 = 16u of S2[t] and of its own two terms:
// their roundings, 6.1u at most in all, fit with room to spare. d*d cannot
// overflow while t S2[t] < 2^1000 (d*d < L Q <= t S2[t]); beyond, the end is
// marked unusable. Subnormal products err by a few 2^-1075, inside 2^-1000.
block_end block_end_at(const double* sum, const double* sum_sq, double centre,
                       std::size_t t) noexcept {
    const centred_sums at = centred_at(sum, sum_sq, centre, t);
    if (centre == 0.0) return {at.a_low, at.a_high, at.h_low, sum_sq[t], 0.0, 0.0};
    if (!(static_cast<double>(t) * sum_sq[t] < 0x1p1000)) {
        constexpr double none = std::numeric_limits<double>::quiet_NaN();
        return {none, none, none, sum_sq[t], 0x1p-49, 0x1p-1000};
    }
    return {at.a_low, at.a_high, at.h_low, sum_sq[t], 0x1p-49, 0x1p-1000};
}

start_blocks::start_blocks(const double* sum, const double* sum_sq, std::size_t n)
    : centre_(pick_centre(sum, sum_sq, n)) {
    for (std::size_t level = 0; level < block_sizes.size(); ++level) {
        const std::size_t size = block_sizes[level];
        const std::size_t count = (n + 1) / size + 1;
        level_arrays& arrays = levels_[level];
        arrays.shifted_sum_min = filled(count);
        arrays.shifted_sum_max = filled(count);
        arrays.shifted_sq_max = filled(count);
        arrays.best_cost_min = filled(count);
        for (std::size_t b = 0; b + 1 < count; ++b) {
            const std::size_t first = b * size;
            double low = std::numeric_limits<double>::infinity();
            double high = -low, sq_high = -low;
            bool finite = true;
            for (std::size_t s = first; s < first + size; ++s) {
                const centred_sums at = centred_at(sum, sum_sq, centre_, s);
                finite = finite && std::isfinite(at.a_low) && std::isfinite(at.a_high) &&
                         std::isfinite(at.h_high) && std::isfinite(sum_sq[s]);
                low = std::min(low, at.a_low);
                high = std::max(high, at.a_high);
                sq_high = std::max(sq_high, at.h_high);
            }
            if (!finite) continue;  // stays NaN: the block's bound dismisses nothing
            arrays.shifted_sum_min[b] = low;
            arrays.shifted_sum_max[b] = high;
            arrays.shifted_sq_max[b] = sq_high;
        }
    }
}

void start_blocks::best_cost_known(std::size_t t, const double* best_cost) noexcept {
    for (std::size_t level = 0; level < block_sizes.size(); ++level) {
        const std::size_t size = block_sizes[level];
        if ((t + 1) % size != 0) continue;
        const std::size_t first = t + 1 - size;
        // F is never NaN past F[0]; a NaN F[0] makes the minimum NaN, which
        // only disables the block's bound.
        double least = best_cost[first];
        for (std::size_t s = first; s <= t; ++s)
            least = (best_cost[s] < least || std::isnan(best_cost[s])) ? best_cost[s] : least;
        levels_[level].best_cost_min[first / size] = least;
    }
}

std::array<block_level, block_sizes.size()> start_blocks::levels() const noexcept {
    std::array<block_level, block_sizes.size()> out{};
    for (std::size_t level = 0; level < block_sizes.size(); ++level)
        out[level] = block_level{block_sizes[level], levels_[level].shifted_sum_min.data(),
                                 levels_[level].shifted_sum_max.data(),
                                 levels_[level].shifted_sq_max.data(),
                                 levels_[level].best_cost_min.data()};
    return out;
}

}  // namespace vorn::changepoint
