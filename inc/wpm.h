// Wave propagation engine: grids, index volume, incident field, CPU propagation.
#ifndef FYRNOL_WPM_H
#define FYRNOL_WPM_H

#include <cstddef>
#include <vector>

#include "memAvail.h"
#include "system.h"

// ---- grids, index volume and incident field ----

// Centred positions X[i] = (i - nx/2) * dx, metres.
void init_X(double *X, int nx, double dx);

// Spatial frequencies in FFT order (0, df, .., -df), imaginary parts 0; n = 1 gives 0.
void init_F(cpx *F, int n, double df);

// Zeroes the nx*ny*nz flux volume.
void init_0(double *F, const sysOptions *so, bool is_quiet);

// Fills N with vacuum, then stacks the components along z in file order;
// so->izlast ends at the number of planes claimed.
void init_N(cpx *N, sysOptions *so, const std::vector<layer> *layers, const bool is_quiet);

// Unit factor f from the scale (unknown scales give 1e-9).
void init(sysOptions *so);

// Incident field and flux in plane 0 of E and F, planes 1..nz-1 zeroed (F may be
// null). Returns the wavelength in metres of the first wave with a non-zero one.
double init_E(cpx *E, double *F, const cpx *N, const sysOptions *so,
              const std::vector<emfield> *fields, const bool is_quiet);
double init_plane_wave(cpx *E, double *F, const cpx *N, const sysOptions *so,
                       const emfield &f, const bool is_quiet);
double init_gauss_wave(cpx *E, double *F, const cpx *N, const sysOptions *so,
                       const emfield &f, const bool is_quiet);
double init_random_wave(cpx *E, double *F, const cpx *N, const sysOptions *so,
                        const emfield &f, const bool is_quiet);

// ---- Fresnel transmission and CPU propagation ----

// Floors both parts of c to whole multiples of 1e-4 (toward minus infinity).
void trim(cpx &c);

// TE amplitude transmission 2 kz_i / (kz_i + kz_t), trimmed; (1, 0) for a zero denominator.
cpx fresnelTTE(const cpx &kz_i, const cpx &kz_t);

// TM amplitude transmission 2 n_i n_t kz_i / (n_i^2 kz_t + n_t^2 kz_i), trimmed;
// (1, 0) for a zero denominator.
cpx fresnelTTM(const cpx &n_i, const cpx &n_t, const cpx &kz_i, const cpx &kz_t);

// Propagates plane 0 of E through nz planes of the index volume N, adding the field
// into planes 1..nz-1 of E and the energy flux into planes 1..nz-1 of F (both must be
// zero on entry). Sample (i, j, k) lies at k*nx*ny + j*nx + i. dx and dy are unused.
void vormel_3D(cpx *E, double *F, const cpx *N, const cpx *KX, const double *X,
               const cpx *KY, const double *Y, const double k0, const double dz,
               const double dy, const double dx, const int nz, const int ny, const int nx,
               const bool do_evanescent_modes, const bool is_magnetic_field,
               const polarization pol);

// Whether vormel_3D's default evaluation of a grid of nx by ny samples and nz planes may take
// the separable products: where their buffers (SeparableSum::bytes) take at most 1 GiB or
// twice what the run holds without them (the driver's volumes and grids, vormel_3D's other
// buffers), and where the cost model finds the products cheaper than the direct sum for some
// pair. The buffers are then made at the first pair that takes the products, and only where
// they fit in the memory the process has left at that moment; otherwise every pair takes the
// direct sum, whose last bits differ.
bool separableTaken(int nx, int ny, int nz);

// What vormel_3D takes besides its arguments, at most: its own buffers and FFTW's (the memory
// check of the run counts them before anything is allocated). The separable products'
// buffers and the BLAS library's are not counted: they are made only where they fit.
MemoryNeed vormelMemory(int nx, int ny, int nz);

#endif
