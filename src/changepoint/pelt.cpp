// The optimal-partitioning recursion behind pelt, evaluated exactly.
#include "changepoint/pelt.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vorn::changepoint {

core::owned_buffer<std::uint64_t> pelt_search(std::span<const double> samples,
                                              double penalty_factor,
                                              std::uint64_t min_segment_samples) {
    core::owned_buffer<std::uint64_t> change_points;
    const std::size_t n = samples.size();
    // n < 2m, written so that doubling m cannot overflow.
    if (min_segment_samples > n / 2 || n < 2 * min_segment_samples) return change_points;

    const double infinity = std::numeric_limits<double>::infinity();
    const double beta = std::log(static_cast<double>(n)) * (penalty_factor + penalty_factor);

    // Prefix sums in index order, the square rounded before it is added:
    // residuals of exactly zero (and the log floor they select) depend on it.
    core::owned_buffer<double> sum(n + 1), sum_sq(n + 1), best_cost(n + 1), log_length(n + 1);
    core::owned_buffer<std::uint64_t> previous(n + 1);
    sum.resize_for_overwrite(n + 1);
    sum_sq.resize_for_overwrite(n + 1);
    best_cost.resize_for_overwrite(n + 1);
    log_length.resize_for_overwrite(n + 1);
    previous.resize_for_overwrite(n + 1);
    sum[0] = 0.0;
    sum_sq[0] = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        sum[i + 1] = sum[i] + samples[i];
        sum_sq[i + 1] = (samples[i] * samples[i]) + sum_sq[i];
    }
    // ln(L) for every segment length, the same `log` of the same values as
    // an evaluation per candidate would use.
    log_length[0] = -infinity;
    for (std::size_t length = 1; length <= n; ++length)
        log_length[length] = std::log(static_cast<double>(length));

    best_cost[0] = -beta;
    previous[0] = 0;
    // Shorter segments cost +inf (or NaN against an infinite penalty) and can
    // never win, so the scan starts at the shortest admissible length.
    const std::size_t min_length = std::max<std::uint64_t>(min_segment_samples, 2);
    for (std::size_t t = 1; t <= n; ++t) {
        double best = infinity;
        std::uint64_t arg = 0;
        if (t >= min_length) {
            const double sum_t = sum[t];
            const double sum_sq_t = sum_sq[t];
            const std::size_t last_start = t - min_length;
            for (std::size_t s = 0; s <= last_start; ++s) {
                const std::size_t length = t - s;
                const double length_f = static_cast<double>(length);
                const double d = sum_t - sum[s];
                const double q = sum_sq_t - sum_sq[s];
                const double r = q - ((d * d) / length_f);
                const double log_r = r <= 0.0 ? log_floor : std::log(r);
                const double cost = (log_r - log_length[length]) * length_f;
                const double total = beta + (cost + best_cost[s]);
                // Ordered less-than: NaN never wins and a tie keeps the
                // earlier start, the longer final segment.
                if (total < best) {
                    best = total;
                    arg = s;
                }
            }
        }
        best_cost[t] = best;
        previous[t] = arg;
    }

    for (std::uint64_t c = previous[n]; c != 0; c = previous[c]) change_points.push_back(c);
    std::reverse(change_points.begin(), change_points.end());
    return change_points;
}

}  // namespace vorn::changepoint
