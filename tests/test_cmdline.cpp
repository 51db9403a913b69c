// Option scanner, help text, version and the wall-clock timer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cmdLine.h"
#include "testutil.h"
#include "wallTimer.h"

namespace {

// An argv built from a list of words; element 0 is the program name.
class Args {
public:
    Args(std::initializer_list<const char *> words)
    {
        m_words.push_back("fyrnol");
        for (const char *w : words)
            m_words.push_back(w);
        for (std::string &w : m_words)
            m_ptrs.push_back(&w[0]);
        m_ptrs.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(m_words.size()); }
    char **argv() { return m_ptrs.data(); }

private:
    std::vector<std::string> m_words;
    std::vector<char *> m_ptrs;
};

} // namespace

TEST(CmdLineBool, OneOrTwoHyphens)
{
    Args a{"-q"}, b{"--quiet"}, c{"quiet"}, d{"---quiet"}, e{"-quiet=1"}, f{"-Q"};
    EXPECT_TRUE(cmdLineGetBool("q", a.argc(), a.argv()));
    EXPECT_TRUE(cmdLineGetBool("quiet", b.argc(), b.argv()));
    EXPECT_FALSE(cmdLineGetBool("quiet", c.argc(), c.argv()));
    EXPECT_FALSE(cmdLineGetBool("quiet", d.argc(), d.argv()));
    EXPECT_FALSE(cmdLineGetBool("quiet", e.argc(), e.argv()));
    EXPECT_FALSE(cmdLineGetBool("q", f.argc(), f.argv()));
    Args g{"-pg"};
    EXPECT_FALSE(cmdLineGetBool("p", g.argc(), g.argv()));
    // argv[0] is never examined.
    Args h{};
    char name[] = "-q";
    h.argv()[0] = name;
    EXPECT_FALSE(cmdLineGetBool("q", h.argc(), h.argv()));
}

TEST(CmdLineGet, LastOccurrenceWins)
{
    Args a{"-i", "a.cfg", "-i", "b.cfg"};
    std::string f = "<none>";
    EXPECT_TRUE(cmdLineGet(&f, "i", a.argc(), a.argv()));
    EXPECT_EQ(f, "b.cfg");

    // The long keyword is looked up after the short one.
    Args b{"-config-file", "a.cfg", "-i", "b.cfg"};
    f = "<none>";
    cmdLineGet(&f, "i", b.argc(), b.argv());
    cmdLineGet(&f, "config-file", b.argc(), b.argv());
    EXPECT_EQ(f, "a.cfg");
}

TEST(CmdLineGet, KeywordAsLastArgument)
{
    Args a{"-k"};
    int k = 0;
    EXPECT_FALSE(cmdLineGet(&k, "k", a.argc(), a.argv()));
    EXPECT_EQ(k, 0);
    Args b{"-k", "3", "-k"};
    cmdLineGet(&k, "k", b.argc(), b.argv());
    EXPECT_EQ(k, 3);
    Args c{"-r"};
    std::string name;
    EXPECT_TRUE(cmdLineGetBool("r", c.argc(), c.argv()));
    cmdLineGet(&name, "r", c.argc(), c.argv());
    EXPECT_EQ(name, "");
}

TEST(CmdLineGet, ValuesThatLookLikeOptions)
{
    Args a{"-x", "-l", "3"};
    int x = -1, l = 0;
    cmdLineGet(&x, "x", a.argc(), a.argv());
    cmdLineGet(&l, "l", a.argc(), a.argv());
    EXPECT_EQ(x, 0);
    EXPECT_EQ(l, 3);

    Args b{"-l", "-1"};
    cmdLineGet(&l, "l", b.argc(), b.argv());
    EXPECT_EQ(l, -1);

    Args c{"-i", "-p"};
    std::string f;
    cmdLineGet(&f, "i", c.argc(), c.argv());
    EXPECT_EQ(f, "-p");
    EXPECT_TRUE(cmdLineGetBool("p", c.argc(), c.argv()));

    // A value is never examined as a keyword by the same scan.
    Args d{"-k", "-k", "5"};
    int k = 0;
    cmdLineGet(&k, "k", d.argc(), d.argv());
    EXPECT_EQ(k, 0); // "-k" read as a number
}

TEST(CmdLineGet, AtoiSemantics)
{
    const struct { const char *text; int value; } cases[] = {
        {"32x", 32}, {"abc", 0}, {"+8", 8}, {" \t-12", -12}, {"", 0},
        {"99999999999999", 2147483647}, {"-99999999999999", -2147483647 - 1},
    };
    for (const auto &c : cases) {
        int v = 7;
        cmdLinePassback(c.text, &v);
        EXPECT_EQ(v, c.value) << c.text;
    }
}

TEST(WallTimerTest, ElapsedTimeAcrossNanosecondBorrow)
{
    wallTimerTimestamp a{10, 900000000}, b{12, 400000000};
    EXPECT_DOUBLE_EQ(wallTimerElapsedTime(a, b), 1.5);
    WallTimer t;
    t.start();
    t.stop();
    const double d = t.getTime();
    EXPECT_GE(d, 0.0);
    EXPECT_LT(d, 1.0);
    EXPECT_EQ(d, t.getTime());
}

TEST(HelpAndVersion, ThroughTheBinary)
{
    testutil::TempDir dir;
    auto h = testutil::runFyrnol("-q -v -h -i none.cfg");
    EXPECT_EQ(h.status, 0);
    int lines = 0;
    for (char ch : h.out)
        lines += ch == '\n';
    EXPECT_EQ(lines, 38);
    EXPECT_EQ(h.out.rfind("Help:\n  fyrnol : \n", 0), 0u);
    EXPECT_NE(h.out.find(std::string("\n  ") + FYRNOL_BIN + " [options][-i <config-file> ]\n"),
              std::string::npos);
    EXPECT_NE(h.out.find("\n      layer to be used \n"), std::string::npos);
    EXPECT_EQ(h.out.find("Version"), std::string::npos);
    EXPECT_EQ(h.out.substr(h.out.size() - 2), "\n\n");

    auto v = testutil::runFyrnol("--quiet --version");
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, "Version 0.10\n");
}
