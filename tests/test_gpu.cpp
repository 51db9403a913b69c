// Device checks of the GPU propagation wrappers against host models of their launches.
// Skipped in builds without CUDA and on machines without a device; in the build on the host
// stand-in of the CUDA runtime they always run, with the stand-in's own checks at the end.
#include <gtest/gtest.h>

#include "kernel.h"

#ifndef FYRNOL_HAVE_CUDA

TEST(GpuPropagation, NeedsACudaBuild) { GTEST_SKIP() << "built without CUDA"; }

#else

#include <cuda_runtime.h>
#include <cufft.h>
#include <fftw3.h>
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

// The larger of a and b, NaN when either is: a NaN sample must not pass for agreement.
double maxOrNan(double a, double b) { return std::isnan(a) || std::isnan(b) ? NAN : std::max(a, b); }

// Largest deviation of a over b, relative to the largest modulus of b; NaN when a sample is.
double relDeviation(const std::vector<double2> &a, const std::vector<double2> &b)
{
    double err = 0.0, scale = 0.0;
    for (size_t s = 0; s < a.size(); ++s) {
        err = maxOrNan(err, std::abs(toC(a[s]) - toC(b[s])));
        scale = maxOrNan(scale, std::abs(toC(b[s])));
    }
    return scale > 0.0 ? err / scale : err;
}

