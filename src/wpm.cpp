// Wave propagation engine.
#include "wpm.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <memory>
#include <vector>

#include "driver.h"
#include "fftwrap.h"
#include "memAvail.h"
#include "wpm_simd.h"
#include "wpm_sum.h"

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

namespace {

// |denom| == 0.0 exactly when both parts are zero: the modulus (hypot) of anything else,
// subnormal, infinite or NaN parts included, is not zero. Tested part by part, which
// is the same decision without the modulus.
bool isZero(const cpx &denom) { return denom.real() == 0.0 && denom.imag() == 0.0; }

} // namespace

cpx fresnelTTE(const cpx &kz_i, const cpx &kz_t)
{
    const cpx denom = kz_i + kz_t;
    cpx tte;
    if (isZero(denom))
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
    if (isZero(denom))
        ttm = cpx(1.0, 0.0);
    else
        ttm = ((n_i * n_t) * (kz_i / denom)) * cpx(2.0, 0.0);
    trim(ttm);
    return ttm;
}

cpx longitudinalWavenumber(const double nk0, const double kxy_sq, const bool is_vertical_incidence)
{
    if (is_vertical_incidence)
        return cpx(nk0, 0.0);
    // The principal root of (w, +0) is (|sqrt w|, +0) for w >= 0 and (+0, sqrt -w) for
    // w < 0, as csqrt gives it, infinities included; a NaN w takes the complex root.
    const double w = 1.0 - kxy_sq / (nk0 * nk0);
    cpx root;
    if (w >= 0.0)
        root = cpx(std::fabs(std::sqrt(w)), 0.0);
    else if (w < 0.0)
        root = cpx(0.0, std::sqrt(-w));
    else
        root = std::sqrt(cpx(w, 0.0));
    return nk0 * root;
}

