// Configuration records, index conversions and the parser.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstring>

#include "system.h"
#include "testutil.h"

using testutil::TempDir;
using testutil::writeFile;

namespace {

struct Parsed {
    sysOptions so;
    std::vector<layer> layers;
    std::vector<emfield> waves;
    std::string out;
};

Parsed parseText(const std::string &text, bool quiet = false)
{
    TempDir dir;
    writeFile("sys.cfg", text);
    Parsed p;
    p.so.reset();
    testing::internal::CaptureStdout();
    parse("sys.cfg", &p.so, &p.layers, &p.waves, quiet);
    p.out = testing::internal::GetCapturedStdout();
    return p;
}

} // namespace

TEST(Conversions, IndexAndPermittivity)
{
    EXPECT_EQ(epsToN(cpx(3, 4)), cpx(2, 1));
    EXPECT_EQ(nToEps(cpx(2, 1)), cpx(3, 4));
    EXPECT_EQ(nToEps(cpx(1.5, 0)), cpx(2.25, 0));
    EXPECT_EQ(epsToN(cpx(-1, 0)), cpx(0, 1));
    // The sign of the imaginary part does not enter.
    EXPECT_EQ(epsToN(cpx(0, -2)), cpx(1, 1));
    EXPECT_EQ(epsToN(cpx(0, 2)), cpx(1, 1));
    EXPECT_EQ(epsToN(cpx(0, 0)), cpx(0, 0));
}

TEST(Records, ResetValues)
{
    sysOptions so;
    so.reset();
    EXPECT_EQ(so.nz, 0);
    EXPECT_EQ(so.nx, 1);
    EXPECT_EQ(so.ny, 1);
    EXPECT_EQ(so.dx, 1.0);
    EXPECT_EQ(so.dz, 1.0);
    EXPECT_EQ(so.f, 1.0);
    EXPECT_TRUE(so.evanescent);
    EXPECT_TRUE(so.efield);
    EXPECT_FALSE(so.hfield);
    EXPECT_EQ(so.mth, WPM);
    EXPECT_EQ(so.p, NA);
    EXPECT_EQ(so.scl, M);
    EXPECT_EQ(so.iterations, 1);
    EXPECT_EQ(so.workers, 0);

    layer l;
    l.reset();
    EXPECT_EQ(l.t, HOMOG);
    EXPECT_EQ(l.n, 0.0);
    EXPECT_EQ(l.dz, 0.0);
    emfield w;
    w.reset();
    EXPECT_EQ(w.s, RANDOM);
    EXPECT_EQ(w.lambda, 0.0);
}

TEST(Records, CopyTakesEveryField)
{
    sysOptions a, b;
    a.reset();
    a.sysname = "abc";
    a.nx = 17;
    a.hfield = true;
    a.f = 1e-6;
    b.reset();
    b.copy(a);
    EXPECT_EQ(b.sysname, "abc");
    EXPECT_EQ(b.nx, 17);
    EXPECT_TRUE(b.hfield);
    EXPECT_EQ(b.f, 1e-6);
}

TEST(RemoveBlanks, DeletesOnlySpaces)
{
    char s[] = " a b\tc  d ";
    EXPECT_TRUE(removeBlanks(s));
    EXPECT_STREQ(s, "ab\tcd");
    char e[] = "   ";
    removeBlanks(e);
    EXPECT_STREQ(e, "");
}

TEST(Parser, BlanksGoBeforeSplitting)
{
    Parsed p = parseText("[global]\nx = 5 6\n nx = 64 \n[/global]\n");
    EXPECT_EQ(p.so.x, 56.0);
    EXPECT_EQ(p.so.nx, 64);
    EXPECT_DOUBLE_EQ(p.so.dx, 56.0 / 64);
}

