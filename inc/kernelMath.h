// Per-sample and per-component arithmetic of the GPU propagation kernels.
// Compiled for the device under nvcc and as plain C++ elsewhere, so that the host
// can run exactly the rules the kernels run.
#ifndef FYRNOL_KERNELMATH_H
#define FYRNOL_KERNELMATH_H

#include <float.h>
#include <math.h>

#include "kernel.h"

#ifdef __CUDACC__
#define FYRNOL_HD __host__ __device__
#else
#define FYRNOL_HD
#endif

namespace kernelMath {

constexpr double AMPLITUDE_THRESHOLD = 1e-4;  // smallest unnormalised coefficient kept
constexpr double QUANTUM = 1e-4;              // grid of the transmission quantisation
constexpr double Z0 = 376.73031346;           // free-space impedance, ohm
constexpr double SHMEM_DECAY_LIMIT = 1e-6;    // largest Im kz kept by the row kernels

// ---- complex arithmetic on double2 (real part in x) ------------------------------

FYRNOL_HD inline double2 cplx(double re, double im)
{
    double2 z;
    z.x = re;
    z.y = im;
    return z;
}

FYRNOL_HD inline double2 cadd(double2 a, double2 b) { return cplx(a.x + b.x, a.y + b.y); }

FYRNOL_HD inline double2 csub(double2 a, double2 b) { return cplx(a.x - b.x, a.y - b.y); }

FYRNOL_HD inline double2 cmul(double2 a, double2 b)
{
    return cplx(a.x * b.x - a.y * b.y, a.x * b.y + a.y * b.x);
}

// Real factor times both parts.
FYRNOL_HD inline double2 cscale(double2 a, double r) { return cplx(a.x * r, a.y * r); }

// Real squares go through the power function.
FYRNOL_HD inline double square(double v) { return pow(v, 2.0); }

// |z| = M·sqrt(1 + (m/M)²) with M, m the larger and smaller part magnitude; M + m when M is 0
// or either part is infinite. A NaN part gives NaN.
FYRNOL_HD inline double cmod(double2 z)
{
    const double a = fabs(z.x);
    const double b = fabs(z.y);
    const bool aLarger = a >= b;
    const double M = aLarger ? a : b;
    const double m = aLarger ? b : a;
    if (M == 0.0 || M > DBL_MAX || m > DBL_MAX)
        return M + m;
    return M * sqrt(1.0 + square(m / M));
}

// Principal root: (sqrt((u + 1)·r/2), ±sqrt((1 − u)·r/2)) with r = |w|, u = Re w / r,
// the imaginary part taking the sign bit of Im w.
FYRNOL_HD inline double2 csqrtk(double2 w)
{
    if (w.x == 0.0 && w.y == 0.0)
        return cplx(0.0, 0.0);
    const double r = cmod(w);
    const double u = w.x / r;
    const double re = sqrt((u + 1.0) * r * 0.5);
    const double im = sqrt((1.0 - u) * r * 0.5);
    return cplx(re, signbit(w.y) ? -im : im);
}

// a / d with both scaled by 1/(|Re d| + |Im d|) first.
FYRNOL_HD inline double2 cdivScaled(double2 a, double2 d)
{
    const double o = 1.0 / (fabs(d.x) + fabs(d.y));
    const double2 as = cscale(a, o);
    const double2 ds = cscale(d, o);
    const double g = 1.0 / (square(ds.x) + square(ds.y));
    return cplx((as.x * ds.x + as.y * ds.y) * g, (as.y * ds.x - as.x * ds.y) * g);
}

// exp(i·phase) = exp(−Im phase)·(cos(Re phase) + i·sin(Re phase)).
FYRNOL_HD inline double2 expi(double2 phase)
{
    const double m = exp(-phase.y);
    return cplx(m * cos(phase.x), m * sin(phase.x));
}

// ---- transmission ------------------------------------------------------------------

// Floor of v/1e-4 taken in single precision, times 1e-4 in double.
FYRNOL_HD inline double quantise(double v)
{
    const float steps = static_cast<float>(v / QUANTUM);
    return static_cast<double>(floorf(steps)) * QUANTUM;
}

FYRNOL_HD inline double2 quantise(double2 t) { return cplx(quantise(t.x), quantise(t.y)); }

// kz = nk0·sqrt(1 − kxy²/nk0²); nk0 itself, without a root, for the component (0, 0).
FYRNOL_HD inline double2 kzOf(double nk0, double kxy_sq, bool is_vertical_incidence)
{
    if (is_vertical_incidence)
        return cplx(nk0, 0.0);
    const double2 w = cplx(1.0 - kxy_sq / square(nk0), 0.0);
    return cscale(csqrtk(w), nk0);
}

// TE: 2·kz_i / (kz_i + kz_t), (1, 0) for a zero denominator, quantised.
FYRNOL_HD inline double2 fresnelTE(double2 kz_i, double2 kz_t)
{
    const double2 d = cadd(kz_i, kz_t);
    const double2 t = cmod(d) == 0.0 ? cplx(1.0, 0.0) : cdivScaled(cadd(kz_i, kz_i), d);
    return quantise(t);
}

// TM: (2·n_i·n_t)·kz_i / (n_t²·kz_i + n_i²·kz_t), (1, 0) for a zero denominator, quantised.
FYRNOL_HD inline double2 fresnelTM(double2 n_i_sq, double2 n_t_sq, double2 n_it2, double2 kz_i,
                                   double2 kz_t)
{
    const double2 d = cadd(cmul(n_t_sq, kz_i), cmul(n_i_sq, kz_t));
    const double2 t = cmod(d) == 0.0 ? cplx(1.0, 0.0) : cdivScaled(cmul(n_it2, kz_i), d);
    return quantise(t);
}

// ---- direct spectrum summation, one sample of plane k+1 --------------------------

// What one thread knows of its sample before it walks the spectrum.
struct naiveSample {
    double2 n_i, n_t;          // index in plane k and plane k+1
    double2 n_i_sq, n_t_sq;    // complex squares
    double2 n_it2;             // 2·n_i·n_t, formed as n_i·(n_t + n_t)
    double nk0_i, nk0_t;       // Re n · k0 on both sides
    double x, y;               // position, m
    double a;                  // attenuation rate k0·Im n_t, 0 when plane k+1 does not absorb
    double2 c;                 // H-field factor Re n_t / (k0·Z0)
    bool is_index_change;      // Re n_i != Re n_t (NaN counts as a change)
    bool is_absorbing;         // Im n_t != 0
};

FYRNOL_HD inline naiveSample naiveSampleOf(double2 n_i, double2 n_t, double x, double y, double k0)
{
    naiveSample s;
    s.n_i = n_i;
    s.n_t = n_t;
    s.n_i_sq = cmul(n_i, n_i);
    s.n_t_sq = cmul(n_t, n_t);
    s.n_it2 = cmul(n_i, cadd(n_t, n_t));
    s.nk0_i = n_i.x * k0;
    s.nk0_t = n_t.x * k0;
    s.x = x;
    s.y = y;
    s.is_absorbing = n_t.y != 0.0;
    s.a = s.is_absorbing ? n_t.y * k0 : 0.0;
    s.c = cplx(n_t.x / (k0 * Z0), 0.0);
    s.is_index_change = n_i.x != n_t.x;
    return s;
}

// One retained spectral component.
struct naiveComponent {
    double2 f;                 // sign-corrected, normalised coefficient
    double kx, ky, kxy_sq;     // rad/m
    bool is_vertical_incidence;
};

// Fills c from the unnormalised coefficient s of (p, q); false when |s| < 1e-4 (skipped).
FYRNOL_HD inline bool naiveComponentOf(double2 s, int p, int q, double kx, double ky, double Nt,
                                       naiveComponent *c)
{
    if (cmod(s) < AMPLITUDE_THRESHOLD)
        return false;
    const double sign = ((p + q) % 2 == 0) ? 1.0 : -1.0;
    c->f = cplx((sign * s.x) / Nt, (sign * s.y) / Nt);
    c->kx = kx;
    c->ky = ky;
    c->kxy_sq = square(kx) + square(ky);
    c->is_vertical_incidence = (p == 0 && q == 0);
    return true;
}

// What one component adds to the sample: field and flux, each only when its flag is set.
struct naiveAmount {
    double2 e;
    double flux;
    bool addE, addF;
};

FYRNOL_HD inline naiveAmount naiveContribution(const naiveSample &smp, const naiveComponent &c, double dz,
                                               bool do_evanescent_modes, bool is_magnetic_field,
                                               bool is_TE)
{
    naiveAmount out;
    out.e = cplx(0.0, 0.0);
    out.flux = 0.0;
    out.addE = false;
    out.addF = false;

    const double2 kz_i = kzOf(smp.nk0_i, c.kxy_sq, c.is_vertical_incidence);
    double2 kz_t = kz_i;
    double2 t = cplx(1.0, 0.0);
    if (smp.is_index_change) {
        kz_t = kzOf(smp.nk0_t, c.kxy_sq, c.is_vertical_incidence);
        t = is_TE ? fresnelTE(kz_i, kz_t) : fresnelTM(smp.n_i_sq, smp.n_t_sq, smp.n_it2, kz_i, kz_t);
    }
    const bool is_evanescent_i = kz_i.x == 0.0;
    const bool is_evanescent_t = kz_t.x == 0.0;

    double2 phase = cplx(c.kx * smp.x + c.ky * smp.y + kz_t.x * dz, kz_t.y * dz);
    if (smp.is_absorbing)
        phase.y = phase.y + smp.a * dz;
    const double2 e = expi(phase);

    if (!is_evanescent_i && !is_evanescent_t) {
        const double2 ft = cmul(c.f, t);
        out.flux = kz_t.x * square(cmod(ft));
        out.addF = true;
        out.e = cmul(is_magnetic_field ? cmul(ft, smp.c) : ft, e);
        out.addE = true;
        return out;
    }
    if (!do_evanescent_modes)
        return out;

    double2 f_t = cplx(0.0, 0.0);
    if (smp.n_i.x > smp.n_t.x && !is_evanescent_i && is_evanescent_t) {
        f_t = cmul(c.f, t);  // internal reflection: carried, no flux
    } else if (smp.n_i.x < smp.n_t.x && is_evanescent_i && !is_evanescent_t) {
        f_t = cmul(c.f, t);  // external reflection: becomes propagating
        out.flux = kz_t.x * square(cmod(f_t));
        out.addF = true;
    } else if (is_evanescent_i && !smp.is_index_change) {
        f_t = c.f;
    }
    out.e = cmul(is_magnetic_field ? cmul(f_t, smp.c) : f_t, e);
    out.addE = true;
    return out;
}

// ---- one-row summation of the shared-memory kernels ------------------------------

// What one thread of a row kernel knows of its sample.
struct rowSample {
    double2 n_i, n_t;
    double nk0_i, nk0_t;
    double D;                  // damping exp(−Im n_i·k0·dz) of plane k
    double x;
};

FYRNOL_HD inline rowSample rowSampleOf(double2 n_i, double2 n_t, double x, double k0, double dz)
{
    rowSample s;
    s.n_i = n_i;
    s.n_t = n_t;
    s.nk0_i = n_i.x * k0;
    s.nk0_t = n_t.x * k0;
    s.D = exp(-n_i.y * k0 * dz);
    s.x = x;
    return s;
}

// kz = nk0·sqrt(1 − (u/nk0)²) for a complex spatial frequency u, with no case for u = 0.
FYRNOL_HD inline double2 kzRow(double2 u, double nk0)
{
    const double2 v = cplx(u.x / nk0, u.y / nk0);
    return cscale(csqrtk(csub(cplx(1.0, 0.0), cmul(v, v))), nk0);
}

// Only components that propagate in plane k are summed.
FYRNOL_HD inline bool rowComponentUsed(double2 kz_i) { return kz_i.x != 0.0 && kz_i.y < SHMEM_DECAY_LIMIT; }

// TE: (kz_i + kz_i) / (kz_i + kz_t), no guard, no quantisation.
FYRNOL_HD inline double2 rowFresnelTE(double2 kz_i, double2 kz_t)
{
    return cdivScaled(cadd(kz_i, kz_i), cadd(kz_i, kz_t));
}

// TM: 2·((n_t·n_i)·kz_i) / (n_t²·kz_i + n_i²·kz_t), no guard, no quantisation.
FYRNOL_HD inline double2 rowFresnelTM(double2 n_i, double2 n_t, double2 kz_i, double2 kz_t)
{
    const double2 num = cscale(cmul(cmul(n_t, n_i), kz_i), 2.0);
    const double2 den = cadd(cmul(cmul(n_t, n_t), kz_i), cmul(cmul(n_i, n_i), kz_t));
    return cdivScaled(num, den);
}

// Adds the term (s/nx)·t·(±D)·exp(i·(u·x + kz_i·dz)) of spectral entry J to sum, when used.
FYRNOL_HD inline void rowAccumulate(const rowSample &smp, double2 u, double2 s, int J, int nx, double dz,
                                    bool is_TM, double2 *sum)
{
    const double2 kz_i = kzRow(u, smp.nk0_i);
    const double2 kz_t = kzRow(u, smp.nk0_t);
    if (!rowComponentUsed(kz_i))
        return;
    const double2 t = is_TM ? rowFresnelTM(smp.n_i, smp.n_t, kz_i, kz_t) : rowFresnelTE(kz_i, kz_t);
    const double n = static_cast<double>(nx);
    const double signedD = (J % 2 == 0) ? smp.D : -smp.D;
    const double2 A = cscale(cmul(cplx(s.x / n, s.y / n), t), signedD);
    const double2 phase = cadd(cscale(u, smp.x), cscale(kz_i, dz));
    *sum = cadd(*sum, cmul(A, expi(phase)));
}

}  // namespace kernelMath

#endif
