// The restructured CPU propagation against the literal direct summation, and the
// vectorised phase-sum kernels on their own.
#include <gtest/gtest.h>

#include <sys/resource.h>

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
#include "wpm_sum.h"

#include <cblas.h>

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
    Lens,        // a disc growing from plane to plane: pairs on sub-blocks and a ring
};

const char *name(Medium m)
{
    switch (m) {
    case Medium::Homogeneous: return "homogeneous";
    case Medium::Absorbing: return "absorbing";
    case Medium::Grating: return "grating";
    case Medium::Random: return "random";
    case Medium::Lens: return "lens";
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
                    case Medium::Lens: {
                        const double x = i - nx / 2 + 0.5, y = j - ny / 2 + 0.5, r = 2.0 + k;
                        n(i, j, k) = x * x + y * y <= r * r ? cpx(1.6, 0.001) : cpx(1.0, 0.0);
                        break;
                    }
                    }
                }
            }
        }
        for (int m = 0; m < plane(); ++m)
            E[m] = cpx(rng.uniform() - 0.5, rng.uniform() - 0.5);
    }
    // A few plane waves on grid frequencies: a sparse spectrum, rows and columns of it empty.
    void fewWaves()
    {
        const int waves[][2] = {{0, 0}, {1, 2}, {-3, 1}, {2, -2}};
        std::fill(E.begin(), E.begin() + plane(), cpx(0, 0));
        for (const auto &w : waves)
            for (int j = 0; j < ny; ++j)
                for (int i = 0; i < nx; ++i)
                    E[at(i, j, 0)] += std::exp(cpx(0.0, KX[(w[0] + nx) % nx].real() * X[i] +
                                                            KY[(w[1] + ny) % ny].real() * Y[j]));
    }
};

struct Options {
    polarization pol;
    bool evanescent;
    bool magnetic;
    double dz;
};

void production(Volume &v, const Options &o, const SumChoice &choice = SumChoice())
{
    vormel_3D(v.E.data(), v.F.data(), v.N.data(), v.KX.data(), v.X.data(), v.KY.data(),
              v.Y.data(), kK0, o.dz, kPitch, kPitch, v.nz, v.ny, v.nx, o.evanescent, o.magnetic,
              o.pol, choice);
}

// The default evaluation, the direct sum, and the separable products in either order.
struct Path {
    const char *name;
    SumChoice choice;
};
const std::vector<Path> kDefault = {{"default", {}}};
const std::vector<Path> kEveryPath = {{"default", {}},
                                      {"direct", {SumPath::Direct, ProductOrder::Cheaper}},
                                      {"x first", {SumPath::Products, ProductOrder::XFirst}},
                                      {"y first", {SumPath::Products, ProductOrder::YFirst}}};

void literal(Volume &v, const Options &o)
{
    ref::vormel_3D_literal(v.E.data(), v.F.data(), v.N.data(), v.KX.data(), v.X.data(),
                           v.KY.data(), v.Y.data(), kK0, o.dz, kPitch, kPitch, v.nz, v.ny, v.nx,
                           o.evanescent, o.magnetic, o.pol);
}

// Every plane within 1e-13 of the literal summation, E and F each relative to the
// plane's largest value; plane 1 comes from the same spectrum, so its flux (every
// threshold, evanescent and Fresnel decision in it) is the same bits.
void expectMatchesLiteral(Volume base, const Options &o, const std::string &label,
                          const std::vector<Path> &paths = kEveryPath)
{
    Volume lit = base;
    literal(lit, o);
    const int nxy = base.plane();
    for (const Path &path : paths) {
        const std::string what = label + " (" + path.name + ")";
        Volume fast = base;
        production(fast, o, path.choice);
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
}

class FastPropagation : public ::testing::Test {
protected:
    testutil::TempDir dir; // wisdom file
};

} // namespace

