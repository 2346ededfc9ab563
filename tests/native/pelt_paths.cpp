// Checks every compiled candidate scan against a plain evaluation of the
// recursion (two logarithms per candidate) over seeded random signals, and
// the bounds the scan dismisses candidates by against the values they bound,
// at the edges where they are tightest. Prints "N passed, M failed".
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "changepoint/log_bound.hpp"
#include "changepoint/pelt.hpp"
#include "changepoint/scan_lanes.hpp"
#include "changepoint/split_bounds.hpp"
#include "changepoint/start_blocks.hpp"

using namespace vorn::changepoint;

namespace {

std::vector<std::uint64_t> plain(const std::vector<double>& x, double pf, std::uint64_t m,
                                 std::vector<double>* best_costs = nullptr) {
    const std::size_t n = x.size();
    std::vector<std::uint64_t> out;
    if (m > n / 2 || n < 2 * m) return out;
    const double beta = std::log(static_cast<double>(n)) * (pf + pf);
    std::vector<double> s1(n + 1, 0.0), s2(n + 1, 0.0);
    std::vector<double> f(n + 1, std::numeric_limits<double>::infinity());
    std::vector<std::uint64_t> p(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        s1[i + 1] = s1[i] + x[i];
        s2[i + 1] = (x[i] * x[i]) + s2[i];
    }
    f[0] = -beta;
    for (std::size_t t = 1; t <= n; ++t) {
        double best = std::numeric_limits<double>::infinity();
        std::uint64_t arg = 0;
        for (std::size_t s = 0; s + 2 <= t; ++s) {
            const std::size_t length = t - s;
            double cost = std::numeric_limits<double>::infinity();
            if (length >= m) {
                const double lf = static_cast<double>(length);
                const double d = s1[t] - s1[s];
                const double q = s2[t] - s2[s];
                const double r = q - ((d * d) / lf);
                const double lambda = r <= 0.0 ? log_floor : std::log(r);
                cost = (lambda - std::log(lf)) * lf;
            }
            const double total = beta + (cost + f[s]);
            if (total < best) {
                best = total;
                arg = s;
            }
        }
        f[t] = best;
        p[t] = arg;
    }
    for (std::uint64_t c = p[n]; c != 0; c = p[c]) out.insert(out.begin(), c);
    if (best_costs != nullptr) *best_costs = f;
    return out;
}

std::vector<double> make_signal(std::mt19937_64& rng, int kind, std::size_t n) {
    std::normal_distribution<double> normal;
    std::uniform_int_distribution<int> small(0, 3);
    std::vector<double> x(n);
    double level = 0.0, spread = 1.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (rng() % 97 == 0) {
            level = normal(rng) * 4.0;
            spread = std::exp(normal(rng));
        }
        switch (kind) {
            case 0: x[i] = level + spread * normal(rng); break;
            case 1: x[i] = small(rng); break;                         // ties
            case 2: x[i] = (i / 40) % 2 == 0 ? 0.1 : 3.0; break;      // exact and inexact runs
            case 3: x[i] = (level + normal(rng)) * 1e150; break;      // squares near overflow
            case 4: x[i] = (level + normal(rng)) * 1e-160; break;     // squares underflow
            case 5: x[i] = 1e6 + normal(rng) * 1e-3; break;           // cancellation
            // Long segments, where most candidates are dismissed near a
            // reference residual: no change at all, scaled, offset.
            case 6: x[i] = normal(rng); break;
            case 7: x[i] = normal(rng) * 1e-4; break;
            case 8: x[i] = 1e6 + normal(rng); break;
            // Residuals that are exact powers of two and ties of totals:
            // +-1 in balanced pairs, and runs of small integers.
            case 9: x[i] = (i % 2 == 0) == (rng() % 8 != 0) ? 1.0 : -1.0; break;
            case 10: x[i] = static_cast<double>((i / (1 + rng() % 3)) % 3); break;
            // Residuals near the least normal double.
            case 11: x[i] = normal(rng) * 1e-154; break;
            // Prefix sums whose rounding costs a total about as much as the
            // margin of a long segment: the split floors' allowance decides.
            case 12: x[i] = 0x1p17 + normal(rng); break;
            // Long segments broken by rare outliers and a change of spread.
            default: x[i] = (rng() % 211 == 0 ? 40.0 : 1.0) * normal(rng) * (i < n / 2 ? 1.0 : 1.5); break;
        }
    }
    if (kind == 0 && n > 10 && rng() % 3 == 0)
        x[rng() % n] = rng() % 2 ? std::numeric_limits<double>::quiet_NaN()
                                 : std::numeric_limits<double>::infinity();
    return x;
}

