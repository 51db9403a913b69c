// Host checks of the GPU kernels' arithmetic: the complex helpers, the transmission and its
// quantisation, the per-component rules against the CPU propagation's, the row kernels'
// launch model and the launch configuration.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <vector>

#include "kernel.h"
#include "kernelMath.h"
#include "kernel_model.h"

namespace {

namespace km = kernelMath;
using km::cplx;
using cd = std::complex<double>;

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double Inf = std::numeric_limits<double>::infinity();

cd toC(double2 z) { return cd(z.x, z.y); }
double2 toD(cd z) { return cplx(z.real(), z.imag()); }

// |g − r| within rel·|r|; a zero reference needs an exact zero.
::testing::AssertionResult closeTo(cd g, cd r, double rel)
{
    const double err = std::abs(g - r);
    if (err <= rel * std::abs(r) || (std::abs(r) == 0.0 && std::abs(g) == 0.0))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got (" << g.real() << ", " << g.imag() << ") expected ("
                                         << r.real() << ", " << r.imag() << "), error " << err;
}

// ---- the CPU propagation's rules, written plainly ----------------------------------

cd smithDiv(cd a, cd d)
{
    const double ar = a.real(), ai = a.imag(), c = d.real(), e = d.imag();
    if (std::fabs(c) >= std::fabs(e)) {
        const double r = e / c, s = e * r + c;
        return cd((ai * r + ar) / s, (ai - ar * r) / s);
    }
    const double r = c / e, s = c * r + e;
    return cd((ar * r + ai) / s, (ai * r - ar) / s);
}

typedef cd (*trimFn)(cd);

cd trimDouble(cd c) { return cd(std::floor(c.real() / 1e-4) * 1e-4, std::floor(c.imag() / 1e-4) * 1e-4); }

double floorSingle(double v) { return static_cast<double>(std::floor(static_cast<float>(v / 1e-4))) * 1e-4; }
cd trimSingle(cd c) { return cd(floorSingle(c.real()), floorSingle(c.imag())); }

enum class pol { NA, TE, TM };

cd cpuTTE(cd kz_i, cd kz_t, trimFn trim)
{
    const cd denom = kz_i + kz_t;
    const cd t = std::abs(denom) == 0.0 ? cd(1.0, 0.0) : smithDiv(kz_i, denom) * cd(2.0, 0.0);
    return trim(t);
}

cd cpuTTM(cd n_i, cd n_t, cd kz_i, cd kz_t, trimFn trim)
{
    const cd denom = (n_i * n_i) * kz_t + (n_t * n_t) * kz_i;
    const cd t = std::abs(denom) == 0.0 ? cd(1.0, 0.0) : ((n_i * n_t) * smithDiv(kz_i, denom)) * cd(2.0, 0.0);
    return trim(t);
}

cd cpuKz(double nk0, double kxy_sq, bool vertical)
{
    if (vertical)
        return cd(nk0, 0.0);
    return nk0 * std::sqrt(cd(1.0 - kxy_sq / (nk0 * nk0), 0.0));
}

struct cpuAmount {
    bool retained = false;
    bool addE = false, addF = false;
    cd e = 0.0;
    double flux = 0.0;
};

struct stepParams {
    double k0 = 6.2831853e6;
    double dz = 0.2e-6;
    bool evanescent = true;
    bool hfield = false;
};

// One component (p, q) with coefficient s at one sample, by the CPU rules.
cpuAmount cpuContribution(cd s, int p, int q, double kx, double ky, double Nt, cd n_i, cd n_t, double x,
                          double y, const stepParams &sp, pol pl, trimFn trim)
{
    cpuAmount out;
    if (std::abs(s) < 1e-4)
        return out;
    out.retained = true;
    const bool vertical = p == 0 && q == 0;
    const double sign = (p + q) % 2 ? -1.0 : 1.0;
    const cd f(s.real() * sign / Nt, s.imag() * sign / Nt);
    const double kxy_sq = kx * kx + ky * ky;

    const bool change = n_i.real() != n_t.real();
    const cd kz_i = cpuKz(sp.k0 * n_i.real(), kxy_sq, vertical);
    const bool ev_i = kz_i.real() == 0.0;
    const cd kz_t = change ? cpuKz(sp.k0 * n_t.real(), kxy_sq, vertical) : kz_i;
    const bool ev_t = kz_t.real() == 0.0;
    const bool internal = n_i.real() > n_t.real();
    const bool external = n_t.real() > n_i.real();

    cd phi_z = kz_t * sp.dz;
    if (n_t.imag() != 0.0)
        phi_z += cd(0.0, sp.k0 * n_t.imag() * sp.dz);
    const cd iphi = (kx * x + ky * y + phi_z) * cd(0.0, 1.0);

    cd t(1.0, 0.0);
    if (change && pl == pol::TE)
        t = cpuTTE(kz_i, kz_t, trim);
    if (change && pl == pol::TM)
        t = cpuTTM(n_i, n_t, kz_i, kz_t, trim);
    const cd c(n_t.real() / (sp.k0 * 376.73031346), 0.0);

    if (!ev_i && !ev_t) {
        out.flux = std::abs(t * f) * std::abs(t * f) * kz_t.real();
        out.addF = true;
        out.e = (sp.hfield ? (t * f) * c : t * f) * std::exp(iphi);
        out.addE = true;
        return out;
    }
    if (!sp.evanescent)
        return out;
    cd f_t = 0.0;
    if (!ev_i && internal && ev_t) {
        f_t = t * f;
    } else if (external && ev_i && !ev_t) {
        f_t = t * f;
        out.flux = std::abs(f_t) * std::abs(f_t) * kz_t.real();
        out.addF = true;
    }
    if (ev_i && !change)
        f_t = f;
    out.e = (sp.hfield ? f_t * c : f_t) * std::exp(iphi);
    out.addE = true;
    return out;
}

km::naiveAmount gpuContribution(cd s, int p, int q, double kx, double ky, double Nt, cd n_i, cd n_t, double x,
                                double y, const stepParams &sp, bool is_TE, bool *retained)
{
    km::naiveComponent c;
    *retained = km::naiveComponentOf(toD(s), p, q, kx, ky, Nt, &c);
    km::naiveAmount none = {cplx(0.0, 0.0), 0.0, false, false};
    if (!*retained)
        return none;
    const km::naiveSample smp = km::naiveSampleOf(toD(n_i), toD(n_t), x, y, sp.k0);
    return km::naiveContribution(smp, c, sp.dz, sp.evanescent, sp.hfield, is_TE);
}

// Compares the kernel's amount with the CPU rules' for one component at one sample.
void expectSameAmount(cd s, int p, int q, double kx, double ky, double Nt, cd n_i, cd n_t, double x, double y,
                      const stepParams &sp, bool is_TE, pol pl, trimFn trim)
{
    bool retained = false;
    const km::naiveAmount g = gpuContribution(s, p, q, kx, ky, Nt, n_i, n_t, x, y, sp, is_TE, &retained);
    const cpuAmount r = cpuContribution(s, p, q, kx, ky, Nt, n_i, n_t, x, y, sp, pl, trim);
    SCOPED_TRACE(::testing::Message() << "p " << p << " q " << q << " n_i " << n_i << " n_t " << n_t);
    ASSERT_EQ(retained, r.retained);
    ASSERT_EQ(g.addE, r.addE);
    ASSERT_EQ(g.addF, r.addF);
    EXPECT_TRUE(closeTo(toC(g.e), r.e, 1e-13));
    EXPECT_TRUE(closeTo(g.flux, r.flux, 1e-13));
}

// ---- complex helpers ------------------------------------------------------------

TEST(KernelComplex, ModulusClosedFormsAndSpecialValues)
{
    EXPECT_EQ(km::cmod(cplx(3.0, 4.0)), 5.0);
    EXPECT_EQ(km::cmod(cplx(-4.0, 3.0)), 5.0);
    EXPECT_EQ(km::cmod(cplx(0.0, 0.0)), 0.0);
    EXPECT_EQ(km::cmod(cplx(1e-4, 0.0)), 1e-4);
    EXPECT_EQ(km::cmod(cplx(0.0, -2.5)), 2.5);
    EXPECT_NEAR(km::cmod(cplx(1e300, 1e300)) / 1e300, std::sqrt(2.0), 1e-15);  // no overflow
    EXPECT_NEAR(km::cmod(cplx(3e-300, 4e-300)) / 1e-300, 5.0, 1e-14);          // no underflow
    EXPECT_EQ(km::cmod(cplx(Inf, 1.0)), Inf);
    EXPECT_EQ(km::cmod(cplx(2.0, -Inf)), Inf);
    EXPECT_TRUE(std::isnan(km::cmod(cplx(NaN, 1.0))));
    EXPECT_TRUE(std::isnan(km::cmod(cplx(1.0, NaN))));
    EXPECT_TRUE(std::isnan(km::cmod(cplx(NaN, 0.0))));
    EXPECT_TRUE(std::isnan(km::cmod(cplx(0.0, NaN))));
}

TEST(KernelComplex, ModulusAgreesWithHypotToTheLastBits)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-10.0, 10.0);
    for (int n = 0; n < 10000; ++n) {
        const double a = u(rng), b = u(rng);
        EXPECT_NEAR(km::cmod(cplx(a, b)), std::hypot(a, b), 4e-16 * std::hypot(a, b));
    }
}

