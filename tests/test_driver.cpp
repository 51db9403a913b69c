// The program end to end: console report, files, exit statuses, options.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "memAvail.h"
#include "testutil.h"
#include "wpm_sum.h"

using testutil::fileExists;
using testutil::readFile;
using testutil::runFyrnol;
using testutil::TempDir;
using testutil::writeFile;

namespace {

const char *const TINY =
    "[global]\nscale=um\nx=2\ny=2\nz=2\nnx=2\nny=2\nnz=2\npolarization=te\n[/global]\n"
    "[wave]\nshape=plane\namp=1\nlambda=1\n[/wave]\n"
    "[layer]\ntype=homog\nz=2\nn=1.5\n[/layer]\n";

std::string maskTimes(const std::string &s)
{
    return std::regex_replace(s, std::regex("done\\. [-0-9.e+]+ms"), "done. Tms");
}

std::string withGlobal(const std::string &extra)
{
    std::string cfg = TINY;
    cfg.insert(cfg.find("[/global]"), extra);
    return cfg;
}

const char *const HEADER_LINE = "cfile;kernel_id;block_size;nz;ny;nx;kernel_time;cpu_time;err-max;speed-up\n";

const char *const OUTPUTS[] = {"N_sys.csv", "E_inp.csv", "F_inp.csv", "E_cpu.csv", "EFlux_cpu.csv",
                               "EFlux_cpu_Z.csv"};

} // namespace

TEST(Driver, ConsoleReportOfATinyRun)
{
    TempDir dir;
    writeFile("tiny.cfg", TINY);
    auto r = runFyrnol("-i tiny.cfg -p -c -r res.csv");
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string expected =
        "\nInitialization ...\n"
        "\tConfiguration file ...\t\ttiny.cfg\n"
        "\tParsing ... \t\ttiny.cfg\n"
        "\t\t\t\t[global]\n\t\t\t\t\tscale =\tum\n\t\t\t\t\tx =\t2\n\t\t\t\t\ty =\t2\n"
        "\t\t\t\t\tz =\t2\n\t\t\t\t\tnx =\t2\n\t\t\t\t\tny =\t2\n\t\t\t\t\tnz =\t2\n"
        "\t\t\t\t\tpolarization =\tte\n\t\t\t\t[/global]\n"
        "\t\t\t\t[wave]\n\t\t\t\t\tshape =\tplane\n\t\t\t\t\tamp =\t1\n\t\t\t\t\tlambda =\t1\n"
        "\t\t\t\t[/wave]\n"
        "\t\t\t\t[layer]\n\t\t\t\t\ttype =\thomog\n\t\t\t\t\tz =\t2\n\t\t\t\t\tn =\t1.5\n"
        "\t\t\t\t[/layer]\n"
        "\tParsing ... \t\tdone.\n\n"
        "\tEvanescent modes ...\t1\n"
        "\tMethod ...\t\tWPM\n"
        "\tPolarization ...\tTE\n"
        "\tSampling ...\n"
        "\t\tSpace X ...\tdone.\tnx=2, dx=1e-06m, ax=2e-06m\n"
        "\t\tSpace Y ...\tdone.\tny=2, dy=1e-06m, ay=2e-06m\n"
        "\t\tSpace Z ...\tdone.\tnz=2, dz=1e-06m, az=2e-06m\n"
        "\t\tFreq X ...\tdone.\tdfx=0.5MHz, fmax_x=1MHz, flim_x=0.5MHz, dtheta_x=30\xC2\xB0\n"
        "\t\tFreq Y ...\tdone.\tdfy=0.5MHz, fmax_y=1MHz, flim_y=0.5MHz, dtheta_y=30\xC2\xB0\n"
        "\tSampling ... \t\tdone.\n\n"
        "\tSystem ...\n"
        "\t\t\t\tcreate HOMOG ... \n"
        "\tSystem ... \t\tdone.\n\n"
        "\tEnergy flux ... \tmemory initialized zero\n"
        "\tEnergy flux ... \tmemory allocated.\n"
        "\tWave ...\n"
        "\t\t\t\tcreate PLANE ...\n\n"
        "\033[31m\t\t\t\tscale = 1e-06\n\t\t\t\tamplitude = 1\n\t\t\t\tlambda = 1\n"
        "\t\t\t\ttheta = 0\n\t\t\t\tphi = 0\n\t\t\t\tx = 0\n\t\t\t\ty = 0\n"
        "\t\t\t\tsx = 0\n\t\t\t\tsy = 0\n\t\t\t\tsz = 1\n\033[0m\n"
        "\tWave ... \t\tdone.\n\n"
        "\t         \t\tlambda = 1e-06\n\n"
        "Initialization ... \t\tdone. Tms\n\n"
        "option -r : store results\n"
        "option -p : --run-cpu\n"
        "option -c : --compare\n\n"
        "Applying simulation on CPU ... done. Tms\n\n"
        "\t[CPU] flux0: ... \t 2.51327e+07\n";
    EXPECT_EQ(maskTimes(r.out), expected);
}

TEST(Driver, FilesOfATinyRun)
{
    TempDir dir;
    writeFile("tiny.cfg", TINY);
    auto r = runFyrnol("-i tiny.cfg -p");
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(readFile("N_sys.csv"), "1.5,1.5,\n1.5,1.5,\n\n");
    EXPECT_EQ(readFile("E_inp.csv"), "1,1,\n1,1,\n\n");
    EXPECT_EQ(readFile("F_inp.csv"), "6.28319e+06,6.28319e+06,\n6.28319e+06,6.28319e+06,\n\n");
    EXPECT_EQ(readFile("E_cpu.csv"), "1,1,\n1,1,\n\n");
    EXPECT_EQ(readFile("EFlux_cpu.csv"), readFile("F_inp.csv"));
    // The propagated flux carries Re(kz) = n·k0, the incident flux k0 alone.
    EXPECT_EQ(readFile("EFlux_cpu_Z.csv"), "\n1,1.5\n");
    EXPECT_FALSE(fileExists("E_gpu.csv"));

    // All planes along z, and an XZ cross-section of row 1.
    auto all = runFyrnol("-i tiny.cfg -p -l -1");
    ASSERT_EQ(all.status, 0);
    const std::string e = readFile("E_cpu.csv");
    EXPECT_EQ(e.substr(0, 9), "1,1,\n1,1,");
    EXPECT_EQ(std::count(e.begin(), e.end(), '\n'), 6);
    auto xz = runFyrnol("-i tiny.cfg -x 1 -l 1");
    ASSERT_EQ(xz.status, 0);
    EXPECT_EQ(readFile("N_sys.csv"), "1.5,1.5,\n1.5,1.5,\n\n");
}

