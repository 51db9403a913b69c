// The results file: rows appended whole by concurrent runs, a header when it is new.
#include "outFile_results.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <string>

#include "outFile_target.h"
#include "outFile_temp.h"
#include "outFile_write.h"

namespace {

// Publishes a complete temporary file holding header alone under path by a hard link or a
// rename that replaces nothing, so no writer ever sees the file without its header. Both
// are named relative to the folder, as the temporary file is. True when path exists now
// (ours or another process's) or the header did not fit; false when neither way could be
// tried or worked.
bool publishWithHeader(const std::string &path, const std::string &header, Publish how)
{
    const int folder = openFolder(folderOf(path));
    if (folder < 0)
        return false;
    const std::string entry = entryOf(path);
    std::string temp;
    int slot = -1;
    const int fd = createTemp(folder, entry, &temp, &slot);
    bool done = false;
    if (fd >= 0) {
        fchmod(fd, creationMode());
        const bool written = writeAll(fd, header) && synced(fd);
        const bool closed = close(fd) == 0;
        done = !(written && closed); // a header that did not fit is not published
        if (!done && how == Publish::Link)
            done = linkat(folder, temp.c_str(), folder, entry.c_str(), 0) == 0 || errno == EEXIST;
        if (!done)
            done = renameat2(folder, temp.c_str(), folder, entry.c_str(), RENAME_NOREPLACE) == 0 ||
                   errno == EEXIST;
        unlinkat(folder, temp.c_str(), 0);
        forgetTemp(slot);
        if (done)
            synced(folder); // the new name, as for a replaced file; best effort
    }
    close(folder);
    return done;
}

// Makes path appear holding header alone, unless another process creates it first; a file
// that exists is never truncated. Where no temporary file can be made or published, an
// exclusive create, the last resort, leaves a moment in which another writer may find the
// file empty and put its row first; no row is lost either way.
void createWithHeader(const std::string &path, const std::string &header, Publish how)
{
    if (how != Publish::Exclusive && publishWithHeader(path, header, how))
        return;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0)
        return;
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    writeAll(fd, header);
    close(fd);
}

// The open file of fd through a description of our own: a lock taken on it excludes the
// other writers even where they share fd's description. -1 where it cannot be reopened.
int reopen(int fd, int flags)
{
    return open(("/proc/self/fd/" + std::to_string(fd)).c_str(), flags | O_NOCTTY | O_CLOEXEC);
}

// Said once on standard error, quiet mode too, when the lock keeps a run waiting: a note to
// the person, which must not land in a results stream behind standard output.
void noteLockWait(const std::string &name)
{
    std::cout.flush();
    std::cerr << "Waiting for the lock on results file \"" << name << "\" ..." << std::endl;
}

// Where no lock can be taken at all (a file system without them): the row goes in all the
// same, and the person learns that concurrent writers may now overwrite each other.
void noteUnlocked(const std::string &name)
{
    std::cout.flush();
    std::cerr << "\033[31mWarning - results file \"" << name
              << "\" could not be locked: the row is written without the lock\033[0m" << std::endl;
}

// The exclusive lock of fd's open file. A holder that keeps it for more than about a second
// (another job, `flock FILE command`) gets named once, and the wait goes on: a row is never
// dropped. False where the file cannot be locked at all.
bool lockExclusive(int fd, const std::string &name)
{
    const auto noteAt = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    const struct timespec pause = {0, 5 * 1000 * 1000};
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR)
            return false;
        if (std::chrono::steady_clock::now() >= noteAt) {
            noteLockWait(name);
            while (flock(fd, LOCK_EX) != 0)
                if (errno != EINTR)
                    return false;
            return true;
        }
        nanosleep(&pause, nullptr);
    }
    return true;
}

// Whether the file, size bytes long, is empty or ends with a newline, read through rd; a
// file we may not read (rd -1 or open for writing only) counts as ending with one.
bool endsWithNewline(int rd, off_t size)
{
    char last = '\n';
    if (size > 0 && rd >= 0 && pread(rd, &last, 1, size - 1) != 1)
        last = '\n';
    return last == '\n';
}

// Cuts the file of fd back to size: the part of a row that did not fit. Under the lock, so
// no other writer's row lies behind it.
void takeBack(int fd, off_t size)
{
    while (ftruncate(fd, size) != 0 && errno == EINTR) {
    }
}

// One whole row under the file's lock, which every writer takes: rows never interleave, a
// row begins a line of its own even after a last line without its newline, and a row cut
// short (disk full, size limit) or not synced is cut back off, so that the file ends as it
// did. fd is a description of our own, opened for appending.
bool appendRow(int fd, const std::string &row, const std::string &name)
{
    const bool locked = lockExclusive(fd, name);
    if (!locked)
        noteUnlocked(name);
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (ok) {
        const int rd = reopen(fd, O_RDONLY);
        const bool lineStart = endsWithNewline(rd, st.st_size);
        if (rd >= 0)
            close(rd);
        ok = writeAll(fd, lineStart ? row : '\n' + row) && synced(fd);
        if (!ok && locked)
            takeBack(fd, st.st_size);
    }
    if (locked)
        flock(fd, LOCK_UN);
    return ok;
}

// In one write, so that the text lands whole after what other writers through the same
// description put there; the rest of a short write is not sent after their lines.
bool writeOnce(int fd, const std::string &text)
{
    ssize_t n;
    while ((n = write(fd, text.data(), text.size())) < 0 && errno == EINTR) {
    }
    return n >= 0 && static_cast<size_t>(n) == text.size();
}

// A row into a regular file through a descriptor of the process, whose description other
// processes may share with their own offset and console lines (many runs behind one `>`).
// The lock is taken through a description of our own; the row goes in one write through
// the shared one, whose offset is only moved on to the end of the file, never back onto
// what others wrote. Where no description of our own can be had (no /proc, a file that the
// shell opened for us and we may not open ourselves), the shared description is locked: that
// still keeps the writers by name apart, while the processes that share it serialise their
// writes through its one offset. A row cut short stays as it is (others may have written
// behind it); the next row begins a line of its own.
bool appendRowThrough(int fd, const std::string &row, const std::string &name)
{
    int own = reopen(fd, O_RDONLY);
    if (own < 0)
        own = reopen(fd, O_WRONLY);
    const int lockFd = own >= 0 ? own : fd;
    const bool locked = lockExclusive(lockFd, name);
    if (!locked)
        noteUnlocked(name);
    const off_t end = lseek(fd, 0, SEEK_END);
    const bool ok = end >= 0 && writeOnce(fd, endsWithNewline(lockFd, end) ? row : '\n' + row) && synced(fd);
    if (locked)
        flock(lockFd, LOCK_UN);
    if (own >= 0)
        close(own);
    return ok;
}

} // namespace

bool appendWithHeader(const std::string &filename, const std::string &header, const std::string &text,
                      Publish how)
{
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
        ok = target.fd >= 0 ? appendRowThrough(fd, text, filename) : appendRow(fd, text, filename);
    else
        ok = ok && (target.fd >= 0 || isStraightThrough(st.st_mode)) && writeAll(fd, text);
    const bool closed = close(fd) == 0;
    return ok && closed;
}