TEST(KernelComplex, SquareRootBranches)
{
    const double2 r1 = km::csqrtk(cplx(4.0, 0.0));
    EXPECT_EQ(r1.x, 2.0);
    EXPECT_EQ(r1.y, 0.0);
    const double2 r2 = km::csqrtk(cplx(-4.0, 0.0));
    EXPECT_EQ(r2.x, 0.0);
    EXPECT_EQ(r2.y, 2.0);
    const double2 r3 = km::csqrtk(cplx(-4.0, -0.0));  // sign bit of Im w set
    EXPECT_EQ(r3.x, 0.0);
    EXPECT_EQ(r3.y, -2.0);
    const double2 r4 = km::csqrtk(cplx(0.0, 0.0));
    EXPECT_EQ(r4.x, 0.0);
    EXPECT_EQ(r4.y, 0.0);
    EXPECT_TRUE(closeTo(toC(km::csqrtk(cplx(0.0, 2.0))), cd(1.0, 1.0), 1e-15));
    EXPECT_TRUE(closeTo(toC(km::csqrtk(cplx(-3.0, -4.0))), cd(1.0, -2.0), 1e-15));
}

TEST(KernelComplex, SquareRootAgreesWithLibm)
{
    // Real arguments, the kernels' case, to the last bits.
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(-5.0, 5.0);
    for (int n = 0; n < 10000; ++n) {
        const cd w(u(rng), 0.0);
        EXPECT_TRUE(closeTo(toC(km::csqrtk(toD(w))), std::sqrt(w), 4e-16)) << w;
    }
    // Complex arguments away from the real axis, where 1 - u does not cancel.
    for (int n = 0; n < 10000; ++n) {
        const cd w(u(rng), u(rng));
        if (std::fabs(w.imag()) < 0.1 * std::abs(w))
            continue;
        EXPECT_TRUE(closeTo(toC(km::csqrtk(toD(w))), std::sqrt(w), 1e-14)) << w;
    }
}

