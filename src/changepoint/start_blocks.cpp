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

}  // namespace

start_blocks::start_blocks(const double* sum, const double* sum_sq, std::size_t n) {
    for (std::size_t level = 0; level < block_sizes.size(); ++level) {
        const std::size_t size = block_sizes[level];
        const std::size_t count = (n + 1) / size + 1;
        level_arrays& arrays = levels_[level];
        arrays.sum_min = filled(count);
        arrays.sum_max = filled(count);
        arrays.sum_sq_max = filled(count);
        arrays.best_cost_min = filled(count);
        for (std::size_t b = 0; b + 1 < count; ++b) {
            const std::size_t first = b * size;
            double low = sum[first], high = low, sq_high = sum_sq[first];
            bool finite = true;
            for (std::size_t s = first; s < first + size; ++s) {
                finite = finite && std::isfinite(sum[s]) && std::isfinite(sum_sq[s]);
                low = std::min(low, sum[s]);
                high = std::max(high, sum[s]);
                sq_high = std::max(sq_high, sum_sq[s]);
            }
            if (!finite) continue;  // stays NaN: the block's bound dismisses nothing
            arrays.sum_min[b] = low;
            arrays.sum_max[b] = high;
            arrays.sum_sq_max[b] = sq_high;
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
        out[level] = block_level{block_sizes[level], levels_[level].sum_min.data(),
                                 levels_[level].sum_max.data(), levels_[level].sum_sq_max.data(),
                                 levels_[level].best_cost_min.data()};
    return out;
}

}  // namespace vorn::changepoint
