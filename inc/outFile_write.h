// Writes that a departed reader cannot end, and syncs that make them durable.
#ifndef FYRNOL_OUTFILE_WRITE_H
#define FYRNOL_OUTFILE_WRITE_H

#include <cstddef>
#include <cstdio>
#include <string>

// Writes all of the bytes, or fails with errno set. SIGPIPE is held back meanwhile: a FIFO
// or pipe whose reader left fails with EPIPE like a device that refuses the data. A
// non-blocking descriptor that is full is waited for (poll), as a blocking one would be.
bool writeAll(int fd, const char *p, std::size_t size);
bool writeAll(int fd, const std::string &text);

// A stdio stream over fd (a FIFO, device or descriptor of the process) whose every buffer
// goes out through writeAll; a regular file behind it is appended to. Owns fd, also when
// it fails (null).
FILE *openSink(int fd);

// fsync; what cannot be synced at all (a FIFO, a device: EINVAL, EROFS) is no failure.
bool synced(int fd);

#endif