TEST_F(FastPropagation, MatchesTheLiteralSummationOnEveryMediumAndOption)
{
    for (const Medium medium : {Medium::Homogeneous, Medium::Absorbing, Medium::Grating,
                                Medium::Random, Medium::Lens}) {
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
        expectMatchesLiteral(base, {TE, true, false, dz}, "dz " + std::to_string(dz), kDefault);
    }
}

TEST_F(FastPropagation, SparseSpectraOnEveryPath)
{
    // Four plane waves: most frequency rows and columns are empty and are left out of
    // the products; the lens puts pairs on blocks of rows and columns.
    for (const Medium medium : {Medium::Homogeneous, Medium::Lens}) {
        Volume base(16, 12, 3);
        base.fill(medium, 4);
        base.fewWaves();
        for (const polarization pol : {NA, TM})
            expectMatchesLiteral(base, {pol, true, false, 0.3e-6},
                                 std::string("few waves ") + name(medium) + " pol " + std::to_string(pol));
    }
}

TEST_F(FastPropagation, NarrowAndOneDimensionalGridsOnEveryPath)
{
    const int shapes[][2] = {{1, 16}, {2, 32}, {24, 4}};
    for (const auto &shape : shapes) {
        Volume base(shape[0], shape[1], 3);
        base.fill(Medium::Grating, 10);
        expectMatchesLiteral(base, {TE, true, false, 0.3e-6},
                             std::to_string(shape[0]) + "x" + std::to_string(shape[1]));
    }
}

TEST_F(FastPropagation, FrequenciesThatAreNotExactNegativesTakeTheirOwnRoots)
{
    // +k and -k slightly apart: components of one class (+-p, +-q) then differ in
    // kxy_sq, and each must get its own kz, Fresnel factor and flux, to the bit.
    Volume base(8, 6, 3);
    base.fill(Medium::Grating, 9);
    for (int p = base.nx / 2 + 1; p < base.nx; ++p)
        base.KX[p] *= 1.0 + 1e-9;
    for (int q = base.ny / 2 + 1; q < base.ny; ++q)
        base.KY[q] *= 1.0 - 1e-9;
    for (const polarization pol : {TE, TM})
        expectMatchesLiteral(base, {pol, true, false, 0.3e-6}, "uneven grid pol " + std::to_string(pol));
}

TEST_F(FastPropagation, ThresholdOnTheDiagonalIsTheModulusDecision)
{
    // A sample (a, a) at the origin gives coefficients of about (a, a), moduli spread a
    // little around r by a second, tiny sample: both parts near 0.7071e-4, where only the
    // modulus can tell a kept coefficient from a dropped one.
    for (const double r : {1e-4 * (1.0 - 1e-9), 1e-4 * (1.0 + 1e-9), 1e-4 * (1.0 + 1e-3)}) {
        Volume base(8, 8, 2);
        base.fill(Medium::Homogeneous, 13);
        std::fill(base.E.begin(), base.E.begin() + base.plane(), cpx(0.0, 0.0));
        const double a = r / std::sqrt(2.0);
        base.E[0] = cpx(a, a);
        base.E[1] = cpx(1e-12, -1e-12);
        expectMatchesLiteral(base, {NA, true, false, 0.3e-6}, "diagonal r " + std::to_string(r / 1e-4), kDefault);
    }
}

