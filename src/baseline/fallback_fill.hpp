// The fallback median of a call, computed on the pool, put where windows were empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "baseline/window_percentile.hpp"

namespace vorn::baseline {

// fallback_median of the whole signal, in parallel pieces: one pass keeps
// the keys of a bracket taken from a strided sample and the median is
// selected among them; when that bracket misses, histograms of the keys'
// top bits narrow the rank to the keys sharing 16 more top bits per pass,
// and the few keys left are gathered and selected from. The value is the
// key of one rank, so it does not depend on the pieces or the way taken.
// Fails like the fallback's own scan on a mask shorter than the signal.
template <class T>
T pooled_fallback_median(std::span<const T> signal, std::span<const std::uint8_t> mask);

// After a kernel loop: if some window was empty, computes the fallback and
// writes it over every placeholder (NaN) among `values`. U is T, or double
// for anchors (widening the fallback is exact).
template <class T, class U>
void fill_fallback(const window_inputs<T>& inputs, std::span<U> values);

extern template double pooled_fallback_median<double>(std::span<const double>,
                                                      std::span<const std::uint8_t>);
extern template float pooled_fallback_median<float>(std::span<const float>,
                                                    std::span<const std::uint8_t>);
extern template void fill_fallback<double, double>(const window_inputs<double>&,
                                                   std::span<double>);
extern template void fill_fallback<float, float>(const window_inputs<float>&, std::span<float>);
extern template void fill_fallback<float, double>(const window_inputs<float>&,
                                                  std::span<double>);

}  // namespace vorn::baseline
