// Records, index/permittivity conversions and the configuration-file parser.
#include "system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>

void struct_sysOptions::reset()
{
    updated = false;
    smooth = false;
    sysname.clear();
    scl = M;
    mth = WPM;
    irradiance = false;
    energyflux = false;
    absorption = false;
    bidirectional = false;
    multithreaded = false;
    distributed = false;
    evanescent = true;
    efield = true;
    hfield = false;
    permittivity = false;
    permeability = false;
    iterations = 1;
    threads = 1;
    workers = 0;
    workersDone = 1;
    nodes = 1;
    iz = 0;
    izlast = 0;
    nx = 1;
    ny = 1;
    nz = 0;
    x = y = z = t = 0.0;
    dx = dy = dz = 1.0;
    f = 1.0;
    p = NA;
}

void struct_sysOptions::copy(const struct_sysOptions &s) { *this = s; }

void struct_layer::reset()
{
    t = HOMOG;
    x = y = z = r = f = 0.0;
    px = wx = py = wy = 0.0;
    rin = rout = 0.0;
    n = k = eps_r = eps_i = 0.0;
    ne = ke = epse_r = epse_i = 0.0;
    se = sm = 0.0;
    dx = dy = dz = 0.0;
}

void struct_layer::copy(const struct_layer &l) { *this = l; }

void struct_emfield::reset()
{
    s = RANDOM;
    x = y = z = 0.0;
    amp = 0.0;
    lambda = 0.0;
    theta = phi = beta = 0.0;
    sigmax = sigmay = 0.0;
}

void struct_emfield::copy(const struct_emfield &f) { *this = f; }

double scaleFactor(scale s)
{
    switch (s) {
    case M:  return 1.0;
    case DM: return 0.1;
    case CM: return 0.01;
    case MM: return 0.001;
    case UM: return 1e-6;
    case NM: return 1e-9;
    case PM: return 1e-12;
    }
    return 1.0;
}

cpx epsToN(const cpx &eps)
{
    const double er = eps.real();
    const double ei = eps.imag();
    const double a = std::sqrt(er * er + ei * ei);
    const double k = std::sqrt((a - er) * 0.5);
    const double n = std::sqrt((er + a) * 0.5);
    return cpx(n, k);
}

cpx nToEps(const cpx &n)
{
    const double nr = n.real();
    const double ni = n.imag();
    return cpx(nr * nr - ni * ni, (nr + nr) * ni);
}

bool removeBlanks(char *s)
{
    char *w = s;
    for (const char *r = s; *r != '\0'; ++r)
        if (*r != ' ')
            *w++ = *r;
    *w = '\0';
    return true;
}

