// Output files that are written whole or not at all.
#include "outFile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// ---- temporary files, removed when the run is interrupted ----

const int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// The live temporary files, as the signal handler sees them: a fixed table, since the
// handler may neither allocate nor lock. A run holds one at a time.
struct TempSlot {
    char path[PATH_MAX];
    std::atomic<bool> live;
};
static_assert(std::atomic<bool>::is_always_lock_free, "the handler reads the flags");
TempSlot temps[4];

extern "C" void removeTempsAndReraise(int sig)
{
    const int saved = errno;
    for (TempSlot &t : temps)
        if (t.live.load(std::memory_order_acquire))
            unlink(t.path);
    // The default action, raised again: it ends the process once the handler returns, with
    // the signal's own status.
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    raise(sig);
    errno = saved;
}

sigset_t cleanupSet()
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : CLEANUP_SIGNALS)
        sigaddset(&set, s);
    return set;
}

// Only signals that still have their default action are taken over: an ignored SIGHUP
// (nohup) stays ignored, a caller's own handler stays in place.
void installCleanup()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    struct sigaction sa = {};
    sa.sa_handler = removeTempsAndReraise;
    sa.sa_mask = cleanupSet();
    for (int s : CLEANUP_SIGNALS) {
        struct sigaction old;
        if (sigaction(s, nullptr, &old) == 0 && !(old.sa_flags & SA_SIGINFO) && old.sa_handler == SIG_DFL)
            sigaction(s, &sa, nullptr);
    }
}

// Creates "<beside>.fyrnol-tmp.XXXXXX" and enters it in the table. The signals wait
// meanwhile, so no temporary file exists without its entry. Returns the descriptor or -1.
int createTemp(const std::string &beside, std::string *name, int *slot)
{
    installCleanup();
    std::string tmpl = beside + ".fyrnol-tmp.XXXXXX";
    const sigset_t block = cleanupSet();
    sigset_t old;
    sigprocmask(SIG_BLOCK, &block, &old);
    const int fd = mkostemp(&tmpl[0], O_CLOEXEC);
    *slot = -1;
    if (fd >= 0) {
        *name = tmpl;
        for (int i = 0; i < static_cast<int>(sizeof temps / sizeof temps[0]) && tmpl.size() < PATH_MAX; ++i)
            if (!temps[i].live.load(std::memory_order_relaxed)) {
                std::memcpy(temps[i].path, tmpl.c_str(), tmpl.size() + 1);
                temps[i].live.store(true, std::memory_order_release);
                *slot = i;
                break;
            }
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return fd;
}

// After the file is renamed or removed: a late signal then unlinks a name that is gone.
void forgetTemp(int slot)
{
    if (slot >= 0)
        temps[slot].live.store(false, std::memory_order_release);
}

// ---- targets ----

// Mode bits a plain creation would give: 0666 less the process umask.
mode_t creationMode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// The path that writing through name reaches: symbolic links followed to their end, also
// to a target that does not exist yet. Empty for a loop of links.
std::string followLinks(const std::string &name)
{
    std::string path = name;
    for (int hop = 0; hop < 40; ++hop) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        char to[PATH_MAX];
        const ssize_t n = readlink(path.c_str(), to, sizeof to);
        if (n <= 0 || n == static_cast<ssize_t>(sizeof to))
            return std::string();
        const std::string link(to, static_cast<size_t>(n));
        const size_t slash = path.rfind('/');
        path = (link[0] == '/' || slash == std::string::npos) ? link : path.substr(0, slash + 1) + link;
    }
    return std::string();
}

