// Two-dimensional complex FFT plans over FFTW 3 with a wisdom file.
#include "fftwrap.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include <fftw3.h>

namespace fftwrap {

std::ifstream fftw::ifWisdom;
std::ofstream fftw::ofWisdom;
bool fftw::Wise = false;

namespace {

fftw_complex *asFftw(Complex *p) { return reinterpret_cast<fftw_complex *>(p); }

int alignmentOf(Complex *p) { return fftw_alignment_of(reinterpret_cast<double *>(p)); }

} // namespace

int GetWisdom(void *stream)
{
    std::ifstream &s = *static_cast<std::ifstream *>(stream);
    const std::ifstream::int_type c = s.get();
    return std::ifstream::traits_type::eq_int_type(c, std::ifstream::traits_type::eof()) ? EOF
                                                                                         : c;
}

void PutWisdom(char c, void *stream) { static_cast<std::ofstream *>(stream)->put(c); }

void fftwrap_import_wisdom() { fftw_import_wisdom(GetWisdom, &fftw::ifWisdom); }

void fftwrap_export_wisdom() { fftw_export_wisdom(PutWisdom, &fftw::ofWisdom); }

Complex *ComplexAlign(size_t size)
{
    Complex *v = nullptr;
    Array::newAlign(v, size, 16);
    return v;
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
    // A missing or invalid file leaves FFTW with the wisdom it already holds.
    ifWisdom.open(WisdomName);
    fftwrap_import_wisdom();
    ifWisdom.close();
    Wise = true;
}

void fftw::SaveWisdom()
{
    // An unwritable file only fails the stream; the wisdom is then not kept.
    ofWisdom.open(WisdomName);
    fftwrap_export_wisdom();
    ofWisdom.close();
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