using lanes = generic_lanes<4>;

// log_below against the library's log: lane 0 places the reference (within a
// grid step of it), lanes 1-3 are the values probed. Returns the failures.
int check_log_below(const double* log_grid) {
    std::vector<double> probes;
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    for (int e : {-1074, -1060, -1022, -1001, -1000, -999, -300, -60, -1, 0, 1, 2, 52, 300, 1000, 1023}) {
        for (int j : {0, 1, 63, 64, 127}) {
            const double grid = std::ldexp(1.0 + j / 128.0, e);
            double below = grid, above = grid;
            for (int k = 0; k < 3; ++k) {
                below = std::nextafter(below, 0.0);
                above = std::nextafter(above, 1e308);
                probes.insert(probes.end(), {below, above});
            }
            probes.push_back(grid);
            for (double w : {-0.2401, -0.0601, -0.06, -0.0599, -0.03, -1e-3, 1e-9, 0.0078, 0.01, 0.2, 0.2399, 0.24, 0.25, 0.7, 3.0})
                probes.push_back(grid * (1.0 + w));
        }
    }
    for (int i = 0; i < 20000; ++i) probes.push_back(std::ldexp(1.0 + std::fabs(unit(rng)), static_cast<int>(rng() % 400) - 200));
    int failed = 0;
    for (double r : probes) {
        if (!(r > 0.0) || !std::isfinite(r)) continue;
        // References at, a little above, below and far from the probe.
        for (double scale : {1.0, 1.0 - 1.0 / 256, 1.0 + 1.0 / 256, 1.0 + 1.0 / 128, 1.06, 1.0639, 0.8, 1.3, 0.5}) {
            log_reference ref;
            const double anchor = r * scale;
            if (!(anchor > 0.0) || !std::isfinite(anchor)) continue;
            const lanes::vec v{anchor, r, std::nextafter(r, 0.0), std::nextafter(r, 1e308)};
            const lanes::vec bound = log_below<lanes>(ref, log_grid, v);
            for (int j = 0; j < 4; ++j) {
                if (!(v[j] > 0.0) || bound[j] <= std::log(v[j])) continue;
                if (++failed <= 5)
                    std::printf("log_below(%a) = %a above log %a (reference %a)\n", v[j], bound[j],
                                std::log(v[j]), anchor);
            }
        }
    }
    return failed;
}

// residual_below against the recursion's rounded residual, on prefix sums of
// signals with large offsets (heavy cancellation), tiny and huge scales.
int check_residual_below() {
    std::mt19937_64 rng(11);
    std::normal_distribution<double> normal;
    int failed = 0;
    for (double offset : {0.0, 1.0, 1e3, 1e6, 1e8, 3e9}) {
        for (double scale : {1e-154, 1e-5, 1.0, 1e100}) {
            const std::size_t n = 600;
            std::vector<double> s1(n + 1, 0.0), s2(n + 1, 0.0);
            for (std::size_t i = 0; i < n; ++i) {
                const double x = (offset + normal(rng)) * scale;
                s1[i + 1] = s1[i] + x;
                s2[i + 1] = (x * x) + s2[i];
            }
            for (int k = 0; k < 4000; ++k) {
                const std::size_t s = rng() % (n - 4), t = s + 2 + rng() % (n - s - 1);
                double q[4], d[4], inv[4], r[4];
                for (std::size_t j = 0; j < 4; ++j) {
                    const std::size_t sj = s + j < t - 1 ? s + j : s;
                    const double lf = static_cast<double>(t - sj);
                    d[j] = s1[t] - s1[sj];
                    q[j] = s2[t] - s2[sj];
                    inv[j] = 1.0 / lf;
                    r[j] = q[j] - ((d[j] * d[j]) / lf);
                }
                const lanes::vec low = residual_below<lanes>(lanes::load(q), lanes::load(d), lanes::load(inv));
                for (int j = 0; j < 4; ++j) {
                    if (!(low[j] > r[j])) continue;
                    if (++failed <= 5)
                        std::printf("residual_below %a above r %a (offset %g scale %g)\n", low[j], r[j], offset,
                                    scale);
                }
            }
        }
    }
    return failed;
}

