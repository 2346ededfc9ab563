// Lower bounds of a segment's rounded residual and of the library's log of
// it, cheap enough for every candidate of a long scan.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "changepoint/candidate_scan.hpp"

namespace vorn::changepoint {

// A reference point for the residuals of the starts being scanned: a grid
// value g = 2^e * (1 + j/128) at or below a residual just seen, 1/g, and a
// lower bound of ln g. Residuals of neighbouring starts of a long segment lie
// within a fraction of a percent of each other, so one reference serves many
// vectors and is moved only when a residual has drifted away from it.
struct log_reference {
    double grid = 1.0;
    double inv = 1.0;
    double log_low = -1000.0;  // none yet: every bound below -745
};

// Moves `ref` to the grid value at or below r; false (and `ref` unchanged)
// when r is not a positive double whose reciprocal is normal.
inline bool move_reference(log_reference& ref, const double* log_grid, double r) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(r);
    const int exponent = static_cast<int>((bits >> 52) & 0x7ff) - 1023;
    if (!(r > 0.0) || exponent < -1000 || exponent > 1000) return false;
    const std::uint64_t j = (bits >> 45) & (reference_grid - 1);
    ref.grid = std::bit_cast<double>(bits & ~((std::uint64_t{1} << 45) - 1));
    ref.inv = 1.0 / ref.grid;
    const double log_grid_value = static_cast<double>(exponent) * 0x1.62e42fefa39efp-1 + log_grid[j];
    ref.log_low = log_grid_value - (std::fabs(log_grid_value) * 0x1p-48 + 0x1p-46);
    return true;
}

// Why a candidate's total is bounded from below by the scan's bound built on
// residual_below and log_below (the recursion computes d = S1[t] - S1[s],
// q = S2[t] - S2[s], r = q - (d*d)/L, ln r or the floor K, then the total):
// - d and q are that recursion's d and q bit for bit (the same prefix-sum
//   entries, the same subtraction). Its a is (d*d)/L rounded; here (d*d) is
//   multiplied by 1/L rounded, which is within 3.01 * 2^-53 of it (relative).
//   q >= 0 (the prefix sums of squares never fall) and a >= 0, so the
//   recursion's r is at least (q - a) - 4.1 * 2^-53 (q + a), while r_low, with
//   its own three roundings, is at most (q - a) - 5.9 * 2^-53 (q + a): r_low is
//   below the recursion's r. Below 2^-1000 the scaling by 2^-50 may round to
//   a subnormal; only lanes with r_low >= 0.93 g >= 2^-1001 use r_low, where
//   those absolute errors (a few 2^-1074) are below 2^-70 of it.
// - With g the grid value and w = (r_low - g) / g in real arithmetic, ln r >=
//   ln r_low = ln g + ln(1 + w), and Taylor's theorem with the remainder of
//   order two gives ln(1 + w) = w - w^2 / (2 (1 + xi)^2), xi between 0 and w.
//   For w >= -0.06 (checked on the rounded w, which is within 3 ulp of w),
//   1 + xi >= 0.939 and the remainder is below 0.5671 w^2, so
//   p(w) = w - 0.57 w^2 <= ln(1 + w). The reference stays within a grid step
//   (1/128) of the residuals it serves, where p is within 5e-6 of ln(1 + w).
//   For w >= 0 the remainder is below w^2 / 2 whatever w is, so p bounds
//   ln(1 + w) on the whole of [-0.06, inf); above w = 0.24 the gap is
//   more than 0.004 and covers every rounding below (p may overflow to -inf
//   there, still a lower bound).
// - The rounding, for w <= 0.24: r_low - g is exact (Sterbenz), so
//   the rounded w is w (1 + e), |e| <= 2.1 * 2^-53, and the rounded p is within
//   2^-50 of p(w) (every operand below 0.3 in magnitude). ln g is e ln 2 +
//   ln(1 + j/128); the constant is the double below ln 2, the table holds the
//   library's log of the exact 1 + j/128 (within an ulp), and the two
//   roundings of e * ln2 + table cost at most |value| * 2^-52 more. The
//   library's log at r is within an ulp of ln r, at most |ln g| + 0.3 in
//   magnitude. Together these are below |ln g| * 2^-50 + 2^-49; the margin
//   subtracted from ln g, |ln g| * 2^-48 + 2^-46 (its own rounding included),
//   exceeds that, and the final addition rounds by at most 2^-53 of a value
//   below |ln g| + 1, also inside the margin. So the bound of ln r is below
//   the library's log of r, the value the recursion uses.
// - From there the recursion and the bound apply the same operations (subtract
//   the same ln L, multiply by L > 0, add the same F[s], add beta); rounding
//   to nearest is monotone, so the order is kept.
// - Lanes with w < -0.06 claim -745, below the log of every positive double
//   and below the floor K. Before the first reference, g = 1 and the log
//   bound is -1000 + p (p never exceeds 0.44), below -745. A NaN w comes
//   from a NaN residual, whose total is NaN and never wins, so dismissing it
//   changes nothing.
// NaN anywhere else gives a NaN bound, which dismisses nothing.
template <class V>
inline typename V::vec residual_below(typename V::vec q, typename V::vec d,
                                      typename V::vec inv_length) noexcept {
    const typename V::vec a = (d * d) * inv_length;
    return (q - a) - (q + a) * 0x1p-50;
}