TEST(Driver, QuietRunWritesTheSameFilesAndNothingElse)
{
    TempDir loud, quiet(false);
    writeFile("tiny.cfg", TINY);
    ASSERT_EQ(runFyrnol("-i tiny.cfg -p -c").status, 0);
    ASSERT_EQ(chdir(quiet.path().c_str()), 0);
    writeFile("tiny.cfg", TINY);
    auto q = runFyrnol("-q -i tiny.cfg -p -c -r res.csv");
    EXPECT_EQ(q.status, 0);
    EXPECT_EQ(q.out, "");
    for (const char *f : OUTPUTS)
        EXPECT_EQ(readFile(f), readFile(loud.file(f))) << f;
    EXPECT_TRUE(fileExists("res.csv"));
    ASSERT_EQ(chdir(loud.path().c_str()), 0);
}

TEST(Driver, NoRunWritesOnlyTheInputFiles)
{
    TempDir dir;
    writeFile("tiny.cfg", TINY);
    auto r = runFyrnol("-q -i tiny.cfg -c");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fileExists("N_sys.csv"));
    EXPECT_TRUE(fileExists("E_inp.csv"));
    EXPECT_TRUE(fileExists("F_inp.csv"));
    EXPECT_FALSE(fileExists("E_cpu.csv"));
}

TEST(Driver, FatalPaths)
{
    TempDir dir;
    writeFile("bpm.cfg", withGlobal("method=bpm\n"));
    auto m = runFyrnol("-i bpm.cfg -p");
    EXPECT_EQ(m.status, 255);
    EXPECT_NE(m.out.find("\tMethod ...\t\t\033[31mError, unsupported method specified in bpm.cfg. "
                         "Please use WPM with this tool.\033[0m\n"),
              std::string::npos);
    EXPECT_FALSE(fileExists("N_sys.csv"));
    auto mq = runFyrnol("-q -i bpm.cfg");
    EXPECT_EQ(mq.status, 255);
    EXPECT_EQ(mq.out, "");

    const char *refused[] = {"nz=0\n", "nx=3\n", "nx=65536\nny=65536\n", "nx=-2\n"};
    for (const char *extra : refused) {
        writeFile("bad.cfg", withGlobal(extra));
        auto b = runFyrnol("-i bad.cfg -p");
        EXPECT_EQ(b.status, 255) << extra;
        EXPECT_NE(b.out.find("\033[31m"), std::string::npos) << extra;
        EXPECT_FALSE(fileExists("N_sys.csv")) << extra;
        EXPECT_EQ(runFyrnol("-q -i bad.cfg -p").status, 255) << extra;
    }

    writeFile("tiny.cfg", TINY);
    for (const char *opt : {"-l 2", "-l -2", "-x 1 -l 2", "-x 2 -l 5"}) {
        auto l = runFyrnol(std::string("-i tiny.cfg -p ") + opt);
        EXPECT_EQ(l.status, 255) << opt;
        EXPECT_NE(l.out.find("option -l|--layer"), std::string::npos) << opt;
        EXPECT_FALSE(fileExists("N_sys.csv")) << opt;
    }
    EXPECT_EQ(runFyrnol("-i tiny.cfg -x 2 -l 1").status, 0);
}

TEST(Driver, PolarizationMissingIsReportedAndTheRunGoesOn)
{
    TempDir dir;
    std::string cfg = TINY;
    cfg.replace(cfg.find("polarization=te\n"), 16, "");
    writeFile("na.cfg", cfg);
    auto r = runFyrnol("-i na.cfg -p");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\tPolarization ...\t\033[31mError, missing polarization for scalar method "
                         "na.cfg. Please specify the polarization, i.e. TE or TM.\033[0m\n"),
              std::string::npos);
    writeFile("h.cfg", withGlobal("hfield=1\nevanescent=0\n"));
    auto h = runFyrnol("-i h.cfg");
    EXPECT_NE(h.out.find("\tMagnetic field ...\t1\n\tEvanescent modes ...\t0\n"), std::string::npos);
    EXPECT_EQ(r.out.find("Magnetic field"), std::string::npos);
}

TEST(Driver, ResultsRows)
{
    TempDir dir;
    writeFile("tiny.cfg", TINY);
    // Kernel id and block size are read only by a GPU run: the CPU row has 0 and 16.
    ASSERT_EQ(runFyrnol("-q -i tiny.cfg -p -k 3 -b 8 -r res.csv").status, 0);
    ASSERT_EQ(runFyrnol("-q -i tiny.cfg -p -r res.csv").status, 0);
    const std::string text = readFile("res.csv");
    const std::regex row("tiny\\.cfg;0;16;2;2;2;[0-9.e+-]+;-1;-1;-[0-9.e+-]+\n");
    EXPECT_EQ(text.rfind("cfile;kernel_id;block_size;nz;ny;nx;kernel_time;cpu_time;err-max;speed-up\n"
                         "tiny.cfg;0;16;2;2;2;", 0),
              0u);
    auto rows = std::distance(std::sregex_iterator(text.begin(), text.end(), row), std::sregex_iterator());
    EXPECT_EQ(rows, 2);

    // The argument after -r names the file even when it is another option.
    ASSERT_EQ(runFyrnol("-q -i tiny.cfg -r -p").status, 0);
    EXPECT_TRUE(fileExists("-p"));
    EXPECT_TRUE(fileExists("E_cpu.csv"));
}

TEST(Driver, UnwritableOutputsAreReported)
{
    TempDir dir;
    writeFile("tiny.cfg", TINY);
    mkdir("E_cpu.csv", 0755); // a directory where a file should go
    auto r = runFyrnol("-q -i tiny.cfg -p -r res.csv");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "\033[31mWarning - output file \"E_cpu.csv\" could not be written\033[0m\n");
    EXPECT_TRUE(fileExists("EFlux_cpu_Z.csv")); // the run went on
    EXPECT_TRUE(fileExists("res.csv"));

    auto e = runFyrnol("-q -i tiny.cfg -r");
    EXPECT_EQ(e.status, 0); // no run, no row
    auto p = runFyrnol("-q -i tiny.cfg -p -r");
    EXPECT_EQ(p.status, 255);
    EXPECT_NE(p.out.find("output file \"\" could not be written"), std::string::npos);
}

