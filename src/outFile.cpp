// Output files that are written whole or not at all.
#include "outFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

// Mode bits a plain creation would give: 0666 less the process umask.
mode_t creationMode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

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

AtomicFile::AtomicFile(const std::string &target) : m_target(target)
{
    if (target.empty())
        return;
    // Replace the file a link points to, not the link.
    if (char *real = realpath(target.c_str(), nullptr)) {
        m_target = real;
        std::free(real);
    }
    // An existing file keeps its mode; one we may not write is left alone.
    mode_t mode = creationMode();
    struct stat st;
    if (stat(m_target.c_str(), &st) == 0) {
        if (access(m_target.c_str(), W_OK) != 0)
            return;
        if (S_ISREG(st.st_mode))
            mode = st.st_mode & 0777;
    }
    std::string tmpl = m_target + ".tmp.XXXXXX";
    const int fd = mkstemp(&tmpl[0]);
    if (fd < 0)
        return;
    m_temp = tmpl;
    fchmod(fd, mode);
    m_fp = fdopen(fd, "w");
    if (m_fp == nullptr) {
        close(fd);
        unlink(m_temp.c_str());
        m_temp.clear();
    }
}

AtomicFile::~AtomicFile()
{
    if (m_fp != nullptr) {
        std::fclose(m_fp);
        unlink(m_temp.c_str());
    }
}

bool AtomicFile::commit()
{
    if (m_fp == nullptr)
        return false;
    const bool written = std::fflush(m_fp) == 0 && std::ferror(m_fp) == 0;
    const bool closed = std::fclose(m_fp) == 0;
    m_fp = nullptr;
    if (!written || !closed || std::rename(m_temp.c_str(), m_target.c_str()) != 0) {
        unlink(m_temp.c_str());
        return false;
    }
    return true;
}

bool appendWithHeader(const std::string &filename, const std::string &header, const std::string &text)
{
    if (filename.empty())
        return false;
    int fd = open(filename.c_str(), O_WRONLY | O_APPEND);
    if (fd < 0 && errno == ENOENT) {
        // Create the file with its header in place: a temporary file linked to the name
        // fails if another process created it first, and then we append like everyone else.
        std::string tmpl = filename + ".tmp.XXXXXX";
        const int tfd = mkstemp(&tmpl[0]);
        if (tfd >= 0) {
            fchmod(tfd, creationMode());
            const bool ok = writeAll(tfd, header);
            close(tfd);
            if (ok && link(tmpl.c_str(), filename.c_str()) != 0 && errno != EEXIST) {
                // No hard links here: fall back to an exclusive create.
                const int cfd = open(filename.c_str(), O_WRONLY | O_CREAT | O_EXCL, creationMode());
                if (cfd >= 0) {
                    writeAll(cfd, header);
                    close(cfd);
                }
            }
            unlink(tmpl.c_str());
        }
        fd = open(filename.c_str(), O_WRONLY | O_APPEND);
    }
    if (fd < 0)
        return false;
    // One write with O_APPEND: concurrent rows never interleave.
    const ssize_t n = write(fd, text.data(), text.size());
    const bool closed = close(fd) == 0;
    return n == static_cast<ssize_t>(text.size()) && closed;
}
