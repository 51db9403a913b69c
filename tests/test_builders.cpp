// Component geometry builders and the configuration check.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "system.h"

namespace {

const cpx IN(2.0, 0.1), OUT(1.2, 0.0), UNSET(-7.0, -7.0);

sysOptions grid(int nx, int ny, int nz, double d = 1.0, double f = 1.0)
{
    sysOptions so;
    so.reset();
    so.nx = nx, so.ny = ny, so.nz = nz;
    so.dx = so.dy = so.dz = d;
    so.f = f;
    return so;
}

layer part(component t, double z)
{
    layer l;
    l.reset();
    l.t = t, l.z = z;
    l.n = IN.real(), l.k = IN.imag(), l.ne = OUT.real(), l.ke = OUT.imag();
    return l;
}

struct Volume {
    int nx, ny;
    std::vector<cpx> v;
    explicit Volume(const sysOptions &so) : nx(so.nx), ny(so.ny), v(size_t(so.nx) * so.ny * so.nz, UNSET) {}
    cpx &at(int i, int j, int k) { return v[size_t(k) * nx * ny + j * nx + i]; }
    int count(int k, const cpx &val)
    {
        int c = 0;
        for (int s = 0; s < nx * ny; ++s)
            c += v[size_t(k) * nx * ny + s] == val;
        return c;
    }
};

// Result and console text of checkSystem.
std::pair<bool, std::string> check(const sysOptions &so, const std::vector<layer> &ls, bool quiet = false)
{
    testing::internal::CaptureStdout();
    const bool ok = checkSystem(&so, ls, quiet);
    return {ok, testing::internal::GetCapturedStdout()};
}

} // namespace

TEST(BuilderPlanes, CeilingClippingAndZeroPitch)
{
    sysOptions so = grid(2, 2, 5);
    Volume N(so);
    EXPECT_EQ(init_homog_system(N.v.data(), &so, part(HOMOG, 2.5)), 3);  // 2.5 pitches: 3 planes
    EXPECT_EQ(N.count(2, IN), 4);
    EXPECT_EQ(N.count(3, UNSET), 4);
    EXPECT_EQ(init_homog_system(N.v.data(), &so, part(HOMOG, 0.0)), 0);
    so.izlast = 3;
    EXPECT_EQ(init_lens_system(N.v.data(), &so, part(LENS, 4.0)), 2);  // cut at the last plane
    so.izlast = 5;
    EXPECT_EQ(init_grating_system(N.v.data(), &so, part(GRATING, 2.0)), 0);
    // A zero pitch is one metre: 1e6 micrometres.
    so = grid(8, 8, 5, 0.0, 1e-6);
    Volume W(so);
    EXPECT_EQ(init_homog_system(W.v.data(), &so, part(HOMOG, 2.5e6)), 3);
    layer wg = part(WGUIDE, 1e6);
    wg.r = 1.5e6;
    EXPECT_EQ(init_wguide_system(W.v.data(), &so, wg), 1);
    EXPECT_EQ(W.count(0, IN), 9);
    EXPECT_EQ(W.at(3, 3, 0), IN);
}

TEST(BuilderPlanes, AsphereAndMzehnderClaimWithoutWriting)
{
    sysOptions so = grid(2, 2, 6);
    so.izlast = 1;
    Volume N(so);
    EXPECT_EQ(init_asphere_system(N.v.data(), &so, part(ASPHERE, 2.0)), 2);
    EXPECT_EQ(init_mzehnder_system(N.v.data(), &so, part(MZEHNDER, 9.0)), 5);
    EXPECT_EQ(N.v, std::vector<cpx>(24, UNSET));
}

TEST(Grating, MirroredStripeLattice)
{
    sysOptions so = grid(8, 8, 2);
    Volume N(so);
    layer g = part(GRATING, 2.0);
    g.px = g.py = 8.0;
    g.wx = g.wy = 2.0;
    ASSERT_EQ(init_grating_system(N.v.data(), &so, g), 2);
    // Samples 0, 1, 6, 7 are off the stripes along each axis: outside material in the corners.
    for (int k = 0; k < 2; ++k)
        for (int j = 0; j < 8; ++j)
            for (int i = 0; i < 8; ++i)
                EXPECT_EQ(N.at(i, j, k), ((i < 2 || i > 5) && (j < 2 || j > 5)) ? OUT : IN) << i << j << k;
    g.px = g.py = 4.0;  // no remainder exceeds the half width
    init_grating_system(N.v.data(), &so, g);
    EXPECT_EQ(N.count(0, IN), 64);
    g.px = g.py = 0.0;  // refused by checkSystem; the builder still terminates
    init_grating_system(N.v.data(), &so, g);
    EXPECT_EQ(N.count(1, IN), 64);
}

