// Throughput of the CPU propagation against the literal direct summation, one thread:
// nanoseconds per component-sample pair on the same volumes, and their ratio.
// Runs in a fresh temporary directory (the transform writes its wisdom file there).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fftwrap.h"
#include "reference_wpm.h"
#include "volume.h"
#include "wpm.h"
#include "wpm_simd.h"

namespace {

const double kLambda = 1e-6;
const double kK0 = 6.2831853 / kLambda;
const double kPitch = 0.5e-6;
const double kDz = 0.25e-6;

enum class Medium { Homogeneous, TwoMaterial };

struct Case {
    const char *name;
    Medium medium;
    polarization pol;
};

// One volume with its grids; plane 0 holds a random field, so that every component
// passes the threshold.
struct Volume : TestVolume {
    Volume(int n, int planes, Medium medium) : TestVolume(n, n, planes, kPitch)
    {
        if (medium == Medium::TwoMaterial) {
            // Crossed grating of period 8 samples, shifted by 2 samples from plane to
            // plane: four distinct (n_i, n_t) pairs, interleaved along x and y.
            for (int k = 0; k < nz; ++k)
                for (int j = 0; j < ny; ++j)
                    for (int i = 0; i < nx; ++i)
                        if (((i + 2 * k) / 4 + j / 4) % 2 == 1)
                            N[at(i, j, k)] = cpx(1.5, 0.0);
        }
        std::uint64_t seed = 12345;
        for (int m = 0; m < nx * ny; ++m) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            const double re = static_cast<double>(seed >> 11) / 9007199254740992.0 - 0.5;
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            const double im = static_cast<double>(seed >> 11) / 9007199254740992.0 - 0.5;
            E[m] = cpx(re, im);
        }
    }
};

typedef void (*Propagator)(cpx *, double *, const cpx *, const cpx *, const double *,
                           const cpx *, const double *, double, double, double, double, int,
                           int, int, bool, bool, polarization);

double runSeconds(Propagator propagate, Volume &v, polarization pol)
{
    const auto start = std::chrono::steady_clock::now();
    propagate(v.E.data(), v.F.data(), v.N.data(), v.KX.data(), v.X.data(), v.KY.data(),
              v.Y.data(), kK0, kDz, kPitch, kPitch, v.nz, v.ny, v.nx, true, false, pol);
    const auto end = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(end - start).count();
}

// Component-sample pairs summed: the retained components of each transformed plane
// times the samples of a plane.
double pairCount(Volume &v)
{
    const int nxy = v.nx * v.ny;
    std::vector<cpx> S(nxy);
    fftwrap::fft2d forward(v.nx, v.ny, -1, nullptr, S.data());
    double pairs = 0.0;
    for (int k = 0; k + 1 < v.nz; ++k) {
        forward.fft(v.E.data() + static_cast<size_t>(k) * nxy, S.data());
        for (const cpx &s : S)
            if (!(std::abs(s) < 1e-4))
                pairs += nxy;
    }
    return pairs;
}

// Literal reference on a volume of literalPlanes planes, production on `planes`
// planes (the first literalPlanes of them compared).
void runCase(const Case &c, int n, int planes, int literalPlanes)
{
    Volume literal(n, literalPlanes, c.medium);
    const double literalSeconds = runSeconds(ref::vormel_3D_literal, literal, c.pol);
    const double literalPairs = pairCount(literal);

    double best = 1e300;
    Volume production(n, planes, c.medium);
    for (int rep = 0; rep < 3; ++rep) {
        Volume v(n, planes, c.medium);
        best = std::min(best, runSeconds(vormel_3D, v, c.pol));
        production = v;
    }
    const double productionPairs = pairCount(production);

    double devE = 0.0, devF = 0.0;
    for (int k = 1; k < literalPlanes; ++k) {
        devE = std::max(devE, planeDeviation(production.E, literal.E, n * n, k));
        devF = std::max(devF, planeDeviation(production.F, literal.F, n * n, k));
    }
    const double nsLiteral = literalSeconds * 1e9 / literalPairs;
    const double nsProduction = best * 1e9 / productionPairs;
    const std::string samples = std::to_string(n) + "x" + std::to_string(n);
    const std::string planeCounts = std::to_string(literalPlanes) + "/" + std::to_string(planes);
    std::printf("%-12s %-8s %-7s %10.2f %10.3f %7.1fx %9.1e %9.1e\n", c.name, samples.c_str(),
                planeCounts.c_str(), nsLiteral, nsProduction, nsLiteral / nsProduction, devE,
                devF);
    std::fflush(stdout);
}

} // namespace

int main()
{
    char dir[] = "/tmp/fyrnol-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) {
        std::perror("temporary directory");
        return 1;
    }

    std::printf("phase-sum kernel: %s\n", simdLevelName(bestSimdLevel()));
    std::printf("ns per component-sample pair, one thread; planes: literal/fast; max dev: of the\n"
                "fast E and F from the literal ones, relative to each plane's largest value\n");
    std::printf("%-12s %-8s %-7s %10s %10s %8s %9s %9s\n", "case", "samples", "planes",
                "literal", "fast", "ratio", "dev E", "dev F");
    const Case cases[] = {{"homogeneous", Medium::Homogeneous, NA},
                          {"two-mat. TE", Medium::TwoMaterial, TE},
                          {"two-mat. TM", Medium::TwoMaterial, TM}};
    const struct {
        int n, planes, literalPlanes;
    } sizes[] = {{32, 5, 5}, {64, 3, 3}, {128, 3, 2}};
    for (const auto &size : sizes)
        for (const Case &c : cases)
            runCase(c, size.n, size.planes, size.literalPlanes);

    std::remove("wisdom3.txt");
    if (chdir("/") != 0 || rmdir(dir) != 0)
        std::fprintf(stderr, "could not remove %s\n", dir);
    return 0;
}
