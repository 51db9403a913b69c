// GPU propagation: the per-plane kernels and their host wrappers.
#include "kernel.h"

#include <cuda_runtime.h>
#include <cufft.h>

#include <cstdlib>
#include <iostream>

#include "kernelMath.h"

using kernelMath::cplx;

// ---- launches ------------------------------------------------------------------------

// The one place with launch syntax: under nvcc a launch on the default stream, elsewhere the
// host stand-in of the runtime, which runs every thread of every block before it returns.
template <typename... Params, typename... Args>
void launchKernel(void (*kernel)(Params...), dim3 grid, dim3 block, size_t sharedBytes, Args... args)
{
#ifdef __CUDACC__
    kernel<<<grid, block, sharedBytes>>>(args...);
#else
    auto body = [&] { kernel(args...); };
    cudaHost::launch(grid, block, sharedBytes, [](void *b) { (*static_cast<decltype(body) *>(b))(); }, &body);
#endif
}

// The block's dynamic shared memory, sized by the launch.
#ifdef __CUDACC__
#define DYNAMIC_SHARED(T, name) extern __shared__ T name[]
#else
#define DYNAMIC_SHARED(T, name) T *const name = static_cast<T *>(cudaHost::sharedMemory())
#endif

// ---- kernels -------------------------------------------------------------------

// Every block the device accepts must run: registers are capped for its largest block.
constexpr int MAX_BLOCK_THREADS = 1024;

// One thread per sample (i, j) of plane k+1, direct spectrum summation over plane k:
//   E[k+1](x, y) += Σ_{q,p: |S_pq| ≥ 1e-4} t_pq · f_pq · exp(i·(kx_p·x + ky_q·y + kz_t·dz))
//   F[k+1](x, y) += Σ (propagating) Re kz_t · |t_pq · f_pq|²
// with f_pq = (−1)^(p+q) · S_pq / (nx·ny), kz = k0·n·sqrt(1 − (kx² + ky²)/(k0·n)²), the Fresnel
// factor t only across a change of Re n, and the damping exp(−k0·Im n_t·dz) of plane k+1.
__global__ void __launch_bounds__(MAX_BLOCK_THREADS)
naiveKernel_3D(double2 *E, double *F, const double2 *N, const double2 *KX, const double2 *KY, const double2 *S,
               const double *X, const double *Y, double k0, double dz, double dx, double dy, int nx, int ny,
               int k, bool do_evanescent_modes, bool is_magnetic_field, bool is_TE)
{
    (void)dx;
    (void)dy;
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    const int j = blockIdx.y * blockDim.y + threadIdx.y;
    if (i >= nx || j >= ny)
        return;

    const int idx_0 = k * nx * ny + j * nx + i;
    const int idx_1 = (k + 1) * nx * ny + j * nx + i;
    const kernelMath::naiveSample smp = kernelMath::naiveSampleOf(N[idx_0], N[idx_1], X[i], Y[j], k0);
    const double Nt = static_cast<double>(nx * ny);

    for (int q = 0; q < ny; ++q) {
        for (int p = 0; p < nx; ++p) {
            kernelMath::naiveComponent c;
            if (!kernelMath::naiveComponentOf(S[q * nx + p], p, q, KX[p].x, KY[q].x, Nt, &c))
                continue;
            const kernelMath::naiveAmount a = kernelMath::naiveContribution(
                smp, c, dz, do_evanescent_modes, is_magnetic_field, is_TE);
            if (a.addF)
                F[idx_1] += a.flux;
            if (a.addE) {
                E[idx_1].x += a.e.x;
                E[idx_1].y += a.e.y;
            }
        }
    }
}

