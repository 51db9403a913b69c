// CPU propagation: direct spectrum summation plane by plane.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fftwrap.h"
#include "reference_wpm.h"
#include "volume.h"
#include "testutil.h"
#include "wpm.h"

namespace {

const double kTwoPi = 2.0 * 3.14159265358979323846;

struct Volume : TestVolume {
    using TestVolume::TestVolume;

    cpx &e(int i, int j, int k) { return E[k * plane() + j * nx + i]; }
    double &f(int i, int j, int k) { return F[k * plane() + j * nx + i]; }
    cpx *ePlane(int k) { return E.data() + k * plane(); }
    void setIndex(int k, cpx n) { std::fill(N.begin() + k * plane(), N.begin() + (k + 1) * plane(), n); }
    // A plane wave exp(i kx x) of amplitude a along the p-th frequency.
    void setWave(int p, cpx a)
    {
        for (int j = 0; j < ny; ++j)
            for (int i = 0; i < nx; ++i)
                e(i, j, 0) = a * std::exp(cpx(0.0, KX[p].real() * X[i]));
    }
    void setRandom(std::uint64_t seed)
    {
        for (int m = 0; m < plane(); ++m) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            const double re = static_cast<double>(seed >> 11) / 9007199254740992.0 * 2.0 - 1.0;
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            const double im = static_cast<double>(seed >> 11) / 9007199254740992.0 * 2.0 - 1.0;
            E[m] = cpx(re, im);
        }
    }

    void propagate(double k0, double dz, bool evanescent, bool magnetic = false,
                   polarization pol = NA)
    {
        vormel_3D(E.data(), F.data(), N.data(), KX.data(), X.data(), KY.data(), Y.data(), k0,
                  dz, d, d, nz, ny, nx, evanescent, magnetic, pol);
    }
};

// One angular-spectrum step in a uniform medium, by naive DFTs with the exact 2 pi:
// every component times exp(i kz dz), kz = sqrt((k0 n)^2 - kx^2 - ky^2) with a
// non-negative imaginary part. Also returns the flux of the propagating part and
// the sum of the moduli of the weighted components.
struct Step {
    std::vector<cpx> field;
    double flux = 0.0;
    double weight = 0.0;
};

Step angularStep(const Volume &v, const cpx *in, double k0n, double dz, bool evanescent)
{
    const int nx = v.nx, ny = v.ny, nxy = nx * ny;
    std::vector<cpx> spectrum(nxy, cpx(0, 0));
    Step out;
    for (int q = 0; q < ny; ++q) {
        for (int p = 0; p < nx; ++p) {
            cpx s(0, 0);
            for (int j = 0; j < ny; ++j)
                for (int i = 0; i < nx; ++i)
                    s += in[j * nx + i] *
                         std::polar(1.0, -kTwoPi * (double(p * i) / nx + double(q * j) / ny));
            s /= double(nxy);
            const double kx = v.KX[p].real(), ky = v.KY[q].real();
            const double kz2 = k0n * k0n - kx * kx - ky * ky;
            if (kz2 > 0.0) {
                spectrum[q * nx + p] = s * std::exp(cpx(0.0, std::sqrt(kz2) * dz));
                out.flux += std::norm(s) * std::sqrt(kz2);
            } else if (evanescent) {
                spectrum[q * nx + p] = s * std::exp(-std::sqrt(-kz2) * dz);
            }
            out.weight += std::abs(spectrum[q * nx + p]);
        }
    }
    out.field.assign(nxy, cpx(0, 0));
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i)
            for (int q = 0; q < ny; ++q)
                for (int p = 0; p < nx; ++p)
                    out.field[j * nx + i] +=
                        spectrum[q * nx + p] *
                        std::polar(1.0, kTwoPi * (double(p * i) / nx + double(q * j) / ny));
    return out;
}

// Largest phase error of the grids' 6.2831853, in radians, plus rounding.
double tolerance(const Volume &v, double weight)
{
    return weight * (1.8e-9 * (v.nx + v.ny) + 1e-12);
}