TEST(Parser, WholeNumbersInGlobalRealsElsewhere)
{
    Parsed p = parseText("[global]\nx=12.5\ny=1e3\n[/global]\n[layer]\nx=12.5\n[/layer]\n"
                         "[wave]\nx=12.5\n[/wave]\n");
    EXPECT_EQ(p.so.x, 12.0);
    EXPECT_EQ(p.so.y, 1.0);
    ASSERT_EQ(p.layers.size(), 1u);
    EXPECT_EQ(p.layers[0].x, 12.5);
    ASSERT_EQ(p.waves.size(), 1u);
    EXPECT_EQ(p.waves[0].x, 12.5);
}

TEST(Parser, FlagsAreTrueOnlyForOne)
{
    for (const char *v : {"true", "0", "yes", "01", "1.0", "1\t"}) {
        Parsed p = parseText(std::string("[global]\nevanescent=") + v + "\n[/global]\n");
        EXPECT_FALSE(p.so.evanescent) << v;
    }
    Parsed p = parseText("[global]\nevanescent=0\nevanescent=1\ncalcH=1\n[/global]\n");
    EXPECT_TRUE(p.so.evanescent);
    EXPECT_TRUE(p.so.hfield);
}

TEST(Parser, ValuesAndComments)
{
    Parsed p = parseText("[global]\nnx=64;comment\nz=;5\ny==5\n=ny=8\nnz=\nthreads=;\n[/global]\n");
    EXPECT_EQ(p.so.nx, 64);
    EXPECT_EQ(p.so.z, 5.0);
    EXPECT_EQ(p.so.y, 0.0); // the value "=5" reads as 0
    EXPECT_EQ(p.so.ny, 8);
    EXPECT_EQ(p.so.nz, 0);
    EXPECT_EQ(p.so.threads, 1);
    EXPECT_NE(p.out.find("\t\t\t\t\tnx =\t64\n"), std::string::npos);
    EXPECT_NE(p.out.find("\t\t\t\t\ty =\t=5\n"), std::string::npos);
    EXPECT_NE(p.out.find("\t\t\t\tnz\n"), std::string::npos);
}

TEST(Parser, TagForms)
{
    // "[layer]=" is the tag; "[layer];c" is not a tag at all.
    Parsed p = parseText("[layer]=\nn=2\n[/layer]\n[layer];c\nn=3\n[/layer]\n");
    ASSERT_EQ(p.layers.size(), 1u);
    EXPECT_EQ(p.layers[0].n, 2.0);
}

TEST(Parser, IntegerAndKeywordRules)
{
    Parsed p = parseText("[global]\nnx=\t32x\nny=abc\nnz=-4\nz=8\nscale=NM\nmethod=bpm\n"
                         "polarization=tm\n[/global]\n");
    EXPECT_EQ(p.so.nx, 32);
    EXPECT_EQ(p.so.ny, 0);
    EXPECT_EQ(p.so.dy, 1.0); // a zero count leaves the pitch
    EXPECT_EQ(p.so.dz, -2.0);
    EXPECT_EQ(p.so.scl, M);
    EXPECT_EQ(p.so.f, 1.0);
    EXPECT_EQ(p.so.mth, BPM);
    EXPECT_EQ(p.so.p, TM);
}

TEST(Parser, HugeIntegersAreClamped)
{
    Parsed p = parseText("[global]\nnx=99999999999999999999\nny=-99999999999999999999\n[/global]\n");
    EXPECT_EQ(p.so.nx, 2147483647);
    EXPECT_EQ(p.so.ny, -2147483647 - 1);
}

TEST(Parser, ScaleKeywordsAndFactors)
{
    const struct { const char *kw; double f; } cases[] = {
        {"m", 1.0}, {"dm", 0.1}, {"cm", 0.01}, {"mm", 0.001},
        {"um", 1e-6}, {"nm", 1e-9}, {"pm", 1e-12},
    };
    for (const auto &c : cases) {
        Parsed p = parseText(std::string("[global]\nscale=") + c.kw + "\n[/global]\n");
        EXPECT_EQ(p.so.f, c.f) << c.kw;
    }
}