// One thread per sample g of the first row of plane k+1, KX and S staged tile by tile:
//   E[k+1](g) = Σ_{J < T·blockDim, propagating in plane k} (S_J/nx) · t_J · (−1)^J · D
//               · exp(i·(KX_J·x_g + kz_i·dz)),   D = exp(−k0·Im n_i·dz),
// T = ⌊nx / blockDim⌋ whole tiles; a partial last tile is not summed.
// Planes are ny rows apart; the row kernels serve row 0 of each plane and the first nx
// spectral entries, which are the entries of the row itself when ny is 1.
template <bool is_TM>
__device__ void shMemRow(double2 *E, const double2 *N, const double2 *KX, const double2 *S, const double *X,
                         double k0, double dz, int nx, int ny, int k)
{
    DYNAMIC_SHARED(double2, shMem);
    const unsigned int b = blockDim.x;
    const unsigned int g = blockIdx.x * b + threadIdx.x;
    const unsigned int n = static_cast<unsigned int>(nx);
    const bool active = g < n;
    const int plane = nx * ny;

    kernelMath::rowSample smp;
    if (active) {
        const double2 n_i = N[k * plane + static_cast<int>(g)];
        const double2 n_t = is_TM ? N[(k + 1) * plane + static_cast<int>(g)]
                                  : cplx(N[(k + 1) * plane + static_cast<int>(g)].x, 0.0);
        smp = kernelMath::rowSampleOf(n_i, n_t, X[g], k0, dz);
    }

    double2 sum = cplx(0.0, 0.0);
    const unsigned int tiles = n / b;
    for (unsigned int t = 0; t < tiles; ++t) {
        const unsigned int staged = t * b + threadIdx.x;
        if (staged < n) {
            shMem[threadIdx.x] = KX[staged];
            shMem[b + threadIdx.x] = S[staged];
        }
        __syncthreads();
        if (active) {
            for (unsigned int j = 0; j < b; ++j) {
                const int J = static_cast<int>(t * b + j);
                kernelMath::rowAccumulate(smp, shMem[j], shMem[b + j], J, nx, dz, is_TM, &sum);
            }
        }
        __syncthreads();
    }
    if (active)
        E[(k + 1) * plane + static_cast<int>(g)] = sum;
}

__global__ void __launch_bounds__(MAX_BLOCK_THREADS)
shMemKernelTE_3D(double2 *E, const double2 *N, const double2 *KX, const double2 *KY, const double2 *S,
                 const double *X, const double *Y, double k0, double dz, int nx, int ny, int k)
{
    (void)KY;
    (void)Y;
    shMemRow<false>(E, N, KX, S, X, k0, dz, nx, ny, k);
}

__global__ void __launch_bounds__(MAX_BLOCK_THREADS)
shMemKernelTM_3D(double2 *E, const double2 *N, const double2 *KX, const double2 *KY, const double2 *S,
                 const double *X, const double *Y, double k0, double dz, int nx, int ny, int k)
{
    (void)KY;
    (void)Y;
    shMemRow<true>(E, N, KX, S, X, k0, dz, nx, ny, k);
}

// ---- launch configuration ----------------------------------------------------------

int queryLaunchLimits(launchLimits *lim)
{
    int device = 0;
    cudaError_t err = cudaGetDevice(&device);
    if (err != cudaSuccess)
        return static_cast<int>(err);
    const cudaDeviceAttr attrs[8] = {
        cudaDevAttrMaxThreadsPerBlock, cudaDevAttrMaxBlockDimX, cudaDevAttrMaxBlockDimY,
        cudaDevAttrMaxBlockDimZ,       cudaDevAttrMaxGridDimX,  cudaDevAttrMaxGridDimY,
        cudaDevAttrMaxGridDimZ,        cudaDevAttrMaxSharedMemoryPerBlock,
    };
    int v[8];
    for (int a = 0; a < 8; ++a) {
        err = cudaDeviceGetAttribute(&v[a], attrs[a], device);
        if (err != cudaSuccess)
            return static_cast<int>(err);
    }
    lim->maxThreadsPerBlock = static_cast<unsigned int>(v[0]);
    lim->maxBlock = {static_cast<unsigned int>(v[1]), static_cast<unsigned int>(v[2]),
                     static_cast<unsigned int>(v[3])};
    lim->maxGrid = {static_cast<unsigned int>(v[4]), static_cast<unsigned int>(v[5]),
                    static_cast<unsigned int>(v[6])};
    lim->maxSharedBytes = static_cast<size_t>(v[7]);
    return 0;
}

int configureLaunch(dim3 grid, dim3 block, size_t sharedBytes)
{
    launchLimits lim;
    if (queryLaunchLimits(&lim) != 0)
        return LAUNCH_NO_DEVICE;
    return checkLaunch(lim, {grid.x, grid.y, grid.z}, {block.x, block.y, block.z}, sharedBytes);
}

// ---- host wrappers -------------------------------------------------------------------

size_t wrapperDeviceBytes(int nx, int ny)
{
    return static_cast<size_t>(nx * ny) * sizeof(cufftDoubleComplex);
}

