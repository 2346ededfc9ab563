// Checks every compiled candidate scan against a plain evaluation of the
// recursion (two logarithms per candidate) over seeded random signals.
// Prints "N passed, M failed".
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "changepoint/pelt.hpp"

using namespace vorn::changepoint;

namespace {

std::vector<std::uint64_t> plain(const std::vector<double>& x, double pf, std::uint64_t m) {
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
            default: x[i] = 1e6 + normal(rng) * 1e-3; break;          // cancellation
        }
    }
    if (kind == 0 && n > 10 && rng() % 3 == 0)
        x[rng() % n] = rng() % 2 ? std::numeric_limits<double>::quiet_NaN()
                                 : std::numeric_limits<double>::infinity();
    return x;
}

}  // namespace

int main() {
    std::mt19937_64 rng(20261208);
    const double factors[] = {0.0, 0.5, 1.0, 3.0, -1.0};
    int passed = 0, failed = 0;
    for (int round = 0; round < 60; ++round) {
        const int kind = round % 6;
        const std::size_t n = round < 6 ? 2000 + rng() % 500 : 1 + rng() % 700;
        const auto x = make_signal(rng, kind, n);
        const double pf = factors[rng() % 5];
        const std::uint64_t m = rng() % 4 == 0 ? n / 3 : rng() % 8;
        const auto expected = plain(x, pf, m);
        for (scan_isa isa : {scan_isa::portable, scan_isa::avx2, scan_isa::automatic}) {
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
