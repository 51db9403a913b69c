// The results file: rows appended whole by concurrent runs, a header when it is new.
#include "outFile_results.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "outFile_target.h"
#include "outFile_temp.h"
#include "outFile_write.h"

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