// The wrapper's unnormalised spectrum of one plane.
std::vector<cpx> spectrumOf(Volume &v, int k)
{
    std::vector<cpx> S(v.plane());
    fftwrap::fft2d forward(v.nx, v.ny, -1, nullptr, S.data());
    forward.fft(v.ePlane(k), S.data());
    return S;
}

class Propagation : public ::testing::Test {
protected:
    testutil::TempDir dir; // the transform writes its wisdom file here
};

const double kLambda = 1e-6;
const double kK0 = 6.2831853 / kLambda;

} // namespace

TEST_F(Propagation, UniformMediumIsTheAngularSpectrumStep)
{
    // 16 x 8 samples at half a wavelength, n = 1.2: the diagonal corners are evanescent.
    for (const bool evanescent : {true, false}) {
        Volume v(16, 8, 3, 0.5e-6, cpx(1.2, 0.0));
        v.setRandom(7);
        for (const cpx &s : spectrumOf(v, 0))
            ASSERT_GE(std::abs(s), 1e-3);
        const double dz = 0.3e-6;
        v.propagate(kK0, dz, evanescent);

        for (int k = 0; k + 1 < v.nz; ++k) {
            const Step step = angularStep(v, v.ePlane(k), kK0 * 1.2, dz, evanescent);
            const double tol = tolerance(v, step.weight);
            for (int j = 0; j < v.ny; ++j) {
                for (int i = 0; i < v.nx; ++i) {
                    EXPECT_NEAR(std::abs(v.e(i, j, k + 1) - step.field[j * v.nx + i]), 0.0, tol)
                        << "evanescent " << evanescent << " plane " << k + 1 << " at " << i << ","
                        << j;
                    EXPECT_NEAR(v.f(i, j, k + 1), step.flux, 1e-12 * step.flux);
                }
            }
        }
        for (int m = 0; m < v.plane(); ++m)
            EXPECT_EQ(v.F[m], 0.0); // plane 0 of F is not touched
    }
}

TEST_F(Propagation, ZeroDistanceReproducesThePlane)
{
    Volume v(8, 8, 2, 0.5e-6, cpx(1.5, 0.0));
    v.setRandom(11);
    v.propagate(kK0, 0.0, true);
    const Step step = angularStep(v, v.ePlane(0), kK0 * 1.5, 0.0, true);
    for (int m = 0; m < v.plane(); ++m)
        EXPECT_NEAR(std::abs(v.E[v.plane() + m] - v.E[m]), 0.0, tolerance(v, step.weight));
}

TEST_F(Propagation, ConstantPlaneKeepsOnlyTheZeroComponent)
{
    const cpx a(0.3, -0.4);
    Volume v(8, 8, 2, 0.5e-6, cpx(1.5, 0.0));
    std::fill(v.E.begin(), v.E.begin() + v.plane(), a);
    const std::vector<cpx> S = spectrumOf(v, 0);
    for (int m = 1; m < v.plane(); ++m)
        ASSERT_LT(std::abs(S[m]), 1e-4);

    const double dz = 0.7e-6;
    v.propagate(kK0, dz, false);
    const cpx expected = a * std::exp(cpx(0.0, kK0 * 1.5 * dz));
    for (int m = v.plane(); m < 2 * v.plane(); ++m) {
        EXPECT_NEAR(std::abs(v.E[m] - expected), 0.0, 1e-14);
        EXPECT_NEAR(v.F[m], kK0 * 1.5 * std::norm(a), 1e-12 * kK0);
    }
}

TEST_F(Propagation, ZeroIndexKeepsTheZeroComponentWithoutRoot)
{
    // k0 n = 0: kz of the (0, 0) component is (0, 0), so it is evanescent.
    const cpx a(0.25, 0.5);
    for (const bool evanescent : {true, false}) {
        Volume v(8, 8, 2, 0.5e-6, cpx(0.0, 0.0));
        std::fill(v.E.begin(), v.E.begin() + v.plane(), a);
        v.propagate(kK0, 0.4e-6, evanescent);
        for (int m = v.plane(); m < 2 * v.plane(); ++m) {
            EXPECT_NEAR(std::abs(v.E[m] - (evanescent ? a : cpx(0, 0))), 0.0, 1e-15);
            EXPECT_EQ(v.F[m], 0.0);
        }
    }
}

