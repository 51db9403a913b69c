// Cross-section files, results file, field comparison, conversion, allocation check.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "driver.h"
#include "testutil.h"

using testutil::readFile;
using testutil::TempDir;

namespace {
const double inf = std::numeric_limits<double>::infinity();
const double nan_ = std::numeric_limits<double>::quiet_NaN();
} // namespace

TEST(StoreArray, OrientationsOfA3x2Volume)
{
    TempDir dir;
    const double v[] = {1, 2, 3, 4, 5, 6}; // nx = 3, ny = 2, nz = 1
    store_array(v, 1, 2, 3, "xy.csv", XY, 0);
    EXPECT_EQ(readFile("xy.csv"), "1,2,3,\n4,5,6,\n\n");
    EXPECT_EQ(readFile("xy.csv").size(), 15u);
    store_array(v, 1, 2, 3, "xz.csv", XZ, 1);
    EXPECT_EQ(readFile("xz.csv"), "4,5,6,\n\n");
    store_array(v, 1, 2, 3, "yz.csv", YZ, 2);
    EXPECT_EQ(readFile("yz.csv"), "3,6,\n\n");
    store_array(v, 1, 2, 3, "yzall.csv", YZ, -1);
    EXPECT_EQ(readFile("yzall.csv"), "1,4,\n\n2,5,\n\n3,6,\n\n");
    // The order of the two letters changes nothing; unknown values give XY.
    store_array(v, 1, 2, 3, "zy.csv", ZY, -1);
    EXPECT_EQ(readFile("zy.csv"), readFile("yzall.csv"));
    store_array(v, 1, 2, 3, "yx.csv", YX, 0);
    EXPECT_EQ(readFile("yx.csv"), readFile("xy.csv"));
    store_array(v, 1, 2, 3, "odd.csv", static_cast<plane>(17), 0);
    EXPECT_EQ(readFile("odd.csv"), readFile("xy.csv"));
}

TEST(StoreArray, AllPlanesOfXZ)
{
    TempDir dir;
    // nx = 2, ny = 3, nz = 2: value = 100k + 10j + i
    double v[12];
    for (int k = 0; k < 2; ++k)
        for (int j = 0; j < 3; ++j)
            for (int i = 0; i < 2; ++i)
                v[k * 6 + j * 2 + i] = 100 * k + 10 * j + i;
    store_array(v, 2, 3, 2, "xz.csv", XZ, -1);
    EXPECT_EQ(readFile("xz.csv"), "0,1,\n100,101,\n\n10,11,\n110,111,\n\n20,21,\n120,121,\n\n");
    store_array(v, 2, 3, 2, "xy1.csv", XY, 1);
    EXPECT_EQ(readFile("xy1.csv"), "100,101,\n110,111,\n120,121,\n\n");
}

TEST(StoreArray, ElementTypesAndNumberFormat)
{
    TempDir dir;
    const cpx c[] = {cpx(1.5, 2), cpx(1.0 / 3, 9), cpx(0.0001, 0), cpx(0.00001, 0),
                     cpx(100000, 0), cpx(1234567, 0), cpx(-0.0, 0), cpx(inf, 0)};
    store_array(c, 1, 1, 8, "c.csv", XY, 0);
    EXPECT_EQ(readFile("c.csv"), "1.5,0.333333,0.0001,1e-05,100000,1.23457e+06,-0,inf,\n\n");
    const double2 d[] = {{1.5, 2}, {2.0, -1}};
    store_array(d, 1, 1, 2, "d.csv", XY, 0);
    EXPECT_EQ(readFile("d.csv"), "1.5,2,\n\n");
}

TEST(StoreArray, EmptyAndReplaced)
{
    TempDir dir;
    testutil::writeFile("f.csv", "old content that is longer than the new one");
    const double v[] = {7};
    store_array(v, 1, 1, 1, "f.csv", XY, 0);
    EXPECT_EQ(readFile("f.csv"), "7,\n\n");
    store_array(v, 0, 1, 1, "f.csv", XY, 0); // no plane along z
    EXPECT_EQ(readFile("f.csv"), "");
    store_array(v, 0, 1, 1, "g.csv", XY, -1);
    EXPECT_TRUE(testutil::fileExists("g.csv"));
    // An unwritable name is reported to the caller.
    EXPECT_FALSE(store_array(v, 1, 1, 1, "/nonexistent/dir/f.csv", XY, 0));
    EXPECT_TRUE(store_array(v, 1, 1, 1, "f.csv", XY, 0));
}

