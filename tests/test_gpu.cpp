// Device checks of the GPU propagation wrappers against host models of their launches.
// Skipped in builds without CUDA and on machines without a device.
#include <gtest/gtest.h>

#include "kernel.h"

#ifndef FYRNOL_HAVE_CUDA

TEST(GpuPropagation, NeedsACudaBuild) { GTEST_SKIP() << "built without CUDA"; }

#else

#include <cuda_runtime.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "kernel_model.h"
#include "testutil.h"
#include "wpm.h"

namespace {

using kernelMath::cplx;
using kernelModel::volume;

#define CU(expr) checkCuda((expr), #expr, __FILE__, __LINE__)

void checkCuda(cudaError_t err, const char *call, const char *file, int line)
{
    if (err != cudaSuccess)
        FAIL() << file << ":" << line << ": " << call << " gave " << static_cast<int>(err) << " ("
               << cudaGetErrorString(err) << ")";
}

bool hasDevice()
{
    int count = 0;
    const bool ok = cudaGetDeviceCount(&count) == cudaSuccess && count > 0;
    cudaGetLastError();  // a failed query must not reach the next check
    return ok;
}

#define SKIP_WITHOUT_DEVICE()                  \
    do {                                       \
        if (!hasDevice())                      \
            GTEST_SKIP() << "no CUDA device";  \
    } while (0)

// Device copy of a host vector; released when it goes out of scope.
template <typename T>
class deviceArray {
public:
    explicit deviceArray(const std::vector<T> &host) : n_(host.size())
    {
        CU(cudaMalloc(reinterpret_cast<void **>(&p_), n_ * sizeof(T)));
        CU(cudaMemcpy(p_, host.data(), n_ * sizeof(T), cudaMemcpyHostToDevice));
    }
    deviceArray(const deviceArray &) = delete;
    deviceArray &operator=(const deviceArray &) = delete;
    deviceArray(deviceArray &&o) noexcept : p_(std::exchange(o.p_, nullptr)), n_(o.n_) {}
    ~deviceArray() { cudaFree(p_); }

