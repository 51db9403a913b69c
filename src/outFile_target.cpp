// Where writing through an output name ends.
#include "outFile_target.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

// The descriptor of this process that a name stands for: /dev/stdout, /dev/stderr, or an
// entry of the process's own descriptor folder however it is reached (/proc/self/fd,
// /dev/fd, /proc/<pid>/fd). -1 for any other name.
int descriptorOf(const std::string &path)
{
    if (path == "/dev/stdout")
        return 1;
    if (path == "/dev/stderr")
        return 2;
    const size_t slash = path.rfind('/');
    const std::string entry = slash == std::string::npos ? path : path.substr(slash + 1);
    if (entry.empty() || entry.size() > 9 || entry.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    char real[PATH_MAX];
    if (realpath(folderOf(path).c_str(), real) == nullptr)
        return -1;
    const std::string pid = std::to_string(getpid());
    const std::string own = "/proc/" + pid;
    return real == own + "/fd" || real == own + "/task/" + pid + "/fd" ? std::stoi(entry) : -1;
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
