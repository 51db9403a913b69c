// Two-dimensional FFT plans against a naive DFT, the wisdom file, misuse exits.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "fftwrap.h"
#include "testutil.h"

namespace {

using fftwrap::fft2d;
using testutil::readFile;

// out[q*nx + p] = sum over j, i of in[j*nx + i] exp(sign 2 pi i (p i / nx + q j / ny))
std::vector<Complex> naiveDft(const Complex *in, unsigned nx, unsigned ny, int sign)
{
    const double twoPi = 2.0 * std::acos(-1.0);
    std::vector<Complex> out(nx * ny);
    for (unsigned q = 0; q < ny; ++q)
        for (unsigned p = 0; p < nx; ++p)
            for (unsigned j = 0; j < ny; ++j)
                for (unsigned i = 0; i < nx; ++i) {
                    const double phase = double(p * i % nx) / nx + double(q * j % ny) / ny;
                    out[q * nx + p] += in[j * nx + i] * std::polar(1.0, sign * twoPi * phase);
                }
    return out;
}

double maxDiff(const Complex *a, const std::vector<Complex> &b)
{
    double d = 0.0;
    for (size_t k = 0; k < b.size(); ++k) d = std::max(d, std::abs(a[k] - b[k]));
    return d;
}

void fill(Complex *a, size_t n, double seed)
{
    for (size_t k = 0; k < n; ++k) a[k] = Complex(std::sin(1.3 * k + seed), std::cos(0.7 * k * k));
}

std::string exactly(const std::string &text)
{
    std::string re = "^";
    for (const char c : text) re += (std::strchr(".[]{}()\\*+?^$|", c) ? "\\" : "") + std::string(1, c);
    return re + "$";
}

bool isWisdom(const std::string &text) { return text.rfind("(fftw-", 0) == 0; }

// 16-byte-aligned plane with one spare value, so that a view 8 bytes on fits.
struct Plane {
    explicit Plane(size_t n) : n(n), p(fftwrap::ComplexAlign(n + 1)) {}
    ~Plane() { Array::deleteAlign(p, n + 1); }
    Complex *odd() const { return reinterpret_cast<Complex *>(reinterpret_cast<char *>(p) + 8); }
    size_t n;
    Complex *p;
};

std::string warning(const char *name, const Complex *p)
{
    std::ostringstream s;
    s << "WARNING: " << name << " array is not 16-byte aligned: address "
      << static_cast<const void *>(p) << "\n";
    return s.str();
}

// Every plan writes the wisdom file into the working directory.
class FftwrapTest : public testing::Test {
    testutil::TempDir dir_;
};

TEST_F(FftwrapTest, MatchesNaiveDft)
{
    const unsigned sizes[][2] = {{6, 4}, {4, 6}, {8, 2}, {3, 5}, {10, 6}};
    for (const auto &s : sizes)
        for (const int sign : {-1, 1}) {
            const unsigned nx = s[0], ny = s[1], n = nx * ny;
            Plane in(n), out(n);
            fft2d f(nx, ny, sign, nullptr, out.p);
            fill(in.p, n, nx + 0.1 * ny);
            const std::vector<Complex> before(in.p, in.p + n);
            std::vector<Complex> want = naiveDft(in.p, nx, ny, sign);
            f.fft(in.p, out.p);
            EXPECT_LT(maxDiff(out.p, want), 1e-12) << nx << "x" << ny << " sign " << sign;
            EXPECT_EQ(maxDiff(in.p, before), 0.0) << "out of place changed the input";

            for (Complex &w : want) w /= double(n);
            f.fftNormalized(in.p, out.p);
            EXPECT_LT(maxDiff(out.p, want), 1e-13) << nx << "x" << ny << " normalised";
        }
}

TEST_F(FftwrapTest, InPlaceAndRepeatedPlans)
{
    const unsigned nx = 8, ny = 6, n = nx * ny;
    Plane a(n);
    fft2d f(nx, ny, -1);
    for (Complex *out : {static_cast<Complex *>(nullptr), a.p}) {
        fill(a.p, n, 0.4);
        const std::vector<Complex> want = naiveDft(a.p, nx, ny, -1);
        f.fft(a.p, out);
        EXPECT_LT(maxDiff(a.p, want), 1e-12);
    }
    // The planner may overwrite arrays it is given; new objects keep working.
    Plane in(n), out(n);
    for (int round = 0; round < 4; ++round) {
        fft2d g(nx, ny, 1, round % 2 ? in.p : nullptr, out.p);
        fill(in.p, n, round);
        g.fft(in.p, out.p);
        EXPECT_LT(maxDiff(out.p, naiveDft(in.p, nx, ny, 1)), 1e-12) << round;
    }
}

TEST_F(FftwrapTest, SingleSampleAndConstantPlane)
{
    const Complex a(1.5, -0.25);
    Plane one(1), out1(1);
    fft2d f1(1, 1, -1, nullptr, out1.p);
    one.p[0] = a;
    f1.fftNormalized(one.p, out1.p);
    EXPECT_EQ(out1.p[0], a);

    const unsigned nx = 4, ny = 6, n = nx * ny;
    Plane in(n), out(n);
    fft2d f(nx, ny, -1, nullptr, out.p);
    std::fill(in.p, in.p + n, a);
    f.fft(in.p, out.p);
    EXPECT_LT(std::abs(out.p[0] - a * double(n)), 1e-13);
    for (unsigned k = 1; k < n; ++k) EXPECT_LT(std::abs(out.p[k]), 1e-13) << k;
    f.fftNormalized(in.p, out.p);
    EXPECT_LT(std::abs(out.p[0] - a), 1e-15);
}

TEST_F(FftwrapTest, MisalignedArraysWarnAndStillTransform)
{
    const unsigned nx = 8, ny = 6, n = nx * ny;
    Plane in(n), out(n);
    fft2d f(nx, ny, -1, nullptr, out.p);
    fill(in.odd(), n, 0.2);
    testing::internal::CaptureStderr();
    f.fft(in.odd(), out.p);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), warning("input", in.odd()));
    EXPECT_LT(maxDiff(out.p, naiveDft(in.odd(), nx, ny, -1)), 1e-12);

    fill(in.p, n, 0.5);
    testing::internal::CaptureStderr();
    f.fft(in.p, out.odd());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), warning("output", out.odd()));
    EXPECT_LT(maxDiff(out.odd(), naiveDft(in.p, nx, ny, -1)), 1e-12);

    testing::internal::CaptureStderr();
    fft2d g(nx, ny, -1, in.odd(), out.p);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), warning("constructor input", in.odd()));
}

