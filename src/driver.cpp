// The run driver: options, initialisation, GPU and CPU runs, output files.
#include "driver.h"

#include <cmath>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <sstream>
#include <vector>

#include "cmdLine.h"
#include "memAvail.h"
#include "outFile.h"
#include "outFile_results.h"
#include "outFile_signals.h"
#include "wallTimer.h"
#include "wpm.h"

#ifdef FYRNOL_HAVE_CUDA
#include <cuda_runtime.h>
#endif

const std::string VERSION = "Version 0.10";

namespace {
const char *const RED = "\033[31m";
const char *const RESET = "\033[0m";
} // namespace

void printHelp(const char *argv)
{
    static const char *const lines[] = {
        "Help:",
        "  fyrnol : ",
        "  Three-dimensional Scalar Wave Propagation Method, unidirectional. Compiled to run on CPU "
        "and NVIDIA GPU, e.g. GTX620.",
        "",
        "  Usage: ",
        nullptr, // invocation line
        "",
        "  -k|--kernel",
        "      kernel to be used",
        "      0 = default kernel",
        "      1 = shared memory kernel",
        "  -b|--block-size",
        "      size of thread blocks",
        "  -i|--config-file",
        "      configuration file to be used",
        "  -p|--run-cpu",
        "      run on cpu",
        "  -g|--run-gpu",
        "      run on gpu",
        "  -c|--compare",
        "      compare gpu results with cpu",
        "  -r|--store-results",
        "      store results to .csv file",
        "  -x|--cross-section",
        "      0 = XY",
        "      1 = XZ",
        "      2 = YZ",
        "  -l|--layer",
        "      layer to be used ",
        "      specify an interger between 0 and NZ-1 if cross-section (refer to option -x) is XY",
        "      specify an interger between 0 and NY-1 if cross-section (refer to option -x) is XZ",
        "      specify an interger between 0 and NX-1 if cross-section (refer to option -x) is YZ",
        "      NX, NY and NZ are specified in the configuration file (refer to option -i)",
        "  -q|--quiet",
        "      disables text display",
        "  -v|--version",
        "      print version",
        "",
    };
    for (const char *line : lines) {
        if (line == nullptr)
            std::cout << "  " << argv << " [options][-i <config-file> ]" << std::endl;
        else
            std::cout << line << std::endl;
    }
}

// ---- cross-section files ----

namespace {

inline double realOf(const cpx &c) { return c.real(); }
inline double realOf(double d) { return d; }
inline double realOf(const double2 &d) { return d.x; }

// Shape of a cross-section: which index is held, which runs per line, which along it.
struct Section {
    int fixed, lines, along;
    size_t strideFixed, strideLine, strideAlong;
};

Section sectionOf(plane p, int nz, int ny, int nx)
{
    const size_t pl = static_cast<size_t>(nx) * static_cast<size_t>(ny > 0 ? ny : 0);
    switch (p) {
    case XZ:
    case ZX:
        return {ny, nz, nx, static_cast<size_t>(nx), pl, 1};
    case YZ:
    case ZY:
        return {nx, nz, ny, 1, pl, static_cast<size_t>(nx)};
    default:
        return {nz, ny, nx, pl, static_cast<size_t>(nx), 1};
    }
}

template <typename T>
bool storeArray(const T *array, int nz, int ny, int nx, const std::string &filename, plane p, int s)
{
    AtomicFile out(filename);
    if (!out.ok())
        return false;
    const Section sec = sectionOf(p, nz, ny, nx);
    int first = s, last = s;
    if (s == -1) {
        first = 0;
        last = sec.fixed - 1;
    } else if (s < 0 || s >= sec.fixed) {
        last = first - 1; // no such plane: the file stays empty
    }
    for (int f = first; f <= last; ++f) {
        for (int l = 0; l < sec.lines; ++l) {
            const T *row = array + f * sec.strideFixed + l * sec.strideLine;
            for (int a = 0; a < sec.along; ++a) {
                out.put(realOf(row[a * sec.strideAlong]));
                out.put(',');
            }
            out.put('\n');
        }
        out.put('\n');
    }
    return out.commit();
}

} // namespace

int planeCount(plane p, int nz, int ny, int nx) { return sectionOf(p, nz, ny, nx).fixed; }

bool store_array(const cpx *array, int nz, int ny, int nx, const std::string &filename, plane p, int s)
{
    return storeArray(array, nz, ny, nx, filename, p, s);
}

