// Wave propagation engine.
#include "wpm.h"

#include <climits>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

#include "fftwrap.h"

// ---- grids, index volume and incident field ----

namespace {

// The stored value of an enumeration field as an int: records that do not come
// from the parser may hold a value outside the enumerators.
template <typename Enum>
int storedValue(const Enum &e)
{
    static_assert(sizeof(Enum) == sizeof(int), "enumerations are 32-bit");
    int v;
    std::memcpy(&v, &e, sizeof v);
    return v;
}

// Zero counts are taken as 1 by the incident field.
int waveCount(int n) { return n == 0 ? 1 : n; }

// Per-wave quantities, metres and cycles per metre.
struct WaveFrame {
    double U;
    double dx, dy;
    int nx, ny;
    double lambda, nu0;
    double thetaRad, phiRad;
    double sx, sy, sz;
    double nux, nuy, nuz;
    double x0, y0, z0;
};

WaveFrame waveFrame(const sysOptions *so, const emfield &f)
{
    WaveFrame w;
    w.U = so->f;
    // A zero pitch stands for one metre.
    w.dx = so->dx == 0.0 ? 1.0 : so->dx * w.U;
    w.dy = so->dy == 0.0 ? 1.0 : so->dy * w.U;
    w.nx = waveCount(so->nx);
    w.ny = waveCount(so->ny);
    w.lambda = f.lambda * w.U;
    w.nu0 = 1.0 / w.lambda;
    w.thetaRad = 3.14159265 * f.theta / 180.0;
    w.phiRad = 3.14159265 * f.phi / 180.0;
    w.sx = std::sin(w.thetaRad) * std::cos(w.phiRad);
    w.sy = std::sin(w.thetaRad) * std::sin(w.phiRad);
    w.sz = std::cos(w.thetaRad);
    w.nux = w.sx * w.nu0;
    w.nuy = w.sy * w.nu0;
    w.nuz = w.nu0 * w.sz;
    w.x0 = f.x * w.U;
    w.y0 = f.y * w.U;
    w.z0 = f.z * w.U;
    return w;
}

// Writes plane 0 of E and F, visiting x outside and y inside:
//   phi = (2 pi n) * ((x - x0) nux + (y - y0) nuy + (z - z0) nuz),  z = 0,
//   E   = A * exp(a + i phi),   F = A^2 * (2 pi nuz),
// with n the real index of plane 0 and (a, A) given by the shape per sample.
template <typename Shape>
void writeIncidentPlane(cpx *E, double *F, const cpx *N, const WaveFrame &w, Shape shape)
{
    const double fluxFactor = 6.2831853 * w.nuz;
    const double zTerm = (0.0 - w.z0) * w.nuz;
    const int hx = w.nx / 2;
    const int hy = w.ny / 2;
    for (int ix = 0; ix < w.nx; ++ix) {
        const double x = static_cast<double>(ix - hx) * w.dx;
        const double xTerm = (x - w.x0) * w.nux;
        for (int iy = 0; iy < w.ny; ++iy) {
            const double y = static_cast<double>(iy - hy) * w.dy;
            const size_t s = static_cast<size_t>(ix) + static_cast<size_t>(iy) * static_cast<size_t>(w.nx);
            const double n = N[s].real();
            const double phase = (6.2831853 * n) * ((xTerm + (y - w.y0) * w.nuy) + zTerm);
            double a = 0.0;
            double A = 0.0;
            shape(x, y, &a, &A);
            E[s] = std::exp(cpx(a, phase)) * A;
            if (F != nullptr)
                F[s] = (A * A) * fluxFactor;
        }
    }
}

void printWaveHead(const WaveFrame &w)
{
    std::cout << std::endl;
    std::cout << std::endl;
    std::cout << "\033[31m\t\t\t\tscale = " << w.U << std::endl;
}

void printWaveCommon(const WaveFrame &w, const emfield &f)
{
    printWaveHead(w);
    std::cout << "\t\t\t\tamplitude = " << f.amp << std::endl;
    std::cout << "\t\t\t\tlambda = " << f.lambda << std::endl;
    std::cout << "\t\t\t\ttheta = " << f.theta << std::endl;
    std::cout << "\t\t\t\tphi = " << f.phi << std::endl;
}

void printDirection(const WaveFrame &w)
{
    std::cout << "\t\t\t\tsx = " << w.sx << std::endl;
    std::cout << "\t\t\t\tsy = " << w.sy << std::endl;
    std::cout << "\t\t\t\tsz = " << w.sz << std::endl;
    std::cout << "\033[0m" << std::endl;
}

typedef double (*WaveFn)(cpx *, double *, const cpx *, const sysOptions *, const emfield &, const bool);

} // namespace