TEST_F(FastPropagation, GridsTakeTheProductsWhereTheirBuffersFitAndCanPay)
{
    // The products' buffers may take 1 GiB, or twice what a run holds: large grids that are
    // not square and strips of few planes keep them; 2 x 8192 (tables of 2 GiB) only once
    // its volumes hold 1 GiB; a grid on which no pair can pay never builds them.
    EXPECT_TRUE(separableTaken(1024, 1026, 2));
    EXPECT_TRUE(separableTaken(4096, 1024, 2));
    EXPECT_TRUE(separableTaken(4096, 4096, 2));
    EXPECT_TRUE(separableTaken(2048, 64, 4));
    EXPECT_TRUE(separableTaken(4096, 32, 4));
    EXPECT_TRUE(separableTaken(2, 2048, 2));
    EXPECT_FALSE(separableTaken(8192, 16, 4));
    EXPECT_FALSE(separableTaken(2, 8192, 1600));
    EXPECT_TRUE(separableTaken(2, 8192, 1700));
    EXPECT_FALSE(separableTaken(1, 16, 2));
    // Sizes saturate: the square of a side of 2^30 is no size at all, not a small one.
    EXPECT_EQ(SeparableSum::bytes(759250125, 1), SIZE_MAX);
    EXPECT_FALSE(separableTaken(1073741822, 1, 2));

    // On a strip, tables of 16 MiB: a random field's one step pays for them, and takes the
    // products, bit for bit; a few plane waves never do, and take the direct sum, bit for bit.
    const Options o{NA, true, false, 0.3e-6};
    for (const bool waves : {false, true}) {
        Volume strip(1024, 8, 2);
        strip.fill(Medium::Homogeneous, 14);
        if (waves)
            strip.fewWaves();
        Volume chosen = strip, products = strip, directStrip = strip;
        production(chosen, o);
        production(products, o, {SumPath::Products, ProductOrder::Cheaper});
        production(directStrip, o, {SumPath::Direct, ProductOrder::Cheaper});
        EXPECT_EQ(chosen.E, waves ? directStrip.E : products.E) << waves;
        EXPECT_NE(products.E, directStrip.E) << waves; // else the test shows nothing
    }
    // Nor does the run's memory check count them: tables of 518 MiB are no need of a strip.
    EXPECT_LT(vormelMemory(4096, 32, 4).mapped, SeparableSum::bytes(4096, 32) / 8);

    // 1 x 6144: tables of 1.1 GiB; forced products must fall back to the direct sum.
    Volume base(1, 6144, 2);
    base.fill(Medium::Homogeneous, 11);
    Volume forced = base, direct = base;
    production(forced, o, {SumPath::Products, ProductOrder::Cheaper});
    production(direct, o, {SumPath::Direct, ProductOrder::Cheaper});
    EXPECT_EQ(forced.E, direct.E);
}

