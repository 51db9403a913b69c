// Two-dimensional complex FFT plans over FFTW 3 with a wisdom file.
#include "fftwrap.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include <fftw3.h>

#include "outFile.h"
#include "outFile_target.h"

namespace fftwrap {

std::ifstream fftw::ifWisdom;
bool fftw::Wise = false;

namespace {

fftw_complex *asFftw(Complex *p) { return reinterpret_cast<fftw_complex *>(p); }

int alignmentOf(Complex *p) { return fftw_alignment_of(reinterpret_cast<double *>(p)); }

// The wisdom of every plan of a run takes a few kB; a larger file is not ours to read or
// rewrite.
const off_t WISDOM_CAP = 4 << 20;

bool isCache(const struct stat &st) { return S_ISREG(st.st_mode) && st.st_size <= WISDOM_CAP; }

// The wisdom file opened for reading without waiting, when it is a regular file of reasonable
// size; -1 for anything else, a FIFO or a device above all.
int openWisdom()
{
    const int fd = open(fftw::WisdomName, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !isCache(st)) {
        close(fd);
        return -1;
    }
    return fd;
}

// The stream is opened on the descriptor's own file, so the file tested is the file used.
std::string pathOf(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

} // namespace

int GetWisdom(void *stream)
{
    std::ifstream &s = *static_cast<std::ifstream *>(stream);
    const std::ifstream::int_type c = s.get();
    return std::ifstream::traits_type::eq_int_type(c, std::ifstream::traits_type::eof()) ? EOF
                                                                                         : c;
}

void PutWisdom(char c, void *stream)
{
    std::fputc(static_cast<unsigned char>(c), static_cast<FILE *>(stream));
}

void fftwrap_import_wisdom() { fftw_import_wisdom(GetWisdom, &fftw::ifWisdom); }

void fftwrap_export_wisdom(FILE *out) { fftw_export_wisdom(PutWisdom, out); }

Complex *ComplexAlign(size_t size)
{
    Complex *v = nullptr;
    Array::newAlign(v, size, 16);
    return v;
}

size_t fftwBytes(unsigned int nx, unsigned int ny)
{
    // Measured with FFTW 3.3.10 under FFTW_MEASURE: about a megabyte for most shapes, up to a
    // seventh of a plane (4094 x 4094), up to about 75 bytes per sample of a row or column
    // with a long prime factor (2 x 1048574, 1 x 262142).
    const size_t plane = static_cast<size_t>(nx) * ny * sizeof(Complex);
    return plane / 4 + 128 * (static_cast<size_t>(nx) + ny) + (size_t(4) << 20);
}

fftw::fftw(unsigned int doubles, int sign)
    : doubles(doubles), sign(sign), norm(1.0 / (doubles / 2)), plan(nullptr), inplace(false),
      threads(0), inalign(0), outalign(0), uplan(nullptr)
{
    static bool initialize = true;
    if (initialize) {
        fftw_init_threads();
        initialize = false;
    }
}

fftw::~fftw()
{
    if (plan) fftw_destroy_plan(plan);
    if (uplan) fftw_destroy_plan(uplan);
}

void fftw::CheckAlign(const Complex *p, const char *s)
{
    if (reinterpret_cast<std::uintptr_t>(p) % 16 == 0) return;
    std::cerr << "WARNING: " << s << " array is not " << 16
              << "-byte aligned: address " << static_cast<const void *>(p) << std::endl;
}

void fftw::noplan()
{
    std::cerr << "Unable to construct FFTW plan" << std::endl;
    std::exit(1);
}

void fftw::LoadWisdom()
{
    // A missing, invalid or unusual file leaves FFTW with the wisdom it already holds.
    // A descriptor name is the process's input or log, never a cache to read.
    const int fd = followLinks(WisdomName).fd >= 0 ? -1 : openWisdom();
    if (fd >= 0) {
        ifWisdom.open(pathOf(fd));
        close(fd);
    }
    fftwrap_import_wisdom();
    ifWisdom.close();
    Wise = true;
}

void fftw::SaveWisdom()
{
    // Replaced whole like every output, or written into a descriptor of the process after
    // what is there; only where the name leads to a regular file of cache size or to nothing
    // yet. A FIFO or a device is never opened, so nothing waits. Any failure leaves the
    // wisdom unsaved, and only costs the next run its planning.
    struct stat st;
    if (stat(WisdomName, &st) == 0 ? !isCache(st) : errno != ENOENT)
        return;
    AtomicFile out(WisdomName);
    if (!out.ok())
        return;
    fftwrap_export_wisdom(out.fp());
    out.commit();
}

void fftw::Setup(Complex *in, Complex *out)
{
    if (!Wise) LoadWisdom();
    const size_t count = (doubles + 1) / 2;
    const bool alloc = (in == nullptr);
    if (alloc) in = ComplexAlign(count);
    CheckAlign(in, "constructor input");
    if (out)
        CheckAlign(out, "constructor output");
    else
        out = in;
    inplace = (out == in);
    inalign = alignmentOf(in);
    outalign = alignmentOf(out);
    fftw_plan_with_nthreads(1);
    plan = Plan(in, out);
    if (!plan) noplan();
    threads = 1;
    if (alloc) Array::deleteAlign(in, count);
    SaveWisdom();
}

Complex *fftw::Setout(Complex *in, Complex *out)
{
    CheckAlign(in, "input");
    if (out)
        CheckAlign(out, "output");
    else
        out = in;
    if (inplace != (out == in)) {
        std::cerr << "ERROR: fft constructor and call must be both in place or both out of place"
                  << std::endl;
        std::exit(1);
    }
    return out;
}

void fftw::Normalize(Complex *out)
{
    const size_t count = (doubles + 1) / 2;
    for (size_t i = 0; i < count; ++i) out[i] *= norm;
}

// FFTW runs a plan on new arrays only when they have the alignment the plan
// was made for; other arrays go through a plan that makes no assumption.
void fftw::Run(Complex *in, Complex *out)
{
    fftw_plan p = plan;
    if (alignmentOf(in) != inalign || alignmentOf(out) != outalign) {
        if (!uplan) {
            uplan = UnalignedPlan(in, out);
            if (!uplan) noplan();
        }
        p = uplan;
    }
    fftw_execute_dft(p, asFftw(in), asFftw(out));
}

void fftw::Execute(Complex *in, Complex *out, bool) { Run(in, out); }

void fftw::fft(Complex *in, Complex *out)
{
    out = Setout(in, out);
    Execute(in, out, false);
}

void fftw::fftNormalized(Complex *in, Complex *out)
{
    out = Setout(in, out);
    Execute(in, out, false);
    Normalize(out);
}

fft2d::fft2d(unsigned int nx, unsigned int ny, int sign, Complex *in, Complex *out)
    : fftw(2 * nx * ny, sign), nx(nx), ny(ny)
{
    // The count of doubles is 32-bit and FFTW takes int extents.
    if (static_cast<unsigned long long>(nx) * ny > INT_MAX) noplan();
    Setup(in, out);
}

fft2d::~fft2d() = default;

size_t fft2d::bytes(unsigned int nx, unsigned int ny, bool givenInput)
{
    // Setup plans on an array of its own when it is given none.
    const size_t input = givenInput ? 0 : static_cast<size_t>(nx) * ny * sizeof(Complex);
    return input + fftwBytes(nx, ny);
}

fftw_plan fft2d::Plan(Complex *in, Complex *out)
{
    return fftw_plan_dft_2d(static_cast<int>(ny), static_cast<int>(nx), asFftw(in), asFftw(out),
                            sign, effort);
}

void fft2d::Execute(Complex *in, Complex *out, bool) { Run(in, out); }

fftw_plan fft2d::UnalignedPlan(Complex *in, Complex *out)
{
    // FFTW_ESTIMATE leaves the arrays' contents alone while planning.
    return fftw_plan_dft_2d(static_cast<int>(ny), static_cast<int>(nx), asFftw(in), asFftw(out),
                            sign, FFTW_ESTIMATE | FFTW_UNALIGNED);
}

} // namespace fftwrap