namespace {

// Forward transforms of every call stay alive until the process ends; the list keeps
// them reachable.
void keepTransform(fftwrap::fft2d *forward)
{
    static std::vector<fftwrap::fft2d *> *const kept = new std::vector<fftwrap::fft2d *>;
    kept->push_back(forward);
}

// One retained spectral component (p, q) of a plane.
struct Component {
    cpx f;          // (-1)^(p+q) S[q][p] / (nx ny)
    double modulus; // |f|, which is |t f| for t = (1, 0) and a finite f
    double kx, ky, kxy_sq;
    int slot; // lp + lq np in the plane's coefficient matrix
    int cls;  // |p| + |q| (nx/2 + 1), p and q signed: see ClassTerms
    bool is_vertical_incidence;
};

// What a pair gives every component of one class: the components (+-p, +-q) have the
// same kxy_sq (a grid holds -k as the negation of k), and so the same kz_i, kz_t and
// Fresnel factor t. Filled at the class's first component in a pair (stamp), and taken
// only where kxy_sq is the same bits, so any grid gets exactly its own values.
struct ClassTerms {
    cpx kz_i, kz_t, t;
    double kxy_sq;
    int stamp;
};

class ClassCache {
public:
    ClassCache(const int nx, const int ny) : m_count(classes(nx, ny)), m_terms(m_count, "class terms")
    {
        reset();
    }
    static std::size_t bytes(const int nx, const int ny)
    {
        return HostBuffer<ClassTerms>::bytes(classes(nx, ny));
    }
    // A new pair: every entry is stale.
    int nextStamp()
    {
        if (++m_stamp == INT_MAX)
            reset();
        return m_stamp;
    }
    ClassTerms &operator[](const int cls) const { return m_terms[cls]; }

private:
    static std::size_t classes(const int nx, const int ny)
    {
        return static_cast<std::size_t>(nx / 2 + 1) * (ny / 2 + 1);
    }
    void reset()
    {
        for (std::size_t c = 0; c < m_count; ++c)
            m_terms[c].stamp = 0;
        m_stamp = 1;
    }
    std::size_t m_count;
    HostBuffer<ClassTerms> m_terms;
    int m_stamp = 1;
};

// The retained components of a plane and the frequencies they occupy.
struct Spectrum {
    Spectrum(const int nx, const int ny)
        : components(static_cast<std::size_t>(nx) * ny, "components"), ps(nx, "frequencies x"),
          qs(ny, "frequencies y"), lp(nx, "frequency index x"), lq(ny, "frequency index y")
    {
    }
    static std::size_t bytes(const int nx, const int ny)
    {
        return HostBuffer<Component>::bytes(static_cast<std::size_t>(nx) * ny) +
               2 * (HostBuffer<int>::bytes(nx) + HostBuffer<int>::bytes(ny));
    }
    HostBuffer<Component> components;
    HostBuffer<int> ps, qs; // present frequencies, increasing
    HostBuffer<int> lp, lq; // position of a frequency among them, -1 when absent
    int count = 0, np = 0, nq = 0;
};

// |s| < 1e-4, the modulus taken as hypot. The exact modulus lies between the larger part
// and sqrt(2) times it, and hypot is within an ulp of it, far inside the margins below
// (1e-6 and 1 % relative): clear cases are decided on the parts alone. A NaN part never
// passes the second test, so the coefficient is kept, as its NaN or infinite modulus is.
bool belowThreshold(const cpx &s)
{
    const double re = std::fabs(s.real());
    const double im = std::fabs(s.imag());
    if (re >= 1.000001e-4 || im >= 1.000001e-4)
        return false;
    if (re < 0.7e-4 && im < 0.7e-4)
        return true;
    return std::abs(s) < 1e-4;
}

// The components at or above the threshold, in spectral order (q outer, p inner).
void gatherComponents(const cpx *S, const cpx *KX, const cpx *KY, const int nx, const int ny,
                      Spectrum &out)
{
    const int nxy = nx * ny;
    std::fill(out.lp.data(), out.lp.data() + nx, -1);
    std::fill(out.lq.data(), out.lq.data() + ny, -1);
    int count = 0;
    for (int q = 0; q < ny; ++q) {
        for (int p = 0; p < nx; ++p) {
            const cpx s = S[q * nx + p];
            if (belowThreshold(s))
                continue;
            Component &c = out.components[count++];
            c.is_vertical_incidence = (p == 0 && q == 0);
            const double sign = ((p + q) % 2 != 0) ? -1.0 : 1.0;
            c.f = s * sign / static_cast<double>(nxy);
            c.modulus = std::isfinite(c.f.real()) && std::isfinite(c.f.imag())
                            ? std::abs(c.f)
                            : std::numeric_limits<double>::quiet_NaN();
            c.kx = KX[p].real();
            c.ky = KY[q].real();
            c.kxy_sq = c.kx * c.kx + c.ky * c.ky;
            c.slot = q * nx + p; // until the present frequencies are known
            c.cls = std::min(p, nx - p) + std::min(q, ny - q) * (nx / 2 + 1);
            out.lp[p] = 0;
            out.lq[q] = 0;
        }
    }
    out.count = count;
    out.np = 0;
    for (int p = 0; p < nx; ++p)
        if (out.lp[p] == 0) {
            out.lp[p] = out.np;
            out.ps[out.np++] = p;
        }
    out.nq = 0;
    for (int q = 0; q < ny; ++q)
        if (out.lq[q] == 0) {
            out.lq[q] = out.nq;
            out.qs[out.nq++] = q;
        }
    for (int m = 0; m < count; ++m) {
        Component &c = out.components[m];
        const int q = c.slot / nx;
        const int p = c.slot - q * nx;
        c.slot = out.lp[p] + out.lq[q] * out.np;
    }
}

// The indices of one sample in plane k and plane k+1.
struct IndexPair {
    cpx n_i, n_t;
};
static_assert(sizeof(IndexPair) == 4 * sizeof(double), "packed index pair");

// Pairs are told apart by their bits: NaN matches itself and -0.0 stays apart from 0.0,
// so every sample of a pair takes exactly the same arithmetic.
bool samePair(const IndexPair &a, const IndexPair &b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::uint64_t pairHash(const IndexPair &key)
{
    std::uint64_t w[4];
    std::memcpy(w, &key, sizeof w);
    std::uint64_t h = 0x9e3779b97f4a7c15ull;
    for (const std::uint64_t v : w) {
        h = (h ^ v) * 0xff51afd7ed558ccdull;
        h ^= h >> 32;
    }
    return h;
}

// The distinct (n_i, n_t) pairs of one step from plane k to plane k+1 and the samples of
// each, in increasing order. Sized once for a plane; every volume fits, however many
// distinct indices it holds.
class PairIndex {
public:
    explicit PairIndex(const int nxy)
        : m_nxy(nxy), m_slotCount(slotCount(nxy)), m_slots(m_slotCount, "pair slots"),
          m_pairs(static_cast<std::size_t>(nxy), "index pairs"),
          m_pairOf(static_cast<std::size_t>(nxy), "pair of sample"),
          m_start(static_cast<std::size_t>(nxy) + 1, "pair start"),
          m_samples(static_cast<std::size_t>(nxy), "pair samples")
    {
    }
    static std::size_t bytes(const int nxy)
    {
        const std::size_t n = static_cast<std::size_t>(nxy);
        return HostBuffer<int>::bytes(slotCount(nxy)) + HostBuffer<IndexPair>::bytes(n) +
               HostBuffer<int>::bytes(n) + HostBuffer<int>::bytes(n + 1) + HostBuffer<int>::bytes(n);
    }

    // Groups the samples of the two planes; returns the number of distinct pairs.
    int classify(const cpx *N0, const cpx *N1)
    {
        std::fill(m_slots.data(), m_slots.data() + m_slotCount, -1);
        const std::size_t mask = m_slotCount - 1;
        int count = 0;
        IndexPair last = {N0[0], N1[0]};
        int lastId = -1;
        for (int s = 0; s < m_nxy; ++s) {
            const IndexPair key = {N0[s], N1[s]};
            // Neighbours along x mostly share their pair: no hashing for a repeat.
            if (lastId >= 0 && samePair(key, last)) {
                m_pairOf[s] = lastId;
                continue;
            }
            std::size_t h = static_cast<std::size_t>(pairHash(key)) & mask;
            while (m_slots[h] >= 0 && !samePair(m_pairs[m_slots[h]], key))
                h = (h + 1) & mask;
            if (m_slots[h] < 0) {
                m_slots[h] = count;
                m_pairs[count++] = key;
            }
            m_pairOf[s] = lastId = m_slots[h];
            last = key;
        }
        // Counting sort of the samples by pair, stable.
        std::fill(m_start.data(), m_start.data() + count + 1, 0);
        for (int s = 0; s < m_nxy; ++s)
            ++m_start[m_pairOf[s] + 1];
        for (int id = 0; id < count; ++id)
            m_start[id + 1] += m_start[id];
        for (int s = 0; s < m_nxy; ++s)
            m_samples[m_start[m_pairOf[s]]++] = s;
        for (int id = count; id > 0; --id)
            m_start[id] = m_start[id - 1];
        m_start[0] = 0;
        return count;
    }

    const IndexPair &pair(const int id) const { return m_pairs[id]; }
    const int *samplesBegin(const int id) const { return m_samples.data() + m_start[id]; }
    const int *samplesEnd(const int id) const { return m_samples.data() + m_start[id + 1]; }

private:
    // A power of two at least twice the samples keeps the probe chains short.
    static std::size_t slotCount(const int nxy)
    {
        std::size_t n = 1;
        while (n < 2 * static_cast<std::size_t>(nxy > 0 ? nxy : 1))
            n *= 2;
        return n;
    }

    int m_nxy;
    std::size_t m_slotCount;
    HostBuffer<int> m_slots; // open addressing, -1 empty
    HostBuffer<IndexPair> m_pairs;
    HostBuffer<int> m_pairOf;
    HostBuffer<int> m_start;
    HostBuffer<int> m_samples;
};

double largestMagnitude(const double *v, const int n)
{
    double m = 0.0;
    for (int i = 0; i < n; ++i)
        m = std::fmax(m, std::fabs(v[i]));
    return m;
}

// What is the same for every step of one call.
struct StepRules {
    double k0, dz;
    double impedance_k0; // k0 * 376.73031346
    bool do_evanescent_modes, is_magnetic_field;
    polarization pol;
};

// Everything a pair (n_i, n_t) gets from each retained component, component by component
// in spectral order, with the arithmetic of the direct summation: the field term
//   a = t f [c] exp(-Im phi_z), theta = kx x + ky y + Re phi_z,   phi_z = kz_t dz (+ i k0 kappa_t dz)
// (t the Fresnel factor, c the H-field factor), and the flux, summed here once for all the
// pair's samples. Terms that add nothing (dropped evanescent ones, exact zeros) are left out.
// Returns whether any flux contribution was made; flux holds their sum from 0.0.
bool pairTerms(const Component *components, const int count, const IndexPair &pair,
               const StepRules &rules, ClassCache &classes, TermTable &table, double &flux)
{
    const cpx n_i = pair.n_i;
    const cpx n_t = pair.n_t;
    const bool is_index_change = (n_i.real() != n_t.real());
    const double nk0_i = rules.k0 * n_i.real();
    const double nk0_t = rules.k0 * n_t.real();
    const bool is_internal_reflection = (n_i.real() > n_t.real());
    const bool is_external_reflection = (n_t.real() > n_i.real());
    const bool is_absorbing = (n_t.imag() != 0.0);
    const double absorption = rules.k0 * n_t.imag() * rules.dz;
    const bool has_factor = is_index_change && (rules.pol == TE || rules.pol == TM);
    const cpx c(n_t.real() / rules.impedance_k0, 0.0);
    // exp(-Im phi_z) of the last term: most terms share their decay (propagating ones
    // decay by the extinction alone), and exp of the same argument is the same value.
    double decayOf = 0.0, decay = 1.0;
    const int stamp = classes.nextStamp();

    table.clear();
    flux = 0.0;
    bool has_flux = false;
    for (int m = 0; m < count; ++m) {
        const Component &q = components[m];
        ClassTerms &w = classes[q.cls];
        if (w.stamp != stamp || !(w.kxy_sq == q.kxy_sq)) {
            w.kz_i = longitudinalWavenumber(nk0_i, q.kxy_sq, q.is_vertical_incidence);
            w.kz_t = w.kz_i;
            if (is_index_change)
                w.kz_t = longitudinalWavenumber(nk0_t, q.kxy_sq, q.is_vertical_incidence);
            w.t = cpx(1.0, 0.0);
            if (has_factor)
                w.t = rules.pol == TE ? fresnelTTE(w.kz_i, w.kz_t)
                                      : fresnelTTM(n_i, n_t, w.kz_i, w.kz_t);
            w.kxy_sq = q.kxy_sq;
            w.stamp = stamp;
        }
        const cpx kz_t = w.kz_t;
        const cpx t = w.t;
        const bool is_evanescent_mode_i = (w.kz_i.real() == 0.0);
        const bool is_evanescent_mode_t = is_index_change ? (kz_t.real() == 0.0) : is_evanescent_mode_i;

        const bool propagating = !is_evanescent_mode_i && !is_evanescent_mode_t;
        if (!propagating && !rules.do_evanescent_modes)
            continue; // evanescent here and not kept

        cpx phi_z = kz_t * rules.dz;
        if (is_absorbing)
            phi_z += cpx(0.0, absorption);

        cpx amount;
        if (propagating) {
            amount = t * q.f;
            // (1, 0) f is f for a finite f, part for part but for the signs of zeros.
            const double a = has_factor || std::isnan(q.modulus) ? std::abs(amount) : q.modulus;
            flux += a * a * kz_t.real();
            has_flux = true;
        } else {
            amount = cpx(0.0, 0.0);
            if (!is_evanescent_mode_i && is_internal_reflection && is_evanescent_mode_t) {
                amount = t * q.f;
            } else if (is_external_reflection && is_evanescent_mode_i && !is_evanescent_mode_t) {
                amount = t * q.f;
                const double a = std::abs(amount);
                flux += a * a * kz_t.real();
                has_flux = true;
            }
            if (is_evanescent_mode_i && !is_index_change)
                amount = q.f;
        }
        if (rules.is_magnetic_field)
            amount = amount * c;

        // exp(i (phi_xy + phi_z)) = exp(-Im phi_z) (cos, sin)(phi_xy + Re phi_z): the
        // modulus is the same at every sample of the pair.
        if (phi_z.imag() != decayOf) {
            decayOf = phi_z.imag();
            decay = std::exp(-decayOf);
        }
        const cpx a(amount.real() * decay, amount.imag() * decay);
        if (a.real() == 0.0 && a.imag() == 0.0 && std::isfinite(phi_z.real()))
            continue; // adds zero at every sample
        table.append(q.kx, q.ky, phi_z.real(), a, q.slot);
    }
    return has_flux;
}

// Whether a pair takes the separable products: where they are the cheaper way to its field,
// or forced, and where their tables are there (made once they pay, where they fit in the
// memory left).
bool takesProducts(const SumChoice &choice, SeparableSum *separable, TermTable &table,
                   const int *begin, const int *end)
{
    if (separable == nullptr || !table.isFinite())
        return false;
    const Footprint fp = separable->footprint(begin, end);
    if (choice.path == SumPath::Products)
        return separable->ready(HUGE_VAL);
    const double saving = static_cast<double>(end - begin) * table.count() - separable->cost(fp, table.count());
    return saving > 0.0 && separable->ready(saving);
}

// The spectrum S of one plane.
std::size_t planeBytes(const int nx, const int ny) { return sizeof(cpx) * static_cast<std::size_t>(nx * ny); }

// The buffers of a call that propagates, the separable sum aside.
std::size_t workBytes(const int nx, const int ny)
{
    const int nxy = nx * ny;
    return Spectrum::bytes(nx, ny) + PairIndex::bytes(nxy) + ClassCache::bytes(nx, ny) + TermTable::bytes(nxy);
}

// What the products' buffers may take in any run: enough for the strip-shaped cross-sections
// of waveguides and gratings, up to about 5800 samples wide.
constexpr std::size_t kSeparableBound = std::size_t(1) << 30;

// Whether the products' buffers stay within their bound: kSeparableBound, or twice what the
// run holds without them where that is more.
bool separableFits(const int nx, const int ny, const int nz)
{
    if (nx < 1 || ny < 1)
        return false;
    const std::size_t held = volumeBytes(nx, ny, nz) + planeBytes(nx, ny) + workBytes(nx, ny);
    return SeparableSum::bytes(nx, ny) <= std::max(kSeparableBound, mulBytes(2, held));
}

} // namespace

void vormel_3D(cpx *E, double *F, const cpx *N, const cpx *KX, const double *X,
               const cpx *KY, const double *Y, const double k0, const double dz,
               const double dy, const double dx, const int nz, const int ny, const int nx,
               const bool do_evanescent_modes, const bool is_magnetic_field,
               const polarization pol)
{
    vormel_3D(E, F, N, KX, X, KY, Y, k0, dz, dy, dx, nz, ny, nx, do_evanescent_modes,
              is_magnetic_field, pol, SumChoice());
}

void vormel_3D(cpx *E, double *F, const cpx *N, const cpx *KX, const double *X,
               const cpx *KY, const double *Y, const double k0, const double dz,
               const double /*dy*/, const double /*dx*/, const int nz, const int ny,
               const int nx, const bool do_evanescent_modes, const bool is_magnetic_field,
               const polarization pol, const SumChoice &choice)
{
    const int nxy = nx * ny;
    cpx *S = static_cast<cpx *>(std::malloc(planeBytes(nx, ny)));
    if (S == nullptr && nxy > 0) {
        std::cout << "Error - Memory allocation S" << std::endl;
        std::exit(-1);
    }
    fftwrap::fft2d *forward = new fftwrap::fft2d(nx, ny, -1, nullptr, S);
    keepTransform(forward);
    if (nz < 2 || nxy <= 0) {
        std::free(S);
        return;
    }

    const StepRules rules = {k0, dz, k0 * 376.73031346, do_evanescent_modes, is_magnetic_field, pol};
    const SimdLevel level = bestSimdLevel();
    const PhaseSumFn phaseSum = phaseSumKernel(level);
    Spectrum spectrum(nx, ny);
    PairIndex pairs(nxy);
    ClassCache classes(nx, ny);
    TermTable table(nxy);
    // Forced products skip the grid's cost model as they skip each pair's. The tables come
    // later, with the first pair that takes them.
    const bool buildProducts = choice.path == SumPath::Products
                                   ? separableFits(nx, ny, nz)
                                   : choice.path == SumPath::Cheaper && separableTaken(nx, ny, nz);
    std::unique_ptr<SeparableSum> separable;
    if (buildProducts)
        separable.reset(new SeparableSum(KX, X, KY, Y, nx, ny, phasorKernel(level)));
    const double xMax = largestMagnitude(X, nx);
    const double yMax = largestMagnitude(Y, ny);

    for (int k = 0; k < nz - 1; ++k) {
        forward->fft(E + k * nxy, S);

        // Spectrum summation of plane k into plane k+1:
        //   E1(x, y) += sum_c t f exp(i (kx x + ky y + kz_t dz) - k0 kappa_t dz)
        //   F1(x, y) += sum_c |t f|^2 Re kz_t   (propagating contributions)
        // with f = (-1)^(p+q) S[q][p] / (nx ny), kz = k0 n sqrt(1 - kxy^2 / (k0 n)^2)
        // and t the Fresnel factor where Re n changes from plane k to k+1. All but the
        // transverse phase depends on the sample only through (n_i, n_t): it is worked
        // out once per distinct pair. A pair's field is then either summed term by term
        // at each of its samples, or, where that costs more, taken as two matrix products
        // over its columns and rows (SeparableSum).
        gatherComponents(S, KX, KY, nx, ny, spectrum);
        if (spectrum.count == 0)
            continue;
        if (separable)
            separable->setSupport(spectrum.ps.data(), spectrum.np, spectrum.qs.data(), spectrum.nq);
        const int pairCount = pairs.classify(N + k * nxy, N + (k + 1) * nxy);
        cpx *E1 = E + (k + 1) * nxy;
        double *F1 = F + (k + 1) * nxy;
        for (int id = 0; id < pairCount; ++id) {
            double flux = 0.0;
            const bool has_flux = pairTerms(spectrum.components.data(), spectrum.count,
                                            pairs.pair(id), rules, classes, table, flux);
            const int *begin = pairs.samplesBegin(id);
            const int *end = pairs.samplesEnd(id);
            if (!table.empty()) {
                if (takesProducts(choice, separable.get(), table, begin, end)) {
                    separable->add(table, begin, end, choice.order, E1);
                } else {
                    const PhaseTerms terms = table.terms(xMax, yMax);
                    for (const int *s = begin; s != end; ++s)
                        E1[*s] += phaseSum(terms, X[*s % nx], Y[*s / nx]);
                }
            }
            if (has_flux)
                for (const int *s = begin; s != end; ++s)
                    F1[*s] += flux;
        }
    }

    std::free(S);
}

bool separableTaken(const int nx, const int ny, const int nz)
{
    return separableFits(nx, ny, nz) && SeparableSum::canPay(nx, ny);
}

MemoryNeed vormelMemory(const int nx, const int ny, const int nz)
{
    if (nx < 1 || ny < 1)
        return MemoryNeed();
    // S and the transform are made on every call, the rest only where planes are propagated.
    MemoryNeed need = wholeBuffer(planeBytes(nx, ny) + fftwrap::fft2d::bytes(nx, ny, false));
    if (nz < 2)
        return need;
    need = need + wholeBuffer(workBytes(nx, ny));
    // The products' tables and the library's buffer are not a need of the run: they are made
    // only where they fit in what is left once the run holds the rest.
    if (separableTaken(nx, ny, nz))
        need = need + wholeBuffer(SeparableSum::listBytes(nx, ny));
    return need;
}
