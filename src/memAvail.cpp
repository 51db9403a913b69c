// Memory this process can still take.
#include "memAvail.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The value of "key: N kB" in a /proc file, in bytes; false when it is not there.
bool procKilobytes(const std::string &file, const std::string &key, std::size_t *bytes)
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

// A cgroup byte count; false for "max", for a value no machine holds (v1 writes 2^63 less
// a page for no limit) and for a file that cannot be read.
bool cgroupBytes(const std::string &file, std::size_t *bytes)
{
    std::ifstream in(file);
    std::string text;
    if (!(in >> text) || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long long value = std::stoull(text);
    if (value >= (1ull << 60))
        return false;
    *bytes = static_cast<std::size_t>(value);
    return true;
}

// A mountinfo path field: spaces, tabs, newlines and backslashes come as octal escapes.
std::string unescaped(const std::string &field)
{
    const auto octal = [](char c) { return c >= '0' && c <= '7'; };
    std::string s;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && octal(field[i + 1]) && octal(field[i + 2]) &&
            octal(field[i + 3])) {
            s += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            s += field[i];
        }
    }
    return s;
}

bool listHas(const std::string &list, const std::string &item)
{
    std::istringstream in(list);
    std::string entry;
    while (std::getline(in, entry, ','))
        if (entry == item)
            return true;
    return false;
}

// A mounted cgroup hierarchy that can limit memory: v2, or v1 with the memory controller.
struct CgroupMount {
    bool v2;
    std::string root;  // the cgroup at the mount point
    std::string point; // where it is mounted
};

std::vector<CgroupMount> cgroupMounts(const std::string &mountinfo)
{
    std::vector<CgroupMount> mounts;
    std::ifstream in(mountinfo);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        std::string word;
        while (fields >> word)
            f.push_back(word);
        // id parent dev root point options [optional fields] - type source super-options
        const auto dash = std::find(f.begin(), f.end(), "-");
        if (f.size() < 5 || dash == f.end() || f.end() - dash < 4 || dash - f.begin() < 6)
            continue;
        const std::string &type = dash[1];
        const bool v2 = type == "cgroup2";
        if (v2 || (type == "cgroup" && listHas(dash[3], "memory")))
            mounts.push_back({v2, unescaped(f[3]), unescaped(f[4])});
    }
    return mounts;
}

// The folder of a cgroup under a mount of its hierarchy; false when the mount shows
// another part of the hierarchy.
bool cgroupFolder(const CgroupMount &m, const std::string &cgroup, std::string *folder)
{
    std::string rest;
    if (m.root == "/")
        rest = cgroup;
    else if (cgroup == m.root)
        rest = "";
    else if (cgroup.compare(0, m.root.size() + 1, m.root + "/") == 0)
        rest = cgroup.substr(m.root.size());
    else
        return false;
    *folder = m.point + (rest == "/" ? "" : rest);
    return true;
}

// The usage counts the page cache the cgroup was charged for (files written before, by this
// run or others); its inactive part is reclaimed before an allocation fails. 0 when unknown.
std::size_t reclaimableCache(const std::string &dir, bool v2)
{
    std::ifstream in(dir + "/memory.stat");
    const std::string key = v2 ? "inactive_file" : "total_inactive_file"; // v1: with those below
    std::string name;
    unsigned long long value;
    while (in >> name >> value)
        if (name == key)
            return static_cast<std::size_t>(value);
    return 0;
}

// What a cgroup and every cgroup above it up to the mount point leave: limit less usage,
// the reclaimable cache aside.
std::size_t cgroupRoom(const std::string &folder, const std::string &top, bool v2)
{
    const char *limitFile = v2 ? "/memory.max" : "/memory.limit_in_bytes";
    const char *usageFile = v2 ? "/memory.current" : "/memory.usage_in_bytes";
    std::size_t room = SIZE_MAX;
    std::string dir = folder;
    for (;;) {
        std::size_t limit = 0, usage = 0;
        if (cgroupBytes(dir + limitFile, &limit)) {
            cgroupBytes(dir + usageFile, &usage);
            usage -= std::min(usage, reclaimableCache(dir, v2));
            room = std::min(room, limit > usage ? limit - usage : 0);
        }
        const std::size_t slash = dir.rfind('/');
        if (dir.size() <= top.size() || slash == std::string::npos || slash < top.size())
            break;
        dir.erase(slash);
    }
    return room;
}

// The least room that the memory cgroups of this process leave; SIZE_MAX for none.
std::size_t cgroupsRoom(const std::string &root)
{
    const std::vector<CgroupMount> mounts = cgroupMounts(root + "/proc/self/mountinfo");
    std::ifstream in(root + "/proc/self/cgroup");
    std::string line;
    std::size_t room = SIZE_MAX;
    while (std::getline(in, line)) {
        // hierarchy-id:controllers:path; v2 is "0::path"
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos)
            continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const bool v2 = line.compare(0, first, "0") == 0 && controllers.empty();
        if (!v2 && !listHas(controllers, "memory"))
            continue;
        const std::string cgroup = line.substr(second + 1);
        for (const CgroupMount &m : mounts) {
            std::string folder;
            if (m.v2 == v2 && cgroupFolder(m, cgroup, &folder))
                room = std::min(room, cgroupRoom(root + folder, root + m.point, v2));
        }
    }
    return room;
}

// What a resource limit leaves above the usage that /proc/self/status reports for it.
MemoryAvailable limitRoom(int resource, const char *usageKey, const char *what)
{
    struct rlimit lim;
    if (getrlimit(resource, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY)
        return {SIZE_MAX, what};
    std::size_t used = 0;
    procKilobytes("/proc/self/status", usageKey, &used);
    return {lim.rlim_cur > used ? static_cast<std::size_t>(lim.rlim_cur) - used : 0, what};
}

} // namespace

MemoryAvailable physicalMemoryAvailable(const std::string &root)
{
    MemoryAvailable m = {SIZE_MAX, "memory"};
    std::size_t physical;
    if (procKilobytes(root + "/proc/meminfo", "MemAvailable:", &physical))
        m = {physical, "physical memory"};
    const std::size_t cgroup = cgroupsRoom(root);
    if (cgroup < m.bytes)
        m = {cgroup, "memory under its cgroup limit"};
    return m;
}

MemoryShortfall memoryShortfall(const MemoryNeed &need)
{
    const MemoryShortfall bounds[] = {
        {need.touched, physicalMemoryAvailable()},
        {need.mapped, limitRoom(RLIMIT_AS, "VmSize:", "address space under its limit")},
        {need.mapped, limitRoom(RLIMIT_DATA, "VmData:", "data segment under its limit")},
    };
    MemoryShortfall tightest = {0, {SIZE_MAX, nullptr}};
    for (const MemoryShortfall &b : bounds)
        if (b.need > b.available.bytes && b.available.bytes < tightest.available.bytes)
            tightest = b;
    return tightest;
}
