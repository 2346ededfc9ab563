// The smoothing loops of chunks side by side with AVX2 (see smoothing.hpp). Built for x86-64
// only; elsewhere this unit is empty.
#if defined(__x86_64__)
#include <immintrin.h>

#include <type_traits>

#include "baseline/smoothing.hpp"

namespace vorn::baseline::smoothing_detail {

#define VORN_AVX2 __attribute__((target("avx2")))

namespace {

// Whether every one of `count` lanes has a rounding shift.
inline bool all_shifted(const double* shifts, std::size_t count) noexcept {
    for (std::size_t k = 0; k < count; ++k)
        if (shifts[k] == 0.0) return false;
    return true;
}

// Values x0 + t * d, narrowed to float32 and widened back: by the shift
// where `shifts` holds one for every lane (see float32_rounding_shift), by the
// conversions otherwise.
struct shifted_rounding {
    __m256d shifts;
    VORN_AVX2 __m256d operator()(const __m256d& values) const noexcept {
        return _mm256_sub_pd(_mm256_add_pd(values, shifts), shifts);
    }
};
struct converted_rounding {
    VORN_AVX2 __m256d operator()(const __m256d& values) const noexcept {
        return _mm256_cvtps_pd(_mm256_cvtpd_ps(values));
    }
};
// Values x0 + t * d as they are: a float64 baseline's.
struct kept_rounding {
    VORN_AVX2 __m256d operator()(const __m256d& values) const noexcept { return values; }
};


// The values at positions i and i + 1 of two runs, narrowed to float32 and
// widened back, as {a[i], b[i]} (low half) and {a[i + 1], b[i + 1]} (high).
template <class Rounding>
VORN_AVX2 inline __m256d two_positions(const __m256d& x0s, const __m256d& ds,
                                       const Rounding& rounding, const double* a,
                                       const double* b) noexcept {
    const __m256d ts = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(a)),
                                            _mm_loadu_pd(b), 1);  // a[i], a[i+1], b[i], b[i+1]
    // Separate products and sums, as the scalar form makes them.
    const __m256d values = _mm256_add_pd(x0s, _mm256_mul_pd(ts, ds));
    return _mm256_permute4x64_pd(rounding(values), 0xD8);  // lanes 0, 2, 1, 3
}

template <class Rounding>
VORN_AVX2 std::size_t paired_float_means(const affine_pair& entering, const affine_pair& leaving,
                                         const Rounding& in_rounding,
                                         const Rounding& out_rounding, double width,
                                         double* sums, float* first_out, float* second_out,
                                         std::size_t length) noexcept {
    const __m256d entering_x0 = _mm256_setr_pd(entering.x0[0], entering.x0[0], entering.x0[1],
                                               entering.x0[1]);
    const __m256d entering_d = _mm256_setr_pd(entering.d[0], entering.d[0], entering.d[1],
                                              entering.d[1]);
    const __m256d leaving_x0 = _mm256_setr_pd(leaving.x0[0], leaving.x0[0], leaving.x0[1],
                                              leaving.x0[1]);
    const __m256d leaving_d = _mm256_setr_pd(leaving.d[0], leaving.d[0], leaving.d[1],
                                             leaving.d[1]);
    const __m256d widths = _mm256_set1_pd(width);
    __m128d sum = _mm_loadu_pd(sums);
    std::size_t i = 0;
    for (; i + 2 <= length; i += 2) {
        if (i % slots_per_line<float> == 0) {  // see write_ahead_bytes
            claim_ahead(first_out + i);
            claim_ahead(second_out + i);
        }
        const __m256d in = two_positions(entering_x0, entering_d, in_rounding,
                                         entering.fractions[0] + i, entering.fractions[1] + i);
        const __m256d out = two_positions(leaving_x0, leaving_d, out_rounding,
                                          leaving.fractions[0] + i, leaving.fractions[1] + i);
        sum = _mm_add_pd(sum, _mm256_castpd256_pd128(in));  // add, then remove
        sum = _mm_sub_pd(sum, _mm256_castpd256_pd128(out));
        const __m128d first_sum = sum;
        sum = _mm_add_pd(sum, _mm256_extractf128_pd(in, 1));
        sum = _mm_sub_pd(sum, _mm256_extractf128_pd(out, 1));
        // {first lane at i, second at i, first at i + 1, second at i + 1},
        // narrowed, then each lane's two values side by side.
        const __m128 narrow = _mm256_cvtpd_ps(_mm256_div_pd(
            _mm256_insertf128_pd(_mm256_castpd128_pd256(first_sum), sum, 1), widths));
        const __m128 by_lane = _mm_shuffle_ps(narrow, narrow, _MM_SHUFFLE(3, 1, 2, 0));
        _mm_storel_pi(reinterpret_cast<__m64*>(first_out + i), by_lane);
        _mm_storeh_pi(reinterpret_cast<__m64*>(second_out + i), by_lane);
    }
    _mm_storeu_pd(sums, sum);
    return i;
}

}  // namespace