TEST(Waveguide, CircularCoreInclusiveRadius)
{
    sysOptions so = grid(8, 8, 2);
    Volume N(so);
    layer wg = part(WGUIDE, 2.0);
    wg.r = 1.5;
    init_wguide_system(N.v.data(), &so, wg);
    for (int j = 0; j < 8; ++j)
        for (int i = 0; i < 8; ++i)
            EXPECT_EQ(N.at(i, j, 1), (i >= 3 && i <= 5 && j >= 3 && j <= 5) ? IN : OUT) << i << j;
    // Offset centre (6, 3); a sample at exactly r is inside.
    wg.r = 1.0, wg.x = 2.0, wg.y = -1.0;
    init_wguide_system(N.v.data(), &so, wg);
    EXPECT_EQ(N.count(0, IN), 5);
    EXPECT_EQ(N.at(7, 3, 0), IN);
    EXPECT_EQ(N.at(7, 4, 0), OUT);
}

TEST(Taper, RadiusStepsOverTheClaimedPlanes)
{
    // Radii 1, 1.5, 2, 2.5 around (4, 4): 5, 9, 13, 21 samples inside.
    sysOptions so = grid(8, 8, 4);
    Volume N(so);
    layer tp = part(TAPER, 4.0);
    tp.rin = 1.0, tp.rout = 3.0;
    ASSERT_EQ(init_taper_system(N.v.data(), &so, tp), 4);
    const int want[] = {5, 9, 13, 21};
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(N.count(k, IN), want[k]) << k;
    so.izlast = 2;  // cut to 2 planes: radii 1 and 2
    ASSERT_EQ(init_taper_system(N.v.data(), &so, tp), 2);
    EXPECT_EQ(N.count(2, IN), 5);
    EXPECT_EQ(N.count(3, IN), 13);
}

TEST(Lens, DiscOrderFollowsTheSignOfR)
{
    // The unit factor does not enter the lens; 29 lattice points have u^2 + v^2 <= 9.
    sysOptions so = grid(8, 8, 6, 1.0, 1e-6);
    Volume N(so);
    layer ln = part(LENS, 4.0);
    ln.r = 3.0;
    ASSERT_EQ(init_lens_system(N.v.data(), &so, ln), 4);
    EXPECT_EQ(N.count(0, IN), 29);
    EXPECT_EQ(N.count(3, IN), 1);
    EXPECT_EQ(N.at(4, 4, 3), IN);
    ln.r = -3.0;
    so.izlast = 2;
    ASSERT_EQ(init_lens_system(N.v.data(), &so, ln), 4);
    EXPECT_EQ(N.count(2, IN), 1);
    EXPECT_EQ(N.at(4, 4, 2), IN);
    EXPECT_EQ(N.count(5, IN), 29);
}

TEST(Splitter, ArctangentCurve)
{
    const double ten[] = {0, 0.04489107587, 0.1143322235, 0.2317233349, 0.4466811697,
                          0.8038134768, 1.160945784, 1.375903619, 1.49329473, 1.562735878};
    for (int s = 0; s < 10; ++s)
        EXPECT_NEAR(splitter_shape(s, 10), ten[s], 1e-9) << s;
    const double four[] = {0, 0.1647205496, 0.8038134768, 1.442906404};
    for (int s = 0; s < 4; ++s)
        EXPECT_NEAR(splitter_shape(s, 4), four[s], 1e-9) << s;
}

TEST(Splitter, CoreFollowsTheCurveWithinSqrtTwoRadius)
{
    // One row; the centre starts at x = 4 and moves by 10 * shape; radius 1.
    sysOptions so = grid(32, 1, 4);
    Volume N(so);
    layer sp = part(SPLITTER, 4.0);
    sp.x = -12.0, sp.y = -0.5, sp.wx = 10.0, sp.rin = sp.rout = 1.0;
    ASSERT_EQ(init_splitter_system(N.v.data(), &so, sp), 4);
    const std::vector<std::vector<int>> inside = {{3, 4, 5}, {5, 6, 7}, {11, 12, 13}, {18, 19}};
    for (int k = 0; k < 4; ++k) {
        std::vector<int> got;
        for (int i = 0; i < 32; ++i)
            if (N.at(i, 0, k) == IN)
                got.push_back(i);
        EXPECT_EQ(got, inside[k]) << "plane " << k;
        EXPECT_EQ(N.count(k, OUT), 32 - int(got.size()));
    }
    // Fixed centre x = 16, radius 1, 1.5, 2, 2.5: inside where (i - 16)^2 <= 2 rad^2.
    sp.x = sp.wx = 0.0, sp.rout = 3.0;
    init_splitter_system(N.v.data(), &so, sp);
    const int want[] = {3, 5, 5, 7};
    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(N.count(k, IN), want[k]) << k;
}