TEST_F(FftwrapTest, WisdomRewrittenAfterEveryPlanButReadOnce)
{
    Plane out(40);
    testing::internal::CaptureStderr();
    { fft2d f(6, 4, -1, nullptr, out.p); }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(fftwrap::fftw::Wise);
    std::string text = readFile("wisdom3.txt");
    ASSERT_TRUE(isWisdom(text)) << text;

    // Plant a valid entry for a problem nobody plans: a second read of the
    // file would carry it into the next export.
    const size_t begin = text.find("\n  (") + 1, end = text.find('\n', begin);
    ASSERT_NE(begin, 0u) << text;
    std::string entry = text.substr(begin, end - begin);
    entry.replace(entry.rfind(" #x"), std::string::npos, " #xfeedf00d)");
    const std::string planted = text.substr(0, end + 1) + entry + text.substr(end);
    testutil::writeFile("wisdom3.txt", planted);
    { fft2d g(4, 10, 1, nullptr, out.p); }
    text = readFile("wisdom3.txt");
    EXPECT_TRUE(isWisdom(text)) << text;
    EXPECT_EQ(text.find("feedf00d"), std::string::npos) << "the file was read again";

    // Check the planted text is wisdom FFTW would keep.
    ASSERT_TRUE(fftw_import_wisdom_from_string(planted.c_str()));
    char *held = fftw_export_wisdom_to_string();
    EXPECT_NE(std::strstr(held, "feedf00d"), nullptr);
    fftw_free(held);
    fftw_forget_wisdom();
}

TEST_F(FftwrapTest, UnwritableWisdomFileIsSilent)
{
    Plane in(24), out(24);
    ASSERT_EQ(mkdir("wisdom3.txt", 0755), 0);
    testing::internal::CaptureStderr();
    fft2d f(6, 4, -1, nullptr, out.p);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    fill(in.p, 24, 0.0);
    f.fft(in.p, out.p);
    EXPECT_LT(maxDiff(out.p, naiveDft(in.p, 6, 4, -1)), 1e-12);

    if (geteuid() != 0) { // permissions do not bind root
        ASSERT_EQ(mkdir("locked", 0555), 0);
        ASSERT_EQ(chdir("locked"), 0);
        testing::internal::CaptureStderr();
        { fft2d g(4, 6, -1, nullptr, out.p); }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_FALSE(testutil::fileExists("wisdom3.txt"));
    }
}

