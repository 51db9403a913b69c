// Position and frequency grids, flux zero fill, index-volume stacking, unit factor.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "wpm.h"

namespace {

const cpx UNSET(-7.0, -7.0), VACUUM(1.0, 0.0);

sysOptions grid(int nx, int ny, int nz)
{
    sysOptions so;
    so.reset();
    so.nx = nx, so.ny = ny, so.nz = nz;
    return so;
}

layer of(component t, double z, double n = 3.0)
{
    layer l;
    l.reset();
    l.t = t, l.z = z, l.n = n;
    l.px = l.py = 4.0;
    return l;
}

std::string stack(cpx *N, sysOptions *so, const std::vector<layer> &ls, bool quiet = false)
{
    testing::internal::CaptureStdout();
    init_N(N, so, &ls, quiet);
    return testing::internal::GetCapturedStdout();
}

} // namespace

TEST(Grids, CentredPositions)
{
    std::vector<double> X(5, -9.0);
    init_X(X.data(), 4, 0.5);
    EXPECT_EQ(X, (std::vector<double>{-1.0, -0.5, 0.0, 0.5, -9.0}));
    init_X(X.data(), 5, 2.0);
    EXPECT_EQ(X, (std::vector<double>{-4.0, -2.0, 0.0, 2.0, 4.0}));
    init_X(X.data(), 1, 3.0);
    EXPECT_EQ(X[0], 0.0);
    init_X(X.data(), 0, 1.0);
    init_X(X.data(), -3, 1.0);
    EXPECT_EQ(X[0], 0.0);
}

TEST(Grids, FrequenciesInFftOrder)
{
    const auto freq = [](int n, double df) {
        std::vector<cpx> F(n + 1, UNSET);
        init_F(F.data(), n, df);
        std::vector<double> re;
        for (const cpx &c : F) {
            EXPECT_EQ(c.imag(), c == UNSET ? -7.0 : 0.0);
            re.push_back(c.real());
        }
        return re;
    };
    EXPECT_EQ(freq(4, 1.0), (std::vector<double>{0, 1, -2, -1, -7}));
    EXPECT_EQ(freq(6, 0.25), (std::vector<double>{0, 0.25, 0.5, -0.75, -0.5, -0.25, -7}));
    EXPECT_EQ(freq(2, 3.0), (std::vector<double>{0, -3, -7}));
    EXPECT_EQ(freq(1, 5.0), (std::vector<double>{0, -7}));  // a 2-D run: the single frequency 0
    EXPECT_EQ(freq(5, 1.0), (std::vector<double>{0, 1, 2, -2, -1, -7}));
    EXPECT_EQ(freq(0, 1.0), (std::vector<double>{-7}));
}

TEST(FluxZero, ZeroesByTheCountsAndReports)
{
    std::vector<double> F(25, 5.0);
    sysOptions so = grid(4, 2, 3);
    testing::internal::CaptureStdout();
    init_0(F.data(), &so, false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "memory initialized zero\n");
    EXPECT_EQ(std::vector<double>(F.begin(), F.begin() + 24), std::vector<double>(24, 0.0));
    EXPECT_EQ(F[24], 5.0);
    F.assign(8, 5.0);
    so.nz = 0;
    testing::internal::CaptureStdout();
    init_0(F.data(), &so, true);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(F, std::vector<double>(8, 5.0));
}

TEST(IndexVolume, StacksInFileOrderAndClips)
{
    // Thicknesses 2, 0, 4 into 5 planes: planes 0-1, none, 2-4 (cut from 4).
    sysOptions so = grid(2, 2, 5);
    so.izlast = 7;
    std::vector<cpx> N(20, UNSET);
    const std::string line = "\t\t\t\tcreate HOMOG ... \n";
    EXPECT_EQ(stack(N.data(), &so, {of(HOMOG, 2.0, 2.0), of(HOMOG, 0.0, 3.0), of(HOMOG, 4.0, 4.0),
                                    of(HOMOG, 1.0, 5.0)}),
              line + line + line + line);
    EXPECT_EQ(so.izlast, 5);
    for (int s = 0; s < 20; ++s)
        EXPECT_EQ(N[s], cpx(s < 8 ? 2.0 : 4.0, 0.0)) << s;
}

TEST(IndexVolume, UnwrittenPlanesHoldVacuum)
{
    sysOptions so = grid(2, 2, 5);
    std::vector<cpx> N(20, UNSET);
    stack(N.data(), &so, {of(ASPHERE, 2.0), of(HOMOG, 1.0, 2.0)});
    EXPECT_EQ(so.izlast, 3);
    for (int s = 0; s < 20; ++s)
        EXPECT_EQ(N[s], s / 4 == 2 ? cpx(2.0, 0.0) : VACUUM) << s;
    N.assign(20, UNSET);
    stack(N.data(), &so, {}, true);
    EXPECT_EQ(so.izlast, 0);
    EXPECT_EQ(N, std::vector<cpx>(20, VACUUM));
}

TEST(IndexVolume, OneLinePerComponentKindQuietSameVolume)
{
    layer unknown = of(HOMOG, 5.0);
    const int kind = 9;  // outside the enumerators, as another source might give
    std::memcpy(&unknown.t, &kind, sizeof kind);
    const std::vector<layer> ls = {of(HOMOG, 1.0), of(GRATING, 1.0), of(WGUIDE, 1.0), of(TAPER, 1.0),
                                   of(LENS, 1.0), of(ASPHERE, 1.0), of(SPLITTER, 1.0),
                                   of(MZEHNDER, 1.0), unknown};
    sysOptions loud = grid(8, 8, 12), quiet = loud;
    std::vector<cpx> A(8 * 8 * 12), B(8 * 8 * 12);
    EXPECT_EQ(stack(A.data(), &loud, ls),
              "\t\t\t\tcreate HOMOG ... \n"
              "\t\t\t\tcreate GRATING ... \n"
              "\t\t\t\tcreate WGUIDE ... \n"
              "\t\t\t\tcreate TAPER ... \n"
              "\t\t\t\tcreate LENS ... \n"
              "\t\t\t\tcreate ASPHERE (not supported yet)\n"
              "\t\t\t\tcreate SPLITTER ... \n"
              "\t\t\t\tMZEHNDER (not supported yet)\n"
              "\t\t\t\t\033[31mUnknown component\033[0m\n");
    EXPECT_EQ(loud.izlast, 8);  // the unknown record claims nothing
    EXPECT_EQ(stack(B.data(), &quiet, ls, true), "");
    EXPECT_EQ(A, B);
    EXPECT_EQ(quiet.izlast, 8);
}

TEST(UnitFactor, FromTheScale)
{
    sysOptions so = grid(1, 1, 1);
    const scale s[] = {M, DM, CM, MM, UM, NM, PM, static_cast<scale>(7)};
    const double f[] = {1.0, 0.1, 0.01, 0.001, 1e-6, 1e-9, 1e-12, 1e-9};
    for (int i = 0; i < 8; ++i) {
        so.scl = s[i];
        init(&so);
        EXPECT_EQ(so.f, f[i]) << i;
    }
}
