// Linear interpolation between anchor values, as a stream of positions.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorn::baseline {

// Anchors stand every `step` positions (anchor k at k * step); anchors.size()
// = ceil(n / step) >= 1. Positions past the last anchor are extrapolated
// along the last segment.
//
// `fractions`, when present, holds a / step for the offsets a < 2 * step a
// position can have from its segment's first anchor, so the per-position
// division is paid once per call. The table is only made when every position
// and product is below 2^53: then i - lo * step and (lo + 1) * step - lo *
// step are exact in float64 and the quotient is bit for bit the one the
// per-position formula gives.
struct anchor_lattice {
    std::span<const double> anchors;
    std::uint64_t step;
    const double* fractions;
};

// Steps up to this always get a fraction table (2 * step values); wider ones
// only on signals at least 8 steps long (fraction_table).
inline constexpr std::uint64_t tabulated_step_limit = 4096;

// segment_value at the fractions t[0 .. length) of one segment, into out:
// the test on d made once for the segment.
template <class T>
inline void segment_values(double x0, double x1, const double* t, std::size_t length,
                           double* out) noexcept {
    const double d = x1 - x0;
    if (std::isfinite(d)) {
        for (std::size_t k = 0; k < length; ++k)
            out[k] = static_cast<double>(static_cast<T>(x0 + t[k] * d));  // as segment_value
    } else {
        for (std::size_t k = 0; k < length; ++k)
            out[k] = static_cast<double>(static_cast<T>(t[k] <= 0.5 ? x0 : x1));
    }
}

// Narrowing a double to float32 and widening it back rounds it to 24
// significant bits. Where values share sign and binade [2^e, 2^(e+1)),
// within float32's normal range, adding and subtracting 1.5 * 2^(e + 29)
// rounds them the same way: the sum's last bit is worth float32's last bit
// in that binade (2^(e - 23)), it rounds to nearest with ties to even (the
// constant is an even multiple of that bit) and the subtraction is exact.
// Two conversions cost more than an addition and a subtraction where they
// share an execution port with shuffles (the smoothing's vector loops).
// The constant for values between `first` and `last`, or 0 where they
// differ in sign or binade, or lie outside the range.
inline double float32_rounding_shift(double first, double last) noexcept {
    std::uint64_t first_bits, last_bits;
    std::memcpy(&first_bits, &first, sizeof first);
    std::memcpy(&last_bits, &last, sizeof last);
    if ((first_bits >> 52) != (last_bits >> 52)) return 0.0;  // sign and exponent fields
    const int e = static_cast<int>((first_bits >> 52) & 0x7FF) - 1023;
    if (e < -126 || e > 126) return 0.0;  // subnormal or near overflow as float32
    const std::uint64_t shift_bits =
        (static_cast<std::uint64_t>(e + 29 + 1023) << 52) | (std::uint64_t{1} << 51);
    double shift;
    std::memcpy(&shift, &shift_bits, sizeof shift);
    return shift;
}

// The baseline value at fraction t of the way from anchor value x0 to x1
// (t > 1 past the last anchor), d = x1 - x0, as the baseline buffer holds it
// (narrowed to T, then widened back).
template <class T>
inline double segment_value(double x0, double x1, double d, double t) noexcept {
    double value;
    if (std::isfinite(d)) {
        // Separate float64 operations in exactly this order (no
        // contraction): the baseline must be bit-reproducible.
        value = x0 + t * d;
    } else {
        // With an infinite anchor (or a difference that overflows)
        // x0 + t * d is NaN at the anchor itself (0 * inf) or everywhere
        // (inf - inf); take the nearer anchor instead, so an anchor keeps
        // its own value and positions past the last anchor hold x1.
        value = t <= 0.5 ? x0 : x1;
    }
    return static_cast<double>(static_cast<T>(value));
}

// The interpolated baseline values of consecutive positions, as the baseline
// buffer would hold them (narrowed to T, then widened back). A pure function
// of the position, so several readers, or the same reader twice, get the
// same bits.
template <class T>
class interpolated_values {
public:
    interpolated_values(const anchor_lattice& lattice, std::size_t position) noexcept
        : anchors_(lattice.anchors.data()),
          last_segment_(lattice.anchors.size() >= 2 ? lattice.anchors.size() - 2 : 0),
          step_(lattice.step),
          fractions_(lattice.fractions) {
        if (lattice.anchors.size() == 1) {
            constant_ = true;
            x0_ = static_cast<double>(static_cast<T>(anchors_[0]));  // exact: a widened T
            return;
        }
        segment_ = std::min<std::size_t>(position / step_, last_segment_);
        offset_ = position - segment_ * step_;
        load();
    }