TEST(Driver, OutputsThatAreNotRegularFiles)
{
    TempDir dir;
    writeFile("tiny.cfg", TINY);
    // A link to a private null device discards, a FIFO nobody reads is reported without
    // blocking, a dangling link gets its target; none of them is replaced.
    const bool device = mknod("null", S_IFCHR | 0666, makedev(1, 3)) == 0;
    if (device) {
        ASSERT_EQ(symlink("null", "E_cpu.csv"), 0);
    }
    ASSERT_EQ(mkfifo("EFlux_cpu.csv", 0644), 0);
    ASSERT_EQ(symlink("rows.csv", "res.csv"), 0);
    auto r = testutil::runFyrnolWithin(60, "-q -i tiny.cfg -p -r res.csv");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "\033[31mWarning - output file \"EFlux_cpu.csv\" could not be written\033[0m\n");
    struct stat st;
    if (device) {
        EXPECT_TRUE(lstat("E_cpu.csv", &st) == 0 && S_ISLNK(st.st_mode));
        EXPECT_TRUE(lstat("null", &st) == 0 && S_ISCHR(st.st_mode));
    }
    EXPECT_TRUE(lstat("EFlux_cpu.csv", &st) == 0 && S_ISFIFO(st.st_mode));
    EXPECT_TRUE(lstat("res.csv", &st) == 0 && S_ISLNK(st.st_mode));
    EXPECT_NE(readFile("rows.csv").find("\ntiny.cfg;0;16;2;2;2;"), std::string::npos);
    EXPECT_TRUE(fileExists("EFlux_cpu_Z.csv"));
}

TEST(Driver, NoWaveGivesAZeroFieldAndNoCrash)
{
    TempDir dir;
    std::string cfg = TINY;
    cfg.erase(cfg.find("[wave]"), cfg.find("[layer]") - cfg.find("[wave]"));
    writeFile("nowave.cfg", cfg);
    auto r = runFyrnol("-i nowave.cfg -p");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("lambda = 0\n"), std::string::npos);
    EXPECT_EQ(readFile("E_cpu.csv"), "0,0,\n0,0,\n\n");
    EXPECT_EQ(readFile("EFlux_cpu_Z.csv"), "\n-nan,-nan\n");
}

// A CUDA build without a usable device (on the host stand-in, one that finds none) reports
// its failed device allocations; a build without CUDA has no GPU support.
TEST(Driver, GpuRunWithoutADevice)
{
#if defined(FYRNOL_HAVE_CUDA) && !defined(FYRNOL_CUDA_HOST)
    if (testutil::hasCudaDevice())
        GTEST_SKIP() << "a GPU is present";
#endif
    TempDir dir;
    writeFile("tiny.cfg", TINY);
#ifdef FYRNOL_CUDA_HOST
    const testutil::FaultSwitch noDevice("nodevice");
#endif
    auto r = runFyrnol("-q -i tiny.cfg -g -p");
    EXPECT_EQ(r.status, 255);
#ifdef FYRNOL_HAVE_CUDA
    EXPECT_EQ(r.out.rfind("\033[31mError\033[0m - CPU memory alloc\n", 0), 0u);
    EXPECT_NE(r.out.find("\t\tError "), std::string::npos);
    EXPECT_NE(r.out.find(" on E alloc : "), std::string::npos);
#else
    EXPECT_NE(r.out.find("no GPU support"), std::string::npos);
#endif
    EXPECT_FALSE(fileExists("E_cpu.csv"));
}

TEST(Driver, FailedHostAllocationEndsTheRun)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer reports an impossible allocation instead of failing it";
#else
    TempDir dir;
    // The memory check lets through only runs that fit; an allocation that fails all the
    // same (here one larger than any address space) names its buffer and ends the run.
    std::fflush(stdout);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (std::freopen("out.txt", "w", stdout) == nullptr)
            _exit(127);
        HostBuffer<cpx> huge(std::size_t(1) << 50, "terms kx");
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255) << status;
    EXPECT_EQ(readFile("out.txt"), "Error - Memory allocation terms kx\n");
#endif
}

namespace {

const char *const MEMORY_LINE = "\033\\[31mError - Memory allocation: the run needs [0-9]+ MiB, [0-9]+ MiB of "
                                "(physical memory|memory under its cgroup limit|address space under its "
                                "limit|data segment under its limit) are available\033\\[0m\n";

std::string withCounts(const std::string &counts)
{
    std::string cfg = TINY;
    return cfg.replace(cfg.find("nx=2\nny=2\nnz=2\n"), 15, counts);
}

} // namespace

TEST(Driver, RunThatCannotFitInMemoryIsRefused)
{
    TempDir dir;
    const std::regex refusal(MEMORY_LINE);
    // One and a half times the physical memory available now, in 1024 x 1024 planes (a GPU
    // run adds its staging copies to the 40 bytes of every sample).
    const MemoryAvailable avail = physicalMemoryAvailable();
    const double planeBytes = 1024.0 * 1024.0 * 72.0;
    const double planes = std::ceil(1.5 * static_cast<double>(avail.bytes) / planeBytes);
    if (avail.bytes == SIZE_MAX || planes * 1024 * 1024 >= 2147483648.0)
        GTEST_SKIP() << "memory beyond what one volume can index";
    const std::string nz = std::to_string(static_cast<long long>(planes));
    writeFile("big.cfg", withCounts("nx=1024\nny=1024\nnz=" + nz + "\n"));
    auto q = runFyrnol("-q -i big.cfg -p -g");
    EXPECT_EQ(q.status, 255);
    EXPECT_TRUE(std::regex_match(q.out, refusal)) << q.out;
    auto r = runFyrnol("-i big.cfg -p -g");
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("\tSampling ...\n\033[31mError - Memory allocation: the run needs "), std::string::npos);
    EXPECT_FALSE(fileExists("N_sys.csv"));