VORN_AVX2 std::size_t paired_float_means_avx2(const affine_pair& entering,
                                              const affine_pair& leaving, double width,
                                              double* sums, float* first_out, float* second_out,
                                              std::size_t length) noexcept {
    if (all_shifted(entering.shift, 2) && all_shifted(leaving.shift, 2)) {
        const shifted_rounding in_rounding{_mm256_setr_pd(
            entering.shift[0], entering.shift[0], entering.shift[1], entering.shift[1])};
        const shifted_rounding out_rounding{
            _mm256_setr_pd(leaving.shift[0], leaving.shift[0], leaving.shift[1], leaving.shift[1])};
        return paired_float_means(entering, leaving, in_rounding, out_rounding, width, sums,
                                  first_out, second_out, length);
    }
    return paired_float_means(entering, leaving, converted_rounding{}, converted_rounding{},
                              width, sums, first_out, second_out, length);
}

namespace {

// Rows a, b, c, d become columns: a holds the first elements of all four.
VORN_AVX2 inline void transpose(__m256d& a, __m256d& b, __m256d& c, __m256d& d) noexcept {
    const __m256d ab_low = _mm256_unpacklo_pd(a, b);
    const __m256d ab_high = _mm256_unpackhi_pd(a, b);
    const __m256d cd_low = _mm256_unpacklo_pd(c, d);
    const __m256d cd_high = _mm256_unpackhi_pd(c, d);
    a = _mm256_permute2f128_pd(ab_low, cd_low, 0x20);
    b = _mm256_permute2f128_pd(ab_high, cd_high, 0x20);
    c = _mm256_permute2f128_pd(ab_low, cd_low, 0x31);
    d = _mm256_permute2f128_pd(ab_high, cd_high, 0x31);
}

// Each lane's value at its fraction t: x0 + t * d as separate operations
// (no FMA), narrowed to float32 and widened back.
template <class Rounding>
VORN_AVX2 inline __m256d affine_values(const __m256d& x0, const __m256d& d, const __m256d& t,
                                       const Rounding& rounding) noexcept {
    return rounding(_mm256_add_pd(x0, _mm256_mul_pd(t, d)));
}

}  // namespace

namespace {

// The lanes' fractions where each lane reads its own run: four rows of four
// positions, transposed.
struct lane_rows {
    const double* in[4];
    const double* out[4];

    VORN_AVX2 void four(std::size_t i, __m256d& t0, __m256d& t1, __m256d& t2, __m256d& t3,
                        __m256d& u0, __m256d& u1, __m256d& u2, __m256d& u3) const noexcept {
        t0 = _mm256_loadu_pd(in[0] + i);
        t1 = _mm256_loadu_pd(in[1] + i);
        t2 = _mm256_loadu_pd(in[2] + i);
        t3 = _mm256_loadu_pd(in[3] + i);
        transpose(t0, t1, t2, t3);
        u0 = _mm256_loadu_pd(out[0] + i);
        u1 = _mm256_loadu_pd(out[1] + i);
        u2 = _mm256_loadu_pd(out[2] + i);
        u3 = _mm256_loadu_pd(out[3] + i);
        transpose(u0, u1, u2, u3);
    }
    VORN_AVX2 void one(std::size_t i, __m256d& t, __m256d& u) const noexcept {
        t = _mm256_setr_pd(in[0][i], in[1][i], in[2][i], in[3][i]);
        u = _mm256_setr_pd(out[0][i], out[1][i], out[2][i], out[3][i]);
    }
};

// The lanes' fractions from a lane_table: a position's four are one load.
struct table_rows {
    const double* in;
    const double* out;