// The prefix sums and ln L as the search builds them, and a candidate's
// rounded total, operation for operation.
struct prefix_sums {
    std::vector<double> s1, s2, log_length;
    explicit prefix_sums(const std::vector<double>& x)
        : s1(x.size() + 1, 0.0), s2(x.size() + 1, 0.0), log_length(x.size() + 1) {
        for (std::size_t i = 0; i < x.size(); ++i) {
            s1[i + 1] = s1[i] + x[i];
            s2[i + 1] = (x[i] * x[i]) + s2[i];
        }
        for (std::size_t i = 0; i <= x.size(); ++i) log_length[i] = std::log(static_cast<double>(i));
    }
    double total(const std::vector<double>& f, double beta, std::size_t s, std::size_t t) const {
        const double length_f = static_cast<double>(t - s);
        const double d = s1[t] - s1[s];
        const double q = s2[t] - s2[s];
        const double r = q - ((d * d) / length_f);
        const double log_r = r <= 0.0 ? log_floor : std::log(r);
        return beta + ((log_r - log_length[t - s]) * length_f + f[s]);
    }
};

// Prefix sums of signals where the split floors' pieces are tightest: large
// offsets (cancellation up to the allowance's gate), tiny and huge scales,
// +-1 pairs (exact residuals), constant runs (residuals of exactly zero).
prefix_sums adversarial_sums(std::mt19937_64& rng, int kind, std::size_t n) {
    std::normal_distribution<double> normal;
    const double offsets[] = {0.0, 1.0, 0x1p10, 0x1p17, 0x1p19, 1e6};
    const double scales[] = {1.0, 1e-150, 1e140, 1e-4};
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (kind < 24)
            x[i] = (offsets[kind % 6] + normal(rng)) * scales[kind / 6];
        else if (kind == 24)
            x[i] = (i % 2 == 0) == (rng() % 8 != 0) ? 1.0 : -1.0;
        else
            x[i] = (i / 50) % 2 == 0 ? 3.0 : 0.1;
    }
    return prefix_sums(x);
}

// The exact residual of (s, t] on the stored sums, and its exact cost, in
// long double (at least 11 more bits than double), each with a bound of its
// own error far below the slack of the bounds checked against them.
struct exact_segment {
    long double residual, cost, residual_slack, cost_slack;
};

exact_segment exact(const prefix_sums& in, std::size_t s, std::size_t t) {
    const long double length = static_cast<long double>(t - s);
    const long double d = static_cast<long double>(in.s1[t]) - in.s1[s];
    const long double q = static_cast<long double>(in.s2[t]) - in.s2[s];
    const long double r = q - d * d / length;
    const long double cost = r > 0 ? length * (std::log(r) - std::log(length)) : 0.0L;
    const long double log_abs = r > 0 ? std::fabs(std::log(r)) + std::log(length) + 1 : 0.0L;
    return {r, cost, 0x1p-60L * q, 0x1p-60L * length * (r > 0 ? q / r + log_abs : 0.0L)};
}

// cost_below and its residual against the exact ones, and the allowance
// against the distance of the recursion's rounded total from the exact one,
// for random segments and F values. Returns the failures.
int check_split_pieces() {
    std::mt19937_64 rng(13);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    int failed = 0, bounded = 0;
    auto report = [&](const char* what, int kind, std::size_t s, std::size_t t, long double got,
                      long double want) {
        if (++failed <= 5)
            std::printf("%s: kind %d (%zu, %zu]: %.21Lg against %.21Lg\n", what, kind, s, t, got,
                        want);
    };
    for (int kind = 0; kind < 26; ++kind) {
        const std::size_t n = 3000;
        const prefix_sums in = adversarial_sums(rng, kind, n);
        for (int k = 0; k < 3000; ++k) {
            const std::size_t t = 2 + rng() % (n - 1), s = rng() % (t - 1);
            const exact_segment e = exact(in, s, t);
            double residual_low;
            const double cost = cost_below(in.s1.data(), in.s2.data(), in.log_length.data(), s, t,
                                           residual_low);
            if (residual_low > e.residual + e.residual_slack) report("residual bound", kind, s, t, residual_low, e.residual);
            if (cost != cost) continue;
            ++bounded;
            if (cost > e.cost + e.cost_slack) report("cost bound", kind, s, t, cost, e.cost);
            // The recursion's total for some F and beta, written out.
            const double f = unit(rng) * std::ldexp(1.0, static_cast<int>(rng() % 24));
            const double beta = 2.0 * std::log(static_cast<double>(n)) * static_cast<double>(rng() % 3);
            const double length_f = static_cast<double>(t - s);
            const double d = in.s1[t] - in.s1[s];
            const double q = in.s2[t] - in.s2[s];
            const double r = q - ((d * d) / length_f);
            const double log_r = r <= 0.0 ? log_floor : std::log(r);
            const double total = beta + ((log_r - in.log_length[t - s]) * length_f + f);
            const double allowance = rounding_allowance(in.s2.data(), in.log_length.data(), t,
                                                        residual_low, std::fabs(f), beta);
            if (allowance != allowance) continue;
            const long double distance = std::fabs(total - (beta + (f + e.cost)));
            if (distance > allowance + e.cost_slack) report("rounding allowance", kind, s, t, distance, allowance);
        }
    }
    if (bounded < 20000) {
        std::printf("only %d segments bounded\n", bounded);
        ++failed;
    }
    return failed;
}