bool store_array(const double *array, int nz, int ny, int nx, const std::string &filename, plane p, int s)
{
    return storeArray(array, nz, ny, nx, filename, p, s);
}

bool store_array(const double2 *array, int nz, int ny, int nx, const std::string &filename, plane p, int s)
{
    return storeArray(array, nz, ny, nx, filename, p, s);
}

// ---- results file ----

namespace {

// The configuration name as a field: quoted, inner quotes doubled, where it holds the
// separator, a quote or a line break, which would split the row; otherwise as it is.
std::string nameField(const std::string &name)
{
    if (name.find_first_of(";\"\r\n") == std::string::npos)
        return name;
    std::string quoted = "\"";
    for (const char c : name) {
        quoted += c;
        if (c == '"')
            quoted += '"';
    }
    return quoted + '"';
}

} // namespace

bool store_results(std::string filename, std::string cfile, int kernel, int blockSize,
                   int nz, int ny, int nx, double kernelTime, double cpuTime, double err)
{
    const double speedup = cpuTime / kernelTime;
    std::ostringstream row;
    row << nameField(cfile) << ';' << kernel << ';' << blockSize << ';' << nz << ';' << ny << ';' << nx
        << ';' << kernelTime << ';' << cpuTime << ';' << err << ';' << speedup << '\n';
    return appendWithHeader(
        filename, "cfile;kernel_id;block_size;nz;ny;nx;kernel_time;cpu_time;err-max;speed-up\n",
        row.str());
}

// ---- host operations ----

namespace {

bool isFinite(const cpx &z) { return std::isfinite(z.real()) && std::isfinite(z.imag()); }
bool hasNan(const cpx &z) { return std::isnan(z.real()) || std::isnan(z.imag()); }

// Whether two samples with a non-finite part agree: NaN on both sides, or no NaN and the
// same values part by part (the same infinities). A NaN on one side only, or infinities
// that differ, are a disagreement; the quotient would make a NaN of it and hide it.
bool nonFiniteAgree(const cpx &gpu, const cpx &cpu)
{
    const bool gpuNan = hasNan(gpu), cpuNan = hasNan(cpu);
    if (gpuNan || cpuNan)
        return gpuNan && cpuNan;
    return gpu == cpu;
}

} // namespace

double compare(const double2 *gpu, const cpx *cpu, int nz, int ny, int nx)
{
    double max_err = 0.0;
    if (nz <= 0 || ny <= 0 || nx <= 0)
        return max_err;
    const size_t n = static_cast<size_t>(nz) * ny * nx;
    for (size_t idx = 0; idx < n; ++idx) {
        const cpx g(gpu[idx].x, gpu[idx].y);
        if (!isFinite(g) || !isFinite(cpu[idx])) {
            if (!nonFiniteAgree(g, cpu[idx]))
                return std::numeric_limits<double>::infinity();
            continue;
        }
        // NaN for zero in both: passed over by the greater-than test.
        const double err = std::abs((g - cpu[idx]) / cpu[idx]);
        if (err > max_err)
            max_err = err;
    }
    return max_err;
}

void convert(const cpx *src, double2 *dest, int n)
{
    for (int i = 0; i < n; ++i) {
        dest[i].x = src[i].real();
        dest[i].y = src[i].imag();
    }
}

namespace {
void checkPointer(const void *array, const std::string &s)
{
    if (array == nullptr)
        std::cout << "Error - Memory allocation " << s << std::endl;
}
} // namespace

void check(const double *array, std::string s) { checkPointer(array, s); }
void check(const cpx *array, std::string s) { checkPointer(array, s); }

int nextpow2(double x)
{
    int result = 1;
    while (result < x)
        result *= 2;
    return result;
}

// ---- flux profile ----

bool store_flux_profile(const double *F, int nz, int ny, int nx, const std::string &filename,
                        const char *consoleLine, bool is_quiet)
{
    AtomicFile out(filename);
    out.put('\n');
    const size_t pl = static_cast<size_t>(nx) * ny;
    double eflux0 = 0.0;
    for (int k = 0; k < nz; ++k) {
        double eflux = 0.0;
        const double *Fk = F + k * pl;
        for (int j = 0; j < ny; ++j)
            for (int i = 0; i < nx; ++i)
                eflux += Fk[static_cast<size_t>(j) * nx + i];
        if (k == 0) {
            eflux0 = eflux;
            if (!is_quiet)
                std::cout << consoleLine << eflux0 << std::endl;
        }
        out.put(eflux / eflux0);
        if (k < nz - 1)
            out.put(',');
    }
    out.put('\n');
    return out.commit();
}

