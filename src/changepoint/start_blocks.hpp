// Summaries of aligned blocks of segment starts, at several sizes, for bounds.
#pragma once

#include <array>
#include <cstddef>

#include "core/buffer.hpp"

namespace vorn::changepoint {

// Block sizes, coarse to fine; each divides the one before it, and the finest
// is a multiple of the vector width of the scan.
inline constexpr std::array<std::size_t, 2> block_sizes{256, 64};

// The prefix sums seen from a centre c, in exact arithmetic on the stored
// sums: A(x) = S1[x] - c x and H(x) = S2[x] - 2c S1[x] + c^2 x. For every c,
// the exact residual of the segment (s, t] on the stored sums,
// Q - D*D / L, equals (H(t) - H(s)) - (A(t) - A(s))^2 / L. A signal far from
// zero keeps its spread in A and H, where S1 and S2 bury it under the offset:
// a block's extremes of S1 then span the offset times the block's length, and
// a bound built on them bounds nothing. With c = 0, A = S1 and H = S2.
//
// `centred_at` gives A(x) and H(x) within rounded-out bounds.
struct centred_sums {
    double a_low, a_high, h_low, h_high;
};
centred_sums centred_at(const double* sum, const double* sum_sq, double centre,
                        std::size_t x) noexcept;

// What the scan reads of one level: per block, the least and greatest A and
// the greatest H (NaN for a block holding a non-finite one), and the least F
// (filled in once all of the block's F values are final).
struct block_level {
    std::size_t size;
    const double* shifted_sum_min;
    const double* shifted_sum_max;
    const double* shifted_sq_max;
    const double* best_cost_min;
};

// What a block bound reads of the end t: A(t) and a lower bound of H(t), and
// how much of S2[t] (plus an absolute amount) the bound sets aside for the
// rounding of the recursion's residual. Both are 0 with c = 0, where the bound
// repeats the recursion's own rounded operations on extreme inputs instead.
struct block_end {
    double a_low, a_high, h_low;
    double sum_sq;
    double rounding, tiny;
};
block_end block_end_at(const double* sum, const double* sum_sq, double centre,
                       std::size_t t) noexcept;

class start_blocks {
public:
    // Summarises the prefix sums, entries [0, n] of each, and picks the centre.
    start_blocks(const double* sum, const double* sum_sq, std::size_t n);

    // Records the least F of every block that ends at start t, once F[t] is known.
    void best_cost_known(std::size_t t, const double* best_cost) noexcept;

    std::array<block_level, block_sizes.size()> levels() const noexcept;
    double centre() const noexcept { return centre_; }

private:
    struct level_arrays {
        core::owned_buffer<double> shifted_sum_min, shifted_sum_max, shifted_sq_max,
            best_cost_min;
    };
    std::array<level_arrays, block_sizes.size()> levels_;
    double centre_ = 0.0;
};

}  // namespace vorn::changepoint
