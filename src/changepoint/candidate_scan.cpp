// The candidate scan, compiled once portably and once for AVX2.
#include "changepoint/candidate_scan.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace vorn::changepoint {

namespace {

// Four doubles, compiled to whatever the enclosing function's instruction set
// offers. Each operation is the IEEE operation of its scalar twin.
using vec = double __attribute__((vector_size(32)));
using mask = long long __attribute__((vector_size(32)));

inline vec load(const double* p) noexcept {
    vec v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// p[0], p[-1], p[-2], p[-3]: tables indexed by length run downwards as the
// start moves up.
inline vec load_downwards(const double* p) noexcept {
    const vec v = load(p - 3);
    return __builtin_shufflevector(v, v, 3, 2, 1, 0);
}

inline vec splat(double x) noexcept { return vec{x, x, x, x}; }

inline vec select(mask m, vec if_true, vec if_false) noexcept {
    return reinterpret_cast<vec>((reinterpret_cast<mask>(if_true) & m) |
                                 (reinterpret_cast<mask>(if_false) & ~m));
}

// The scalar twin of the bound on ln r inside total_bounds, for r > 0.
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
inline vec total_bounds(const scan_tables& in, std::size_t t, std::size_t s0) noexcept {
    const vec length_f = in.position[t] - load(in.position + s0);
    const vec d = in.sum[t] - load(in.sum + s0);
    const vec q = in.sum_sq[t] - load(in.sum_sq + s0);
    const vec a = (d * d) * load_downwards(in.inv_length + (t - s0));
    const vec r_low = (q - a) - (q + a) * 0x1p-47;

    const mask bits = reinterpret_cast<mask>(r_low);
    const mask exponent_field = (bits >> 52) & 0x7ff;
    vec m = reinterpret_cast<vec>((bits & 0x000fffffffffffffLL) | 0x3ff0000000000000LL);
    // The unbiased exponent as a double without an integer conversion (which
    // would not vectorise): (2^52 + field) - 2^52 - 1023, all exact.
    vec e = reinterpret_cast<vec>(exponent_field | 0x4330000000000000LL) - 0x1p52 - 1023.0;
    const mask fold = m >= 1.4142135623730951;
    m = select(fold, m * 0.5, m);
    e = select(fold, e + 1.0, e);
    const vec x = m - 1.0;
    // Grouped in pairs (Estrin) rather than nested: a shorter chain of
    // dependent operations, and any rounding of it is covered by the margin.
    const vec x2 = x * x;
    const vec series = x * ((1.0 + x * (-1.0 / 2)) + x2 * ((1.0 / 3 + x * (-1.0 / 4)) +
                                                         x2 * (1.0 / 5 + x * (-1.0 / 6))));
    vec log_bound = (e * 0.6931471805599453 + series) - 1e-4;
    log_bound = select((r_low <= 0.0) | (exponent_field == 0), splat(-745.0), log_bound);

    const vec cost = (log_bound - load_downwards(in.log_length + (t - s0))) * length_f;
    return in.beta + (cost + load(in.best_cost + s0));
}

// One lower bound for the totals of every start of block `b` (all of whose
// starts are at most the last start for t), from the block's extremes: each
// quantity the total is made of is bounded by the same rounded operations on
// the extreme inputs, since every one of them is monotone in each argument.
// NaN (a non-finite value somewhere) dismisses nothing.
inline double block_bound(const scan_tables& in, const block_level& level, std::size_t t,
                          std::size_t s0) noexcept {
    const std::size_t b = s0 / level.size;
    const double length_min = in.position[t] - in.position[s0 + level.size - 1];
    const double length_max = in.position[t] - in.position[s0];
    const double d_low = in.sum[t] - level.sum_max[b];
    const double d_high = in.sum[t] - level.sum_min[b];
    const double d_abs = std::max(std::fabs(d_low), std::fabs(d_high));
    const double a_max = (d_abs * d_abs) / length_min;
    const double q_min = in.sum_sq[t] - level.sum_sq_max[b];
    const double r_min = q_min - a_max;
    if (!(r_min > 0.0)) return std::numeric_limits<double>::quiet_NaN();
    // ln L is at most ln of the longest length; glibc's log is within an ulp
    // of monotone, far inside the margin.
    const double log_length_max = in.log_length[t - s0] + 1e-9;
    const double slope = log_lower_bound(r_min) - log_length_max;
    const double cost = slope >= 0.0 ? slope * length_min : slope * length_max;
    return in.beta + (cost + level.best_cost_min[b]);
}

inline scan_result scan(const scan_tables& in, std::size_t t, std::size_t last_start,
                        std::size_t guess) noexcept {
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

    // Coarse blocks first: a block whose bound is above the best is dismissed
    // whole, otherwise its sub-blocks are tried, down to vectors of four.
    // Blocks that reach past the last start are only split, never bounded.
    auto vectors = [&](std::size_t s0, std::size_t end) {
        for (std::size_t v = s0; v < end; v += 4) {
            if (v + 3 > last_start) {
                for (std::size_t s = v; s <= last_start; ++s)
                    if (s != guess) offer(s);
                return;
            }
            const mask open = !(total_bounds(in, t, v) > result.best);
            if ((open[0] | open[1] | open[2] | open[3]) == 0) continue;
            for (std::size_t j = 0; j < 4; ++j)
                if (open[j] != 0 && v + j != guess) offer(v + j);
        }
    };
    auto descend = [&](auto& self, std::size_t level, std::size_t s0) -> void {
        const block_level& blocks = in.blocks[level];
        const std::size_t end = s0 + blocks.size;
        if (end - 1 <= last_start && block_bound(in, blocks, t, s0) > result.best) return;
        if (level + 1 == block_sizes.size()) {
            vectors(s0, end);
            return;
        }
        for (std::size_t child = s0; child < end && child <= last_start;
             child += in.blocks[level + 1].size)
            self(self, level + 1, child);
    };
    for (std::size_t s0 = 0; s0 <= last_start; s0 += block_sizes[0]) descend(descend, 0, s0);
    return result;
}

}  // namespace

// Flattened so that the whole scan is compiled for the wrapper's instruction
// set; both give identical results, as every operation is the same.
__attribute__((flatten)) scan_result scan_candidates_portable(const scan_tables& in, std::size_t t,
                                                              std::size_t last_start,
                                                              std::size_t guess) noexcept {
    return scan(in, t, last_start, guess);
}

#if defined(__x86_64__)
__attribute__((target("avx2"), flatten)) scan_result scan_candidates_avx2(
    const scan_tables& in, std::size_t t, std::size_t last_start, std::size_t guess) noexcept {
    return scan(in, t, last_start, guess);
}
#endif

}  // namespace vorn::changepoint
