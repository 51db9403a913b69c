// Phase-sum kernel for AVX-512F (this unit alone is built with -mavx512f). The phase is
// formed with separate products and sums, as in the scalar code; fused multiply-adds
// appear only where written out below.
#include "wpm_simd.h"

#if defined(__AVX512F__)

#include <immintrin.h>
#include <sleef.h>

namespace {

// theta - n 2pi with n = round(theta / 2pi), 2pi in two parts and each product fused:
// within about an ulp of the reduced value, whose sin and cos then take the library's
// short path.
__m512d reduced(const __m512d theta)
{
    const __m512d n = _mm512_maskz_roundscale_pd(
        0xff, _mm512_mul_pd(theta, _mm512_set1_pd(0.15915494309189535)),
        _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m512d r = _mm512_fnmadd_pd(n, _mm512_set1_pd(6.283185307179586), theta);
    return _mm512_fnmadd_pd(n, _mm512_set1_pd(2.4492935982947064e-16), r);
}

// sum_c a_c (cos theta_c, sin theta_c), theta_c = (kx_c x + ky_c y) + rz_c, eight lanes.
template <bool Reduce>
cpx phaseSumOf(const PhaseTerms &t, double x, double y)
{
    const __m512d vx = _mm512_set1_pd(x);
    const __m512d vy = _mm512_set1_pd(y);
    __m512d sr = _mm512_setzero_pd();
    __m512d si = _mm512_setzero_pd();
    for (int c = 0; c < t.count; c += 8) {
        const __m512d phi_xy = _mm512_add_pd(_mm512_mul_pd(_mm512_load_pd(t.kx + c), vx),
                                             _mm512_mul_pd(_mm512_load_pd(t.ky + c), vy));
        const __m512d theta = _mm512_add_pd(phi_xy, _mm512_load_pd(t.rz + c));
        // x: sin, y: cos
        const Sleef___m512d_2 sc = Sleef_sincosd8_u35avx512f(Reduce ? reduced(theta) : theta);
        const __m512d ar = _mm512_load_pd(t.ar + c);
        const __m512d ai = _mm512_load_pd(t.ai + c);
        sr = _mm512_fnmadd_pd(ai, sc.x, _mm512_fmadd_pd(ar, sc.y, sr));
        si = _mm512_fmadd_pd(ai, sc.y, _mm512_fmadd_pd(ar, sc.x, si));
    }
    alignas(64) double r[8], i[8];
    _mm512_store_pd(r, sr);
    _mm512_store_pd(i, si);
    return cpx(((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7])),
               ((i[0] + i[1]) + (i[2] + i[3])) + ((i[4] + i[5]) + (i[6] + i[7])));
}

cpx phaseSum(const PhaseTerms &t, double x, double y)
{
    return t.reduce ? phaseSumOf<true>(t, x, y) : phaseSumOf<false>(t, x, y);
}

// a_c <- a_c (cos rz_c, sin rz_c), eight lanes.
void phasor(const double *rz, double *ar, double *ai, int count)
{
    for (int c = 0; c < count; c += 8) {
        const Sleef___m512d_2 sc = Sleef_sincosd8_u10avx512f(_mm512_load_pd(rz + c)); // x: sin, y: cos
        const __m512d re = _mm512_load_pd(ar + c);
        const __m512d im = _mm512_load_pd(ai + c);
        _mm512_store_pd(ar + c, _mm512_sub_pd(_mm512_mul_pd(re, sc.y), _mm512_mul_pd(im, sc.x)));
        _mm512_store_pd(ai + c, _mm512_add_pd(_mm512_mul_pd(re, sc.x), _mm512_mul_pd(im, sc.y)));
    }
}

} // namespace

PhaseSumFn phaseSumAvx512f() { return phaseSum; }
PhasorFn phasorAvx512f() { return phasor; }

#else

PhaseSumFn phaseSumAvx512f() { return nullptr; }
PhasorFn phasorAvx512f() { return nullptr; }

#endif
