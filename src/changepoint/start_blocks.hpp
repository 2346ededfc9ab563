// Summaries of aligned blocks of segment starts, at several sizes, for bounds.
#pragma once

#include <array>
#include <cstddef>

#include "core/buffer.hpp"

namespace vorn::changepoint {

// Block sizes, coarse to fine; each divides the one before it, and the finest
// is a multiple of the vector width of the scan.
inline constexpr std::array<std::size_t, 2> block_sizes{256, 64};

// What the scan reads of one level: per block, the least and greatest prefix
// sum and the greatest prefix sum of squares (NaN for a block holding a
// non-finite one), and the least F (filled in once all of the block's F
// values are final).
struct block_level {
    std::size_t size;
    const double* sum_min;
    const double* sum_max;
    const double* sum_sq_max;
    const double* best_cost_min;
};

class start_blocks {
public:
    // Summarises the prefix sums, entries [0, n] of each.
    start_blocks(const double* sum, const double* sum_sq, std::size_t n);

    // Records the least F of every block that ends at start t, once F[t] is known.
    void best_cost_known(std::size_t t, const double* best_cost) noexcept;

    std::array<block_level, block_sizes.size()> levels() const noexcept;

private:
    struct level_arrays {
        core::owned_buffer<double> sum_min, sum_max, sum_sq_max, best_cost_min;
    };
    std::array<level_arrays, block_sizes.size()> levels_;
};

}  // namespace vorn::changepoint
