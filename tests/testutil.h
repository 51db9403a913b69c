// Shared test helpers: temporary working directories, files, running the binary.
#ifndef FYRNOL_TESTUTIL_H
#define FYRNOL_TESTUTIL_H

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace testutil {

// A fresh directory that the test runs in; removed with its files afterwards.
class TempDir {
public:
    explicit TempDir(bool enter = true) : m_enter(enter)
    {
        char tmpl[] = "/tmp/fyrnol-test-XXXXXX";
        const char *d = mkdtemp(tmpl);
        m_path = d ? d : "";
        if (m_enter && getcwd(m_old, sizeof m_old) != nullptr && !m_path.empty())
            m_entered = chdir(m_path.c_str()) == 0;
    }
    ~TempDir()
    {
        if (m_entered && chdir(m_old) != 0) {
        }
        if (!m_path.empty()) {
            const std::string cmd = "rm -rf '" + m_path + "'";
            if (std::system(cmd.c_str()) != 0) {
            }
        }
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return m_path; }
    std::string file(const std::string &name) const { return m_path + "/" + name; }

private:
    bool m_enter;
    bool m_entered = false;
    char m_old[4096] = {0};
    std::string m_path;
};

inline void writeFile(const std::string &name, const std::string &text)
{
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string readFile(const std::string &name)
{
    std::ifstream in(name, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline bool fileExists(const std::string &name)
{
    return access(name.c_str(), F_OK) == 0;
}

struct RunResult {
    int status = -1; // exit status, or -1 when killed by a signal
    std::string out;
};

// Runs the fyrnol binary with the given argument string in the working directory.
inline RunResult runFyrnol(const std::string &args, const std::string &stdoutFile = "stdout.txt",
                           const std::string &prefix = "")
{
    const std::string cmd = prefix + "'" + FYRNOL_BIN + "' " + args + " > " + stdoutFile + " 2>&1";
    const int raw = std::system(cmd.c_str());
    RunResult r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = readFile(stdoutFile);
    std::remove(stdoutFile.c_str());
    return r;
}

// As runFyrnol, but killed after the given seconds (status 137), so that a run that
// blocks fails its test instead of hanging the suite.
inline RunResult runFyrnolWithin(int seconds, const std::string &args)
{
    return runFyrnol(args, "stdout.txt", "timeout -s KILL " + std::to_string(seconds) + " ");
}

} // namespace testutil

#ifdef FYRNOL_HAVE_CUDA
#include <cuda_runtime.h>

namespace testutil {

// Whether the CUDA runtime finds a device; a failed query leaves no error state behind.
inline bool hasCudaDevice()
{
    int count = 0;
    const bool ok = cudaGetDeviceCount(&count) == cudaSuccess && count > 0;
    cudaGetLastError();
    return ok;
}

#ifdef FYRNOL_CUDA_HOST
// Sets the host stand-in's fault switch for this process and the runs it starts.
class FaultSwitch {
public:
    explicit FaultSwitch(const char *items) { setenv("FYRNOL_CUDAHOST_FAIL", items, 1); }
    ~FaultSwitch() { unsetenv("FYRNOL_CUDAHOST_FAIL"); }
    FaultSwitch(const FaultSwitch &) = delete;
    FaultSwitch &operator=(const FaultSwitch &) = delete;
};
#endif

} // namespace testutil

// Device tests skip where no device is present. The host stand-in always has its device,
// so there a skip would hide a device test that never ran: it fails instead.
#ifdef FYRNOL_CUDA_HOST
#define SKIP_WITHOUT_DEVICE()                                                          \
    do {                                                                               \
        if (!testutil::hasCudaDevice())                                                \
            FAIL() << "the host stand-in of the CUDA runtime found no device";         \
    } while (0)
#else
#define SKIP_WITHOUT_DEVICE()                 \
    do {                                      \
        if (!testutil::hasCudaDevice())       \
            GTEST_SKIP() << "no CUDA device"; \
    } while (0)
#endif

#endif

#endif