TEST(KernelComplex, ScaledQuotientAgreesWithSmith)
{
    EXPECT_TRUE(closeTo(toC(km::cdivScaled(cplx(1.0, 0.0), cplx(0.0, 2.0))), cd(0.0, -0.5), 0.0));
    EXPECT_TRUE(closeTo(toC(km::cdivScaled(cplx(2.0, 1.0), cplx(0.5, 1.0))), cd(1.6, -1.2), 1e-15));
    std::mt19937 rng(13);
    std::uniform_real_distribution<double> u(-3.0, 3.0);
    for (int n = 0; n < 10000; ++n) {
        const cd a(u(rng), u(rng)), d(u(rng), u(rng));
        EXPECT_TRUE(closeTo(toC(km::cdivScaled(toD(a), toD(d))), smithDiv(a, d), 1e-14));
    }
}

TEST(KernelComplex, ExpOfIPhaseSplitsDecayAndRotation)
{
    const double2 one = km::expi(cplx(0.0, 0.0));
    EXPECT_EQ(one.x, 1.0);
    EXPECT_EQ(one.y, 0.0);
    EXPECT_TRUE(closeTo(toC(km::expi(cplx(0.7, 0.3))), std::exp(cd(0.0, 1.0) * cd(0.7, 0.3)), 1e-15));
    const double2 half = km::expi(cplx(1.5707963267948966, std::log(2.0)));
    EXPECT_NEAR(half.x, 0.0, 1e-16);
    EXPECT_NEAR(half.y, 0.5, 1e-16);
}

// ---- transmission quantisation and Fresnel factors --------------------------------

TEST(KernelQuantise, FloorsThroughSinglePrecision)
{
    struct row {
        double v, gpu, cpu;
    };
    // Results are the double products of whole steps and 1e-4.
    const row rows[] = {
        {0.99999999, 10000.0 * 1e-4, 9999.0 * 1e-4}, {1.2345, 12345.0 * 1e-4, 12344.0 * 1e-4},
        {0.3, 3000.0 * 1e-4, 2999.0 * 1e-4},         {1.0, 1.0, 1.0},
        {0.5, 0.5, 0.5},                             {-0.3, -3000.0 * 1e-4, -3000.0 * 1e-4},
        {0.12345, 1234.0 * 1e-4, 1234.0 * 1e-4},     {-0.12345, -1235.0 * 1e-4, -1235.0 * 1e-4},
        {-1e-9, -1e-4, -1e-4},                       {1e-300, 0.0, 0.0},
    };
    for (const row &r : rows) {
        EXPECT_EQ(km::quantise(r.v), r.gpu) << r.v;
        EXPECT_EQ(trimDouble(cd(r.v, 0.0)).real(), r.cpu) << r.v;
    }
    EXPECT_EQ(km::quantise(1.0), 1.0);
    EXPECT_TRUE(std::isnan(km::quantise(NaN)));
    EXPECT_EQ(km::quantise(Inf), Inf);
    EXPECT_EQ(km::quantise(-Inf), -Inf);
}

TEST(KernelQuantise, SinglePrecisionStopsHoldingEveryStepAbove2To24)
{
    // 16777217.5 steps round to 16777218 in single precision: the result lies above the value.
    const double v = 16777217.5 * 1e-4;
    EXPECT_GT(km::quantise(v), v);
    EXPECT_LT(trimDouble(cd(v, 0.0)).real(), v);
    const double2 both = km::quantise(cplx(0.99999999, -0.12345));
    EXPECT_EQ(both.x, 1.0);
    EXPECT_EQ(both.y, -1235.0 * 1e-4);
}

TEST(KernelFresnel, TEClosedForms)
{
    const double2 a = km::fresnelTE(cplx(1.0, 0.0), cplx(1.5, 0.0));
    EXPECT_EQ(a.x, 8000.0 * 1e-4);
    EXPECT_EQ(a.y, 0.0);
    // 2·1.5/2.5 is 1.2 here; the CPU's quotient then product gives just below (1.1999).
    EXPECT_EQ(km::fresnelTE(cplx(1.5, 0.0), cplx(1.0, 0.0)).x, 12000.0 * 1e-4);
    EXPECT_EQ(cpuTTE(1.5, 1.0, trimDouble).real(), 11999.0 * 1e-4);
    EXPECT_EQ(km::fresnelTE(cplx(1.0, 0.0), cplx(2.0, 0.0)).x, 6666.0 * 1e-4);
    const double2 ev = km::fresnelTE(cplx(0.0, 1.0), cplx(0.5, 0.0));
    EXPECT_EQ(ev.x, 16000.0 * 1e-4);
    EXPECT_EQ(ev.y, 8000.0 * 1e-4);
    // A factor computing to 0.99999999 is stored as 1 (the CPU keeps 0.9999).
    const double2 near1 = km::fresnelTE(cplx(1.0, 0.0), cplx(1.00000002, 0.0));
    EXPECT_EQ(near1.x, 1.0);
    EXPECT_EQ(cpuTTE(1.0, 1.00000002, trimDouble).real(), 9999.0 * 1e-4);
}

TEST(KernelFresnel, ZeroDenominatorGivesOne)
{
    const double2 z = cplx(0.0, 0.0);
    const double2 opposite = km::fresnelTE(cplx(1.0, 0.0), cplx(-1.0, 0.0));
    EXPECT_EQ(opposite.x, 1.0);
    EXPECT_EQ(opposite.y, 0.0);
    EXPECT_EQ(km::fresnelTE(z, z).x, 1.0);
    const double2 tm = km::fresnelTM(z, z, z, cplx(1.0, 0.0), cplx(2.0, 0.0));
    EXPECT_EQ(tm.x, 1.0);
    EXPECT_EQ(tm.y, 0.0);
}