TEST_F(FastPropagation, TablesAreMadeOnlyWhereTheyFit)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer cannot run under an address-space limit";
#else
    // Under an address-space limit that leaves no room for the tables and the BLAS library's
    // buffer, pairs that would take the products take the direct sum, forced ones too: the
    // run never fails for them.
    const Options o{TE, true, false, 0.3e-6};
    Volume dense(64, 64, 2);
    dense.fill(Medium::Homogeneous, 6);
    Volume denseDirect = dense, denseProducts = dense;
    production(denseDirect, o, {SumPath::Direct, ProductOrder::Cheaper});
    production(denseProducts, o);
    ASSERT_NE(denseProducts.E, denseDirect.E); // else the test shows nothing
    const pid_t pid = fork();
    if (pid == 0) {
        long pages = 0; // what the process maps now
        std::ifstream("/proc/self/statm") >> pages;
        const rlim_t limit = pages * sysconf(_SC_PAGESIZE) + (64 << 20);
        const struct rlimit lim = {limit, limit};
        setrlimit(RLIMIT_AS, &lim);
        Volume byDefault = dense, forced = dense;
        production(byDefault, o);
        production(forced, o, {SumPath::Products, ProductOrder::Cheaper});
        _exit(byDefault.E == denseDirect.E && forced.E == denseDirect.E ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
#endif
}

TEST_F(FastPropagation, LongStepsAreNoFurtherFromTheLongDoubleSumThanTheLiteralLoops)
{
    // Phases of about 1e4 and 1e9 rad: the literal loops round kx x + ky y + Re kz dz
    // before their sin and cos; the products take exp(i Re kz dz) of the term itself.
    for (const Medium medium : {Medium::Homogeneous, Medium::Grating, Medium::Lens}) {
        for (const double dz : {1e-3, 150.0}) {
            Volume base(16, 16, 2);
            base.fill(medium, 8);
            const Options o{TE, true, false, dz};
            Volume lit = base, wide = base;
            literal(lit, o);
            ref::vormel_3D_literal_as<long double>(
                wide.E.data(), wide.F.data(), wide.N.data(), wide.KX.data(), wide.X.data(),
                wide.KY.data(), wide.Y.data(), kK0, dz, wide.nz, wide.ny, wide.nx, true, false, TE);
            const double literalError = planeDeviation(lit.E, wide.E, base.plane(), 1);
            for (const Path &path : kEveryPath) {
                const std::string what = std::string(name(medium)) + " dz " + std::to_string(dz) + " " + path.name;
                Volume fast = base;
                production(fast, o, path.choice);
                const double error = planeDeviation(fast.E, wide.E, base.plane(), 1);
                EXPECT_LE(error, literalError + 1e-15) << what;
                if (path.choice.path == SumPath::Products) {
                    EXPECT_LE(error, 1e-14) << what << " (literal " << literalError << ")";
                }
                EXPECT_EQ(fast.F, lit.F) << what;
            }
        }
    }
}

TEST_F(FastPropagation, CostModelTakesProductsForLargePairsAndTheDirectSumForOneSample)
{
    // The same terms give the same bits on the same path: the default must equal the
    // products everywhere but at the lone sample, and the direct sum there.
    Volume base(16, 16, 2);
    base.fill(Medium::Homogeneous, 12);
    base.n(5, 9, 1) = cpx(1.7, 0.0);
    const Options o{TE, true, false, 0.3e-6};
    Volume chosen = base, products = base, direct = base;
    production(chosen, o);
    production(products, o, {SumPath::Products, ProductOrder::Cheaper});
    production(direct, o, {SumPath::Direct, ProductOrder::Cheaper});
    const size_t lone = base.at(5, 9, 1);
    for (size_t m = base.plane(); m < 2 * static_cast<size_t>(base.plane()); ++m)
        EXPECT_EQ(chosen.E[m], m == lone ? direct.E[m] : products.E[m]) << m - base.plane();
    EXPECT_NE(products.E[lone], direct.E[lone]); // else the test shows nothing
}

TEST_F(FastPropagation, BlasRunsOnOneThread)
{
    Volume v(8, 8, 2);
    v.fill(Medium::Homogeneous, 2);
    production(v, {NA, true, false, 0.3e-6}, {SumPath::Products, ProductOrder::Cheaper});
    EXPECT_EQ(openblas_get_num_threads(), 1);
}

TEST_F(FastPropagation, NanIndexSpreadsOnlyWhereTheLiteralSumSpreadsIt)
{
    Volume base(8, 8, 2);
    base.fill(Medium::Homogeneous, 9);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    base.n(3, 2, 1) = cpx(nan, 0.0); // an index change and a NaN root at one sample
    base.n(5, 6, 1) = cpx(1.5, nan); // absorbing with a NaN extinction
    for (int run = 0; run < 8; ++run) {
        const bool evanescent = run % 2 == 0;
        const Path &path = kEveryPath[run / 2];
        Volume fast = base, lit = base;
        production(fast, {TM, evanescent, false, 0.3e-6}, path.choice);
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
            EXPECT_EQ(fastNan, litNan) << path.name << " sample " << m - 64;
            EXPECT_EQ(std::isnan(fast.F[m]), std::isnan(lit.F[m])) << path.name << " sample " << m - 64;
            nans += litNan;
            if (!litNan) {
                EXPECT_LE(std::abs(fast.E[m] - lit.E[m]), 1e-13 * largest);
            }
        }
        EXPECT_EQ(nans, 2);
    }
}

