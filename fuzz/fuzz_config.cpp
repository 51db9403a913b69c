// Fuzz target: arbitrary bytes as a configuration file, through the parser, the
// configuration check and, for small volumes, the grids, the index volume and the
// incident field.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>

#include "system.h"
#include "wpm.h"

namespace {

// Volumes larger than this are refused before anything is built, so that one input
// costs at most a few milliseconds.
const long long MAX_SAMPLES = 4096;
const int MAX_PLANES = 64;

std::string tempDir;
std::string configPath;

void removeTempDir()
{
    if (!configPath.empty())
        unlink(configPath.c_str());
    if (!tempDir.empty())
        rmdir(tempDir.c_str());
}

bool writeFile(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *fp = std::fopen(path.c_str(), "wb");
    if (fp == nullptr)
        return false;
    const bool ok = std::fwrite(data, 1, size, fp) == size;
    return std::fclose(fp) == 0 && ok;
}

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "fuzz_config: %s\n", what);
    std::abort();
}

// What the driver does between the parse and the propagation, on the same records.
void buildVolumes(sysOptions *so, const std::vector<layer> &layers, const std::vector<emfield> &fields)
{
    const int nx = so->nx, ny = so->ny, nz = so->nz;
    const size_t total = static_cast<size_t>(nx) * ny * nz;
    const double dx = so->dx * so->f, dy = so->dy * so->f;

    std::vector<double> X(nx), Y(ny);
    std::vector<cpx> KX(nx), KY(ny);
    init_X(X.data(), nx, dx);
    init_X(Y.data(), ny, dy);
    init_F(KX.data(), nx, 6.2831853 / (nx * dx));
    init_F(KY.data(), ny, 6.2831853 / (ny * dy));

    std::vector<cpx> N(total);
    init_N(N.data(), so, &layers, false);
    // Components stack from plane 0 and are cut at the last plane.
    if (so->izlast < 0 || so->izlast > nz)
        fail("izlast left the volume");

    std::vector<double> F(total);
    std::vector<cpx> E(total);
    init_0(F.data(), so, false);
    init_E(E.data(), F.data(), N.data(), so, &fields, false);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The console report goes nowhere; libFuzzer and the sanitizers write to stderr.
    const int devnull = open("/dev/null", O_WRONLY);
    if (devnull < 0 || dup2(devnull, STDOUT_FILENO) < 0)
        fail("cannot redirect standard output");
    close(devnull);

    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/fuzz_config.XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        fail("cannot create a temporary directory");
    tempDir = buf.data();
    configPath = tempDir + "/system.cfg";
    std::atexit(removeTempDir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!writeFile(configPath, data, size))
        fail("cannot write the configuration file");

    sysOptions so;
    so.reset();
    std::vector<layer> layers;
    std::vector<emfield> fields;
    parse(configPath, &so, &layers, &fields, true);

    if (!checkSystem(&so, layers, false))
        return 0;
    const long long samples = static_cast<long long>(so.nx) * so.ny * so.nz;
    if (so.nz > MAX_PLANES || samples > MAX_SAMPLES)
        return 0;
    buildVolumes(&so, layers, fields);
    return 0;
}
