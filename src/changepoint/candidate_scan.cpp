// The candidate scan, compiled portably and for AVX2 and AVX-512 on x86-64.
#include "changepoint/candidate_scan.hpp"

#include "changepoint/log_bound.hpp"
#include "changepoint/scan_lanes.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace vorn::changepoint {

#ifdef VORN_SCAN_STATS
unsigned long long scan_stats_exact = 0;
unsigned long long scan_stats_dismissed[3] = {};
#endif

namespace {

// Lower bounds on the totals of the starts s0 .. s0 + 3 for end t.
//
// Every candidate's exact total is computed, in the written order, from
// r = q - (d*d)/L and ln r. Here:
// - (d*d) * (1/L) differs from the rounded (d*d)/L by at most 2^-50 of it,
//   so r_low = (q - a) - (q + a) * 2^-47 is below the rounded r whenever that
//   is positive (q and a are non-negative; the margin also covers the
//   roundings of r_low's own operations).
// - With r_low = 2^e * m, m folded into [sqrt(1/2), sqrt(2)) and x = m - 1,
//   the series x - x^2/2 + ... - x^6/6 is below ln(1 + x) for x >= 0; for
//   x < 0 (|x| < 0.293) it is above by less than 4e-5, which the margin of
//   1e-4 covers together with the roundings here and the error of the
//   library log. So the bound is below the rounded ln r, and 3e-4 * L at
//   most below it.
// - When r_low <= 0 or is subnormal, nothing better than -745 (< ln of the
//   least positive double, and < the floor) is claimed.
// Every operation after the log (subtract ln L, multiply by L > 0, add F[s],
// add beta) is monotone under rounding, so the bound on ln r stays a bound
// on the rounded total. NaN inputs give NaN bounds, which dismiss nothing.
template <class V>
inline typename V::vec total_bounds(const scan_tables& in, std::size_t t, std::size_t s0) noexcept {
    using vec = typename V::vec;
    using mask = typename V::mask;
    const auto load = V::load;
    const vec length_f = in.position[t] - load(in.position + s0);
    const vec d = in.sum[t] - load(in.sum + s0);
    const vec q = in.sum_sq[t] - load(in.sum_sq + s0);
    const vec a = (d * d) * load(in.inv_length_backwards + (in.count - t) + s0);
    const vec r_low = (q - a) - (q + a) * 0x1p-47;

    const mask bits = reinterpret_cast<mask>(r_low);
    const mask exponent_field = (bits >> 52) & 0x7ff;
    vec m = reinterpret_cast<vec>((bits & 0x000fffffffffffffLL) | 0x3ff0000000000000LL);
    // The unbiased exponent as a double without an integer conversion (which
    // would not vectorise): (2^52 + field) - 2^52 - 1023, all exact.
    vec e = reinterpret_cast<vec>(exponent_field | 0x4330000000000000LL) - 0x1p52 - 1023.0;
    const mask fold = m >= 1.4142135623730951;
    m = V::select(fold, m * 0.5, m);
    e = V::select(fold, e + 1.0, e);
    const vec x = m - 1.0;
    // Grouped in pairs (Estrin) rather than nested: a shorter chain of
    // dependent operations, and any rounding of it is covered by the margin.
    const vec x2 = x * x;
    const vec series = x * ((1.0 + x * (-1.0 / 2)) + x2 * ((1.0 / 3 + x * (-1.0 / 4)) +
                                                         x2 * (1.0 / 5 + x * (-1.0 / 6))));
    vec log_bound = (e * 0.6931471805599453 + series) - 1e-4;
    log_bound = V::select((r_low <= 0.0) | (exponent_field == 0), V::splat(-745.0), log_bound);

    const vec cost = (log_bound - load(in.log_length_backwards + (in.count - t) + s0)) * length_f;
    return in.beta + (cost + load(in.best_cost + s0));
}

template <class V>
inline typename V::vec near_bounds(const scan_tables& in, std::size_t t, std::size_t s0,
                                   log_reference& ref) noexcept {
    using vec = typename V::vec;
    const auto load = V::load;
    const vec length_f = in.position[t] - load(in.position + s0);
    const vec d = in.sum[t] - load(in.sum + s0);
    const vec q = in.sum_sq[t] - load(in.sum_sq + s0);
    const vec r_low = residual_below<V>(q, d, load(in.inv_length_backwards + (in.count - t) + s0));
    const vec log_bound = log_below<V>(ref, in.log_grid, r_low);
    // The same operations as the exact total from here on (see log_bound.hpp).
    const vec cost = (log_bound - load(in.log_length_backwards + (in.count - t) + s0)) * length_f;
    return in.beta + (cost + load(in.best_cost + s0));
}

template <class V>
scan_result scan(const scan_tables& in, std::size_t t, std::size_t last_start, std::size_t guess,
                 const split_view& split) noexcept {
    constexpr std::size_t width = V::width;
    scan_result result{std::numeric_limits<double>::infinity(), 0};
    // A start replaces the current one when its total is less, or equal with
    // an earlier start: whatever the order of evaluation, the outcome is that
    // of the ascending scan (NaN totals never replace anything).
    auto offer = [&](std::size_t s) {
        const double total = candidate_total(in, t, s);
        if (total < result.best || (total == result.best && s < result.arg)) {
            result.best = total;
            result.arg = s;
        }
    };
    if (guess <= last_start) offer(guess);
    log_reference ref;
    const block_end end = block_end_at(in.sum, in.sum_sq, in.centre, t);

    // Starts [s0, s0 + width) all at most last_start: the bound near the
    // reference first (the tight one for long segments), the coarser one for
    // residuals far from it, the exact total for what both leave open.
    // Only starts from `first` on are offered (the last vector may reach back
    // over starts already scanned).
    auto vector_of_starts = [&](std::size_t s0, std::size_t first) {
        auto open = !(near_bounds<V>(in, t, s0, ref) > result.best);
        if (!V::any(open)) return VORN_SCAN_COUNT(2, s0 + width - first);
        open &= !(total_bounds<V>(in, t, s0) > result.best);
        if (!V::any(open)) return VORN_SCAN_COUNT(2, s0 + width - first);
        for (std::size_t j = 0; j < width; ++j) {
            if (open[j] != 0 && s0 + j >= first && s0 + j != guess)
                offer(s0 + j);
            else if (s0 + j >= first && s0 + j != guess)
                VORN_SCAN_COUNT(2, 1);
        }
    };

    // A fine block's vectors are bounded together first: on a long segment
    // they are all dismissed, and one test is cheaper than one per vector.
    // The block bound costs a division and a logarithm's worth of scalar
    // work; where it keeps failing (a long segment, whose starts all have
    // about the same total) it is tried only on every eighth block.
    unsigned misses = 0;
    auto fine_block = [&](const block_level& fine, std::size_t f0) {
        if (misses < 4 || misses % 8 == 0) {
            if (block_bound(fine, end, in.log_length, in.beta, t, f0) > result.best) {
                misses = 0;
                return VORN_SCAN_COUNT(1, fine.size);
            }
        }
        ++misses;
        auto open = !(near_bounds<V>(in, t, f0, ref) > result.best);
        for (std::size_t v = f0 + width; v < f0 + fine.size; v += width)
            open |= !(near_bounds<V>(in, t, v, ref) > result.best);
        if (!V::any(open)) return VORN_SCAN_COUNT(2, fine.size);
        for (std::size_t v = f0; v < f0 + fine.size; v += width) vector_of_starts(v, v);
    };

    // Coarse blocks first: a block whose bound is above the best is dismissed
    // whole, otherwise its sub-blocks are tried, down to vectors. Blocks that
    // reach past the last start are only split, never bounded.
    const block_level& coarse = in.blocks[0];
    const block_level& fine = in.blocks[1];
    static_assert(block_sizes.size() == 2 && block_sizes[1] % (2 * width) == 0);
    constexpr std::size_t per_coarse = block_sizes[0] / block_sizes[1];
    static_assert(per_coarse <= 32);
    std::size_t s0 = 0;
    // Blocks wholly before the split point first (see split_bounds.cpp): a
    // fine block whose floor is above best - offset is dismissed. The limit
    // is rounded up: |T| 2^-50 + 2^-1000 exceeds the rounding of T.
    if (split.offset == split.offset && result.best < std::numeric_limits<double>::infinity()) {
        const double below = result.best - split.offset;
        const double limit = below + (std::fabs(below) * 0x1p-50 + 0x1p-1000);
        const std::size_t covered =
            std::min(split.fine_blocks / per_coarse, (last_start + 1) / coarse.size) * coarse.size;
        for (; s0 < covered; s0 += coarse.size) {
            const double* floor = split.floor + s0 / fine.size;
            std::uint32_t open = 0;
            for (std::size_t k = 0; k < per_coarse; ++k)
                open |= static_cast<std::uint32_t>(!(floor[k] > limit)) << k;
            if (open == 0) {
                VORN_SCAN_COUNT(0, coarse.size);
                continue;
            }
            if (block_bound(coarse, end, in.log_length, in.beta, t, s0) > result.best) {
                VORN_SCAN_COUNT(1, coarse.size);
                continue;
            }
            VORN_SCAN_COUNT(0, (per_coarse - std::popcount(open)) * fine.size);
            for (std::size_t k = 0; k < per_coarse; ++k)
                if (open >> k & 1) fine_block(fine, s0 + k * fine.size);
        }
    }
    for (; s0 + coarse.size - 1 <= last_start; s0 += coarse.size) {
        if (block_bound(coarse, end, in.log_length, in.beta, t, s0) > result.best) {
            VORN_SCAN_COUNT(1, coarse.size);
            continue;
        }
        for (std::size_t f0 = s0; f0 < s0 + coarse.size; f0 += fine.size) fine_block(fine, f0);
    }
    // The last, partial coarse block: whole fine blocks, whole vectors, then
    // the last `width` starts (reaching back over scanned ones) or, when
    // there are fewer, single starts.
    for (; s0 + fine.size - 1 <= last_start; s0 += fine.size) fine_block(fine, s0);
    for (; s0 + width - 1 <= last_start; s0 += width) vector_of_starts(s0, s0);
    if (s0 <= last_start && last_start + 1 >= width) {
        vector_of_starts(last_start + 1 - width, s0);
    } else {
        for (; s0 <= last_start; ++s0)
            if (s0 != guess) offer(s0);
    }
    return result;
}

}  // namespace

// Flattened so that the whole scan is compiled for the wrapper's instruction
// set; every variant gives identical results, as every operation is the same.
__attribute__((flatten)) scan_result scan_candidates_portable(const scan_tables& in, std::size_t t,
                                                              std::size_t last_start,
                                                              std::size_t guess,
                                                              const split_view& split) noexcept {
    return scan<generic_lanes<4>>(in, t, last_start, guess, split);
}

#if defined(__x86_64__)
__attribute__((target("avx2"), flatten)) scan_result scan_candidates_avx2(
    const scan_tables& in, std::size_t t, std::size_t last_start, std::size_t guess,
    const split_view& split) noexcept {
    return scan<generic_lanes<4>>(in, t, last_start, guess, split);
}

__attribute__((target("avx512f,avx512dq"), flatten)) scan_result scan_candidates_avx512(
    const scan_tables& in, std::size_t t, std::size_t last_start, std::size_t guess,
    const split_view& split) noexcept {
    return scan<generic_lanes<8>>(in, t, last_start, guess, split);
}
#endif

}  // namespace vorn::changepoint