TEST_F(Propagation, ThresholdKeepsExactlyOneTenThousandthAndDropsLess)
{
    // A single sample of value v at the origin: every coefficient has modulus v.
    for (const double value : {1e-4, std::nextafter(1e-4, 0.0)}) {
        Volume v(8, 8, 2, 0.5e-6, cpx(1.0, 0.0));
        v.e(0, 0, 0) = cpx(value, 0.0);
        for (const cpx &s : spectrumOf(v, 0))
            ASSERT_EQ(std::abs(s), value);
        v.propagate(kK0, 0.0, true);
        if (value == 1e-4) {
            for (int m = 0; m < v.plane(); ++m)
                EXPECT_NEAR(std::abs(v.E[v.plane() + m] - v.E[m]), 0.0, tolerance(v, value));
        } else {
            for (int m = v.plane(); m < 2 * v.plane(); ++m) {
                EXPECT_EQ(v.E[m], cpx(0, 0));
                EXPECT_EQ(v.F[m], 0.0);
            }
        }
    }
}

TEST_F(Propagation, ZeroPlaneStaysZero)
{
    Volume v(8, 8, 4, 0.5e-6, cpx(1.5, 0.01));
    v.propagate(kK0, 0.5e-6, true, true, TM);
    for (size_t m = 0; m < v.E.size(); ++m) {
        EXPECT_EQ(v.E[m], cpx(0, 0));
        EXPECT_EQ(v.F[m], 0.0);
    }
}

TEST_F(Propagation, SinglePlaneWritesNothingButStillPlans)
{
    Volume v(8, 8, 1, 0.5e-6);
    v.setRandom(3);
    const std::vector<cpx> before = v.E;
    v.propagate(kK0, 0.5e-6, true);
    EXPECT_EQ(v.E, before);
    for (double f : v.F)
        EXPECT_EQ(f, 0.0);
    EXPECT_TRUE(testutil::fileExists("wisdom3.txt"));
}

TEST_F(Propagation, AbsorptionComesFromTheNextPlaneOnly)
{
    const cpx a(0.5, 0.0);
    const double kappa = 0.02, dz = 0.6e-6;
    // Equal real parts with different extinction: no Fresnel factor for any polarisation.
    for (const polarization pol : {NA, TE, TM}) {
        Volume v(8, 8, 3, 0.5e-6, cpx(1.5, 0.0));
        std::fill(v.E.begin(), v.E.begin() + v.plane(), a);
        v.setIndex(1, cpx(1.5, kappa)); // absorbing plane 1, clear plane 2
        v.propagate(kK0, dz, false, false, pol);

        const cpx into1 = a * std::exp(cpx(0.0, kK0 * 1.5 * dz)) * std::exp(-kK0 * kappa * dz);
        const cpx into2 = into1 * std::exp(cpx(0.0, kK0 * 1.5 * dz));
        for (int j = 0; j < v.ny; ++j) {
            for (int i = 0; i < v.nx; ++i) {
                EXPECT_NEAR(std::abs(v.e(i, j, 1) - into1), 0.0, 1e-14) << pol;
                EXPECT_NEAR(std::abs(v.e(i, j, 2) - into2), 0.0, 1e-14) << pol;
                // The flux is that of the arriving amplitude; absorption is not in it.
                EXPECT_NEAR(v.f(i, j, 1), kK0 * 1.5 * std::norm(a), 1e-12 * kK0);
                EXPECT_NEAR(v.f(i, j, 2), kK0 * 1.5 * std::norm(into1), 1e-12 * kK0);
            }
        }
    }
}

