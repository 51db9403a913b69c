// Records, index/permittivity conversions and the configuration-file parser.
#include "system.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

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

// One line of the file with its blanks removed; false at the end of the file.
bool nextLine(FILE *fp, std::string *line)
{
    char *buf = nullptr;
    size_t cap = 0;
    const ssize_t len = getline(&buf, &cap, fp);
    if (len < 0) {
        free(buf);
        return false;
    }
    if (len > 0 && buf[len - 1] == '\n')
        buf[len - 1] = '\0';
    removeBlanks(buf);
    line->assign(buf);
    free(buf);
    return true;
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

    FILE *fp = std::fopen(filename.c_str(), "r");
    struct stat st;
    if (fp == nullptr || fstat(fileno(fp), &st) != 0 || S_ISDIR(st.st_mode)) {
        if (fp != nullptr)
            std::fclose(fp);
        cannotOpen(is_quiet);
    }

    std::string line, key, value;
    while (nextLine(fp, &line)) {
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
    const bool readError = std::ferror(fp) != 0;
    std::fclose(fp);
    if (readError)
        cannotOpen(is_quiet);

    if (so->nz != 0) so->dz = so->z / so->nz;
    if (so->ny != 0) so->dy = so->y / so->ny;
    if (so->nx != 0) so->dx = so->x / so->nx;
    so->f = scaleFactor(so->scl);
    so->updated = true;
}

// ---- component geometry builders ----