#if !defined(__SANITIZE_ADDRESS__) // the address sanitizer cannot run under these limits
    // 4096 x 4096 x 64 samples under a 1 GiB address space, 1024 x 1024 x 80 under a 1 GiB
    // data segment; a small run still fits.
    writeFile("big.cfg", withCounts("nx=4096\nny=4096\nnz=64\n"));
    writeFile("long.cfg", withCounts("nx=1024\nny=1024\nnz=80\n"));
    writeFile("tiny.cfg", TINY);
    const struct {
        const char *limit, *cfg, *what;
    } cases[] = {{"ulimit -v 1048576", "big.cfg", "of address space under its limit"},
                 {"ulimit -d 1048576", "long.cfg", "of data segment under its limit"}};
    for (const auto &c : cases) {
        const std::string run = std::string(c.limit) + "; '" + FYRNOL_BIN + "' -q -p -i ";
        int raw = std::system((run + c.cfg + " > out.txt 2>&1").c_str());
        ASSERT_TRUE(WIFEXITED(raw));
        EXPECT_EQ(WEXITSTATUS(raw), 255) << c.limit;
        const std::string out = readFile("out.txt");
        EXPECT_TRUE(std::regex_match(out, refusal)) << out;
        if (physicalMemoryAvailable().bytes >= (size_t(4) << 30)) {
            EXPECT_NE(out.find(c.what), std::string::npos) << out;
        }
        EXPECT_FALSE(fileExists("N_sys.csv")) << c.limit;
        raw = std::system((run + "tiny.cfg > out.txt 2>&1").c_str());
        EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << c.limit << readFile("out.txt");
        EXPECT_TRUE(fileExists("E_cpu.csv")) << c.limit;
        for (const char *f : OUTPUTS)
            std::remove(f);
    }
#endif
}

#if !defined(__SANITIZE_ADDRESS__)
namespace {

// A CPU run of cfg under `ulimit -<flag> kib`, killed after a minute.
testutil::RunResult runUnderLimit(char flag, long kib, const std::string &cfg)
{
    const std::string limit = std::string("ulimit -") + flag + " " + std::to_string(kib);
    return runFyrnol("-q -p -i " + cfg, "out.txt",
                     "timeout -s KILL 60 bash -c '" + limit + "; exec \"$0\" \"$@\"' ");
}

} // namespace
#endif

// Under any address-space or data-segment limit a run either completes or is refused with
// the memory line: it never hangs in a library that cannot map its work space, nor dies.
TEST(Driver, RunsJustBelowAndAboveTheMemoryLimits)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer cannot run under these limits";
#else
    TempDir dir;
    if (physicalMemoryAvailable().bytes < (size_t(1) << 30))
        GTEST_SKIP() << "less than 1 GiB of memory available here";
    // A random field on 64 x 64 samples: pairs take the products, and with them the BLAS
    // library's work buffer.
    std::string cfg = withCounts("nx=64\nny=64\nnz=3\n");
    cfg.replace(cfg.find("shape=plane"), 11, "shape=random");
    writeFile("run.cfg", cfg);
    const std::regex refusal(MEMORY_LINE);
    for (const char flag : {'v', 'd'}) {
        // The threshold by bisection, in KiB: refused below, complete from there on.
        long below = 0, from = 4L << 20;
        ASSERT_EQ(runUnderLimit(flag, from, "run.cfg").status, 0) << flag;
        while (from - below > 1) {
            const long mid = below + (from - below) / 2;
            const testutil::RunResult r = runUnderLimit(flag, mid, "run.cfg");
            const bool unloadable = r.status == 126 || r.status == 127; // the binary cannot even start
            ASSERT_TRUE(r.status == 0 || unloadable || (r.status == 255 && std::regex_match(r.out, refusal)))
                << "ulimit -" << flag << " " << mid << ": status " << r.status << "\n" << r.out;
            if (r.status == 0)
                from = mid;
            else
                below = mid;
        }
        const testutil::RunResult refused = runUnderLimit(flag, below, "run.cfg");
        EXPECT_EQ(refused.status, 255) << flag;
        EXPECT_TRUE(std::regex_match(refused.out, refusal)) << refused.out;
        EXPECT_NE(refused.out.find(flag == 'v' ? "of address space" : "of data segment"), std::string::npos)
            << refused.out;
        std::remove("E_cpu.csv");
        const testutil::RunResult complete = runUnderLimit(flag, from, "run.cfg");
        EXPECT_EQ(complete.status, 0) << flag << " " << complete.out;
        EXPECT_TRUE(fileExists("E_cpu.csv")) << flag;
    }
#endif
}

namespace {

// A fake tree of /proc and cgroup files under a folder of its own.
class FakeTree {
public:
    explicit FakeTree(const std::string &root) : m_root(root) { mkdir(root.c_str(), 0755); }
    const std::string &root() const { return m_root; }
    void put(const std::string &path, const std::string &text) const
    {
        for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
            mkdir((m_root + path.substr(0, slash)).c_str(), 0755);
        writeFile(m_root + path, text);
    }

private:
    std::string m_root;
};

} // namespace

