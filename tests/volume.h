// A small sampled volume with its own grids, for the propagation tests and benchmarks:
// centred positions, frequencies in FFT order times 6.2831853 / (n d).
#ifndef FYRNOL_TEST_VOLUME_H
#define FYRNOL_TEST_VOLUME_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "system.h"

struct TestVolume {
    int nx, ny, nz;
    double d;
    std::vector<double> X, Y;
    std::vector<cpx> KX, KY, N, E;
    std::vector<double> F;

    TestVolume(int nx_, int ny_, int nz_, double d_, cpx n = cpx(1.0, 0.0))
        : nx(nx_), ny(ny_), nz(nz_), d(d_), X(positions(nx_, d_)), Y(positions(ny_, d_)),
          KX(frequencies(nx_, d_)), KY(frequencies(ny_, d_)),
          N(static_cast<size_t>(nx_) * ny_ * nz_, n), E(N.size(), cpx(0, 0)), F(N.size(), 0.0)
    {
    }

    static std::vector<double> positions(int n, double d)
    {
        std::vector<double> v(n);
        for (int i = 0; i < n; ++i)
            v[i] = static_cast<double>(i - n / 2) * d;
        return v;
    }
    static std::vector<cpx> frequencies(int n, double d)
    {
        std::vector<cpx> v(n);
        const double df = 6.2831853 / (static_cast<double>(n) * d);
        for (int i = 0; i < n; ++i)
            v[i] = cpx(static_cast<double>(i < n / 2 ? i : i - n) * df, 0.0);
        return v;
    }

    int plane() const { return nx * ny; }
    size_t at(int i, int j, int k) const { return (static_cast<size_t>(k) * ny + j) * nx + i; }
};

// Largest deviation of plane k of got from plane k of want, relative to want's largest
// modulus there.
template <typename T>
double planeDeviation(const std::vector<T> &got, const std::vector<T> &want, int nxy, int k)
{
    double largest = 0.0, deviation = 0.0;
    for (int m = k * nxy; m < (k + 1) * nxy; ++m) {
        largest = std::max(largest, std::abs(want[m]));
        deviation = std::max(deviation, std::abs(got[m] - want[m]));
    }
    return largest > 0.0 ? deviation / largest : deviation;
}

#endif