    T *get() const { return p_; }
    std::vector<T> download() const
    {
        std::vector<T> host(n_);
        CU(cudaMemcpy(host.data(), p_, n_ * sizeof(T), cudaMemcpyDeviceToHost));
        return host;
    }

private:
    T *p_ = nullptr;
    size_t n_ = 0;
};

std::complex<double> toC(double2 z) { return std::complex<double>(z.x, z.y); }

// Largest deviation of a over b, relative to the largest modulus of b.
double relDeviation(const std::vector<double2> &a, const std::vector<double2> &b)
{
    double err = 0.0, scale = 0.0;
    for (size_t s = 0; s < a.size(); ++s) {
        err = std::max(err, std::abs(toC(a[s]) - toC(b[s])));
        scale = std::max(scale, std::abs(toC(b[s])));
    }
    return scale > 0.0 ? err / scale : err;
}

double relDeviation(const std::vector<double> &a, const std::vector<double> &b)
{
    double err = 0.0, scale = 0.0;
    for (size_t s = 0; s < a.size(); ++s) {
        err = std::max(err, std::fabs(a[s] - b[s]));
        scale = std::max(scale, std::fabs(b[s]));
    }
    return scale > 0.0 ? err / scale : err;
}

// The whole direct-summation propagation on the host.
void naiveModel(volume *v, bool evanescent, bool hfield, bool is_TE)
{
    const int plane = v->nx * v->ny;
    for (int k = 0; k + 1 < v->nz; ++k) {
        const std::vector<double2> S = kernelModel::planeDft(v->E.data() + k * plane, v->nx, v->ny);
        kernelModel::naivePlane(v->E.data(), v->F.data(), v->N.data(), v->KX.data(), v->KY.data(), S.data(),
                                v->X.data(), v->Y.data(), v->k0, v->dz, v->nx, v->ny, k, evanescent, hfield,
                                is_TE);
    }
}

struct deviceVolume {
    deviceArray<double2> E, N, KX, KY;
    deviceArray<double> F, X, Y;
    explicit deviceVolume(const volume &v)
        : E(v.E), N(v.N), KX(v.KX), KY(v.KY), F(v.F), X(v.X), Y(v.Y)
    {
    }
};

void runNaive(const volume &v, const deviceVolume &d, int blockSize, bool evanescent, bool hfield, bool is_TE)
{
    naiveKernelWrapper_3D(d.E.get(), d.F.get(), d.N.get(), d.KX.get(), d.X.get(), d.KY.get(), d.Y.get(), v.k0,
                          v.dz, 0.3e-6, 0.3e-6, v.nz, v.ny, v.nx, blockSize, evanescent, hfield, is_TE);
}

// ---- direct summation ---------------------------------------------------------------

TEST(NaiveWrapper, MatchesHostModel)
{
    SKIP_WITHOUT_DEVICE();
    for (bool is_TE : {true, false})
        for (bool evanescent : {true, false})
            for (bool hfield : {false, true}) {
                SCOPED_TRACE(::testing::Message() << "TE " << is_TE << " evanescent " << evanescent << " H "
                                                  << hfield);
                volume v = kernelModel::randomVolume(8, 6, 4, 101);
                const deviceVolume d(v);
                runNaive(v, d, 4, evanescent, hfield, is_TE);
                CU(cudaDeviceSynchronize());
                CU(cudaGetLastError());
                naiveModel(&v, evanescent, hfield, is_TE);
                EXPECT_LT(relDeviation(d.E.download(), v.E), 1e-9);
                EXPECT_LT(relDeviation(d.F.download(), v.F), 1e-9);
            }
}

TEST(NaiveWrapper, SinglePlaneIsLeftAsItIs)
{
    SKIP_WITHOUT_DEVICE();
    const volume v = kernelModel::randomVolume(8, 4, 1, 103);
    const deviceVolume d(v);
    runNaive(v, d, 16, true, false, true);
    CU(cudaDeviceSynchronize());
    CU(cudaGetLastError());
    EXPECT_EQ(relDeviation(d.E.download(), v.E), 0.0);
    EXPECT_EQ(relDeviation(d.F.download(), v.F), 0.0);
}

TEST(NaiveWrapper, TwoPlanesMakeOneStep)
{
    SKIP_WITHOUT_DEVICE();
    volume v = kernelModel::randomVolume(16, 8, 2, 107);
    const std::vector<double2> E0(v.E.begin(), v.E.begin() + 16 * 8);
    const deviceVolume d(v);
    runNaive(v, d, 16, true, false, true);
    CU(cudaDeviceSynchronize());
    CU(cudaGetLastError());
    naiveModel(&v, true, false, true);
    const std::vector<double2> E = d.E.download();
    EXPECT_LT(relDeviation(E, v.E), 1e-9);
    for (int s = 0; s < 16 * 8; ++s) {
        EXPECT_EQ(E[s].x, E0[s].x);
        EXPECT_EQ(E[s].y, E0[s].y);
    }
}

TEST(NaiveWrapper, EverySampleServedByExactlyOneThread)
{
    SKIP_WITHOUT_DEVICE();
    // Constant field in a uniform medium: only the component (0, 0) passes, so each sample
    // of plane 1 gets a·exp(i·k0·n·dz) from one addition. A third plane guards the end.
    const int nx = 20, ny = 12;
    volume v = kernelModel::randomVolume(nx, ny, 3, 109, false);
    const double n = 1.2, a = 0.75;
    for (size_t s = 0; s < v.size(); ++s) {
        v.N[s] = cplx(n, 0.0);
        v.E[s] = s < size_t(nx * ny) ? cplx(a, 0.0) : cplx(0.0, 0.0);
        v.F[s] = s < size_t(nx * ny) ? a * a : 0.0;
    }
    const deviceVolume d(v);
    v.nz = 2;  // the wrapper sees two planes
    runNaive(v, d, 16, true, false, true);
    CU(cudaDeviceSynchronize());
    CU(cudaGetLastError());
    const std::vector<double2> E = d.E.download();
    const std::vector<double> F = d.F.download();
    const std::complex<double> expected = a * std::exp(std::complex<double>(0.0, v.k0 * n * v.dz));
    for (int s = nx * ny; s < 2 * nx * ny; ++s) {
        EXPECT_LT(std::abs(toC(E[s]) - expected), 1e-12) << s;
        EXPECT_NEAR(F[s], v.k0 * n * a * a, 1e-9 * v.k0) << s;
    }
    for (int s = 2 * nx * ny; s < 3 * nx * ny; ++s) {
        EXPECT_EQ(E[s].x, 0.0);
        EXPECT_EQ(F[s], 0.0);
    }
}

TEST(NaiveWrapper, LargestSquareBlockRuns)
{
    SKIP_WITHOUT_DEVICE();
    volume v = kernelModel::randomVolume(40, 34, 2, 113);
    const deviceVolume d(v);
    runNaive(v, d, 32, true, false, true);  // 1024 threads per block
    CU(cudaDeviceSynchronize());
    CU(cudaGetLastError());
    naiveModel(&v, true, false, true);
    EXPECT_LT(relDeviation(d.E.download(), v.E), 1e-9);
}

TEST(NaiveWrapper, OversizedBlockFailsThroughTheErrorState)
{
    SKIP_WITHOUT_DEVICE();
    const volume v = kernelModel::randomVolume(8, 8, 3, 127);
    const deviceVolume d(v);
    runNaive(v, d, 33, true, false, true);  // 1089 threads per block
    cudaDeviceSynchronize();
    EXPECT_NE(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(relDeviation(d.E.download(), v.E), 0.0);  // planes 1 and 2 stay zero
    EXPECT_EQ(relDeviation(d.F.download(), v.F), 0.0);
    CU(cudaGetLastError());  // the error is not sticky
}

// The GPU and CPU propagations of one volume; the deviation is relative to the largest CPU sample.
double gpuAgainstCpu(volume v, polarization pol)
{
    const deviceVolume d(v);
    runNaive(v, d, 8, true, false, pol != TM);
    CU(cudaDeviceSynchronize());
    CU(cudaGetLastError());
    const std::vector<double2> gpu = d.E.download();

    testutil::TempDir dir;  // the CPU transform writes its wisdom file here
    std::vector<cpx> E(v.size()), N(v.size()), KX(v.nx), KY(v.ny);
    for (size_t s = 0; s < v.size(); ++s) {
        E[s] = toC(v.E[s]);
        N[s] = toC(v.N[s]);
    }
    for (int i = 0; i < v.nx; ++i)
        KX[i] = toC(v.KX[i]);
    for (int j = 0; j < v.ny; ++j)
        KY[j] = toC(v.KY[j]);
    vormel_3D(E.data(), v.F.data(), N.data(), KX.data(), v.X.data(), KY.data(), v.Y.data(), v.k0, v.dz, 0.3e-6,
              0.3e-6, v.nz, v.ny, v.nx, true, false, pol);
    std::vector<double2> cpu(v.size());
    for (size_t s = 0; s < v.size(); ++s)
        cpu[s] = cplx(E[s].real(), E[s].imag());
    return relDeviation(gpu, cpu);
}

TEST(NaiveWrapper, AgreesWithTheCpuPropagation)
{
    SKIP_WITHOUT_DEVICE();
    // The same index in every plane: no Fresnel factor, agreement to rounding.
    volume v = kernelModel::randomVolume(16, 8, 4, 139);
    const int plane = 16 * 8;
    for (size_t s = plane; s < v.size(); ++s)
        v.N[s] = v.N[s % plane];
    EXPECT_LT(gpuAgainstCpu(v, TE), 1e-9);
    // Index changes: the quantisations differ by at most one step of 1e-4 per factor.
    const volume w = kernelModel::randomVolume(16, 8, 4, 149);
    EXPECT_LT(gpuAgainstCpu(w, TE), 2e-3);
    EXPECT_LT(gpuAgainstCpu(w, TM), 2e-3);
}

// ---- shared-memory rows -------------------------------------------------------------

// The whole row propagation on the host, planes nx·ny apart, row 0 of each.
void rowModel(volume *v, int blockSize, bool is_TM)
{
    const int plane = v->nx * v->ny;
    for (int k = 0; k + 1 < v->nz; ++k) {
        const std::vector<double2> S = kernelModel::planeDft(v->E.data() + k * plane, v->nx, v->ny);
        kernelModel::rowLaunch(v->E.data(), v->N.data(), v->KX.data(), S.data(), v->X.data(), v->k0, v->dz,
                               v->nx, v->ny, k, blockSize, is_TM);
    }
}

void runRows(const volume &v, const deviceVolume &d, int blockSize, int fresnel)
{
    shMemKernelWrapper_3D(d.E.get(), d.N.get(), d.KX.get(), d.X.get(), d.KY.get(), d.Y.get(), v.k0, v.dz, v.nz,
                          v.ny, v.nx, blockSize, fresnel);
}

TEST(ShMemWrapper, MatchesHostModelOnOneRow)
{
    SKIP_WITHOUT_DEVICE();
    for (int fresnel : {0, 1})
        for (int blockSize : {32, 16, 128}) {
            SCOPED_TRACE(::testing::Message() << "fresnel " << fresnel << " block " << blockSize);
            volume v = kernelModel::randomVolume(100, 1, 4, 131);
            const deviceVolume d(v);
            runRows(v, d, blockSize, fresnel);
            CU(cudaDeviceSynchronize());
            CU(cudaGetLastError());
            rowModel(&v, blockSize, fresnel == 1);
            EXPECT_LT(relDeviation(d.E.download(), v.E), 1e-9);
        }
}

TEST(ShMemWrapper, PlanesOfSeveralRowsUseTheirFirstRow)
{
    SKIP_WITHOUT_DEVICE();
    volume v = kernelModel::randomVolume(64, 3, 3, 137);
    const deviceVolume d(v);
    runRows(v, d, 32, 0);
    CU(cudaDeviceSynchronize());
    CU(cudaGetLastError());
    const std::vector<double2> before = v.E;
    rowModel(&v, 32, false);
    const std::vector<double2> E = d.E.download();
    EXPECT_LT(relDeviation(E, v.E), 1e-9);
    // Plane 0 and the other rows of later planes are not written.
    for (int s = 0; s < 64 * 3; ++s)
        EXPECT_EQ(E[s].x, before[s].x);
    for (int k = 1; k < 3; ++k)
        for (int s = 64; s < 64 * 3; ++s)
            EXPECT_EQ(E[k * 64 * 3 + s].x, 0.0);
}

// Both wrappers' fatal exits happen before anything needs a device: run them in a fresh
// process so that no CUDA context is inherited.
TEST(ShMemWrapperDeathTest, UnknownFresnelSelectorExits)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            shMemKernelWrapper_3D(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 1.0, 1.0, 2, 1, 8, 8, 2);
        },
        ::testing::ExitedWithCode(255), "Error - Unknown Fresnel Coefficient 2\n");
}

TEST(NaiveWrapperDeathTest, FailedPlanIsReported)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            naiveKernelWrapper_3D(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 1.0, 1.0, 1.0,
                                  1.0, 2, 1, 0, 16, true, false, true);
        },
        ::testing::ExitedWithCode(255), "Error.* - GPU FFT plan of 1 x 0 samples failed");
}

}  // namespace

#endif