TEST(KernelFresnel, TMClosedForms)
{
    auto tm = [](cd n_i, cd n_t, cd kz_i, cd kz_t) {
        return km::fresnelTM(toD(n_i * n_i), toD(n_t * n_t), toD(n_i * (n_t + n_t)), toD(kz_i), toD(kz_t));
    };
    EXPECT_EQ(tm(1.0, 1.5, 1.0, 1.5).x, 8000.0 * 1e-4);
    EXPECT_EQ(tm(1.5, 1.0, 1.5, 1.0).x, 12000.0 * 1e-4);
    // Uses both parts of the indices.
    const cd n_i(1.5, 0.1), n_t(1.0, 0.0), kz_i(2.0, 0.0), kz_t(1.0, 0.5);
    const cd exact = 2.0 * n_i * n_t * kz_i / (n_t * n_t * kz_i + n_i * n_i * kz_t);
    const double2 t = tm(n_i, n_t, kz_i, kz_t);
    EXPECT_NEAR(t.x, exact.real(), 1e-4);
    EXPECT_NEAR(t.y, exact.imag(), 1e-4);
    EXPECT_LE(t.x, exact.real());
    EXPECT_LE(t.y, exact.imag());
}

TEST(KernelFresnel, MatchesCpuFormulasWithTheSameQuantiser)
{
    std::mt19937 rng(17);
    std::uniform_real_distribution<double> u(0.1, 3.0);
    for (int n = 0; n < 5000; ++n) {
        const cd n_i(u(rng), n % 2 ? 0.0 : 0.1 * u(rng)), n_t(u(rng), 0.0);
        const cd kz_i(u(rng), n % 3 ? 0.0 : u(rng)), kz_t(u(rng), n % 5 ? 0.0 : u(rng));
        EXPECT_EQ(toC(km::fresnelTE(toD(kz_i), toD(kz_t))), cpuTTE(kz_i, kz_t, trimSingle));
        EXPECT_EQ(toC(km::fresnelTM(toD(n_i * n_i), toD(n_t * n_t), toD(n_i * (n_t + n_t)), toD(kz_i),
                                    toD(kz_t))),
                  cpuTTM(n_i, n_t, kz_i, kz_t, trimSingle));
    }
}

// ---- longitudinal wavenumber ---------------------------------------------------

TEST(KernelKz, VerticalIncidenceTakesNoRoot)
{
    const double2 kz = km::kzOf(9.42477795e6, 123.0, true);
    EXPECT_EQ(kz.x, 9.42477795e6);
    EXPECT_EQ(kz.y, 0.0);
    EXPECT_EQ(km::kzOf(0.0, 0.0, true).x, 0.0);
}

TEST(KernelKz, PropagatingGrazingAndEvanescent)
{
    const double nk0 = 3.0;
    const double2 prop = km::kzOf(nk0, 5.0, false);
    EXPECT_NEAR(prop.x, 2.0, 1e-15);
    EXPECT_EQ(prop.y, 0.0);
    const double2 grazing = km::kzOf(nk0, 9.0, false);
    EXPECT_EQ(grazing.x, 0.0);
    EXPECT_EQ(grazing.y, 0.0);
    const double2 ev = km::kzOf(nk0, 18.0, false);
    EXPECT_EQ(ev.x, 0.0);
    EXPECT_NEAR(ev.y, 3.0, 1e-15);
    for (double kxy_sq : {0.5, 4.0, 8.99, 9.5, 30.0})
        EXPECT_TRUE(closeTo(toC(km::kzOf(nk0, kxy_sq, false)), cpuKz(nk0, kxy_sq, false), 1e-15)) << kxy_sq;
}

// ---- one component at one sample ------------------------------------------------

TEST(NaiveComponent, ThresholdSignAndNormalisation)
{
    km::naiveComponent c;
    EXPECT_TRUE(km::naiveComponentOf(cplx(1e-4, 0.0), 1, 0, 2.0, 3.0, 4.0, &c));
    EXPECT_FALSE(km::naiveComponentOf(cplx(0.99e-4, 0.0), 1, 0, 2.0, 3.0, 4.0, &c));
    EXPECT_FALSE(km::naiveComponentOf(cplx(0.0, 0.0), 0, 0, 2.0, 3.0, 4.0, &c));
    EXPECT_TRUE(km::naiveComponentOf(cplx(NaN, 0.0), 1, 0, 2.0, 3.0, 4.0, &c));

    ASSERT_TRUE(km::naiveComponentOf(cplx(2.0, -6.0), 2, 1, 2.0, 3.0, 4.0, &c));
    EXPECT_EQ(c.f.x, -0.5);
    EXPECT_EQ(c.f.y, 1.5);
    EXPECT_EQ(c.kxy_sq, 13.0);
    EXPECT_FALSE(c.is_vertical_incidence);
    ASSERT_TRUE(km::naiveComponentOf(cplx(2.0, -6.0), 1, 1, 2.0, 3.0, 4.0, &c));
    EXPECT_EQ(c.f.x, 0.5);
    EXPECT_EQ(c.f.y, -1.5);
    ASSERT_TRUE(km::naiveComponentOf(cplx(2.0, -6.0), 0, 0, 0.0, 0.0, 4.0, &c));
    EXPECT_TRUE(c.is_vertical_incidence);
}

