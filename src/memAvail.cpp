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

// The fields of a mountinfo line. They are separated by single spaces, so an empty field
// (a mount without a source) is a field of its own.
std::vector<std::string> mountinfoFields(const std::string &line)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t space = line.find(' ', start);
        fields.push_back(line.substr(start, space - start));
        if (space == std::string::npos)
            return fields;
        start = space + 1;
    }
}

// The folders of an absolute cgroup path ("/" has none). Leading ".." folders climb above the
// cgroup namespace root, where the kernel shows a cgroup outside it; false for any other
// form (relative, empty, "." or ".." after a name).
bool cgroupPath(const std::string &path, std::vector<std::string> *folders)
{
    folders->clear();
    if (path.empty() || path[0] != '/')
        return false;
    if (path == "/")
        return true;
    for (std::size_t start = 1;;) {
        const std::size_t slash = path.find('/', start);
        const std::string name = path.substr(start, slash - start);
        if (name.empty() || name == "." || (name == ".." && !folders->empty() && folders->back() != ".."))
            return false;
        folders->push_back(name);
        if (slash == std::string::npos)
            return true;
        start = slash + 1;
    }
}

// A mounted cgroup hierarchy that can limit memory: v2, or v1 with the memory controller.
struct CgroupMount {
    bool v2;
    std::vector<std::string> root; // the cgroup at the mount point
    std::string point;             // where it is mounted
};

std::vector<CgroupMount> cgroupMounts(const std::string &mountinfo)
{
    std::vector<CgroupMount> mounts;
    std::ifstream in(mountinfo);
    std::string line;
    while (std::getline(in, line)) {
        // id parent dev root point options [optional fields] - type source super-options
        const std::vector<std::string> f = mountinfoFields(line);
        if (f.size() < 10)
            continue;
        const auto dash = std::find(f.begin() + 6, f.end(), "-");
        if (f.end() - dash < 4)
            continue;
        const std::string &type = dash[1];
        const bool v2 = type == "cgroup2";
        CgroupMount m = {v2, {}, unescaped(f[4])};
        if ((v2 || (type == "cgroup" && listHas(dash[3], "memory"))) && cgroupPath(unescaped(f[3]), &m.root) &&
            !m.point.empty() && m.point[0] == '/')
            mounts.push_back(m);
    }
    return mounts;
}

// The folders below a mount's point down to a cgroup; false where the mount shows another
// part of the hierarchy. A cgroup outside the namespace root is shown with leading "..":
// where it is not visible under a mount of the namespace root or of a cgroup above it
// (its path does not name the folders between them), the nearest limit that the mount
// shows is its own folder's.
bool foldersBelowMount(const CgroupMount &m, const std::vector<std::string> &cgroup, std::vector<std::string> *below)
{
    const std::size_t depth = m.root.size();
    below->clear();
    if (cgroup.size() >= depth && std::equal(m.root.begin(), m.root.end(), cgroup.begin()) &&
        (cgroup.size() == depth || cgroup[depth] != "..")) {
        below->assign(cgroup.begin() + static_cast<std::ptrdiff_t>(depth), cgroup.end());
        return true;
    }
    return std::all_of(m.root.begin(), m.root.end(), [](const std::string &name) { return name == ".."; });
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

// What one cgroup's limit leaves: limit less usage, the reclaimable cache aside; SIZE_MAX
// where it has none.
std::size_t oneCgroupRoom(const std::string &dir, bool v2)
{
    std::size_t limit = 0, usage = 0;
    if (!cgroupBytes(dir + (v2 ? "/memory.max" : "/memory.limit_in_bytes"), &limit))
        return SIZE_MAX;
    cgroupBytes(dir + (v2 ? "/memory.current" : "/memory.usage_in_bytes"), &usage);
    usage -= std::min(usage, reclaimableCache(dir, v2));
    return limit > usage ? limit - usage : 0;
}

// What a cgroup and every cgroup above it up to the mount point leave.
std::size_t cgroupRoom(const std::string &point, const std::vector<std::string> &below, bool v2)
{
    std::string dir = point;
    std::size_t room = oneCgroupRoom(dir, v2);
    for (const std::string &name : below) {
        dir += (dir.back() == '/' ? "" : "/") + name;
        room = std::min(room, oneCgroupRoom(dir, v2));
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
        std::vector<std::string> cgroup, below;
        if ((!v2 && !listHas(controllers, "memory")) || !cgroupPath(line.substr(second + 1), &cgroup))
            continue;
        for (const CgroupMount &m : mounts)
            if (m.v2 == v2 && foldersBelowMount(m, cgroup, &below))
                room = std::min(room, cgroupRoom(root + m.point, below, v2));
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
