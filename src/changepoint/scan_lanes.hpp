// Vectors of doubles for the candidate scan, one type per width.
#pragma once

#include <cstdint>
#include <cstring>

namespace vorn::changepoint {

// A vector of W doubles and its comparison mask, compiled to whatever the
// enclosing function's instruction set offers: every operation is the IEEE
// operation of its scalar twin. The scan has one shape for every target; a
// target chooses the width (and could bring its own mask test, see `any`).
template <int W>
struct lane_types;
template <>
struct lane_types<4> {
    using vec = double __attribute__((vector_size(32)));
    using mask = std::int64_t __attribute__((vector_size(32)));
};
template <>
struct lane_types<8> {
    using vec = double __attribute__((vector_size(64)));
    using mask = std::int64_t __attribute__((vector_size(64)));
};

template <int W>
struct generic_lanes {
    static constexpr int width = W;
    using vec = typename lane_types<W>::vec;
    using mask = typename lane_types<W>::mask;

    static vec load(const double* p) noexcept {
        vec v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    static vec splat(double x) noexcept { return vec{} + x; }
    static vec select(mask m, vec if_true, vec if_false) noexcept {
        return reinterpret_cast<vec>((reinterpret_cast<mask>(if_true) & m) |
                                     (reinterpret_cast<mask>(if_false) & ~m));
    }
    static bool any(mask m) noexcept {
        std::int64_t folded = 0;
        for (int j = 0; j < W; ++j) folded |= m[j];
        return folded != 0;
    }
};

}  // namespace vorn::changepoint
