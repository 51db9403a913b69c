// Writes that a departed reader cannot end, and syncs that make them durable.
#include "outFile_write.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Waits until fd takes more. 0 when it has room again; otherwise the events that it
// reported instead (an error, a hang-up), which one more write turns into its errno; -1
// when poll itself failed.
int waitForRoom(int fd)
{
    pollfd p = {fd, POLLOUT, 0};
    int ready;
    while ((ready = poll(&p, 1, -1)) < 0 && errno == EINTR) {
    }
    return ready < 0 ? -1 : (p.revents & POLLOUT) ? 0 : p.revents;
}

} // namespace

// The signal that a write to a reader that left raises is taken back before it could end
// the process; only where SIGPIPE was not blocked already. A descriptor of the process may
// share its file description with the parent, which may have left it non-blocking: a full
// pipe then waits for its reader as a blocking one would.
bool writeAll(int fd, const char *p, size_t left)
{
    sigset_t pipe, old;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &old);
    int failure = 0;
    bool noRoom = false; // the last wait ended in an error or hang-up, not in room
    while (left > 0 && failure == 0) {
        const ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN && !noRoom) {
            const int events = waitForRoom(fd);
            if (events < 0)
                failure = errno;
            noRoom = events != 0;
            continue;
        }
        noRoom = false;
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

namespace {

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
    return writeAll(s.fd, buf, size) ? static_cast<ssize_t>(size) : 0; // 0: an error for stdio
}

int sinkClose(void *cookie)
{
    const Sink *s = static_cast<const Sink *>(cookie);
    const int closed = close(s->fd);
    delete s;
    return closed;
}

} // namespace

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
// the old content gone.
bool synced(int fd)
{
    while (fsync(fd) != 0)
        if (errno != EINTR)
            return errno == EINVAL || errno == EROFS;
    return true;
}