// First plan of a fresh process over the given file (null: none); true when
// the transform is right and valid wisdom replaced the file.
bool firstPlanOfProcess(const char *content)
{
    if (fftwrap::fftw::Wise) return false;
    testutil::TempDir dir;
    if (content) testutil::writeFile("wisdom3.txt", content);
    Plane in(24), out(24);
    fill(in.p, 24, 0.3);
    {
        fft2d f(4, 6, -1, nullptr, out.p);
        f.fft(in.p, out.p);
    }
    const std::string text = readFile("wisdom3.txt");
    return maxDiff(out.p, naiveDft(in.p, 4, 6, -1)) < 1e-12 && fftwrap::fftw::Wise &&
           isWisdom(text) && (!content || text.find(content) == std::string::npos);
}

TEST(FftwrapWisdomDeathTest, MissingOrGarbageFileIsPassedOverSilently)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // the child is a fresh process
    EXPECT_EXIT(std::exit(firstPlanOfProcess(nullptr) ? 0 : 3), testing::ExitedWithCode(0), "^$");
    EXPECT_EXIT(std::exit(firstPlanOfProcess("no wisdom (here)\n((fftw-3 #x0") ? 0 : 3),
                testing::ExitedWithCode(0), "^$");
}

// First plan of a fresh process over a wisdom file that is no plain cache: 0 when the plan
// is right and the file is left as it was, without blocking (an alarm ends a blocked child).
int firstPlanOverUnusualFile(const std::string &kind)
{
    alarm(20);
    if (fftwrap::fftw::Wise) return 4;
    testutil::TempDir dir;
    const std::string huge(5 << 20, '(');
    if (kind == "fifo" && mkfifo("wisdom3.txt", 0644) != 0) return 5;
    if (kind == "device" && (mknod("zero", S_IFCHR | 0666, makedev(1, 5)) != 0 || symlink("zero", "wisdom3.txt") != 0))
        return 0; // no private device node here
    if (kind == "huge") testutil::writeFile("wisdom3.txt", huge);
    int full[2]; // a pipe nobody drains, named by its descriptor: a write would wait
    if (kind == "pipe") {
        if (pipe2(full, O_NONBLOCK) != 0) return 5;
        while (write(full[1], huge.data(), 4096) > 0) {}
        const std::string name = "/proc/self/fd/" + std::to_string(full[1]);
        if (symlink(name.c_str(), "wisdom3.txt") != 0) return 5;
    }
    struct stat before, after;
    if (stat("wisdom3.txt", &before) != 0) return 6;
    Plane in(24), out(24);
    fill(in.p, 24, 0.3);
    {
        fft2d f(4, 6, -1, nullptr, out.p);
        f.fft(in.p, out.p);
    }
    if (maxDiff(out.p, naiveDft(in.p, 4, 6, -1)) >= 1e-12) return 7;
    if (stat("wisdom3.txt", &after) != 0 || after.st_mode != before.st_mode || after.st_rdev != before.st_rdev)
        return 8;
    return kind != "huge" || readFile("wisdom3.txt") == huge ? 0 : 9;
}

TEST(FftwrapWisdomDeathTest, FifoDeviceOrHugeFileIsPassedOverWithoutBlocking)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const char *kind : {"fifo", "device", "huge", "pipe"})
        EXPECT_EXIT(std::exit(firstPlanOverUnusualFile(kind)), testing::ExitedWithCode(0), "^$")
            << kind;
}