// Every sample pair and every component of a grid with evanescent components.
TEST(NaiveContribution, MatchesCpuRulesForTEAndTM)
{
    const int nx = 8, ny = 6;
    const kernelModel::volume v = kernelModel::randomVolume(nx, ny, 2, 3);
    const cd media[] = {1.0, 1.2, 1.5, cd(1.5, 0.01), cd(1.2, 0.02), cd(1.0, 0.03)};
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-2e-4, 2e-4);
    stepParams sp;
    for (bool hfield : {false, true})
        for (bool evanescent : {true, false}) {
            sp.hfield = hfield;
            sp.evanescent = evanescent;
            for (const cd &n_i : media)
                for (const cd &n_t : media)
                    for (int q = 0; q < ny; ++q)
                        for (int p = 0; p < nx; ++p) {
                            const cd s(u(rng), u(rng));
                            const double x = v.X[(3 * p + q) % nx], y = v.Y[(p + 2 * q) % ny];
                            expectSameAmount(s, p, q, v.KX[p].x, v.KY[q].x, nx * ny, n_i, n_t, x, y, sp, true,
                                             pol::TE, trimSingle);
                            expectSameAmount(s, p, q, v.KX[p].x, v.KY[q].x, nx * ny, n_i, n_t, x, y, sp, false,
                                             pol::TM, trimSingle);
                        }
        }
}

TEST(NaiveContribution, NoIndexChangeCarriesFExactly)
{
    // Equal real parts: t is exactly 1, the amount is f·exp(i·phase) without quantisation.
    stepParams sp;
    bool retained = false;
    const km::naiveAmount a =
        gpuContribution(cd(0.3, 0.4), 1, 2, 2e6, -1e6, 4.0, cd(1.5, 0.2), 1.5, 1e-7, -2e-7, sp, true, &retained);
    ASSERT_TRUE(retained);
    km::naiveComponent c;
    km::naiveComponentOf(cplx(0.3, 0.4), 1, 2, 2e6, -1e6, 4.0, &c);
    const double2 kz = km::kzOf(1.5 * sp.k0, c.kxy_sq, false);
    const double2 e = km::expi(cplx(2e6 * 1e-7 + -1e6 * -2e-7 + kz.x * sp.dz, kz.y * sp.dz));
    const double2 expected = km::cmul(km::cmul(c.f, cplx(1.0, 0.0)), e);
    EXPECT_EQ(a.e.x, expected.x);
    EXPECT_EQ(a.e.y, expected.y);
}

TEST(NaiveContribution, UnsetPolarisationGetsTE)
{
    // Vertical incidence from n 1.5 into 1.0: the CPU leaves t = 1 without a polarisation,
    // the kernel applies the TE factor 1.2.
    stepParams sp;
    const double Nt = 4.0;
    bool retained = false;
    const km::naiveAmount g = gpuContribution(Nt, 0, 0, 0.0, 0.0, Nt, 1.5, 1.0, 0.0, 0.0, sp, true, &retained);
    const cpuAmount na = cpuContribution(Nt, 0, 0, 0.0, 0.0, Nt, 1.5, 1.0, 0.0, 0.0, sp, pol::NA, trimSingle);
    const cpuAmount te = cpuContribution(Nt, 0, 0, 0.0, 0.0, Nt, 1.5, 1.0, 0.0, 0.0, sp, pol::TE, trimSingle);
    EXPECT_NEAR(std::abs(toC(g.e)), 1.2, 1e-15);
    EXPECT_NEAR(std::abs(na.e), 1.0, 1e-15);
    EXPECT_TRUE(closeTo(toC(g.e), te.e, 1e-14));
    // The same step without an index change agrees with the CPU's unset polarisation.
    const km::naiveAmount same = gpuContribution(Nt, 0, 0, 0.0, 0.0, Nt, 1.0, 1.0, 0.0, 0.0, sp, true, &retained);
    const cpuAmount sameNa = cpuContribution(Nt, 0, 0, 0.0, 0.0, Nt, 1.0, 1.0, 0.0, 0.0, sp, pol::NA, trimDouble);
    EXPECT_TRUE(closeTo(toC(same.e), sameNa.e, 1e-15));
}

TEST(NaiveContribution, QuantisationDiffersFromCpuAtGridBoundaries)
{
    stepParams sp;
    const double Nt = 4.0;
    bool retained = false;
    const km::naiveAmount g = gpuContribution(Nt, 0, 0, 0.0, 0.0, Nt, 1.5, 1.0, 0.0, 0.0, sp, true, &retained);
    const cpuAmount cpu = cpuContribution(Nt, 0, 0, 0.0, 0.0, Nt, 1.5, 1.0, 0.0, 0.0, sp, pol::TE, trimDouble);
    EXPECT_NEAR(std::abs(toC(g.e)), 1.2, 1e-15);
    EXPECT_NEAR(std::abs(cpu.e), 1.1999, 1e-15);
    EXPECT_NEAR(g.flux / cpu.flux, (1.2 * 1.2) / (1.1999 * 1.1999), 1e-14);
}

TEST(NaiveContribution, AbsorptionComesFromPlaneKPlusOne)
{
    stepParams sp;
    const double Nt = 1.0, kappa = 0.05;
    bool retained = false;
    const km::naiveAmount inK = gpuContribution(1.0, 0, 0, 0.0, 0.0, Nt, cd(1.2, kappa), 1.2, 0.0, 0.0, sp, true, &retained);
    const km::naiveAmount inK1 = gpuContribution(1.0, 0, 0, 0.0, 0.0, Nt, 1.2, cd(1.2, kappa), 0.0, 0.0, sp, true, &retained);
    EXPECT_NEAR(std::abs(toC(inK.e)), 1.0, 1e-15);
    EXPECT_NEAR(std::abs(toC(inK1.e)), std::exp(-sp.k0 * kappa * sp.dz), 1e-15);
    // The flux carries no damping: it is |f·t|²·Re kz_t.
    EXPECT_NEAR(inK1.flux, 1.2 * sp.k0, 1e-15 * 1.2 * sp.k0);
}

