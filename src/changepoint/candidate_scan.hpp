// The inner loop of the search: the best start for one segment end.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "changepoint/split_bounds.hpp"
#include "changepoint/start_blocks.hpp"

namespace vorn::changepoint {

// Mantissa steps of the reference residuals that bounds of ln r expand around.
inline constexpr std::size_t reference_grid = 128;

// The per-call arrays the scan reads, all of n + 1 entries.
struct scan_tables {
    const double* sum;         // prefix sums of the samples
    const double* sum_sq;      // prefix sums of the squares
    const double* best_cost;   // F: least penalised cost of each prefix
    const double* log_length;  // ln(L) for each segment length L
    // The same ln(L) and 1 / L stored backwards, entry j for L = count - j, so
    // that vectors over ascending starts read them ascending too.
    const double* log_length_backwards;
    const double* inv_length_backwards;  // for bounds only
    const double* position;    // s as a double, so that vector code needs no conversion
    const double* log_grid;    // ln(1 + j / reference_grid) for j below reference_grid
    std::size_t count;         // n: the last end position
    std::array<block_level, block_sizes.size()> blocks;
    double centre;             // of the blocks' shifted sums (start_blocks.hpp)
    double beta;               // penalty per change point
    double log_floor;          // stands in for ln(r) when r <= 0
};

struct scan_result {
    double best;
    std::uint64_t arg;
};

#ifdef VORN_SCAN_STATS
// How many candidates reach the exact evaluation, and how many each stage
// dismisses: split floors, block bounds, vector bounds (benchmark builds only).
extern unsigned long long scan_stats_exact;
extern unsigned long long scan_stats_dismissed[3];
#define VORN_SCAN_COUNT(stage, starts) ((void)(scan_stats_dismissed[stage] += (starts)))
#else
#define VORN_SCAN_COUNT(stage, starts) ((void)0)
#endif

// Exactly the written candidate total, operation for operation.
inline double candidate_total(const scan_tables& in, std::size_t t, std::size_t s) noexcept {
#ifdef VORN_SCAN_STATS
    ++scan_stats_exact;
#endif
    const double length_f = in.position[t] - in.position[s];  // exact: both below 2^53
    const double d = in.sum[t] - in.sum[s];
    const double q = in.sum_sq[t] - in.sum_sq[s];
    const double r = q - ((d * d) / length_f);
    const double log_r = r <= 0.0 ? in.log_floor : std::log(r);
    const double cost = (log_r - in.log_length[t - s]) * length_f;
    return in.beta + (cost + in.best_cost[s]);
}

// The best start among [0, last_start] for end t: the least total, the
// earliest start on a tie, exactly as an ascending scan with an ordered
// less-than finds it. `guess` (a start likely to win, or any value above
// last_start for none) is evaluated first, so that most other starts can be
// dismissed by a cheap lower bound on their totals, without a division or a
// logarithm. `split` dismisses whole blocks of long segments at once.
scan_result scan_candidates_portable(const scan_tables& in, std::size_t t, std::size_t last_start,
                                     std::size_t guess, const split_view& split) noexcept;
#if defined(__x86_64__)
scan_result scan_candidates_avx2(const scan_tables& in, std::size_t t, std::size_t last_start,
                                 std::size_t guess, const split_view& split) noexcept;
scan_result scan_candidates_avx512(const scan_tables& in, std::size_t t, std::size_t last_start,
                                   std::size_t guess, const split_view& split) noexcept;
#endif

}  // namespace vorn::changepoint