// ---- the run ----

namespace {

// Everything the run carries from the initialisation to the propagation runs.
struct Run {
    bool is_quiet = false;
    std::string fname = "<none>";
    bool is_magnetic_field = false;
    bool do_evanescent_modes = true;
    polarization pol = NA;
    bool is_TE = true;
    int nx = 0, ny = 0, nz = 0;
    double dx = 0.0, dy = 0.0, dz = 0.0;
    double *X = nullptr, *Y = nullptr, *F = nullptr;
    cpx *KX = nullptr, *KY = nullptr, *N = nullptr, *E = nullptr;
    double lambda = 0.0, k0 = 0.0;
    plane p = XY;
    int s = 0;
    bool is_store = false, is_cpu = false, is_gpu = false, is_compare = false;
    int kernel = 0, blockSize = 16;
    double2 *h_E = nullptr, *h_N = nullptr, *h_KX = nullptr, *h_KY = nullptr;
    double kernelTime = -1.0, cpuTime = -1.0;
    bool outputLost = false; // an output file could not be written: the run ends with 255

    size_t volume() const { return static_cast<size_t>(nx) * ny * nz; }
};

template <typename T>
T *allocate(size_t count, const char *name)
{
    T *a = static_cast<T *>(std::malloc(count * sizeof(T)));
    check(a, name);
    if (a == nullptr)
        exit(-1); // the next step would write into the missing array
    return a;
}

// Stated beside gpuRun's allocations.
size_t stagingBytes(int nx, int ny, int nz);
size_t deviceBytes(int nx, int ny, int nz); // counted where the device is host memory

// What the run takes at its peak, as the owners of its buffers state it: the volumes and
// grids; with -g the staging copies of E, N, KX and KY (gpuRun), and on the host stand-in
// the device's buffers and the stand-in's own, which are host memory too; with -p the CPU
// propagation's; and a margin for the program itself.
MemoryNeed runMemory(int nx, int ny, int nz, bool gpu, bool cpu)
{
    MemoryNeed need = wholeBuffer(volumeBytes(nx, ny, nz));
    if (gpu) {
        need = need + wholeBuffer(stagingBytes(nx, ny, nz));
#ifdef FYRNOL_CUDA_HOST
        need = need + wholeBuffer(deviceBytes(nx, ny, nz) + wrapperDeviceBytes(nx, ny)) +
               wholeBuffer(cudaHost::hostBytes(ny, nx));
#endif
    }
    if (cpu)
        need = need + vormelMemory(nx, ny, nz);
    const size_t margin = size_t(16) << 20;
    return need + MemoryNeed{need.touched / 16, need.mapped / 16} + wholeBuffer(margin);
}

// A run that cannot fit is refused before anything is allocated or written, rather than
// ended by the kernel's OOM killer halfway or left waiting in a library that cannot map
// its work space; the line is written in quiet mode too.
bool fitsInMemory(int nx, int ny, int nz, int argc, char **argv)
{
    const bool gpu = cmdLineGetBool("g", argc, argv) || cmdLineGetBool("run-gpu", argc, argv);
    const bool cpu = cmdLineGetBool("p", argc, argv) || cmdLineGetBool("run-cpu", argc, argv);
    const MemoryShortfall shortfall = memoryShortfall(runMemory(nx, ny, nz, gpu, cpu));
    if (shortfall.available.what == nullptr)
        return true;
    const size_t MiB = size_t(1) << 20;
    std::cout << RED << "Error - Memory allocation: the run needs " << (shortfall.need + MiB - 1) / MiB
              << " MiB, " << shortfall.available.bytes / MiB << " MiB of " << shortfall.available.what
              << " are available" << RESET << std::endl;
    return false;
}

std::string resultsName(int argc, char **argv)
{
    std::string filename;
    cmdLineGet(&filename, "r", argc, argv);
    cmdLineGet(&filename, "store-results", argc, argv);
    return filename;
}

// A file that could not be written is named in red, also in quiet mode.
void noteOutput(Run &r, bool written, const std::string &name)
{
    if (written)
        return;
    std::cout << RED << "Warning - output file \"" << name << "\" could not be written" << RESET
              << std::endl;
    r.outputLost = true;
}

void storeResultsRow(Run &r, int argc, char **argv, double kernelTime, double cpuTime, double err)
{
    const std::string filename = resultsName(argc, argv);
    noteOutput(r, store_results(filename, r.fname, r.kernel, r.blockSize, r.nz, r.ny, r.nx,
                                kernelTime, cpuTime, err),
               filename);
}

// Field, flux and flux profile of one run: "E_<run>.csv", "EFlux_<run>.csv", "EFlux_<run>_Z.csv".
template <typename T>
void storeRunFiles(Run &r, const T *field, const std::string &run, const char *fluxLine)
{
    const std::string e = "E_" + run + ".csv", f = "EFlux_" + run + ".csv",
                      z = "EFlux_" + run + "_Z.csv";
    noteOutput(r, store_array(field, r.nz, r.ny, r.nx, e, r.p, r.s), e);
    noteOutput(r, store_array(r.F, r.nz, r.ny, r.nx, f, r.p, r.s), f);
    noteOutput(r, store_flux_profile(r.F, r.nz, r.ny, r.nx, z, fluxLine, r.is_quiet), z);
}

void printMs(const WallTimer &t) { std::cout << "done. " << t.getTime() * 1000.0 << "ms"; }

// "\tnx=32, dx=1e-06m, ax=3.2e-05m": count, pitch and extent of one axis.
void printSpaceLine(char axis, int n, double d)
{
    if (axis != 'z')
        std::cout << "\tdone.";
    std::cout << "\tn" << axis << "=" << n << ", d" << axis << "=" << d << "m"
              << ", a" << axis << "=" << n * d << "m" << std::endl;
}

// Frequency step, sampling frequency, its half and the angular step of one axis, in
// cycles per metre / 1e6 and degrees.
void printFreqLine(char axis, double extent, double pitch)
{
    const double df = 1.0 / extent, f_max = 1.0 / pitch;
    std::cout << "\tdone." << "\tdf" << axis << "=" << df / 1e6 << "MHz, fmax_" << axis << "="
              << f_max / 1e6 << "MHz, flim_" << axis << "=" << 0.5 * f_max / 1e6 << "MHz, dtheta_"
              << axis << "=" << std::asin(df / f_max) * 180 / 3.14159265 << "\xC2\xB0" << std::endl;
}

} // namespace