// Opens without waiting: a FIFO that nobody reads fails (ENXIO) instead of blocking.
// Writes then wait for a slow reader as usual.
int openNow(const std::string &path, int flags)
{
    const int fd = open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool isStraightThrough(mode_t mode) { return S_ISCHR(mode) || S_ISFIFO(mode); }

bool writeAll(int fd, const std::string &text)
{
    const char *p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

AtomicFile::AtomicFile(const std::string &target) : m_target(followLinks(target))
{
    if (m_target.empty())
        return;
    mode_t mode = creationMode();
    struct stat st;
    if (stat(m_target.c_str(), &st) == 0) {
        if (isStraightThrough(st.st_mode)) {
            openStraightThrough();
            return;
        }
        // Never renamed over: directories, sockets, block devices. A file we may not write
        // is left alone; an existing file keeps its mode.
        if (!S_ISREG(st.st_mode) || access(m_target.c_str(), W_OK) != 0)
            return;
        mode = st.st_mode & 0777;
    }
    const int fd = createTemp(m_target, &m_temp, &m_slot);
    if (fd < 0)
        return;
    fchmod(fd, mode);
    m_fp = fdopen(fd, "w");
    if (m_fp == nullptr) {
        close(fd);
        unlink(m_temp.c_str());
        forgetTemp(m_slot);
        m_temp.clear();
    }
}

void AtomicFile::openStraightThrough()
{
    const int fd = openNow(m_target, O_WRONLY);
    struct stat st;
    if (fd < 0)
        return;
    if (fstat(fd, &st) != 0 || !isStraightThrough(st.st_mode)) {
        close(fd);
        return;
    }
    m_fp = fdopen(fd, "w");
    if (m_fp == nullptr)
        close(fd);
}

AtomicFile::~AtomicFile()
{
    if (m_fp == nullptr)
        return;
    std::fclose(m_fp);
    if (!m_temp.empty()) {
        unlink(m_temp.c_str());
        forgetTemp(m_slot);
    }
}

bool AtomicFile::commit()
{
    if (m_fp == nullptr)
        return false;
    const bool written = std::fflush(m_fp) == 0 && std::ferror(m_fp) == 0;
    const bool closed = std::fclose(m_fp) == 0;
    m_fp = nullptr;
    if (m_temp.empty())
        return written && closed;
    const bool renamed = written && closed && std::rename(m_temp.c_str(), m_target.c_str()) == 0;
    if (!renamed)
        unlink(m_temp.c_str());
    forgetTemp(m_slot);
    return renamed;
}

namespace {

// Makes path appear holding header alone, unless another process creates it first; a file
// that exists is never truncated. A complete temporary file is published by a hard link
// or a rename that replaces nothing, so no writer ever sees the file without its header.
// An exclusive create, the last resort, leaves a moment in which another writer may find
// the file empty and put its row first; no row is lost either way.
void createWithHeader(const std::string &path, const std::string &header, Publish how)
{
    if (how != Publish::Exclusive) {
        std::string temp;
        int slot = -1;
        const int fd = createTemp(path, &temp, &slot);
        if (fd < 0)
            return;
        fchmod(fd, creationMode());
        const bool written = writeAll(fd, header);
        const bool closed = close(fd) == 0;
        bool done = !(written && closed); // a header that did not fit is not published
        if (!done && how == Publish::Link)
            done = link(temp.c_str(), path.c_str()) == 0 || errno == EEXIST;
        if (!done)
            done = renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0 ||
                   errno == EEXIST;
        unlink(temp.c_str());
        forgetTemp(slot);
        if (done)
            return;
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0)
        return;
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    writeAll(fd, header);
    close(fd);
}

// One whole row under the file's lock, which every writer takes: rows never interleave,
// and a row cut short (disk full, size limit) is cut back off, so that the file ends with
// a whole line.
bool appendRow(int fd, const std::string &row)
{
    int lock;
    while ((lock = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (ok && !writeAll(fd, row)) {
        ok = false;
        if (lock == 0 && ftruncate(fd, st.st_size) != 0) {
        }
    }
    if (lock == 0)
        flock(fd, LOCK_UN);
    return ok;
}

} // namespace

bool appendWithHeader(const std::string &filename, const std::string &header, const std::string &text,
                      Publish how)
{
    if (filename.empty())
        return false;
    const std::string path = followLinks(filename);
    if (path.empty())
        return false;
    int fd = openNow(path, O_WRONLY | O_APPEND);
    if (fd < 0 && errno == ENOENT) {
        createWithHeader(path, header, how);
        fd = openNow(path, O_WRONLY | O_APPEND);
    }
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (ok && S_ISREG(st.st_mode))
        ok = appendRow(fd, text);
    else
        ok = ok && isStraightThrough(st.st_mode) && writeAll(fd, text);
    const bool closed = close(fd) == 0;
    return ok && closed;
}
