// Plain reference of the CPU propagation: the loops written out exactly as the
// method states them, components outer and samples inner. The production
// vormel_3D must take every decision as it does and stay within 1e-13 of its field
// for phases up to about a thousand radians; beyond, where these loops round the phase
// themselves, it must be no further from the long-double sum than they are.
#ifndef FYRNOL_REFERENCE_WPM_H
#define FYRNOL_REFERENCE_WPM_H

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <vector>

#include "fftwrap.h"
#include "system.h"

namespace ref {

// Both parts floored to whole multiples of 1e-4, each as floor(v / 1e-4) * 1e-4.
inline void trim(cpx &c)
{
    const double re = std::floor(c.real() / 1e-4) * 1e-4;
    const double im = std::floor(c.imag() / 1e-4) * 1e-4;
    c = cpx(re, im);
}

// 2 kz_i / (kz_i + kz_t): quotient first, then times (2, 0); (1, 0) when |denom| == 0.
inline cpx fresnelTTE(const cpx &kz_i, const cpx &kz_t)
{
    const cpx denom = kz_i + kz_t;
    cpx tte;
    if (std::abs(denom) == 0.0)
        tte = cpx(1.0, 0.0);
    else
        tte = (kz_i / denom) * cpx(2.0, 0.0);
    trim(tte);
    return tte;
}

// 2 n_i n_t kz_i / (n_i^2 kz_t + n_t^2 kz_i), grouped ((n_i n_t) (kz_i / denom)) (2, 0).
inline cpx fresnelTTM(const cpx &n_i, const cpx &n_t, const cpx &kz_i, const cpx &kz_t)
{
    const cpx denom = (n_i * n_i) * kz_t + (n_t * n_t) * kz_i;
    cpx ttm;
    if (std::abs(denom) == 0.0)
        ttm = cpx(1.0, 0.0);
    else
        ttm = ((n_i * n_t) * (kz_i / denom)) * cpx(2.0, 0.0);
    trim(ttm);
    return ttm;
}

// nk0 * csqrt(1 - kxy_sq / (nk0 * nk0) + 0i); nk0 itself for the (0, 0) component.
inline cpx kz(const double nk0, const double kxy_sq, const bool is_vertical_incidence)
{
    if (is_vertical_incidence)
        return cpx(nk0, 0.0);
    const cpx w(1.0 - kxy_sq / (nk0 * nk0), 0.0);
    return nk0 * std::sqrt(w);
}

// exp(iphi), iphi = (phi_xy + phi_z) (0, 1), as the method forms it.
inline cpx propagator(const double phi_xy, const cpx &phi_z)
{
    const cpx iphi = (phi_xy + phi_z) * cpx(0.0, 1.0);
    return std::exp(iphi);
}

// The same in long double, without rounding the sum of the two phases.
inline std::complex<long double> propagator(const long double phi_xy, const cpx &phi_z)
{
    typedef std::complex<long double> wide;
    return std::exp(wide(0.0L, phi_xy)) * std::exp(wide(phi_z) * wide(0.0L, 1.0L));
}

// Same arguments and effect as vormel_3D. The forward transform is the production
// wrapper's, so the spectrum (and every threshold decision) is the same bits.
// Real = double is the method as it stands; Real = long double takes the propagator as
// exp(i (kx x + ky y)) exp(i phi_z), each in long double, and sums in long double, from
// the same double terms: a measure of the rounding of both that stays exact for phases
// far beyond long double's own resolution of their sum.
template <typename Real>
void vormel_3D_literal_as(cpx *E, double *F, const cpx *N, const cpx *KX, const double *X,
                          const cpx *KY, const double *Y, const double k0, const double dz,
                          const int nz, const int ny, const int nx,
                          const bool do_evanescent_modes, const bool is_magnetic_field,
                          const polarization pol)
{
    typedef std::complex<Real> wide;
    const int nxy = nx * ny;
    cpx *S = static_cast<cpx *>(std::malloc(sizeof(cpx) * static_cast<std::size_t>(nxy)));
    if (S == nullptr)
        std::abort();
    const std::unique_ptr<fftwrap::fft2d> forward(new fftwrap::fft2d(nx, ny, -1, nullptr, S));
    std::vector<wide> sum(static_cast<std::size_t>(nxy));

    for (int k = 0; k <= nz - 2; ++k) {
        forward->fft(E + k * nxy, S);
        for (int m = 0; m < nxy; ++m)
            sum[m] = wide(E[(k + 1) * nxy + m]);
        for (int q = 0; q < ny; ++q) {
            for (int p = 0; p < nx; ++p) {
                if (std::abs(S[q * nx + p]) < 1e-4)
                    continue;
                const bool is_vertical_incidence = (p == 0 && q == 0);
                const double sign = ((p + q) % 2 == 1) ? -1.0 : 1.0;
                const cpx f = S[q * nx + p] * sign / static_cast<double>(nx * ny);
                const double kx = KX[p].real();
                const double ky = KY[q].real();
                const double kxy_sq = kx * kx + ky * ky;

                for (int j = 0; j < ny; ++j) {
                    for (int i = 0; i < nx; ++i) {
                        const int idx_0 = k * nx * ny + j * nx + i;
                        const int idx_1 = (k + 1) * nx * ny + j * nx + i;
                        const double x = X[i];
                        const double y = Y[j];
                        const cpx n_i = N[idx_0];
                        const cpx n_t = N[idx_1];

                        const bool is_index_change = n_i.real() != n_t.real();
                        const double nk0_i = k0 * n_i.real();
                        const cpx kz_i = kz(nk0_i, kxy_sq, is_vertical_incidence);
                        const bool is_evanescent_mode_i = kz_i.real() == 0.0;
                        cpx kz_t;
                        bool is_evanescent_mode_t;
                        if (is_index_change) {
                            const double nk0_t = k0 * n_t.real();
                            kz_t = kz(nk0_t, kxy_sq, is_vertical_incidence);
                            is_evanescent_mode_t = kz_t.real() == 0.0;
                        } else {
                            kz_t = kz_i;
                            is_evanescent_mode_t = is_evanescent_mode_i;
                        }
                        const bool is_internal_reflection = n_i.real() > n_t.real();
                        const bool is_external_reflection = n_t.real() > n_i.real();

                        const Real phi_xy = Real(kx) * Real(x) + Real(ky) * Real(y);
                        cpx phi_z = kz_t * dz;
                        const bool is_absorbing = n_t.imag() != 0.0;
                        if (is_absorbing)
                            phi_z += cpx(0.0, k0 * n_t.imag() * dz);
                        const wide prop = propagator(phi_xy, phi_z);

                        cpx t(1.0, 0.0);
                        if (is_index_change) {
                            switch (pol) {
                            case TE: t = fresnelTTE(kz_i, kz_t); break;
                            case TM: t = fresnelTTM(n_i, n_t, kz_i, kz_t); break;
                            default: break;
                            }
                        }
                        const cpx c(n_t.real() / (k0 * 376.73031346), 0.0);

                        if (!is_evanescent_mode_i && !is_evanescent_mode_t) {
                            const double eflux = std::abs(t * f) * std::abs(t * f) * kz_t.real();
                            F[idx_1] += eflux;
                            if (is_magnetic_field)
                                sum[idx_1 - (k + 1) * nxy] += wide((t * f) * c) * prop;
                            else
                                sum[idx_1 - (k + 1) * nxy] += wide(t * f) * prop;
                        } else {
                            if (!do_evanescent_modes)
                                continue;
                            cpx f_t(0.0, 0.0);
                            if (!is_evanescent_mode_i && is_internal_reflection &&
                                is_evanescent_mode_t) {
                                f_t = t * f;
                            } else if (is_external_reflection && is_evanescent_mode_i &&
                                       !is_evanescent_mode_t) {
                                f_t = t * f;
                                F[idx_1] += std::abs(f_t) * std::abs(f_t) * kz_t.real();
                            }
                            if (is_evanescent_mode_i && !is_index_change)
                                f_t = f;
                            if (is_magnetic_field)
                                sum[idx_1 - (k + 1) * nxy] += wide(f_t * c) * prop;
                            else
                                sum[idx_1 - (k + 1) * nxy] += wide(f_t) * prop;
                        }
                    }
                }
            }
        }
        for (int m = 0; m < nxy; ++m)
            E[(k + 1) * nxy + m] = cpx(sum[m]);
    }
    std::free(S);
}

inline void vormel_3D_literal(cpx *E, double *F, const cpx *N, const cpx *KX, const double *X,
                              const cpx *KY, const double *Y, const double k0,
                              const double dz, const double /*dy*/, const double /*dx*/,
                              const int nz, const int ny, const int nx,
                              const bool do_evanescent_modes, const bool is_magnetic_field,
                              const polarization pol)
{
    vormel_3D_literal_as<double>(E, F, N, KX, X, KY, Y, k0, dz, nz, ny, nx,
                                 do_evanescent_modes, is_magnetic_field, pol);
}

} // namespace ref

#endif
