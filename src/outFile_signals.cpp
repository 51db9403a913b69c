// The process-wide signal policy of the output files.
#include "outFile_signals.h"

#include <cerrno>

#include "outFile_temp.h"

namespace {

// SIGPIPE among them: standard output closed by its reader (fyrnol ... | head) ends the run
// as any writer, but not before the temporary file is gone.
const int CLEANUP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// On whichever thread takes the signal (a library's worker, the CUDA runtime's helpers):
// the table of temporary files takes a handler on any thread.
extern "C" void removeTempsAndReraise(int sig)
{
    const int saved = errno;
    removeLiveTemps();
    // The default action, raised again: it ends the process once the handler returns, with
    // the signal's own status.
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    raise(sig);
    errno = saved;
}

bool hasDefaultAction(int sig)
{
    struct sigaction old;
    return sigaction(sig, nullptr, &old) == 0 && !(old.sa_flags & SA_SIGINFO) && old.sa_handler == SIG_DFL;
}

} // namespace

sigset_t cleanupSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int s : CLEANUP_SIGNALS)
        sigaddset(&set, s);
    return set;
}

void guardOutputSignals()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    struct sigaction sa = {};
    sa.sa_handler = removeTempsAndReraise;
    sa.sa_mask = cleanupSignals();
    for (int s : CLEANUP_SIGNALS)
        if (hasDefaultAction(s))
            sigaction(s, &sa, nullptr);
    // A write past the file-size limit then fails (EFBIG) as on a full disk, and is cleaned
    // up as such, instead of ending the process with the file half-written.
    if (hasDefaultAction(SIGXFSZ))
        signal(SIGXFSZ, SIG_IGN);
}