TEST_F(Propagation, UnpolarisedStepHasNoFactor)
{
    const cpx a(0.5, 0.25);
    const double dz = 0.5e-6;
    Volume na(8, 8, 2, 0.5e-6, cpx(1.0, 0.0));
    std::fill(na.E.begin(), na.E.begin() + na.plane(), a);
    na.setIndex(1, cpx(1.5, 0.0));
    Volume other = na;
    na.propagate(kK0, dz, true, false, NA);
    other.propagate(kK0, dz, true, false, static_cast<polarization>(3));

    const cpx expected = a * std::exp(cpx(0.0, kK0 * 1.5 * dz));
    for (int m = na.plane(); m < 2 * na.plane(); ++m) {
        EXPECT_NEAR(std::abs(na.E[m] - expected), 0.0, 1e-14);
        EXPECT_NEAR(na.F[m], kK0 * 1.5 * std::norm(a), 1e-12 * kK0);
    }
    EXPECT_EQ(na.E, other.E);
    EXPECT_EQ(na.F, other.F);
}

TEST_F(Propagation, MagneticFieldScalesTheFieldAndNotTheFlux)
{
    Volume e(8, 8, 2, 0.5e-6, cpx(1.0, 0.0));
    e.setRandom(5);
    e.setIndex(1, cpx(1.5, 0.001));
    Volume h = e;
    e.propagate(kK0, 0.4e-6, true, false, TE);
    h.propagate(kK0, 0.4e-6, true, true, TE);

    const double c = 1.5 / (kK0 * 376.73031346);
    double largest = 0.0;
    for (int m = e.plane(); m < 2 * e.plane(); ++m)
        largest = std::max(largest, std::abs(e.E[m]));
    for (int m = e.plane(); m < 2 * e.plane(); ++m)
        EXPECT_NEAR(std::abs(h.E[m] - e.E[m] * c), 0.0, 1e-13 * largest * c);
    EXPECT_EQ(h.F, e.F);
}

// Single plane waves along x on 16 x 4 samples at one micrometre, wavelength 4 um:
// the p-th frequency has kx = (p / 4) k0.
class Interface : public Propagation {
protected:
    static constexpr double kPitch = 1e-6;
    static constexpr double k0 = 6.2831853 / 4e-6;
    static constexpr double dz = 0.3e-6;

    Volume wave(int p, double n0, double n1) const
    {
        Volume v(16, 4, 2, kPitch, cpx(n0, 0.0));
        v.setIndex(1, cpx(n1, 0.0));
        v.setWave(p, cpx(1.0, 0.0));
        return v;
    }
    static cpx root(double nk0, double kx) { return std::sqrt(cpx(nk0 * nk0 - kx * kx, 0.0)); }
    // The quantised factor lies within one step below the exact one, in each part.
    static void expectFactor(const cpx &measured, const cpx &exact)
    {
        EXPECT_LE(measured.real(), exact.real() + 1e-7);
        EXPECT_GE(measured.real(), exact.real() - 1e-4 - 1e-7);
        EXPECT_LE(measured.imag(), exact.imag() + 1e-7);
        EXPECT_GE(measured.imag(), exact.imag() - 1e-4 - 1e-7);
    }
};

TEST_F(Interface, ObliqueStepTakesTheTeAndTmFactors)
{
    const int p = 2; // 30 degrees in the first medium
    const double kx = 0.5 * k0;
    const cpx kz_i = root(k0, kx), kz_t = root(1.5 * k0, kx);
    const cpx exact_te = 2.0 * kz_i / (kz_i + kz_t);
    const cpx exact_tm = 2.0 * 1.5 * kz_i / (kz_t + 2.25 * kz_i);
    ASSERT_GT(std::abs(exact_te - exact_tm), 1e-2);

    for (const polarization pol : {TE, TM}) {
        Volume v = wave(p, 1.0, 1.5);
        v.propagate(k0, dz, false, false, pol);
        const cpx exact = pol == TE ? exact_te : exact_tm;
        for (int j = 0; j < v.ny; ++j) {
            for (int i = 0; i < v.nx; ++i) {
                const cpx carrier = v.e(i, j, 0) * std::exp(cpx(0.0, kz_t.real() * dz));
                expectFactor(v.e(i, j, 1) / carrier, exact);
                EXPECT_NEAR(v.f(i, j, 1), std::norm(v.e(i, j, 1)) * kz_t.real(),
                            1e-6 * kz_t.real());
            }
        }
    }
}