// First plan of a fresh process over a link to a descriptor it holds on a log: 0 when the log
// keeps its text, valid wisdom follows it, and the wisdom in the log was not read.
int firstPlanOverDescriptor()
{
    if (fftwrap::fftw::Wise) return 4;
    testutil::TempDir dir;
    // Valid wisdom with an entry for a problem nobody plans: read, it would be exported again.
    // The planner takes wisdom only from a planner of its own configuration, threads included.
    fftw_init_threads();
    fftw_plan_with_nthreads(1);
    Plane scratch(24);
    fftw_plan p = fftw_plan_dft_2d(4, 6, reinterpret_cast<fftw_complex *>(scratch.p),
                                   reinterpret_cast<fftw_complex *>(scratch.p), 1, FFTW_MEASURE);
    char *held = fftw_export_wisdom_to_string();
    std::string log = held;
    fftw_free(held);
    fftw_destroy_plan(p);
    fftw_forget_wisdom();
    const size_t hash = log.rfind(" #x");
    if (hash == std::string::npos) return 5;
    log.replace(hash, log.find(')', hash) - hash, " #xfeedf00d");
    testutil::writeFile("log.txt", log);

    const int fd = open("log.txt", O_WRONLY | O_APPEND);
    const std::string name = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || symlink(name.c_str(), "wisdom3.txt") != 0) return 6;
    Plane out(24);
    { fft2d f(6, 4, -1, nullptr, out.p); }
    const std::string text = readFile("log.txt");
    if (text.compare(0, log.size(), log) != 0) return 7;
    if (!isWisdom(text.substr(log.size()))) return 8;
    return text.find("feedf00d", log.size()) == std::string::npos ? 0 : 9;
}

TEST(FftwrapWisdomDeathTest, DescriptorNameIsAppendedToAndNotRead)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(firstPlanOverDescriptor()), testing::ExitedWithCode(0), "^$");
}

TEST_F(FftwrapTest, ConcurrentWritersLeaveWholeWisdom)
{
    auto whole = [](const std::string &t) {
        return isWisdom(t) && t.size() > 2 && t.compare(t.size() - 2, 2, ")\n") == 0;
    };
    std::vector<pid_t> writers;
    for (unsigned w = 0; w < 4; ++w) {
        const pid_t pid = fork();
        if (pid == 0) {
            alarm(30);
            Plane out(64);
            for (unsigned round = 0; round < 12; ++round)
                fft2d f(2 + 2 * w, 2 + round % 4, -1, nullptr, out.p);
            _exit(0);
        }
        ASSERT_GT(pid, 0);
        writers.push_back(pid);
    }
    // Readers meanwhile find no file yet or a whole one, never an empty or torn one.
    std::string torn;
    for (size_t done = 0; done < writers.size();) {
        std::ifstream in("wisdom3.txt", std::ios::binary);
        const std::string text{std::istreambuf_iterator<char>(in), {}};
        if (in.is_open() && !whole(text)) torn = "'" + text + "'";
        int status = 0;
        const pid_t pid = waitpid(-1, &status, WNOHANG);
        ASSERT_GE(pid, 0);
        if (pid > 0) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            ++done;
        }
    }
    EXPECT_EQ(torn, "");
    EXPECT_TRUE(whole(readFile("wisdom3.txt")));
    DIR *d = opendir(".");
    ASSERT_NE(d, nullptr);
    std::vector<std::string> names;
    while (const dirent *e = readdir(d)) names.emplace_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".", "..", "wisdom3.txt"}));
}

// Nobody can create files in /proc: children planning there leave nothing behind.
struct InProc {
    InProc() : old(getcwd(nullptr, 0)) { EXPECT_EQ(chdir("/proc"), 0); }
    ~InProc() { EXPECT_EQ(chdir(old), 0); std::free(old); }
    char *old;
};

TEST(FftwrapDeathTest, CallMustMatchPlanPlacement)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string msg =
        exactly("ERROR: fft constructor and call must be both in place or both out of place\n");
    InProc cwd;
    Plane a(24), b(24);
    EXPECT_EXIT(fft2d(6, 4, -1, nullptr, b.p).fft(a.p), testing::ExitedWithCode(1), msg);
    EXPECT_EXIT(fft2d(6, 4, -1, nullptr, b.p).fft(a.p, a.p), testing::ExitedWithCode(1), msg);
    EXPECT_EXIT(fft2d(6, 4, -1).fft(a.p, b.p), testing::ExitedWithCode(1), msg);
    EXPECT_EXIT(fft2d(6, 4, -1).fftNormalized(a.p, b.p), testing::ExitedWithCode(1), msg);
}

TEST(FftwrapDeathTest, UnplannableSizesExit)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string msg = exactly("Unable to construct FFTW plan\n");
    InProc cwd;
    EXPECT_EXIT(fft2d(0, 4, -1), testing::ExitedWithCode(1), msg);
    // Beyond the 32-bit count of doubles: refused before anything is allocated.
    EXPECT_EXIT(fft2d(1u << 16, 1u << 16, -1), testing::ExitedWithCode(1), msg);
}

} // namespace
