// Host stand-in of the CUDA runtime and cuFFT subset that fyrnol calls: device memory in host
// memory, kernel launches on fibers of the calling thread, cuFFT plans over FFTW.
#include <cuda_runtime.h>
#include <cufft.h>

#include <fftw3.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fftwrap.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#define FYRNOL_FIBERS_UNDER_ASAN 1
#endif

namespace {

[[noreturn]] void misuse(const std::string &what)
{
    std::fprintf(stderr, "CUDA host stand-in: %s\n", what.c_str());
    std::abort();
}

// ---- fault switch -------------------------------------------------------------------

// FYRNOL_CUDAHOST_FAIL, a comma-separated list, read again at every call it concerns:
//   malloc:N   the Nth cudaMalloc since the variable took its value fails with "out of memory"
//   plan       every cufftPlan2d fails with CUFFT_ALLOC_FAILED
//   nodevice   there is no device: the runtime's calls answer cudaErrorNoDevice
//   busy:MS    cudaDeviceSynchronize waits MS ms, as for work a device is still running
struct faultSwitch {
    std::string value;
    std::vector<long> failingMallocs;
    bool failPlans = false;
    bool noDevice = false;
    long busyMs = 0;
    long mallocCalls = 0;
};

// The number after an item's prefix, at least 1.
long positiveCount(const std::string &item, size_t prefix)
{
    char *rest = nullptr;
    const long n = std::strtol(item.c_str() + prefix, &rest, 10);
    if (n < 1 || *rest != '\0')
        misuse("FYRNOL_CUDAHOST_FAIL: bad item \"" + item + "\"");
    return n;
}

faultSwitch parseFaults(const std::string &value)
{
    faultSwitch f;
    f.value = value;
    size_t start = 0;
    while (start <= value.size()) {
        const size_t comma = value.find(',', start);
        const size_t end = comma == std::string::npos ? value.size() : comma;
        const std::string item = value.substr(start, end - start);
        start = end + 1;
        if (item.empty())
            continue;
        if (item == "plan") {
            f.failPlans = true;
        } else if (item == "nodevice") {
            f.noDevice = true;
        } else if (item.rfind("malloc:", 0) == 0) {
            f.failingMallocs.push_back(positiveCount(item, 7));
        } else if (item.rfind("busy:", 0) == 0) {
            f.busyMs = positiveCount(item, 5);
        } else {
            misuse("FYRNOL_CUDAHOST_FAIL: unknown item \"" + item + "\"");
        }
    }
    return f;
}

faultSwitch &faults()
{
    static faultSwitch f;
    const char *env = std::getenv("FYRNOL_CUDAHOST_FAIL");
    const std::string value = env ? env : "";
    if (value != f.value)
        f = parseFaults(value);
    return f;
}

// ---- error state ----------------------------------------------------------------------

cudaError_t lastError = cudaSuccess;
cudaError_t asyncError = cudaSuccess;  // a failed kernel or transform, also answered by synchronisation

cudaError_t fail(cudaError_t e)
{
    lastError = e;
    return e;
}

// ---- device memory ----------------------------------------------------------------------

constexpr size_t DEVICE_ALIGNMENT = 256;

// Start address and byte count of every live allocation. Like a device context it outlives
// the program's static objects: what the program never frees stays reachable to the end.
std::map<std::uintptr_t, size_t> &allocations()
{
    static auto *a = new std::map<std::uintptr_t, size_t>;
    return *a;
}

// Whether [p, p + bytes) lies inside one allocation.
bool isDeviceRange(const void *p, size_t bytes)
{
    const auto b = reinterpret_cast<std::uintptr_t>(p);
    const auto &a = allocations();
    auto it = a.upper_bound(b);
    if (it == a.begin())
        return false;
    --it;
    const std::uintptr_t offset = b - it->first;
    return offset <= it->second && bytes <= it->second - offset;
}

// ---- device limits ----------------------------------------------------------------------

constexpr unsigned int MAX_THREADS_PER_BLOCK = 1024;
constexpr unsigned int MAX_BLOCK[3] = {1024, 1024, 64};
constexpr unsigned int MAX_GRID[3] = {2147483647u, 65535, 65535};
constexpr size_t MAX_SHARED_BYTES = 48 * 1024;

bool acceptedLaunch(dim3 grid, dim3 block, size_t sharedBytes)
{
    const unsigned int b[3] = {block.x, block.y, block.z};
    const unsigned int g[3] = {grid.x, grid.y, grid.z};
    for (int d = 0; d < 3; ++d)
        if (b[d] == 0 || b[d] > MAX_BLOCK[d] || g[d] == 0 || g[d] > MAX_GRID[d])
            return false;
    const unsigned long long threads = static_cast<unsigned long long>(block.x) * block.y * block.z;
    return threads <= MAX_THREADS_PER_BLOCK && sharedBytes <= MAX_SHARED_BYTES;
}

// ---- fibers -------------------------------------------------------------------------------

// The running thread's built-in variables.
uint3 currentThread = {0, 0, 0};
uint3 currentBlock = {0, 0, 0};
dim3 currentBlockDim;
dim3 currentGridDim;

constexpr size_t FIBER_STACK_BYTES = 64 * 1024;

enum class fiberState { ready, atBarrier, finished };

// One thread of a block: its context and its own stack above a guard page. Never moved:
// a saved context points into itself.
class fiber {
public:
    fiber() : guard_(static_cast<size_t>(sysconf(_SC_PAGESIZE)))
    {
        map_ = mmap(nullptr, mappedBytes(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map_ == MAP_FAILED || mprotect(map_, guard_, PROT_NONE) != 0)
            misuse("no memory for a thread stack");
    }
    ~fiber() { munmap(map_, mappedBytes()); }
    static size_t mappedBytes() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)) + FIBER_STACK_BYTES; }
    fiber(const fiber &) = delete;
    fiber &operator=(const fiber &) = delete;

    char *stack() const { return static_cast<char *>(map_) + guard_; }

    ucontext_t context;
    fiberState state = fiberState::finished;
    const void *barrier = nullptr;  // call site of the barrier it waits at
    void *fakeStack = nullptr;      // the address sanitizer's, while it is switched out

