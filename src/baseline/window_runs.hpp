// Kernel values over a run of positions: every position, or every anchor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "baseline/window_percentile.hpp"

namespace vorn::baseline {

// out[j] = the kernel value at position begin + j: the percentile of the
// usable samples in that position's window, or the fallback when it holds
// none. One call is one piece of the direct path; it slides one window
// across its positions and tracks the requested rank (tracked_window.hpp).
template <class T>
void direct_run(const window_inputs<T>& inputs, std::size_t begin, std::span<T> out);

// out[j] = the kernel value at anchor position (first_anchor + j) * step,
// widened to float64. One call is one piece of the anchor loop; it reads
// each sample once into a ring shared by the overlapping anchor windows
// (anchor_window.hpp), and per anchor keeps the keys of a bracket around the
// rank (the last answer's neighbourhood, or a sample's for wide windows) and
// selects among them.
template <class T>
void anchor_run(const window_inputs<T>& inputs, std::uint64_t step, std::size_t first_anchor,
                std::span<double> out);

// Both runs fail like an ascending window scan: values are produced up to
// the first position whose window reaches past the mask's end, and there the
// index fault is raised. With a zero half window every value is the
// fallback and no mask element is read.

extern template void direct_run<double>(const window_inputs<double>&, std::size_t,
                                        std::span<double>);
extern template void direct_run<float>(const window_inputs<float>&, std::size_t,
                                       std::span<float>);
extern template void anchor_run<double>(const window_inputs<double>&, std::uint64_t,
                                        std::size_t, std::span<double>);
extern template void anchor_run<float>(const window_inputs<float>&, std::uint64_t, std::size_t,
                                       std::span<double>);

}  // namespace vorn::baseline
