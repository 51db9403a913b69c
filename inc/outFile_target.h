// Where writing through an output name ends: a file, a device or FIFO, or a descriptor of
// this process.
#ifndef FYRNOL_OUTFILE_TARGET_H
#define FYRNOL_OUTFILE_TARGET_H

#include <sys/types.h>

#include <string>

// A path with its symbolic links followed to the end (also to a target that does not exist
// yet), or a descriptor of this process. A descriptor's link is never followed: it leads to
// whatever the descriptor has open (the log behind standard output), which a file renamed
// over it would replace.
struct Target {
    std::string path; // empty for a loop of links and for a descriptor
    int fd = -1;
};
Target followLinks(const std::string &name);

// A duplicate of descriptor fd to write through, or -1 when fd is closed or not open for
// writing. What the program printed so far goes out first, so that it stays in front.
int duplicateForWriting(int fd);

// Opens without waiting: a FIFO that nobody reads fails (ENXIO) instead of blocking.
// Writes then wait for a slow reader as usual.
int openNow(const std::string &path, int flags);

// Files written straight through rather than replaced: character devices and FIFOs.
bool isStraightThrough(mode_t mode);

// The folder that holds path's last entry, and that entry.
std::string folderOf(const std::string &path);
std::string entryOf(const std::string &path);

// The folder at path, held open so that its entries are named relative to it: only an
// entry's name then has to fit NAME_MAX, however long the folder's path. Open for reading
// where that is allowed, so that it can be synced; otherwise as a path only. -1 when it
// cannot be opened.
int openFolder(const std::string &path);

// Mode bits a plain creation would give: 0666 less the process umask.
mode_t creationMode();

#endif