private:
    size_t guard_;
    void *map_;
};

std::vector<std::unique_ptr<fiber>> &fiberPool()
{
    static std::vector<std::unique_ptr<fiber>> pool;
    return pool;
}

alignas(16) unsigned char sharedStore[MAX_SHARED_BYTES];

// What the fibers of the running launch need.
struct launchRun {
    void (*body)(void *) = nullptr;
    void *context = nullptr;
    void *shared = nullptr;
    ucontext_t scheduler;
    fiber *current = nullptr;
    const void *schedulerStack = nullptr;  // for the address sanitizer's switch notes
    size_t schedulerStackBytes = 0;
};

launchRun *activeRun = nullptr;

// Under the address sanitizer every stack switch is announced, so that it follows them.
inline void startSwitch(void **fakeStackSave, const void *bottom, size_t bytes)
{
#ifdef FYRNOL_FIBERS_UNDER_ASAN
    __sanitizer_start_switch_fiber(fakeStackSave, bottom, bytes);
#else
    (void)fakeStackSave;
    (void)bottom;
    (void)bytes;
#endif
}

inline void finishSwitch(void *fakeStackSave, const void **bottomOld, size_t *bytesOld)
{
#ifdef FYRNOL_FIBERS_UNDER_ASAN
    __sanitizer_finish_switch_fiber(fakeStackSave, bottomOld, bytesOld);
#else
    (void)fakeStackSave;
    (void)bottomOld;
    (void)bytesOld;
#endif
}

// Saves the running context in from and continues in to; returns when from is resumed. Made of
// getcontext and setcontext because the address sanitizer warns on every process that calls
// swapcontext, even with the switches announced.
__attribute__((noinline, no_sanitize_address)) void switchContext(ucontext_t *from, const ucontext_t *to)
{
    volatile bool resumed = false;
    getcontext(from);
    if (!resumed) {
        resumed = true;
        setcontext(to);
    }
}

void fiberMain()
{
    launchRun &run = *activeRun;
    finishSwitch(nullptr, &run.schedulerStack, &run.schedulerStackBytes);
    run.body(run.context);
    run.current->state = fiberState::finished;
    startSwitch(nullptr, run.schedulerStack, run.schedulerStackBytes);
}  // back to the scheduler through uc_link

void prepare(launchRun &run, fiber &f)
{
#ifdef FYRNOL_FIBERS_UNDER_ASAN
    ASAN_UNPOISON_MEMORY_REGION(f.stack(), FIBER_STACK_BYTES);  // frames left by a failed launch
#endif
    getcontext(&f.context);
    f.context.uc_stack.ss_sp = f.stack();
    f.context.uc_stack.ss_size = FIBER_STACK_BYTES;
    f.context.uc_link = &run.scheduler;
    makecontext(&f.context, fiberMain, 0);
    f.state = fiberState::ready;
    f.barrier = nullptr;
}

