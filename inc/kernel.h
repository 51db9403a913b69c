// GPU propagation: host wrappers, launch configuration and the device complex type.
// Plain C++: usable from host code compiled without nvcc.
#ifndef FYRNOL_KERNEL_H
#define FYRNOL_KERNEL_H

#include <cmath>
#include <cstddef>

#ifdef FYRNOL_HAVE_CUDA
#include <vector_types.h>
#else
// Host stand-in for the CUDA vector type: real part, then imaginary part.
struct alignas(16) double2 {
    double x, y;
};
#endif

static_assert(sizeof(double2) == 16, "double2 must be two packed doubles");
static_assert(alignof(double2) == 16, "double2 must be 16-byte aligned");
static_assert(offsetof(double2, x) == 0 && offsetof(double2, y) == 8,
              "double2 holds the real part first, then the imaginary part");

// ---- launch configuration ----------------------------------------------------

// Extents of a grid or a block, as in dim3.
struct launchDims {
    unsigned int x, y, z;
};

// What the current device accepts for one launch.
struct launchLimits {
    unsigned int maxThreadsPerBlock;
    launchDims maxBlock;
    launchDims maxGrid;
    size_t maxSharedBytes;
};

// Result of a launch check: 0 when the device takes the configuration.
enum launchStatus {
    LAUNCH_OK = 0,
    LAUNCH_BLOCK_DIM = 1,   // a block extent is 0 or above its limit
    LAUNCH_THREADS = 2,     // more threads per block than allowed
    LAUNCH_GRID_DIM = 3,    // a grid extent is 0 or above its limit
    LAUNCH_SHARED = 4,      // more dynamic shared memory than a block may have
    LAUNCH_NO_DEVICE = 5    // the device limits could not be read
};

inline int checkLaunch(const launchLimits &lim, launchDims grid, launchDims block, size_t sharedBytes)
{
    if (block.x == 0 || block.y == 0 || block.z == 0 || block.x > lim.maxBlock.x ||
        block.y > lim.maxBlock.y || block.z > lim.maxBlock.z)
        return LAUNCH_BLOCK_DIM;
    const unsigned long long threads =
        static_cast<unsigned long long>(block.x) * block.y * block.z;
    if (threads > lim.maxThreadsPerBlock)
        return LAUNCH_THREADS;
    if (grid.x == 0 || grid.y == 0 || grid.z == 0 || grid.x > lim.maxGrid.x ||
        grid.y > lim.maxGrid.y || grid.z > lim.maxGrid.z)
        return LAUNCH_GRID_DIM;
    if (sharedBytes > lim.maxSharedBytes)
        return LAUNCH_SHARED;
    return LAUNCH_OK;
}

// Blocks of blockSize covering n samples: ceil(n / blockSize), the quotient in double.
// A block size below 1 gives 0, which every launch check refuses.
inline unsigned int gridSize(int n, int blockSize)
{
    if (blockSize < 1 || n < 1)
        return 0;
    return static_cast<unsigned int>(std::ceil(static_cast<double>(n) / static_cast<double>(blockSize)));
}

// Side length of a square block as an unsigned extent; below 1 gives 0 (refused).
inline unsigned int blockExtent(int blockSize)
{
    return blockSize < 1 ? 0u : static_cast<unsigned int>(blockSize);
}

#ifdef FYRNOL_HAVE_CUDA

// Limits of the current device; returns a CUDA error code, 0 on success.
int queryLaunchLimits(launchLimits *lim);

// Checks a launch against the current device; returns a launchStatus, 0 when it would be accepted.
int configureLaunch(dim3 grid, dim3 block, size_t sharedBytes);

// Device memory a wrapper allocates besides its arguments: the spectrum of one plane, which
// stays, like the transform plan, for the rest of the process.
size_t wrapperDeviceBytes(int nx, int ny);

// Carries plane 0 of E through the volume, plane by plane, on the default stream.
// All pointers are device pointers; planes 1 .. nz-1 of E and F must be zero on entry.
// Returns without synchronising: the caller synchronises and reads the error state.
void naiveKernelWrapper_3D(double2 *E, double *F, const double2 *N, const double2 *KX, const double *X,
                           const double2 *KY, const double *Y, double k0, double dz, double dy, double dx,
                           int nz, int ny, int nx, int blockSize, bool do_evanescent_modes,
                           bool is_magnetic_field, bool is_TE);

// One-row propagation with tiles in shared memory; fresnel 0 is TE, 1 is TM.
// Assigns the first row of planes 1 .. nz-1 of E; returns without synchronising.
void shMemKernelWrapper_3D(double2 *E, const double2 *N, const double2 *KX, const double *X,
                           const double2 *KY, const double *Y, double k0, double dz, int nz, int ny,
                           int nx, int blockSize, int fresnel);

#endif

#endif