TEST(Driver, MemoryCheckReadsTheCgroupLimits)
{
    TempDir dir;
    const std::size_t MiB = std::size_t(1) << 20;
    const std::string v2Mount = "30 22 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n";
    const std::string hybridMounts = "30 22 0:27 / /sys/fs/cgroup rw - tmpfs tmpfs rw\n"
                                     "34 30 0:31 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
                                     "35 30 0:32 / /sys/fs/cgroup/cpu rw shared:9 - cgroup cgroup rw,cpu\n"
                                     "40 30 0:37 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
    const struct Case {
        const char *name;
        std::string cgroup, mountinfo;
        std::vector<std::pair<std::string, std::string>> files;
        std::size_t room; // SIZE_MAX: no cgroup limit, the physical memory
    } cases[] = {
        {"v2", "0::/app/job\n", v2Mount,
         {{"/sys/fs/cgroup/app/job/memory.max", "1073741824\n"},
          {"/sys/fs/cgroup/app/job/memory.current", "268435456\n"}},
         768 * MiB},
        {"v2 without a limit", "0::/app/job\n", v2Mount,
         {{"/sys/fs/cgroup/app/job/memory.max", "max\n"},
          {"/sys/fs/cgroup/app/job/memory.current", "268435456\n"}},
         SIZE_MAX},
        {"v2 limit above", "0::/app/job\n", v2Mount,
         {{"/sys/fs/cgroup/app/memory.max", "536870912\n"}, {"/sys/fs/cgroup/app/memory.current", "134217728\n"},
          {"/sys/fs/cgroup/app/job/memory.max", "max\n"}},
         384 * MiB},
        {"v2 over its limit", "0::/\n", v2Mount,
         {{"/sys/fs/cgroup/memory.max", "1048576\n"}, {"/sys/fs/cgroup/memory.current", "2097152\n"}}, 0},
        {"v1 on a hybrid host", "9:name=systemd:/\n4:memory:/process_api/e5\n0::/\n", hybridMounts,
         {{"/sys/fs/cgroup/memory/process_api/e5/memory.limit_in_bytes", "2147483648\n"},
          {"/sys/fs/cgroup/memory/process_api/e5/memory.usage_in_bytes", "536870912\n"},
          {"/sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n"}},
         1536 * MiB},
        {"v1 without a limit", "4:memory:/process_api/e5\n0::/\n", hybridMounts,
         {{"/sys/fs/cgroup/memory/process_api/e5/memory.limit_in_bytes", "9223372036854771712\n"},
          {"/sys/fs/cgroup/memory/process_api/e5/memory.usage_in_bytes", "5591040\n"}},
         SIZE_MAX},
        {"v1 mounted at its own cgroup, a space in the path", "5:cpuacct,memory:/docker/a b\n",
         "50 40 0:40 /docker/a\\040b /sys/fs/cgroup/mem\\040ory ro master:5 - cgroup cgroup rw,cpuacct,memory\n",
         {{"/sys/fs/cgroup/mem ory/memory.limit_in_bytes", "104857600\n"},
          {"/sys/fs/cgroup/mem ory/memory.usage_in_bytes", "52428800\n"}},
         50 * MiB},
        // Page cache the cgroup charged (output files written earlier) is reclaimed before
        // an allocation fails: its inactive part is room.
        {"v2 with page cache", "0::/app/job\n", v2Mount,
         {{"/sys/fs/cgroup/app/job/memory.max", "1073741824\n"},
          {"/sys/fs/cgroup/app/job/memory.current", "943718400\n"},
          {"/sys/fs/cgroup/app/job/memory.stat", "anon 104857600\nfile 838860800\nactive_file 314572800\n"
                                                "inactive_file 524288000\n"}},
         624 * MiB},
        {"v1 with page cache", "4:memory:/process_api/e5\n0::/\n", hybridMounts,
         {{"/sys/fs/cgroup/memory/process_api/e5/memory.limit_in_bytes", "1073741824\n"},
          {"/sys/fs/cgroup/memory/process_api/e5/memory.usage_in_bytes", "943718400\n"},
          {"/sys/fs/cgroup/memory/process_api/e5/memory.stat", "cache 838860800\ninactive_file 1048576\n"
                                                               "total_inactive_file 524288000\n"}},
         624 * MiB},
        {"no readable files", "0::/app\n", v2Mount, {}, SIZE_MAX},
        // Fields are separated by single spaces: a mount without a source has an empty one.
        {"v2 mount without a source", "0::/app/job\n", "30 22 0:26 / /sys/fs/cgroup rw - cgroup2  rw,nsdelegate\n",
         {{"/sys/fs/cgroup/app/job/memory.max", "1073741824\n"},
          {"/sys/fs/cgroup/app/job/memory.current", "268435456\n"}},
         768 * MiB},
        {"v1 mount without a source", "4:memory:/process_api/e5\n",
         "34 30 0:31 / /sys/fs/cgroup/memory rw shared:9 - cgroup  rw,memory\n",
         {{"/sys/fs/cgroup/memory/process_api/e5/memory.limit_in_bytes", "2147483648\n"},
          {"/sys/fs/cgroup/memory/process_api/e5/memory.usage_in_bytes", "536870912\n"}},
         1536 * MiB},
        // A cgroup outside the namespace root is not under the mount: the mount's own limit,
        // not the folders that the path would name beside it.
        {"v2 outside the namespace root", "0::/../x\n", v2Mount,
         {{"/sys/fs/cgroup/memory.max", "1073741824\n"}, {"/sys/fs/cgroup/memory.current", "268435456\n"},
          {"/sys/fs/x/memory.max", "1048576\n"}, {"/sys/fs/memory.max", "1048576\n"}},
         768 * MiB},
        {"v1 outside the namespace root", "4:memory:/../../x\n0::/\n", hybridMounts,
         {{"/sys/fs/cgroup/memory/memory.limit_in_bytes", "2147483648\n"},
          {"/sys/fs/cgroup/memory/memory.usage_in_bytes", "536870912\n"},
          {"/sys/fs/x/memory.limit_in_bytes", "1048576\n"}, {"/sys/fs/cgroup/memory.limit_in_bytes", "1048576\n"}},
         1536 * MiB},
        {"v2 mounted above the namespace root", "0::/../x\n",
         "30 22 0:26 /.. /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n",
         {{"/sys/fs/cgroup/x/memory.max", "104857600\n"}, {"/sys/fs/cgroup/x/memory.current", "52428800\n"}},
         50 * MiB},
    };
    for (const Case &c : cases) {
        const FakeTree tree(dir.file(std::to_string(&c - cases)));
        tree.put("/proc/meminfo", "MemTotal:       16777216 kB\nMemAvailable:    4194304 kB\n");
        tree.put("/proc/self/cgroup", c.cgroup);
        tree.put("/proc/self/mountinfo", c.mountinfo);
        for (const auto &f : c.files)
            tree.put(f.first, f.second);
        const MemoryAvailable m = physicalMemoryAvailable(tree.root());
        const bool limited = c.room != SIZE_MAX;
        EXPECT_EQ(m.bytes, limited ? c.room : 4096 * MiB) << c.name;
        EXPECT_STREQ(m.what, limited ? "memory under its cgroup limit" : "physical memory") << c.name;
    }
    // Cut-off and odd files give the limit of the mount point or none; never a crash, nor a
    // limit read outside the mount.
    const FakeTree tree(dir.file("odd"));
    tree.put("/proc/meminfo", "MemAvailable:    4194304 kB\n");
    tree.put("/sys/fs/cgroup/memory.max", "805306368\n");
    for (const char *outside : {"/sys/fs/memory.max", "/sys/memory.max", "/memory.max"})
        tree.put(outside, "1048576\n");
    const std::string mountinfo = "30 22 0:26 / /sys/fs/cgroup rw shared:1 - cgroup2  rw\n", cgroup = "0::/../a\n";
    std::vector<std::pair<std::string, std::string>> odd;
    for (std::size_t n = 0; n <= mountinfo.size(); ++n)
        odd.emplace_back(cgroup, mountinfo.substr(0, n));
    for (const char *path : {"0::/a/../../..", "0::/a/./..", "0::a/../..", "0::..", "0::/a//..", "0:memory:/../..",
                             "0::/\n0::/../../..\n::", "\n:\n::\n0", ""})
        odd.emplace_back(path, mountinfo);
    odd.emplace_back(cgroup, "1 2 3 / /sys/fs/cgroup - cgroup2 x rw\n- - - - - - - - -\n");
    odd.emplace_back(cgroup, "1 2 3 /a/../.. /sys/fs/cgroup rw - cgroup2 x rw\n1 2 3 / sys rw - cgroup2 x rw\n");
    const char nulSource[] = "1 2 3 / /sys/fs/cgroup rw - cgroup2 \0 rw\n";
    odd.emplace_back(cgroup, std::string(nulSource, sizeof nulSource - 1) + std::string(1 << 16, ' '));
    for (const auto &files : odd) {
        tree.put("/proc/self/cgroup", files.first);
        tree.put("/proc/self/mountinfo", files.second);
        const std::size_t room = physicalMemoryAvailable(tree.root()).bytes;
        EXPECT_TRUE(room == 768 * MiB || room == 4096 * MiB) << files.first << files.second;
    }
}

