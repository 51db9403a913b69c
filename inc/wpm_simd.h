// Vectorised phase sums of the CPU propagation, with the instruction set chosen at run time.
#ifndef FYRNOL_WPM_SIMD_H
#define FYRNOL_WPM_SIMD_H

#include "system.h"

// Terms of one index pair, structure of arrays: term c adds a_c exp(i theta_c) with
// theta_c = (kx_c x + ky_c y) + rz_c at the sample (x, y).
struct PhaseTerms {
    const double *kx; // rad/m
    const double *ky; // rad/m
    const double *rz; // Re kz_t dz, rad
    const double *ar; // Re a_c
    const double *ai; // Im a_c
    int count;        // a multiple of kPhaseTermsPad; padding terms are all zero
    bool reduce;      // every |theta| below kReduceBelow: reduced by 2 pi before sin and cos
};

// Phases below this magnitude may be reduced by 2 pi (in two parts, with fused products)
// before the library's sin and cos, so that it takes its short path; the reduction stays
// within about an ulp of the reduced phase far beyond this bound.
constexpr double kReduceBelow = 1e9;

// Widest vector, in doubles: tables are padded to it.
constexpr int kPhaseTermsPad = 8;

// Sum over the terms at (x, y); lane-wise partial sums, added up at the end.
typedef cpx (*PhaseSumFn)(const PhaseTerms &terms, double x, double y);

// a_c <- a_c (cos rz_c, sin rz_c) for c < count (a multiple of kPhaseTermsPad, arrays
// aligned to the widest vector), with the library's sin and cos of 1-ulp accuracy.
typedef void (*PhasorFn)(const double *rz, double *ar, double *ai, int count);

enum class SimdLevel { SSE2, AVX2, AVX512F };

// The kernel for a level; null when this build or this processor lacks it.
PhaseSumFn phaseSumKernel(SimdLevel level);

// The phasor kernel for a level; null when this build or this processor lacks it.
PhasorFn phasorKernel(SimdLevel level);

// The widest level this processor runs (SSE2 at least, on any x86-64).
SimdLevel bestSimdLevel();

const char *simdLevelName(SimdLevel level);

// Per-instruction-set kernels, each in its own translation unit; null when that
// unit was built without its instruction set.
PhaseSumFn phaseSumAvx2Fma();
PhaseSumFn phaseSumAvx512f();
PhasorFn phasorAvx2Fma();
PhasorFn phasorAvx512f();

#endif
