// The paired float32 smoothing loop with AVX2 (see smoothing.hpp). Built for
// x86-64 only; elsewhere this unit is empty.
#if defined(__x86_64__)
#include <immintrin.h>

#include "baseline/smoothing.hpp"

namespace vorn::baseline::smoothing_detail {

#define VORN_AVX2 __attribute__((target("avx2")))

namespace {

// The values at positions i and i + 1 of two runs, narrowed to float32 and
// widened back, as {a[i], b[i]} (low half) and {a[i + 1], b[i + 1]} (high).
VORN_AVX2 inline __m256d two_positions(const __m256d& x0s, const __m256d& ds,
                                       const double* a, const double* b) noexcept {
    const __m256d ts = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_loadu_pd(a)),
                                            _mm_loadu_pd(b), 1);  // a[i], a[i+1], b[i], b[i+1]
    // Separate products and sums, as the scalar form makes them.
    const __m256d values = _mm256_add_pd(x0s, _mm256_mul_pd(ts, ds));
    const __m256d rounded = _mm256_cvtps_pd(_mm256_cvtpd_ps(values));
    return _mm256_permute4x64_pd(rounded, 0xD8);  // lanes 0, 2, 1, 3
}

}  // namespace

VORN_AVX2 std::size_t paired_float_means_avx2(const affine_pair& entering,
                                              const affine_pair& leaving, double width,
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
    const __m128d widths = _mm_set1_pd(width);
    __m128d sum = _mm_loadu_pd(sums);
    std::size_t i = 0;
    for (; i + 2 <= length; i += 2) {
        const __m256d in = two_positions(entering_x0, entering_d, entering.fractions[0] + i,
                                         entering.fractions[1] + i);
        const __m256d out = two_positions(leaving_x0, leaving_d, leaving.fractions[0] + i,
                                          leaving.fractions[1] + i);
        sum = _mm_add_pd(sum, _mm256_castpd256_pd128(in));  // add, then remove
        sum = _mm_sub_pd(sum, _mm256_castpd256_pd128(out));
        const __m128d first_mean = _mm_div_pd(sum, widths);
        sum = _mm_add_pd(sum, _mm256_extractf128_pd(in, 1));
        sum = _mm_sub_pd(sum, _mm256_extractf128_pd(out, 1));
        const __m128d second_mean = _mm_div_pd(sum, widths);
        // {first lane at i, second at i, first at i + 1, second at i + 1},
        // narrowed, then each lane's two values side by side.
        const __m128 narrow =
            _mm256_cvtpd_ps(_mm256_insertf128_pd(_mm256_castpd128_pd256(first_mean), second_mean, 1));
        const __m128 by_lane = _mm_shuffle_ps(narrow, narrow, _MM_SHUFFLE(3, 1, 2, 0));
        _mm_storel_pi(reinterpret_cast<__m64*>(first_out + i), by_lane);
        _mm_storeh_pi(reinterpret_cast<__m64*>(second_out + i), by_lane);
    }
    _mm_storeu_pd(sums, sum);
    return i;
}

}  // namespace vorn::baseline::smoothing_detail
#endif