TEST(NaiveContribution, HFieldScalesFieldNotFlux)
{
    stepParams sp;
    bool retained = false;
    const km::naiveAmount e = gpuContribution(cd(0.5, 0.2), 1, 0, 1e6, 0.0, 2.0, 1.0, 1.5, 3e-7, 0.0, sp, true, &retained);
    sp.hfield = true;
    const km::naiveAmount h = gpuContribution(cd(0.5, 0.2), 1, 0, 1e6, 0.0, 2.0, 1.0, 1.5, 3e-7, 0.0, sp, true, &retained);
    const double c = 1.5 / (sp.k0 * 376.73031346);
    EXPECT_TRUE(closeTo(toC(h.e), toC(e.e) * c, 1e-15));
    EXPECT_EQ(h.flux, e.flux);
}

// The evanescent cases, with k0 = 1 and kx = 1.2 between the wavenumbers of n 1.0 and 1.5.
TEST(NaiveContribution, EvanescentCases)
{
    stepParams sp;
    sp.k0 = 1.0;
    sp.dz = 0.7;
    const double kx = 1.2, Nt = 1.0;
    const cd s(0.6, 0.0);
    bool retained = false;
    auto amount = [&](cd n_i, cd n_t) {
        return gpuContribution(s, 1, 0, kx, 0.0, Nt, n_i, n_t, 0.0, 0.0, sp, true, &retained);
    };
    auto cpu = [&](cd n_i, cd n_t) {
        return cpuContribution(s, 1, 0, kx, 0.0, Nt, n_i, n_t, 0.0, 0.0, sp, pol::TE, trimSingle);
    };
    const double decay_t = std::exp(-std::sqrt(kx * kx - 1.0) * sp.dz);  // kz_t in n 1.0

    // Propagating into evanescent (internal reflection): t·f carried, decaying, no flux.
    km::naiveAmount a = amount(1.5, 1.0);
    EXPECT_TRUE(a.addE);
    EXPECT_FALSE(a.addF);
    EXPECT_GT(std::abs(toC(a.e)), 0.0);
    EXPECT_TRUE(closeTo(toC(a.e), cpu(1.5, 1.0).e, 1e-14));
    // Evanescent into propagating (external reflection): t·f and its flux.
    a = amount(1.0, 1.5);
    EXPECT_TRUE(a.addE);
    EXPECT_TRUE(a.addF);
    EXPECT_GT(a.flux, 0.0);
    EXPECT_TRUE(closeTo(a.flux, cpu(1.0, 1.5).flux, 1e-14));
    // Evanescent on both sides without a change: f with the decaying propagator, no flux.
    a = amount(1.0, 1.0);
    EXPECT_FALSE(a.addF);
    EXPECT_NEAR(std::abs(toC(a.e)), 0.6 * decay_t, 1e-15);
    // Evanescent on both sides across a change: a zero amount, no flux.
    a = amount(1.0, 1.1);
    EXPECT_TRUE(a.addE);
    EXPECT_FALSE(a.addF);
    EXPECT_EQ(a.e.x, 0.0);
    EXPECT_EQ(a.e.y, 0.0);
    // Without evanescent modes none of these adds anything.
    sp.evanescent = false;
    for (const cd &pair : {cd(1.5, 1.0), cd(1.0, 1.5), cd(1.0, 1.0), cd(1.0, 1.1)}) {
        a = amount(pair.real(), pair.imag());
        EXPECT_FALSE(a.addE);
        EXPECT_FALSE(a.addF);
    }
    // kxy exactly k0·n is evanescent (kz = 0).
    sp.evanescent = false;
    a = gpuContribution(s, 1, 0, 1.5, 0.0, Nt, 1.5, 1.5, 0.0, 0.0, sp, true, &retained);
    EXPECT_FALSE(a.addE);
}

TEST(NaivePlane, HostLoopMatchesCpuOrderAccumulation)
{
    // Components outer and samples inner (CPU) against one sample at a time (kernel).
    const int nx = 8, ny = 4;
    kernelModel::volume v = kernelModel::randomVolume(nx, ny, 2, 21);
    const std::vector<double2> S = kernelModel::planeDft(v.E.data(), nx, ny);
    std::vector<double2> E = v.E;
    std::vector<double> F = v.F;
    kernelModel::naivePlane(E.data(), F.data(), v.N.data(), v.KX.data(), v.KY.data(), S.data(), v.X.data(),
                            v.Y.data(), v.k0, v.dz, nx, ny, 0, true, false, true);

    std::vector<cd> Ec(nx * ny, 0.0);
    std::vector<double> Fc(nx * ny, 0.0);
    stepParams sp;
    sp.k0 = v.k0;
    sp.dz = v.dz;
    for (int q = 0; q < ny; ++q)
        for (int p = 0; p < nx; ++p)
            for (int j = 0; j < ny; ++j)
                for (int i = 0; i < nx; ++i) {
                    const int s = j * nx + i;
                    const cpuAmount a = cpuContribution(toC(S[q * nx + p]), p, q, v.KX[p].x, v.KY[q].x, nx * ny,
                                                        toC(v.N[s]), toC(v.N[nx * ny + s]), v.X[i], v.Y[j], sp,
                                                        pol::TE, trimSingle);
                    if (a.addE)
                        Ec[s] += a.e;
                    if (a.addF)
                        Fc[s] += a.flux;
                }
    double scale = 0.0;
    for (const cd &e : Ec)
        scale = std::max(scale, std::abs(e));
    ASSERT_GT(scale, 0.0);
    for (int s = 0; s < nx * ny; ++s) {
        EXPECT_LE(std::abs(toC(E[nx * ny + s]) - Ec[s]), 1e-13 * scale) << s;
        EXPECT_NEAR(F[nx * ny + s], Fc[s], 1e-13 * std::max(1.0, std::fabs(Fc[s])));
    }
    for (int s = 0; s < nx * ny; ++s)
        EXPECT_EQ(E[s].x, v.E[s].x);  // plane k untouched
}

