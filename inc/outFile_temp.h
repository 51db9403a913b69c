// Temporary files beside the outputs they will replace, known to the cleanup signals.
#ifndef FYRNOL_OUTFILE_TEMP_H
#define FYRNOL_OUTFILE_TEMP_H

#include <string>

// Creates "<entry>.fyrnol-tmp.XXXXXX" (mode 0600, close-on-exec) in the open folder and
// enters it in the table that the cleanup signals clear: the entry is made before the file
// and is live once the file exists, so no temporary file exists unknown to the handler.
// Where the name would pass the folder's name limit (NAME_MAX), the part copied from entry
// is shortened. None is made in an append-only folder, where it could neither be renamed
// nor removed. Returns the descriptor and the new entry's *name, or -1 with nothing created,
// also once a cleanup signal has been taken. *slot is -1 when the table is full (the file
// then exists unguarded). The folder stays open until the entry is forgotten.
int createTemp(int folder, const std::string &entry, std::string *name, int *slot);

// After the file is renamed or removed: a late signal then unlinks nothing.
void forgetTemp(int slot);

// Stops createTemp for good and unlinks every live temporary file of this process (a forked
// child leaves its parent's alone). Async-signal-safe: only the signal handler calls it.
void removeLiveTemps();

#endif