void init_X(double *X, int nx, double dx)
{
    if (nx <= 0)
        return;
    const double c = std::floor(static_cast<double>(nx / 2));
    for (int i = 0; i < nx; ++i)
        X[i] = (static_cast<double>(i) - c) * dx;
}

void init_F(cpx *F, int n, double df)
{
    if (n < 1)
        return;
    // Non-negative frequencies first, then the negative ones in rising order;
    // an odd count keeps one more non-negative entry (n = 1: the single 0).
    const int h = n / 2;
    const int npos = n - h;
    for (int i = 0; i < npos; ++i)
        F[i] = cpx(static_cast<double>(i) * df, 0.0);
    int pos = npos;
    for (int i = -h; i < 0; ++i)
        F[pos++] = cpx(static_cast<double>(i) * df, 0.0);
}

void init_0(double *F, const sysOptions *so, bool is_quiet)
{
    const int nx = so->nx;
    const int ny = so->ny;
    const int nz = so->nz;
    for (int k = 0; k < nz; ++k)
        for (int j = 0; j < ny; ++j) {
            double *row = F + (static_cast<size_t>(k) * ny + j) * nx;
            for (int i = 0; i < nx; ++i)
                row[i] = 0.0;
        }
    if (!is_quiet)
        std::cout << "memory initialized zero" << std::endl;
}

void init_N(cpx *N, sysOptions *so, const std::vector<layer> *layers, const bool is_quiet)
{
    // Planes that no component writes hold vacuum.
    if (so->nx > 0 && so->ny > 0 && so->nz > 0) {
        const size_t total = static_cast<size_t>(so->nx) * static_cast<size_t>(so->ny)
                             * static_cast<size_t>(so->nz);
        const cpx vacuum(1.0, 0.0);
        for (size_t s = 0; s < total; ++s)
            N[s] = vacuum;
    }

    typedef int (*Builder)(cpx *, const struct_sysOptions *, const struct_layer &);
    so->izlast = 0;
    for (const layer &l : *layers) {
        const char *line = "\t\t\t\t\033[31mUnknown component\033[0m";
        Builder build = nullptr;
        switch (storedValue(l.t)) {
        case HOMOG:    line = "\t\t\t\tcreate HOMOG ... ";    build = init_homog_system;    break;
        case GRATING:  line = "\t\t\t\tcreate GRATING ... ";  build = init_grating_system;  break;
        case WGUIDE:   line = "\t\t\t\tcreate WGUIDE ... ";   build = init_wguide_system;   break;
        case TAPER:    line = "\t\t\t\tcreate TAPER ... ";    build = init_taper_system;    break;
        case LENS:     line = "\t\t\t\tcreate LENS ... ";     build = init_lens_system;     break;
        case ASPHERE:  line = "\t\t\t\tcreate ASPHERE (not supported yet)"; build = init_asphere_system; break;
        case SPLITTER: line = "\t\t\t\tcreate SPLITTER ... "; build = init_splitter_system; break;
        case MZEHNDER: line = "\t\t\t\tMZEHNDER (not supported yet)"; build = init_mzehnder_system; break;
        }
        if (!is_quiet)
            std::cout << line << std::endl;
        if (build != nullptr) {
            const long long next = static_cast<long long>(so->izlast) + build(N, so, l);
            so->izlast = next > INT_MAX ? INT_MAX : (next < INT_MIN ? INT_MIN : static_cast<int>(next));
        }
    }
}