TEST(PlaneCount, ByOrientation)
{
    EXPECT_EQ(planeCount(XY, 5, 3, 2), 5);
    EXPECT_EQ(planeCount(XZ, 5, 3, 2), 3);
    EXPECT_EQ(planeCount(YZ, 5, 3, 2), 2);
}

TEST(StoreResults, HeaderOnceThenRows)
{
    TempDir dir;
    store_results("r.csv", "sys.txt", 0, 16, 8, 64, 64, 12.5, -1, -1);
    EXPECT_EQ(readFile("r.csv"),
              "cfile;kernel_id;block_size;nz;ny;nx;kernel_time;cpu_time;err-max;speed-up\n"
              "sys.txt;0;16;8;64;64;12.5;-1;-1;-0.08\n");
    // A name that would split the row is quoted, inner quotes doubled.
    store_results("r.csv", "a;b", 1, 32, 1, 2, 3, 0, 5, inf);
    store_results("r.csv", "say \"x\"\r\n.cfg", 0, 16, 1, 1, 1, 1, 1, 1);
    const std::string text = readFile("r.csv");
    EXPECT_EQ(text.substr(text.find("\"a;b")),
              "\"a;b\";1;32;1;2;3;0;5;inf;inf\n\"say \"\"x\"\"\r\n.cfg\";0;16;1;1;1;1;1;1;1\n");

    testutil::writeFile("empty.csv", "");
    store_results("empty.csv", "x", 0, 16, 1, 1, 1, 1.5e6, 0.0000123, 0);
    EXPECT_EQ(readFile("empty.csv"), "x;0;16;1;1;1;1.5e+06;1.23e-05;0;8.2e-12\n");

    EXPECT_FALSE(store_results("", "x", 0, 16, 1, 1, 1, 1, 1, 1));
    store_results("zero.csv", "x", 0, 16, 1, 1, 1, 0, 0, 0);
    const std::string z = readFile("zero.csv");
    EXPECT_NE(z.find("nan\n"), std::string::npos);
}

TEST(Compare, RelativeDeviation)
{
    const cpx cpu1[] = {cpx(1, 0)};
    const double2 gpu1[] = {{1.1, 0}};
    EXPECT_NEAR(compare(gpu1, cpu1, 1, 1, 1), 0.1, 1e-12);
    const cpx cpu2[] = {cpx(0, 2)};
    const double2 gpu2[] = {{1, 2}};
    EXPECT_DOUBLE_EQ(compare(gpu2, cpu2, 1, 1, 1), 0.5);
    const cpx same[] = {cpx(1, 2), cpx(-3, 0.5)};
    const double2 sameg[] = {{1, 2}, {-3, 0.5}};
    EXPECT_EQ(compare(sameg, same, 1, 1, 2), 0.0);
}