void resume(launchRun &run, fiber &f)
{
    run.current = &f;
    void *fake = nullptr;
    startSwitch(&fake, f.stack(), FIBER_STACK_BYTES);
    switchContext(&run.scheduler, &f.context);
    finishSwitch(fake, nullptr, nullptr);
    run.current = nullptr;
}

// Runs every thread of the block until it finishes or waits at a barrier, then releases the
// barrier, until all have finished. False when the threads part at a barrier.
bool runBlock(launchRun &run, dim3 block)
{
    const unsigned int n = block.x * block.y * block.z;
    auto &pool = fiberPool();
    for (unsigned int t = 0; t < n; ++t)
        prepare(run, *pool[t]);
    for (;;) {
        unsigned int waiting = 0, finished = 0;
        bool oneBarrier = true;
        const void *barrier = nullptr;
        for (unsigned int t = 0; t < n; ++t) {
            fiber &f = *pool[t];
            if (f.state == fiberState::ready) {
                currentThread = {t % block.x, t / block.x % block.y, t / (block.x * block.y)};
                resume(run, f);
            }
            if (f.state == fiberState::finished) {
                ++finished;
                continue;
            }
            ++waiting;
            if (barrier == nullptr)
                barrier = f.barrier;
            oneBarrier = oneBarrier && f.barrier == barrier;
        }
        if (waiting == 0)
            return true;
        if (finished > 0 || !oneBarrier)
            return false;
        for (unsigned int t = 0; t < n; ++t)
            pool[t]->state = fiberState::ready;
    }
}

// ---- cuFFT plans ----------------------------------------------------------------------------

// FFTW plans of one handle, made at first use: [0] out of place, [1] in place.
struct hostPlan {
    int rows, cols;
    fftw_plan forward[2];
    fftw_plan inverse[2];
};

std::vector<hostPlan> &plans()
{
    static auto *p = new std::vector<hostPlan>;
    return *p;
}

// FFTW keeps one planner per process, and the program's own transforms keep its wisdom in a
// file: plans made here leave the wisdom as they found it. FFTW_ESTIMATE leaves the arrays alone.
fftw_plan planKeepingWisdom(int rows, int cols, fftw_complex *in, fftw_complex *out, int sign)
{
    char *saved = fftw_export_wisdom_to_string();
    fftw_plan p = fftw_plan_dft_2d(rows, cols, in, out, sign, FFTW_ESTIMATE | FFTW_UNALIGNED);
    fftw_forget_wisdom();
    if (saved != nullptr) {
        fftw_import_wisdom_from_string(saved);
        fftw_free(saved);
    }
    return p;
}

}  // namespace

// ---- runtime API ----------------------------------------------------------------------------

const uint3 &threadIdx = currentThread;
const uint3 &blockIdx = currentBlock;
const dim3 &blockDim = currentBlockDim;
const dim3 &gridDim = currentGridDim;

cudaError_t cudaMalloc(void **devPtr, size_t size)
{
    faultSwitch &f = faults();
    if (f.noDevice)
        return fail(cudaErrorNoDevice);
    if (devPtr == nullptr)
        return fail(cudaErrorInvalidValue);
    ++f.mallocCalls;
    if (std::find(f.failingMallocs.begin(), f.failingMallocs.end(), f.mallocCalls) != f.failingMallocs.end())
        return fail(cudaErrorMemoryAllocation);
    if (size == 0) {
        *devPtr = nullptr;
        return cudaSuccess;
    }
    // Exactly size bytes, so that a memory checker sees an access past the end.
    void *p = nullptr;
    if (posix_memalign(&p, DEVICE_ALIGNMENT, size) != 0)
        return fail(cudaErrorMemoryAllocation);
    std::memset(p, 0xff, size);  // device memory starts undefined: NaN bytes, not zeros
    allocations()[reinterpret_cast<std::uintptr_t>(p)] = size;
    *devPtr = p;
    return cudaSuccess;
}

cudaError_t cudaFree(void *devPtr)
{
    if (faults().noDevice)
        return fail(cudaErrorNoDevice);
    if (devPtr == nullptr)
        return cudaSuccess;
    auto &a = allocations();
    const auto it = a.find(reinterpret_cast<std::uintptr_t>(devPtr));
    if (it == a.end())
        return fail(cudaErrorInvalidValue);
    a.erase(it);
    std::free(devPtr);
    return cudaSuccess;
}

