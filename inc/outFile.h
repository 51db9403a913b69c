// Output files that are written whole or not at all.
#ifndef FYRNOL_OUTFILE_H
#define FYRNOL_OUTFILE_H

#include <cstdio>
#include <string>

// Writes into a temporary file "<target>.fyrnol-tmp.XXXXXX" beside the target and renames
// it over the target on commit(), so an interrupted or failed write never leaves a partial
// file under the real name. Without commit() the temporary file is removed; SIGINT, SIGTERM
// and SIGHUP remove it too before they end the process. A link is written through to the
// file it names (created when missing). Only a regular file is ever replaced: a character
// device or a FIFO that opens at once is written straight through, anything else fails.
class AtomicFile {
public:
    explicit AtomicFile(const std::string &target);
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

// Appends text to the file as one whole row under the file's advisory lock, so concurrent
// writers never lose or interleave rows and a row cut short (disk full) is cut back off.
// A file that does not exist is first created holding header alone, without ever
// truncating a file another process created meanwhile. A device or FIFO gets the text
// straight through. False when the text could not be written whole.
bool appendWithHeader(const std::string &filename, const std::string &header, const std::string &text,
                      Publish how = Publish::Link);

#endif