void init(sysOptions *so)
{
    switch (storedValue(so->scl)) {
    case M:  so->f = 1.0;   return;
    case DM: so->f = 0.1;   return;
    case CM: so->f = 0.01;  return;
    case MM: so->f = 0.001; return;
    case UM: so->f = 1e-6;  return;
    case NM: so->f = 1e-9;  return;
    case PM: so->f = 1e-12; return;
    }
    so->f = 1e-9;
}

double init_plane_wave(cpx *E, double *F, const cpx *N, const sysOptions *so,
                       const emfield &f, const bool is_quiet)
{
    const WaveFrame w = waveFrame(so, f);
    if (!is_quiet) {
        printWaveCommon(w, f);
        std::cout << "\t\t\t\tx = " << f.x << std::endl;
        std::cout << "\t\t\t\ty = " << f.y << std::endl;
        printDirection(w);
    }
    const double amp = f.amp;
    writeIncidentPlane(E, F, N, w, [amp](double, double, double *a, double *A) {
        *a = 0.0;
        *A = amp;
    });
    return w.lambda;
}

double init_gauss_wave(cpx *E, double *F, const cpx *N, const sysOptions *so,
                       const emfield &f, const bool is_quiet)
{
    const WaveFrame w = waveFrame(so, f);
    const double sigmax = f.sigmax * w.U;
    const double sigmay = f.sigmay * w.U;
    if (!is_quiet) {
        printWaveCommon(w, f);
        std::cout << "\t\t\t\tbeta = " << f.beta << std::endl;
        printDirection(w);
    }
    const double amp = f.amp;
    const double sx2 = sigmax * sigmax;
    const double sy2 = sigmay * sigmay;
    const double x0 = w.x0;
    const double y0 = w.y0;
    // Envelope exp(-((x-x0)^2/sx^2 + (y-y0)^2/sy^2) / pi): e^-1 at |x - x0| = sigmax*sqrt(pi).
    writeIncidentPlane(E, F, N, w, [=](double x, double y, double *a, double *A) {
        const double ex = x - x0;
        const double ey = y - y0;
        *a = -((ex * ex) / sx2 + (ey * ey) / sy2) / 3.14159265;
        *A = amp;
    });
    return w.lambda;
}

double init_random_wave(cpx *E, double *F, const cpx *N, const sysOptions *so,
                        const emfield &f, const bool is_quiet)
{
    const WaveFrame w = waveFrame(so, f);
    if (!is_quiet) {
        printWaveHead(w);
        std::cout << "*** Random Wave ***" << std::endl;
        std::cout << "\033[0m" << std::endl;
    }
    const double amp = f.amp;
    // One rand() per sample in visiting order; the amplitude enters twice.
    writeIncidentPlane(E, F, N, w, [amp](double, double, double *a, double *A) {
        const int r = std::rand();
        const double rndm = (static_cast<double>(r % 1000) * amp) / 1000.0;
        *a = 0.0;
        *A = rndm * amp;
    });
    return w.lambda;
}

double init_E(cpx *E, double *F, const cpx *N, const sysOptions *so,
              const std::vector<emfield> *fields, const bool is_quiet)
{
    double kept = 0.0;
    for (std::vector<emfield>::const_iterator fi = fields->begin(); fi != fields->end(); ++fi) {
        const char *line = nullptr;
        WaveFn wave = nullptr;
        switch (storedValue(fi->s)) {
        case PLANE:    line = "\t\t\t\tcreate PLANE ...";    wave = init_plane_wave;  break;
        case GAUSSIAN: line = "\t\t\t\tcreate GAUSSIAN ..."; wave = init_gauss_wave;  break;
        case RANDOM:   line = "\t\t\t\tcreate RANDOM ...";   wave = init_random_wave; break;
        }
        if (wave == nullptr) {
            if (!is_quiet)
                std::cout << "\t\t\033[31mUnknown wave. Please check configuration file.\033[0m" << std::endl;
            exit(-1);
        }
        if (!is_quiet)
            std::cout << line;
        const double lambda_int = wave(E, F, N, so, *fi, is_quiet);
        if (kept == 0.0) {
            kept = lambda_int;
        } else if (!(lambda_int == kept)) {
            if (!is_quiet)
                std::cout << "\033[31m[W]\tAttention! Multiple wavelengths specified in configuration file.\033[0m"
                          << std::endl;
        }
    }

    const long long nx = waveCount(so->nx);
    const long long ny = waveCount(so->ny);
    const long long nz = waveCount(so->nz);
    const long long plane = nx * ny;
    // Without a wave the incident field is zero rather than undefined.
    const long long first = fields->empty() ? 0 : plane;
    if (fields->empty() && !is_quiet)
        std::cout << "\033[31m[W]\tAttention! No wave specified in configuration file. The incident field is zero.\033[0m"
                  << std::endl;
    for (long long j = first; j < plane * nz; ++j) {
        E[j] = cpx(0.0, 0.0);
        if (F != nullptr)
            F[j] = 0.0;
    }
    return kept;
}

