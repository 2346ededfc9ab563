// Bounds on whole blocks of long segments from one split point they share.
#pragma once

#include <cstddef>

#include "core/buffer.hpp"

namespace vorn::changepoint {

// Where split points are placed (every `split_spacing` positions at first,
// see split_bounds::prepare), how long the segment after one must be before
// it serves (`split_lead`), and how far before it the blocks it bounds must
// end (at least `split_gap`). Short pieces on either side of the split make
// the bound loose: the cost of a few samples can be very low by chance.
inline constexpr std::size_t split_spacing = 512;
inline constexpr std::size_t split_lead = 128;
inline constexpr std::size_t split_gap = 64;

// What the scan of one end reads: a fine block b below `fine_blocks` is
// dismissed whole when floor[b] > best - offset (rounded up, see
// split_bounds.cpp). `offset` is NaN when no split point serves this end.
struct split_view {
    const double* floor;
    std::size_t fine_blocks;
    double offset;
};

// A lower bound of the cost L (ln R - ln L) of the segment (s, t] in exact
// arithmetic on the stored prefix sums (R its exact residual), or NaN when R
// cannot be shown to be at least 2^-900; `residual_low` is set below R.
double cost_below(const double* sum, const double* sum_sq, const double* log_length,
                  std::size_t s, std::size_t t, double& residual_low) noexcept;

// An upper bound of how far the recursion's rounded total of any start s < t
// lies from beta + F[s] + that exact cost, for every s whose segment's exact
// residual is at least `residual_low` > 0 and |F[s]| <= best_cost_abs; NaN
// when the rounding cannot be bounded so (a residual far below the sums).
double rounding_allowance(const double* sum_sq, const double* log_length, std::size_t t,
                          double residual_low, double best_cost_abs, double beta) noexcept;

class split_bounds {
public:
    // The prefix sums, ln L for every length, all of n + 1 entries, and the
    // penalty; the arrays must outlive this object.
    split_bounds(const double* sum, const double* sum_sq, const double* log_length, std::size_t n,
                 double beta);

    // Before the scan of end t, once F is final below t: the view for it.
    split_view prepare(std::size_t t, const double* best_cost);

private:
    void place(std::size_t p, const double* best_cost);

    const double* sum_;
    const double* sum_sq_;
    const double* log_length_;
    double beta_;
    core::owned_buffer<double> floor_;  // per fine block
    std::size_t split_ = 0;             // the split point in use; 0 = none
    std::size_t fine_blocks_ = 0;
    double best_cost_abs_ = 0.0;        // max |F[s]| over the starts floor_ covers
};

}  // namespace vorn::changepoint
