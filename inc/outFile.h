// Output files that are written whole or not at all.
#ifndef FYRNOL_OUTFILE_H
#define FYRNOL_OUTFILE_H

#include <cstdio>
#include <string>

// Takes over the signals that would end a run with an output half-written, where they still
// have their default action: SIGINT, SIGTERM, SIGHUP and SIGPIPE (standard output closed by
// its reader) remove the live temporary file before they end the process; SIGXFSZ is
// ignored, so that a write past the file-size limit fails as on a full disk. The output
// functions below call it themselves; a run calls it before it writes anything.
void guardOutputSignals();

// Writes into a temporary file "<target>.fyrnol-tmp.XXXXXX" beside the target, syncs it and
// renames it over the target on commit(), so an interrupted or failed write, or a machine
// crash, never leaves a partial file under the real name. Without commit() the temporary
// file is removed. A link is written through to the file it names (created when missing).
// Only a regular file is ever replaced: a character device or a FIFO that opens at once is
// written straight through, anything else fails. A name that is or links to a descriptor of
// the process (/dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N) is written into that
// descriptor after what is there. Straight through, a reader that leaves makes the write
// fail instead of ending the process.
class AtomicFile {
public:
    explicit AtomicFile(const std::string &name);
    ~AtomicFile();
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;

    bool ok() const { return m_fp != nullptr; }
    FILE *fp() { return m_fp; }
    void put(double v) { if (m_fp) std::fprintf(m_fp, "%g", v); }
    void put(char c) { if (m_fp) std::fputc(c, m_fp); }
    // Flushes, closes and renames; false when anything on the way failed.
    bool commit();

private:
    void openStraightThrough();

    std::string m_target;
    std::string m_temp;   // empty when writing straight through
    int m_slot = -1;      // entry of m_temp in the table the signal handler clears
    FILE *m_fp = nullptr;
};

// How a results file that does not exist yet appears with its header: by a hard link to a
// complete temporary file, by a rename that replaces nothing (file systems without hard
// links), or by an exclusive create (neither). Each way falls back to the next; tests
// start further down to cover them.
enum class Publish { Link, Rename, Exclusive };

// Appends text to the file as one whole row on a line of its own under the file's advisory
// lock, synced, so concurrent writers never lose or interleave rows and a row cut short
// (disk full) is cut back off. A file that does not exist is first created holding header
// alone, without ever truncating a file another process created meanwhile. A device, FIFO
// or descriptor of the process gets the text straight through (a regular file behind a
// descriptor as a row, without header). False when the text could not be written whole.
bool appendWithHeader(const std::string &filename, const std::string &header, const std::string &text,
                      Publish how = Publish::Link);

#endif