// ---- row kernels -------------------------------------------------------------------

TEST(RowKernelMath, FresnelFactorsAgainstClosedForms)
{
    EXPECT_NEAR(km::rowFresnelTE(cplx(1.0, 0.0), cplx(1.5, 0.0)).x, 0.8, 1e-15);
    const double2 same = km::rowFresnelTE(cplx(2.5e6, 0.0), cplx(2.5e6, 0.0));
    EXPECT_NEAR(same.x, 1.0, 1e-15);
    EXPECT_NEAR(same.y, 0.0, 1e-15);
    const double2 sameTM = km::rowFresnelTM(cplx(1.5, 0.02), cplx(1.5, 0.02), cplx(3e6, 1e4), cplx(3e6, 1e4));
    EXPECT_NEAR(sameTM.x, 1.0, 1e-15);
    EXPECT_NEAR(sameTM.y, 0.0, 1e-15);
    EXPECT_NEAR(km::rowFresnelTM(cplx(1.0, 0.0), cplx(1.5, 0.0), cplx(1.0, 0.0), cplx(1.5, 0.0)).x, 0.8, 1e-15);
    std::mt19937 rng(23);
    std::uniform_real_distribution<double> u(0.2, 3.0);
    for (int n = 0; n < 2000; ++n) {
        const cd n_i(u(rng), 0.05 * u(rng)), n_t(u(rng), 0.0), kz_i(u(rng), 0.0), kz_t(u(rng), 0.1 * u(rng));
        EXPECT_TRUE(closeTo(toC(km::rowFresnelTE(toD(kz_i), toD(kz_t))), 2.0 * kz_i / (kz_i + kz_t), 1e-14));
        EXPECT_TRUE(closeTo(toC(km::rowFresnelTM(toD(n_i), toD(n_t), toD(kz_i), toD(kz_t))),
                            2.0 * n_t * n_i * kz_i / (n_t * n_t * kz_i + n_i * n_i * kz_t), 1e-14));
    }
}

TEST(RowKernelMath, WavenumberAndUse)
{
    const double2 axial = km::kzRow(cplx(0.0, 0.0), 4.0);
    EXPECT_EQ(axial.x, 4.0);
    EXPECT_EQ(axial.y, 0.0);
    EXPECT_TRUE(km::rowComponentUsed(km::kzRow(cplx(2.0, 0.0), 4.0)));
    EXPECT_TRUE(closeTo(toC(km::kzRow(cplx(2.0, 0.0), 4.0)), cd(std::sqrt(12.0), 0.0), 1e-15));
    EXPECT_TRUE(closeTo(toC(km::kzRow(cplx(-2.0, 0.0), 4.0)), cd(std::sqrt(12.0), 0.0), 1e-15));
    const double2 ev = km::kzRow(cplx(5.0, 0.0), 4.0);
    EXPECT_EQ(ev.x, 0.0);
    EXPECT_FALSE(km::rowComponentUsed(ev));
    EXPECT_FALSE(km::rowComponentUsed(cplx(1.0, 2e-6)));
    EXPECT_TRUE(km::rowComponentUsed(cplx(1.0, 0.5e-6)));
}

// Straightforward sum over the first `used` entries of a one-row spectrum.
std::vector<cd> rowDirectSum(const kernelModel::volume &v, const std::vector<double2> &S, int k, int used,
                             bool is_TM)
{
    const int nx = v.nx;
    std::vector<cd> out(nx);
    for (int g = 0; g < nx; ++g) {
        const cd n_i = toC(v.N[k * nx + g]), n_t = toC(v.N[(k + 1) * nx + g]);
        const double D = std::exp(-n_i.imag() * v.k0 * v.dz);
        cd sum = 0.0;
        for (int J = 0; J < used; ++J) {
            const cd u = toC(v.KX[J]);
            const double a = n_i.real() * v.k0, b = n_t.real() * v.k0;
            const cd kz_i = a * std::sqrt(cd(1.0, 0.0) - (u / a) * (u / a));
            const cd kz_t = b * std::sqrt(cd(1.0, 0.0) - (u / b) * (u / b));
            if (kz_i.real() == 0.0 || kz_i.imag() >= 1e-6)
                continue;
            const cd n_tt = is_TM ? n_t : cd(n_t.real(), 0.0);
            const cd t = is_TM ? 2.0 * n_tt * n_i * kz_i / (n_tt * n_tt * kz_i + n_i * n_i * kz_t)
                               : 2.0 * kz_i / (kz_i + kz_t);
            sum += toC(S[J]) / double(nx) * t * (J % 2 ? -D : D) * std::exp(cd(0.0, 1.0) * (u * v.X[g] + kz_i * v.dz));
        }
        out[g] = sum;
    }
    return out;
}

TEST(RowLaunch, MatchesDirectSumOverWholeTiles)
{
    for (bool is_TM : {false, true})
        for (int b : {4, 16, 7}) {
            kernelModel::volume v = kernelModel::randomVolume(32, 1, 2, 31);
            const std::vector<double2> S = kernelModel::planeDft(v.E.data(), 32, 1);
            kernelModel::rowLaunch(v.E.data(), v.N.data(), v.KX.data(), S.data(), v.X.data(), v.k0, v.dz, 32, 1,
                                   0, b, is_TM);
            const std::vector<cd> ref = rowDirectSum(v, S, 0, (32 / b) * b, is_TM);
            double scale = 0.0;
            for (const cd &r : ref)
                scale = std::max(scale, std::abs(r));
            ASSERT_GT(scale, 0.0);
            for (int g = 0; g < 32; ++g)
                EXPECT_LE(std::abs(toC(v.E[32 + g]) - ref[g]), 1e-12 * scale) << "b " << b << " g " << g;
        }
}

