// The process-wide signal policy of the output files.
#ifndef FYRNOL_OUTFILE_SIGNALS_H
#define FYRNOL_OUTFILE_SIGNALS_H

#include <signal.h>

// A step of the program's start, before it writes anything. Takes over the signals that
// would end a run with an output half-written, where they still have their default action:
// SIGINT, SIGTERM, SIGHUP and SIGPIPE (standard output closed by its reader) remove the
// live temporary files before they end the process with the signal's own status; SIGXFSZ
// is ignored, so that a write past the file-size limit fails as on a full disk. An ignored
// signal stays ignored and a caller's own handler stays in place. Calls after the first do
// nothing. A cleanup signal is handled on whichever thread of the process takes it.
void guardOutputSignals();

// The signals above that remove the temporary files: blocked on the writing thread while it
// enters a temporary file in their table.
sigset_t cleanupSignals();

#endif
