// The results file: rows appended whole by concurrent runs, a header when it is new.
#ifndef FYRNOL_OUTFILE_RESULTS_H
#define FYRNOL_OUTFILE_RESULTS_H

#include <string>

// How a results file that does not exist yet appears with its header: by a hard link to a
// complete temporary file, by a rename that replaces nothing (file systems without hard
// links), or by an exclusive create (neither). Each way falls back to the next; tests
// start further down to cover them.
enum class Publish { Link, Rename, Exclusive };

// Appends text to the file as one whole row on a line of its own under the file's advisory
// lock, synced, so concurrent writers never lose or interleave rows and a row cut short
// (disk full) is cut back off. A file that does not exist is first created holding header
// alone, without ever truncating a file another process created meanwhile. A device, FIFO
// or descriptor of the process gets the text straight through; a regular file behind a
// descriptor gets it as a row, without header, in one write after what is there, also
// where other processes share the descriptor's offset. A wait of more than about a second
// for the lock is said once on standard output, naming the file. False when the text could
// not be written whole.
bool appendWithHeader(const std::string &filename, const std::string &header, const std::string &text,
                      Publish how = Publish::Link);

#endif