namespace {

// Entries of the working directory that are temporary files of the program.
int temporaryFiles()
{
    int n = 0;
    if (DIR *d = opendir(".")) {
        while (const dirent *e = readdir(d))
            n += std::strstr(e->d_name, ".fyrnol-tmp.") != nullptr;
        closedir(d);
    }
    return n;
}

// A volume of 64 x 64 samples a plane: a cross-section file of a plane takes 8 kB or more.
std::string wideConfig(int nz)
{
    std::string cfg = TINY;
    return cfg.replace(cfg.find("nx=2\nny=2\nnz=2\n"), 15, "nx=64\nny=64\nnz=" + std::to_string(nz) + "\n");
}

// Starts the binary with the default action of every signal it takes over and nothing
// blocked, whatever the test runner left, ended by SIGALRM after a minute; standard output
// and error into out (unless -1; error into err where given), files no larger than limit
// bytes (unless 0).
pid_t startFyrnol(std::vector<const char *> args, int out = -1, rlim_t limit = 0, int err = -1)
{
    const pid_t pid = fork();
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (const int s : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGXFSZ, SIGALRM})
            signal(s, SIG_DFL);
        const struct rlimit lim = {limit, limit};
        if ((limit > 0 && setrlimit(RLIMIT_FSIZE, &lim) != 0) ||
            (out >= 0 && (dup2(out, 1) < 0 || dup2(err >= 0 ? err : out, 2) < 0)))
            _exit(126);
        alarm(60);
        args.insert(args.begin(), FYRNOL_BIN);
        args.push_back(nullptr);
        execv(FYRNOL_BIN, const_cast<char *const *>(args.data()));
        _exit(127);
    }
    return pid;
}

// The exit status of a started run, or minus the signal that ended it.
int waitForFyrnol(pid_t pid)
{
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// Up to size bytes from fd, waiting at most 20 s for them; empty at the end or on timeout.
std::string readWithin(int fd, size_t size)
{
    pollfd p = {fd, POLLIN, 0};
    std::string text(size, '\0');
    const ssize_t n = poll(&p, 1, 20000) == 1 ? read(fd, &text[0], size) : -1;
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

std::string warning(const char *name)
{
    return std::string("\033[31mWarning - output file \"") + name + "\" could not be written\033[0m\n";
}

} // namespace

TEST(Driver, InterruptedRunLeavesNoTemporaryFile)
{
    TempDir dir;
    // 256 x 256 x 128 samples, every plane written: each input file takes a while.
    std::string cfg = TINY;
    cfg.replace(cfg.find("nx=2\nny=2\nnz=2\n"), 15, "nx=256\nny=256\nnz=128\n");
    writeFile("big.cfg", cfg);
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        const pid_t pid = startFyrnol({"-q", "-i", "big.cfg", "-l", "-1"});
        ASSERT_GE(pid, 0);
        bool seen = false;
        for (int ms = 0; ms < 60000 && !(seen = temporaryFiles() > 0); ++ms)
            usleep(1000);
        kill(pid, sig);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(seen) << sig;
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << sig << " " << status;
        EXPECT_EQ(temporaryFiles(), 0) << sig;
    }
}

