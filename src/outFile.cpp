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
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// ---- temporary files, removed when the run is interrupted ----

// SIGPIPE among them: standard output closed by its reader (fyrnol ... | head) ends the run
// as any writer, but not before the temporary file is gone.
const int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

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

bool hasDefaultAction(int sig)
{
    struct sigaction old;
    return sigaction(sig, nullptr, &old) == 0 && !(old.sa_flags & SA_SIGINFO) && old.sa_handler == SIG_DFL;
}

} // namespace

// Only signals that still have their default action are taken over: an ignored SIGHUP
// (nohup) stays ignored, a caller's own handler stays in place.
void guardOutputSignals()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    struct sigaction sa = {};
    sa.sa_handler = removeTempsAndReraise;
    sa.sa_mask = cleanupSet();
    for (int s : CLEANUP_SIGNALS)
        if (hasDefaultAction(s))
            sigaction(s, &sa, nullptr);
    // A write past the file-size limit then fails (EFBIG) as on a full disk, and is cleaned
    // up as such, instead of ending the process with the file half-written.
    if (hasDefaultAction(SIGXFSZ))
        signal(SIGXFSZ, SIG_IGN);
}

namespace {

// Creates "<beside>.fyrnol-tmp.XXXXXX" and enters it in the table. The signals wait
// meanwhile, so no temporary file exists without its entry. Returns the descriptor or -1.
int createTemp(const std::string &beside, std::string *name, int *slot)
{
    guardOutputSignals();
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

// The folder that holds path's last entry.
std::string folderOf(const std::string &path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

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

// Where writing through a name ends: a path, symbolic links followed to their end (also to
// a target that does not exist yet), or a descriptor of this process. A descriptor's link is
// never followed: it leads to whatever the descriptor has open (the log behind standard
// output), which a file renamed over it would replace.
struct Target {
    std::string path; // empty for a loop of links and for a descriptor
    int fd = -1;
};

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

// A duplicate of descriptor fd to write through, or -1 when fd is closed or not open for
// writing. What the program printed so far goes out first, so that it stays in front.
int duplicateForWriting(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY || (flags & O_PATH))
        return -1;
    std::fflush(stdout);
    std::fflush(stderr);
    return fcntl(fd, F_DUPFD_CLOEXEC, 3);
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

// Writes all of the bytes with SIGPIPE held back: a FIFO or pipe whose reader left fails
// with EPIPE like a device that refuses the data, and the signal that write raised is taken
// back before it could end the process. Only where SIGPIPE was not blocked already.
bool writeAll(int fd, const char *p, size_t left)
{
    sigset_t pipe, old;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &old);
    int failure = 0;
    while (left > 0 && failure == 0) {
        const ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            failure = n < 0 ? errno : EIO;
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    if (failure == EPIPE && !sigismember(&old, SIGPIPE)) {
        const struct timespec now = {0, 0};
        while (sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (failure != 0)
        errno = failure;
    return failure == 0;
}

bool writeAll(int fd, const std::string &text) { return writeAll(fd, text.data(), text.size()); }

// A file written straight through (FIFO, device, descriptor): stdio buffers it, and every
// buffer goes out through writeAll. A regular file behind a descriptor is appended to.
struct Sink {
    int fd;
    bool toEnd;
};

ssize_t sinkWrite(void *cookie, const char *buf, size_t size)
{
    const Sink &s = *static_cast<const Sink *>(cookie);
    if (s.toEnd)
        lseek(s.fd, 0, SEEK_END);
    return writeAll(s.fd, buf, size) ? static_cast<ssize_t>(size) : -1;
}

int sinkClose(void *cookie)
{
    const Sink *s = static_cast<const Sink *>(cookie);
    const int closed = close(s->fd);
    delete s;
    return closed;
}

FILE *openSink(int fd)
{
    struct stat st;
    Sink *s = new Sink{fd, fstat(fd, &st) == 0 && S_ISREG(st.st_mode)};
    FILE *fp = fopencookie(s, "w", {nullptr, sinkWrite, nullptr, sinkClose});
    if (fp == nullptr) {
        close(fd);
        delete s;
    }
    return fp;
}

// A file that replaces another, and every results row, must be on the disk before the
// process goes on: otherwise a machine crash can leave a name on an empty or short file,
// the old content gone. What cannot be synced at all (EINVAL, EROFS) is no failure.
bool synced(int fd)
{
    while (fsync(fd) != 0)
        if (errno != EINTR)
            return errno == EINVAL || errno == EROFS;
    return true;
}

// The folder's entry for a renamed file. Best effort: the name points at a whole file, old
// or new, either way.
void syncFolderOf(const std::string &path)
{
    const int fd = open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        synced(fd);
        close(fd);
    }
}

} // namespace

AtomicFile::AtomicFile(const std::string &name)
{
    guardOutputSignals();
    const Target target = followLinks(name);
    if (target.fd >= 0) {
        const int fd = duplicateForWriting(target.fd);
        if (fd >= 0)
            m_fp = openSink(fd);
        return;
    }
    m_target = target.path;
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
    m_fp = openSink(fd);
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
    bool written = std::fflush(m_fp) == 0 && std::ferror(m_fp) == 0;
    if (!m_temp.empty())
        written = written && synced(fileno(m_fp));
    const bool closed = std::fclose(m_fp) == 0;
    m_fp = nullptr;
    if (m_temp.empty())
        return written && closed;
    const bool renamed = written && closed && std::rename(m_temp.c_str(), m_target.c_str()) == 0;
    if (renamed)
        syncFolderOf(m_target);
    else
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
        const bool written = writeAll(fd, header) && synced(fd);
        const bool closed = close(fd) == 0;
        bool done = !(written && closed); // a header that did not fit is not published
        if (!done && how == Publish::Link)
            done = link(temp.c_str(), path.c_str()) == 0 || errno == EEXIST;
        if (!done)
            done = renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0 ||
                   errno == EEXIST;
        unlink(temp.c_str());
        forgetTemp(slot);
        if (done) {
            syncFolderOf(path); // the new name, as for a replaced file
            return;
        }
    }
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0)
        return;
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    writeAll(fd, header);
    close(fd);
}

// Whether the file of fd, size bytes long, is empty or ends with a newline. It is read through
// a descriptor of its own, fd being open for writing only; a file we may not read counts as
// ending with one.
bool endsWithNewline(int fd, off_t size)
{
    if (size == 0)
        return true;
    char last = '\n';
    const int rd = open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC);
    if (rd >= 0) {
        if (pread(rd, &last, 1, size - 1) != 1)
            last = '\n';
        close(rd);
    }
    return last == '\n';
}