TEST_F(FastPropagation, NonFiniteFieldOrGridSpreadsAsInTheLiteralSum)
{
    // An infinite sample makes every coefficient non-finite; a NaN frequency makes one
    // column of every table NaN. Either way no product may hide or add a NaN.
    for (int run = 0; run < 8; ++run) {
        const Path &path = kEveryPath[run % 4];
        Volume base(8, 8, 2);
        base.fill(Medium::Grating, 6);
        if (run < 4)
            base.E[base.at(2, 3, 0)] = cpx(std::numeric_limits<double>::infinity(), 0.0);
        else
            base.KX[3] = cpx(std::numeric_limits<double>::quiet_NaN(), 0.0);
        Volume fast = base, lit = base;
        production(fast, {TE, true, false, 0.3e-6}, path.choice);
        literal(lit, {TE, true, false, 0.3e-6});
        for (int m = 64; m < 128; ++m) {
            EXPECT_EQ(std::isnan(std::abs(fast.E[m])), std::isnan(std::abs(lit.E[m])))
                << path.name << " run " << run << " sample " << m - 64;
            EXPECT_EQ(std::isnan(fast.F[m]), std::isnan(lit.F[m])) << path.name << " run " << run;
        }
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

TEST(PhaseSumKernels, EveryPhasorLevelRotatesByTheAngle)
{
    // Short, long and very long angles, against long-double sin and cos.
    for (const double scale : {1.0, 1e4, 1e9, 1e15}) {
        Table table(37, scale, 7);
        for (const SimdLevel level : availableLevels()) {
            std::vector<double> re = table.ar, im = table.ai, rz = table.rz;
            ASSERT_EQ(re.size() % kPhaseTermsPad, 0u);
            // Aligned copies for the vector loads.
            std::vector<double> storage;
            const PhaseTerms t = table.terms(storage, false);
            double *ar = const_cast<double *>(t.ar), *ai = const_cast<double *>(t.ai);
            phasorKernel(level)(t.rz, ar, ai, t.count);
            for (size_t c = 0; c < re.size(); ++c) {
                const long double cs = std::cos(static_cast<long double>(rz[c]));
                const long double sn = std::sin(static_cast<long double>(rz[c]));
                const double wantRe = static_cast<double>(re[c] * cs - im[c] * sn);
                const double wantIm = static_cast<double>(re[c] * sn + im[c] * cs);
                const double bound = 4e-16 * std::hypot(re[c], im[c]);
                EXPECT_NEAR(ar[c], wantRe, bound) << simdLevelName(level) << " scale " << scale << " term " << c;
                EXPECT_NEAR(ai[c], wantIm, bound) << simdLevelName(level) << " scale " << scale << " term " << c;
            }
        }
    }
}

TEST(LongitudinalWavenumber, RealRootIsTheComplexRootBitForBit)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double k = 6.2831853e6;
    for (const double nk0 : {1.5 * k, k, 0.0, -0.0, -1.2 * k, 1e-300, 1e300, inf, nan}) {
        for (const double kxy_sq : {0.0, 0.25 * nk0 * nk0, nk0 * nk0, std::nextafter(nk0 * nk0, inf),
                                    3.0 * nk0 * nk0, 5e-324, 1e300, inf, nan}) {
            for (const bool vertical : {false, true}) {
                const cpx got = longitudinalWavenumber(nk0, kxy_sq, vertical);
                const cpx want = ref::kz(nk0, kxy_sq, vertical);
                for (const int part : {0, 1}) {
                    const double g = part ? got.imag() : got.real();
                    const double w = part ? want.imag() : want.real();
                    if (std::isnan(w)) {
                        EXPECT_TRUE(std::isnan(g)) << nk0 << " " << kxy_sq << " part " << part;
                    } else {
                        EXPECT_EQ(g, w) << nk0 << " " << kxy_sq << " part " << part;
                        EXPECT_EQ(std::signbit(g), std::signbit(w)) << nk0 << " " << kxy_sq << " part " << part;
                    }
                }
            }
        }
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
