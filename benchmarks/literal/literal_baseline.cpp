// Straightforward single-threaded percentile baseline: gather plus std::nth_element at every
// evaluated position (or anchor), linear interpolation between anchors, chunked running-sum
// moving mean. Built by benchmarks/run.py with -O2 -ffp-contract=off and called through ctypes;
// it is the yardstick _vorn_ext is timed against and must agree with bit for bit.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

constexpr std::uint64_t direct_work_limit = 10'000'000;
constexpr std::size_t smoothing_chunk = std::size_t{1} << 20;

bool usable_at(const std::uint8_t* mask, std::size_t i) { return (mask[i] & 1u) != 0; }

template <class T>
T fallback_median(const T* x, const std::uint8_t* mask, std::size_t n) {
    std::vector<T> values;
    for (std::size_t i = 0; i < n; ++i) {
        if (!usable_at(mask, i)) continue;
        const T v = x[i];
        if (v != v) continue;
        values.push_back(v);
    }
    if (values.empty()) return T(0);
    const std::size_t k = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
    return values[k];
}

// Rank arithmetic stays in float64 for both element types; the division by 100 comes first and
// the product is rounded half away from zero, then saturated into the unsigned range.
std::size_t rank_for(std::size_t c, double p) {
    const double q = p / 100.0;
    const double r = static_cast<double>(c) - 1.0;
    const double x = r * q;
    const double rounded = std::round(x);
    std::uint64_t k;
    if (!(rounded > 0.0)) {
        k = 0;  // negative values and NaN
    } else if (rounded >= 18446744073709551616.0) {
        k = std::numeric_limits<std::uint64_t>::max();
    } else {
        k = static_cast<std::uint64_t>(rounded);
    }
    return static_cast<std::size_t>(std::min<std::uint64_t>(k, c - 1));
}

template <class T>
struct baseline_call {
    const T* x;
    const std::uint8_t* mask;
    std::size_t n;
    std::size_t h;
    double p;
    std::vector<T> scratch;
    bool fallback_ready = false;
    T fallback{};

    T fallback_value() {
        if (!fallback_ready) {
            fallback = fallback_median(x, mask, n);
            fallback_ready = true;
        }
        return fallback;
    }

    T window_value(std::size_t a) {
        const std::size_t lo = a >= h ? a - h : 0;
        const std::size_t hi = h > n - a ? n : a + h;  // a + h may exceed the 64-bit range
        scratch.clear();
        for (std::size_t i = lo; i < hi; ++i) {
            if (!usable_at(mask, i)) continue;
            const T v = x[i];
            if (v != v) continue;
            scratch.push_back(v);
        }
        if (scratch.empty()) return fallback_value();
        const std::size_t k = rank_for(scratch.size(), p);
        std::nth_element(scratch.begin(), scratch.begin() + static_cast<std::ptrdiff_t>(k),
                         scratch.end());
        return scratch[k];
    }
};

// Every operation is its own rounded float64 step in this order (the build turns contraction
// off): subtract, subtract, divide, subtract, multiply, add.
double interpolate(const std::vector<double>& anchors, std::size_t s, std::size_t i) {
    const std::size_t m = anchors.size();
    if (m == 1) return anchors[0];
    const std::size_t lo = std::min(i / s, m - 2);
    const std::size_t hi = std::min(lo + 1, m - 1);
    const double x0 = anchors[lo];
    const double x1 = anchors[hi];
    const double a = static_cast<double>(i) - static_cast<double>(lo * s);
    const double b = static_cast<double>(hi * s) - static_cast<double>(lo * s);
    const double t = a / b;
    const double d = x1 - x0;
    return x0 + t * d;
}

// The running sum restarts at every chunk boundary so that the result does not depend on how
// the native module spreads chunks over workers.
template <class T>
void smooth(const std::vector<T>& base, std::size_t g, T* out) {
    const std::size_t n = base.size();
    for (std::size_t b = 0; b < n; b += smoothing_chunk) {
        const std::size_t e = std::min(b + smoothing_chunk, n);
        double sum = 0.0;
        std::size_t add = b >= g ? b - g : 0;
        std::size_t rem = add;
        for (std::size_t j = b; j < e; ++j) {
            const std::size_t hi = std::min(j + g + 1, n);
            while (add < hi) sum += static_cast<double>(base[add++]);
            const std::size_t lo = j >= g ? j - g : 0;
            while (rem < lo) sum -= static_cast<double>(base[rem++]);
            out[j] = static_cast<T>(sum / static_cast<double>(hi - lo));
        }
    }
}

template <class T>
void literal_baseline(const T* x, const std::uint8_t* mask, std::size_t n, std::uint64_t w,
                      double p, T* out) {
    if (n == 0) return;
    baseline_call<T> call{x, mask, n, static_cast<std::size_t>(w / 2), p, {}};
    call.scratch.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(w, n)));
    std::vector<T> base(n);
    const bool direct = w == 0 || n <= direct_work_limit / w;
    if (direct) {
        for (std::size_t a = 0; a < n; ++a) base[a] = call.window_value(a);
    } else {
        const std::size_t s = static_cast<std::size_t>(std::max<std::uint64_t>(w / 4, 1));
        const std::size_t m = (n + s - 1) / s;
        std::vector<double> anchors(m);
        for (std::size_t k = 0; k < m; ++k) anchors[k] = static_cast<double>(call.window_value(k * s));
        for (std::size_t i = 0; i < n; ++i) base[i] = static_cast<T>(interpolate(anchors, s, i));
    }
    const std::uint64_t wq = std::max<std::uint64_t>(w / 10, 3);
    const std::uint64_t width = wq | 1u;
    if (n < width) {
        std::copy(base.begin(), base.end(), out);
        return;
    }
    smooth(base, static_cast<std::size_t>(wq / 2), out);
}

// Kernel value at every position, unsmoothed: used only to check how the per-position filters of
// other libraries line up with this window definition.
template <class T>
void literal_kernel(const T* x, const std::uint8_t* mask, std::size_t n, std::uint64_t w, double p,
                    T* out) {
    baseline_call<T> call{x, mask, n, static_cast<std::size_t>(w / 2), p, {}};
    for (std::size_t a = 0; a < n; ++a) out[a] = call.window_value(a);
}

}  // namespace

extern "C" {

void vorn_literal_baseline_f64(const double* x, const std::uint8_t* mask, std::size_t n,
                               std::uint64_t w, double p, double* out) {
    literal_baseline(x, mask, n, w, p, out);
}

void vorn_literal_baseline_f32(const float* x, const std::uint8_t* mask, std::size_t n,
                               std::uint64_t w, double p, float* out) {
    literal_baseline(x, mask, n, w, p, out);
}

void vorn_literal_kernel_f64(const double* x, const std::uint8_t* mask, std::size_t n,
                             std::uint64_t w, double p, double* out) {
    literal_kernel(x, mask, n, w, p, out);
}

}  // extern "C"