// A round's signal of n samples: value(i, change), where change is 0.3 in
// the second half and 0 in the first.
template <class Value>
std::vector<double> round_signal(std::size_t n, Value value) {
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = value(i, i > n / 2 ? 0.3 : 0.0);
    return x;
}

// The split floors against the totals they bound: at every end, every block
// a split point covers must have floor + offset at or below the least rounded
// total of its starts (with finite F), on long signals whose blocks often
// come within a unit or two of that (few or weak changes, small penalties).
// Returns the failures.
int check_split_floors() {
    std::mt19937_64 rng(17);
    std::normal_distribution<double> normal;
    int failed = 0;
    long long checked = 0;
    // The last rounds sit at the gates' edges and at extreme penalties: residuals just
    // above 2^-900, t S2 near 2^1000, offsets where S2 / R nears 2^40 (and, alternating
    // scales, where the gates open and close), a long least segment, and totals of
    // magnitude near the largest double (|F| and beta dominate the allowance).
    constexpr int rounds = 19;
    for (int round = 0; round < rounds; ++round) {
        const std::size_t n = 1500 + rng() % 1500;
        const auto x = round_signal(n, [&](std::size_t i, double change) {
            switch (round < 12 ? round % 6 : round) {
                case 0: return normal(rng);
                case 1: return normal(rng) + change;
                case 2: return (0x1p17 + normal(rng)) * 1e-3;
                case 3: return normal(rng) * (1.0 + change) * 1e-150;
                case 4: return (i % 2 == 0) == (rng() % 8 != 0) ? 1.0 : -1.0;
                case 5: return (i / 300) % 2 == 0 ? 3.0 + normal(rng) : static_cast<double>(i % 3);
                case 12: return normal(rng) * (1.0 + change) * 0x1p-452;
                case 13: return normal(rng) * (1.0 + change) * 0x1p490;
                case 14: return 0x1p19 + normal(rng);
                case 15: return normal(rng) * ((i / 1000) % 2 == 0 ? 1e-6 : 1.0);
                default: return normal(rng) + change;
            }
        });
        double pf = std::vector<double>{0.0, 0.25, 1.0, -1.0}[round % 4];
        std::uint64_t m = round % 5 == 4 ? 40 : 2;
        if (round == 16) m = 300;
        // Each segment's penalty a fifth of the largest double: F and the totals
        // reach most of it (and overflow past six segments).
        if (round == 17) pf = -0.1 * std::numeric_limits<double>::max() / std::log(static_cast<double>(n));
        if (round == 17) m = 200;
        if (round == 18) pf = 1e300;
        std::vector<double> f;
        plain(x, pf, m, &f);
        const prefix_sums sums(x);
        const double beta = std::log(static_cast<double>(n)) * (pf + pf);
        split_bounds splits(sums.s1.data(), sums.s2.data(), sums.log_length.data(), n, beta);
        constexpr std::size_t fine = block_sizes[1];
        const long long checked_before = checked;
        for (std::size_t t = std::max<std::size_t>(m, 2); t <= n; ++t) {
            const split_view view = splits.prepare(t, f.data());
            if (view.offset != view.offset) continue;
            for (std::size_t b = 0; b < view.fine_blocks; ++b) {
                long double least = std::numeric_limits<long double>::infinity();
                for (std::size_t s = b * fine; s < (b + 1) * fine; ++s) {
                    if (!std::isfinite(f[s])) continue;
                    least = std::min<long double>(least, sums.total(f, beta, s, t));
                }
                ++checked;
                // floor + offset > least, decided exactly (a long double sum absorbs a
                // floor of order 1 into an offset of order 1e300): least - offset is
                // hi + lo exactly, and a double floor lies above hi + lo iff it lies
                // above hi, or equals it with lo below zero.
                const double least_d = static_cast<double>(least);
                const double hi = least_d - view.offset;
                const double back = hi - least_d;
                const double lo = (least_d - (hi - back)) + (-view.offset - back);
                const bool above = view.floor[b] > hi || (view.floor[b] == hi && lo < 0.0);
                if (above && ++failed <= 5)
                    std::printf("split floor: round %d end %zu block %zu: %.21g + %.21g above %.21g\n",
                                round, t, b, view.floor[b], view.offset, least_d);
            }
        }
        // An edge round whose gates never open checks nothing.
        if (round >= 12 && checked == checked_before && ++failed <= 5)
            std::printf("split floor: round %d placed no split point\n", round);
    }
    if (checked < 200000) {
        std::printf("only %lld split floors checked\n", checked);
        ++failed;
    }
    return failed;
}

