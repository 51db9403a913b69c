// Phase-sum kernel for AVX2 with FMA (this unit alone is built with -mavx2 -mfma). The
// phase is formed with separate products and sums, as in the scalar code; fused
// multiply-adds appear only where written out below.
#include "wpm_simd.h"

#if defined(__AVX2__) && defined(__FMA__)

#include <immintrin.h>
#include <sleef.h>

namespace {

// theta - n 2pi with n = round(theta / 2pi), 2pi in two parts and each product fused:
// within about an ulp of the reduced value, whose sin and cos then take the library's
// short path.
__m256d reduced(const __m256d theta)
{
    const __m256d n = _mm256_round_pd(_mm256_mul_pd(theta, _mm256_set1_pd(0.15915494309189535)),
                                      _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m256d r = _mm256_fnmadd_pd(n, _mm256_set1_pd(6.283185307179586), theta);
    return _mm256_fnmadd_pd(n, _mm256_set1_pd(2.4492935982947064e-16), r);
}

// sum_c a_c (cos theta_c, sin theta_c), theta_c = (kx_c x + ky_c y) + rz_c, four lanes.
template <bool Reduce>
cpx phaseSumOf(const PhaseTerms &t, double x, double y)
{
    const __m256d vx = _mm256_set1_pd(x);
    const __m256d vy = _mm256_set1_pd(y);
    __m256d sr = _mm256_setzero_pd();
    __m256d si = _mm256_setzero_pd();
    for (int c = 0; c < t.count; c += 4) {
        const __m256d phi_xy = _mm256_add_pd(_mm256_mul_pd(_mm256_load_pd(t.kx + c), vx),
                                             _mm256_mul_pd(_mm256_load_pd(t.ky + c), vy));
        const __m256d theta = _mm256_add_pd(phi_xy, _mm256_load_pd(t.rz + c));
        // x: sin, y: cos
        const Sleef___m256d_2 sc = Sleef_sincosd4_u35avx2(Reduce ? reduced(theta) : theta);
        const __m256d ar = _mm256_load_pd(t.ar + c);
        const __m256d ai = _mm256_load_pd(t.ai + c);
        sr = _mm256_fnmadd_pd(ai, sc.x, _mm256_fmadd_pd(ar, sc.y, sr));
        si = _mm256_fmadd_pd(ai, sc.y, _mm256_fmadd_pd(ar, sc.x, si));
    }
    alignas(32) double r[4], i[4];
    _mm256_store_pd(r, sr);
    _mm256_store_pd(i, si);
    return cpx((r[0] + r[1]) + (r[2] + r[3]), (i[0] + i[1]) + (i[2] + i[3]));
}

cpx phaseSum(const PhaseTerms &t, double x, double y)
{
    return t.reduce ? phaseSumOf<true>(t, x, y) : phaseSumOf<false>(t, x, y);
}

// a_c <- a_c (cos rz_c, sin rz_c), four lanes.
void phasor(const double *rz, double *ar, double *ai, int count)
{
    for (int c = 0; c < count; c += 4) {
        const Sleef___m256d_2 sc = Sleef_sincosd4_u10avx2(_mm256_load_pd(rz + c)); // x: sin, y: cos
        const __m256d re = _mm256_load_pd(ar + c);
        const __m256d im = _mm256_load_pd(ai + c);
        _mm256_store_pd(ar + c, _mm256_sub_pd(_mm256_mul_pd(re, sc.y), _mm256_mul_pd(im, sc.x)));
        _mm256_store_pd(ai + c, _mm256_add_pd(_mm256_mul_pd(re, sc.x), _mm256_mul_pd(im, sc.y)));
    }
}

} // namespace

PhaseSumFn phaseSumAvx2Fma() { return phaseSum; }
PhasorFn phasorAvx2Fma() { return phasor; }

#else

PhaseSumFn phaseSumAvx2Fma() { return nullptr; }
PhasorFn phasorAvx2Fma() { return nullptr; }

#endif
