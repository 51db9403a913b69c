// Memory this process can still take, for the check before a run allocates its volumes.
#ifndef FYRNOL_MEMAVAIL_H
#define FYRNOL_MEMAVAIL_H

#include <cstddef>

struct MemoryAvailable {
    std::size_t bytes; // SIZE_MAX when nothing is known
    const char *what;  // which bound it is, for the message
};

// The smaller of the physical memory available now (MemAvailable of /proc/meminfo) and,
// when an address-space limit is set, what the limit leaves above the space in use.
MemoryAvailable memoryAvailable();

#endif