TEST(Parser, PermittivityConversionAtClose)
{
    Parsed p = parseText("[global]\npermittivity=1\n[/global]\n"
                         "[layer]\nn=7\nk=7\neps_r=2.25\nepse_r=-1\n[/layer]\n");
    ASSERT_EQ(p.layers.size(), 1u);
    EXPECT_DOUBLE_EQ(p.layers[0].n, 1.5);
    EXPECT_EQ(p.layers[0].k, 0.0);
    EXPECT_EQ(p.layers[0].ne, 0.0);
    EXPECT_EQ(p.layers[0].ke, 1.0);

    Parsed q = parseText("[layer]\nn=1.5\nk=0.1\n[/layer]\n");
    ASSERT_EQ(q.layers.size(), 1u);
    EXPECT_DOUBLE_EQ(q.layers[0].eps_r, 2.24);
    EXPECT_DOUBLE_EQ(q.layers[0].eps_i, 0.3);
}

TEST(Parser, StrayClosingTagClosesNextBlockAtItsOpening)
{
    Parsed p = parseText("[/layer]\n[layer]\ntype=grating\nn=3\n[/layer]\n[layer]\nn=5\n[/layer]\n");
    // The first block is appended at its opening line with reset values; its keys are lost,
    // and its own closing tag closes the next block at its opening again.
    ASSERT_EQ(p.layers.size(), 2u);
    EXPECT_EQ(p.layers[0].t, HOMOG);
    EXPECT_EQ(p.layers[0].n, 0.0);
    EXPECT_EQ(p.layers[1].n, 0.0);
}

TEST(Parser, UnclosedWaveCarriesIntoNext)
{
    Parsed p = parseText("[wave]\nshape=plane\namp=2\n[wave]\nlambda=0.5\namp=3\n[/wave]\n[wave]\namp=9\n");
    ASSERT_EQ(p.waves.size(), 1u);
    EXPECT_EQ(p.waves[0].s, PLANE);
    EXPECT_EQ(p.waves[0].amp, 3.0);
    EXPECT_EQ(p.waves[0].lambda, 0.5);
}

TEST(Parser, EmptyFile)
{
    Parsed p = parseText("");
    EXPECT_TRUE(p.layers.empty());
    EXPECT_TRUE(p.waves.empty());
    EXPECT_EQ(p.so.dx, 0.0);
    EXPECT_EQ(p.so.dy, 0.0);
    EXPECT_EQ(p.so.dz, 1.0);
    EXPECT_EQ(p.so.f, 1.0);
    EXPECT_TRUE(p.so.updated);
    EXPECT_EQ(p.so.sysname, "sys.cfg");
    EXPECT_TRUE(p.out.empty());
}

TEST(Parser, CarriageReturnsStayInTheText)
{
    Parsed p = parseText("[global]\r\nnx=16\r\n[/global]\r\n[global]\nevanescent=1\r\nny=8\r\n");
    // "[global]\r" is no tag: nothing applies until the clean "[global]".
    EXPECT_EQ(p.so.nx, 1);
    EXPECT_EQ(p.so.ny, 8);
    EXPECT_FALSE(p.so.evanescent);
}

TEST(Parser, QuietPrintsNothing)
{
    Parsed p = parseText("[global]\nnx=4\n[/global]\n", true);
    EXPECT_TRUE(p.out.empty());
    EXPECT_EQ(p.so.nx, 4);
}

TEST(Parser, EchoLines)
{
    Parsed p = parseText("[global]\n\n   \nfoo = bar\n[/global]\n");
    EXPECT_EQ(p.out, "\t\t\t\t[global]\n\t\t\t\t\tfoo =\tbar\n\t\t\t\t[/global]\n");
}

TEST(Parser, HostileBytes)
{
    // Long lines, NUL bytes, "=" lines and binary noise: no crash, no stall.
    std::string text = "[global]\nnx=" + std::string(100000, '7') + "\n====\n=\n";
    text += std::string("ny=12\0garbage\n", 14);
    for (int i = 0; i < 4096; ++i)
        text += static_cast<char>((i * 131) & 0xff);
    text += "\nnz=3";
    Parsed p = parseText(text, true);
    EXPECT_EQ(p.so.nx, 2147483647);
    EXPECT_EQ(p.so.ny, 12);
    EXPECT_EQ(p.so.nz, 3); // last line without a newline counts
}

