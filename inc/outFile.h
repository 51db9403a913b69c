// Output files that are written whole or not at all.
#ifndef FYRNOL_OUTFILE_H
#define FYRNOL_OUTFILE_H

#include <cstdio>
#include <string>

// Writes into a temporary file "<target>.fyrnol-tmp.XXXXXX" beside the target, syncs it and
// renames it over the target on commit(), so an interrupted or failed write, or a machine
// crash, never leaves a partial file under the real name. Without commit() the temporary
// file is removed. Both are named relative to their folder, held open meanwhile, so any
// path that can be created can be written; an append-only folder gets no temporary file.
// A link is written through to the file it names (created when missing).
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
    void removeTemp();

    std::string m_target;
    int m_folder = -1;    // the target's folder, while a temporary file is made there
    std::string m_temp;   // the temporary's entry in it; empty when writing straight through
    int m_slot = -1;      // entry of m_temp in the table the signal handler clears
    FILE *m_fp = nullptr;
};

#endif
