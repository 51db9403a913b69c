// Plain reference of the CPU propagation: the loops written out exactly as the
// method states them, components outer and samples inner. The production
// vormel_3D must take every decision as it does and stay within 1e-13 of its field.
#ifndef FYRNOL_REFERENCE_WPM_H
#define FYRNOL_REFERENCE_WPM_H

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdlib>
#include <memory>

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

// Same arguments and effect as vormel_3D. The forward transform is the production
// wrapper's, so the spectrum (and every threshold decision) is the same bits.
inline void vormel_3D_literal(cpx *E, double *F, const cpx *N, const cpx *KX, const double *X,
                              const cpx *KY, const double *Y, const double k0,
                              const double dz, const double /*dy*/, const double /*dx*/,
                              const int nz, const int ny, const int nx,
                              const bool do_evanescent_modes, const bool is_magnetic_field,
                              const polarization pol)
{
    const int nxy = nx * ny;
    cpx *S = static_cast<cpx *>(std::malloc(sizeof(cpx) * static_cast<std::size_t>(nxy)));
    if (S == nullptr)
        std::abort();
    const std::unique_ptr<fftwrap::fft2d> forward(new fftwrap::fft2d(nx, ny, -1, nullptr, S));

    for (int k = 0; k <= nz - 2; ++k) {
        forward->fft(E + k * nxy, S);
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

                        const double phi_xy = kx * x + ky * y;
                        cpx phi_z = kz_t * dz;
                        const bool is_absorbing = n_t.imag() != 0.0;
                        if (is_absorbing)
                            phi_z += cpx(0.0, k0 * n_t.imag() * dz);
                        const cpx iphi = (phi_xy + phi_z) * cpx(0.0, 1.0);

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
                                E[idx_1] += ((t * f) * c) * std::exp(iphi);
                            else
                                E[idx_1] += (t * f) * std::exp(iphi);
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
                                E[idx_1] += (f_t * c) * std::exp(iphi);
                            else
                                E[idx_1] += f_t * std::exp(iphi);
                        }
                    }
                }
            }
        }
    }
    std::free(S);
}

} // namespace ref

#endif
