// Output files that are written whole or not at all.
#include "outFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "outFile_target.h"
#include "outFile_temp.h"
#include "outFile_write.h"

AtomicFile::AtomicFile(const std::string &name)
{
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
    m_folder = openFolder(folderOf(m_target));
    const int fd = m_folder < 0 ? -1 : createTemp(m_folder, entryOf(m_target), &m_temp, &m_slot);
    if (fd < 0)
        return;
    fchmod(fd, mode);
    m_fp = fdopen(fd, "w");
    if (m_fp == nullptr) {
        close(fd);
        removeTemp();
    }
}

// Its entry forgotten before the folder may be closed.
void AtomicFile::removeTemp()
{
    unlinkat(m_folder, m_temp.c_str(), 0);
    forgetTemp(m_slot);
    m_temp.clear();
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
    if (m_fp != nullptr) {
        std::fclose(m_fp);
        if (!m_temp.empty())
            removeTemp();
    }
    if (m_folder >= 0)
        close(m_folder);
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
    const bool renamed =
        written && closed && renameat(m_folder, m_temp.c_str(), m_folder, entryOf(m_target).c_str()) == 0;
    if (renamed) {
        forgetTemp(m_slot);
        m_temp.clear();
        synced(m_folder); // best effort; not where the folder is open as a path only
    } else {
        removeTemp();
    }
    return renamed;
}