cudaError_t cudaMemcpy(void *dst, const void *src, size_t count, cudaMemcpyKind kind)
{
    if (faults().noDevice)
        return fail(cudaErrorNoDevice);
    if (kind != cudaMemcpyHostToDevice && kind != cudaMemcpyDeviceToHost)
        return fail(cudaErrorInvalidMemcpyDirection);
    if (count == 0)
        return cudaSuccess;
    const void *device = kind == cudaMemcpyHostToDevice ? dst : src;
    const void *host = kind == cudaMemcpyHostToDevice ? src : dst;
    if (host == nullptr || !isDeviceRange(device, count))
        return fail(cudaErrorInvalidValue);
    std::memcpy(dst, src, count);
    return cudaSuccess;
}

cudaError_t cudaGetDeviceCount(int *count)
{
    if (count == nullptr)
        return fail(cudaErrorInvalidValue);
    *count = faults().noDevice ? 0 : 1;
    return *count == 0 ? fail(cudaErrorNoDevice) : cudaSuccess;
}

cudaError_t cudaGetDevice(int *device)
{
    if (faults().noDevice)
        return fail(cudaErrorNoDevice);
    if (device == nullptr)
        return fail(cudaErrorInvalidValue);
    *device = 0;
    return cudaSuccess;
}

cudaError_t cudaDeviceGetAttribute(int *value, cudaDeviceAttr attr, int device)
{
    if (faults().noDevice)
        return fail(cudaErrorNoDevice);
    if (device != 0)
        return fail(cudaErrorInvalidDevice);
    if (value == nullptr)
        return fail(cudaErrorInvalidValue);
    switch (attr) {
    case cudaDevAttrMaxThreadsPerBlock: *value = static_cast<int>(MAX_THREADS_PER_BLOCK); break;
    case cudaDevAttrMaxBlockDimX: *value = static_cast<int>(MAX_BLOCK[0]); break;
    case cudaDevAttrMaxBlockDimY: *value = static_cast<int>(MAX_BLOCK[1]); break;
    case cudaDevAttrMaxBlockDimZ: *value = static_cast<int>(MAX_BLOCK[2]); break;
    case cudaDevAttrMaxGridDimX: *value = static_cast<int>(MAX_GRID[0]); break;
    case cudaDevAttrMaxGridDimY: *value = static_cast<int>(MAX_GRID[1]); break;
    case cudaDevAttrMaxGridDimZ: *value = static_cast<int>(MAX_GRID[2]); break;
    case cudaDevAttrMaxSharedMemoryPerBlock: *value = static_cast<int>(MAX_SHARED_BYTES); break;
    default: return fail(cudaErrorInvalidValue);
    }
    return cudaSuccess;
}

// Launches and transforms have finished when they return; only their failures are left to report.
cudaError_t cudaDeviceSynchronize()
{
    if (faults().noDevice)
        return fail(cudaErrorNoDevice);
    if (faults().busyMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(faults().busyMs));
    return asyncError;
}

cudaError_t cudaGetLastError()
{
    const cudaError_t e = lastError;
    lastError = cudaSuccess;
    asyncError = cudaSuccess;
    return e;
}

const char *cudaGetErrorString(cudaError_t error)
{
    switch (error) {
    case cudaSuccess: return "no error";
    case cudaErrorInvalidValue: return "invalid argument";
    case cudaErrorMemoryAllocation: return "out of memory";
    case cudaErrorInvalidConfiguration: return "invalid configuration argument";
    case cudaErrorInvalidMemcpyDirection: return "invalid copy direction for memcpy";
    case cudaErrorNoDevice: return "no CUDA-capable device is detected";
    case cudaErrorInvalidDevice: return "invalid device ordinal";
    case cudaErrorIllegalAddress: return "an illegal memory access was encountered";
    case cudaErrorLaunchFailure: return "unspecified launch failure";
    }
    return "unrecognized error code";
}

void __syncthreads()
{
    launchRun *run = activeRun;
    if (run == nullptr || run->current == nullptr)
        misuse("__syncthreads outside a kernel");
    fiber &f = *run->current;
    f.state = fiberState::atBarrier;
    f.barrier = __builtin_return_address(0);
    startSwitch(&f.fakeStack, run->schedulerStack, run->schedulerStackBytes);
    switchContext(&f.context, &run->scheduler);
    finishSwitch(f.fakeStack, &run->schedulerStack, &run->schedulerStackBytes);
}

