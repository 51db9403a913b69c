// Temporary files beside the outputs they will replace, known to the cleanup signals.
#ifndef FYRNOL_OUTFILE_TEMP_H
#define FYRNOL_OUTFILE_TEMP_H

#include <string>

// Creates "<beside>.fyrnol-tmp.XXXXXX" (mode 0600, close-on-exec) and enters it in the
// table that the cleanup signals clear, so that no temporary file exists without its entry.
// Where that name would pass the folder's name limit (NAME_MAX) or PATH_MAX, the part copied
// from beside's last entry is shortened. Called on the thread that guarded the signals.
// Returns the descriptor, or -1 with nothing created; *slot is -1 when the table is full
// (the file then exists unguarded).
int createTemp(const std::string &beside, std::string *name, int *slot);

// After the file is renamed or removed: a late signal then unlinks nothing.
void forgetTemp(int slot);

// Unlinks every live temporary file. Async-signal-safe: only the signal handler calls it.
void removeLiveTemps();

#endif
