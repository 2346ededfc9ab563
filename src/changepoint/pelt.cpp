// The optimal-partitioning recursion behind pelt, evaluated exactly.
#include "changepoint/pelt.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "changepoint/candidate_scan.hpp"
#include "changepoint/start_blocks.hpp"

namespace vorn::changepoint {

namespace {

using scan_function = scan_result (*)(const scan_tables&, std::size_t, std::size_t,
                                      std::size_t, const split_view&) noexcept;

scan_function scan_for(scan_isa isa) noexcept {
    if (isa == scan_isa::automatic)
        isa = scan_isa_supported(scan_isa::avx512) ? scan_isa::avx512
              : scan_isa_supported(scan_isa::avx2) ? scan_isa::avx2
                                                   : scan_isa::portable;
    switch (isa) {
#if defined(__x86_64__)
        case scan_isa::avx512:
            return &scan_candidates_avx512;
        case scan_isa::avx2:
            return &scan_candidates_avx2;
#endif
        default:
            return &scan_candidates_portable;
    }
}

template <class T>
core::owned_buffer<T> work_array(std::size_t count) {
    core::owned_buffer<T> buffer(count);
    buffer.resize_for_overwrite(count);
    return buffer;
}

}  // namespace

bool scan_isa_supported(scan_isa isa) noexcept {
    switch (isa) {
#if defined(__x86_64__)
        case scan_isa::avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
        case scan_isa::avx2:
            return __builtin_cpu_supports("avx2");
#else
        case scan_isa::avx512:
        case scan_isa::avx2:
            return false;
#endif
        default:
            return true;
    }
}

core::owned_buffer<std::uint64_t> pelt_search(std::span<const double> samples,
                                              double penalty_factor,
                                              std::uint64_t min_segment_samples) {
    return pelt_search(samples, penalty_factor, min_segment_samples, scan_isa::automatic);
}

core::owned_buffer<std::uint64_t> pelt_search(std::span<const double> samples,
                                              double penalty_factor,
                                              std::uint64_t min_segment_samples, scan_isa isa) {
    core::owned_buffer<std::uint64_t> change_points;
    const std::size_t n = samples.size();
    // n < 2m, written so that doubling m cannot overflow.
    if (min_segment_samples > n / 2 || n < 2 * min_segment_samples) return change_points;

    const double beta = std::log(static_cast<double>(n)) * (penalty_factor + penalty_factor);

    // Prefix sums in index order, the square rounded before it is added:
    // residuals of exactly zero (and the log floor they select) depend on it.
    auto sum = work_array<double>(n + 1);
    auto sum_sq = work_array<double>(n + 1);
    auto best_cost = work_array<double>(n + 1);
    auto log_length = work_array<double>(n + 1);
    auto log_length_backwards = work_array<double>(n + 1);
    auto inv_length_backwards = work_array<double>(n + 1);
    auto position = work_array<double>(n + 1);
    auto previous = work_array<std::uint64_t>(n + 1);
    sum[0] = 0.0;
    sum_sq[0] = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        sum[i + 1] = sum[i] + samples[i];
        sum_sq[i + 1] = (samples[i] * samples[i]) + sum_sq[i];
    }
    // ln(L) for every segment length: the same `log` of the same values as an
    // evaluation per candidate would use.
    for (std::size_t i = 0; i <= n; ++i) {
        position[i] = static_cast<double>(i);
        log_length[i] = std::log(static_cast<double>(i));
    }
    for (std::size_t i = 0; i <= n; ++i) {
        log_length_backwards[i] = log_length[n - i];
        inv_length_backwards[i] = 1.0 / static_cast<double>(n - i);
    }
    // The library's log of each exact grid mantissa 1 + j/128.
    std::array<double, reference_grid> log_grid;
    for (std::size_t j = 0; j < reference_grid; ++j)
        log_grid[j] = std::log(1.0 + static_cast<double>(j) / reference_grid);
    best_cost[0] = -beta;
    previous[0] = 0;

    start_blocks blocks(sum.data(), sum_sq.data(), n);
    split_bounds splits(sum.data(), sum_sq.data(), log_length.data(), n, beta);

    const scan_tables tables{sum.data(),
                             sum_sq.data(),
                             best_cost.data(),
                             log_length.data(),
                             log_length_backwards.data(),
                             inv_length_backwards.data(),
                             position.data(),
                             log_grid.data(),
                             n,
                             blocks.levels(),
                             blocks.centre(),
                             beta,
                             log_floor};
    const scan_function scan = scan_for(isa);
    // Shorter segments cost +inf (or NaN against an infinite penalty) and can
    // never win, so the scan starts at the shortest admissible length.
    const std::size_t min_length = std::max<std::uint64_t>(min_segment_samples, 2);
    for (std::size_t t = 1; t <= n; ++t) {
        scan_result result{std::numeric_limits<double>::infinity(), 0};
        // A non-finite prefix sum at t makes every candidate's residual NaN
        // or its cost +inf (or NaN), so no candidate can win: skip the scan.
        if (t >= min_length && std::isfinite(sum[t]) && std::isfinite(sum_sq[t])) {
            // The best start of the previous end usually wins again; trying
            // it first gives a tight bound to dismiss the other candidates.
            result = scan(tables, t, t - min_length, previous[t - 1],
                          splits.prepare(t, best_cost.data()));
        }
        best_cost[t] = result.best;
        previous[t] = result.arg;
        blocks.best_cost_known(t, best_cost.data());
    }

    for (std::uint64_t c = previous[n]; c != 0; c = previous[c]) change_points.push_back(c);
    std::reverse(change_points.begin(), change_points.end());
    return change_points;
}

}  // namespace vorn::changepoint
