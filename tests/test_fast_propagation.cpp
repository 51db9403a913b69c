// The restructured CPU propagation against the literal direct summation, and the
// vectorised phase-sum kernels on their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "reference_wpm.h"
#include "testutil.h"
#include "volume.h"
#include "wpm.h"
#include "wpm_simd.h"

namespace {

const double kK0 = 6.2831853 / 1e-6;
const double kPitch = 0.5e-6; // the largest frequency is k0: evanescent corners in n < 1.42

struct Lcg {
    std::uint64_t state;
    double uniform() // [0, 1)
    {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>(state >> 11) / 9007199254740992.0;
    }
};

enum class Medium {
    Homogeneous, // one index everywhere
    Absorbing,   // one real part, extinction in every other plane
    Grating,     // two materials interleaved along x and y, shifted from plane to plane
    Random,      // a distinct index at nearly every sample
};

const char *name(Medium m)
{
    switch (m) {
    case Medium::Homogeneous: return "homogeneous";
    case Medium::Absorbing: return "absorbing";
    case Medium::Grating: return "grating";
    case Medium::Random: return "random";
    }
    return "?";
}

struct Volume : TestVolume {
    Volume(int nx_, int ny_, int nz_) : TestVolume(nx_, ny_, nz_, kPitch) {}
    cpx &n(int i, int j, int k) { return N[at(i, j, k)]; }

    void fill(Medium medium, std::uint64_t seed)
    {
        Lcg rng{seed};
        for (int k = 0; k < nz; ++k) {
            for (int j = 0; j < ny; ++j) {
                for (int i = 0; i < nx; ++i) {
                    switch (medium) {
                    case Medium::Homogeneous: n(i, j, k) = cpx(1.5, 0.0); break;
                    case Medium::Absorbing: n(i, j, k) = cpx(1.2, k % 2 ? 0.01 : 0.0); break;
                    case Medium::Grating:
                        n(i, j, k) = ((i + k) / 2 + j / 3) % 2 ? cpx(1.5, 0.002) : cpx(1.0, 0.0);
                        break;
                    case Medium::Random:
                        n(i, j, k) = cpx(1.0 + rng.uniform(), rng.uniform() < 0.3 ? 0.01 * rng.uniform() : 0.0);
                        break;
                    }
                }
            }
        }
        for (int m = 0; m < plane(); ++m)
            E[m] = cpx(rng.uniform() - 0.5, rng.uniform() - 0.5);
    }
};

struct Options {
    polarization pol;
    bool evanescent;
    bool magnetic;
    double dz;
};

void production(Volume &v, const Options &o)
{
    vormel_3D(v.E.data(), v.F.data(), v.N.data(), v.KX.data(), v.X.data(), v.KY.data(),
              v.Y.data(), kK0, o.dz, kPitch, kPitch, v.nz, v.ny, v.nx, o.evanescent, o.magnetic,
              o.pol);
}

void literal(Volume &v, const Options &o)
{
    ref::vormel_3D_literal(v.E.data(), v.F.data(), v.N.data(), v.KX.data(), v.X.data(),
                           v.KY.data(), v.Y.data(), kK0, o.dz, kPitch, kPitch, v.nz, v.ny, v.nx,
                           o.evanescent, o.magnetic, o.pol);
}

// Every plane within 1e-13 of the literal summation, E and F each relative to the
// plane's largest value; plane 1 comes from the same spectrum, so its flux (every
// threshold, evanescent and Fresnel decision in it) is the same bits.
void expectMatchesLiteral(Volume base, const Options &o, const std::string &what)
{
    Volume fast = base, lit = base;
    production(fast, o);
    literal(lit, o);
    const int nxy = base.plane();
    for (int k = 0; k < base.nz; ++k) {
        EXPECT_LE(planeDeviation(fast.E, lit.E, nxy, k), 1e-13) << what << " E plane " << k;
        EXPECT_LE(planeDeviation(fast.F, lit.F, nxy, k), 1e-13) << what << " F plane " << k;
    }
    for (int m = nxy; m < 2 * nxy; ++m)
        ASSERT_EQ(fast.F[m], lit.F[m]) << what << " flux at sample " << m - nxy;
    double energy = 0.0;
    for (int m = nxy; m < 2 * nxy; ++m)
        energy += std::norm(fast.E[m]);
    EXPECT_GT(energy, 0.0) << what;
}

class FastPropagation : public ::testing::Test {
protected:
    testutil::TempDir dir; // wisdom file
};

} // namespace

