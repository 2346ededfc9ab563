// The whole baseline of a signal: path choice, kernel passes on the pool, smoothing.
#include "baseline/percentile_baseline.hpp"

#include <algorithm>
#include <cstddef>

#include "baseline/anchors_and_smoothing.hpp"
#include "baseline/pool.hpp"
#include "baseline/window_percentile.hpp"

namespace vorn::baseline {

namespace {

// n x W <= direct_work_limit without forming a product that could wrap: for
// W > 0 it is the same test as n <= floor(limit / W).
bool takes_direct_path(std::uint64_t n, std::uint64_t window_samples) noexcept {
    return window_samples == 0 || n <= direct_work_limit / window_samples;
}

// A buffer of exactly `count` slots, to be written before it is read. Its
// capacity is exactly `count`, which lets the result be handed on as the
// storage of an array without trimming.
template <class U>
core::owned_buffer<U> uninitialised_buffer(std::size_t count) {
    core::owned_buffer<U> buffer(count);
    buffer.resize_for_overwrite(count);
    return buffer;
}

// Everything a kernel pass needs besides the position. One per call; the
// fallback cell in it is the only thing the tasks share and write.
template <class T>
struct kernel_pass {
    std::span<const T> signal;
    std::span<const std::uint8_t> mask;
    std::uint64_t half_window;
    double percentile;
    std::size_t scratch_capacity;
    fallback_cell<T> fallback;

    // The per-piece state: a scratch buffer reserved once for the largest
    // window, so gathering never reallocates.
    core::owned_buffer<T> make_scratch() const {
        return core::owned_buffer<T>(scratch_capacity);
    }

    T at(std::size_t position, core::owned_buffer<T>& scratch) {
        return window_percentile(signal, mask, position, half_window, percentile, scratch,
                                 fallback);
    }
};

template <class T>
void direct_path(kernel_pass<T>& kernel, std::span<T> baseline) {
    pool::for_each_index(
        baseline.size(), [&] { return kernel.make_scratch(); },
        [&](core::owned_buffer<T>& scratch, std::size_t a) { baseline[a] = kernel.at(a, scratch); });
}

// The kernel at every step-th position only, then a straight line between
// neighbouring anchors. The anchor buffer lives only inside this function, so
// it is gone before the smoothed buffer is made.
template <class T>
void anchor_path(kernel_pass<T>& kernel, std::uint64_t window_samples, std::span<T> baseline) {
    const std::uint64_t n = baseline.size();
    const std::uint64_t step = std::max<std::uint64_t>(window_samples / 4, 1);
    const std::uint64_t anchor_count = (n + step - 1) / step;  // n < 2^63: no wrap

    auto anchors = uninitialised_buffer<double>(anchor_count);
    // float32 kernel values widen exactly; the interpolation runs in float64.
    pool::map_into(
        anchors.span(), [&] { return kernel.make_scratch(); },
        [&](core::owned_buffer<T>& scratch, std::size_t k) -> double {
            return static_cast<double>(kernel.at(k * step, scratch));
        });

    const std::span<const double> anchor_values = anchors.span();
    pool::for_each_index(baseline.size(), [&](std::size_t i) {
        baseline[i] = interpolate_anchors<T>(anchor_values, step, i);
    });
}

}  // namespace

template <class T>
core::owned_buffer<T> percentile_baseline(std::span<const T> signal,
                                          std::span<const std::uint8_t> mask,
                                          std::uint64_t window_samples, double percentile) {
    const std::size_t n = signal.size();
    // Nothing to evaluate: the mask is not read and the pool is not started.
    if (n == 0) return core::owned_buffer<T>();

    kernel_pass<T> kernel{signal,
                          mask,
                          window_samples / 2,
                          percentile,
                          static_cast<std::size_t>(std::min<std::uint64_t>(window_samples, n)),
                          {}};
    auto baseline = uninitialised_buffer<T>(n);
    if (takes_direct_path(n, window_samples)) {
        direct_path(kernel, baseline.span());
    } else {
        anchor_path(kernel, window_samples, baseline.span());
    }

    const smoothing_window smoothing = smoothing_width(window_samples);
    if (n < smoothing.width) return baseline;

    auto smoothed = uninitialised_buffer<T>(n);
    const std::span<const T> unsmoothed = baseline.span();
    pool::for_each_chunk(smoothed.span(), smoothing_chunk,
                         [&](std::size_t chunk_index, std::span<T> chunk) {
                             smooth_baseline(unsmoothed, smoothing.half,
                                             chunk_index * smoothing_chunk, chunk);
                         });
    return smoothed;  // the unsmoothed baseline is released here
}

template core::owned_buffer<double> percentile_baseline<double>(std::span<const double>,
                                                                std::span<const std::uint8_t>,
                                                                std::uint64_t, double);
template core::owned_buffer<float> percentile_baseline<float>(std::span<const float>,
                                                              std::span<const std::uint8_t>,
                                                              std::uint64_t, double);

}  // namespace vorn::baseline