TEST(Parser, LineOf79CharactersReadWhole)
{
    const std::string key = "nx=" + std::string(75, '0') + "9";
    ASSERT_EQ(key.size(), 79u);
    Parsed p = parseText("[global]\n" + key + "\n");
    EXPECT_EQ(p.so.nx, 9);
}

TEST(Parser, LineOfOneMebibyteReadWhole)
{
    const std::string key = "nx=" + std::string((1 << 20) - 4, '0') + "9";
    ASSERT_EQ(key.size(), 1u << 20);
    Parsed p = parseText("[global]\n" + key, true);
    EXPECT_EQ(p.so.nx, 9);
}

TEST(ParserDeath, MissingFileExits255)
{
    sysOptions so;
    std::vector<layer> l;
    std::vector<emfield> w;
    EXPECT_EXIT(parse("/nonexistent/none.cfg", &so, &l, &w, false), testing::ExitedWithCode(255),
                "");
}

TEST(ParserBinary, UnreadableFiles)
{
    TempDir dir;
    auto r = testutil::runFyrnol("-i /nonexistent.cfg");
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("\033[31m[E] Error! Configuration file could not be opened.\033[0m\n"),
              std::string::npos);
    auto q = testutil::runFyrnol("-q -i /nonexistent.cfg");
    EXPECT_EQ(q.status, 255);
    EXPECT_EQ(q.out, "");
    // A directory is no configuration file.
    auto d = testutil::runFyrnol("-i /tmp");
    EXPECT_EQ(d.status, 255);
    EXPECT_NE(d.out.find("could not be opened"), std::string::npos);
    // No config-file option: the name "<none>".
    auto n = testutil::runFyrnol("");
    EXPECT_EQ(n.status, 255);
    EXPECT_NE(n.out.find("\tConfiguration file ...\t\t<none>\n"), std::string::npos);
}

TEST(ParserBinary, OnlyRegularFilesAreRead)
{
    TempDir dir;
    const std::string opened = "\033[31m[E] Error! Configuration file could not be opened.\033[0m\n";
    // Neither a FIFO that nobody writes nor an endless device blocks or fills memory.
    ASSERT_EQ(mkfifo("fifo.cfg", 0644), 0);
    std::vector<std::string> names = {"fifo.cfg"};
    if (mknod("zero.cfg", S_IFCHR | 0444, makedev(1, 5)) == 0) // a private /dev/zero
        names.push_back("zero.cfg");
    for (const std::string &name : names) {
        auto r = testutil::runFyrnolWithin(20, "-i " + name);
        EXPECT_EQ(r.status, 255) << name;
        EXPECT_NE(r.out.find(opened), std::string::npos) << name;
        EXPECT_EQ(testutil::runFyrnolWithin(20, "-q -i " + name).out, "") << name;
    }
    // A read error ends the run as an error, not as the end of the file.
    auto e = testutil::runFyrnolWithin(20, "-i /proc/self/mem");
    EXPECT_EQ(e.status, 255);
    EXPECT_NE(e.out.find(opened), std::string::npos);
    // A line beyond 1 MiB is refused with its number.
    writeFile("long.cfg", "[global]\n\nnx=2\n" + std::string((1 << 20) + 1, '7') + "\nny=2\n");
    auto l = testutil::runFyrnolWithin(20, "-i long.cfg");
    EXPECT_EQ(l.status, 255);
    EXPECT_NE(l.out.find("\033[31m[E] Error! Configuration file line 4 is longer than 1048576 "
                         "characters.\033[0m\n"),
              std::string::npos);
    EXPECT_EQ(l.out.find("Evanescent"), std::string::npos);
    EXPECT_EQ(testutil::runFyrnolWithin(20, "-q -i long.cfg").status, 255);
    EXPECT_FALSE(testutil::fileExists("N_sys.csv"));
}