namespace {

// atoi semantics with the value clamped to the int range instead of overflowing.
int readInt(const std::string &v)
{
    errno = 0;
    const long l = std::strtol(v.c_str(), nullptr, 10);
    if (l > INT_MAX) return INT_MAX;
    if (l < INT_MIN) return INT_MIN;
    return static_cast<int>(l);
}

double readReal(const std::string &v) { return std::strtod(v.c_str(), nullptr); }

bool readFlag(const std::string &v) { return v == "1"; }

template <typename E, size_t N>
void readKeyword(const std::string &v, const char *const (&names)[N], const E (&values)[N], E *field)
{
    for (size_t i = 0; i < N; ++i)
        if (v == names[i]) {
            *field = values[i];
            return;
        }
}

void applyGlobal(const std::string &key, const std::string &v, sysOptions *so)
{
    struct FlagKey { const char *name; bool sysOptions::*field; };
    static const FlagKey flags[] = {
        {"evanescent", &sysOptions::evanescent},   {"irradiance", &sysOptions::irradiance},
        {"energyflux", &sysOptions::energyflux},   {"absorption", &sysOptions::absorption},
        {"bidirectional", &sysOptions::bidirectional}, {"multithreaded", &sysOptions::multithreaded},
        {"distributed", &sysOptions::distributed}, {"efield", &sysOptions::efield},
        {"calcE", &sysOptions::efield},            {"hfield", &sysOptions::hfield},
        {"calcH", &sysOptions::hfield},            {"permittivity", &sysOptions::permittivity},
        {"permeability", &sysOptions::permeability}, {"smooth", &sysOptions::smooth},
    };
    for (const FlagKey &fk : flags)
        if (key == fk.name) {
            so->*fk.field = readFlag(v);
            return;
        }

    struct IntKey { const char *name; int sysOptions::*field; };
    static const IntKey ints[] = {
        {"threads", &sysOptions::threads}, {"nodes", &sysOptions::nodes},
        {"iterations", &sysOptions::iterations}, {"nx", &sysOptions::nx},
        {"ny", &sysOptions::ny}, {"nz", &sysOptions::nz},
    };
    for (const IntKey &ik : ints)
        if (key == ik.name) {
            so->*ik.field = readInt(v);
            return;
        }

    // Extents are whole numbers of file units.
    if (key == "x") { so->x = readInt(v); return; }
    if (key == "y") { so->y = readInt(v); return; }
    if (key == "z") { so->z = readInt(v); return; }

    if (key == "scale") {
        static const char *const names[] = {"m", "dm", "cm", "mm", "um", "nm", "pm"};
        static const scale values[] = {M, DM, CM, MM, UM, NM, PM};
        readKeyword(v, names, values, &so->scl);
    } else if (key == "method") {
        static const char *const names[] = {"vwpm", "wpm", "vbpm", "bpm", "fdtd", "rcwa"};
        static const method values[] = {VWPM, WPM, VBPM, BPM, FDTD, RCWA};
        readKeyword(v, names, values, &so->mth);
    } else if (key == "polarization") {
        static const char *const names[] = {"te", "tm", "na"};
        static const polarization values[] = {TE, TM, NA};
        readKeyword(v, names, values, &so->p);
    }
}

void applyWave(const std::string &key, const std::string &v, emfield *fd)
{
    if (key == "shape") {
        static const char *const names[] = {"plane", "gaussian", "random"};
        static const shape values[] = {PLANE, GAUSSIAN, RANDOM};
        readKeyword(v, names, values, &fd->s);
        return;
    }
    struct RealKey { const char *name; double emfield::*field; };
    static const RealKey reals[] = {
        {"x", &emfield::x}, {"y", &emfield::y}, {"z", &emfield::z},
        {"amp", &emfield::amp}, {"theta", &emfield::theta}, {"phi", &emfield::phi},
        {"beta", &emfield::beta}, {"lambda", &emfield::lambda},
        {"sigmax", &emfield::sigmax}, {"sigmay", &emfield::sigmay},
    };
    for (const RealKey &rk : reals)
        if (key == rk.name) {
            fd->*rk.field = readReal(v);
            return;
        }
}

void applyLayer(const std::string &key, const std::string &v, layer *lr)
{
    if (key == "type") {
        static const char *const names[] = {"homog", "grating", "waveguide", "taper",
                                            "lens", "asphere", "splitter", "mzehnder"};
        static const component values[] = {HOMOG, GRATING, WGUIDE, TAPER,
                                           LENS, ASPHERE, SPLITTER, MZEHNDER};
        readKeyword(v, names, values, &lr->t);
        return;
    }
    struct RealKey { const char *name; double layer::*field; };
    static const RealKey reals[] = {
        {"x", &layer::x}, {"y", &layer::y}, {"z", &layer::z}, {"r", &layer::r},
        {"f", &layer::f}, {"rin", &layer::rin}, {"rout", &layer::rout},
        {"n", &layer::n}, {"k", &layer::k}, {"eps_r", &layer::eps_r},
        {"eps_i", &layer::eps_i}, {"ne", &layer::ne}, {"ke", &layer::ke},
        {"epse_r", &layer::epse_r}, {"epse_i", &layer::epse_i},
        {"px", &layer::px}, {"py", &layer::py}, {"wx", &layer::wx},
        {"wy", &layer::wy}, {"se", &layer::se}, {"sm", &layer::sm},
    };
    for (const RealKey &rk : reals)
        if (key == rk.name) {
            lr->*rk.field = readReal(v);
            return;
        }
}

void completeLayer(layer *lr, bool permittivity)
{
    if (permittivity) {
        const cpx n = epsToN(cpx(lr->eps_r, lr->eps_i));
        const cpx ne = epsToN(cpx(lr->epse_r, lr->epse_i));
        lr->n = n.real();
        lr->k = n.imag();
        lr->ne = ne.real();
        lr->ke = ne.imag();
    } else {
        const cpx eps = nToEps(cpx(lr->n, lr->k));
        const cpx epse = nToEps(cpx(lr->ne, lr->ke));
        lr->eps_r = eps.real();
        lr->eps_i = eps.imag();
        lr->epse_r = epse.real();
        lr->epse_i = epse.imag();
    }
}

section openingTag(const std::string &key)
{
    if (key == "[global]") return GLOBAL_S;
    if (key == "[wave]") return WAVE_S;
    if (key == "[layer]") return LAYER_S;
    if (key == "[fdtd]") return FDTD_S;
    if (key == "[rcwa]") return RCWA_S;
    return NONE;
}

section closingTag(const std::string &key)
{
    if (key == "[/global]") return GLOBAL_E;
    if (key == "[/wave]") return WAVE_E;
    if (key == "[/layer]") return LAYER_E;
    return NONE;
}

// Split a blank-free line into key and value; false when it has no key.
bool splitLine(const std::string &line, std::string *key, std::string *value)
{
    const size_t kb = line.find_first_not_of('=');
    if (kb == std::string::npos)
        return false;
    const size_t ke = line.find('=', kb);
    *key = line.substr(kb, ke == std::string::npos ? std::string::npos : ke - kb);
    value->clear();
    if (ke != std::string::npos) {
        size_t vb = line.find_first_not_of(';', ke + 1);
        if (vb != std::string::npos) {
            const size_t vend = line.find(';', vb);
            *value = line.substr(vb, vend == std::string::npos ? std::string::npos : vend - vb);
        }
    }
    return true;
}

[[noreturn]] void cannotOpen(bool is_quiet)
{
    if (!is_quiet)
        std::cout << "\033[31m[E] Error! Configuration file could not be opened.\033[0m" << std::endl;
    exit(-1);
}

// Longest line read: a file without line ends (a device, a huge binary) would otherwise
// grow one line until memory runs out.
const size_t MAX_LINE = 1 << 20;

enum class LineRead { LINE, END, TOO_LONG, ERROR };

// One line of the file (its newline dropped), cut at a NUL byte, with its blanks removed.
LineRead nextLine(FILE *fp, std::string *line)
{
    line->clear();
    int c;
    while ((c = std::getc(fp)) != EOF && c != '\n') {
        if (line->size() == MAX_LINE)
            return LineRead::TOO_LONG;
        line->push_back(static_cast<char>(c));
    }
    if (c == EOF && std::ferror(fp))
        return LineRead::ERROR;
    if (c == EOF && line->empty())
        return LineRead::END;
    removeBlanks(&(*line)[0]);
    line->resize(std::strlen(line->c_str()));
    return LineRead::LINE;
}

// Only a regular file is read: a FIFO or a device could block the run or never end. The
// descriptor is opened without waiting and tested, so the file tested is the file read.
FILE *openRegular(const std::string &filename)
{
    const int fd = open(filename.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    FILE *fp = nullptr;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && fcntl(fd, F_SETFL, 0) == 0)
        fp = fdopen(fd, "r");
    if (fp == nullptr)
        close(fd);
    return fp;
}

} // namespace