    VORN_AVX2 void four(std::size_t i, __m256d& t0, __m256d& t1, __m256d& t2, __m256d& t3,
                        __m256d& u0, __m256d& u1, __m256d& u2, __m256d& u3) const noexcept {
        t0 = _mm256_loadu_pd(in + 4 * i);
        t1 = _mm256_loadu_pd(in + 4 * i + 4);
        t2 = _mm256_loadu_pd(in + 4 * i + 8);
        t3 = _mm256_loadu_pd(in + 4 * i + 12);
        u0 = _mm256_loadu_pd(out + 4 * i);
        u1 = _mm256_loadu_pd(out + 4 * i + 4);
        u2 = _mm256_loadu_pd(out + 4 * i + 8);
        u3 = _mm256_loadu_pd(out + 4 * i + 12);
    }
    VORN_AVX2 void one(std::size_t i, __m256d& t, __m256d& u) const noexcept {
        t = _mm256_loadu_pd(in + 4 * i);
        u = _mm256_loadu_pd(out + 4 * i);
    }
};

// Spelled out value by value: with arrays of vectors and loops over them,
// GCC 12 kept the arrays on the stack, and the loop waited on its stores
// and reloads (it took longer than smoothing the chunks one at a time).
// Out is the result type: float32 means are narrowed four lanes at a time,
// float64 means stored as they are.
template <class Out, class Rows, class Rounding>
VORN_AVX2 inline std::size_t lane_means(const affine_lanes& entering, const affine_lanes& leaving,
                                        const Rows& rows, const Rounding& in_rounding,
                                        const Rounding& out_rounding, double width, double* sums,
                                        Out* const* outs, std::size_t length) noexcept {
    const __m256d in_x0 = _mm256_loadu_pd(entering.x0);
    const __m256d in_d = _mm256_loadu_pd(entering.d);
    const __m256d out_x0 = _mm256_loadu_pd(leaving.x0);
    const __m256d out_d = _mm256_loadu_pd(leaving.d);
    Out* const lane0 = outs[0];
    Out* const lane1 = outs[1];
    Out* const lane2 = outs[2];
    Out* const lane3 = outs[3];
    const __m256d widths = _mm256_set1_pd(width);
    __m256d sum = _mm256_loadu_pd(sums);
    const auto mean = [&](const __m256d& t, const __m256d& u) VORN_AVX2 {
        sum = _mm256_add_pd(sum, affine_values(in_x0, in_d, t, in_rounding));  // add, then remove
        sum = _mm256_sub_pd(sum, affine_values(out_x0, out_d, u, out_rounding));
        return _mm256_div_pd(sum, widths);
    };
    std::size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        if (i % slots_per_line<Out> == 0) {  // see write_ahead_bytes
            claim_ahead(lane0 + i);
            claim_ahead(lane1 + i);
            claim_ahead(lane2 + i);
            claim_ahead(lane3 + i);
        }
        // t_j, u_j: every lane's entering and leaving fraction at i + j.
        __m256d t0, t1, t2, t3, u0, u1, u2, u3;
        rows.four(i, t0, t1, t2, t3, u0, u1, u2, u3);
        if constexpr (std::is_same_v<Out, float>) {
            __m128 r0 = _mm256_cvtpd_ps(mean(t0, u0));
            __m128 r1 = _mm256_cvtpd_ps(mean(t1, u1));
            __m128 r2 = _mm256_cvtpd_ps(mean(t2, u2));
            __m128 r3 = _mm256_cvtpd_ps(mean(t3, u3));
            _MM_TRANSPOSE4_PS(r0, r1, r2, r3);
            _mm_storeu_ps(lane0 + i, r0);
            _mm_storeu_ps(lane1 + i, r1);
            _mm_storeu_ps(lane2 + i, r2);
            _mm_storeu_ps(lane3 + i, r3);
        } else {
            __m256d r0 = mean(t0, u0);
            __m256d r1 = mean(t1, u1);
            __m256d r2 = mean(t2, u2);
            __m256d r3 = mean(t3, u3);
            transpose(r0, r1, r2, r3);
            _mm256_storeu_pd(lane0 + i, r0);
            _mm256_storeu_pd(lane1 + i, r1);
            _mm256_storeu_pd(lane2 + i, r2);
            _mm256_storeu_pd(lane3 + i, r3);
        }
    }
    // The last positions one at a time: runs are short where anchors are
    // close (about 40 positions at W = 1,001), and handing these to the
    // scalar loop of every lane cost more than the vector loop saved.
    for (; i < length; ++i) {
        __m256d t, u;
        rows.one(i, t, u);
        if constexpr (std::is_same_v<Out, float>) {
            const __m128 r = _mm256_cvtpd_ps(mean(t, u));
            lane0[i] = _mm_cvtss_f32(r);
            lane1[i] = _mm_cvtss_f32(_mm_shuffle_ps(r, r, 1));
            lane2[i] = _mm_cvtss_f32(_mm_shuffle_ps(r, r, 2));
            lane3[i] = _mm_cvtss_f32(_mm_shuffle_ps(r, r, 3));
        } else {
            alignas(32) double r[4];
            _mm256_store_pd(r, mean(t, u));
            lane0[i] = r[0];
            lane1[i] = r[1];
            lane2[i] = r[2];
            lane3[i] = r[3];
        }
    }
    _mm256_storeu_pd(sums, sum);
    return i;
}

}  // namespace

