// Speed of the CPU propagation, one thread: the direct sum (every sample sums its pair's
// terms) against the default evaluation (separable matrix products where they are
// cheaper), in the same process on the same volumes, runs interleaved; milliseconds per
// plane and their ratio. Runs in a fresh temporary directory (the transform writes its
// wisdom file there).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "volume.h"
#include "wpm.h"
#include "wpm_simd.h"
#include "wpm_sum.h"

namespace {

const double kLambda = 1e-6;
const double kK0 = 6.2831853 / kLambda;
const double kPitch = 0.5e-6;
const double kDz = 0.25e-6;

enum class Medium { Homogeneous, Grating, Lens };

struct Case {
    const char *name;
    Medium medium;
    polarization pol;
};

// One volume with its grids; plane 0 holds a random field, so that every component
// passes the threshold.
struct Volume : TestVolume {
    Volume(int nx_, int ny_, int planes, Medium medium) : TestVolume(nx_, ny_, planes, kPitch, cpx(1.0, 0.0))
    {
        for (int k = 0; k < nz; ++k)
            for (int j = 0; j < ny; ++j)
                for (int i = 0; i < nx; ++i)
                    N[at(i, j, k)] = index(medium, i - nx / 2, j - ny / 2, k);
        std::uint64_t seed = 12345;
        for (int m = 0; m < nx * ny; ++m) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            const double re = static_cast<double>(seed >> 11) / 9007199254740992.0 - 0.5;
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            const double im = static_cast<double>(seed >> 11) / 9007199254740992.0 - 0.5;
            E[m] = cpx(re, im);
        }
    }

    cpx index(Medium medium, int x, int y, int k) const
    {
        switch (medium) {
        case Medium::Homogeneous: return cpx(1.5, 0.0);
        case Medium::Grating:
            // Crossed grating of period 8 samples, shifted by 2 samples from plane to
            // plane: four distinct (n_i, n_t) pairs, interleaved along x and y.
            return (((x + nx + 2 * k) / 4 + (y + ny) / 4) % 2 == 1) ? cpx(1.5, 0.0) : cpx(1.0, 0.0);
        case Medium::Lens: {
            // A glass disc whose radius grows by a sample per plane, from a third of the
            // width: the ring between two planes changes from step to step.
            const double r = nx / 3.0 + k;
            return x * x + y * y <= r * r ? cpx(1.5, 0.0) : cpx(1.0, 0.0);
        }
        }
        return cpx(1.0, 0.0);
    }
};

double runSeconds(Volume &v, polarization pol, const SumChoice &choice)
{
    const auto start = std::chrono::steady_clock::now();
    vormel_3D(v.E.data(), v.F.data(), v.N.data(), v.KX.data(), v.X.data(), v.KY.data(),
              v.Y.data(), kK0, kDz, kPitch, kPitch, v.nz, v.ny, v.nx, true, false, pol, choice);
    const auto end = std::chrono::steady_clock::now();
    return std::chrono::duration<double>(end - start).count();
}

struct Size {
    int nx, ny, directPlanes, planes, rounds;
};

// Milliseconds per plane of the direct sum (negative when not run) and of the default.
struct Timing {
    double direct, fast, deviation;
};

Timing runCase(const Case &c, const Size &s)
{
    const SumChoice direct{SumPath::Direct, ProductOrder::Cheaper};
    const SumChoice cheaper{};
    {
        Volume warm(s.nx, s.ny, 2, c.medium); // plans the transform, so that wisdom is there
        runSeconds(warm, c.pol, cheaper);
    }
    Timing t{1e300, 1e300, 0.0};
    Volume fast(s.nx, s.ny, s.planes, c.medium);
    for (int round = 0; round < s.rounds; ++round) {
        if (s.directPlanes > 1) {
            Volume d(s.nx, s.ny, s.directPlanes, c.medium);
            t.direct = std::min(t.direct, runSeconds(d, c.pol, direct) * 1e3 / (s.directPlanes - 1));
            if (round == 0) {
                Volume f(s.nx, s.ny, s.directPlanes, c.medium);
                runSeconds(f, c.pol, cheaper);
                for (int k = 1; k < s.directPlanes; ++k)
                    t.deviation = std::max(t.deviation, planeDeviation(f.E, d.E, s.nx * s.ny, k));
            }
        }
        Volume f(s.nx, s.ny, s.planes, c.medium);
        t.fast = std::min(t.fast, runSeconds(f, c.pol, cheaper) * 1e3 / (s.planes - 1));
    }
    if (s.directPlanes <= 1)
        t.direct = -1.0;
    return t;
}

} // namespace

