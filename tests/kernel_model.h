// Host models of the GPU kernels' launches, built from the same per-entry functions,
// plus the small volumes the kernel tests run on.
#ifndef FYRNOL_TESTS_KERNEL_MODEL_H
#define FYRNOL_TESTS_KERNEL_MODEL_H

#include <cmath>
#include <random>
#include <vector>

#include "kernelMath.h"

namespace kernelModel {

using kernelMath::cplx;

// Unnormalised forward DFT of one plane of ny rows of nx samples: S[q·nx + p].
inline std::vector<double2> planeDft(const double2 *plane, int nx, int ny)
{
    std::vector<double2> S(static_cast<size_t>(nx) * ny);
    for (int q = 0; q < ny; ++q)
        for (int p = 0; p < nx; ++p) {
            double re = 0.0, im = 0.0;
            for (int j = 0; j < ny; ++j)
                for (int i = 0; i < nx; ++i) {
                    const double a = -6.283185307179586 * (static_cast<double>(p * i % nx) / nx +
                                                    static_cast<double>(q * j % ny) / ny);
                    const double2 v = plane[j * nx + i];
                    re += v.x * std::cos(a) - v.y * std::sin(a);
                    im += v.x * std::sin(a) + v.y * std::cos(a);
                }
            S[q * nx + p] = cplx(re, im);
        }
    return S;
}

// One launch of the direct-summation kernel: every sample of plane k+1 walks S.
inline void naivePlane(double2 *E, double *F, const double2 *N, const double2 *KX, const double2 *KY,
                       const double2 *S, const double *X, const double *Y, double k0, double dz, int nx,
                       int ny, int k, bool evanescent, bool hfield, bool is_TE)
{
    const double Nt = static_cast<double>(nx * ny);
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i) {
            const int idx_0 = k * nx * ny + j * nx + i;
            const int idx_1 = (k + 1) * nx * ny + j * nx + i;
            const kernelMath::naiveSample smp = kernelMath::naiveSampleOf(N[idx_0], N[idx_1], X[i], Y[j], k0);
            for (int q = 0; q < ny; ++q)
                for (int p = 0; p < nx; ++p) {
                    kernelMath::naiveComponent c;
                    if (!kernelMath::naiveComponentOf(S[q * nx + p], p, q, KX[p].x, KY[q].x, Nt, &c))
                        continue;
                    const kernelMath::naiveAmount a =
                        kernelMath::naiveContribution(smp, c, dz, evanescent, hfield, is_TE);
                    if (a.addF)
                        F[idx_1] += a.flux;
                    if (a.addE) {
                        E[idx_1].x += a.e.x;
                        E[idx_1].y += a.e.y;
                    }
                }
        }
}

// One launch of a row kernel with blocks of b threads: whole tiles only, plane k+1 assigned.
inline void rowLaunch(double2 *E, const double2 *N, const double2 *KX, const double2 *S, const double *X,
                      double k0, double dz, int nx, int ny, int k, int b, bool is_TM)
{
    const int plane = nx * ny;
    const int tiles = nx / b;
    for (int g = 0; g < nx; ++g) {
        const double2 n_t = N[(k + 1) * plane + g];
        const kernelMath::rowSample smp =
            kernelMath::rowSampleOf(N[k * plane + g], is_TM ? n_t : cplx(n_t.x, 0.0), X[g], k0, dz);
        double2 sum = cplx(0.0, 0.0);
        for (int t = 0; t < tiles; ++t)
            for (int j = 0; j < b; ++j) {
                const int J = t * b + j;
                kernelMath::rowAccumulate(smp, KX[J], S[J], J, nx, dz, is_TM, &sum);
            }
        E[(k + 1) * plane + g] = sum;
    }
}

// A small volume on a grid where some components are evanescent in the denser media.
struct volume {
    int nx, ny, nz;
    double k0, dz;
    std::vector<double2> E, N, KX, KY;
    std::vector<double> F, X, Y;

    size_t size() const { return static_cast<size_t>(nx) * ny * nz; }
};

inline void fillAxis(int n, double d, std::vector<double2> *K, std::vector<double> *P)
{
    K->resize(n);
    P->resize(n);
    for (int i = 0; i < n; ++i) {
        const int m = i < n / 2 ? i : i - n;
        (*K)[i] = cplx(m * 6.2831853 / (n * d), 0.0);
        (*P)[i] = (i - n / 2) * d;
    }
}

// Random field in plane 0, zeros above; indices drawn from a few media, some absorbing.
inline volume randomVolume(int nx, int ny, int nz, unsigned seed, bool absorbing = true)
{
    volume v;
    v.nx = nx;
    v.ny = ny;
    v.nz = nz;
    v.k0 = 6.2831853 / 1.0e-6;
    v.dz = 0.2e-6;
    const double dx = 0.3e-6;
    fillAxis(nx, dx, &v.KX, &v.X);
    fillAxis(ny, dx, &v.KY, &v.Y);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> amp(-1.0, 1.0);
    std::uniform_int_distribution<int> medium(0, 3);
    const double n_of[4] = {1.0, 1.5, 1.2, 1.5};
    v.E.assign(v.size(), cplx(0.0, 0.0));
    v.F.assign(v.size(), 0.0);
    v.N.resize(v.size());
    for (int s = 0; s < nx * ny; ++s) {
        v.E[s] = cplx(amp(rng), amp(rng));
        v.F[s] = v.E[s].x * v.E[s].x + v.E[s].y * v.E[s].y;
    }
    for (size_t s = 0; s < v.size(); ++s) {
        const int m = medium(rng);
        v.N[s] = cplx(n_of[m], absorbing && m == 3 ? 0.01 : 0.0);
    }
    return v;
}

}  // namespace kernelModel

#endif
