// Two-dimensional complex FFT plans over FFTW 3 with a wisdom file.
#ifndef FYRNOL_FFTWRAP_H
#define FYRNOL_FFTWRAP_H

#include <complex>
#include <cstddef>
#include <cstdio>
#include <fstream>

#include <fftw3.h>

#include "Array.h"

typedef std::complex<double> Complex;
static_assert(sizeof(Complex) == sizeof(fftw_complex), "Complex must match fftw_complex");
static_assert(alignof(Complex) == alignof(fftw_complex), "Complex must match fftw_complex");

namespace Array {
// Empty arrays; every unit that includes this header has its own set.
static array1<Complex> NULL1;
static array2<Complex> NULL2;
static array3<Complex> NULL3;
} // namespace Array

namespace fftwrap {

// Character source and sink for FFTW's wisdom import and export; stream is an
// std::ifstream or a FILE.
int GetWisdom(void *stream);
void PutWisdom(char c, void *stream);
void fftwrap_import_wisdom();
void fftwrap_export_wisdom(FILE *out);

// size values (0, 0), 16-byte aligned; release with Array::deleteAlign.
Complex *ComplexAlign(size_t size);

// What FFTW itself takes at most for the plan of one nx by ny transform, its planner and its
// execution.
size_t fftwBytes(unsigned int nx, unsigned int ny);

class fftw {
public:
    static std::ifstream ifWisdom;
    static bool Wise; // the wisdom file has been read in this process
    static constexpr unsigned int effort = FFTW_MEASURE;
    static constexpr const char *WisdomName = "wisdom3.txt";

    fftw(const fftw &) = delete;
    fftw &operator=(const fftw &) = delete;
    virtual ~fftw();

    virtual fftw_plan Plan(Complex *in, Complex *out) = 0;
    virtual void Execute(Complex *in, Complex *out, bool flag = false);
    // Unnormalised transform of in into out (null: in place).
    void fft(Complex *in, Complex *out = nullptr);
    // As fft, then every output value times 1/(number of values).
    virtual void fftNormalized(Complex *in, Complex *out = nullptr);
    // Plan for arrays of any alignment, made without touching their contents.
    virtual fftw_plan UnalignedPlan(Complex *in, Complex *out) = 0;

    static void CheckAlign(const Complex *p, const char *s);
    [[noreturn]] static void noplan();

protected:
    unsigned int doubles; // doubles in one transform array
    int sign;
    double norm;
    fftw_plan plan;
    bool inplace;
    unsigned int threads;
    // FFTW alignment class of the planning arrays, and a plan made on first
    // need for calls whose arrays differ from it.
    int inalign;
    int outalign;
    fftw_plan uplan;

    fftw(unsigned int doubles, int sign);

    void Setup(Complex *in, Complex *out);
    Complex *Setout(Complex *in, Complex *out);
    void Normalize(Complex *out);
    void Run(Complex *in, Complex *out);
    static void LoadWisdom();
    static void SaveWisdom();
};

// ny rows of nx contiguous samples: sample (i, j) at j*nx + i.
class fft2d : public fftw {
public:
    // A null in plans on a temporary array, a null out plans in place.
    // The given arrays are overwritten while planning.
    fft2d(unsigned int nx, unsigned int ny, int sign, Complex *in = nullptr,
          Complex *out = nullptr);
    ~fft2d() override;
    // What the constructor takes at most, with or without an input array of the caller's.
    static size_t bytes(unsigned int nx, unsigned int ny, bool givenInput);

    fftw_plan Plan(Complex *in, Complex *out) override;
    void Execute(Complex *in, Complex *out, bool flag = false) override;
    fftw_plan UnalignedPlan(Complex *in, Complex *out) override;

protected:
    unsigned int nx;
    unsigned int ny;
};

} // namespace fftwrap

#endif