namespace cudaHost {

void launch(dim3 grid, dim3 block, size_t sharedBytes, void (*body)(void *), void *context)
{
    if (faults().noDevice) {
        fail(cudaErrorNoDevice);
        return;
    }
    if (activeRun != nullptr)
        misuse("a kernel launched from a kernel");
    if (!acceptedLaunch(grid, block, sharedBytes)) {
        fail(cudaErrorInvalidConfiguration);
        return;
    }
    auto &pool = fiberPool();
    const size_t threads = static_cast<size_t>(block.x) * block.y * block.z;
    while (pool.size() < threads)
        pool.push_back(std::make_unique<fiber>());

    launchRun run;
    run.body = body;
    run.context = context;
    run.shared = sharedBytes > 0 ? sharedStore : nullptr;
    activeRun = &run;
    currentBlockDim = block;
    currentGridDim = grid;
    bool ok = true;
    for (unsigned int z = 0; ok && z < grid.z; ++z)
        for (unsigned int y = 0; ok && y < grid.y; ++y)
            for (unsigned int x = 0; ok && x < grid.x; ++x) {
                currentBlock = {x, y, z};
                std::memset(sharedStore, 0xff, sharedBytes);  // undefined at the start of a block
                ok = runBlock(run, block);
            }
    activeRun = nullptr;
    if (!ok)
        asyncError = fail(cudaErrorLaunchFailure);
}

void *sharedMemory() { return activeRun != nullptr ? activeRun->shared : nullptr; }

size_t hostBytes(int rows, int cols)
{
    const unsigned int r = rows > 0 ? static_cast<unsigned int>(rows) : 0;
    const unsigned int c = cols > 0 ? static_cast<unsigned int>(cols) : 0;
    return MAX_THREADS_PER_BLOCK * fiber::mappedBytes() + fftwrap::fftwBytes(c, r);
}

}  // namespace cudaHost

// ---- cuFFT API ------------------------------------------------------------------------------

cufftResult cufftPlan2d(cufftHandle *plan, int nx, int ny, cufftType type)
{
    const faultSwitch &f = faults();
    if (f.noDevice)
        return CUFFT_SETUP_FAILED;
    if (f.failPlans)
        return CUFFT_ALLOC_FAILED;
    if (plan == nullptr)
        return CUFFT_INVALID_VALUE;
    if (type != CUFFT_Z2Z)
        return CUFFT_INVALID_TYPE;
    if (nx < 1 || ny < 1 || static_cast<long long>(nx) * ny > INT_MAX)
        return CUFFT_INVALID_SIZE;
    plans().push_back(hostPlan{nx, ny, {nullptr, nullptr}, {nullptr, nullptr}});
    *plan = static_cast<cufftHandle>(plans().size());
    return CUFFT_SUCCESS;
}

cufftResult cufftExecZ2Z(cufftHandle plan, cufftDoubleComplex *idata, cufftDoubleComplex *odata, int direction)
{
    auto &all = plans();
    if (plan < 1 || static_cast<size_t>(plan) > all.size())
        return CUFFT_INVALID_PLAN;
    if (direction != CUFFT_FORWARD && direction != CUFFT_INVERSE)
        return CUFFT_INVALID_VALUE;
    hostPlan &p = all[static_cast<size_t>(plan) - 1];
    const size_t bytes = static_cast<size_t>(p.rows) * static_cast<size_t>(p.cols) * sizeof(cufftDoubleComplex);
    if (!isDeviceRange(idata, bytes) || !isDeviceRange(odata, bytes)) {
        asyncError = fail(cudaErrorIllegalAddress);
        return CUFFT_EXEC_FAILED;
    }
    auto *in = reinterpret_cast<fftw_complex *>(idata);
    auto *out = reinterpret_cast<fftw_complex *>(odata);
    const int inPlace = idata == odata ? 1 : 0;
    fftw_plan &fp = direction == CUFFT_FORWARD ? p.forward[inPlace] : p.inverse[inPlace];
    if (fp == nullptr)
        fp = planKeepingWisdom(p.rows, p.cols, in, out, direction == CUFFT_FORWARD ? FFTW_FORWARD : FFTW_BACKWARD);
    if (fp == nullptr)
        return CUFFT_EXEC_FAILED;
    fftw_execute_dft(fp, in, out);
    return CUFFT_SUCCESS;
}
