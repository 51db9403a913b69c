// Shared records of one run: global options, components, incident waves.
#ifndef FYRNOL_SYSTEM_H
#define FYRNOL_SYSTEM_H

#include <complex>
#include <string>
#include <vector>

typedef std::complex<double> cpx;
static_assert(sizeof(cpx) == 16, "cpx must be two packed doubles");

enum polarization { NA = 0, TE = 1, TM = 2 };
enum method { BLANK = 0, VWPM = 1, WPM = 2, VBPM = 3, BPM = 4, FDTD = 5, RCWA = 6 };
enum plane { XY = 0, XZ = 1, YZ = 2, ZX = 3, ZY = 4, YX = 5 };
enum shape { RANDOM = 0, PLANE = 1, GAUSSIAN = 2 };
enum component {
    HOMOG = 0, GRATING = 1, WGUIDE = 2, TAPER = 3,
    LENS = 4, ASPHERE = 5, SPLITTER = 6, MZEHNDER = 7
};
enum scale { M = 0, DM = 1, CM = 2, MM = 3, UM = 4, NM = 5, PM = 6 };
enum section {
    NONE = 0, GLOBAL_S = 1, WAVE_S = 2, LAYER_S = 3, RCWA_S = 4, FDTD_S = 5,
    GLOBAL_E = 6, WAVE_E = 7, LAYER_E = 8, RCWA_E = 9, FDTD_E = 10
};

// Global options of one run; lengths in file units, f metres per file unit.
typedef struct struct_sysOptions {
    bool updated;
    bool smooth;
    std::string sysname;
    scale scl;
    method mth;
    bool irradiance;
    bool energyflux;
    bool absorption;
    bool bidirectional;
    bool multithreaded;
    bool distributed;
    bool evanescent;
    bool efield;
    bool hfield;
    bool permittivity;
    bool permeability;
    int iterations;
    int threads;
    int workers;
    int workersDone;
    int nodes;
    int iz;
    int izlast;
    int nx;
    int ny;
    int nz;
    double x;
    double y;
    double z;
    double t;
    double dx;
    double dy;
    double dz;
    double f;
    polarization p;

    void reset();
    void copy(const struct_sysOptions &s);
} sysOptions;

// One component of the stack.
typedef struct struct_layer {
    component t;
    double x, y, z, r, f;
    double px, wx, py, wy;
    double rin, rout;
    double n, k, eps_r, eps_i;
    double ne, ke, epse_r, epse_i;
    double se, sm;
    double dx, dy, dz;

    void reset();
    void copy(const struct_layer &l);
} layer;

// One incident wave.
typedef struct struct_emfield {
    shape s;
    double x, y, z;
    double amp;
    double lambda;
    double theta, phi, beta;
    double sigmax, sigmay;

    void reset();
    void copy(const struct_emfield &f);
} emfield;

// Metres per file unit for each scale.
double scaleFactor(scale s);

cpx epsToN(const cpx &eps);
cpx nToEps(const cpx &n);

bool removeBlanks(char *s);
void parse(const std::string &filename, struct_sysOptions *so,
           std::vector<struct_layer> *layers, std::vector<struct_emfield> *fields,
           bool is_quiet);

// Geometry builders: write planes so->izlast .. of N, return the plane count.
int init_homog_system(cpx *N, const struct_sysOptions *so, const struct_layer &l);
int init_grating_system(cpx *N, const struct_sysOptions *so, const struct_layer &l);
int init_wguide_system(cpx *N, const struct_sysOptions *so, const struct_layer &l);
int init_taper_system(cpx *N, const struct_sysOptions *so, const struct_layer &l);
int init_lens_system(cpx *N, const struct_sysOptions *so, const struct_layer &l);
int init_asphere_system(cpx *N, const struct_sysOptions *so, const struct_layer &l);
int init_splitter_system(cpx *N, const struct_sysOptions *so, const struct_layer &l);
int init_mzehnder_system(cpx *N, const struct_sysOptions *so, const struct_layer &l);

// Core centre of the splitter in plane s of count planes, in units of (wx, wy).
double splitter_shape(int s, int count);

// Refuses counts, extents and components that the builders cannot sample: prints
// one red error line (unless quiet) and returns false; the caller then exits 255.
bool checkSystem(const struct_sysOptions *so, const std::vector<struct_layer> &layers, bool is_quiet);

#endif
