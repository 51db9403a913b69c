// Where writing through an output name ends.
#include "outFile_target.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>

namespace {

// The number that a descriptor folder's entry stands for, as procfs reads names: decimal
// digits without a leading zero ("0" alone excepted). -1 for any other name.
int descriptorNumber(const std::string &entry)
{
    if (entry.empty() || entry.size() > 10 || (entry.size() > 1 && entry[0] == '0') ||
        entry.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    const long long n = std::stoll(entry);
    return n <= INT_MAX ? static_cast<int>(n) : -1;
}

// Whether folder is the folder that own names, by identity (device and inode) rather than
// by the pid in its path: where /proc belongs to another PID namespace, procfs knows this
// process by another pid than getpid(). own is held open meanwhile, so that procfs keeps
// its inode and the inode's number.
bool sameFolder(const char *own, const std::string &folder)
{
    const int fd = open(own, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat a, b;
    const bool same = fstat(fd, &a) == 0 && stat(folder.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
                      a.st_ino == b.st_ino;
    close(fd);
    return same;
}

// The descriptor of this process that a name stands for: /dev/stdout, /dev/stderr, or an
// entry of the process's own descriptor folder however it is reached (/proc/self/fd,
// /dev/fd, /proc/<pid>/fd, /proc/thread-self/fd). -1 for any other name.
int descriptorOf(const std::string &path)
{
    if (path == "/dev/stdout")
        return 1;
    if (path == "/dev/stderr")
        return 2;
    const size_t slash = path.rfind('/');
    const int fd = descriptorNumber(slash == std::string::npos ? path : path.substr(slash + 1));
    if (fd < 0)
        return -1;
    const std::string folder = folderOf(path);
    return sameFolder("/proc/self/fd", folder) || sameFolder("/proc/thread-self/fd", folder) ? fd : -1;
}

} // namespace

mode_t creationMode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

std::string folderOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string entryOf(const std::string &path) { return path.substr(path.rfind('/') + 1); }

int openFolder(const std::string &path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0 || errno != EACCES)
        return fd;
    return open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

Target followLinks(const std::string &name)
{
    std::string path = name;
    for (int hop = 0; hop < 40; ++hop) {
        const int fd = descriptorOf(path);
        if (fd >= 0)
            return {std::string(), fd};
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return {path};
        char to[PATH_MAX];
        const ssize_t n = readlink(path.c_str(), to, sizeof to);
        if (n <= 0 || n == static_cast<ssize_t>(sizeof to))
            return {};
        const std::string link(to, static_cast<size_t>(n));
        const size_t slash = path.rfind('/');
        path = (link[0] == '/' || slash == std::string::npos) ? link : path.substr(0, slash + 1) + link;
    }
    return {};
}

int duplicateForWriting(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY || (flags & O_PATH))
        return -1;
    std::fflush(stdout);
    std::fflush(stderr);
    return fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

int openNow(const std::string &path, int flags)
{
    const int fd = open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool isStraightThrough(mode_t mode) { return S_ISCHR(mode) || S_ISFIFO(mode); }