    double next() noexcept {
        if (constant_) return x0_;
        const double value = at_offset(offset_);
        if (++offset_ == step_ && segment_ < last_segment_) advance();
        return value;
    }

    // Runs (see buffered_values in smoothing.hpp): positions within one
    // segment, where the value is affine in the tabulated fraction.
    std::size_t run_length(std::size_t limit) const noexcept {
        if (constant_ || segment_ == last_segment_) return limit;  // the last runs on
        return static_cast<std::size_t>(std::min<std::uint64_t>(step_ - offset_, limit));
    }

    // Runs are x0 + t * d over tabulated fractions. Without a fraction
    // table, on a segment with a non-finite difference (where the nearer
    // anchor stands in), or with a single anchor (rare: the window is then
    // four times the signal), values are left to next().
    bool runs_available() const noexcept { return !constant_ && finite_ && fractions_ != nullptr; }

    // A run is all finite when its two ends are: within a segment the value
    // is a monotone function of the position (the fractions grow, rounding
    // and narrowing are monotone), so the ends bound every value between.
    bool run_finite(std::size_t length) const noexcept {
        return runs_available() && std::isfinite(at_offset(offset_)) &&
               std::isfinite(at_offset(offset_ + length - 1));
    }

    struct run {
        double x0;
        double d;
        const double* fractions;
        double shift;  // float32_rounding_shift of the segment's values (float32), or 0
        double operator[](std::size_t i) const noexcept {
            // Separate float64 operations in exactly this order (no
            // contraction): the baseline must be bit-reproducible.
            return static_cast<double>(static_cast<T>(x0 + fractions[i] * d));
        }

        // The values at i of two runs, one per lane, by the operations of
        // operator[] on each lane. The narrowing to T and back is one
        // conversion of the whole vector each way: GCC 12's vectoriser,
        // packing two scalar round trips into one vector, dropped them.
        using pair = double __attribute__((vector_size(16)));
        static pair pair_at(const run& a, const run& b, std::size_t i) noexcept {
            const pair x0s = {a.x0, b.x0};
            const pair ds = {a.d, b.d};
            const pair ts = {a.fractions[i], b.fractions[i]};
            const pair values = x0s + ts * ds;
            if constexpr (std::is_same_v<T, double>) {
                return values;
            } else {
                static_assert(std::is_same_v<T, float>);
#if defined(__SSE2__)
                // The same two conversions as below, without the move that
                // clears the upper half of the two-float vector between them.
                return _mm_cvtps_pd(_mm_cvtpd_ps(values));
#else
                using narrow = float __attribute__((vector_size(8)));
                return __builtin_convertvector(__builtin_convertvector(values, narrow), pair);
#endif
            }
        }
    };
    // Only when runs_available().
    run run_values() const noexcept { return {x0_, d_, fractions_ + offset_, shift_}; }

    void skip(std::size_t length) noexcept {
        if (constant_) return;
        offset_ += length;
        if (offset_ == step_ && segment_ < last_segment_) advance();
    }

private:
    void advance() noexcept {
        ++segment_;
        offset_ = 0;
        load();
    }

    void load() noexcept {
        x0_ = anchors_[segment_];
        x1_ = anchors_[segment_ + 1];
        d_ = x1_ - x0_;
        finite_ = std::isfinite(d_);
        // Once per segment, not per run: the values of offsets 0 to step - 1
        // lie between the first and the last (the last segment runs on past
        // them).
        shift_ = 0.0;
        if constexpr (std::is_same_v<T, float>) {
            if (finite_ && fractions_ != nullptr && segment_ < last_segment_)
                shift_ = float32_rounding_shift(x0_ + fractions_[0] * d_,
                                                x0_ + fractions_[step_ - 1] * d_);
        }
    }

    double at_offset(std::uint64_t offset) const noexcept {
        double t;
        if (fractions_ != nullptr) {
            t = fractions_[offset];
        } else {
            // t = a / b with a = i - lo * step and b = hi * step - lo * step,
            // each product converted to float64 before the subtraction.
            const std::uint64_t lo_position = segment_ * step_;
            const double lo = static_cast<double>(lo_position);
            const double a = static_cast<double>(lo_position + offset) - lo;
            const double b = static_cast<double>(lo_position + step_) - lo;
            t = a / b;
        }
        return segment_value<T>(x0_, x1_, d_, t);
    }

    const double* anchors_;
    std::size_t last_segment_;
    std::uint64_t step_;
    const double* fractions_;
    bool constant_ = false;
    bool finite_ = false;
    std::size_t segment_ = 0;
    std::uint64_t offset_ = 0;
    double x0_ = 0.0;
    double x1_ = 0.0;
    double d_ = 0.0;
    double shift_ = 0.0;
};

}  // namespace vorn::baseline