template <class V>
inline typename V::vec log_below(log_reference& ref, const double* log_grid,
                                 typename V::vec r_low) noexcept {
    using vec = typename V::vec;
    vec w = (r_low - ref.grid) * ref.inv;
    // Moved when the first residual is more than a grid step away; a residual
    // that cannot serve leaves the reference where it was.
    if (!(std::fabs(w[0]) <= 1.0 / reference_grid) && move_reference(ref, log_grid, r_low[0]))
        w = (r_low - ref.grid) * ref.inv;
    const vec poly = w - (w * w) * 0.57;
    return V::select(w >= -0.06, ref.log_low + poly, V::splat(-745.0));
}

// The scalar twin of the bound on ln r inside total_bounds (candidate_scan.cpp),
// for r > 0.
inline double log_lower_bound(double r) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(r);
    const std::uint64_t exponent_field = (bits >> 52) & 0x7ff;
    if (exponent_field == 0 || exponent_field == 0x7ff) return -745.0;
    double m = std::bit_cast<double>((bits & 0x000fffffffffffffULL) | 0x3ff0000000000000ULL);
    double e = static_cast<double>(static_cast<int>(exponent_field) - 1023);
    if (m >= 1.4142135623730951) {
        m = m * 0.5;
        e = e + 1.0;
    }
    const double x = m - 1.0;
    const double x2 = x * x;
    const double series = x * ((1.0 + x * (-1.0 / 2)) + x2 * ((1.0 / 3 + x * (-1.0 / 4)) +
                                                             x2 * (1.0 / 5 + x * (-1.0 / 6))));
    return (e * 0.6931471805599453 + series) - 1e-4;
}

// One lower bound for the totals of every start of the block at s0 (all of
// whose starts are at most t - 2), from the block's extremes, or NaN
// (a non-finite value somewhere, or no positive residual shown), which
// dismisses nothing.
// - The residual: with the centre at 0 each quantity r is made of is bounded by
//   the same rounded operations on the extreme inputs, every one of them
//   monotone in each argument, so r_min is below every start's rounded r.
//   Otherwise H(t) - H(s) >= h_low - (block's greatest H) and |A(t) - A(s)| is
//   at most the larger distance between the ends of the two ranges (see
//   start_blocks.hpp); those two roundings, the square's and the quotient's
//   (4.1u), and block_end_at's allowance for the recursion's rounding are what
//   `rounding` and `tiny` set aside.
// - From r_min on, every operation is the recursion's or bounds it: ln r from
//   below by log_lower_bound, ln L from above by the longest length's (glibc's
//   log is within an ulp of monotone, far inside 1e-9), times L > 0 at the
//   end of the range the sign of the slope picks, plus the least F.
inline double block_bound(const block_level& level, const block_end& end,
                          const double* log_length, double beta, std::size_t t,
                          std::size_t s0) noexcept {
    const std::size_t b = s0 / level.size;
    const double length_min = static_cast<double>(t - (s0 + level.size - 1));
    const double length_max = static_cast<double>(t - s0);
    const double d_low = end.a_low - level.shifted_sum_max[b];
    const double d_high = end.a_high - level.shifted_sum_min[b];
    const double d_abs = std::max(std::fabs(d_low), std::fabs(d_high));
    const double a_max = (d_abs * d_abs) / length_min;
    const double q_min = end.h_low - level.shifted_sq_max[b];
    double r_min = q_min - a_max;
    if (end.rounding != 0.0)
        r_min = r_min - ((end.sum_sq + std::fabs(q_min) + a_max) * end.rounding + end.tiny);
    if (!(r_min > 0.0)) return std::numeric_limits<double>::quiet_NaN();
    const double log_length_max = log_length[t - s0] + 1e-9;
    const double slope = log_lower_bound(r_min) - log_length_max;
    const double cost = slope >= 0.0 ? slope * length_min : slope * length_max;
    return beta + (cost + level.best_cost_min[b]);
}

}  // namespace vorn::changepoint