TEST_F(Interface, NormalIncidenceStepOnBothPolarisations)
{
    for (const polarization pol : {TE, TM}) {
        Volume v = wave(0, 1.0, 1.5); // constant plane: the (0, 0) component only
        v.propagate(k0, dz, false, false, pol);
        const cpx expected = 0.8 * std::exp(cpx(0.0, 1.5 * k0 * dz));
        for (int m = v.plane(); m < 2 * v.plane(); ++m) {
            EXPECT_NEAR(std::abs(v.E[m] - expected), 0.0, 1e-4 + 1e-12) << pol;
            EXPECT_NEAR(v.F[m], 0.64 * 1.5 * k0, 3e-4 * 1.5 * k0) << pol;
        }
    }
}

TEST_F(Interface, UniformEvanescentComponentDecaysOrIsDropped)
{
    const int p = 7; // kx = 1.75 k0 in n = 1.5: evanescent on both sides, no change
    const double kappa = std::sqrt(1.75 * 1.75 - 1.5 * 1.5) * k0;
    for (const bool evanescent : {true, false}) {
        Volume v = wave(p, 1.5, 1.5);
        v.propagate(k0, dz, evanescent, false, TE);
        for (int m = 0; m < v.plane(); ++m) {
            const cpx expected = evanescent ? v.E[m] * std::exp(-kappa * dz) : cpx(0, 0);
            EXPECT_NEAR(std::abs(v.E[v.plane() + m] - expected), 0.0, 1e-7);
            EXPECT_EQ(v.F[v.plane() + m], 0.0);
        }
    }
}

TEST_F(Interface, GrazingComponentWithZeroRootIsEvanescent)
{
    // k0 n equal to kx exactly: kz = 0, so it counts as evanescent and does not decay.
    const int p = 3;
    for (const bool evanescent : {true, false}) {
        Volume v(16, 4, 2, kPitch, cpx(1.0, 0.0));
        v.setWave(p, cpx(1.0, 0.0));
        const double k0_grazing = v.KX[p].real();
        v.propagate(k0_grazing, dz, evanescent);
        for (int m = 0; m < v.plane(); ++m) {
            EXPECT_NEAR(std::abs(v.E[v.plane() + m] - (evanescent ? v.E[m] : cpx(0, 0))), 0.0,
                        1e-7);
            EXPECT_EQ(v.F[v.plane() + m], 0.0);
        }
    }
}

TEST_F(Interface, TotalInternalReflectionSideCarriesFieldWithoutFlux)
{
    const int p = 5; // kx = 1.25 k0: propagating in 1.5, evanescent in 1.0
    const double kx = 1.25 * k0;
    const cpx kz_i = root(1.5 * k0, kx), kz_t = root(k0, kx);
    ASSERT_EQ(kz_t.real(), 0.0);
    const cpx exact = 2.0 * kz_i / (kz_i + kz_t);
    for (const bool evanescent : {true, false}) {
        Volume v = wave(p, 1.5, 1.0);
        v.propagate(k0, dz, evanescent, false, TE);
        for (int m = 0; m < v.plane(); ++m) {
            const cpx got = v.E[v.plane() + m];
            if (evanescent)
                expectFactor(got / (v.E[m] * std::exp(-kz_t.imag() * dz)), exact);
            else
                EXPECT_EQ(got, cpx(0, 0));
            EXPECT_EQ(v.F[v.plane() + m], 0.0);
        }
    }
}