namespace {

// Plan and spectrum buffer of one wrapper call; both stay for the rest of the process.
struct planeTransform {
    cufftHandle plan = 0;
    cufftResult planStatus = CUFFT_SUCCESS;
    cufftDoubleComplex *S = nullptr;
};

// Forward Z2Z transform of one plane (ny rows of nx contiguous samples) and its output buffer.
planeTransform makePlaneTransform(int ny, int nx)
{
    planeTransform pt;
    pt.planStatus = cufftPlan2d(&pt.plan, ny, nx, CUFFT_Z2Z);
    cudaMalloc(reinterpret_cast<void **>(&pt.S), wrapperDeviceBytes(nx, ny));
    return pt;
}

// Without a plan nothing can be transformed: stop with a message. Without a buffer the
// wrapper returns at once and the allocation failure stays in the runtime's error state.
bool ready(const planeTransform &pt, int ny, int nx)
{
    if (pt.planStatus != CUFFT_SUCCESS) {
        std::cout << "\033[31mError\033[0m - GPU FFT plan of " << ny << " x " << nx
                  << " samples failed, cuFFT status " << static_cast<int>(pt.planStatus) << std::endl;
        exit(-1);
    }
    return pt.S != nullptr;
}

}  // namespace

void naiveKernelWrapper_3D(double2 *E, double *F, const double2 *N, const double2 *KX, const double *X,
                           const double2 *KY, const double *Y, double k0, double dz, double dy, double dx,
                           int nz, int ny, int nx, int blockSize, bool do_evanescent_modes,
                           bool is_magnetic_field, bool is_TE)
{
    const planeTransform pt = makePlaneTransform(ny, nx);
    const dim3 block_dim(blockExtent(blockSize), blockExtent(blockSize), 1);
    const dim3 grid_dim(gridSize(nx, blockSize), gridSize(ny, blockSize), 1);
    if (!ready(pt, ny, nx) || nz <= 1)
        return;

    const size_t step = static_cast<size_t>(nx * ny);
    // The device's limits hold for every plane: one check serves the whole call.
    const bool accepted = configureLaunch(grid_dim, block_dim, 0) == LAUNCH_OK;
    for (int k = 0; k < nz - 1; ++k) {
        cufftExecZ2Z(pt.plan, E + k * step, pt.S, CUFFT_FORWARD);
        if (!accepted)
            continue;
        launchKernel(naiveKernel_3D, grid_dim, block_dim, 0, E, F, N, KX, KY, pt.S, X, Y, k0, dz, dx, dy, nx,
                     ny, k, do_evanescent_modes, is_magnetic_field, is_TE);
    }
    // Skipped planes leave their zeros; the runtime's own refusal of the same configuration,
    // with no samples to serve, puts the reason into the error state that the caller reads.
    if (!accepted)
        launchKernel(naiveKernel_3D, grid_dim, block_dim, 0, E, F, N, KX, KY, pt.S, X, Y, k0, dz, dx, dy, 0, 0,
                     0, do_evanescent_modes, is_magnetic_field, is_TE);
}

void shMemKernelWrapper_3D(double2 *E, const double2 *N, const double2 *KX, const double *X,
                           const double2 *KY, const double *Y, double k0, double dz, int nz, int ny,
                           int nx, int blockSize, int fresnel)
{
    const planeTransform pt = makePlaneTransform(ny, nx);
    const dim3 block_dim(blockExtent(blockSize), 1, 1);
    const dim3 grid_dim(gridSize(nx * ny, blockSize), 1, 1);
    const size_t sharedMemorySize = static_cast<size_t>(blockExtent(blockSize)) * 2 * sizeof(double2);

    typedef void (*rowKernel)(double2 *, const double2 *, const double2 *, const double2 *, const double2 *,
                              const double *, const double *, double, double, int, int, int);
    rowKernel kernel = nullptr;
    if (fresnel == 0) {
        kernel = shMemKernelTE_3D;
    } else if (fresnel == 1) {
        kernel = shMemKernelTM_3D;
    } else {
        std::cout << "Error - Unknown Fresnel Coefficient " << fresnel << std::endl;
        exit(-1);
    }
    if (!ready(pt, ny, nx) || nz <= 1)
        return;

    // The transform input advances by whole planes of nx·ny samples.
    const size_t step = static_cast<size_t>(nx * ny);
    const bool accepted = configureLaunch(grid_dim, block_dim, sharedMemorySize) == LAUNCH_OK;
    for (int k = 0; k < nz - 1; ++k) {
        cufftExecZ2Z(pt.plan, E + k * step, pt.S, CUFFT_FORWARD);
        if (!accepted)
            continue;
        launchKernel(kernel, grid_dim, block_dim, sharedMemorySize, E, N, KX, KY, pt.S, X, Y, k0, dz, nx, ny, k);
    }
    if (!accepted)
        launchKernel(kernel, grid_dim, block_dim, sharedMemorySize, E, N, KX, KY, pt.S, X, Y, k0, dz, 0, 0, 0);
}