void parse(const std::string &filename, struct_sysOptions *so,
           std::vector<struct_layer> *layers, std::vector<struct_emfield> *fields,
           bool is_quiet)
{
    so->reset();
    so->sysname = filename;
    layer lr;
    emfield fd;
    lr.reset();
    fd.reset();
    section s = NONE;
    section e = NONE;

    FILE *fp = openRegular(filename);
    if (fp == nullptr)
        cannotOpen(is_quiet);

    std::string line, key, value;
    long lineNumber = 0;
    LineRead got;
    while ((got = nextLine(fp, &line)) == LineRead::LINE) {
        ++lineNumber;
        if (line.empty() || !splitLine(line, &key, &value))
            continue;
        if (value.empty()) {
            if (!is_quiet)
                std::cout << "\t\t\t\t" << key << std::endl;
            const section open = openingTag(key);
            const section close = closingTag(key);
            if (open != NONE) s = open;
            if (close != NONE) e = close;
        } else {
            if (!is_quiet)
                std::cout << "\t\t\t\t\t" << key << " =\t" << value << std::endl;
            if (s == GLOBAL_S) applyGlobal(key, value, so);
            else if (s == WAVE_S) applyWave(key, value, &fd);
            else if (s == LAYER_S) applyLayer(key, value, &lr);
        }

        if (s == LAYER_S && e == LAYER_E) {
            completeLayer(&lr, so->permittivity);
            layers->push_back(lr);
            lr.reset();
            s = e = NONE;
        } else if (s == WAVE_S && e == WAVE_E) {
            fields->push_back(fd);
            fd.reset();
            s = e = NONE;
        } else if (s == GLOBAL_S && e == GLOBAL_E) {
            s = e = NONE;
        }
    }
    std::fclose(fp);
    if (got == LineRead::TOO_LONG) {
        if (!is_quiet)
            std::cout << "\033[31m[E] Error! Configuration file line " << lineNumber + 1
                      << " is longer than " << MAX_LINE << " characters.\033[0m" << std::endl;
        exit(-1);
    }
    if (got == LineRead::ERROR)
        cannotOpen(is_quiet);

    if (so->nz != 0) so->dz = so->z / so->nz;
    if (so->ny != 0) so->dy = so->y / so->ny;
    if (so->nx != 0) so->dx = so->x / so->nx;
    so->f = scaleFactor(so->scl);
    so->updated = true;
}