// Optional argument: the largest square grid to run (default 512); grids of more samples
// than it are left out.
int main(int argc, char **argv)
{
    const int largest = argc > 1 ? std::atoi(argv[1]) : 512;
    char dir[] = "/tmp/fyrnol-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) {
        std::perror("temporary directory");
        return 1;
    }

    std::printf("phase-sum kernel: %s; one thread; random incident field, pitch lambda/2, "
                "dz = lambda/4\n",
                simdLevelName(bestSimdLevel()));
    std::printf("ms per plane (best of the rounds, direct and default interleaved); dev: largest "
                "deviation of\nthe default E from the direct E over the direct planes, relative "
                "to each plane's largest |E|;\n'~' marks a direct time extrapolated from the "
                "last measured size (cost grows as (nx ny)^2)\n");
    std::printf("%-12s %-8s %-7s %12s %10s %9s %9s\n", "case", "samples", "planes", "direct",
                "default", "ratio", "dev E");
    const Case cases[] = {{"homogeneous", Medium::Homogeneous, NA},
                          {"grating TE", Medium::Grating, TE},
                          {"lens TM", Medium::Lens, TM}};
    // 2048 x 64, a strip such as the cross-section of a waveguide, and 512 x 384: grids
    // that are not square take the products too. In order of their samples.
    const Size sizes[] = {{64, 64, 4, 9, 5},  {128, 128, 3, 9, 3}, {256, 256, 2, 5, 2},
                          {2048, 64, 0, 3, 2}, {512, 384, 0, 3, 2}, {512, 512, 0, 3, 2}};
    // The last measured direct time of each case and its samples, for the extrapolation.
    std::vector<double> lastDirect(3, -1.0), lastSamples(3, 0.0);
    for (const Size &s : sizes) {
        const double samples = static_cast<double>(s.nx) * s.ny;
        if (samples > static_cast<double>(largest) * largest)
            break;
        for (int ci = 0; ci < 3; ++ci) {
            const Case &c = cases[ci];
            Timing t = runCase(c, s);
            const bool estimated = t.direct < 0.0 && lastDirect[ci] > 0.0;
            if (estimated) {
                const double grown = samples / lastSamples[ci];
                t.direct = lastDirect[ci] * grown * grown;
            } else if (t.direct > 0.0) {
                lastDirect[ci] = t.direct;
                lastSamples[ci] = samples;
            }
            const std::string grid = std::to_string(s.nx) + "x" + std::to_string(s.ny);
            const std::string planes = (s.directPlanes > 1 ? std::to_string(s.directPlanes) : "-") +
                                       std::string("/") + std::to_string(s.planes);
            char direct[32], ratio[32], dev[32];
            std::snprintf(direct, sizeof direct, "%s%.1f", estimated ? "~" : "", t.direct);
            std::snprintf(ratio, sizeof ratio, "%s%.0fx", estimated ? "~" : "", t.direct / t.fast);
            std::snprintf(dev, sizeof dev, s.directPlanes > 1 ? "%.1e" : "-", t.deviation);
            std::printf("%-12s %-8s %-7s %12s %10.2f %9s %9s\n", c.name, grid.c_str(),
                        planes.c_str(), direct, t.fast, ratio, dev);
            std::fflush(stdout);
        }
    }

    std::remove("wisdom3.txt");
    if (chdir("/") != 0 || rmdir(dir) != 0)
        std::fprintf(stderr, "could not remove %s\n", dir);
    return 0;
}