TEST(SystemCheck, SoundConfigurationPassesSilently)
{
    layer g = part(GRATING, 2.0);
    g.px = 2.0, g.py = 1.5;  // ceil(1.5) = 2 samples
    EXPECT_EQ(check(grid(8, 1, 5), {part(HOMOG, 1.0), g, part(LENS, 1.0)}),
              std::make_pair(true, std::string()));
    EXPECT_TRUE(check(grid(1, 8, 1), {}).first);
    EXPECT_TRUE(check(grid(2, 1, 1073741823), {}).first);
}

TEST(SystemCheck, RefusedGlobalsNameTheKey)
{
    struct Case { sysOptions so; const char *text; };
    sysOptions negZ = grid(8, 8, 4);
    negZ.z = -5.0;
    const Case cases[] = {
        {grid(8, 8, 0), "[global] nz = 0: every sample count must be at least 1."},
        {grid(-2, 8, 4), "[global] nx = -2: every sample count must be at least 1."},
        {grid(8, 0, 4), "[global] ny = 0: every sample count must be at least 1."},
        {grid(7, 8, 4), "[global] nx = 7: the count must be even, or 1."},
        {grid(8, 3, 4), "[global] ny = 3: the count must be even, or 1."},
        {grid(1024, 1024, 2048), "[global] nx*ny*nz = 2147483648 samples: at most 2147483647 fit the volume indexing."},
        // A product beyond the range of long long is refused, not overflowed.
        {grid(2147483646, 2147483646, 2147483647), "[global] nx*ny*nz = 9.90352e+27 samples: at most 2147483647 fit the volume indexing."},
        {negZ, "[global] z = -5: the extent must not be negative."},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(check(c.so, {}), std::make_pair(false, "\033[31m[E] Error! " + std::string(c.text) + "\033[0m\n"));
        EXPECT_EQ(check(c.so, {}, true), std::make_pair(false, std::string()));
    }
}

TEST(SystemCheck, RefusedLayersNameTheirPosition)
{
    sysOptions so = grid(8, 8, 4, 0.5);
    layer g = part(GRATING, 1.0);
    layer g1 = g;
    g1.px = 0.5, g1.py = 1.0;  // one sample along x
    layer g2 = g;
    g2.px = 1.0;
    const std::pair<std::vector<layer>, const char *> cases[] = {
        {{part(HOMOG, 1.0), part(GRATING, -1.0)}, "layer 2 (grating): z = -1: the thickness must be a number, not negative."},
        {{part(WGUIDE, std::nan(""))}, "layer 1 (waveguide): z = nan: the thickness must be a number, not negative."},
        {{g}, "layer 1 (grating): px = 0: the period must span at least 2 samples of 0.5 along x."},
        {{g1}, "layer 1 (grating): px = 0.5: the period must span at least 2 samples of 0.5 along x."},
        {{part(TAPER, 1.0), part(HOMOG, 0.0), g2}, "layer 3 (grating): py = 0: the period must span at least 2 samples of 0.5 along y."},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(check(so, c.first), std::make_pair(false, "\033[31m[E] Error! " + std::string(c.second) + "\033[0m\n"));
        EXPECT_EQ(check(so, c.first, true), std::make_pair(false, std::string()));
    }
    // Periods are counted in the builders' pitch: a zero pitch is 1e6 micrometres.
    g.px = g.py = 2e6;
    EXPECT_TRUE(check(grid(8, 8, 4, 0.0, 1e-6), {g}).first);
    g.py = 1e6;
    EXPECT_FALSE(check(grid(8, 8, 4, 0.0, 1e-6), {g}).first);
    // A lens needs a plane pitch; other components take a zero one as a metre.
    so.dz = 0.0;
    EXPECT_TRUE(check(so, {part(HOMOG, 1.0)}).first);
    EXPECT_EQ(check(so, {part(HOMOG, 1.0), part(LENS, 1.0)}).second,
              "\033[31m[E] Error! layer 2 (lens): the plane pitch dz is 0; give the extent z in [global].\033[0m\n");
}