// One whole row under the file's lock, which every writer takes: rows never interleave, a
// row begins a line of its own even after a last line without its newline, and a row cut
// short (disk full, size limit) or not synced is cut back off, so that the file ends as it
// did. fd may lack O_APPEND (a descriptor of the process): the row goes after what is there.
bool appendRow(int fd, const std::string &row)
{
    int lock;
    while ((lock = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    struct stat st;
    bool ok = fstat(fd, &st) == 0 && lseek(fd, st.st_size, SEEK_SET) == st.st_size;
    if (ok && !(writeAll(fd, endsWithNewline(fd, st.st_size) ? row : '\n' + row) && synced(fd))) {
        ok = false;
        if (lock == 0 && ftruncate(fd, st.st_size) == 0)
            lseek(fd, st.st_size, SEEK_SET);
    }
    if (lock == 0)
        flock(fd, LOCK_UN);
    return ok;
}

} // namespace

bool appendWithHeader(const std::string &filename, const std::string &header, const std::string &text,
                      Publish how)
{
    guardOutputSignals();
    const Target target = followLinks(filename);
    int fd = -1;
    if (target.fd >= 0) {
        fd = duplicateForWriting(target.fd); // a name that exists: no header
    } else if (!target.path.empty()) {
        fd = openNow(target.path, O_WRONLY | O_APPEND);
        if (fd < 0 && errno == ENOENT) {
            createWithHeader(target.path, header, how);
            fd = openNow(target.path, O_WRONLY | O_APPEND);
        }
    }
    if (fd < 0)
        return false;
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (ok && S_ISREG(st.st_mode))
        ok = appendRow(fd, text);
    else
        ok = ok && (target.fd >= 0 || isStraightThrough(st.st_mode)) && writeAll(fd, text);
    const bool closed = close(fd) == 0;
    return ok && closed;
}