// ---- Fresnel transmission and CPU propagation ----

void trim(cpx &c)
{
    const double re = std::floor(c.real() / 1e-4) * 1e-4;
    const double im = std::floor(c.imag() / 1e-4) * 1e-4;
    c = cpx(re, im);
}

cpx fresnelTTE(const cpx &kz_i, const cpx &kz_t)
{
    const cpx denom = kz_i + kz_t;
    cpx tte;
    if (std::abs(denom) == 0.0)
        tte = cpx(1.0, 0.0);
    else
        tte = (kz_i / denom) * cpx(2.0, 0.0);
    trim(tte);
    return tte;
}

cpx fresnelTTM(const cpx &n_i, const cpx &n_t, const cpx &kz_i, const cpx &kz_t)
{
    const cpx denom = (n_i * n_i) * kz_t + (n_t * n_t) * kz_i;
    cpx ttm;
    if (std::abs(denom) == 0.0)
        ttm = cpx(1.0, 0.0);
    else
        ttm = ((n_i * n_t) * (kz_i / denom)) * cpx(2.0, 0.0);
    trim(ttm);
    return ttm;
}

namespace {

// Forward transforms of every call stay alive until the process ends; the list keeps
// them reachable.
void keepTransform(fftwrap::fft2d *forward)
{
    static std::vector<fftwrap::fft2d *> *const kept = new std::vector<fftwrap::fft2d *>;
    kept->push_back(forward);
}

// kz = nk0 * sqrt(1 - kxy^2 / nk0^2), principal root of (w, +0): (0, +) when evanescent.
// The (0, 0) component takes nk0 itself.
cpx longitudinalWavenumber(const double nk0, const double kxy_sq, const bool is_vertical_incidence)
{
    if (is_vertical_incidence)
        return cpx(nk0, 0.0);
    const cpx w(1.0 - kxy_sq / (nk0 * nk0), 0.0);
    return nk0 * std::sqrt(w);
}

} // namespace