// A(x) and H(x) of start_blocks.hpp in long double (at least 11 more bits
// than double), with a bound of their own error far below the margins the
// shifted sums are checked for.
struct exact_shifted {
    long double a, h, slack_a, slack_h;
};

exact_shifted shifted(const prefix_sums& in, double c, std::size_t x) {
    const long double cx = static_cast<long double>(c) * static_cast<long double>(x);
    const long double two_c_s1 = 2.0L * c * in.s1[x];
    const long double c2x = static_cast<long double>(c) * c * static_cast<long double>(x);
    const long double a = in.s1[x] - cx;
    const long double h = (in.s2[x] - two_c_s1) + c2x;
    return {a, h, 0x1p-60L * (std::fabs(cx) + std::fabs(a)),
            0x1p-60L * (in.s2[x] + std::fabs(two_c_s1) + c2x)};
}

// The block bounds against the totals they bound: at every end, every whole
// block of starts at most t - 2 must have its bound at or below the least
// rounded total of its starts, at both block sizes. The rounds run the plain
// sums (signals near zero) and centred ones: offsets where the allowance for
// the recursion's rounding decides (2^23 to 2^25 over unit noise), negative
// ones, runs of exact values (blocks whose extremes are all alike), and tiny
// and huge scales. Returns the failures.
int check_block_bounds() {
    std::mt19937_64 rng(19);
    std::normal_distribution<double> normal;
    int failed = 0;
    long long checked = 0;
    constexpr int rounds = 12;
    for (int round = 0; round < rounds; ++round) {
        const std::size_t n = 1200 + rng() % 800;
        const auto x = round_signal(n, [&](std::size_t i, double change) {
            switch (round) {
                case 0: return normal(rng);
                case 1: return normal(rng) * (1.0 + change) + change;
                case 2: return 1e6 + normal(rng);
                case 3: return 1e6 + normal(rng) * (1.0 + change) + change;
                case 4: return 0x1p23 + normal(rng);
                case 5: return 0x1p25 + normal(rng) * 4.0;
                case 6: return -3e7 + normal(rng) * 8.0;
                case 7: return 1e6 + normal(rng) * 0.05;
                case 8: return (i / 70) % 3 == 0 ? 1e6 : 1e6 + normal(rng);
                case 9: return (1.0 + normal(rng) * 0.1) * 1e-140;
                case 10: return (1.0 + normal(rng) * 1e-2) * 0x1p505;
                default: return 1e6 + (rng() % 211 == 0 ? 40.0 : 1.0) * normal(rng);
            }
        });
        const double pf = std::vector<double>{1.0, 0.25, 0.0, -1.0}[round % 4];
        const std::uint64_t m = 2;
        std::vector<double> f;
        plain(x, pf, m, &f);
        const prefix_sums sums(x);
        const double beta = std::log(static_cast<double>(n)) * (pf + pf);
        start_blocks blocks(sums.s1.data(), sums.s2.data(), n);
        for (std::size_t t = 0; t <= n; ++t) blocks.best_cost_known(t, f.data());
        // The shifted sums first: each block's extremes and each end's bounds
        // must hold the exact values.
        const double c = blocks.centre();
        for (const block_level& level : blocks.levels()) {
            for (std::size_t b = 0; (b + 1) * level.size <= n + 1; ++b) {
                for (std::size_t s = b * level.size; s < (b + 1) * level.size; ++s) {
                    const exact_shifted at = shifted(sums, c, s);
                    if (level.shifted_sum_min[b] > at.a + at.slack_a ||
                        level.shifted_sum_max[b] < at.a - at.slack_a ||
                        level.shifted_sq_max[b] < at.h - at.slack_h)
                        if (++failed <= 5)
                            std::printf("block sums: round %d block %zu of %zu misses start %zu\n",
                                        round, b, level.size, s);
                }
            }
        }
        for (std::size_t t = 2; t <= n; ++t) {
            const block_end end = block_end_at(sums.s1.data(), sums.s2.data(), c, t);
            const exact_shifted at = shifted(sums, c, t);
            if ((end.a_low > at.a + at.slack_a || end.a_high < at.a - at.slack_a ||
                 end.h_low > at.h + at.slack_h) && ++failed <= 5)
                std::printf("block end: round %d end %zu misses its sums\n", round, t);
        }
        const long long checked_before = checked;
        for (std::size_t t = 2; t <= n; ++t) {
            const block_end end = block_end_at(sums.s1.data(), sums.s2.data(), blocks.centre(), t);
            for (const block_level& level : blocks.levels()) {
                for (std::size_t s0 = 0; s0 + level.size + 1 <= t; s0 += level.size) {
                    const double bound = block_bound(level, end, sums.log_length.data(), beta, t, s0);
                    if (bound != bound) continue;
                    double least = std::numeric_limits<double>::infinity();
                    for (std::size_t s = s0; s < s0 + level.size; ++s)
                        least = std::min(least, sums.total(f, beta, s, t));
                    ++checked;
                    if (bound > least && ++failed <= 5)
                        std::printf("block bound: round %d end %zu block %zu of %zu: %.17g above %.17g\n",
                                    round, t, s0, level.size, bound, least);
                }
            }
        }
        // Rounds from 2 on sit far from zero: their bounds are centred. Round
        // 10's squares are near 2^1010, where d*d overflows in the recursion
        // (and floors its residual): no end there may be bounded.
        const bool centred = round >= 2;
        if ((centred != (blocks.centre() != 0.0) || (checked == checked_before) != (round == 10)) &&
            ++failed <= 5)
            std::printf("block bound: round %d: centre %g, %lld bounds\n", round, blocks.centre(),
                        checked - checked_before);
    }
    return failed;
}

}  // namespace

