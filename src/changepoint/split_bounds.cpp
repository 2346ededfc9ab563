// Block floors at a split point, and the per-end offset that turns them into
// lower bounds of every total in a block.
#include "changepoint/split_bounds.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "changepoint/start_blocks.hpp"

namespace vorn::changepoint {

// Why a block can be dismissed by its floor (u = 2^-53 below).
//
// Write R(s, t) = Q - D*D / L for the residual of the segment (s, t] in exact
// arithmetic on the stored prefix sums (D = S1[t] - S1[s], Q = S2[t] - S2[s],
// exact differences), and C(s, t) = L (ln R - ln L) for its cost in exact
// arithmetic, where R > 0.
//
// 1. Splitting costs nothing in exact arithmetic. For s < p < t, with L1, L2
//    and the sums of the two pieces, R(s, t) = R(s, p) + R(p, t) +
//    L1 L2 / (L1 + L2) (D1 / L1 - D2 / L2)^2 (Q adds up exactly): the
//    residual of the whole is at least the sum of the pieces', for any
//    stored sums (the squares need not be the squares of the samples). When
//    both pieces' residuals are positive, the log-sum inequality then gives
//    C(s, t) >= L ln((R1 + R2) / L) >= C(s, p) + C(p, t).
//
// 2. The recursion's rounded total is close to the exact one. Q >= 0 (S2
//    never falls), and for R > 0, D*D / L < Q; the rounded q and (d*d)/L are
//    within u Q and 4.02 u Q of Q and D*D / L, so the rounded r is within
//    6.2 u Q of R. With rho = 6.2 u Q / R below 2^-10, r > 0 (no floor), ln r
//    is within 2.02 rho of ln R, the library's log adds an ulp, ln L (the
//    table) an ulp, and the subtraction, the product with L and the two
//    additions of the total one rounding each.
//    Altogether the rounded total differs from beta + F[s] + C(s, t) by at
//    most E(s, t) = 2^-49 (L Q / R + L (|ln R| + ln L + 1) + |F[s]| + |beta|).
//    (Underflow adds absolute errors of a few 2^-1074, far below this for
//    R >= 2^-900; overflow of d*d cannot happen while t S2[t] < 2^1000,
//    since d*d < L Q <= t S2[t].)
//
// 3. So for a start s of a block wholly before p, where R(s, p) and R(p, t)
//    are shown to be at least 2^-900:
//      total(s, t) >= beta + F[s] + C(s, p) + C(p, t) - E(s, t)
//                  >= floor[b] + (beta + c_low(p, t) - E_max(t)),
//    with floor[b] a lower bound of F[s] + C(s, p) over the block's starts
//    with finite F (a start with F = +inf has total +inf, its cost being
//    finite while the prefix sums at t are: it never wins),
//    c_low a lower bound of C(p, t), and E_max an upper bound of E(s, t) over
//    every such start: L <= t, Q <= S2[t], R(s, t) >= R(s, p) + R(p, t) >
//    R(p, t), and |ln R| <= max(|ln R(p, t)|, |ln S2[t]|) since R <= Q. The
//    scan dismisses the block when floor[b] exceeds best - offset, so that
//    every total in it is above the running best: none of them can win, nor
//    tie. The floors are fixed once F is final before p; each end then pays
//    for one segment's bound and one comparison per block.
//
// Every bound below rounds each of its few operations to nearest and then
// subtracts (or adds) a slack of 2^-48 or 2^-50 of the magnitudes involved,
// at least four times the sum of the rounding errors it covers.

namespace {

constexpr double none = -std::numeric_limits<double>::infinity();

}  // namespace

// The rounded r is within 6.2 u Q < 2^-50 q of R whenever it is positive
// (then (d*d)/L < q, see 2. above), so r - q 2^-48, rounded, is below R.
// ln R >= ln(residual_low) >= l - |l| 2^-50 with l the library's log (an ulp
// of l, 2^-52 |l|, and the subtraction's rounding, are inside the slack);
// ln L <= ln_L (1 + 2^-50) likewise. The product with L and its slack of
// 2^-48 of the magnitudes finish the bound.
double cost_below(const double* sum, const double* sum_sq, const double* log_length,
                  std::size_t s, std::size_t t, double& residual_low) noexcept {
    const double length_f = static_cast<double>(t - s);
    const double d = sum[t] - sum[s];
    const double q = sum_sq[t] - sum_sq[s];
    const double r = q - ((d * d) / length_f);
    residual_low = r - q * 0x1p-48;
    if (!(residual_low >= 0x1p-900) || !(residual_low <= std::numeric_limits<double>::max()))
        return std::numeric_limits<double>::quiet_NaN();
    const double l = std::log(residual_low);
    const double log_low = l - std::fabs(l) * 0x1p-50;
    const double log_length_high = log_length[t - s] * (1.0 + 0x1p-50);
    const double cost = (log_low - log_length_high) * length_f;
    return cost - ((std::fabs(log_low) + log_length_high) * length_f) * 0x1p-48;
}

// E(s, t) of 2. above, over every start s < t: L <= t, Q <= S2[t], R >=
// residual_low, |ln R| <= max(|ln residual_low|, |ln S2[t]|) since R <= Q.
// The gates keep rho below 2^-10 and d*d finite.
double rounding_allowance(const double* sum_sq, const double* log_length, std::size_t t,
                          double residual_low, double best_cost_abs, double beta) noexcept {
    const double sq = sum_sq[t];
    const double t_f = static_cast<double>(t);
    if (!(residual_low > 0.0) || !(sq <= 0x1p40 * residual_low) || !(t_f * sq < 0x1p1000))
        return std::numeric_limits<double>::quiet_NaN();
    // |ln| from the library's log: within an ulp, covered by the + 2 in place
    // of + 1 (log_length[t] is within an ulp of ln t too).
    const double log_abs = std::max(std::fabs(std::log(residual_low)), std::fabs(std::log(sq)));
    // 2^-48 in place of E's 2^-49: room for the roundings of this sum.
    return (t_f * (sq / residual_low) + t_f * ((log_abs + log_length[t]) + 2.0) + best_cost_abs +
            std::fabs(beta)) * 0x1p-48;
}

split_bounds::split_bounds(const double* sum, const double* sum_sq, const double* log_length,
                           std::size_t n, double beta)
    : sum_(sum), sum_sq_(sum_sq), log_length_(log_length), beta_(beta), floor_(n / block_sizes[1] + 1) {
    floor_.resize_for_overwrite(n / block_sizes[1] + 1);
}

void split_bounds::place(std::size_t p, const double* best_cost) {
    constexpr std::size_t fine = block_sizes[1];
    constexpr std::size_t coarse = block_sizes[0];
    split_ = p;
    fine_blocks_ = (p - split_gap) / coarse * (coarse / fine);
    best_cost_abs_ = 0.0;
    for (std::size_t b = 0; b < fine_blocks_; ++b) {
        double least = std::numeric_limits<double>::infinity();
        for (std::size_t s = b * fine; s < (b + 1) * fine; ++s) {
            if (!std::isfinite(best_cost[s])) continue;
            double residual_low;
            const double cost = cost_below(sum_, sum_sq_, log_length_, s, p, residual_low);
            // F + cost rounded, less 2^-50 of it: below the exact sum.
            const double value = best_cost[s] + cost;
            const double low = value - std::fabs(value) * 0x1p-50;
            if (!(low >= -std::numeric_limits<double>::max())) {  // NaN or -inf
                least = none;
                break;
            }
            least = std::min(least, low);
            best_cost_abs_ = std::max(best_cost_abs_, std::fabs(best_cost[s]));
        }
        floor_[b] = least;
    }
}

split_view split_bounds::prepare(std::size_t t, const double* best_cost) {
    const split_view unusable{floor_.data(), 0, std::numeric_limits<double>::quiet_NaN()};
    // A NaN or infinite penalty makes every total NaN or infinite: no bound.
    if (!std::isfinite(beta_) || t < split_spacing + split_lead) return unusable;
    // Placing a split point costs a logarithm per start before it, the
    // starts after it are scanned one by one: spacings near sqrt(32 x) keep
    // the two about even. Each spacing starts at x = spacing^2 / 128, a
    // multiple of the spacing, so that split points never move back.
    const std::size_t x = t - split_lead;
    std::size_t spacing = split_spacing;
    while (spacing * spacing < 32 * x) spacing *= 2;
    const std::size_t p = x / spacing * spacing;

    double residual_low;
    const double cost_low = cost_below(sum_, sum_sq_, log_length_, p, t, residual_low);
    // The allowance's gates first: where the prefix sums have lost too much
    // to bound their rounding (a signal far from zero), no floors are placed.
    if (!(cost_low == cost_low) ||
        !(rounding_allowance(sum_sq_, log_length_, t, residual_low, 0.0, beta_) >= 0.0))
        return unusable;
    if (p != split_) place(p, best_cost);
    // R(s, t) > R(p, t) >= residual_low for every start of a block with a floor.
    const double error =
        rounding_allowance(sum_sq_, log_length_, t, residual_low, best_cost_abs_, beta_);
    if (!(error == error)) return unusable;
    // The offset rounded down: the slack exceeds the three roundings below.
    const double margin = error + (std::fabs(beta_) + std::fabs(cost_low)) * 0x1p-50;
    const double offset = (beta_ + cost_low) - margin;
    if (!std::isfinite(offset)) return unusable;
    return split_view{floor_.data(), fine_blocks_, offset};
}

}  // namespace vorn::changepoint
