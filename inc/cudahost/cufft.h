// Host stand-in of the cuFFT subset that fyrnol calls, over FFTW: two-dimensional
// double-complex plans, executed unnormalised on device (here host) memory.
#ifndef FYRNOL_CUDAHOST_CUFFT_H
#define FYRNOL_CUDAHOST_CUFFT_H

#include "cuda_runtime.h"

typedef int cufftHandle;
typedef double2 cufftDoubleComplex;

enum cufftResult_t {
    CUFFT_SUCCESS = 0x0,
    CUFFT_INVALID_PLAN = 0x1,
    CUFFT_ALLOC_FAILED = 0x2,
    CUFFT_INVALID_TYPE = 0x3,
    CUFFT_INVALID_VALUE = 0x4,
    CUFFT_INTERNAL_ERROR = 0x5,
    CUFFT_EXEC_FAILED = 0x6,
    CUFFT_SETUP_FAILED = 0x7,
    CUFFT_INVALID_SIZE = 0x8
};
typedef enum cufftResult_t cufftResult;

enum cufftType_t { CUFFT_Z2Z = 0x69 };
typedef enum cufftType_t cufftType;

#define CUFFT_FORWARD -1
#define CUFFT_INVERSE 1

// nx rows (the slower dimension) of ny contiguous samples.
cufftResult cufftPlan2d(cufftHandle *plan, int nx, int ny, cufftType type);

// In or out of place; both arrays must lie in device memory, else the runtime's error state
// gets cudaErrorIllegalAddress, as an out-of-bounds transform gives on a device.
cufftResult cufftExecZ2Z(cufftHandle plan, cufftDoubleComplex *idata, cufftDoubleComplex *odata,
                         int direction);

#endif
