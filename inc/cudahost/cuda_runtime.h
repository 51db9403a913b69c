// Host stand-in of the CUDA runtime subset that fyrnol calls (builds with -DFYRNOL_CUDA=HOST).
// Device memory is host memory. A kernel launch runs every block in turn on the calling thread,
// the threads of a block as fibers that switch only at __syncthreads(), a real barrier.
// Limits, error codes and texts are those of the CUDA runtime and a current device.
#ifndef FYRNOL_CUDAHOST_CUDA_RUNTIME_H
#define FYRNOL_CUDAHOST_CUDA_RUNTIME_H

#include <cstddef>

#include "vector_types.h"

#define __global__
#define __device__
#define __host__
#define __launch_bounds__(...)

enum cudaError {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInvalidConfiguration = 9,
    cudaErrorInvalidMemcpyDirection = 21,
    cudaErrorNoDevice = 100,
    cudaErrorInvalidDevice = 101,
    cudaErrorIllegalAddress = 700,
    cudaErrorLaunchFailure = 719
};
typedef enum cudaError cudaError_t;

enum cudaMemcpyKind { cudaMemcpyHostToDevice = 1, cudaMemcpyDeviceToHost = 2 };

enum cudaDeviceAttr {
    cudaDevAttrMaxThreadsPerBlock = 1,
    cudaDevAttrMaxBlockDimX = 2,
    cudaDevAttrMaxBlockDimY = 3,
    cudaDevAttrMaxBlockDimZ = 4,
    cudaDevAttrMaxGridDimX = 5,
    cudaDevAttrMaxGridDimY = 6,
    cudaDevAttrMaxGridDimZ = 7,
    cudaDevAttrMaxSharedMemoryPerBlock = 8
};

// Every failing call also becomes the last error, which cudaGetLastError returns and resets.
cudaError_t cudaMalloc(void **devPtr, size_t size);
cudaError_t cudaFree(void *devPtr);
cudaError_t cudaMemcpy(void *dst, const void *src, size_t count, cudaMemcpyKind kind);
cudaError_t cudaGetDeviceCount(int *count);
cudaError_t cudaGetDevice(int *device);
cudaError_t cudaDeviceGetAttribute(int *value, cudaDeviceAttr attr, int device);
cudaError_t cudaDeviceSynchronize();
cudaError_t cudaGetLastError();
const char *cudaGetErrorString(cudaError_t error);

// Built-in variables of the running thread; the launcher sets them before it resumes a thread.
extern const uint3 &threadIdx;
extern const uint3 &blockIdx;
extern const dim3 &blockDim;
extern const dim3 &gridDim;

// Waits until every thread of the block has reached it. Threads of one block that wait at
// different barriers, or at a barrier that others of the block have finished without,
// fail the launch with cudaErrorLaunchFailure instead of hanging.
void __syncthreads();

namespace cudaHost {

// One launch on the default stream: body(context) once per thread of every block, blocks in
// x, y, z order. A configuration the device would refuse runs nothing and sets
// cudaErrorInvalidConfiguration.
void launch(dim3 grid, dim3 block, size_t sharedBytes, void (*body)(void *), void *context);

// Host memory that the stand-in takes for itself at most, besides the device allocations: the
// thread stacks of the largest block and the transform plan of one plane of rows x cols.
size_t hostBytes(int rows, int cols);

// The running block's dynamic shared memory (sharedBytes of the launch, 16-byte aligned,
// undefined contents); null when the launch asked for none.
void *sharedMemory();

}  // namespace cudaHost

#endif