TEST(RowLaunch, PartialLastTileIsNotSummed)
{
    kernelModel::volume v = kernelModel::randomVolume(100, 1, 2, 37);
    std::vector<double2> S(100, cplx(0.0, 0.0));
    auto run = [&](int b) {
        kernelModel::rowLaunch(v.E.data(), v.N.data(), v.KX.data(), S.data(), v.X.data(), v.k0, v.dz, 100, 1, 0,
                               b, false);
        double m = 0.0;
        for (int g = 0; g < 100; ++g)
            m = std::max(m, std::abs(toC(v.E[100 + g])));
        return m;
    };
    for (int J = 96; J < 100; ++J)
        S[J] = cplx(50.0, 0.0);  // entries 96 .. 99 lie beyond three tiles of 32
    EXPECT_EQ(run(32), 0.0);
    S[2] = cplx(50.0, 0.0);
    EXPECT_GT(run(32), 0.0);
    // Fewer samples than threads per block: no whole tile, every sample becomes 0.
    EXPECT_EQ(run(128), 0.0);
}

TEST(RowLaunch, DampingFromCurrentPlaneAndAssignment)
{
    const int nx = 16;
    kernelModel::volume v = kernelModel::randomVolume(nx, 1, 2, 41, false);
    for (int g = 0; g < nx; ++g) {
        v.N[g] = cplx(1.2, 0.0);
        v.N[nx + g] = cplx(1.2, 0.0);
    }
    const std::vector<double2> S = kernelModel::planeDft(v.E.data(), nx, 1);
    auto run = [&]() {
        for (int g = 0; g < nx; ++g)
            v.E[nx + g] = cplx(123.0, -7.0);  // prior contents are overwritten
        kernelModel::rowLaunch(v.E.data(), v.N.data(), v.KX.data(), S.data(), v.X.data(), v.k0, v.dz, nx, 1, 0,
                               8, false);
        return std::vector<double2>(v.E.begin() + nx, v.E.end());
    };
    const std::vector<double2> clear = run();
    for (int g = 0; g < nx; ++g)
        v.N[nx + g].y = 0.05;  // extinction of plane k+1: not read by the row kernels
    const std::vector<double2> absorbingNext = run();
    for (int g = 0; g < nx; ++g)
        v.N[g].y = 0.05;  // extinction of plane k: damps every term
    const std::vector<double2> absorbingHere = run();
    const double D = std::exp(-0.05 * v.k0 * v.dz);
    for (int g = 0; g < nx; ++g) {
        EXPECT_EQ(absorbingNext[g].x, clear[g].x);
        EXPECT_EQ(absorbingNext[g].y, clear[g].y);
        EXPECT_TRUE(closeTo(toC(absorbingHere[g]), toC(clear[g]) * D, 1e-12));
    }
}

// ---- launch configuration --------------------------------------------------------

TEST(LaunchConfig, GridCoversTheSamples)
{
    EXPECT_EQ(gridSize(100, 16), 7u);
    EXPECT_EQ(gridSize(64, 16), 4u);
    EXPECT_EQ(gridSize(32, 16), 2u);
    EXPECT_EQ(gridSize(16, 16), 1u);
    EXPECT_EQ(gridSize(1, 16), 1u);
    EXPECT_EQ(gridSize(100, 32), 4u);
    EXPECT_EQ(gridSize(100, 1), 100u);
    EXPECT_EQ(gridSize(100, 0), 0u);
    EXPECT_EQ(gridSize(100, -4), 0u);
    EXPECT_EQ(blockExtent(16), 16u);
    EXPECT_EQ(blockExtent(0), 0u);
    EXPECT_EQ(blockExtent(-1), 0u);
}

TEST(LaunchConfig, RefusesWhatTheDeviceWouldRefuse)
{
    const launchLimits lim = {1024, {1024, 1024, 64}, {2147483647u, 65535, 65535}, 49152};
    const launchDims one = {1, 1, 1};
    EXPECT_EQ(checkLaunch(lim, {7, 7, 1}, {16, 16, 1}, 0), LAUNCH_OK);
    EXPECT_EQ(checkLaunch(lim, {4, 4, 1}, {32, 32, 1}, 0), LAUNCH_OK);
    EXPECT_EQ(checkLaunch(lim, {4, 4, 1}, {33, 33, 1}, 0), LAUNCH_THREADS);
    EXPECT_EQ(checkLaunch(lim, one, {1024, 1024, 1}, 0), LAUNCH_THREADS);
    EXPECT_EQ(checkLaunch(lim, one, {65536, 65536, 1}, 0), LAUNCH_BLOCK_DIM);
    EXPECT_EQ(checkLaunch(lim, one, {2048, 1, 1}, 0), LAUNCH_BLOCK_DIM);
    EXPECT_EQ(checkLaunch(lim, one, {1, 1, 65}, 0), LAUNCH_BLOCK_DIM);
    EXPECT_EQ(checkLaunch(lim, one, {0, 0, 1}, 0), LAUNCH_BLOCK_DIM);
    EXPECT_EQ(checkLaunch(lim, {0, 1, 1}, {16, 16, 1}, 0), LAUNCH_GRID_DIM);
    EXPECT_EQ(checkLaunch(lim, {1, 70000, 1}, {16, 16, 1}, 0), LAUNCH_GRID_DIM);
    EXPECT_EQ(checkLaunch(lim, {2147483647u, 1, 1}, {1024, 1, 1}, 32768), LAUNCH_OK);
    EXPECT_EQ(checkLaunch(lim, one, {1024, 1, 1}, 49152), LAUNCH_OK);
    EXPECT_EQ(checkLaunch(lim, one, {1024, 1, 1}, 49153), LAUNCH_SHARED);
}

}  // namespace
