// Output files that are written whole or not at all.
#ifndef FYRNOL_OUTFILE_H
#define FYRNOL_OUTFILE_H

#include <cstdio>
#include <string>

// Writes into a temporary file beside the target and renames it over the target on
// commit(), so an interrupted or failed write never leaves a partial file under the
// real name. Without commit() the temporary file is removed.
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
    std::string m_target;
    std::string m_temp;
    FILE *m_fp = nullptr;
};

// Appends text to the file in one write; creates the file holding header first when it
// does not exist (atomically, so concurrent writers never lose the header or a row and
// an existing file is never truncated). False when the row could not be written whole.
bool appendWithHeader(const std::string &filename, const std::string &header, const std::string &text);

#endif
