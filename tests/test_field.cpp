// Incident field: plane, Gaussian and random waves, their flux and console blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "wpm.h"

namespace {

const cpx UNSET(-7.0, -7.0);

// Options, a uniform index n and unset field volumes.
struct Scene {
    sysOptions so;
    std::vector<cpx> N, E;
    std::vector<double> F;
    Scene(int nx, int ny, int nz, double d, double f, double n = 1.0)
    {
        so.reset();
        so.nx = nx, so.ny = ny, so.nz = nz;
        so.dx = so.dy = so.dz = d;
        so.f = f;
        N.assign(size_t(nx) * ny * nz, cpx(n, 0.0));
        E.assign(N.size(), UNSET);
        F.assign(N.size(), -7.0);
    }
    cpx e(int ix, int iy) const { return E[ix + iy * so.nx]; }
    double go(const std::vector<emfield> &waves, bool quiet = true, std::string *out = nullptr)
    {
        testing::internal::CaptureStdout();
        const double l = init_E(E.data(), F.data(), N.data(), &so, &waves, quiet);
        const std::string text = testing::internal::GetCapturedStdout();
        if (out != nullptr)
            *out = text;
        return l;
    }
};

emfield wave(shape s, double lambda, double amp = 1.0)
{
    emfield w;
    w.reset();
    w.s = s, w.lambda = lambda, w.amp = amp;
    return w;
}

size_t occurrences(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

const std::string WARN_MULTI = "\033[31m[W]\tAttention! Multiple wavelengths specified in configuration file.\033[0m\n";

} // namespace

TEST(PlaneWave, NormalIncidenceIsUniformInAnyMedium)
{
    Scene r(4, 4, 3, 100.0, 1e-9, 1.7);  // lambda 500 nm
    EXPECT_DOUBLE_EQ(r.go({wave(PLANE, 500.0, 2.0)}), 500e-9);
    const double flux = (2.0 * 2.0) * (6.2831853 * (1.0 / 500e-9));
    for (size_t s = 0; s < r.E.size(); ++s) {
        EXPECT_EQ(r.E[s], s < 16 ? cpx(2.0, 0.0) : cpx(0.0, 0.0)) << s;
        EXPECT_DOUBLE_EQ(r.F[s], s < 16 ? flux : 0.0) << s;
    }
}

TEST(PlaneWave, PhaseRateScalesWithTheIndexFluxDoesNot)
{
    emfield w = wave(PLANE, 500.0);
    w.theta = 30.0;
    Scene glass(8, 4, 1, 100.0, 1e-9, 1.5), vac(8, 4, 1, 100.0, 1e-9, 1.0);
    glass.go({w});
    vac.go({w});
    const double thetaRad = 3.14159265 * 30.0 / 180.0;
    const double step = 6.2831853 * std::sin(thetaRad) / 500e-9 * 100e-9;  // vacuum, per sample
    for (int ix = 0; ix + 1 < 8; ++ix) {
        EXPECT_NEAR(std::arg(glass.e(ix + 1, 1) / glass.e(ix, 1)), 1.5 * step, 1e-12) << ix;
        EXPECT_NEAR(std::arg(vac.e(ix + 1, 1) / vac.e(ix, 1)), step, 1e-12) << ix;
        EXPECT_EQ(glass.e(ix, 3), glass.e(ix, 0));  // no phase along y
    }
    EXPECT_EQ(glass.e(4, 2), cpx(1.0, 0.0));  // phase 0 at the reference point
    EXPECT_DOUBLE_EQ(glass.F[0], 6.2831853 * ((1.0 / 500e-9) * std::cos(thetaRad)));
    EXPECT_EQ(glass.F, vac.F);
}

TEST(PlaneWave, ReferencePointAndZeroPitch)
{
    emfield w = wave(PLANE, 1.0);
    w.z = 0.25;  // a quarter wave behind plane 0
    Scene r(2, 2, 1, 1.0, 1.0);
    r.go({w});
    EXPECT_NEAR(std::arg(r.e(0, 0)), -6.2831853 * 0.25, 1e-12);
    // A zero pitch is 1 m, not 1 um: an eighth of a wave of 8e6 um at grazing incidence.
    w = wave(PLANE, 8e6);
    w.theta = 90.0;
    Scene z(4, 1, 1, 0.0, 1e-6);
    z.go({w});
    for (int ix = 0; ix + 1 < 4; ++ix)
        EXPECT_NEAR(std::arg(z.e(ix + 1, 0) / z.e(ix, 0)), 6.2831853 * std::sin(3.14159265 / 2) / 8.0, 1e-9);
}

TEST(GaussWave, FallsToOneOverEAtSigmaRootPiWithUniformFlux)
{
    emfield w = wave(GAUSSIAN, 1.0, 3.0);
    w.sigmax = w.sigmay = 4.0 / std::sqrt(M_PI);
    Scene r(16, 16, 1, 1.0, 1.0);
    r.go({w});
    EXPECT_DOUBLE_EQ(std::abs(r.e(8, 8)), 3.0);
    for (const auto &p : {std::make_pair(12, 8), std::make_pair(4, 8), std::make_pair(8, 12)})
        EXPECT_NEAR(std::abs(r.e(p.first, p.second)), 3.0 * std::exp(-1.0), 1e-8);
    EXPECT_LT(std::abs(r.e(13, 8)), 3.0 * std::exp(-1.0));
    EXPECT_EQ(r.F, std::vector<double>(256, (3.0 * 3.0) * (6.2831853 * 1.0)));
}

TEST(RandomWave, AmplitudesOnTheThousandthGridColumnByColumn)
{
    const int nx = 4, ny = 6;
    std::srand(1);  // the unseeded sequence
    std::vector<double> want(nx * ny);
    for (int m = 0; m < nx * ny; ++m)
        want[m / ny + (m % ny) * nx] = ((std::rand() % 1000) * 2.0) / 1000.0 * 2.0;
    std::srand(1);
    Scene r(nx, ny, 1, 1.0, 1.0);
    r.go({wave(RANDOM, 1.0, 2.0)});
    for (int s = 0; s < nx * ny; ++s) {
        EXPECT_EQ(r.E[s], cpx(want[s], 0.0)) << s;
        EXPECT_LE(r.E[s].real(), 3.996);
        EXPECT_NEAR(r.E[s].real() / 0.004, std::round(r.E[s].real() / 0.004), 1e-9);
        EXPECT_DOUBLE_EQ(r.F[s], (want[s] * want[s]) * 6.2831853);
    }
    // Reproducible; a second random wave continues the sequence.
    std::srand(1);
    Scene again(nx, ny, 1, 1.0, 1.0);
    again.go({wave(RANDOM, 1.0, 2.0)});
    EXPECT_EQ(again.E, r.E);
    Scene next(nx, ny, 1, 1.0, 1.0);
    next.go({wave(RANDOM, 1.0, 2.0)});
    std::srand(1);
    Scene two(nx, ny, 1, 1.0, 1.0);
    two.go({wave(RANDOM, 1.0, 2.0), wave(RANDOM, 1.0, 2.0)});
    EXPECT_EQ(two.E, next.E);
    EXPECT_NE(two.E, r.E);
}

TEST(IncidentField, FirstNonZeroWavelengthWinsLastWaveFills)
{
    Scene r(4, 4, 2, 100.0, 1e-9);
    std::string out;
    EXPECT_DOUBLE_EQ(r.go({wave(PLANE, 0.0), wave(PLANE, 500.0), wave(PLANE, 600.0, 3.0)}, false, &out), 500e-9);
    EXPECT_EQ(occurrences(out, WARN_MULTI), 1u);
    EXPECT_GT(out.find(WARN_MULTI), out.rfind("create PLANE ..."));  // after the third wave's block
    EXPECT_EQ(out.substr(out.size() - WARN_MULTI.size()), WARN_MULTI);
    EXPECT_EQ(r.e(1, 1), cpx(3.0, 0.0));
    // Plane then Gaussian of one wavelength: no warning, the Gaussian fills plane 0.
    emfield g = wave(GAUSSIAN, 500.0);
    g.sigmax = g.sigmay = 100.0;
    r.go({wave(PLANE, 500.0, 5.0), g}, false, &out);
    EXPECT_EQ(occurrences(out, "Multiple"), 0u);
    EXPECT_DOUBLE_EQ(std::abs(r.e(2, 2)), 1.0);
    EXPECT_LT(std::abs(r.e(0, 2)), 0.5);
}

TEST(IncidentField, NoWaveGivesAZeroFieldAndAWarning)
{
    Scene r(4, 2, 3, 1.0, 1.0), q(4, 2, 3, 1.0, 1.0);
    std::string out;
    EXPECT_EQ(r.go({}, false, &out), 0.0);
    EXPECT_EQ(out, "\033[31m[W]\tAttention! No wave specified in configuration file. "
                   "The incident field is zero.\033[0m\n");
    EXPECT_EQ(r.E, std::vector<cpx>(24, cpx(0.0, 0.0)));
    EXPECT_EQ(r.F, std::vector<double>(24, 0.0));
    q.go({}, true, &out);
    EXPECT_EQ(out, "");
    EXPECT_EQ(q.E, r.E);
}

TEST(IncidentField, SinglePlaneWithoutFluxVolume)
{
    Scene r(2, 2, 1, 1.0, 1.0);
    r.E.push_back(UNSET);
    const std::vector<emfield> ws = {wave(PLANE, 1.0)};
    init_E(r.E.data(), nullptr, r.N.data(), &r.so, &ws, true);
    EXPECT_EQ(r.E, (std::vector<cpx>{cpx(1, 0), cpx(1, 0), cpx(1, 0), cpx(1, 0), UNSET}));
    EXPECT_EQ(r.F, std::vector<double>(4, -7.0));
}

TEST(IncidentField, QuietChangesOnlyTheConsole)
{
    emfield g = wave(GAUSSIAN, 2.0);
    g.theta = 10.0, g.phi = 40.0, g.sigmax = 3.0, g.sigmay = 5.0;
    const std::vector<emfield> ws = {wave(PLANE, 2.0), g, wave(RANDOM, 2.5)};
    Scene loud(8, 8, 2, 1.0, 1.0, 1.3), quiet(8, 8, 2, 1.0, 1.0, 1.3);
    std::string out;
    std::srand(1);
    const double l1 = loud.go(ws, false, &out);
    EXPECT_NE(out, "");
    std::srand(1);
    EXPECT_EQ(quiet.go(ws, true, &out), l1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(loud.E, quiet.E);
    EXPECT_EQ(loud.F, quiet.F);
}

TEST(IncidentFieldDeath, UnknownShapeEndsTheRun)
{
    Scene r(2, 2, 1, 1.0, 1.0);
    const std::vector<emfield> ws = {wave(PLANE, 1.0), wave(static_cast<shape>(3), 1.0)};
    for (const bool quiet : {false, true})
        EXPECT_EXIT(
            {
                std::cout.rdbuf(std::cerr.rdbuf());
                init_E(r.E.data(), r.F.data(), r.N.data(), &r.so, &ws, quiet);
                std::cerr << "returned";
            },
            testing::ExitedWithCode(255),
            quiet ? "^$" : "create PLANE ...(.|\n)*\t\t\033\\[31mUnknown wave. Please check configuration file.\033\\[0m\n$");
}

TEST(WaveConsole, Blocks)
{
    emfield p = wave(PLANE, 633.0, 1.5);
    p.theta = 30.0, p.x = 2.0, p.y = -1.0;
    emfield g = wave(GAUSSIAN, 633.0, 2.0);
    g.beta = 7.5, g.sigmax = g.sigmay = 1.0;
    Scene r(2, 2, 1, 1.0, 1e-6);
    std::string out;
    r.go({p, g, wave(RANDOM, 633.0)}, false, &out);
    std::ostringstream sx, sz;
    sx << std::sin(3.14159265 * 30.0 / 180.0);
    sz << std::cos(3.14159265 * 30.0 / 180.0);
    EXPECT_EQ(out, "\t\t\t\tcreate PLANE ...\n\n\033[31m\t\t\t\tscale = 1e-06\n\t\t\t\tamplitude = 1.5\n"
                   "\t\t\t\tlambda = 633\n\t\t\t\ttheta = 30\n\t\t\t\tphi = 0\n\t\t\t\tx = 2\n\t\t\t\ty = -1\n"
                   "\t\t\t\tsx = " + sx.str() + "\n\t\t\t\tsy = 0\n\t\t\t\tsz = " + sz.str() + "\n\033[0m\n"
                   "\t\t\t\tcreate GAUSSIAN ...\n\n\033[31m\t\t\t\tscale = 1e-06\n\t\t\t\tamplitude = 2\n"
                   "\t\t\t\tlambda = 633\n\t\t\t\ttheta = 0\n\t\t\t\tphi = 0\n\t\t\t\tbeta = 7.5\n"
                   "\t\t\t\tsx = 0\n\t\t\t\tsy = 0\n\t\t\t\tsz = 1\n\033[0m\n"
                   "\t\t\t\tcreate RANDOM ...\n\n\033[31m\t\t\t\tscale = 1e-06\n*** Random Wave ***\n\033[0m\n");
}