TEST(Compare, ZeroAndNonFiniteSamples)
{
    const cpx cpu[] = {cpx(1, 0), cpx(0, 0)};
    const double2 skipZero[] = {{1.5, 0}, {0, 0}};
    EXPECT_DOUBLE_EQ(compare(skipZero, cpu, 1, 1, 2), 0.5);
    const double2 overZero[] = {{1.5, 0}, {0.25, 0}};
    EXPECT_EQ(compare(overZero, cpu, 1, 1, 2), inf);
    // A NaN part on one side only is an infinite deviation; on both sides it is passed over.
    const cpx cpu3[] = {cpx(1, 0), cpx(2, 0)};
    const double2 withNan[] = {{3, 0}, {2, nan_}};
    EXPECT_EQ(compare(withNan, cpu3, 1, 1, 2), inf);
    const double2 allNan[] = {{nan_, 0}, {nan_, 0}};
    EXPECT_EQ(compare(allNan, cpu3, 1, 1, 2), inf);
    const cpx cpuNan[] = {cpx(nan_, 0), cpx(2, 0)};
    EXPECT_EQ(compare(skipZero, cpuNan, 1, 1, 2), inf);
    const double2 bothNan[] = {{0, nan_}, {3, 0}};
    EXPECT_DOUBLE_EQ(compare(bothNan, cpuNan, 1, 1, 2), 0.5);
    // Infinities: the same values part by part agree, anything else is an infinite deviation.
    const cpx cpuInf[] = {cpx(inf, 0), cpx(2, -inf), cpx(1, 0)};
    const double2 sameInf[] = {{inf, 0}, {2, -inf}, {1.5, 0}};
    EXPECT_DOUBLE_EQ(compare(sameInf, cpuInf, 1, 1, 3), 0.5);
    const double2 finiteOverInf[] = {{1, 0}, {2, -inf}, {1, 0}};
    EXPECT_EQ(compare(finiteOverInf, cpuInf, 1, 1, 3), inf);
    const double2 oppositeInf[] = {{-inf, 0}, {2, -inf}, {1, 0}};
    EXPECT_EQ(compare(oppositeInf, cpuInf, 1, 1, 3), inf);
    const double2 otherPart[] = {{inf, 0}, {3, -inf}, {1, 0}};
    EXPECT_EQ(compare(otherPart, cpuInf, 1, 1, 3), inf);
    const double2 nanAndInf[] = {{nan_, inf}, {2, -inf}, {1, 0}};
    const cpx cpuNanAndInf[] = {cpx(nan_, 0), cpx(2, -inf), cpx(1, 0)};
    EXPECT_EQ(compare(nanAndInf, cpuNanAndInf, 1, 1, 3), 0.0);
    EXPECT_EQ(compare(nullptr, nullptr, 0, 1, 1), 0.0);
    EXPECT_EQ(compare(nullptr, nullptr, 1, -1, 1), 0.0);
}

TEST(Convert, RealToXImaginaryToY)
{
    const cpx src[] = {cpx(1.5, -2), cpx(0, 3)};
    double2 dest[2] = {{9, 9}, {9, 9}};
    convert(src, dest, 2);
    EXPECT_EQ(dest[0].x, 1.5);
    EXPECT_EQ(dest[0].y, -2);
    EXPECT_EQ(dest[1].y, 3);
    double2 untouched = {7, 7};
    convert(src, &untouched, 0);
    EXPECT_EQ(untouched.x, 7);
}

TEST(Check, ReportsOnlyNull)
{
    testing::internal::CaptureStdout();
    check(static_cast<const cpx *>(nullptr), "KX");
    const double d = 0;
    check(&d, "X");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error - Memory allocation KX\n");
}

TEST(NextPow2, SmallestPowerNotBelow)
{
    EXPECT_EQ(nextpow2(0.3), 1);
    EXPECT_EQ(nextpow2(1), 1);
    EXPECT_EQ(nextpow2(-5), 1);
    EXPECT_EQ(nextpow2(nan_), 1);
    EXPECT_EQ(nextpow2(1.5), 2);
    EXPECT_EQ(nextpow2(2), 2);
    EXPECT_EQ(nextpow2(3), 4);
    EXPECT_EQ(nextpow2(1000), 1024);
}

TEST(FluxProfile, RatiosToPlaneZero)
{
    TempDir dir;
    const double F[] = {1, 1, 0.5, 0.5, 0.25, 0.75}; // nx = 2, ny = 1, nz = 3
    testing::internal::CaptureStdout();
    EXPECT_TRUE(store_flux_profile(F, 3, 1, 2, "z.csv", "\t[CPU] flux0: ... \t ", false));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\t[CPU] flux0: ... \t 2\n");
    EXPECT_EQ(readFile("z.csv"), "\n1,0.5,0.5\n");
    store_flux_profile(F, 1, 1, 2, "one.csv", "", true);
    EXPECT_EQ(readFile("one.csv"), "\n1\n");
    const double zero[] = {0, 0, 1, 0};
    store_flux_profile(zero, 2, 1, 2, "nan.csv", "", true);
    EXPECT_EQ(readFile("nan.csv"), "\n-nan,inf\n");
}
