// The exact optimal-partitioning recursion written out plainly: every candidate boundary for
// every end position, two calls of log per admissible candidate, no pruning, one thread.
// Built by benchmarks/run.py with -O2 -ffp-contract=off; its change points must equal
// _vorn_ext.pelt's exactly.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

extern "C" std::size_t vorn_literal_pelt(const double* x, std::size_t n, double penalty_factor,
                                         std::uint64_t min_segment, std::uint64_t* out) {
    // n < 2m without forming 2m, which could wrap for huge m.
    if (min_segment > n / 2) return 0;
    constexpr double log_floor = -46.051701859880914;  // ln(1e-20)
    constexpr double inf = std::numeric_limits<double>::infinity();
    const double beta = std::log(static_cast<double>(n)) * (penalty_factor + penalty_factor);

    std::vector<double> s1(n + 1, 0.0), s2(n + 1, 0.0), f(n + 1, inf);
    std::vector<std::uint64_t> back(n + 1, 0);
    f[0] = -beta;
    // Plain running sums, square first: the residuals below depend on these exact values.
    for (std::size_t i = 0; i < n; ++i) {
        s1[i + 1] = s1[i] + x[i];
        s2[i + 1] = (x[i] * x[i]) + s2[i];
    }
    for (std::size_t t = 1; t <= n; ++t) {
        double best = inf;
        std::uint64_t arg = 0;
        for (std::size_t s = 0; s + 2 <= t; ++s) {
            const std::size_t len = t - s;
            double cost;
            if (len < min_segment) {
                cost = inf;
            } else {
                const double lf = static_cast<double>(len);
                const double d = s1[t] - s1[s];
                const double q = s2[t] - s2[s];
                const double r = q - ((d * d) / lf);
                const double lam = r <= 0.0 ? log_floor : std::log(r);
                cost = (lam - std::log(lf)) * lf;
            }
            const double total = beta + (cost + f[s]);
            if (total < best) {  // strict: a tie keeps the earlier boundary
                best = total;
                arg = s;
            }
        }
        f[t] = best;
        back[t] = arg;
    }
    std::size_t count = 0;
    for (std::uint64_t c = back[n]; c != 0; c = back[c]) out[count++] = c;
    for (std::size_t i = 0, j = count; i + 1 < j; ++i, --j) {
        const std::uint64_t tmp = out[i];
        out[i] = out[j - 1];
        out[j - 1] = tmp;
    }
    return count;
}