void vormel_3D(cpx *E, double *F, const cpx *N, const cpx *KX, const double *X,
               const cpx *KY, const double *Y, const double k0, const double dz,
               const double /*dy*/, const double /*dx*/, const int nz, const int ny,
               const int nx, const bool do_evanescent_modes, const bool is_magnetic_field,
               const polarization pol)
{
    const int nxy = nx * ny;
    cpx *S = static_cast<cpx *>(std::malloc(sizeof(cpx) * static_cast<std::size_t>(nxy)));
    if (S == nullptr && nxy > 0) {
        std::cout << "Error - Memory allocation S" << std::endl;
        std::exit(-1);
    }
    fftwrap::fft2d *forward = new fftwrap::fft2d(nx, ny, -1, nullptr, S);
    keepTransform(forward);

    const double impedance_k0 = k0 * 376.73031346;

    for (int k = 0; k < nz - 1; ++k) {
        forward->fft(E + k * nxy, S);

        // Direct summation of the plane-wave spectrum of plane k into plane k+1:
        //   E1(x, y) += t f exp(i (kx x + ky y + kz_t dz) - k0 kappa_t dz)
        //   F1(x, y) += |t f|^2 Re kz_t   (propagating contributions)
        // with f = (-1)^(p+q) S[q][p] / (nx ny), kz = k0 n sqrt(1 - kxy^2 / (k0 n)^2)
        // and t the Fresnel factor where Re n changes from plane k to k+1.
        for (int q = 0; q < ny; ++q) {
            for (int p = 0; p < nx; ++p) {
                const cpx s = S[q * nx + p];
                if (std::abs(s) < 1e-4)
                    continue;
                const bool is_vertical_incidence = (p == 0 && q == 0);
                const double sign = ((p + q) % 2 != 0) ? -1.0 : 1.0;
                const cpx f = s * sign / static_cast<double>(nxy);
                const double kx = KX[p].real();
                const double ky = KY[q].real();
                const double kxy_sq = kx * kx + ky * ky;

                for (int j = 0; j < ny; ++j) {
                    for (int i = 0; i < nx; ++i) {
                        const int idx_0 = k * nxy + j * nx + i;
                        const int idx_1 = (k + 1) * nxy + j * nx + i;
                        const double x = X[i];
                        const double y = Y[j];
                        const cpx n_i = N[idx_0];
                        const cpx n_t = N[idx_1];

                        const bool is_index_change = (n_i.real() != n_t.real());
                        const double nk0_i = k0 * n_i.real();
                        const cpx kz_i =
                            longitudinalWavenumber(nk0_i, kxy_sq, is_vertical_incidence);
                        const bool is_evanescent_mode_i = (kz_i.real() == 0.0);
                        cpx kz_t = kz_i;
                        bool is_evanescent_mode_t = is_evanescent_mode_i;
                        if (is_index_change) {
                            const double nk0_t = k0 * n_t.real();
                            kz_t = longitudinalWavenumber(nk0_t, kxy_sq, is_vertical_incidence);
                            is_evanescent_mode_t = (kz_t.real() == 0.0);
                        }
                        const bool is_internal_reflection = (n_i.real() > n_t.real());
                        const bool is_external_reflection = (n_t.real() > n_i.real());

                        const double phi_xy = kx * x + ky * y;
                        cpx phi_z = kz_t * dz;
                        const bool is_absorbing = (n_t.imag() != 0.0);
                        if (is_absorbing)
                            phi_z += cpx(0.0, k0 * n_t.imag() * dz);
                        const cpx iphi = (phi_xy + phi_z) * cpx(0.0, 1.0);

                        cpx t(1.0, 0.0);
                        if (is_index_change) {
                            if (pol == TE)
                                t = fresnelTTE(kz_i, kz_t);
                            else if (pol == TM)
                                t = fresnelTTM(n_i, n_t, kz_i, kz_t);
                        }
                        const cpx c(n_t.real() / impedance_k0, 0.0);

                        if (!is_evanescent_mode_i && !is_evanescent_mode_t) {
                            const cpx tf = t * f;
                            const double a = std::abs(tf);
                            const double eflux = a * a * kz_t.real();
                            F[idx_1] += eflux;
                            if (is_magnetic_field)
                                E[idx_1] += (tf * c) * std::exp(iphi);
                            else
                                E[idx_1] += tf * std::exp(iphi);
                        } else if (do_evanescent_modes) {
                            cpx f_t(0.0, 0.0);
                            if (!is_evanescent_mode_i && is_internal_reflection &&
                                is_evanescent_mode_t) {
                                f_t = t * f;
                            } else if (is_external_reflection && is_evanescent_mode_i &&
                                       !is_evanescent_mode_t) {
                                f_t = t * f;
                                const double a = std::abs(f_t);
                                F[idx_1] += a * a * kz_t.real();
                            }
                            if (is_evanescent_mode_i && !is_index_change)
                                f_t = f;
                            if (is_magnetic_field)
                                E[idx_1] += (f_t * c) * std::exp(iphi);
                            else
                                E[idx_1] += f_t * std::exp(iphi);
                        }
                    }
                }
            }
        }
    }

    std::free(S);
}