// ---- component geometry builders ----

namespace {

// (int) of a double, saturated at the int range; NaN gives 0.
int toInt(double v)
{
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return INT_MAX;
    if (v <= -2147483648.0) return INT_MIN;
    return static_cast<int>(v);
}

int clampInt(long long v)
{
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

// Pitches in metres, counts and the planes one component claims.
struct Frame {
    double SCALE;
    double DX, DY, DZ;
    int NX, NY, NZ;
    int first;  // first plane of the component (so->izlast)
    int izmax;  // one past its last plane, after clipping
    int count;  // plane count after clipping
    int iz0;    // first plane actually written (never below 0)
};

int countOr1(int n) { return n == 0 ? 1 : n; }

// Claimed planes: ceil(thickness / pitch), cut at the last plane of the volume.
void claimPlanes(Frame *fr, const struct_sysOptions *so, double thick, double pitch)
{
    fr->first = so->izlast;
    fr->count = toInt(std::ceil(thick / pitch));
    long long izmax = static_cast<long long>(fr->first) + fr->count;
    if (fr->NZ < izmax) {
        izmax = fr->NZ;
        fr->count = clampInt(static_cast<long long>(fr->NZ) - fr->first);
    }
    fr->izmax = clampInt(izmax);
    fr->iz0 = fr->first < 0 ? 0 : fr->first;
}

// A zero pitch in the record stands for one metre.
Frame makeFrame(const struct_sysOptions *so, double thick)
{
    Frame fr;
    fr.SCALE = so->f;
    fr.DX = so->dx == 0.0 ? 1.0 : so->dx * fr.SCALE;
    fr.DY = so->dy == 0.0 ? 1.0 : so->dy * fr.SCALE;
    fr.DZ = so->dz == 0.0 ? 1.0 : so->dz * fr.SCALE;
    fr.NX = countOr1(so->nx);
    fr.NY = countOr1(so->ny);
    fr.NZ = countOr1(so->nz);
    claimPlanes(&fr, so, thick, fr.DZ / fr.SCALE);
    return fr;
}

cpx *planeAt(cpx *N, const Frame &fr, int iz)
{
    return N + static_cast<size_t>(iz) * static_cast<size_t>(fr.NX) * static_cast<size_t>(fr.NY);
}

// Half a period (or width) in samples: floor(ceil(len / pitch) * 0.5).
int halfSamples(double len, double pitch) { return toInt(std::floor(std::ceil(len / pitch) * 0.5)); }

} // namespace

int init_homog_system(cpx *N, const struct_sysOptions *so, const struct_layer &l)
{
    const Frame fr = makeFrame(so, l.z);
    const cpx in(l.n, l.k);
    const size_t plane = static_cast<size_t>(fr.NX) * static_cast<size_t>(fr.NY);
    for (int iz = fr.iz0; iz < fr.izmax; ++iz) {
        cpx *P = planeAt(N, fr, iz);
        for (size_t s = 0; s < plane; ++s)
            P[s] = in;
    }
    return fr.count;
}

int init_grating_system(cpx *N, const struct_sysOptions *so, const struct_layer &l)
{
    const Frame fr = makeFrame(so, l.z);
    const cpx in(l.n, l.k);
    const cpx out(l.ne, l.ke);
    const int npx2 = halfSamples(l.px, fr.DX / fr.SCALE);
    const int npy2 = halfSamples(l.py, fr.DY / fr.SCALE);
    const int nwx2 = halfSamples(l.wx, fr.DX / fr.SCALE);
    const int nwy2 = halfSamples(l.wy, fr.DY / fr.SCALE);
    const int NX = fr.NX;
    const int NY = fr.NY;
    // Stripes repeat every npx2 (npy2) samples on the upper quadrant, which is
    // mirrored onto the other three. A period below two samples (refused by
    // checkSystem) has no off-stripe samples.
    for (int iz = fr.iz0; iz < fr.izmax; ++iz) {
        cpx *P = planeAt(N, fr, iz);
        for (int j = NY / 2; j < NY; ++j) {
            const bool isOffY = npy2 != 0 && ((static_cast<long long>(j) + nwy2 / 2) % npy2) > nwy2;
            const size_t r0 = static_cast<size_t>(j) * NX;
            const size_t r1 = static_cast<size_t>(NY - 1 - j) * NX;
            for (int i = NX / 2; i < NX; ++i) {
                const bool isOffX = npx2 != 0 && ((static_cast<long long>(i) + nwx2 / 2) % npx2) > nwx2;
                const cpx v = (isOffX && isOffY) ? out : in;
                const size_t i1 = static_cast<size_t>(NX - 1 - i);
                P[r0 + i] = v;
                P[r0 + i1] = v;
                P[r1 + i] = v;
                P[r1 + i1] = v;
            }
        }
    }
    return fr.count;
}

namespace {

// Centre of a circular core, in file units: the middle of the grid plus the offset.
void coreCentre(const Frame &fr, const struct_layer &l, double *cx, double *cy)
{
    const double AX = static_cast<double>(fr.NX) * fr.DX;
    const double AY = static_cast<double>(fr.NY) * fr.DY;
    *cx = (AX / fr.SCALE) * 0.5 + l.x;
    *cy = (AY / fr.SCALE) * 0.5 + l.y;
}

// One plane of a circular core: inside where (x - cx)^2 + (y - cy)^2 <= r2.
void fillCorePlane(cpx *P, const Frame &fr, double cx, double cy, double r2, const cpx &in,
                   const cpx &out)
{
    const double px = fr.DX / fr.SCALE;
    const double py = fr.DY / fr.SCALE;
    for (int j = 0; j < fr.NY; ++j) {
        const double y = static_cast<double>(j) * py;
        const double ey = (y - cy) * (y - cy);
        cpx *row = P + static_cast<size_t>(j) * fr.NX;
        for (int i = 0; i < fr.NX; ++i) {
            const double x = static_cast<double>(i) * px;
            row[i] = ((x - cx) * (x - cx) + ey > r2) ? out : in;
        }
    }
}

} // namespace

int init_wguide_system(cpx *N, const struct_sysOptions *so, const struct_layer &l)
{
    const Frame fr = makeFrame(so, l.z);
    double cx, cy;
    coreCentre(fr, l, &cx, &cy);
    const double r2 = l.r * l.r;
    for (int iz = fr.iz0; iz < fr.izmax; ++iz)
        fillCorePlane(planeAt(N, fr, iz), fr, cx, cy, r2, cpx(l.n, l.k), cpx(l.ne, l.ke));
    return fr.count;
}

int init_taper_system(cpx *N, const struct_sysOptions *so, const struct_layer &l)
{
    const Frame fr = makeFrame(so, l.z);
    double cx, cy;
    coreCentre(fr, l, &cx, &cy);
    const double d_r = l.rout - l.rin;
    const double m = d_r / static_cast<double>(fr.count);
    // Core radius rin + s*m in plane s of the component.
    for (int iz = fr.iz0; iz < fr.izmax; ++iz) {
        const double rad = static_cast<double>(iz - fr.first) * m + l.rin;
        fillCorePlane(planeAt(N, fr, iz), fr, cx, cy, rad * rad, cpx(l.n, l.k), cpx(l.ne, l.ke));
    }
    return fr.count;
}

int init_lens_system(cpx *N, const struct_sysOptions *so, const struct_layer &l)
{
    // The lens works on the record's pitches as they stand, in file units.
    const double dx = so->dx;
    const double dy = so->dy;
    const double dz = so->dz;
    Frame fr;
    fr.SCALE = so->f;
    fr.DX = dx;
    fr.DY = dy;
    fr.DZ = dz;
    fr.NX = countOr1(so->nx);
    fr.NY = countOr1(so->ny);
    fr.NZ = countOr1(so->nz);
    claimPlanes(&fr, so, l.z, dz);
    const cpx in(l.n, l.k);
    const cpx out(l.ne, l.ke);
    // Ball of radius |r|: for r > 0 its centre lies r before the last plane,
    // otherwise |r| beyond the first plane.
    const double z0 = l.r > 0 ? static_cast<double>(fr.izmax - 1) * dz - l.r
                              : static_cast<double>(fr.first) * dz - l.r;
    const double hx = (static_cast<double>(so->nx) * dx) * 0.5;
    const double hy = (static_cast<double>(so->ny) * dy) * 0.5;
    const double r2 = l.r * l.r;
    for (int iz = fr.iz0; iz < fr.izmax; ++iz) {
        const double w = (static_cast<double>(iz) * dz - z0) - l.dz;
        const double w2 = w * w;
        cpx *P = planeAt(N, fr, iz);
        for (int j = 0; j < fr.NY; ++j) {
            const double v = (static_cast<double>(j) * dy - hy) - l.dy;
            const double v2 = v * v;
            cpx *row = P + static_cast<size_t>(j) * fr.NX;
            for (int i = 0; i < fr.NX; ++i) {
                const double u = (static_cast<double>(i) * dx - hx) - l.dx;
                row[i] = ((u * u + v2) + w2 > r2) ? out : in;
            }
        }
    }
    return fr.count;
}

int init_asphere_system(cpx *, const struct_sysOptions *so, const struct_layer &l)
{
    return makeFrame(so, l.z).count;
}

double splitter_shape(int s, int count)
{
    const int h = count / 2;
    return (std::atan((6.2831853 / count) * (s - h)) + 1.262627255348652) / 1.570796325;
}

int init_splitter_system(cpx *N, const struct_sysOptions *so, const struct_layer &l)
{
    const Frame fr = makeFrame(so, l.z);
    const cpx in(l.n, l.k);
    const cpx out(l.ne, l.ke);
    const double AX = static_cast<double>(fr.NX) * fr.DX;
    const double AY = static_cast<double>(fr.NY) * fr.DY;
    const double cx0 = (AX / fr.SCALE) * 0.5 + l.x;
    const double cy0 = 0.5 * (AY / fr.SCALE) + l.y;
    const int count = fr.count;
    // The core centre follows an arctangent S-curve from (cx0, cy0) towards
    // (cx0, cy0) + 1.6*(wx, wy); a sample is inside within sqrt(2)*rad of it.
    for (int iz = fr.iz0; iz < fr.izmax; ++iz) {
        const int s = iz - fr.first;
        const double atan_shape = splitter_shape(s, count);
        const double cx = l.wx * atan_shape + cx0;
        const double cy = atan_shape * l.wy + cy0;
        const double rad = ((l.rout - l.rin) / count) * s + l.rin;
        const double lim = rad * rad + rad * rad;
        cpx *P = planeAt(N, fr, iz);
        for (int j = 0; j < fr.NY; ++j) {
            const double y = std::fabs((static_cast<double>(j) * fr.DY) / fr.SCALE);
            const double ey = (y - cy) * (y - cy);
            cpx *row = P + static_cast<size_t>(j) * fr.NX;
            for (int i = 0; i < fr.NX; ++i) {
                const double x = std::fabs((static_cast<double>(i) * fr.DX) / fr.SCALE);
                row[i] = ((x - cx) * (x - cx) + ey > lim) ? out : in;
            }
        }
    }
    return count;
}

int init_mzehnder_system(cpx *, const struct_sysOptions *so, const struct_layer &l)
{
    return makeFrame(so, l.z).count;
}

namespace {

// The stored component kind as an int: records that do not come from the parser
// may hold a value outside the enumerators.
int kindOf(const layer &l)
{
    static_assert(sizeof(component) == sizeof(int), "enumerations are 32-bit");
    int v;
    std::memcpy(&v, &l.t, sizeof v);
    return v;
}

const char *componentName(int t)
{
    switch (t) {
    case HOMOG:    return "homog";
    case GRATING:  return "grating";
    case WGUIDE:   return "waveguide";
    case TAPER:    return "taper";
    case LENS:     return "lens";
    case ASPHERE:  return "asphere";
    case SPLITTER: return "splitter";
    case MZEHNDER: return "mzehnder";
    }
    return "unknown";
}

bool refuse(const std::string &what, bool is_quiet)
{
    if (!is_quiet)
        std::cout << "\033[31m[E] Error! " << what << "\033[0m" << std::endl;
    return false;
}

std::string layerName(size_t pos, const layer &l)
{
    return "layer " + std::to_string(pos) + " (" + componentName(kindOf(l)) + ")";
}

// Period of a grating along one axis: at least two samples of the builder's pitch.
bool periodOk(double period, double pitch) { return std::ceil(period / pitch) >= 2.0; }

std::string num(double v)
{
    std::ostringstream os;
    os << v;
    return os.str();
}

} // namespace

bool checkSystem(const struct_sysOptions *so, const std::vector<struct_layer> &layers, bool is_quiet)
{
    const struct { const char *name; int n; } counts[] = {{"nx", so->nx}, {"ny", so->ny}, {"nz", so->nz}};
    for (const auto &c : counts)
        if (c.n < 1)
            return refuse(std::string("[global] ") + c.name + " = " + std::to_string(c.n)
                          + ": every sample count must be at least 1.", is_quiet);
    // The frequency grid and the centred positions assume even transverse counts, or 1.
    for (size_t a = 0; a < 2; ++a)
        if (counts[a].n != 1 && counts[a].n % 2 != 0)
            return refuse(std::string("[global] ") + counts[a].name + " = " + std::to_string(counts[a].n)
                          + ": the count must be even, or 1.", is_quiet);
    // nx*ny fits a long long; nz is tested by division, as the full product need not.
    const long long plane = static_cast<long long>(so->nx) * so->ny;
    if (plane > INT_MAX / so->nz) {
        const std::string samples = plane <= LLONG_MAX / so->nz ? std::to_string(plane * so->nz)
                                                                : num(static_cast<double>(plane) * so->nz);
        return refuse("[global] nx*ny*nz = " + samples
                      + " samples: at most 2147483647 fit the volume indexing.", is_quiet);
    }
    // A negative extent gives a negative pitch: reversed grids and negative plane counts.
    const struct { const char *name; double v, pitch; } extents[] = {
        {"x", so->x, so->dx}, {"y", so->y, so->dy}, {"z", so->z, so->dz}};
    for (const auto &e : extents)
        if (e.v < 0.0 || e.pitch < 0.0)
            return refuse(std::string("[global] ") + e.name + " = " + num(e.v)
                          + ": the extent must not be negative.", is_quiet);

    const double SCALE = so->f;
    const double pitchX = (so->dx == 0.0 ? 1.0 : so->dx * SCALE) / SCALE;
    const double pitchY = (so->dy == 0.0 ? 1.0 : so->dy * SCALE) / SCALE;
    for (size_t i = 0; i < layers.size(); ++i) {
        const layer &l = layers[i];
        const std::string who = layerName(i + 1, l);
        if (!(l.z >= 0.0))
            return refuse(who + ": z = " + num(l.z) + ": the thickness must be a number, not negative.",
                          is_quiet);
        if (kindOf(l) == GRATING) {
            if (!periodOk(l.px, pitchX))
                return refuse(who + ": px = " + num(l.px) + ": the period must span at least 2 samples of "
                              + num(pitchX) + " along x.", is_quiet);
            if (!periodOk(l.py, pitchY))
                return refuse(who + ": py = " + num(l.py) + ": the period must span at least 2 samples of "
                              + num(pitchY) + " along y.", is_quiet);
        }
        if (kindOf(l) == LENS && so->dz == 0.0)
            return refuse(who + ": the plane pitch dz is 0; give the extent z in [global].", is_quiet);
    }
    return true;
}