TEST_F(FastPropagation, MatchesTheLiteralSummationOnEveryMediumAndOption)
{
    for (const Medium medium :
         {Medium::Homogeneous, Medium::Absorbing, Medium::Grating, Medium::Random}) {
        Volume base(16, 12, 4);
        base.fill(medium, 1 + static_cast<int>(medium));
        for (const polarization pol : {NA, TE, TM}) {
            for (const bool evanescent : {true, false}) {
                for (const bool magnetic : {false, true}) {
                    const std::string what = std::string(name(medium)) + " pol " +
                                             std::to_string(pol) + " evanescent " +
                                             std::to_string(evanescent) + " H " +
                                             std::to_string(magnetic);
                    expectMatchesLiteral(base, {pol, evanescent, magnetic, 0.4e-6}, what);
                }
            }
        }
    }
}

TEST_F(FastPropagation, SteepInterfacesWithTotalInternalReflection)
{
    // 1.0 and 2.0 alternate along z at every sample: the components between k0 and 2 k0
    // are evanescent on one side only, both ways, and pass the Fresnel factors.
    Volume base(16, 16, 5);
    base.fill(Medium::Homogeneous, 17);
    for (int k = 0; k < base.nz; ++k)
        for (int j = 0; j < base.ny; ++j)
            for (int i = 0; i < base.nx; ++i)
                base.n(i, j, k) = ((i / 4 + j / 4 + k) % 2) ? cpx(2.0, 0.0) : cpx(1.0, 0.0);
    for (const polarization pol : {TE, TM})
        for (const bool evanescent : {true, false})
            expectMatchesLiteral(base, {pol, evanescent, false, 0.25e-6},
                                 "interfaces pol " + std::to_string(pol) + " evanescent " +
                                     std::to_string(evanescent));
}

TEST_F(FastPropagation, LongStepsKeepTheirPhase)
{
    // Phases of about 1e4 rad (reduced by 2 pi before the sin and cos), and of about 1e9
    // rad (left to the library's own reduction).
    for (const double dz : {1e-3, 150.0}) {
        Volume base(8, 8, 3);
        base.fill(Medium::Grating, 5);
        expectMatchesLiteral(base, {TE, true, false, dz}, "dz " + std::to_string(dz));
    }
}

TEST_F(FastPropagation, NanIndexSpreadsOnlyWhereTheLiteralSumSpreadsIt)
{
    Volume base(8, 8, 2);
    base.fill(Medium::Homogeneous, 9);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    base.n(3, 2, 1) = cpx(nan, 0.0); // an index change and a NaN root at one sample
    base.n(5, 6, 1) = cpx(1.5, nan); // absorbing with a NaN extinction
    for (const bool evanescent : {true, false}) {
        Volume fast = base, lit = base;
        production(fast, {TM, evanescent, false, 0.3e-6});
        literal(lit, {TM, evanescent, false, 0.3e-6});
        double largest = 0.0;
        for (int m = 64; m < 128; ++m)
            if (!std::isnan(std::abs(lit.E[m])))
                largest = std::max(largest, std::abs(lit.E[m]));
        ASSERT_GT(largest, 0.0);
        int nans = 0;
        for (int m = 64; m < 128; ++m) {
            const bool litNan = std::isnan(lit.E[m].real()) || std::isnan(lit.E[m].imag());
            const bool fastNan = std::isnan(fast.E[m].real()) || std::isnan(fast.E[m].imag());
            EXPECT_EQ(fastNan, litNan) << "sample " << m - 64;
            EXPECT_EQ(std::isnan(fast.F[m]), std::isnan(lit.F[m])) << "sample " << m - 64;
            nans += litNan;
            if (!litNan) {
                EXPECT_LE(std::abs(fast.E[m] - lit.E[m]), 1e-13 * largest);
            }
        }
        EXPECT_EQ(nans, 2);
    }
}

TEST_F(FastPropagation, NoComponentAboveTheThresholdAddsNothing)
{
    Volume v(8, 8, 3);
    v.fill(Medium::Grating, 3);
    std::fill(v.E.begin(), v.E.begin() + v.plane(), cpx(0.5e-6, 0.0)); // |S| = 3.2e-5
    production(v, {TE, true, true, 0.3e-6});
    for (size_t m = v.plane(); m < v.E.size(); ++m) {
        EXPECT_EQ(v.E[m], cpx(0, 0));
        EXPECT_EQ(v.F[m], 0.0);
    }
}

namespace {

struct Table {
    std::vector<double> kx, ky, rz, ar, ai;
    double weight = 0.0; // sum of |a|

