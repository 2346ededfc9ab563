// The whole baseline of a signal: path choice, kernel passes on the pool,
// interpolation and smoothing.
#pragma once

#include <cstdint>
#include <span>

#include "core/buffer.hpp"

namespace vorn::baseline {

// Signals whose n x window_samples exceeds this take the anchor path.
inline constexpr std::uint64_t direct_work_limit = 10'000'000;

// Returns n baseline values for the n samples of `signal`. `mask` holds one
// byte per sample (only the lowest bit counts); a mask shorter than a
// non-empty signal is an internal fault. Runs without touching Python and
// may be called with the interpreter lock released.
template <class T>
core::owned_buffer<T> percentile_baseline(std::span<const T> signal,
                                          std::span<const std::uint8_t> mask,
                                          std::uint64_t window_samples, double percentile);

extern template core::owned_buffer<double> percentile_baseline<double>(
    std::span<const double>, std::span<const std::uint8_t>, std::uint64_t, double);
extern template core::owned_buffer<float> percentile_baseline<float>(
    std::span<const float>, std::span<const std::uint8_t>, std::uint64_t, double);

}  // namespace vorn::baseline
