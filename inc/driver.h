// Command-line driver: output files, host operations and the whole run.
#ifndef FYRNOL_DRIVER_H
#define FYRNOL_DRIVER_H

#include <cstddef>
#include <string>

#include "kernel.h"
#include "system.h"

extern const std::string VERSION;

void printHelp(const char *argv);

bool store_array(const cpx *array, int nz, int ny, int nx, const std::string &filename, plane p, int s);
bool store_array(const double *array, int nz, int ny, int nx, const std::string &filename, plane p, int s);
bool store_array(const double2 *array, int nz, int ny, int nx, const std::string &filename, plane p, int s);

bool store_results(std::string filename, std::string cfile, int kernel, int blockSize,
                   int nz, int ny, int nx, double kernelTime, double cpuTime, double err);

double compare(const double2 *gpu, const cpx *cpu, int nz, int ny, int nx);
void convert(const cpx *src, double2 *dest, int n);
void check(const double *array, std::string s);
void check(const cpx *array, std::string s);
int nextpow2(double x);

// Count of planes of the orientation p: the valid plane indices are 0 .. count-1.
int planeCount(plane p, int nz, int ny, int nx);

// Writes the flux profile of F: each plane's flux over plane 0's. The console line and
// plane 0's flux are printed when plane 0 has been summed, unless quiet.
bool store_flux_profile(const double *F, int nz, int ny, int nx, const std::string &filename,
                        const char *consoleLine, bool is_quiet);

// Bytes of the volumes N, F and E of nx by ny by nz samples and the grids X, Y, KX and KY
// that the run allocates.
std::size_t volumeBytes(int nx, int ny, int nz);

// The whole run; returns the exit status of main.
int fyrnol_main(int argc, char **argv);

#endif
