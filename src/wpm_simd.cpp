// Run-time choice of the phase-sum kernel, and the SSE2 kernel of the x86-64 baseline.
#include "wpm_simd.h"

#include <emmintrin.h>
#include <sleef.h>

namespace {

// sum_c a_c (cos theta_c, sin theta_c), theta_c = (kx_c x + ky_c y) + rz_c, two lanes.
cpx phaseSumSse2(const PhaseTerms &t, double x, double y)
{
    const __m128d vx = _mm_set1_pd(x);
    const __m128d vy = _mm_set1_pd(y);
    __m128d sr = _mm_setzero_pd();
    __m128d si = _mm_setzero_pd();
    for (int c = 0; c < t.count; c += 2) {
        const __m128d phi_xy = _mm_add_pd(_mm_mul_pd(_mm_load_pd(t.kx + c), vx),
                                          _mm_mul_pd(_mm_load_pd(t.ky + c), vy));
        const __m128d theta = _mm_add_pd(phi_xy, _mm_load_pd(t.rz + c));
        const Sleef___m128d_2 sc = Sleef_sincosd2_u35sse2(theta); // x: sin, y: cos
        const __m128d ar = _mm_load_pd(t.ar + c);
        const __m128d ai = _mm_load_pd(t.ai + c);
        sr = _mm_add_pd(sr, _mm_sub_pd(_mm_mul_pd(ar, sc.y), _mm_mul_pd(ai, sc.x)));
        si = _mm_add_pd(si, _mm_add_pd(_mm_mul_pd(ar, sc.x), _mm_mul_pd(ai, sc.y)));
    }
    double r[2], i[2];
    _mm_storeu_pd(r, sr);
    _mm_storeu_pd(i, si);
    return cpx(r[0] + r[1], i[0] + i[1]);
}

// a_c <- a_c (cos rz_c, sin rz_c), two lanes.
void phasorSse2(const double *rz, double *ar, double *ai, int count)
{
    for (int c = 0; c < count; c += 2) {
        const Sleef___m128d_2 sc = Sleef_sincosd2_u10sse2(_mm_load_pd(rz + c)); // x: sin, y: cos
        const __m128d re = _mm_load_pd(ar + c);
        const __m128d im = _mm_load_pd(ai + c);
        _mm_store_pd(ar + c, _mm_sub_pd(_mm_mul_pd(re, sc.y), _mm_mul_pd(im, sc.x)));
        _mm_store_pd(ai + c, _mm_add_pd(_mm_mul_pd(re, sc.x), _mm_mul_pd(im, sc.y)));
    }
}

bool runsAvx2Fma()
{
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

bool runsAvx512f() { return __builtin_cpu_supports("avx512f"); }

} // namespace

PhaseSumFn phaseSumKernel(SimdLevel level)
{
    switch (level) {
    case SimdLevel::AVX512F: return runsAvx512f() ? phaseSumAvx512f() : nullptr;
    case SimdLevel::AVX2: return runsAvx2Fma() ? phaseSumAvx2Fma() : nullptr;
    case SimdLevel::SSE2: return phaseSumSse2;
    }
    return nullptr;
}

PhasorFn phasorKernel(SimdLevel level)
{
    switch (level) {
    case SimdLevel::AVX512F: return runsAvx512f() ? phasorAvx512f() : nullptr;
    case SimdLevel::AVX2: return runsAvx2Fma() ? phasorAvx2Fma() : nullptr;
    case SimdLevel::SSE2: return phasorSse2;
    }
    return nullptr;
}

SimdLevel bestSimdLevel()
{
    if (phaseSumKernel(SimdLevel::AVX512F) != nullptr)
        return SimdLevel::AVX512F;
    if (phaseSumKernel(SimdLevel::AVX2) != nullptr)
        return SimdLevel::AVX2;
    return SimdLevel::SSE2;
}

const char *simdLevelName(SimdLevel level)
{
    switch (level) {
    case SimdLevel::AVX512F: return "avx512f";
    case SimdLevel::AVX2: return "avx2+fma";
    case SimdLevel::SSE2: return "sse2";
    }
    return "?";
}