int main() {
    std::mt19937_64 rng(20261208);
    const double factors[] = {0.0, 0.5, 1.0, 3.0, -1.0};
    int passed = 0, failed = 0;
    std::vector<double> log_grid(reference_grid);
    for (std::size_t j = 0; j < reference_grid; ++j)
        log_grid[j] = std::log(1.0 + static_cast<double>(j) / reference_grid);
    for (int bad : {check_log_below(log_grid.data()), check_residual_below(), check_split_pieces(),
                    check_split_floors(), check_block_bounds()})
        (bad == 0 ? passed : failed) += 1;
    constexpr int kinds = 14;
    for (int round = 0; round < 96; ++round) {
        const int kind = round % kinds;
        // The first rounds are long: segments of thousands of samples.
        const std::size_t n = round < kinds ? 2000 + rng() % 1500 : 1 + rng() % 700;
        const auto x = make_signal(rng, kind, n);
        const double pf = factors[rng() % 5];
        const std::uint64_t m = rng() % 4 == 0 ? n / 3 : rng() % 8;
        const auto expected = plain(x, pf, m);
        for (scan_isa isa : {scan_isa::portable, scan_isa::avx2, scan_isa::avx512, scan_isa::automatic}) {
            if (!scan_isa_supported(isa)) continue;
            auto got = pelt_search(x, pf, m, isa);
            const bool same = std::vector<std::uint64_t>(got.begin(), got.end()) == expected;
            if (!same)
                std::printf("mismatch: round %d kind %d n %zu pf %g m %llu isa %d\n", round, kind, n,
                            pf, static_cast<unsigned long long>(m), static_cast<int>(isa));
            (same ? passed : failed) += 1;
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
