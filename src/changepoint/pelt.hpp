// Exact penalised change-point search under a Gaussian mean-and-variance cost.
#pragma once

#include <cstdint>
#include <span>

#include "core/buffer.hpp"

namespace vorn::changepoint {

// ln(1e-20): stands in for ln(r) where a segment's residual r is not positive.
inline constexpr double log_floor = -46.051701859880914;

// The positions (ascending) at which the optimal segmentation of `samples`
// starts new segments. Every segment holds at least max(min_segment_samples,
// 2) samples; each change point costs 2 * penalty_factor * ln(n).
core::owned_buffer<std::uint64_t> pelt_search(std::span<const double> samples,
                                              double penalty_factor,
                                              std::uint64_t min_segment_samples);

// The instruction sets the candidate scan is compiled for. Every one gives
// bit-identical results; `automatic` picks the best the processor offers.
enum class scan_isa { automatic, portable, avx2, avx512 };

bool scan_isa_supported(scan_isa isa) noexcept;

core::owned_buffer<std::uint64_t> pelt_search(std::span<const double> samples,
                                              double penalty_factor,
                                              std::uint64_t min_segment_samples, scan_isa isa);

}  // namespace vorn::changepoint