// Past the file-size limit a write fails as on a full disk: the old file stays, no temporary
// file is left, the results row is taken back, and the run goes on.
TEST(Driver, FileSizeLimit)
{
    TempDir dir;
    writeFile("wide.cfg", wideConfig(2));
    writeFile("N_sys.csv", "old\n");
    const size_t limit = 4096;
    const std::string rows = HEADER_LINE + std::string(limit - 10 - std::strlen(HEADER_LINE), 'x') + "\n";
    writeFile("res.csv", rows);
    const int out = open("out.txt", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int status =
        waitForFyrnol(startFyrnol({"-q", "-i", "wide.cfg", "-p", "-r", "res.csv"}, out, limit));
    close(out);
    EXPECT_EQ(status, 255);
    std::string expected;
    for (const char *f : {"N_sys.csv", "E_inp.csv", "F_inp.csv", "E_cpu.csv", "EFlux_cpu.csv", "res.csv"})
        expected += warning(f);
    EXPECT_EQ(readFile("out.txt"), expected);
    EXPECT_EQ(readFile("N_sys.csv"), "old\n");
    EXPECT_EQ(readFile("res.csv"), rows);
    EXPECT_EQ(readFile("EFlux_cpu_Z.csv"), "\n1,1.5\n");
    EXPECT_EQ(temporaryFiles(), 0);
}

TEST(Driver, PipesClosedByTheirReaders)
{
    TempDir dir;
    writeFile("wide.cfg", wideConfig(8));
    ASSERT_EQ(mkfifo("E_cpu.csv", 0644), 0); // every plane: far more than a pipe holds
    // A FIFO whose reader leaves after 10 bytes refuses the rest like a device.
    int fifo = open("E_cpu.csv", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fifo, 0);
    const int out = open("out.txt", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_t pid = startFyrnol({"-q", "-i", "wide.cfg", "-p", "-l", "-1", "-r", "res.csv"}, out);
    close(out);
    EXPECT_EQ(readWithin(fifo, 10).size(), 10u);
    close(fifo);
    EXPECT_EQ(waitForFyrnol(pid), 255);
    EXPECT_EQ(readFile("out.txt"), warning("E_cpu.csv"));
    EXPECT_NE(readFile("res.csv").find("\nwide.cfg;0;16;8;64;64;"), std::string::npos);
    EXPECT_TRUE(fileExists("EFlux_cpu_Z.csv"));
    std::remove("EFlux_cpu_Z.csv");

    // Standard output closed by its reader while the run waits on the FIFO: the console line
    // of the flux profile, printed while its file is open, ends the run by SIGPIPE, after the
    // temporary file is removed.
    fifo = open("E_cpu.csv", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fifo, 0);
    int console[2];
    ASSERT_EQ(pipe2(console, O_CLOEXEC), 0);
    pid = startFyrnol({"-i", "wide.cfg", "-p", "-l", "-1"}, console[1]);
    close(console[1]);
    std::string text;
    while (text.find("CPU ... done.") == std::string::npos || text.compare(text.size() - 2, 2, "\n\n") != 0) {
        const std::string more = readWithin(console[0], 4096);
        ASSERT_FALSE(more.empty()) << text;
        text += more;
    }
    close(console[0]);
    while (!readWithin(fifo, 65536).empty()) {
    }
    close(fifo);
    EXPECT_EQ(waitForFyrnol(pid), -SIGPIPE);
    EXPECT_FALSE(fileExists("EFlux_cpu_Z.csv"));
    EXPECT_EQ(temporaryFiles(), 0);
}

namespace {

// A quiet run of tiny.cfg whose E_inp.csv leads to its standard output, which the shell
// redirection puts on log.txt holding "kept": the line stays, the file and the row follow.
void expectLogKeptThenOutputs(const std::string &prefix, const std::string &redirection)
{
    writeFile("log.txt", "kept\n");
    const std::string run = prefix + "'" + FYRNOL_BIN + "' -q -i tiny.cfg -p " + redirection;
    const int raw = std::system(run.c_str());
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << raw;
    EXPECT_EQ(readFile("log.txt").rfind("kept\n1,1,\n1,1,\n\ntiny.cfg;0;16;2;2;2;", 0), 0u)
        << readFile("log.txt");
}

} // namespace

// A name that is or links to a descriptor of the process writes into it, after what is
// there; nothing is replaced. The results row gets no header there.
TEST(Driver, OutputsIntoTheProcessDescriptors)
{
    TempDir dir;
    writeFile("tiny.cfg", TINY);
    ASSERT_EQ(symlink("/dev/stdout", "E_inp.csv"), 0);
    auto r = runFyrnol("-i tiny.cfg -p -r /dev/stderr");
    EXPECT_EQ(r.status, 0);
    const std::string out = maskTimes(r.out);
    EXPECT_NE(out.find("Initialization ... \t\tdone. Tms\n\n1,1,\n1,1,\n\noption -r"), std::string::npos)
        << out;
    EXPECT_NE(out.find("flux0: ... \t 2.51327e+07\ntiny.cfg;0;16;2;2;2;"), std::string::npos) << out;
    struct stat st;
    EXPECT_TRUE(lstat("E_inp.csv", &st) == 0 && S_ISLNK(st.st_mode));

    // Opened for reading and writing at its start: written after its content, not over it.
    expectLogKeptThenOutputs("", "-r /proc/self/fd/1 1<>log.txt");

    // A closed descriptor and one open for reading only.
    std::remove("E_inp.csv");
    auto closed = runFyrnol("-q -i tiny.cfg -p -r /dev/fd/9 9>&-");
    EXPECT_EQ(closed.status, 255);
    EXPECT_EQ(closed.out, warning("/dev/fd/9"));
    auto input = runFyrnol("-q -i tiny.cfg -p -r /dev/stdin < tiny.cfg");
    EXPECT_EQ(input.out, warning("/dev/stdin"));
    EXPECT_EQ(temporaryFiles(), 0);
}

// Where /proc belongs to another PID namespace, procfs knows the process by another pid
// than getpid(): /dev/fd/1 is its standard output all the same, never a link to follow and
// replace. A name that procfs refuses (a leading zero) is no descriptor.
TEST(Driver, DescriptorNamesUnderAnotherPidNamespace)
{
    TempDir dir;
    writeFile("tiny.cfg", TINY);
    auto zero = runFyrnol("-q -i tiny.cfg -p -r /dev/fd/01");
    EXPECT_EQ(zero.status, 255);
    EXPECT_EQ(zero.out, warning("/dev/fd/01"));

    if (std::system("unshare --pid --fork true 2>/dev/null") != 0)
        GTEST_SKIP() << "unshare --pid --fork is refused here: the PID namespace part is not run";
    std::remove("E_inp.csv");
    ASSERT_EQ(symlink("/dev/fd/1", "E_inp.csv"), 0);
    expectLogKeptThenOutputs("timeout -s KILL 60 unshare --pid --fork ", "-r /dev/fd/1 >> log.txt");
    struct stat st;
    EXPECT_TRUE(lstat("E_inp.csv", &st) == 0 && S_ISLNK(st.st_mode));
}

// A parent may leave the pipe behind standard output non-blocking (O_NONBLOCK on the
// description it shares): a file written there waits for the slow reader and arrives whole.
TEST(Driver, NonBlockingStandardOutputGetsWholeFiles)
{
    TempDir dir;
    writeFile("wide.cfg", wideConfig(8)); // every plane: far more than a pipe holds
    ASSERT_EQ(waitForFyrnol(startFyrnol({"-q", "-i", "wide.cfg", "-l", "-1"})), 0);
    const std::string whole = readFile("E_inp.csv");
    std::remove("E_inp.csv");
    ASSERT_EQ(symlink("/dev/stdout", "E_inp.csv"), 0);
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    fcntl(out[1], F_SETPIPE_SZ, 4096); // the smallest pipe: many waits
    ASSERT_EQ(fcntl(out[1], F_SETFL, fcntl(out[1], F_GETFL) | O_NONBLOCK), 0);
    const pid_t pid = startFyrnol({"-q", "-i", "wide.cfg", "-l", "-1"}, out[1]);
    close(out[1]);
    std::string text;
    for (std::string more; !(more = readWithin(out[0], 1024)).empty(); usleep(1000))
        text += more;
    close(out[0]);
    EXPECT_EQ(waitForFyrnol(pid), 0);
    EXPECT_TRUE(text == whole) << text.size() << " of " << whole.size() << " bytes:\n"
                               << text.substr(text.size() > 200 ? text.size() - 200 : 0);
}

// A results file whose lock another process holds (`flock res.csv ...`): after about a
// second the run says once that it waits, quiet too, and its row lands when the lock is free.
TEST(Driver, ResultsFileLockHeldByAnother)
{
    TempDir dir;
    writeFile("tiny.cfg", TINY);
    writeFile("res.csv", HEADER_LINE);
    const int held = open("res.csv", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    // Rows into a log behind standard output (-r /dev/stdout >> res.csv); the waiting line on
    // standard error, never among them.
    const int log = open("res.csv", O_WRONLY | O_APPEND | O_CLOEXEC);
    const int out = open("out.txt", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = startFyrnol({"-q", "-i", "tiny.cfg", "-p", "-r", "/dev/stdout"}, log, 0, out);
    close(log);
    close(out);
    const std::string line = "Waiting for the lock on results file \"/dev/stdout\" ...\n";
    for (int ms = 0; ms < 20000 && readFile("out.txt").empty(); ms += 10)
        usleep(10000);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    usleep(300000);
    EXPECT_EQ(readFile("out.txt"), line);
    EXPECT_EQ(readFile("res.csv"), HEADER_LINE);
    close(held);
    EXPECT_EQ(waitForFyrnol(pid), 0);
    EXPECT_EQ(readFile("out.txt"), line);
    EXPECT_EQ(readFile("res.csv").rfind(std::string(HEADER_LINE) + "tiny.cfg;0;16;2;2;2;", 0), 0u);
}

// These need a device: they skip only where the CUDA runtime finds none.
TEST(Driver, GpuBlockSizeAndKernelIdRules)
{
#ifndef FYRNOL_HAVE_CUDA
    GTEST_SKIP() << "built without CUDA";
#else
    SKIP_WITHOUT_DEVICE();
    TempDir dir;
    writeFile("tiny.cfg", TINY);
    auto probe = runFyrnol("-q -i tiny.cfg -g");
    ASSERT_EQ(probe.status, 0) << probe.out;
    auto big = runFyrnol("-q -i tiny.cfg -g -b 1025");
    EXPECT_EQ(big.status, 255);
    EXPECT_EQ(big.out, "\033[31mError\033[0m - Block size is too large\n");
    EXPECT_EQ(runFyrnol("-q -i tiny.cfg -g -b 1024").status, 255); // 1024² threads: refused by the device
    auto refused = runFyrnol("-q -i tiny.cfg -g -b 33");
    EXPECT_EQ(refused.status, 255);
    EXPECT_EQ(refused.out, "\033[31m***ERROR*** 9 - invalid configuration argument***\033[0m\n");
    auto one = runFyrnol("-q -i tiny.cfg -g -p -c -k 1 -r res.csv");
    EXPECT_EQ(one.status, 0);
    EXPECT_EQ(one.out, "\033[31mError\033[0m - Shared memory kernel not supported by this version!\n");
    const std::string rows = readFile("res.csv");
    EXPECT_NE(rows.find("tiny.cfg;1;16;2;2;2;"), std::string::npos);
    // GPU, CPU and comparison rows.
    EXPECT_EQ(std::count(rows.begin(), rows.end(), '\n'), 4);
    // One medium throughout: both runs give the same field and flux to the printed digits.
    EXPECT_EQ(readFile("E_gpu.csv"), readFile("E_cpu.csv"));
    EXPECT_EQ(readFile("EFlux_gpu_Z.csv"), readFile("EFlux_cpu_Z.csv"));
#endif
}

#ifdef FYRNOL_CUDA_HOST
// The stand-in's fault switch fails device allocations and the transform plan of a GPU run.
TEST(Driver, GpuRunReportsDeviceFailures)
{
    TempDir dir;
    writeFile("tiny.cfg", TINY);
    const struct {
        const char *faults;
        const char *out;
    } cases[] = {
        // Allocated E, F, X, Y, N, KX, KY; reported in the order E, F, N, KX, KY, X, Y.
        {"malloc:3,malloc:5", "\033[31mError\033[0m - CPU memory alloc\n"
                              "\t\tError 2 on N alloc : out of memory\n"
                              "\t\tError 2 on X alloc : out of memory\n"},
        // The wrapper's spectrum buffer: the error state after the kernel call.
        {"malloc:8", "\033[31m***ERROR*** 2 - out of memory***\033[0m\n"},
        {"plan", "\033[31mError\033[0m - GPU FFT plan of 2 x 2 samples failed, cuFFT status 2\n"},
    };
    for (const auto &c : cases) {
        const testutil::FaultSwitch fault(c.faults);
        auto r = runFyrnol("-q -i tiny.cfg -g -p");
        EXPECT_EQ(r.status, 255) << c.faults;
        EXPECT_EQ(r.out, c.out) << c.faults;
        EXPECT_FALSE(fileExists("E_gpu.csv")) << c.faults;
    }
}

// A device still busy after the last launch is issued: the kernel time waits for it.
TEST(Driver, GpuKernelTimeCoversTheDevicesWork)
{
    TempDir dir;
    writeFile("tiny.cfg", TINY);
    const testutil::FaultSwitch busy("busy:300");
    auto r = runFyrnol("-i tiny.cfg -g -r res.csv");
    ASSERT_EQ(r.status, 0) << r.out;
    std::smatch line;
    ASSERT_TRUE(std::regex_search(r.out, line, std::regex("\tKernel call ...\t\tdone. ([-0-9.e+]+)ms\n")));
    EXPECT_GE(std::stod(line[1]), 300.0);
    std::smatch row;
    const std::string rows = readFile("res.csv");
    ASSERT_TRUE(std::regex_search(rows, row, std::regex("\ntiny.cfg;0;16;2;2;2;([-0-9.e+]+);-1;-1;")));
    EXPECT_GE(std::stod(row[1]), 300.0);
}
#endif

TEST(Examples, EveryExampleRunsOnTheCpu)
{
    for (const char *name : {"lens", "waveguide", "grating", "interface_tm"}) {
        TempDir dir;
        const std::string cfg = std::string(FYRNOL_SOURCE_DIR) + "/examples/" + name + ".cfg";
        auto r = runFyrnol("-q -p -i '" + cfg + "'");
        EXPECT_EQ(r.status, 0) << name << r.out;
        EXPECT_EQ(r.out, "") << name;
        const std::string profile = readFile("EFlux_cpu_Z.csv");
        EXPECT_EQ(profile.rfind("\n1,", 0), 0u) << name;
        EXPECT_EQ(profile.find("nan"), std::string::npos) << name;
    }
}
