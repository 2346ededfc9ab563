// Short windows on long signals: kernel, interpolation and smoothing in one pass per chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "baseline/smoothing.hpp"
#include "baseline/window_percentile.hpp"

namespace vorn::baseline {

// Windows of up to this many samples (2h <= 32) can take the fused pass.
inline constexpr std::size_t fused_window_limit = 32;

// Whether a call takes the fused pass. With windows this short the kernel
// costs a few nanoseconds a position, and a call's time goes to the passes
// over memory between the kernel, the interpolation and the smoothing (a
// baseline buffer, an anchor buffer, their fresh pages) rather than to
// selection. Fusing them leaves one pass that writes the result once, but
// its parallel unit is the smoothing chunk (the running sum restarts only
// there), so it is taken only when there are at least as many chunks as
// workers; otherwise the separate passes, whose kernel loop splits finer,
// keep every worker busy. A call that runs on one thread (`workers` 1) has
// no worker to keep busy and takes it whatever its length. `direct` is the
// driver's path choice.
template <class T>
bool takes_fused_chunks(const window_inputs<T>& inputs, bool direct, std::uint64_t step,
                        const smoothing_window& smoothing, std::size_t workers) noexcept;

// The smoothed baseline, written to `out` (n slots), by the fused pass: each
// smoothing chunk computes the kernel values it reads (its own positions and
// up to `half` on either side; on the anchor path the anchors around them,
// walked through by sorting each window with a fixed network) a batch at a
// time, and smooths them as it goes, with the running sum restarting at the
// chunk's first position exactly as the separate smoothing pass does. Every
// value is bit for bit the one the separate passes give. Chunks that met an
// empty window are computed again once the fallback median is known.
template <class T>
void fused_chunks(const window_inputs<T>& inputs, bool direct, std::uint64_t step,
                  const smoothing_window& smoothing, std::span<T> out);

extern template bool takes_fused_chunks<double>(const window_inputs<double>&, bool,
                                                std::uint64_t, const smoothing_window&,
                                                std::size_t) noexcept;
extern template bool takes_fused_chunks<float>(const window_inputs<float>&, bool, std::uint64_t,
                                               const smoothing_window&, std::size_t) noexcept;
extern template void fused_chunks<double>(const window_inputs<double>&, bool, std::uint64_t,
                                          const smoothing_window&, std::span<double>);
extern template void fused_chunks<float>(const window_inputs<float>&, bool, std::uint64_t,
                                         const smoothing_window&, std::span<float>);

}  // namespace vorn::baseline