double relDeviation(const std::vector<double> &a, const std::vector<double> &b)
{
    double err = 0.0, scale = 0.0;
    for (size_t s = 0; s < a.size(); ++s) {
        err = maxOrNan(err, std::fabs(a[s] - b[s]));
        scale = maxOrNan(scale, std::fabs(b[s]));
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

// ---- the host stand-in of the CUDA runtime ---------------------------------------------

#ifdef FYRNOL_CUDA_HOST

// Runs fn as the body of every thread of one launch.
template <typename Fn>
void launchOnHost(dim3 grid, dim3 block, size_t sharedBytes, Fn fn)
{
    cudaHost::launch(grid, block, sharedBytes, [](void *f) { (*static_cast<Fn *>(f))(); }, &fn);
}

TEST(CudaHost, LaunchRunsEveryThreadOnceOrRefusesLikeADevice)
{
    const struct {
        dim3 grid, block;
        size_t shared;
        bool accepted;
    } cases[] = {
        {dim3(2, 3, 2), dim3(4, 2, 3), 0, true},
        {dim3(2), dim3(32, 32), 48 * 1024, true},
        {dim3(1, 1, 2), dim3(1, 1, 64), 0, true},
        {dim3(1), dim3(33, 33), 0, false},       // 1089 threads
        {dim3(1), dim3(1025), 0, false},
        {dim3(1), dim3(1, 1, 65), 0, false},
        {dim3(1), dim3(0, 1), 0, false},
        {dim3(0), dim3(1), 0, false},
        {dim3(1, 65536), dim3(1), 0, false},
        {dim3(1, 1, 65536), dim3(1), 0, false},
        {dim3(1), dim3(16), 48 * 1024 + 1, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << "grid " << c.grid.x << "," << c.grid.y << "," << c.grid.z
                                          << " block " << c.block.x << "," << c.block.y << "," << c.block.z
                                          << " shared " << c.shared);
        EXPECT_EQ(configureLaunch(c.grid, c.block, c.shared) == LAUNCH_OK, c.accepted);
        std::vector<int> runs(static_cast<size_t>(c.grid.x) * c.grid.y * c.grid.z * c.block.x * c.block.y *
                              c.block.z);
        bool dims = true;
        launchOnHost(c.grid, c.block, c.shared, [&] {
            const size_t block = (static_cast<size_t>(blockIdx.z) * gridDim.y + blockIdx.y) * gridDim.x + blockIdx.x;
            const size_t thread = (static_cast<size_t>(threadIdx.z) * blockDim.y + threadIdx.y) * blockDim.x +
                                  threadIdx.x;
            ++runs[block * blockDim.x * blockDim.y * blockDim.z + thread];
            dims = dims && blockDim.x == c.block.x && blockDim.y == c.block.y && blockDim.z == c.block.z &&
                   gridDim.x == c.grid.x && gridDim.y == c.grid.y && gridDim.z == c.grid.z;
        });
        EXPECT_EQ(std::count(runs.begin(), runs.end(), c.accepted ? 1 : 0), static_cast<long>(runs.size()));
        EXPECT_TRUE(dims);
        const cudaError_t err = cudaGetLastError();
        EXPECT_EQ(err, c.accepted ? cudaSuccess : cudaErrorInvalidConfiguration);
        if (!c.accepted) {
            EXPECT_STREQ(cudaGetErrorString(err), "invalid configuration argument");
        }
        EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    }
}

TEST(CudaHost, BarrierOrdersTheThreadsOfABlock)
{
    // Each thread writes its slot, waits, reads its neighbour's slot, waits; twice. Without the
    // first barrier a thread would read a slot not yet written, without the second one a slot
    // already rewritten for the next round.
    const unsigned int n = 64, blocks = 3;
    std::vector<unsigned int> seen(blocks * n * 2);
    launchOnHost(dim3(blocks), dim3(n), n * sizeof(unsigned int), [&] {
        auto *slot = static_cast<unsigned int *>(cudaHost::sharedMemory());
        const unsigned int t = threadIdx.x, b = blockIdx.x;
        for (unsigned int round = 0; round < 2; ++round) {
            slot[t] = 1000 * round + 100 * b + t;
            __syncthreads();
            seen[(b * n + t) * 2 + round] = slot[(t + 1) % n];
            __syncthreads();
        }
    });
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    for (unsigned int b = 0; b < blocks; ++b)
        for (unsigned int t = 0; t < n; ++t)
            for (unsigned int round = 0; round < 2; ++round)
                ASSERT_EQ(seen[(b * n + t) * 2 + round], 1000 * round + 100 * b + (t + 1) % n)
                    << "block " << b << " thread " << t << " round " << round;

    // A barrier that only half of the block reaches fails the launch instead of hanging.
    launchOnHost(dim3(2), dim3(8), 0, [] {
        if (threadIdx.x < 4)
            __syncthreads();
    });
    EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    int after = 0;
    launchOnHost(dim3(1), dim3(8), 0, [&] { ++after; });
    EXPECT_EQ(after, 8);
}

TEST(CudaHost, MemoryTransformsAndFaultSwitch)
{
    // The forward transform of ny rows of nx samples is the unnormalised DFT of the plain model,
    // and planning it leaves FFTW's wisdom, which the CPU transforms keep in a file, as it was.
    const int nx = 6, ny = 4;
    const volume v = kernelModel::randomVolume(nx, ny, 1, 151);
    const deviceArray<double2> in(v.E), out(v.E);
    char *before = fftw_export_wisdom_to_string();
    cufftHandle plan = 0;
    ASSERT_EQ(cufftPlan2d(&plan, ny, nx, CUFFT_Z2Z), CUFFT_SUCCESS);
    ASSERT_EQ(cufftExecZ2Z(plan, in.get(), out.get(), CUFFT_FORWARD), CUFFT_SUCCESS);
    char *after = fftw_export_wisdom_to_string();
    EXPECT_STREQ(before, after);
    fftw_free(before);
    fftw_free(after);
    EXPECT_LT(relDeviation(out.download(), kernelModel::planeDft(v.E.data(), nx, ny)), 1e-13);
    EXPECT_EQ(relDeviation(in.download(), v.E), 0.0);

    // Host memory or a range past an allocation is not device memory.
    std::vector<double2> host(v.E);
    EXPECT_EQ(cufftExecZ2Z(plan, host.data(), out.get(), CUFFT_FORWARD), CUFFT_EXEC_FAILED);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorIllegalAddress);
    EXPECT_EQ(cudaGetLastError(), cudaErrorIllegalAddress);
    EXPECT_EQ(cudaMemcpy(host.data(), in.get() + 1, host.size() * sizeof(double2), cudaMemcpyDeviceToHost),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaFree(host.data()), cudaErrorInvalidValue);
    EXPECT_STREQ(cudaGetErrorString(cudaGetLastError()), "invalid argument");

    {
        const testutil::FaultSwitch fault("malloc:2,plan");
        void *a = nullptr, *b = nullptr, *c = nullptr;
        EXPECT_EQ(cudaMalloc(&a, 64), cudaSuccess);
        EXPECT_EQ(cudaMalloc(&b, 64), cudaErrorMemoryAllocation);
        EXPECT_EQ(cudaMalloc(&c, 64), cudaSuccess);
        EXPECT_EQ(b, nullptr);
        EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
        EXPECT_STREQ(cudaGetErrorString(cudaErrorMemoryAllocation), "out of memory");
        EXPECT_EQ(cufftPlan2d(&plan, ny, nx, CUFFT_Z2Z), CUFFT_ALLOC_FAILED);
        CU(cudaFree(a));
        CU(cudaFree(c));
    }
    {
        const testutil::FaultSwitch fault("nodevice");
        int count = 1;
        EXPECT_EQ(cudaGetDeviceCount(&count), cudaErrorNoDevice);
        EXPECT_EQ(count, 0);
        EXPECT_FALSE(testutil::hasCudaDevice());
    }
    EXPECT_TRUE(testutil::hasCudaDevice());
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

#endif

}  // namespace

#endif
