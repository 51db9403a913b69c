// Memory this process can still take.
#include "memAvail.h"

#include <sys/resource.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <string>

namespace {

// The value of "key: N kB" in a /proc file, in bytes; false when it is not there.
bool procKilobytes(const char *file, const std::string &key, std::size_t *bytes)
{
    std::ifstream in(file);
    std::string name;
    unsigned long long kb;
    while (in >> name) {
        if (name == key && in >> kb) {
            *bytes = static_cast<std::size_t>(kb) * 1024;
            return true;
        }
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return false;
}

} // namespace

MemoryAvailable memoryAvailable()
{
    MemoryAvailable m = {SIZE_MAX, "memory"};
    std::size_t physical;
    if (procKilobytes("/proc/meminfo", "MemAvailable:", &physical))
        m = {physical, "physical memory"};
    struct rlimit lim;
    std::size_t used = 0;
    if (getrlimit(RLIMIT_AS, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY) {
        procKilobytes("/proc/self/status", "VmSize:", &used);
        const std::size_t left = lim.rlim_cur > used ? static_cast<std::size_t>(lim.rlim_cur) - used : 0;
        if (left < m.bytes)
            m = {left, "address space under its limit"};
    }
    return m;
}