TEST_F(Interface, EvanescentSideIntoDenserMediumPropagatesWithFlux)
{
    const int p = 5; // evanescent in 1.0, propagating in 1.5
    const double kx = 1.25 * k0;
    const cpx kz_i = root(k0, kx), kz_t = root(1.5 * k0, kx);
    ASSERT_EQ(kz_i.real(), 0.0);
    for (const polarization pol : {TE, TM}) {
        const cpx exact = pol == TE ? 2.0 * kz_i / (kz_i + kz_t)
                                    : 2.0 * 1.5 * kz_i / (kz_t + 2.25 * kz_i);
        for (const bool evanescent : {true, false}) {
            Volume v = wave(p, 1.0, 1.5);
            v.propagate(k0, dz, evanescent, false, pol);
            for (int m = 0; m < v.plane(); ++m) {
                const cpx got = v.E[v.plane() + m];
                if (evanescent) {
                    expectFactor(got / (v.E[m] * std::exp(cpx(0.0, kz_t.real() * dz))), exact);
                    EXPECT_NEAR(v.F[v.plane() + m], std::norm(got) * kz_t.real(),
                                1e-6 * kz_t.real());
                } else {
                    EXPECT_EQ(got, cpx(0, 0));
                    EXPECT_EQ(v.F[v.plane() + m], 0.0);
                }
            }
        }
    }
}

TEST_F(Interface, EvanescentOnBothSidesOfAChangeAddsNothing)
{
    Volume v = wave(7, 1.0, 1.5); // kx = 1.75 k0
    v.propagate(k0, dz, true, false, TE);
    for (int m = v.plane(); m < 2 * v.plane(); ++m) {
        EXPECT_NEAR(std::abs(v.E[m]), 0.0, 1e-7);
        EXPECT_EQ(v.F[m], 0.0);
    }
}

TEST_F(Propagation, MatchesTheLiteralReference)
{
    // Random field through random steps of index and extinction, every option.
    const int nx = 8, ny = 8, nz = 4;
    Volume base(nx, ny, nz, 0.5e-6);
    base.setRandom(23);
    std::uint64_t seed = 99;
    const double reals[] = {1.0, 1.3, 1.6};
    for (cpx &n : base.N) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        const double kappa = ((seed >> 20) & 3) == 0 ? 0.01 : 0.0;
        n = cpx(reals[(seed >> 33) % 3], kappa);
    }
    for (const polarization pol : {NA, TE, TM}) {
        for (const bool evanescent : {true, false}) {
            for (const bool magnetic : {false, true}) {
                Volume prod = base;
                Volume lit = base;
                prod.propagate(kK0, 0.4e-6, evanescent, magnetic, pol);
                ref::vormel_3D_literal(lit.E.data(), lit.F.data(), lit.N.data(), lit.KX.data(),
                                       lit.X.data(), lit.KY.data(), lit.Y.data(), kK0, 0.4e-6,
                                       lit.d, lit.d, nz, ny, nx, evanescent, magnetic, pol);
                ASSERT_EQ(prod.E.size(), lit.E.size());
                // The vector sin and cos change last bits: every plane within 1e-13 of
                // the reference's largest value there. Plane 1 comes from the same
                // spectrum, and its flux is the same bits.
                const int nxy = base.plane();
                for (int k = 0; k < nz; ++k) {
                    double largestE = 0.0, largestF = 0.0, devE = 0.0, devF = 0.0;
                    for (int m = k * nxy; m < (k + 1) * nxy; ++m) {
                        largestE = std::max(largestE, std::abs(lit.E[m]));
                        largestF = std::max(largestF, std::abs(lit.F[m]));
                        devE = std::max(devE, std::abs(prod.E[m] - lit.E[m]));
                        devF = std::max(devF, std::abs(prod.F[m] - lit.F[m]));
                    }
                    EXPECT_LE(devE, 1e-13 * largestE) << pol << evanescent << magnetic << k;
                    EXPECT_LE(devF, 1e-13 * largestF) << pol << evanescent << magnetic << k;
                }
                EXPECT_EQ(0, std::memcmp(prod.F.data() + nxy, lit.F.data() + nxy, nxy * sizeof(double)))
                    << pol << evanescent << magnetic;
                // The H factor (about 1e-9) puts later planes below the threshold.
                const int last = magnetic ? 1 : nz - 1;
                double energy = 0.0;
                for (int m = last * base.plane(); m < (last + 1) * base.plane(); ++m)
                    energy += std::norm(prod.E[m]);
                EXPECT_GT(energy, 0.0);
            }
        }
    }
}
