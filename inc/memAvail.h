// What a run will take and what this process can still take, for the check before a run
// allocates its volumes.
#ifndef FYRNOL_MEMAVAIL_H
#define FYRNOL_MEMAVAIL_H

#include <cstddef>
#include <cstdint>
#include <string>

// Byte counts that saturate at SIZE_MAX instead of wrapping: a size no machine holds stays one.
inline std::size_t addBytes(std::size_t a, std::size_t b) { return a > SIZE_MAX - b ? SIZE_MAX : a + b; }
inline std::size_t mulBytes(std::size_t a, std::size_t b) { return b != 0 && a > SIZE_MAX / b ? SIZE_MAX : a * b; }

// Bytes a run takes at most: what it may touch (physical memory), and what it maps
// (address space and data segment), which is more where a library maps work space that
// it barely touches.
struct MemoryNeed {
    std::size_t touched = 0;
    std::size_t mapped = 0;
};

inline MemoryNeed operator+(const MemoryNeed &a, const MemoryNeed &b)
{
    return {addBytes(a.touched, b.touched), addBytes(a.mapped, b.mapped)};
}

// A buffer of our own: mapped, and possibly touched, whole.
inline MemoryNeed wholeBuffer(std::size_t bytes) { return {bytes, bytes}; }

struct MemoryAvailable {
    std::size_t bytes; // SIZE_MAX when nothing is known
    const char *what;  // which bound it is, for the message
};

// Physical memory this process can still take: the smaller of MemAvailable (/proc/meminfo)
// and what its memory cgroups leave (limit less usage, the inactive page cache counted as
// free; its own cgroup's and those above it, v2 and v1 hierarchies alike). Every path read
// is prefixed by root: "" reads this machine's files, a folder holds a fake tree.
MemoryAvailable physicalMemoryAvailable(const std::string &root = "");

// The bound a need exceeds: physical memory for what it touches, the room that the
// address-space limit (RLIMIT_AS above VmSize) and the data-segment limit (RLIMIT_DATA above
// VmData) leave for what it maps. Where it exceeds several, the one with the least room;
// what is null where the need fits them all.
struct MemoryShortfall {
    std::size_t need;
    MemoryAvailable available;
};
MemoryShortfall memoryShortfall(const MemoryNeed &need);

#endif