namespace {

// lane_means with the shifted rounding where every lane's runs allow it
// (float32), or with the values as they are (float64).
template <class Rows>
VORN_AVX2 std::size_t rounded_lane_means(const affine_lanes& entering,
                                         const affine_lanes& leaving, const Rows& rows,
                                         double width, double* sums, double* const* outs,
                                         std::size_t length) noexcept {
    return lane_means(entering, leaving, rows, kept_rounding{}, kept_rounding{}, width, sums,
                      outs, length);
}

template <class Rows>
VORN_AVX2 std::size_t rounded_lane_means(const affine_lanes& entering,
                                         const affine_lanes& leaving, const Rows& rows,
                                         double width, double* sums, float* const* outs,
                                         std::size_t length) noexcept {
    if (all_shifted(entering.shift, 4) && all_shifted(leaving.shift, 4))
        return lane_means(entering, leaving, rows,
                          shifted_rounding{_mm256_loadu_pd(entering.shift)},
                          shifted_rounding{_mm256_loadu_pd(leaving.shift)}, width, sums, outs,
                          length);
    return lane_means(entering, leaving, rows, converted_rounding{}, converted_rounding{}, width,
                      sums, outs, length);
}

}  // namespace

template <class Out>
VORN_AVX2 std::size_t lane_means_avx2(const affine_lanes& entering, const affine_lanes& leaving,
                                      double width, double* sums, Out* const* outs,
                                      std::size_t length) noexcept {
    const lane_rows rows{{entering.fractions[0], entering.fractions[1], entering.fractions[2],
                          entering.fractions[3]},
                         {leaving.fractions[0], leaving.fractions[1], leaving.fractions[2],
                          leaving.fractions[3]}};
    return rounded_lane_means(entering, leaving, rows, width, sums, outs, length);
}

template <class Out>
VORN_AVX2 std::size_t lane_means_avx2(const affine_lanes& entering, const affine_lanes& leaving,
                                      const double* in_rows, const double* out_rows,
                                      double width, double* sums, Out* const* outs,
                                      std::size_t length) noexcept {
    return rounded_lane_means(entering, leaving, table_rows{in_rows, out_rows}, width, sums, outs,
                              length);
}

template std::size_t lane_means_avx2<float>(const affine_lanes&, const affine_lanes&, double,
                                            double*, float* const*, std::size_t) noexcept;
template std::size_t lane_means_avx2<double>(const affine_lanes&, const affine_lanes&, double,
                                             double*, double* const*, std::size_t) noexcept;
template std::size_t lane_means_avx2<float>(const affine_lanes&, const affine_lanes&,
                                            const double*, const double*, double, double*,
                                            float* const*, std::size_t) noexcept;
template std::size_t lane_means_avx2<double>(const affine_lanes&, const affine_lanes&,
                                             const double*, const double*, double, double*,
                                             double* const*, std::size_t) noexcept;

}  // namespace vorn::baseline::smoothing_detail
#endif