    Table(int terms, double phaseScale, std::uint64_t seed)
    {
        Lcg rng{seed};
        const int padded = (terms + kPhaseTermsPad - 1) / kPhaseTermsPad * kPhaseTermsPad;
        for (int c = 0; c < padded; ++c) {
            const bool real = c < terms;
            kx.push_back(real ? (rng.uniform() - 0.5) * 2.5e7 : 0.0);
            ky.push_back(real ? (rng.uniform() - 0.5) * 2.5e7 : 0.0);
            rz.push_back(real ? rng.uniform() * phaseScale : 0.0);
            ar.push_back(real ? rng.uniform() - 0.5 : 0.0);
            ai.push_back(real ? rng.uniform() - 0.5 : 0.0);
            weight += std::hypot(ar.back(), ai.back());
        }
    }
    // Vector loads need the data aligned to the widest vector.
    PhaseTerms terms(std::vector<double> &storage, bool reduce) const
    {
        const size_t n = kx.size();
        storage.assign(5 * n + 8, 0.0);
        double *base = storage.data();
        while (reinterpret_cast<std::uintptr_t>(base) % 64 != 0)
            ++base;
        std::copy(kx.begin(), kx.end(), base);
        std::copy(ky.begin(), ky.end(), base + n);
        std::copy(rz.begin(), rz.end(), base + 2 * n);
        std::copy(ar.begin(), ar.end(), base + 3 * n);
        std::copy(ai.begin(), ai.end(), base + 4 * n);
        return PhaseTerms{base, base + n, base + 2 * n, base + 3 * n, base + 4 * n,
                          static_cast<int>(n), reduce};
    }
    // The same sum with the C library's sin and cos, the phase formed the same way.
    cpx scalarSum(double x, double y) const
    {
        cpx s(0, 0);
        for (size_t c = 0; c < kx.size(); ++c) {
            const double phi_xy = kx[c] * x + ky[c] * y;
            const double theta = phi_xy + rz[c];
            s += cpx(ar[c], ai[c]) * cpx(std::cos(theta), std::sin(theta));
        }
        return s;
    }
};

std::vector<SimdLevel> availableLevels()
{
    std::vector<SimdLevel> levels;
    for (const SimdLevel l : {SimdLevel::SSE2, SimdLevel::AVX2, SimdLevel::AVX512F})
        if (phaseSumKernel(l) != nullptr)
            levels.push_back(l);
    return levels;
}

} // namespace

TEST(PhaseSumKernels, EveryLevelMatchesTheScalarSum)
{
    ASSERT_NE(phaseSumKernel(SimdLevel::SSE2), nullptr); // the x86-64 baseline
    const double x = 1.75e-6, y = -2.25e-6;
    // Short phases, phases of hundreds of radians, and long ones near 1e9.
    for (const double scale : {1.0, 500.0, 4e8}) {
        const Table table(203, scale, 42);
        const cpx want = table.scalarSum(x, y);
        for (const SimdLevel level : availableLevels()) {
            for (const bool reduce : {false, true}) {
                std::vector<double> storage;
                const cpx got = phaseSumKernel(level)(table.terms(storage, reduce), x, y);
                EXPECT_LE(std::abs(got - want), 2e-15 * table.weight)
                    << simdLevelName(level) << " scale " << scale << " reduce " << reduce;
            }
        }
    }
}

TEST(PhaseSumKernels, EmptyAndZeroTablesGiveZero)
{
    const Table table(0, 1.0, 1);
    const Table zeros(5, 1.0, 1);
    for (const SimdLevel level : availableLevels()) {
        std::vector<double> storage;
        PhaseTerms t = table.terms(storage, true);
        EXPECT_EQ(phaseSumKernel(level)(t, 1e-6, 1e-6), cpx(0, 0)) << simdLevelName(level);
        Table z = zeros;
        std::fill(z.ar.begin(), z.ar.end(), 0.0);
        std::fill(z.ai.begin(), z.ai.end(), 0.0);
        t = z.terms(storage, true);
        EXPECT_EQ(std::abs(phaseSumKernel(level)(t, 1e-6, 1e-6)), 0.0) << simdLevelName(level);
    }
}

TEST(PhaseSumKernels, NonFinitePhaseGivesNan)
{
    Table table(8, 1.0, 3);
    table.rz[2] = std::numeric_limits<double>::infinity();
    for (const SimdLevel level : availableLevels()) {
        std::vector<double> storage;
        const cpx got = phaseSumKernel(level)(table.terms(storage, true), 0.0, 0.0);
        EXPECT_TRUE(std::isnan(got.real()) && std::isnan(got.imag())) << simdLevelName(level);
    }
}

TEST(PhaseSumKernels, TheWidestLevelThisProcessorRunsIsChosen)
{
    SimdLevel expected = SimdLevel::SSE2;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        expected = SimdLevel::AVX2;
    if (__builtin_cpu_supports("avx512f"))
        expected = SimdLevel::AVX512F;
    EXPECT_EQ(bestSimdLevel(), expected) << simdLevelName(bestSimdLevel());
    EXPECT_NE(phaseSumKernel(expected), nullptr);
}