// What initialise allocates: N and E of cpx and F of double, one element a sample; X and Y of
// double and KX and KY of cpx, one element a position along their axis.
std::size_t volumeBytes(const int nx, const int ny, const int nz)
{
    if (nx < 1 || ny < 1 || nz < 1)
        return 0;
    const std::size_t samples = static_cast<std::size_t>(nx) * ny * nz;
    const std::size_t axes = static_cast<std::size_t>(nx) + ny;
    return samples * (2 * sizeof(cpx) + sizeof(double)) + axes * (sizeof(double) + sizeof(cpx));
}

namespace {

void initialise(Run &r, int argc, char **argv)
{
    const bool q = r.is_quiet;
    WallTimer initTimer;
    initTimer.start();
    if (!q) std::cout << "\tConfiguration file ...\t\t" << r.fname << std::endl;

    sysOptions *so = new sysOptions;
    so->reset();
    std::vector<layer> *lv = new std::vector<layer>;
    std::vector<emfield> *fv = new std::vector<emfield>;

    if (!q) std::cout << "\tParsing ... \t\t" << r.fname << std::endl;
    parse(r.fname, so, lv, fv, q);
    if (!q) std::cout << "\tParsing ... \t\tdone." << std::endl << std::endl;

    r.is_magnetic_field = so->hfield;
    if (!q && r.is_magnetic_field) std::cout << "\tMagnetic field ...\t" << 1 << std::endl;
    r.do_evanescent_modes = so->evanescent;
    if (!q) std::cout << "\tEvanescent modes ...\t" << r.do_evanescent_modes << std::endl;

    if (!q) std::cout << "\tMethod ...\t\t";
    if (so->mth != WPM) {
        if (!q)
            std::cout << RED << "Error, unsupported method specified in " << r.fname
                      << ". Please use WPM with this tool." << RESET << std::endl;
        exit(-1);
    }
    if (!q) std::cout << "WPM" << std::endl;

    r.pol = so->p;
    r.is_TE = (r.pol != TM);
    if (!q) {
        std::cout << "\tPolarization ...\t";
        if (r.pol == TE)
            std::cout << "TE" << std::endl;
        else if (r.pol == TM)
            std::cout << "TM" << std::endl;
        else
            std::cout << RED << "Error, missing polarization for scalar method " << r.fname
                      << ". Please specify the polarization, i.e. TE or TM." << RESET << std::endl;
        std::cout << "\tSampling ..." << std::endl;
    }

    // Refuse impossible counts and geometry before anything is allocated.
    if (!checkSystem(so, *lv, q) || !fitsInMemory(so->nx, so->ny, so->nz, argc, argv))
        exit(-1);

    r.nx = so->nx;
    r.ny = so->ny;
    r.nz = so->nz;
    r.dx = so->dx * so->f;
    r.dy = so->dy * so->f;
    r.dz = so->dz * so->f;
    const double ax = r.nx * r.dx;
    const double ay = r.ny * r.dy;

    if (!q) std::cout << "\t\tSpace X ...";
    r.X = allocate<double>(r.nx, "X");
    init_X(r.X, r.nx, r.dx);
    if (!q) {
        printSpaceLine('x', r.nx, r.dx);
        std::cout << "\t\tSpace Y ...";
    }
    r.Y = allocate<double>(r.ny, "Y");
    init_X(r.Y, r.ny, r.dy);
    if (!q) {
        printSpaceLine('y', r.ny, r.dy);
        std::cout << "\t\tSpace Z ...\tdone.";
        printSpaceLine('z', r.nz, r.dz);
        std::cout << "\t\tFreq X ...";
    }
    r.KX = allocate<cpx>(r.nx, "KX");
    init_F(r.KX, r.nx, 6.2831853 / ax);
    if (!q) {
        printFreqLine('x', ax, r.dx);
        std::cout << "\t\tFreq Y ...";
    }
    r.KY = allocate<cpx>(r.ny, "KY");
    init_F(r.KY, r.ny, 6.2831853 / ay);
    if (!q) {
        printFreqLine('y', ay, r.dy);
        std::cout << "\tSampling ... \t\tdone." << std::endl << std::endl;
    }

    r.N = allocate<cpx>(r.volume(), "N");
    if (!q) std::cout << "\tSystem ..." << std::endl;
    init_N(r.N, so, lv, q);
    if (!q) {
        std::cout << "\tSystem ... \t\tdone." << std::endl << std::endl;
        std::cout << "\tEnergy flux ... \t";
    }
    r.F = allocate<double>(r.volume(), "F");
    init_0(r.F, so, q);
    if (!q) {
        std::cout << "\tEnergy flux ... \tmemory allocated." << std::endl;
        std::cout << "\tWave ..." << std::endl;
    }
    r.E = allocate<cpx>(r.volume(), "E");
    r.lambda = init_E(r.E, r.F, r.N, so, fv, q);
    if (!q) {
        std::cout << "\tWave ... \t\tdone." << std::endl << std::endl;
        std::cout << "\t         \t\tlambda = " << r.lambda << std::endl << std::endl;
    }

    delete lv;
    delete fv;
    delete so;

    initTimer.stop();
    if (!q) {
        std::cout << "Initialization ... \t\t";
        printMs(initTimer);
        std::cout << std::endl << std::endl;
    }

    int p_int = -1;
    cmdLineGet(&p_int, "x", argc, argv);
    cmdLineGet(&p_int, "cross-section", argc, argv);
    r.p = (p_int == 1) ? XZ : (p_int == 2) ? YZ : XY;
    r.s = 0;
    cmdLineGet(&r.s, "l", argc, argv);
    cmdLineGet(&r.s, "layer", argc, argv);
    const int count = planeCount(r.p, r.nz, r.ny, r.nx);
    if (r.s < -1 || r.s >= count) {
        if (!q)
            std::cout << RED << "Error - option -l|--layer: plane index " << r.s
                      << " is outside -1 .. " << count - 1 << " for this cross-section" << RESET
                      << std::endl;
        exit(-1);
    }

    noteOutput(r, store_array(r.N, r.nz, r.ny, r.nx, "N_sys.csv", r.p, r.s), "N_sys.csv");
    noteOutput(r, store_array(r.E, r.nz, r.ny, r.nx, "E_inp.csv", r.p, r.s), "E_inp.csv");
    noteOutput(r, store_array(r.F, r.nz, r.ny, r.nx, "F_inp.csv", r.p, r.s), "F_inp.csv");

    r.k0 = 6.2831853 / r.lambda;
}

void readRunOptions(Run &r, int argc, char **argv)
{
    const bool q = r.is_quiet;
    r.is_store = cmdLineGetBool("r", argc, argv) || cmdLineGetBool("store-results", argc, argv);
    if (!q && r.is_store) std::cout << "option -r : store results" << std::endl;
    r.is_cpu = cmdLineGetBool("p", argc, argv) || cmdLineGetBool("run-cpu", argc, argv);
    if (!q && r.is_cpu) std::cout << "option -p : --run-cpu" << std::endl;
    r.is_gpu = cmdLineGetBool("g", argc, argv) || cmdLineGetBool("run-gpu", argc, argv);
    if (!q && r.is_gpu) std::cout << "option -g : --run-gpu" << std::endl;
    r.is_compare = cmdLineGetBool("c", argc, argv) || cmdLineGetBool("compare", argc, argv);
    if (!q && r.is_compare) std::cout << "option -c : --compare" << std::endl << std::endl;
    r.kernel = 0;
    r.blockSize = 16;
}

// ---- GPU run ----

// What gpuRun allocates for its host staging copies in the device's layout: E and N, a
// double2 a sample each, and KX and KY, a double2 an element.
size_t stagingBytes(int nx, int ny, int nz)
{
    const size_t nv = static_cast<size_t>(nx) * ny * nz;
    return (2 * nv + static_cast<size_t>(nx) + ny) * sizeof(double2);
}

// What gpuRun allocates on the device: E and N, a double2 a sample each, F a double a sample,
// KX and KY a double2 an element, X and Y a double an element.
[[maybe_unused]] size_t deviceBytes(int nx, int ny, int nz)
{
    const size_t nv = static_cast<size_t>(nx) * ny * nz;
    const size_t axes = static_cast<size_t>(nx) + ny;
    return nv * (2 * sizeof(double2) + sizeof(double)) + axes * (sizeof(double2) + sizeof(double));
}

#ifdef FYRNOL_HAVE_CUDA

void gpuRun(Run &r, int argc, char **argv)
{
    const bool q = r.is_quiet;
    const size_t nv = r.volume();
    if (!q) {
        std::cout << "Applying simulation on GPU ..." << std::endl;
        std::cout << "\tMemory allocation ...\t" << std::flush;
    }
    WallTimer mallocTimer, convertTimer, H2DTimer, kernelTimer, D2HTimer;
    mallocTimer.start();
    r.h_E = static_cast<double2 *>(std::malloc(nv * sizeof(double2)));
    r.h_N = static_cast<double2 *>(std::malloc(nv * sizeof(double2)));
    r.h_KX = static_cast<double2 *>(std::malloc(r.nx * sizeof(double2)));
    r.h_KY = static_cast<double2 *>(std::malloc(r.ny * sizeof(double2)));
    if (!r.h_E || !r.h_N || !r.h_KX || !r.h_KY) {
        std::cout << "Error - Memory allocation GPU staging copies" << std::endl;
        exit(-1);
    }

    double2 *d_E = nullptr, *d_N = nullptr, *d_KX = nullptr, *d_KY = nullptr;
    double *d_F = nullptr, *d_X = nullptr, *d_Y = nullptr;
    const cudaError_t err_E = cudaMalloc(reinterpret_cast<void **>(&d_E), nv * sizeof(double2));
    const cudaError_t err_F = cudaMalloc(reinterpret_cast<void **>(&d_F), nv * sizeof(double));
    const cudaError_t err_X = cudaMalloc(reinterpret_cast<void **>(&d_X), r.nx * sizeof(double));
    const cudaError_t err_Y = cudaMalloc(reinterpret_cast<void **>(&d_Y), r.ny * sizeof(double));
    const cudaError_t err_N = cudaMalloc(reinterpret_cast<void **>(&d_N), nv * sizeof(double2));
    const cudaError_t err_KX = cudaMalloc(reinterpret_cast<void **>(&d_KX), r.nx * sizeof(double2));
    const cudaError_t err_KY = cudaMalloc(reinterpret_cast<void **>(&d_KY), r.ny * sizeof(double2));
    if (!d_E || !d_F || !d_X || !d_Y || !d_N || !d_KX || !d_KY) {
        std::cout << RED << "Error" << RESET << " - CPU memory alloc" << std::endl;
        const struct { cudaError_t e; const char *text; } report[] = {
            {err_E, " on E alloc : "},   {err_F, " on F alloc : "},   {err_N, " on N alloc : "},
            {err_KX, " on KX alloc : "}, {err_KY, " on KY alloc : "}, {err_X, " on X alloc : "},
            {err_Y, " on Y alloc : "},
        };
        for (const auto &e : report)
            if (e.e != cudaSuccess)
                std::cout << "\t\tError " << static_cast<int>(e.e) << e.text << cudaGetErrorString(e.e)
                          << std::endl;
        exit(-1);
    }
    mallocTimer.stop();
    if (!q) {
        printMs(mallocTimer);
        std::cout << std::endl << "\tConvert format ... \t";
    }

    convertTimer.start();
    convert(r.E, r.h_E, static_cast<int>(nv));
    convert(r.N, r.h_N, static_cast<int>(nv));
    convert(r.KX, r.h_KX, r.nx);
    convert(r.KY, r.h_KY, r.ny);
    convertTimer.stop();
    if (!q) {
        printMs(convertTimer);
        std::cout << std::endl << "\tCopy data (H2D) ...\t" << std::flush;
    }

    H2DTimer.start();
    cudaMemcpy(d_E, r.h_E, nv * sizeof(double2), cudaMemcpyHostToDevice);
    cudaMemcpy(d_F, r.F, nv * sizeof(double), cudaMemcpyHostToDevice);
    cudaMemcpy(d_N, r.h_N, nv * sizeof(double2), cudaMemcpyHostToDevice);
    cudaMemcpy(d_KX, r.h_KX, r.nx * sizeof(double2), cudaMemcpyHostToDevice);
    cudaMemcpy(d_KY, r.h_KY, r.ny * sizeof(double2), cudaMemcpyHostToDevice);
    cudaMemcpy(d_X, r.X, r.nx * sizeof(double), cudaMemcpyHostToDevice);
    cudaMemcpy(d_Y, r.Y, r.ny * sizeof(double), cudaMemcpyHostToDevice);
    H2DTimer.stop();
    if (!q) {
        printMs(H2DTimer);
        std::cout << std::endl << "\tKernel call ...\t\t" << std::flush;
    }

    cmdLineGet(&r.kernel, "k", argc, argv);
    cmdLineGet(&r.kernel, "kernel", argc, argv);
    if (r.kernel == -1) r.kernel = 0;
    cmdLineGet(&r.blockSize, "b", argc, argv);
    cmdLineGet(&r.blockSize, "block-size", argc, argv);
    if (r.blockSize == -1) r.blockSize = 16;
    if (r.blockSize > 1024) {
        std::cout << RED << "Error" << RESET << " - Block size is too large" << std::endl;
        exit(-1);
    }
    if (r.blockSize < 1) {
        std::cout << RED << "Error" << RESET << " - Block size must be at least 1" << std::endl;
        exit(-1);
    }

    if (r.kernel == 1)
        std::cout << RED << "Error" << RESET << " - Shared memory kernel not supported by this version!"
                  << std::endl;
    const bool launches = r.kernel == 0 || r.kernel == 1;
    if (launches) {
        kernelTimer.start();
        naiveKernelWrapper_3D(d_E, d_F, d_N, d_KX, d_X, d_KY, d_Y, r.k0, r.dz, r.dy, r.dx, r.nz, r.ny,
                              r.nx, r.blockSize, r.do_evanescent_modes, r.is_magnetic_field, r.is_TE);
    }
    // The wrapper returns once the last launch is issued: the kernel time ends when the
    // device has finished the work.
    cudaDeviceSynchronize();
    if (launches) {
        kernelTimer.stop();
        r.kernelTime = kernelTimer.getTime() * 1000.0;
    }
    const cudaError_t cudaError = cudaGetLastError();
    if (cudaError != cudaSuccess) {
        std::cout << RED << "***ERROR*** " << static_cast<int>(cudaError) << " - "
                  << cudaGetErrorString(cudaError) << "***" << RESET << std::endl;
        exit(-1);
    }
    if (!q) {
        std::cout << "done. " << r.kernelTime << "ms" << std::endl;
        std::cout << "\tCopy data D2H ...\t" << std::flush;
    }

    D2HTimer.start();
    cudaMemcpy(r.h_E, d_E, nv * sizeof(double2), cudaMemcpyDeviceToHost);
    cudaMemcpy(r.F, d_F, nv * sizeof(double), cudaMemcpyDeviceToHost);
    D2HTimer.stop();
    if (!q) {
        printMs(D2HTimer);
        std::cout << std::endl << std::endl;
    }

    storeRunFiles(r, r.h_E, "gpu", "\t[GPU] flux0: ... \t ");
    if (!q) std::cout << std::endl;

    if (r.is_store)
        storeResultsRow(r, argc, argv, r.kernelTime, -1.0, -1.0);

    cudaFree(d_E);
    cudaFree(d_F);
    cudaFree(d_N);
    cudaFree(d_X);
    cudaFree(d_Y);
    cudaFree(d_KX);
    cudaFree(d_KY);
}

#else

void gpuRun(Run &, int, char **)
{
    std::cout << RED << "Error - this build of fyrnol has no GPU support (built without CUDA); "
              << "run on the CPU with -p" << RESET << std::endl;
    exit(-1);
}

#endif

// ---- CPU run ----

void cpuRun(Run &r, int argc, char **argv)
{
    const bool q = r.is_quiet;
    if (!q) std::cout << "Applying simulation on CPU ... " << std::flush;
    const size_t pl = static_cast<size_t>(r.nx) * r.ny;
    for (size_t i = pl; i < r.volume(); ++i)
        r.F[i] = 0.0;

    WallTimer cpuTimer;
    cpuTimer.start();
    vormel_3D(r.E, r.F, r.N, r.KX, r.X, r.KY, r.Y, r.k0, r.dz, r.dy, r.dx, r.nz, r.ny, r.nx,
              r.do_evanescent_modes, r.is_magnetic_field, r.pol);
    cpuTimer.stop();
    r.cpuTime = cpuTimer.getTime() * 1000.0;
    if (!q) {
        printMs(cpuTimer);
        std::cout << std::endl << std::endl;
    }

    storeRunFiles(r, r.E, "cpu", "\t[CPU] flux0: ... \t ");

    if (r.is_store)
        storeResultsRow(r, argc, argv, r.cpuTime, -1.0, -1.0);
}

void compareRuns(Run &r, int argc, char **argv)
{
    const double err = compare(r.h_E, r.E, r.nz, r.ny, r.nx);
    if (!r.is_quiet)
        std::cout << std::endl
                  << "Max Error E [ max( (gpu(x,y,z)-cpu(x,y,z))/cpu(x,y,z) ) ]: " << err << std::endl;
    if (r.is_store)
        storeResultsRow(r, argc, argv, r.kernelTime, r.cpuTime, err);
}

void freeAll(Run &r)
{
    std::free(r.X);
    std::free(r.Y);
    std::free(r.KX);
    std::free(r.KY);
    std::free(r.N);
    std::free(r.E);
    std::free(r.F);
    std::free(r.h_E);
    std::free(r.h_N);
    std::free(r.h_KX);
    std::free(r.h_KY);
}

} // namespace

int fyrnol_main(int argc, char **argv)
{
    if (cmdLineGetBool("h", argc, argv) || cmdLineGetBool("help", argc, argv)) {
        printHelp(argv[0]);
        exit(0);
    }
    if (cmdLineGetBool("v", argc, argv) || cmdLineGetBool("version", argc, argv)) {
        std::cout << VERSION << std::endl;
        exit(0);
    }

    guardOutputSignals();
    Run r;
    r.is_quiet = cmdLineGetBool("q", argc, argv) || cmdLineGetBool("quiet", argc, argv);
    if (!r.is_quiet) std::cout << std::endl << "Initialization ..." << std::endl;
    cmdLineGet(&r.fname, "i", argc, argv);
    cmdLineGet(&r.fname, "config-file", argc, argv);

    initialise(r, argc, argv);
    readRunOptions(r, argc, argv);
    if (r.is_gpu)
        gpuRun(r, argc, argv);
    if (r.is_cpu)
        cpuRun(r, argc, argv);
    if (r.is_gpu && r.is_cpu && r.is_compare)
        compareRuns(r, argc, argv);
    freeAll(r);
    return r.outputLost ? 255 : 0;
}
